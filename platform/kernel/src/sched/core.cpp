// Switching: who holds the CPU, who runs next, and what a waiting foreign
// thread does when nobody can run (move time, wait for the outside, or
// report a deadlock).
#include "core.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace platform::sched {

thread_local ThreadBinding tlsBinding;

namespace {

// Leaves the scheduler when a foreign OS thread ends while still joined, so
// that it does not keep the CPU forever.
struct ForeignExitGuard {
  std::weak_ptr<Core> core;
  ~ForeignExitGuard() {
    if (auto joined = core.lock()) {
      Core::Lock lock(joined->mutex);
      if (Thread* me = joined->self()) joined->leave(me, lock);
    }
  }
};
thread_local ForeignExitGuard tlsForeignExit;

const char* kindName(ThreadKind kind) {
  switch (kind) {
    case ThreadKind::Foreign: return "foreign";
    case ThreadKind::Request: return "request";
    case ThreadKind::Worker: return "worker";
    case ThreadKind::Interrupt: return "interrupt";
  }
  return "?";
}

std::string formatInstant(Instant instant) {
  auto ns = instant.time_since_epoch().count();
  char text[48];
  std::snprintf(text, sizeof text, "%lld.%09lld s", static_cast<long long>(ns / 1'000'000'000),
                static_cast<long long>(ns % 1'000'000'000));
  return text;
}

}  // namespace

Core::Core(const SchedulerOptions& schedulerOptions)
    : options(schedulerOptions), random(schedulerOptions.seed), clock(schedulerOptions.clockMode) {
  pools[kCriticalPool] = {"critical worker", std::max(1u, options.criticalWorkers), 0, {}, {}};
  pools[kDelayedPool] = {"delayed worker", std::max(1u, options.delayedWorkers), 0, {}, {}};
  // Interrupts that overlap (one spins or yields) run on separate contexts,
  // as on separate processors.
  pools[kInterruptPool] = {"interrupt", 16, 0, {}, {}};
}

Thread* Core::self() const { return tlsBinding.core == this ? tlsBinding.thread : nullptr; }

Thread* Core::enter(Lock& lock) {
  if (Thread* me = self()) return me;
  if (shuttingDown) throw std::logic_error("a new thread called into the kernel during shutdown");
  auto created = createThread("foreign " + std::to_string(nextThreadId), ThreadKind::Foreign);
  Thread* me = created.get();
  tlsBinding = {this, me};
  tlsForeignExit.core = shared_from_this();
  if (current == nullptr) {
    current = me;
    me->state = RunState::Running;
    return me;
  }
  makeReady(me);
  outsideEvent.notify_all();
  waitForCpu(me, lock);
  return me;
}

void Core::leave(Thread* me, Lock& lock) {
  auto keepAlive =
      std::find_if(threads.begin(), threads.end(), [me](const auto& thread) { return thread.get() == me; });
  std::shared_ptr<Thread> record = *keepAlive;
  threads.erase(keepAlive);
  me->state = RunState::Finished;
  tlsBinding = {};
  tlsForeignExit.core.reset();
  switchAway(me, lock);
}

// Managed threads' stacks: room for the deepest driver call chains, kernel
// stand-ins and sanitizer frames. Pages are committed only when touched.
constexpr std::size_t kFiberStackSize = 1024 * 1024;

Core::~Core() {
  Lock lock(mutex);
  stopHost(lock);
}

void Core::startHost() {
  host_ = std::thread([this] { hostMain(); });
}

void Core::stopHost(Lock& lock) {
  if (!host_.joinable()) return;
  hostStopping_ = true;
  hostCpu_.notify_one();
  lock.unlock();
  host_.join();
  lock.lock();
}

// The host OS thread: runs whichever fiber holds the CPU, drives the idle
// system while a foreign thread waits and nothing can run, and sleeps while
// a foreign thread holds the CPU or the CPU is parked.
void Core::hostMain() {
  Lock lock(mutex);
  hostContext_ = std::make_unique<Fiber>();
  tlsBinding = {this, nullptr};
  for (;;) {
    Thread* next = current;
    if (next != nullptr && next->managed()) {
      Fiber::switchTo(*hostContext_, *next->fiber);
      tlsBinding.thread = nullptr;
    } else if (next == &idler) {
      idleStep(lock);
      if (current == &idler) switchAway(&idler, lock);
    } else if (hostStopping_) {
      break;
    } else {
      hostCpu_.wait(lock);
    }
  }
  tlsBinding = {};
}

Fiber& Core::contextOf(Thread* thread) {
  return thread != nullptr && thread->managed() ? *thread->fiber : *hostContext_;
}

void Core::handOver(Thread* next) {
  if (next == nullptr) return;
  if (next->managed() || next == &idler)
    hostCpu_.notify_one();
  else
    next->cpu.notify_one();
}

void Core::makeReady(Thread* thread) {
  thread->state = RunState::Ready;
  ready.push_back(thread);
  if (clock.mode() == ClockMode::RealTime) outsideEvent.notify_all();
}

Thread* Core::pickReady() {
  if (ready.empty()) return nullptr;
  std::size_t index = ready.size() == 1 ? 0 : random.below(ready.size());
  Thread* next = ready[index];
  ready.erase(ready.begin() + static_cast<std::ptrdiff_t>(index));
  return next;
}

Thread* Core::idleDriver() const {
  for (const auto& thread : threads)
    if (thread->kind == ThreadKind::Foreign && thread->state == RunState::Blocked) return thread.get();
  return nullptr;
}

void Core::switchAway(Thread* me, Lock&) {
  fireDue();
  Thread* next = pickReady();
  // Nothing can run: the host drives the idle system for a waiting foreign
  // thread, or else nobody drives and the CPU parks.
  if (next == nullptr && idleDriver() != nullptr) next = &idler;
  if (next != nullptr && next->state == RunState::Ready) next->state = RunState::Running;
  if (next != me) ++switches;
  current = next;
  if (next != me) handOver(next);
}

void Core::waitForCpu(Thread* me, Lock& lock) {
  if (!me->managed()) {
    me->cpu.wait(lock, [&] { return current == me; });
    return;
  }
  while (current != me) {
    Fiber::switchTo(*me->fiber, contextOf(current));
    tlsBinding.thread = me;
  }
}

void Core::exitFiber(Thread* me) {
  Fiber& from = *me->fiber;
  Fiber& to = contextOf(current);
  endedFibers.push_back(std::move(me->fiber));
  Fiber::exitTo(from, to);
}

void Core::block(Thread* me, Lock& lock) {
  me->state = RunState::Blocked;
  switchAway(me, lock);
  waitForCpu(me, lock);
}

void Core::yield(Thread* me, Lock& lock) {
  fireDue();
  if (auto held = preemption(*me)) {
    me->lateRelease = addDeadline(clock.now() + *held, Deadline{me, {}, true});
    block(me, lock);
    return;
  }
  if (ready.empty() || !options.switchAtYieldPoints) return;
  std::size_t index = random.below(ready.size() + 1);
  if (index == ready.size()) return;  // the running thread stays
  Thread* next = ready[index];
  ready.erase(ready.begin() + static_cast<std::ptrdiff_t>(index));
  makeReady(me);
  next->state = RunState::Running;
  current = next;
  ++switches;
  handOver(next);
  waitForCpu(me, lock);
}

std::optional<std::size_t> Core::trySatisfy(Thread& thread) {
  auto& objects = thread.waitObjects;
  if (objects.empty()) return std::nullopt;
  if (thread.waitAll) {
    for (Waitable* object : objects)
      if (!object->isSignaled()) return std::nullopt;
    for (Waitable* object : objects) object->acquire();
    return 0;
  }
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (objects[i]->isSignaled()) {
      objects[i]->acquire();
      return i;
    }
  }
  return std::nullopt;
}

WaitResult Core::wait(Thread* me, Lock& lock, std::span<Waitable* const> objects, bool waitAll,
                      std::optional<Duration> timeout, std::string what) {
  me->waitObjects.assign(objects.begin(), objects.end());
  me->waitAll = waitAll;
  if (auto index = trySatisfy(*me)) {
    me->waitObjects.clear();
    return {false, *index};
  }
  me->waitObjects.clear();
  if (timeout && *timeout <= Duration::zero()) return {true, 0};
  if (shuttingDown && me->kind != ThreadKind::Foreign) {
    // Nothing will wake a thread any more. A wait in code that runs while
    // the thread unwinds (a destructor) times out instead of throwing again.
    if (std::uncaught_exceptions() > 0) return {true, 0};
    throw ThreadAborted{};
  }
  me->waitObjects.assign(objects.begin(), objects.end());
  me->idleWait = false;
  me->waitWhat = std::move(what);
  me->waitSequence = nextSequence++;
  me->wake = WakeReason::None;
  if (timeout) me->timeout = addDeadline(clock.now() + *timeout, Deadline{me, {}});
  block(me, lock);
  switch (me->wake) {
    case WakeReason::Signaled: return {false, me->wakeIndex};
    case WakeReason::TimedOut: return {true, 0};
    case WakeReason::Deadlock: throw DeadlockError(me->deadlockReport);
    default: throw ThreadAborted{};
  }
}

void Core::completeWait(Thread* thread, WakeReason reason, std::size_t index) {
  thread->waitObjects.clear();
  if (thread->timeout) {
    deadlines.erase(*thread->timeout);
    thread->timeout.reset();
  }
  if (thread->lateRelease) {  // only an abort ends a late wake-up early
    deadlines.erase(*thread->lateRelease);
    thread->lateRelease.reset();
  }
  thread->goal = {};
  thread->wake = reason;
  thread->wakeIndex = index;
  if (auto late = lateWakeup(*thread, reason)) {
    thread->lateRelease = addDeadline(clock.now() + *late, Deadline{thread, {}, true});
    return;
  }
  makeReady(thread);
}

std::optional<Duration> Core::lateWakeup(const Thread& thread, WakeReason reason) {
  if (options.lateWakeupBound <= Duration::zero() || shuttingDown) return std::nullopt;
  // Interrupts are not held up, and a foreign thread drives the system: only
  // request threads and system workers wait for a processor.
  if (thread.kind != ThreadKind::Request && thread.kind != ThreadKind::Worker) return std::nullopt;
  if (reason != WakeReason::Signaled && reason != WakeReason::TimedOut) return std::nullopt;
  if (random.below(2) == 0) return std::nullopt;
  return Duration(1 +
                  static_cast<Duration::rep>(random.below(static_cast<std::size_t>(options.lateWakeupBound.count()))));
}

// With late wake-ups on, a thread at a yield point may also be held off the
// CPU for a while, interrupt contexts included: as another processor would,
// the other threads run, timers fire and time moves on meanwhile (the next
// byte's interrupt may run before this one has finished with the last). A
// thread holding a spin lock keeps its processor: nothing of it is held.
std::optional<Duration> Core::preemption(const Thread& thread) {
  if (options.lateWakeupBound <= Duration::zero() || shuttingDown) return std::nullopt;
  if (thread.kind == ThreadKind::Foreign || !thread.spinLocks.empty()) return std::nullopt;
  if (random.below(4) != 0) return std::nullopt;
  return Duration(1 +
                  static_cast<Duration::rep>(random.below(static_cast<std::size_t>(options.lateWakeupBound.count()))));
}

void Core::signal(const void* object) {
  std::vector<Thread*> waiters;
  for (const auto& thread : threads) {
    if (thread->state != RunState::Blocked) continue;
    for (Waitable* waited : thread->waitObjects) {
      if (waited->object() == object) {
        waiters.push_back(thread.get());
        break;
      }
    }
  }
  // First come, first served, as the kernel's wait lists are.
  std::sort(waiters.begin(), waiters.end(),
            [](const Thread* a, const Thread* b) { return a->waitSequence < b->waitSequence; });
  for (Thread* waiter : waiters)
    if (auto index = trySatisfy(*waiter)) completeWait(waiter, WakeReason::Signaled, *index);
}

void Core::hostWait(Thread* me, Lock& lock, HostGoal goal, std::string what) {
  me->waitObjects.clear();
  me->idleWait = false;
  me->goal = goal;
  me->waitWhat = std::move(what);
  me->waitSequence = nextSequence++;
  me->wake = WakeReason::None;
  block(me, lock);
  if (me->wake == WakeReason::Deadlock) throw DeadlockError(me->deadlockReport);
  if (me->wake == WakeReason::Aborted) throw ThreadAborted{};
  rethrowFailure(lock);
}

void Core::rethrowFailure(Lock&) {
  if (failures.empty()) return;
  std::exception_ptr failure = failures.front().second;
  failures.pop_front();
  std::rethrow_exception(failure);
}

bool Core::goalReached(const Thread& host) const {
  const HostGoal& goal = host.goal;
  switch (goal.kind) {
    case HostGoal::Kind::None: return false;
    case HostGoal::Kind::Idle: return deadlines.empty() && inbox.empty();
    case HostGoal::Kind::Until:
      if (goal.done != nullptr && (*goal.done)()) return true;
      if (clock.now() < goal.until) return false;
      return deadlines.empty() || deadlines.begin()->first.first > goal.until;
    case HostGoal::Kind::AllManagedEnded:
      return std::all_of(threads.begin(), threads.end(),
                         [](const auto& thread) { return thread->kind == ThreadKind::Foreign; });
  }
  return false;
}

void Core::idleStep(Lock& lock) {
  fireDue();
  if (!ready.empty()) return;

  bool reached = false;
  std::optional<Instant> target;
  for (const auto& thread : threads) {
    if (thread->kind != ThreadKind::Foreign || thread->state != RunState::Blocked) continue;
    if (goalReached(*thread)) {
      completeWait(thread.get(), WakeReason::GoalReached);
      reached = true;
    } else if (thread->goal.kind == HostGoal::Kind::Until) {
      target = target ? std::min(*target, thread->goal.until) : thread->goal.until;
    }
  }
  if (reached) return;
  if (!deadlines.empty()) {
    Instant next = deadlines.begin()->first.first;
    target = target ? std::min(*target, next) : next;
  }

  if (clock.mode() == ClockMode::Virtual) {
    if (target) {
      clock.advanceTo(*target);
      return;
    }
    reportDeadlock();
    return;
  }
  if (target) {
    outsideEvent.wait_until(lock, clock.wallTimeOf(*target));
  } else if (openLines > 0) {
    outsideEvent.wait(lock);
  } else {
    reportDeadlock();
  }
}

void Core::reportDeadlock() {
  std::string report =
      "deadlock at " + formatInstant(clock.now()) + ": nothing can run and nothing is due\n" + describeThreads();
  for (const auto& thread : threads) {
    if (thread->kind != ThreadKind::Foreign || thread->state != RunState::Blocked) continue;
    thread->deadlockReport = report;
    completeWait(thread.get(), WakeReason::Deadlock);
  }
}

DeadlineKey Core::addDeadline(Instant at, Deadline deadline) {
  DeadlineKey key{at, nextSequence++};
  deadlines.emplace(key, std::move(deadline));
  if (clock.mode() == ClockMode::RealTime) outsideEvent.notify_all();
  return key;
}

void Core::fireDue() {
  while (!inbox.empty()) {
    OutsideInterrupt interrupt = std::move(inbox.front());
    inbox.pop_front();
    startInterrupt(std::move(interrupt.action), interrupt.irql, std::move(interrupt.name));
  }
  if (deadlines.empty()) return;
  Instant now = clock.now();
  while (!deadlines.empty() && deadlines.begin()->first.first <= now) {
    Deadline due = std::move(deadlines.begin()->second);
    deadlines.erase(deadlines.begin());
    if (due.lateRelease) {
      due.waiter->lateRelease.reset();
      makeReady(due.waiter);
    } else if (due.waiter != nullptr) {
      due.waiter->timeout.reset();
      completeWait(due.waiter, WakeReason::TimedOut);
    } else {
      timers.erase(due.timer.id);
      startInterrupt(std::move(due.timer.action), due.timer.irql, std::move(due.timer.name));
    }
  }
}

TimerId Core::addTimer(Instant at, std::function<void()> action, Irql irql, std::string name) {
  TimerId id = nextSequence++;
  timers[id] = addDeadline(at, Deadline{nullptr, TimerEntry{id, std::move(action), irql, std::move(name)}});
  return id;
}

void Core::startInterrupt(std::function<void()> action, Irql irql, std::string name) {
  queueJob(kInterruptPool, Job{std::move(name), std::move(action), irql});
}

std::shared_ptr<Thread> Core::createThread(std::string name, ThreadKind kind) {
  auto thread = std::make_shared<Thread>(nextThreadId++, std::move(name), kind);
  if (thread->managed()) {
    if (endedFibers.empty()) {
      thread->fiber = std::make_unique<Fiber>(managedThreadMain, thread.get(), kFiberStackSize);
    } else {
      // Not the fiber that is running: that one is put here only as it leaves.
      thread->fiber = std::move(endedFibers.back());
      endedFibers.pop_back();
      thread->fiber->restart(managedThreadMain, thread.get());
    }
  }
  threads.push_back(thread);
  if (thread->managed()) makeReady(thread.get());
  return thread;
}

void Core::queueJob(std::size_t poolIndex, Job job) {
  if (shuttingDown) return;
  Pool& pool = pools[poolIndex];
  pool.jobs.push_back(std::move(job));
  if (!pool.idle.empty()) {
    Thread* thread = pool.idle.front();
    pool.idle.erase(pool.idle.begin());
    completeWait(thread, WakeReason::Signaled);
  } else if (pool.threads < pool.maxThreads) {
    ++pool.threads;
    auto created = createThread(pool.threadName + " " + std::to_string(pool.threads),
                                poolIndex == kInterruptPool ? ThreadKind::Interrupt : ThreadKind::Worker);
    created->pool = poolIndex;
  }
  // Otherwise a busy thread of the pool takes it when it is done.
}

std::string Core::describeWait(const Thread& thread) const {
  switch (thread.state) {
    case RunState::Running: return "running";
    case RunState::Ready: return "ready to run";
    case RunState::Finished: return "finished";
    case RunState::Blocked: break;
  }
  if (thread.lateRelease) return "woken, held off the CPU until " + formatInstant(thread.lateRelease->first);
  std::string text;
  if (thread.idleWait) {
    text = "idle, waiting for work";
  } else if (!thread.waitObjects.empty()) {
    text = thread.waitAll ? "waits for all of: " : "waits for ";
    for (std::size_t i = 0; i < thread.waitObjects.size(); ++i) {
      if (i > 0) text += thread.waitAll ? ", " : " or ";
      text += thread.waitObjects[i]->describe();
    }
  } else {
    text = "waits for " + thread.waitWhat;
  }
  if (thread.timeout)
    text += " until " + formatInstant(thread.timeout->first);
  else if (!thread.idleWait && thread.goal.kind == HostGoal::Kind::None)
    text += " with no time-out";
  return text;
}

std::string Core::describeThreads() const {
  std::ostringstream out;
  for (const auto& thread : threads) {
    out << "  thread " << thread->id << " '" << thread->name << "' (" << kindName(thread->kind) << ", IRQL "
        << static_cast<int>(thread->irql) << "): " << describeWait(*thread);
    if (!thread->spinLocks.empty()) out << "; holds " << thread->spinLocks.size() << " spin lock(s)";
    out << '\n';
  }
  return out.str();
}

void Core::shutdown() {
  std::vector<std::shared_ptr<Thread>> ended;
  {
    Lock lock(mutex);
    Thread* me = enter(lock);
    shuttingDown = true;
    deadlines.clear();
    timers.clear();
    inbox.clear();
    for (auto& pool : pools) {
      pool.jobs.clear();
      pool.idle.clear();
    }
    for (const auto& thread : threads) {
      thread->timeout.reset();
      if (thread.get() != me && thread->state == RunState::Blocked) completeWait(thread.get(), WakeReason::Aborted);
    }
    me->goal = {HostGoal::Kind::AllManagedEnded, {}, nullptr};
    me->waitWhat = "every thread to end (shutdown)";
    me->waitSequence = nextSequence++;
    block(me, lock);
    leave(me, lock);
    closed = true;
    stopHost(lock);
    ended.swap(finishedUnjoined);
  }
}

}  // namespace platform::sched
