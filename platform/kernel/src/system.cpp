// A system: the services installed as current, the scheduler, the managers.
#include <platform/system.h>

#include <atomic>

#include "io_state.h"

namespace platform {

namespace {
std::atomic<System*> installedSystem{nullptr};
}

struct System::Parts {
  explicit Parts(const SystemOptions& systemOptions) : options(systemOptions), faults(systemOptions.seed) {}

  SystemOptions options;
  Trace trace;
  Verifier verifier;
  FaultInjector faults;
  EventLog eventLog;
  io::IoState ioState;
  std::unique_ptr<Scheduler> scheduler;
  PnpManager pnp;
  PowerManager power;
  IoManager io;
};

System::System(SystemOptions options) : parts_(std::make_unique<Parts>(options)) {
  Trace::install(&parts_->trace);
  Verifier::install(&parts_->verifier);
  FaultInjector::install(&parts_->faults);
  EventLog::install(&parts_->eventLog);
  io::IoState::install(&parts_->ioState);
  parts_->trace.setTimeSource([] {
    Scheduler* scheduler = Scheduler::installed();
    return scheduler == nullptr ? Duration::zero() : scheduler->now().time_since_epoch();
  });
  parts_->trace.setThreadNameSource([] { return currentThreadName(); });
  parts_->verifier.setThreadNameSource([] { return currentThreadName(); });
  SchedulerOptions schedulerOptions;
  schedulerOptions.seed = options.seed;
  schedulerOptions.clockMode = options.clockMode;
  schedulerOptions.switchAtYieldPoints = options.switchAtYieldPoints;
  schedulerOptions.lateWakeupBound = options.lateWakeupBound;
  parts_->scheduler = std::make_unique<Scheduler>(schedulerOptions);
  installedSystem.store(this);
}

System::~System() {
  parts_->scheduler.reset();
  installedSystem.store(nullptr);
  io::IoState::install(nullptr);
  EventLog::install(nullptr);
  FaultInjector::install(nullptr);
  Verifier::install(nullptr);
  Trace::install(nullptr);
}

System* System::installed() { return installedSystem.load(); }

Scheduler& System::scheduler() { return *parts_->scheduler; }
Trace& System::trace() { return parts_->trace; }
Verifier& System::verifier() { return parts_->verifier; }
FaultInjector& System::faults() { return parts_->faults; }
EventLog& System::eventLog() { return parts_->eventLog; }
PnpManager& System::pnp() { return parts_->pnp; }
PowerManager& System::power() { return parts_->power; }
IoManager& System::io() { return parts_->io; }

KernelCensus System::census() const {
  const auto& state = parts_->ioState;
  KernelCensus census;
  census.poolBlocks = state.pool.size();
  for (const auto& [address, block] : state.pool) census.poolBytes += block.size;
  for (const auto& [irp, record] : state.irps)
    if (record->origin != io::IrpOrigin::System) ++census.irps;
  census.workItems = state.workItems.size();
  for (const auto& [object, device] : state.devices)
    if (!device->deleted) ++census.devices;
  for (const auto& [object, driver] : state.drivers)
    if (!driver->unloaded) ++census.drivers;
  return census;
}

std::size_t System::poolBlocks(ULONG tag) const {
  std::size_t count = 0;
  for (const auto& [address, block] : parts_->ioState.pool)
    if (block.tag == tag) ++count;
  return count;
}

std::string System::nameOf(const void* object) const { return parts_->ioState.describeObject(object); }

bool System::deviceExists(PDEVICE_OBJECT device) const {
  auto found = parts_->ioState.devices.find(device);
  return found != parts_->ioState.devices.end() && !found->second->deleted;
}

}  // namespace platform
