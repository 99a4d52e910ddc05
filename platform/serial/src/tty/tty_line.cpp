// The tty line backend: TtyDevice for the settings and the bytes out,
// TtyWatcher for what comes in, each report raised as an interrupt.

#include <atomic>
#include <cstdint>
#include <memory>
#include <system_error>
#include <vector>

#include "serial/tty_line.h"
#include "tty/tty_device.h"
#include "tty/tty_watcher.h"

namespace serial {
namespace {

// What the interrupts need after the watcher raised them. Shared, so that an
// interrupt still queued in the scheduler when the line goes away finds a
// detached port instead of a dead object.
struct ReceiveSide {
  std::atomic<line::HostPort*> port{nullptr};
  std::atomic<bool> dsr{true};

  // A chunk the watcher read is handed over in one interrupt. The delivery
  // may give the CPU up (the requests it completes wake threads) and the port
  // may be detached and deleted meanwhile: the port keeps itself alive
  // for the length of the call.
  void deliverBytes(const std::vector<std::uint8_t>& bytes) {
    if (line::HostPort* target = port.load()) target->bytesReceived(bytes);
  }
  void deliverDsr(bool asserted) {
    if (dsr.exchange(asserted) == asserted) return;
    if (line::HostPort* target = port.load()) target->dsrChanged(asserted);
  }
};

class TtyLine final : public LineBackend {
 public:
  TtyLine(const TtyLineOptions& options, InterruptRaiser raiseInterrupt)
      : device_(tty::TtyDevice::open(options.path)), raiseInterrupt_(std::move(raiseInterrupt)) {
    if (!device_.configure(settings_)) {
      throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                              "cannot set " + options.path + " to 19200 baud 8N1 raw");
    }
    // A pseudo-terminal has no modem lines: its far end is always there.
    side_->dsr = device_.dsr().value_or(true);
    watcher_ = std::make_unique<tty::TtyWatcher>(device_, handlers(), options.modemPollPeriod);
  }

  ~TtyLine() override {
    side_->port = nullptr;
    watcher_.reset();
  }

  void connect(line::HostPort* port) override { side_->port = port; }

  void byteFromHost(std::uint8_t byte) override {
    // Without flow control a byte the far end has no room for is lost, as
    // on a wire.
    if (device_.writeSome(std::span(&byte, 1)) == 0) ++droppedBytes_;
  }

  bool applyLineSettings(const LineSettings& settings) override {
    if (settings == settings_) return true;
    if (!device_.configure(settings)) {
      device_.configure(settings_);
      return false;
    }
    settings_ = settings;
    return true;
  }

  bool dsr() const override { return side_->dsr; }
  bool realTime() const override { return true; }
  std::string name() const override { return device_.path(); }

 private:
  tty::TtyWatcher::Handlers handlers() {
    std::shared_ptr<ReceiveSide> side = side_;
    InterruptRaiser raise = raiseInterrupt_;
    return {
        .bytesArrived =
            [side, raise](std::span<const std::uint8_t> bytes) {
              raise([side, copy = std::vector<std::uint8_t>(bytes.begin(), bytes.end())] { side->deliverBytes(copy); });
            },
        .dsrChanged = [side, raise](bool asserted) { raise([side, asserted] { side->deliverDsr(asserted); }); },
        .hungUp = [side, raise] { raise([side] { side->deliverDsr(false); }); },
    };
  }

  tty::TtyDevice device_;
  InterruptRaiser raiseInterrupt_;
  LineSettings settings_{};
  std::shared_ptr<ReceiveSide> side_ = std::make_shared<ReceiveSide>();
  std::uint64_t droppedBytes_ = 0;
  std::unique_ptr<tty::TtyWatcher> watcher_;
};

}  // namespace

std::unique_ptr<LineBackend> makeTtyLine(const TtyLineOptions& options, InterruptRaiser raiseInterrupt) {
  return std::make_unique<TtyLine>(options, std::move(raiseInterrupt));
}

}  // namespace serial
