// A whole user-mode system: the scheduler with its clock, the I/O manager's
// tables, the Plug and Play, power and I/O managers, and the trace, verifier,
// fault injector and event log. Tests and programs build one, load drivers
// into it and use it; at most one exists at a time, and kernel calls made
// while it exists use it.
//
//   platform::System system({.seed = 7});
//   auto serial = system.pnp().loadDriver("serial", SerialDriverEntry);
//   ... the serial driver creates its port device (the physical device) ...
//   auto reader = system.pnp().loadDriver("tav712", DriverEntry);
//   system.pnp().addDevice(reader.driver, portDevice);
//   system.pnp().start(portDevice);
//   auto links = system.io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER);
//   auto opened = system.io().open(links.front());
//   auto result = system.io().deviceControl(opened.handle, code, input, 64);
#pragma once

#include <platform/clock.h>
#include <platform/event_log.h>
#include <platform/faults.h>
#include <platform/io_manager.h>
#include <platform/pnp_manager.h>
#include <platform/power_manager.h>
#include <platform/scheduler.h>
#include <platform/trace.h>
#include <platform/verifier.h>

#include <cstdint>
#include <memory>

namespace platform {

struct SystemOptions {
  std::uint64_t seed = 1;
  ClockMode clockMode = ClockMode::Virtual;
  bool switchAtYieldPoints = true;
  Duration lateWakeupBound{};  // see SchedulerOptions
};

// What is alive in the kernel: for leak checks and assertions in tests.
struct KernelCensus {
  std::size_t poolBlocks = 0;
  std::size_t poolBytes = 0;
  std::size_t irps = 0;  // allocated and built IRPs not yet freed
  std::size_t workItems = 0;
  std::size_t devices = 0;  // device objects not deleted
  std::size_t drivers = 0;
};

class System {
 public:
  explicit System(SystemOptions options = {});
  // Shuts the scheduler down (unwinding every managed thread) and releases
  // every kernel object.
  ~System();
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  // The system that exists, or null.
  static System* installed();

  Scheduler& scheduler();
  Trace& trace();
  Verifier& verifier();
  FaultInjector& faults();
  EventLog& eventLog();
  PnpManager& pnp();
  PowerManager& power();
  IoManager& io();

  KernelCensus census() const;
  // Pool blocks still allocated with this tag.
  std::size_t poolBlocks(ULONG tag) const;
  // The display name the trace and reports use for a driver or device object.
  std::string nameOf(const void* object) const;
  // Whether a device object exists and has not been deleted.
  bool deviceExists(PDEVICE_OBJECT device) const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace platform
