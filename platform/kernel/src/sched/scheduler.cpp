// The scheduler's public face: each call takes the core's lock and, where
// the caller must hold the CPU, joins it as a foreign thread first.
#include "core.h"

#include <platform/verifier.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>

namespace platform {
namespace {

std::atomic<Scheduler*> gInstalled{nullptr};

using sched::Core;
using sched::Thread;

// The end of a thread, as something to wait for.
class ThreadEnd final : public Waitable {
 public:
  explicit ThreadEnd(const Thread* thread) : thread_(thread) {}
  const void* object() const override { return thread_; }
  bool isSignaled() const override { return thread_->state == sched::RunState::Finished; }
  void acquire() override {}
  std::string describe() const override { return "the end of thread '" + thread_->name + "'"; }

 private:
  const Thread* thread_;
};

}  // namespace

namespace sched {
// What one interrupt line has raised and not yet run. At most one of its
// actions is in the kernel (queued or running) at a time; the next one is
// queued when it ends.
struct LinePending {
  std::mutex mutex;
  std::deque<std::pair<std::function<void()>, Irql>> actions;
  bool inFlight = false;
};

Core* installedCore() {
  Scheduler* scheduler = gInstalled.load();
  return scheduler != nullptr ? scheduler->core() : nullptr;
}
}  // namespace sched

const std::string& ThreadHandle::name() const { return thread_->name; }
std::uint64_t ThreadHandle::id() const { return thread_->id; }
bool ThreadHandle::finished() const {
  Core* core = sched::installedCore();
  if (core == nullptr) return thread_->state == sched::RunState::Finished;
  Core::Lock lock(core->mutex);
  return thread_->state == sched::RunState::Finished;
}

namespace {

void queueNextLineAction(Core* core, const std::shared_ptr<sched::LinePending>& pending, const std::string& name);

// Runs the line's oldest action; whatever way it ends, the next one follows.
void runLineAction(Core* core, const std::shared_ptr<sched::LinePending>& pending, const std::string& name) {
  std::function<void()> action;
  {
    std::lock_guard guard(pending->mutex);
    action = std::move(pending->actions.front().first);
    pending->actions.pop_front();
  }
  struct QueueNext {
    Core* core;
    const std::shared_ptr<sched::LinePending>& pending;
    const std::string& name;
    ~QueueNext() { queueNextLineAction(core, pending, name); }
  } queueNext{core, pending, name};
  action();
}

// Hands the line's oldest action to the scheduler, or marks the line idle.
// The line's lock and the core's are never held together.
void queueNextLineAction(Core* core, const std::shared_ptr<sched::LinePending>& pending, const std::string& name) {
  Irql irql = kDispatchLevel;
  {
    std::lock_guard guard(pending->mutex);
    if (pending->actions.empty()) {
      pending->inFlight = false;
      return;
    }
    irql = pending->actions.front().second;
  }
  Core::Lock lock(core->mutex);
  if (core->closed || core->shuttingDown) return;  // the line dies with the scheduler
  core->inbox.push_back({[core, pending, name] { runLineAction(core, pending, name); }, irql, name});
  core->outsideEvent.notify_all();
}

}  // namespace

InterruptLine::InterruptLine(std::shared_ptr<sched::Core> core, std::string name)
    : core_(std::move(core)), name_(std::move(name)), pending_(std::make_shared<sched::LinePending>()) {}
InterruptLine::InterruptLine(InterruptLine&&) noexcept = default;
InterruptLine& InterruptLine::operator=(InterruptLine&& other) noexcept {
  if (this != &other) {
    InterruptLine closing(std::move(*this));
    core_ = std::move(other.core_);
    name_ = std::move(other.name_);
    pending_ = std::move(other.pending_);
  }
  return *this;
}
InterruptLine::~InterruptLine() {
  if (!core_) return;
  Core::Lock lock(core_->mutex);
  --core_->openLines;
  core_->outsideEvent.notify_all();
}

bool InterruptLine::raise(std::function<void()> action, Irql irql) const {
  if (!core_) return false;
  {
    Core::Lock lock(core_->mutex);
    if (core_->closed || core_->shuttingDown) return false;
  }
  {
    std::lock_guard guard(pending_->mutex);
    pending_->actions.emplace_back(std::move(action), irql);
    if (pending_->inFlight) return true;  // queued behind the one in the kernel
    pending_->inFlight = true;
  }
  queueNextLineAction(core_.get(), pending_, name_);
  return true;
}

Scheduler::Scheduler(SchedulerOptions options) : core_(std::make_shared<Core>(options)) {
  Scheduler* none = nullptr;
  if (!gInstalled.compare_exchange_strong(none, this)) throw std::logic_error("a kernel scheduler is already running");
  core_->startHost();
}

Scheduler::~Scheduler() {
  try {
    core_->shutdown();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kernel scheduler shutdown: %s\n", error.what());
  }
  Core::Lock lock(core_->mutex);
  for (const auto& [thread, failure] : core_->failures) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "unreported failure in thread '%s': %s\n", thread.c_str(), error.what());
    } catch (...) {
      std::fprintf(stderr, "unreported failure in thread '%s'\n", thread.c_str());
    }
  }
  gInstalled.store(nullptr);
}

Scheduler* Scheduler::installed() { return gInstalled.load(); }

Scheduler& Scheduler::get() {
  Scheduler* scheduler = gInstalled.load();
  if (scheduler == nullptr) throw std::logic_error("no kernel scheduler is running");
  return *scheduler;
}

ThreadHandle Scheduler::spawn(std::string name, std::function<void()> body) {
  Core::Lock lock(core_->mutex);
  if (core_->shuttingDown) throw std::logic_error("spawn during scheduler shutdown");
  auto thread = core_->createThread(std::move(name), sched::ThreadKind::Request);
  thread->body = std::move(body);
  return ThreadHandle(thread);
}

void Scheduler::join(const ThreadHandle& handle) {
  Thread* joined = handle.thread_.get();
  if (joined == nullptr) throw std::invalid_argument("join of an empty thread handle");
  Core::Lock lock(core_->mutex);
  Thread* me = core_->enter(lock);
  if (me == joined) throw std::logic_error("a thread cannot join itself");
  ThreadEnd end(joined);
  Waitable* objects[] = {&end};
  core_->wait(me, lock, objects, false, std::nullopt, {});

  auto& unjoined = core_->finishedUnjoined;
  unjoined.erase(std::remove(unjoined.begin(), unjoined.end(), handle.thread_), unjoined.end());
  if (joined->failure) {
    auto& failures = core_->failures;
    failures.erase(std::remove_if(failures.begin(), failures.end(),
                                  [&](const auto& entry) { return entry.second == joined->failure; }),
                   failures.end());
    std::rethrow_exception(joined->failure);
  }
  if (me->kind == sched::ThreadKind::Foreign) core_->rethrowFailure(lock);
}

void Scheduler::run(std::function<void()> body, std::string name) { join(spawn(std::move(name), std::move(body))); }

void Scheduler::runUntilIdle() {
  Core::Lock lock(core_->mutex);
  Thread* me = core_->enter(lock);
  core_->hostWait(me, lock, {sched::HostGoal::Kind::Idle, {}, nullptr}, "the system to become idle");
}

void Scheduler::advanceUntil(Instant instant) {
  Core::Lock lock(core_->mutex);
  Thread* me = core_->enter(lock);
  core_->hostWait(me, lock, {sched::HostGoal::Kind::Until, instant, nullptr}, "a point in time");
}

void Scheduler::advanceBy(Duration duration) { advanceUntil(now() + duration); }

bool Scheduler::runUntil(const std::function<bool()>& done, Duration limit) {
  Core::Lock lock(core_->mutex);
  Thread* me = core_->enter(lock);
  Instant until = core_->clock.now() + limit;
  core_->hostWait(me, lock, {sched::HostGoal::Kind::Until, until, &done}, "a condition");
  return done();
}

void Scheduler::leave() {
  Core::Lock lock(core_->mutex);
  if (Thread* me = core_->self()) {
    if (me->kind != sched::ThreadKind::Foreign) throw std::logic_error("a managed thread cannot leave");
    core_->leave(me, lock);
  }
}

Instant Scheduler::now() const { return core_->clock.now(); }
ClockMode Scheduler::clockMode() const { return core_->clock.mode(); }
std::uint64_t Scheduler::seed() const { return core_->options.seed; }

std::int64_t Scheduler::bootSystemTime100ns() const { return core_->clock.bootSystemTime100ns(); }

std::int64_t Scheduler::systemTime100ns() const {
  return bootSystemTime100ns() + std::chrono::duration_cast<KernelTicks>(now().time_since_epoch()).count();
}

TimerId Scheduler::callAt(Instant instant, std::function<void()> action, Irql irql, std::string name) {
  Core::Lock lock(core_->mutex);
  if (core_->shuttingDown) return 0;
  return core_->addTimer(instant, std::move(action), irql, std::move(name));
}

TimerId Scheduler::callAfter(Duration delay, std::function<void()> action, Irql irql, std::string name) {
  return callAt(now() + delay, std::move(action), irql, std::move(name));
}

bool Scheduler::cancelTimer(TimerId timer) {
  Core::Lock lock(core_->mutex);
  auto found = core_->timers.find(timer);
  if (found == core_->timers.end()) return false;
  core_->deadlines.erase(found->second);
  core_->timers.erase(found);
  return true;
}

InterruptLine Scheduler::openInterruptLine(std::string name) {
  Core::Lock lock(core_->mutex);
  ++core_->openLines;
  return InterruptLine(core_, std::move(name));
}

void Scheduler::queueWork(WorkQueue queue, std::function<void()> item, std::string name) {
  Core::Lock lock(core_->mutex);
  core_->queueJob(queue == WorkQueue::Critical ? sched::kCriticalPool : sched::kDelayedPool,
                  sched::Job{std::move(name), std::move(item), kPassiveLevel});
}

WaitResult Scheduler::wait(std::span<Waitable* const> objects, bool waitAll, std::optional<Duration> timeout) {
  Core::Lock lock(core_->mutex);
  Thread* me = core_->enter(lock);
  return core_->wait(me, lock, objects, waitAll, timeout, "a wait without objects");
}

void Scheduler::delay(Duration duration) {
  Core::Lock lock(core_->mutex);
  Thread* me = core_->enter(lock);
  if (duration <= Duration::zero()) {
    core_->yield(me, lock);
    return;
  }
  core_->wait(me, lock, {}, false, duration, "the end of its delay");
}

void Scheduler::stall(Duration duration) { core_->clock.stall(duration); }

void Scheduler::yieldPoint() {
  Core::Lock lock(core_->mutex);
  if (Thread* me = core_->self()) core_->yield(me, lock);
}

void Scheduler::signal(const void* object) {
  Core::Lock lock(core_->mutex);
  core_->signal(object);
}

Irql Scheduler::currentIrql() const {
  Thread* me = core_->self();
  return me != nullptr ? me->irql : kPassiveLevel;
}

void Scheduler::setCurrentIrql(Irql irql) {
  Thread* me = core_->self();
  if (me == nullptr) {
    Core::Lock lock(core_->mutex);
    me = core_->enter(lock);
  }
  me->irql = irql;
}

std::string Scheduler::currentThreadName() const {
  Thread* me = core_->self();
  return me != nullptr ? me->name : "unmanaged";
}

std::string Scheduler::describeThreads() const {
  Core::Lock lock(core_->mutex);
  return core_->describeThreads();
}

std::uint64_t Scheduler::switchCount() const {
  Core::Lock lock(core_->mutex);
  return core_->switches;
}

void yieldPoint() {
  if (Scheduler* scheduler = Scheduler::installed()) scheduler->yieldPoint();
}

void queueWork(WorkQueue queue, std::function<void()> item, std::string name) {
  Scheduler::get().queueWork(queue, std::move(item), std::move(name));
}

Irql currentIrql() {
  Scheduler* scheduler = Scheduler::installed();
  return scheduler != nullptr ? scheduler->currentIrql() : kPassiveLevel;
}

std::string currentThreadName() {
  Scheduler* scheduler = Scheduler::installed();
  return scheduler != nullptr ? scheduler->currentThreadName() : "unmanaged";
}

std::size_t spinLocksHeld() {
  Core* core = sched::installedCore();
  Thread* me = core != nullptr ? core->self() : nullptr;
  return me != nullptr ? me->spinLocks.size() : 0;
}

namespace {
thread_local KernelThreadLocals tlsOsThreadLocals;
}  // namespace

KernelThreadLocals& kernelThreadLocals() {
  Core* core = sched::installedCore();
  Thread* me = core != nullptr ? core->self() : nullptr;
  return me != nullptr && me->managed() ? me->locals : tlsOsThreadLocals;
}

const void* kernelThreadIdentity() {
  Core* core = sched::installedCore();
  Thread* me = core != nullptr ? core->self() : nullptr;
  return me != nullptr && me->managed() ? static_cast<const void*>(me) : &tlsOsThreadLocals;
}

CompletionRoutineScope::CompletionRoutineScope(std::string routine) {
  Core* core = sched::installedCore();
  if (Thread* me = core != nullptr ? core->self() : nullptr) {
    me->completionRoutines.push_back(std::move(routine));
    entered_ = true;
  }
}

CompletionRoutineScope::~CompletionRoutineScope() {
  if (!entered_) return;
  Core* core = sched::installedCore();
  if (Thread* me = core != nullptr ? core->self() : nullptr)
    if (!me->completionRoutines.empty()) me->completionRoutines.pop_back();
}

RoutineCheck::RoutineCheck(std::string_view routineKind)
    : routineKind_(routineKind), entryIrql_(currentIrql()), entrySpinLocks_(0) {
  if (Core* core = sched::installedCore())
    if (Thread* me = core->self()) entrySpinLocks_ = me->spinLocks.size();
}

void RoutineCheck::verifyReturn() const {
  Irql irql = currentIrql();
  if (irql != entryIrql_) {
    reportViolation(rule::kIrqlUnchanged, routineKind_,
                    "returned at IRQL " + std::to_string(irql) + ", entered at IRQL " + std::to_string(entryIrql_));
  }
  Core* core = sched::installedCore();
  Thread* me = core != nullptr ? core->self() : nullptr;
  if (me != nullptr && me->spinLocks.size() > entrySpinLocks_) {
    reportViolation(
        rule::kSpinLockPairing, routineKind_,
        "returned holding " + std::to_string(me->spinLocks.size() - entrySpinLocks_) + " spin lock(s) it acquired");
  }
}

}  // namespace platform
