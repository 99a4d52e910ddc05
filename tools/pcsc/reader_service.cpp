#include "reader_service.h"

#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "card/ReaderAttributes.h"
#include "stack/reader_client.h"
#include "stack/reader_stack.h"
#include "tav712/errors.h"

namespace tav712::pcsc {

static_assert(vendorGetVersionCode == IOCTL_VENDOR_GET_VERSION);
static_assert(protocolT0 == SCARD_PROTOCOL_T0 && protocolT1 == SCARD_PROTOCOL_T1);

namespace {

using namespace std::chrono_literals;

// No request of a reader takes this long; a call that does has lost its
// reader, and pcscd must not hang on it.
constexpr auto callBound = 60s;

Reply replyFrom(const ControlReply& reply) { return {outcomeFor(reply.status), reply.output}; }

StackOptions stackOptionsFor(const std::string& device) {
  StackOptions options;
  options.wallClock = true;
  if (device.rfind("emulator", 0) == 0) {
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
  explicit Impl(StackOptions stackOptions) : options(std::move(stackOptions)) {}

  // ---- Calling threads ------------------------------------------------
  // Runs `body` on the service thread and waits for its answer.
  Reply call(std::function<Reply()> body) {
    auto promise = std::make_shared<std::promise<Reply>>();
    auto answer = promise->get_future();
    post([promise, body = std::move(body)] {
      try {
        promise->set_value(body());
      } catch (const std::exception&) {
        promise->set_value({Outcome::failure, {}});
      }
    });
    if (answer.wait_for(callBound) != std::future_status::ready) return {Outcome::readerGone, {}};
    return answer.get();
  }

  void post(std::function<void()> job) {
    std::lock_guard lock(mutex);
    jobs.push_back(std::move(job));
    jobsWaiting = true;
    // An empty interrupt is enough to end the service thread's idle wait.
    if (wakeLine) wakeLine->raise([] {});
  }

  // ---- The service thread ---------------------------------------------
  void run(std::promise<Outcome>& started) {
    try {
      stack = std::make_unique<ReaderStack>(options);
    } catch (const std::exception&) {
      started.set_value(Outcome::readerGone);
      return;
    }
    // TAV712_IFD_TRACE=1 in pcscd's environment writes the kernel trace
    // (requests, serial bytes, card events) to pcscd's standard error.
    if (const char* trace = std::getenv("TAV712_IFD_TRACE"); trace != nullptr && *trace == '1') {
      stack->system().trace().echoTo(&std::cerr);
    }
    NTSTATUS status = stack->bringUp();
    if (NT_SUCCESS(status)) {
      client = std::make_unique<ReaderClient>(stack->system());
      status = client->openStatus();
    }
    if (!NT_SUCCESS(status)) {
      client.reset();
      stack.reset();
      started.set_value(Outcome::readerGone);
      return;
    }
    {
      std::lock_guard lock(mutex);
      wakeLine.emplace(stack->system().scheduler().openInterruptLine("pcscd requests"));
    }
    started.set_value(Outcome::ok);
    serve();
    {
      std::lock_guard lock(mutex);
      wakeLine.reset();
    }
    if (tracking) {
      tracking->cancel();
      tracking->wait();
      tracking.reset();
    }
    client.reset();
    stack.reset();
  }

  void serve() {
    auto& scheduler = stack->system().scheduler();
    for (;;) {
      std::function<void()> job;
      {
        std::lock_guard lock(mutex);
        if (!jobs.empty()) {
          job = std::move(jobs.front());
          jobs.pop_front();
        } else {
          jobsWaiting = false;
          if (stopping) return;
        }
      }
      if (job) {
        job();
        continue;
      }
      scheduler.runUntil([this] { return jobsWaiting.load() || (tracking && tracking->done()); }, 1s);
      if (tracking && tracking->done()) {
        const auto result = tracking->wait();
        tracking.reset();
        std::lock_guard lock(mutex);
        trackingOutcome = outcomeFor(result.status);
        ++trackingEnded;
        trackingChanged.notify_all();
      }
    }
  }

  // Whether the interface is gone (the reader's DSR dropped): every request
  // then answers that the reader is gone, whatever the driver said.
  Reply checked(Reply reply) const {
    if (!client->interfaceEnabled()) reply.outcome = Outcome::readerGone;
    return reply;
  }

  StackOptions options;
  std::thread thread;
  std::mutex mutex;
  std::deque<std::function<void()>> jobs;
  std::atomic<bool> jobsWaiting{false};
  bool stopping = false;
  std::optional<platform::InterruptLine> wakeLine;

  // Card tracking: the request lives on the service thread; callers wait
  // for trackingEnded to move.
  std::optional<platform::PendingRequest> tracking;
  std::condition_variable trackingChanged;
  std::uint64_t trackingEnded = 0;
  Outcome trackingOutcome = Outcome::cancelled;

  // Owned by the service thread.
  std::unique_ptr<ReaderStack> stack;
  std::unique_ptr<ReaderClient> client;
};

std::unique_ptr<ReaderService> ReaderService::open(const std::string& device, Outcome& outcome) {
  StackOptions options;
  try {
    options = stackOptionsFor(device);
  } catch (const ToolError&) {
    outcome = Outcome::notSupported;
    return nullptr;
  }
  auto impl = std::make_unique<Impl>(std::move(options));
  std::promise<Outcome> started;
  auto ready = started.get_future();
  impl->thread = std::thread([raw = impl.get(), &started] { raw->run(started); });
  outcome = ready.get();
  if (outcome != Outcome::ok) {
    impl->thread.join();
    return nullptr;
  }
  return std::unique_ptr<ReaderService>(new ReaderService(std::move(impl)));
}

ReaderService::ReaderService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ReaderService::~ReaderService() {
  impl_->post([this] { impl_->stopping = true; });
  if (impl_->thread.joinable()) impl_->thread.join();
}

Reply ReaderService::power(PowerAction action) {
  const ULONG minor = action == PowerAction::coldReset   ? SCARD_COLD_RESET
                      : action == PowerAction::warmReset ? SCARD_WARM_RESET
                                                         : SCARD_POWER_DOWN;
  return impl_->call([this, minor] { return impl_->checked(replyFrom(impl_->client->power(minor))); });
}

Reply ReaderService::setProtocol(std::uint32_t protocolMask) {
  return impl_->call([this, protocolMask] {
    Reply reply = impl_->checked(replyFrom(impl_->client->setProtocol(protocolMask)));
    // Any refusal other than a missing card, a mute card or a lost reader
    // means the protocol could not be had.
    if (reply.outcome == Outcome::notSupported || reply.outcome == Outcome::failure) {
      reply.outcome = Outcome::protocolRefused;
    }
    return reply;
  });
}

Reply ReaderService::transmit(std::uint32_t protocol, std::span<const std::uint8_t> apdu) {
  std::vector<std::uint8_t> command(apdu.begin(), apdu.end());
  return impl_->call([this, protocol, command = std::move(command)] {
    return impl_->checked(replyFrom(impl_->client->transmit(protocol, command)));
  });
}

Reply ReaderService::attribute(std::uint32_t tag) {
  return impl_->call([this, tag] { return impl_->checked(replyFrom(impl_->client->attribute(tag, 264))); });
}

Reply ReaderService::control(std::uint32_t code, std::span<const std::uint8_t> input, std::uint32_t outputLength) {
  std::vector<std::uint8_t> bytes(input.begin(), input.end());
  return impl_->call([this, code, bytes = std::move(bytes), outputLength] {
    return impl_->checked(replyFrom(impl_->client->control(code, bytes, outputLength)));
  });
}

Reply ReaderService::cardState() {
  return impl_->call([this] {
    Reply reply = impl_->checked(replyFrom(impl_->client->state()));
    if (reply.ok() && reply.data.size() >= 4) reply.data.resize(1);
    return reply;
  });
}

Outcome ReaderService::waitForCardMovement(std::chrono::milliseconds timeout) {
  std::uint64_t before = 0;
  {
    std::lock_guard lock(impl_->mutex);
    before = impl_->trackingEnded;
  }
  const Reply started = impl_->call([this] {
    if (!impl_->tracking) {
      const auto state = impl_->client->state();
      if (!NT_SUCCESS(state.status)) return impl_->checked(replyFrom(state));
      const bool empty = ReaderClient::asUlong(state.output) <= SCARD_ABSENT;
      impl_->tracking = impl_->client->startControl(empty ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT,
                                                    {}, 0, empty ? "pcscd: card insertion" : "pcscd: card removal");
    }
    return Reply{Outcome::ok, {}};
  });
  if (!started.ok()) return started.outcome;

  std::unique_lock lock(impl_->mutex);
  if (impl_->trackingChanged.wait_for(lock, timeout, [&] { return impl_->trackingEnded != before; })) {
    return impl_->trackingOutcome;
  }
  lock.unlock();
  stopWaiting();
  lock.lock();
  impl_->trackingChanged.wait_for(lock, 5s, [&] { return impl_->trackingEnded != before; });
  return Outcome::cancelled;
}

void ReaderService::stopWaiting() {
  impl_->post([this] {
    if (impl_->tracking) impl_->tracking->cancel();
  });
}

}  // namespace tav712::pcsc
