#include "reader_service.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>

#include "include/tav712_public.h"
#include "reader_kernel.h"
#include "stack/reader_client.h"
#include "tav712/errors.h"

namespace tav712::pcsc {

static_assert(vendorGetVersionCode == IOCTL_VENDOR_GET_VERSION);
static_assert(protocolT0 == SCARD_PROTOCOL_T0 && protocolT1 == SCARD_PROTOCOL_T1);

namespace {

using namespace std::chrono_literals;

Reply replyFrom(const ControlReply& reply) { return {outcomeFor(reply.status), reply.output}; }

StackOptions stackOptionsFor(const std::string& device) {
  StackOptions options;
  options.wallClock = true;
  // TAV712_DRIVER_IMAGE in pcscd's environment runs a kernel image (the
  // tav712.sys linked for Windows) instead of the driver built for this host.
  if (const char* image = std::getenv("TAV712_DRIVER_IMAGE"); image != nullptr) options.driverImage = image;
  if (device == "emulator" || device.rfind("emulator:", 0) == 0) {
    // The emulated reader runs on the wall clock here, as under `tav712
    // emulate` (unless the knobs set command-gap-ms themselves).
    options.knobs.reader.commandGapMs = emulator::realTimeCommandGapMs;
    const std::size_t colon = device.find(':');
    if (colon != std::string::npos) {
      if (auto problem = emulator::applyKnobs(device.substr(colon + 1), options.knobs)) {
        throw ToolError(ExitStatus::usage, "DEVICENAME " + device + ": " + *problem,
                        "see the knob list in emulator/README.md");
      }
    }
  } else {
    options.portPath = device.substr(0, device.find(':'));
  }
  return options;
}

// The interfaces that `after` has and `before` had not: the one a reader
// just started registered.
std::u16string newInterface(const std::vector<std::u16string>& before, const std::vector<std::u16string>& after) {
  for (const auto& link : after) {
    if (std::find(before.begin(), before.end(), link) == before.end()) return link;
  }
  return {};
}

}  // namespace

const char* outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok: return "ok";
    case Outcome::noCard: return "no card";
    case Outcome::cardMute: return "card mute";
    case Outcome::protocolRefused: return "protocol refused";
    case Outcome::readerGone: return "reader gone";
    case Outcome::notSupported: return "not supported";
    case Outcome::bufferTooSmall: return "buffer too small";
    case Outcome::cancelled: return "cancelled";
    case Outcome::tooSlow: return "too slow";
    case Outcome::failure: return "failure";
  }
  return "?";
}

Outcome outcomeFor(std::int32_t ntStatus) {
  switch (static_cast<NTSTATUS>(ntStatus)) {
    case STATUS_SUCCESS: return Outcome::ok;
    case STATUS_NO_MEDIA_IN_DEVICE: return Outcome::noCard;
    case STATUS_IO_TIMEOUT:
    case STATUS_UNRECOGNIZED_MEDIA:
    case STATUS_DEVICE_PROTOCOL_ERROR: return Outcome::cardMute;
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_SUPPORTED: return Outcome::notSupported;
    case STATUS_DEVICE_REMOVED:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_INVALID_HANDLE:
    case STATUS_OBJECT_NAME_NOT_FOUND: return Outcome::readerGone;
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_BUFFER_OVERFLOW: return Outcome::bufferTooSmall;
    case STATUS_CANCELLED: return Outcome::cancelled;
    default: return Outcome::failure;
  }
}

struct ReaderService::Impl {
  explicit Impl(WaitBounds waitBounds) : bounds(waitBounds) {}

  // ---- Calling threads (pcscd's) -----------------------------------------
  // Runs `body` on a request thread of the kernel and waits for its answer
  // at most `bound`; a request that takes longer goes on in the driver.
  Reply call(std::string name, std::function<Reply()> body, std::chrono::milliseconds bound) {
    auto answer = start(std::move(name), std::move(body));
    if (answer.wait_for(bound) != std::future_status::ready) return {Outcome::tooSlow, {}};
    return answer.get();
  }
  Reply call(std::string name, std::function<Reply()> body) {
    return call(std::move(name), std::move(body), bounds.request);
  }

  std::shared_future<Reply> start(std::string name, std::function<Reply()> body) {
    auto promise = std::make_shared<std::promise<Reply>>();
    std::shared_future<Reply> answer = promise->get_future().share();
    kernel->post([this, name = std::move(name), body = std::move(body), promise]() mutable {
      if (closing || !client) {
        promise->set_value({Outcome::readerGone, {}});
        return;
      }
      std::erase_if(requests, [](const platform::ThreadHandle& thread) { return thread.finished(); });
      requests.push_back(
          kernel->stack()->system().scheduler().spawn(std::move(name), [body = std::move(body), promise] {
            try {
              promise->set_value(body());
            } catch (const std::exception&) {
              promise->set_value({Outcome::failure, {}});
            }
          }));
    });
    return answer;
  }

  // ---- Kernel threads ------------------------------------------------------
  // Whether the interface is gone (the reader's DSR dropped): every request
  // then answers that the reader is gone, whatever the driver said.
  Reply checked(Reply reply) const {
    if (!client->interfaceEnabled()) reply.outcome = Outcome::readerGone;
    return reply;
  }

  // A card-tracking request, waited for on its request thread.
  Reply trackCard() {
    const auto state = client->state();
    if (!NT_SUCCESS(state.status)) return checked(replyFrom(state));
    if (closing) return {Outcome::cancelled, {}};
    const bool empty = ReaderClient::asUlong(state.output) <= SCARD_ABSENT;
    tracking = client->startControl(empty ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0,
                                    empty ? "pcscd: card insertion" : "pcscd: card removal");
    const auto result = tracking->wait();
    tracking.reset();
    return checked(Reply{outcomeFor(result.status), {}});
  }

  // On the kernel thread: ends every request of this reader (a tracking
  // request is cancelled, the others end by the driver's own bounds), closes
  // the handle and takes the reader and its port away.
  void closeReader() {
    closing = true;
    auto& scheduler = kernel->stack()->system().scheduler();
    const auto allEnded = [this] {
      return std::all_of(requests.begin(), requests.end(), [](const auto& thread) { return thread.finished(); });
    };
    while (!allEnded()) {
      if (tracking) tracking->cancel();
      scheduler.runUntil(allEnded, 100ms);
    }
    requests.clear();
    if (client) client->power(SCARD_POWER_DOWN);
    client.reset();
    kernel->stack()->removePort(port);
  }

  ReaderKernel::Lease kernel;
  const WaitBounds bounds;

  // Owned by the kernel's threads (one of them runs at a time).
  PDEVICE_OBJECT port = nullptr;
  std::unique_ptr<ReaderClient> client;
  std::vector<platform::ThreadHandle> requests;
  std::optional<platform::PendingRequest> tracking;
  bool closing = false;

  // pcscd's polling thread: the card-tracking request it waits for, kept
  // across calls while it has not ended.
  std::mutex trackingMutex;
  std::optional<std::shared_future<Reply>> trackingAnswer;
};

std::unique_ptr<ReaderService> ReaderService::open(const std::string& device, Outcome& outcome, WaitBounds bounds) {
  StackOptions options;
  try {
    options = stackOptionsFor(device);
  } catch (const ToolError&) {
    outcome = Outcome::notSupported;
    return nullptr;
  }
  auto impl = std::make_unique<Impl>(bounds);
  Impl& reader = *impl;
  outcome = Outcome::readerGone;
  try {
    reader.kernel->run([&] {
      try {
        reader.port = reader.kernel->addPort(options);
      } catch (const std::exception& error) {
        // The serial device cannot be opened, or the driver image loaded.
        std::cerr << "tav712: " << device << ": " << error.what() << "\n";
        return;
      }
      ReaderStack& stack = *reader.kernel->stack();
      const auto before = ReaderClient::readerInterfaces(stack.system());
      if (NT_SUCCESS(stack.bringUp(reader.port))) {
        const auto link = newInterface(before, ReaderClient::readerInterfaces(stack.system()));
        reader.client = std::make_unique<ReaderClient>(stack.system(), link);
        if (NT_SUCCESS(reader.client->openStatus())) {
          outcome = Outcome::ok;
          return;
        }
        reader.client.reset();
      }
      stack.removePort(reader.port);
    });
  } catch (const std::exception&) {
    outcome = Outcome::failure;  // the kernel failed the reader's start
  }
  if (outcome != Outcome::ok) return nullptr;
  return std::unique_ptr<ReaderService>(new ReaderService(std::move(impl)));
}

ReaderService::ReaderService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ReaderService::~ReaderService() {
  try {
    impl_->kernel->run([this] { impl_->closeReader(); });
  } catch (const std::exception& error) {
    std::cerr << "tav712: closing a reader: " << error.what() << "\n";
  }
}

Reply ReaderService::power(PowerAction action) {
  const ULONG minor = action == PowerAction::coldReset   ? SCARD_COLD_RESET
                      : action == PowerAction::warmReset ? SCARD_WARM_RESET
                                                         : SCARD_POWER_DOWN;
  return impl_->call("pcscd: power", [this, minor] { return impl_->checked(replyFrom(impl_->client->power(minor))); });
}

Reply ReaderService::setProtocol(std::uint32_t protocolMask) {
  return impl_->call("pcscd: set protocol", [this, protocolMask] {
    Reply reply = impl_->checked(replyFrom(impl_->client->setProtocol(protocolMask)));
    // Any refusal other than a missing card, a mute card or a lost reader
    // means the protocol could not be had.
    if (reply.outcome == Outcome::notSupported || reply.outcome == Outcome::failure) {
      reply.outcome = Outcome::protocolRefused;
    }
    return reply;
  });
}

Reply ReaderService::transmit(std::uint32_t protocol, std::span<const std::uint8_t> apdu, std::size_t answerRoom) {
  answerRoom = std::min(answerRoom, maxAnswerLength);
  const TransmitFit fit = checkTransmit(protocol == protocolT0, apdu, answerRoom);
  if (fit != TransmitFit::fits) {
    std::cerr << "tav712: transmit refused (" << transmitFitName(fit) << "): a command of " << apdu.size()
              << " bytes asking for an answer of up to " << expectedAnswerLength(apdu) << " bytes; the reader takes "
              << (protocol == protocolT0 ? maxT0CommandLength : maxCommandLength) << " and the caller has room for "
              << answerRoom << "\n";
    return {Outcome::bufferTooSmall, {}};
  }
  const std::size_t answerLength = std::min(expectedAnswerLength(apdu), answerRoom);
  std::vector<std::uint8_t> command(apdu.begin(), apdu.end());
  const auto bound = transmitBound(impl_->bounds, command.size(), answerLength);
  return impl_->call(
      "pcscd: transmit",
      [this, protocol, answerRoom, command = std::move(command)] {
        return impl_->checked(replyFrom(impl_->client->transmit(protocol, command, static_cast<ULONG>(answerRoom))));
      },
      bound);
}

Reply ReaderService::attribute(std::uint32_t tag) {
  return impl_->call("pcscd: attribute",
                     [this, tag] { return impl_->checked(replyFrom(impl_->client->attribute(tag, 264))); });
}

Reply ReaderService::control(std::uint32_t code, std::span<const std::uint8_t> input, std::uint32_t outputLength) {
  std::vector<std::uint8_t> bytes(input.begin(), input.end());
  return impl_->call("pcscd: control", [this, code, bytes = std::move(bytes), outputLength] {
    return impl_->checked(replyFrom(impl_->client->control(code, bytes, outputLength)));
  });
}

Reply ReaderService::cardState() {
  return impl_->call("pcscd: card state", [this] {
    Reply reply = impl_->checked(replyFrom(impl_->client->state()));
    if (reply.ok() && reply.data.size() >= 4) reply.data.resize(1);
    return reply;
  });
}

Outcome ReaderService::waitForCardMovement(std::chrono::milliseconds timeout) {
  std::shared_future<Reply> answer;
  {
    std::lock_guard lock(impl_->trackingMutex);
    if (!impl_->trackingAnswer)
      impl_->trackingAnswer = impl_->start("pcscd: card tracking", [this] { return impl_->trackCard(); });
    answer = *impl_->trackingAnswer;
  }
  if (answer.wait_for(timeout) != std::future_status::ready) {
    stopWaiting();
    // A request not yet with the driver (behind a long exchange) cannot be
    // cancelled; it stays for the next call.
    if (answer.wait_for(5s) != std::future_status::ready) return Outcome::cancelled;
  }
  std::lock_guard lock(impl_->trackingMutex);
  impl_->trackingAnswer.reset();
  return answer.get().outcome;
}

void ReaderService::stopWaiting() {
  impl_->kernel->post([this] {
    if (impl_->tracking) impl_->tracking->cancel();
  });
}

}  // namespace tav712::pcsc
