// The backend over a line::LineDevice: the backend is the device's host port
// and hands what the device sends to the port's host port in interrupt
// contexts; the port's transmitter feeds the device.

#include "serial/device_line.h"

#include <platform/scheduler.h>

namespace serial {

line::Nanoseconds KernelTimeline::now() const { return platform::Scheduler::get().now().time_since_epoch() - origin_; }

void KernelTimeline::callAt(line::Nanoseconds when, std::function<void()> action) {
  platform::Scheduler::get().callAt(platform::Instant(origin_ + when), std::move(action), platform::kDispatchLevel,
                                    "line device");
}

namespace {

class DeviceLine final : public LineBackend, private line::HostPort {
 public:
  DeviceLine(line::LineDevice& device, std::string name) : device_(device), name_(std::move(name)) {
    device_.connect(this);
  }
  ~DeviceLine() override { detachFromDevice(); }
  DeviceLine(const DeviceLine&) = delete;
  DeviceLine& operator=(const DeviceLine&) = delete;

  // The port lets go when it shuts down. An interrupt of the port that is
  // still running may keep the port, and so this line, alive after the
  // device is gone: from then on nothing reaches the device.
  void connect(line::HostPort* port) override {
    *port_ = port;
    if (port == nullptr) detachFromDevice();
  }
  void byteFromHost(std::uint8_t byte) override {
    if (attached_) device_.byteFromHost(byte);
  }
  bool applyLineSettings(const LineSettings& settings) override {
    return !attached_ || device_.applyLineSettings(settings);
  }
  bool dsr() const override { return attached_ && device_.dsr(); }
  bool realTime() const override { return false; }
  std::string name() const override { return name_; }

 private:
  // The device calls these from its timeline actions, which KernelTimeline
  // runs as interrupt contexts. A call from below DISPATCH_LEVEL (a test
  // that unplugs the reader by hand) becomes an interrupt at this instant.
  void byteReceived(std::uint8_t byte) override {
    deliver([byte](line::HostPort& port) { port.byteReceived(byte); });
  }
  void dsrChanged(bool asserted) override {
    deliver([asserted](line::HostPort& port) { port.dsrChanged(asserted); });
  }

  void deliver(std::function<void(line::HostPort&)> event) {
    if (platform::currentIrql() >= platform::kDispatchLevel) {
      if (line::HostPort* port = *port_) event(*port);
      return;
    }
    platform::Scheduler& scheduler = platform::Scheduler::get();
    scheduler.callAt(
        scheduler.now(),
        [cell = port_, event = std::move(event)] {
          if (line::HostPort* port = *cell) event(*port);
        },
        platform::kDispatchLevel, name_ + " event");
  }

  void detachFromDevice() {
    if (!attached_) return;
    attached_ = false;
    device_.connect(nullptr);
  }

  line::LineDevice& device_;
  bool attached_ = true;
  std::string name_;
  // Shared with deferred events, which may outlive the backend.
  std::shared_ptr<line::HostPort*> port_ = std::make_shared<line::HostPort*>(nullptr);
};

}  // namespace

std::unique_ptr<LineBackend> makeDeviceLine(line::LineDevice& device, std::string name) {
  return std::make_unique<DeviceLine>(device, std::move(name));
}

}  // namespace serial
