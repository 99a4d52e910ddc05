// The backend over an emulator::LineDevice: the device's host port feeds the
// port's receive side; the port's transmitter feeds the device.

#include "serial/device_line.h"

#include <platform/scheduler.h>

namespace serial {

emulator::Nanoseconds KernelTimeline::now() const {
  return platform::Scheduler::get().now().time_since_epoch() - origin_;
}

void KernelTimeline::callAt(emulator::Nanoseconds when, std::function<void()> action) {
  platform::Scheduler::get().callAt(platform::Instant(origin_ + when), std::move(action), platform::kDispatchLevel,
                                    "line device");
}

namespace {

class DeviceLine final : public LineBackend, private emulator::HostPort {
 public:
  DeviceLine(emulator::LineDevice& device, std::string name) : device_(device), name_(std::move(name)) {
    device_.connect(this);
  }
  ~DeviceLine() override { device_.connect(nullptr); }
  DeviceLine(const DeviceLine&) = delete;
  DeviceLine& operator=(const DeviceLine&) = delete;

  void attach(LineReceiver* receiver) override { *receiver_ = receiver; }
  void transmit(std::uint8_t byte) override { device_.byteFromHost(byte); }
  bool applyLineSettings(const LineSettings& settings) override {
    device_.hostLineSettings(settings);
    return true;
  }
  bool dsr() const override { return device_.dsr(); }
  bool realTime() const override { return false; }
  std::string name() const override { return name_; }

 private:
  // The device calls these from its timeline actions, which KernelTimeline
  // runs as interrupt contexts. A call from below DISPATCH_LEVEL (a test
  // that unplugs the reader by hand) becomes an interrupt at this instant.
  void byteToHost(std::uint8_t byte) override {
    deliver([byte](LineReceiver& receiver) { receiver.byteReceived(byte); });
  }
  void dsrChanged(bool asserted) override {
    deliver([asserted](LineReceiver& receiver) { receiver.dsrChanged(asserted); });
  }

  void deliver(std::function<void(LineReceiver&)> event) {
    if (platform::currentIrql() >= platform::kDispatchLevel) {
      if (LineReceiver* receiver = *receiver_) event(*receiver);
      return;
    }
    platform::Scheduler& scheduler = platform::Scheduler::get();
    scheduler.callAt(
        scheduler.now(),
        [cell = receiver_, event = std::move(event)] {
          if (LineReceiver* receiver = *cell) event(*receiver);
        },
        platform::kDispatchLevel, name_ + " event");
  }

  emulator::LineDevice& device_;
  std::string name_;
  // Shared with deferred events, which may outlive the backend.
  std::shared_ptr<LineReceiver*> receiver_ = std::make_shared<LineReceiver*>(nullptr);
};

}  // namespace

std::unique_ptr<LineBackend> makeDeviceLine(emulator::LineDevice& device, std::string name) {
  return std::make_unique<DeviceLine>(device, std::move(name));
}

}  // namespace serial
