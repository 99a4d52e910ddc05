#include "soak_life.h"

#include <smclib.h>
#include <winsmcrd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>

#include "emulator/card.h"
#include "tav712/hex.h"
#include "stack/reader_client.h"
#include "stack/reader_stack.h"

namespace tav712::soak {
namespace {

using namespace std::chrono_literals;

// The longest a request may take: far beyond the driver's own time-outs
// (a T=1 chain to a card asking for waiting-time extensions, retried), so
// that only a request nobody would ever end exceeds it.
constexpr platform::Duration requestBound = 120s;
// Time for card events and restarts to settle before the state is compared.
constexpr platform::Duration settleTime = 3s;
constexpr std::size_t traceTailLines = 60;

std::string hex(NTSTATUS status) {
  std::ostringstream text;
  text << "0x" << std::hex << std::setw(8) << std::setfill('0') << static_cast<std::uint32_t>(status);
  return text.str();
}

Bytes ulongBytes(ULONG value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// An APDU of case 1 to 4 (ISO/IEC 7816-4) for the card's application.
Bytes apduOfCase(std::uint32_t draw) {
  switch (draw % 5) {
    case 0: return {0x00, 0xA4, 0x00, 0x00};                                        // case 1
    case 1: return {0x00, 0xB0, 0x00, 0x00, static_cast<std::uint8_t>(draw >> 8)};  // case 2
    case 2: return {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};                      // case 3
    case 3: return {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00};                // case 4
    default: {                                                                      // case 3, long
      const auto length = static_cast<std::uint8_t>(1 + (draw >> 8) % 255);
      Bytes apdu{0x00, 0xD6, 0x00, 0x00, length};
      for (std::uint8_t i = 0; i < length; ++i) apdu.push_back(i);
      return apdu;
    }
  }
}

// Abandons a life whose system can no longer be trusted to run.
struct Abandon {};

class Life {
 public:
  Life(const Plan& plan, std::ostream* log) : plan_(plan), log_(log) {}

  LifeResult run() {
    try {
      begin();
      for (const Step& step : plan_.steps) {
        ++result_.operations[std::string(opName(step.op))];
        const auto before = stack_->system().scheduler().now();
        const std::string outcome = perform(step);
        keepTraceTail();
        if (log_ != nullptr) {
          *log_ << "  " << std::fixed << std::setprecision(3) << ms(before) << " ms " << opName(step.op) << '/'
                << step.value << ": " << outcome << '\n';
          const auto injected = system().faults().injected();
          for (std::size_t i = faultsLogged_; i < injected.size(); ++i) {
            *log_ << "    fault: " << injected[i].kind << " call " << injected[i].callNumber << '\n';
          }
          faultsLogged_ = injected.size();
        }
      }
      end();
    } catch (const Abandon&) {
    } catch (const std::exception& error) {
      fail(std::string("the life stopped: ") + error.what());
    }
    keepTraceTail();
    countKnobs();
    try {
      client_.reset();
      pending_.clear();
      stack_.reset();
    } catch (const std::exception& error) {
      fail(std::string("teardown: ") + error.what());
    }
    return std::move(result_);
  }

 private:
  struct Pending {
    platform::PendingRequest request;
    std::string what;
  };

  platform::System& system() { return stack_->system(); }
  platform::Scheduler& scheduler() { return stack_->system().scheduler(); }
  emulator::Reader* reader() { return stack_->emulatedReader(); }
  static double ms(platform::Instant at) {
    return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count();
  }

  void fail(std::string what) {
    if (log_ != nullptr) *log_ << "  FAIL " << what << '\n';
    result_.failures.push_back(std::move(what));
  }

  // The trace's tail as it was when the first failure was seen (a verifier
  // report comes from inside the kernel: the tail is taken after its step).
  void keepTraceTail() {
    if (!result_.passed() && result_.traceTail.empty() && stack_) result_.traceTail = traceTail();
  }

  void begin() {
    StackOptions options;
    options.seed = plan_.seed;
    options.knobs = plan_.knobs;
    options.portOptions = plan_.port;
    options.lateWakeupBound = plan_.lateWakeupBound;
    stack_ = std::make_unique<ReaderStack>(options);
    system().verifier().setHandler(
        [this](const platform::Violation& violation) { fail("verifier: " + violation.describe()); });
    port_ = stack_->portDevice();
    // The reader's own misbehaviour may keep it from starting; the steps
    // then meet a reader that is not there.
    stack_->loadDriver();
    const NTSTATUS started = bringUp();
    client_ = std::make_unique<ReaderClient>(system());
    if (log_ != nullptr) *log_ << "  start " << hex(started) << ", open " << hex(client_->openStatus()) << '\n';
    if (plan_.faultChance > 0) {
      if (!plan_.allFaultKinds) system().faults().onlyKinds(soakFaultKinds());
      system().faults().failWithChance(plan_.faultChance, plan_.seed);
    }
  }

  // Stops the faults, lets events settle, compares the card state, proves
  // liveness on a fresh port and unloads the driver.
  void end() {
    for (const auto& fault : system().faults().injected()) ++result_.faults["call " + fault.kind];
    faultsInjected_ = system().faults().injected().size();
    system().faults().reset();
    scheduler().advanceBy(settleTime);
    const std::vector<std::string> stillTracking = trackingStillWaiting();
    client_.reset();
    checkCardState(stillTracking);
    keepTraceTail();
    requireAllEnded("after the steps");
    checkLiveness();
    requireAllEnded("at the end");
    if (stack_->readerAdded(port_)) {
      if (const NTSTATUS status = stack_->remove(port_); !NT_SUCCESS(status)) fail("final remove: " + hex(status));
    }
    stack_->unloadDriver();
    const platform::KernelCensus census = system().census();
    // Only the serial port's device is left once the reader driver is gone.
    if (census.irps != 0 || census.workItems != 0) {
      fail("left at unload: " + std::to_string(census.irps) + " IRPs, " + std::to_string(census.workItems) +
           " work items");
    }
  }

  // The tracking requests of the application's handle that events left
  // waiting (a handle on a reader that went away has none).
  std::vector<std::string> trackingStillWaiting() const {
    std::vector<std::string> waiting;
    if (!client_ || !client_->open() || !client_->interfaceEnabled()) return waiting;
    for (const Pending& pending : pending_) {
      if (!pending.request.done()) waiting.push_back(pending.what);
    }
    return waiting;
  }

  void checkCardState(const std::vector<std::string>& stillTracking) {
    if (!stack_->readerAdded(port_) || reader() == nullptr || !reader()->dsr()) return;
    ReaderClient client(system());
    if (!client.open()) return;  // not started (a fault may have failed its start)
    const ControlReply reply =
        finish(client.startControl(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state"), "state after settling");
    if (!reply.ok()) {
      fail("GET_STATE after settling: " + hex(reply.status));
      return;
    }
    const ULONG state = ReaderClient::asUlong(reply.output);
    const std::uint8_t contacts = reader()->registerValue(4);
    const bool slotHoldsCard = (contacts & 1) != 0;
    // A failed platform call may have cost the driver the reply that tells
    // the card state: it may then say it does not know, never the wrong thing.
    if (state == SCARD_UNKNOWN && faultsInjected_ > 0) return;
    // A reader that answers a register read with a wrong value is believed;
    // one whose replies come late may leave the state a power-up read stale
    // until the next card event (left open: the power-up does not ask again).
    // A reader that falls silent for good never reports a card event again.
    if (!plan_.knobs.reader.wrongReplies.empty() || !plan_.knobs.reader.lateReplies.empty() ||
        plan_.knobs.reader.silentAfter) {
      return;
    }
    if ((state > SCARD_ABSENT) != slotHoldsCard || state == SCARD_UNKNOWN) {
      fail("card state " + std::to_string(state) + " reported, but the slot " +
           (slotHoldsCard ? "holds a card" : "is empty"));
      return;
    }
    // A card said to be powered (its answer-to-reset taken, perhaps a
    // protocol selected) has its contacts on: requests sent to it on that
    // word would otherwise go to a card that cannot answer.
    if (state > SCARD_SWALLOWED && (contacts & 2) == 0) {
      fail("card state " + std::to_string(state) + " reported, but the card is not powered");
    }
    // An application waiting for the card to come (or go) has heard of it.
    for (const std::string& what : stillTracking) {
      if ((what == "IS_PRESENT") == slotHoldsCard) {
        fail(what + " still waiting, but the slot " + (slotHoldsCard ? "holds a card" : "is empty"));
      }
    }
  }

  void checkLiveness() {
    if (stack_->readerAdded(port_)) stack_->remove(port_);
    stack_->removePort(port_);
    StackOptions fresh;
    fresh.knobs.profile = plan_.knobs.profile;
    fresh.portOptions = plan_.port;
    port_ = stack_->addPort(fresh);
    if (const NTSTATUS status = bringUp(); !NT_SUCCESS(status)) {
      fail("liveness: a fresh reader did not start: " + hex(status));
      return;
    }
    client_ = std::make_unique<ReaderClient>(system());
    if (!client_->open()) {
      fail("liveness: the fresh reader did not open: " + hex(client_->openStatus()));
      return;
    }
    const ControlReply atr = request(IOCTL_SMARTCARD_POWER, ulongBytes(SCARD_COLD_RESET), 64, "liveness power-up");
    if (!atr.ok()) return fail("liveness: power-up: " + hex(atr.status));
    const ControlReply selected =
        request(IOCTL_SMARTCARD_SET_PROTOCOL, ulongBytes(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), sizeof(ULONG),
                "liveness protocol");
    if (!selected.ok()) return fail("liveness: protocol: " + hex(selected.status));
    const ControlReply answer = transmit(ReaderClient::asUlong(selected.output), apduOfCase(2), "liveness APDU");
    if (!answer.ok() || answer.output.size() < 2) fail("liveness: APDU: " + hex(answer.status));
    client_.reset();
  }

  void requireAllEnded(const char* when) {
    scheduler().runUntil(
        [&] {
          return std::all_of(pending_.begin(), pending_.end(), [](const Pending& p) { return p.request.done(); });
        },
        requestBound);
    for (Pending& pending : pending_) {
      if (!pending.request.done()) {
        fail(pending.what + " never ended (" + when + ")");
        throw Abandon{};
      }
    }
  }

  // Waits for a request within the bound; one that outlives it is a hang.
  ControlReply finish(platform::PendingRequest request, const std::string& what) {
    const auto started = scheduler().now();
    if (!scheduler().runUntil([&] { return request.done(); }, requestBound)) {
      fail(what + " still running " + std::to_string((scheduler().now() - started) / 1ms) + " ms after it started");
      request.cancel();
      if (!scheduler().runUntil([&] { return request.done(); }, requestBound)) {
        fail(what + " did not end even when cancelled");
        throw Abandon{};
      }
    }
    platform::IoResult result = request.wait();
    return {result.status, std::move(result.output)};
  }

  ControlReply request(ULONG code, Bytes input, ULONG outputLength, const std::string& what) {
    if (!client_ || !client_->open()) return {STATUS_INVALID_HANDLE, {}};
    return finish(client_->startControl(code, std::move(input), outputLength, what), what);
  }

  ControlReply transmit(ULONG protocol, const Bytes& apdu, const std::string& what) {
    const AnswerMark mark = markAnswers();
    ControlReply reply =
        ReaderClient::transmitAnswer(request(IOCTL_SMARTCARD_TRANSMIT, ReaderClient::transmitInput(protocol, apdu),
                                             ReaderClient::transmitOutputLength(), what));
    checkAnswer(reply, mark, reader() != nullptr ? reader()->card() : nullptr, what);
    return reply;
  }

  // A reset that succeeded hands over the answer-to-reset of the card in the
  // slot, cold or warm, and nothing else. Only its check character (TCK)
  // may be missing, and only where a card byte came late or never: the
  // driver accepts an ATR whose TCK does not come in time.
  ControlReply reset(ULONG kind, const std::string& what) {
    ControlReply reply = request(IOCTL_SMARTCARD_POWER, ulongBytes(kind), 64, what);
    const emulator::Card* card = reader() != nullptr ? reader()->card() : nullptr;
    if (!reply.ok() || card == nullptr) return reply;
    const emulator::CardProfile& profile = card->profile();
    const bool tckMayBeLate =
        !plan_.knobs.card.lateBytes.empty() || plan_.knobs.card.silentAfter || plan_.knobs.reader.silentAfter;
    const auto isAtr = [&](const Bytes& atr) {
      if (reply.output == atr) return true;
      const bool tckMissing = tckMayBeLate && card->atr().tckExpected && reply.output.size() + 1 == atr.size();
      return tckMissing && std::equal(reply.output.begin(), reply.output.end(), atr.begin());
    };
    if (!isAtr(profile.coldAtr) && !isAtr(profile.warmAtr.empty() ? profile.coldAtr : profile.warmAtr)) {
      fail(what + " gave the ATR " + formatHex(reply.output) + ", but the card's is " + formatHex(profile.coldAtr));
    }
    return reply;
  }

  // Where the card's answers stood when an APDU was sent.
  struct AnswerMark {
    std::uint64_t cardsInserted = 0;
    std::uint64_t answers = 0;
    std::uint32_t readerErrors = 0;
  };
  AnswerMark markAnswers() {
    if (reader() == nullptr) return {};
    const emulator::Card* card = reader()->card();
    return {reader()->cardsInserted(), card != nullptr ? card->answers().count() : 0, reader()->errorsReported()};
  }

  // An APDU that succeeded carries exactly what the card (the one in the
  // slot at the end, or the one pulled out during the request) answered to
  // the last command it completed since the APDU was sent. Nor can it
  // succeed when the reader answered one of its commands with an error (a
  // reply let through late may bring one that belongs to another).
  void checkAnswer(const ControlReply& reply, const AnswerMark& mark, const emulator::Card* card,
                   const std::string& what) {
    if (!reply.ok()) return;
    if (reply.output.size() < 2) return fail(what + " succeeded without a status word");
    if (card == nullptr || reader() == nullptr) return;
    if (reader()->errorsReported() != mark.readerErrors && plan_.knobs.reader.lateReplies.empty()) {
      fail(what + " succeeded although the reader answered one of its commands with an error");
    }
    const std::uint64_t before = reader()->cardsInserted() == mark.cardsInserted ? mark.answers : 0;
    if (card->answers().count() <= before) return fail(what + " succeeded, but the card answered no command");
    if (reply.output != card->answers().last()) {
      fail(what + " answered " + formatHex(reply.output) + ", but the card said " + formatHex(card->answers().last()));
    }
  }

  std::string outcome(const ControlReply& reply) {
    return hex(reply.status) + ", " + std::to_string(reply.output.size()) + " bytes";
  }
  std::string outcome(NTSTATUS status) { return hex(status); }

  // Adds (when it is not) and starts the reader. A reader whose start
  // fails is removed, as the PnP manager does, once the application has
  // let go of its handle.
  NTSTATUS bringUp() {
    NTSTATUS status = stack_->readerAdded(port_) ? STATUS_SUCCESS : stack_->addReader(port_);
    if (NT_SUCCESS(status)) status = start();
    return status;
  }
  NTSTATUS start() {
    const NTSTATUS status = stack_->start(port_);
    if (!NT_SUCCESS(status)) {
      client_.reset();
      stack_->finishRemoval(port_);
    }
    return status;
  }

  // Plug and Play steps need the reader added; one whose AddDevice or start
  // failed under a fault is added again first.
  NTSTATUS ensureAdded() { return stack_->readerAdded(port_) ? STATUS_SUCCESS : bringUp(); }

  std::string perform(const Step& step) {
    switch (step.op) {
      case Op::open: {
        if (client_ && client_->open()) {
          ReaderClient second(system(), client_->link());
          if (second.open()) fail("a second handle opened the exclusive reader");
          return "second open " + hex(second.openStatus());
        }
        client_ = std::make_unique<ReaderClient>(system());
        return "open " + hex(client_->openStatus());
      }
      case Op::close: client_.reset(); return "closed";
      case Op::coldReset: return outcome(reset(SCARD_COLD_RESET, "cold reset"));
      case Op::warmReset: return outcome(reset(SCARD_WARM_RESET, "warm reset"));
      case Op::powerDown: return outcome(request(IOCTL_SMARTCARD_POWER, ulongBytes(SCARD_POWER_DOWN), 0, "power down"));
      case Op::setProtocol: {
        const ULONG mask = step.value % 3 + 1;
        const ControlReply reply = request(IOCTL_SMARTCARD_SET_PROTOCOL, ulongBytes(mask), sizeof(ULONG), "protocol");
        if (reply.ok()) protocol_ = ReaderClient::asUlong(reply.output);
        return outcome(reply);
      }
      case Op::apdu: return outcome(transmit(protocolFor(step.value), apduOfCase(step.value >> 2), "APDU"));
      case Op::apduThenPull: {
        if (!client_ || !client_->open()) return "no handle";
        const AnswerMark mark = markAnswers();
        auto running = client_->startControl(
            IOCTL_SMARTCARD_TRANSMIT, ReaderClient::transmitInput(protocolFor(step.value), apduOfCase(step.value >> 2)),
            ReaderClient::transmitOutputLength(), "APDU, card pulled");
        scheduler().advanceBy(std::chrono::microseconds((step.value % 64) * 500));
        const std::unique_ptr<emulator::Card> pulled = reader() != nullptr ? reader()->removeCard() : nullptr;
        const ControlReply reply = ReaderClient::transmitAnswer(finish(std::move(running), "APDU, card pulled"));
        checkAnswer(reply, mark, pulled.get(), "APDU, card pulled");
        return outcome(reply);
      }
      case Op::getState: return outcome(request(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state"));
      case Op::getAttribute: {
        static constexpr std::array<ULONG, 4> tags{SCARD_ATTR_ATR_STRING, SCARD_ATTR_CURRENT_PROTOCOL_TYPE,
                                                   SCARD_ATTR_VENDOR_NAME,
                                                   SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0203)};
        return outcome(
            request(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulongBytes(tags[step.value % tags.size()]), 64, "attribute"));
      }
      case Op::trackPresent:
      case Op::trackAbsent: {
        if (!client_ || !client_->open()) return "no handle";
        const bool present = step.op == Op::trackPresent;
        const std::string what = present ? "IS_PRESENT" : "IS_ABSENT";
        pending_.push_back(
            {client_->startControl(present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0, what),
             what});
        scheduler().advanceBy(1ms);
        return pending_.back().request.done() ? "ended at once" : "pending";
      }
      case Op::cancelTracking: {
        for (Pending& pending : pending_) {
          if (!pending.request.done()) {
            const bool cancelled = pending.request.cancel();
            scheduler().advanceBy(1ms);
            return std::string(cancelled ? "cancelled " : "could not cancel ") + pending.what;
          }
        }
        return "nothing pending";
      }
      case Op::pullCard:
        if (reader() != nullptr) reader()->removeCard();
        return "pulled";
      case Op::insertCard: {
        if (reader() == nullptr) return "no reader";
        const bool inserted =
            reader()->insertCard(std::make_unique<emulator::Card>(emulator::profileFor(plan_.knobs), plan_.knobs.card));
        return inserted ? "inserted" : "slot full";
      }
      case Op::unplug:
        if (reader() != nullptr) reader()->unplug();
        return "unplugged";
      case Op::plug:
        if (reader() != nullptr) reader()->plug();
        return "plugged";
      case Op::stop: {
        if (const NTSTATUS added = ensureAdded(); !NT_SUCCESS(added)) return "re-add " + hex(added);
        const NTSTATUS stopped = stack_->stop(port_);
        const NTSTATUS started = NT_SUCCESS(stopped) ? start() : STATUS_SUCCESS;
        return "stop " + hex(stopped) + ", start " + hex(started);
      }
      case Op::remove: {
        if (const NTSTATUS added = ensureAdded(); !NT_SUCCESS(added)) return "re-add " + hex(added);
        const NTSTATUS removed = stack_->remove(port_);
        const NTSTATUS again = stack_->readerAdded(port_) ? STATUS_SUCCESS : bringUp();
        return "remove " + hex(removed) + ", add and start " + hex(again);
      }
      case Op::surpriseRemove: {
        // The application finds its reader gone, then closes its handle;
        // only then does the removal end.
        if (const NTSTATUS added = ensureAdded(); !NT_SUCCESS(added)) return "re-add " + hex(added);
        const NTSTATUS pulled = stack_->beginSurpriseRemoval(port_);
        const ControlReply afterwards = request(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state, reader gone");
        if (afterwards.ok()) fail("a request succeeded on a reader that was surprise-removed");
        client_.reset();
        const NTSTATUS removed = stack_->finishRemoval(port_);
        const NTSTATUS again = bringUp();
        return "surprise removal " + hex(pulled) + ", remove " + hex(removed) + ", add and start " + hex(again);
      }
      case Op::sleep: {
        const NTSTATUS slept = stack_->sleep(step.value % 2 == 0 ? PowerSystemSleeping3 : PowerSystemHibernate);
        scheduler().advanceBy(std::chrono::milliseconds(step.value % 1000));
        const NTSTATUS woke = stack_->wake();
        return "sleep " + hex(slept) + ", wake " + hex(woke);
      }
      case Op::idle: scheduler().advanceBy(std::chrono::milliseconds(step.value % 5000)); return "idle";
    }
    return "?";
  }

  ULONG protocolFor(std::uint32_t draw) const {
    switch (draw % 4) {
      case 0: return SCARD_PROTOCOL_T0;
      case 1: return SCARD_PROTOCOL_T1;
      default: return protocol_;
    }
  }

  void countKnobs() {
    std::istringstream knobs(plan_.knobText);
    for (std::string knob; std::getline(knobs, knob, ',');) {
      const std::string name = knob.substr(0, knob.find('='));
      if (name != "profile" && name != "seed" && name != "late-ms" && name != "late-reply-ms")
        ++result_.faults["card " + name];
    }
    for (const auto& knob : plan_.portKnobs) ++result_.faults["port " + knob];
    if (plan_.lateWakeupBound > platform::Duration::zero()) ++result_.faults["scheduler late-wakeups"];
  }

  std::string traceTail() {
    const std::string trace = system().trace().format();
    if (std::getenv("SOAK_WHOLE_TRACE") != nullptr) return trace;
    std::size_t start = trace.size();
    for (std::size_t lines = 0; start > 0 && lines <= traceTailLines; --start) {
      if (trace[start - 1] == '\n') ++lines;
    }
    return trace.substr(start);
  }

  const Plan& plan_;
  std::ostream* log_;
  LifeResult result_;
  std::unique_ptr<ReaderStack> stack_;
  std::unique_ptr<ReaderClient> client_;
  std::vector<Pending> pending_;
  PDEVICE_OBJECT port_ = nullptr;
  ULONG protocol_ = SCARD_PROTOCOL_T1;
  std::size_t faultsLogged_ = 0;
  std::size_t faultsInjected_ = 0;
};

}  // namespace

LifeResult live(const Plan& plan, std::ostream* log) { return Life(plan, log).run(); }

std::string replayLine(std::uint64_t seed) { return "scripts/soak --seed " + std::to_string(seed) + " --verbose"; }

}  // namespace tav712::soak
