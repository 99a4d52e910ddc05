// The scheduler's state and its switching rules, shared by the public face
// (scheduler.cpp), the thread bodies (threads.cpp) and the Ke layer.
#pragma once

#include <platform/scheduler.h>

#include "clock_source.h"
#include "fiber.h"
#include "random.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace platform::sched {

enum class ThreadKind { Foreign, Request, Worker, Interrupt };
enum class RunState { Ready, Running, Blocked, Finished };
enum class WakeReason { None, Signaled, TimedOut, GoalReached, Deadlock, Aborted };

// What a waiting foreign thread wants from the system as a whole.
struct HostGoal {
  enum class Kind { None, Idle, Until, AllManagedEnded } kind = Kind::None;
  Instant until{};
  const std::function<bool()>* done = nullptr;
};

using DeadlineKey = std::pair<Instant, std::uint64_t>;

struct Thread {
  Thread(std::uint64_t threadId, std::string threadName, ThreadKind threadKind)
      : id(threadId), name(std::move(threadName)), kind(threadKind) {}

  const std::uint64_t id;
  const std::string name;
  const ThreadKind kind;
  RunState state = RunState::Ready;

  // A managed thread runs as a fiber on the scheduler's host OS thread; a
  // foreign thread is its own OS thread, woken through `cpu` when handed
  // the CPU.
  bool managed() const { return kind != ThreadKind::Foreign; }
  std::unique_ptr<Fiber> fiber;
  std::condition_variable cpu;
  KernelThreadLocals locals;  // a managed thread's own

  Irql irql = kPassiveLevel;
  struct HeldSpinLock {
    const void* lock;
    Irql savedIrql;  // what the release must restore
  };
  std::vector<HeldSpinLock> spinLocks;  // in acquisition order
  // Completion routines (and power completion functions) running on this
  // thread, innermost last: a wait at raised IRQL under one of them is
  // reported against the routine (completion-irql).
  std::vector<std::string> completionRoutines;

  // The current wait.
  std::vector<Waitable*> waitObjects;
  bool waitAll = false;
  bool idleWait = false;  // a worker or interrupt context with nothing to do
  std::optional<DeadlineKey> timeout;
  // A wait that has ended while the thread is held off the CPU (a late
  // wake-up): when it becomes ready.
  std::optional<DeadlineKey> lateRelease;
  std::uint64_t waitSequence = 0;
  std::string waitWhat;  // for a wait without objects: delay, goal
  HostGoal goal;
  WakeReason wake = WakeReason::None;
  std::size_t wakeIndex = 0;
  std::string deadlockReport;

  // Request threads.
  std::function<void()> body;
  std::exception_ptr failure;

  // Worker threads and interrupt contexts: the pool they serve.
  std::size_t pool = 0;
  std::string jobName;
};

struct TimerEntry {
  TimerId id = 0;
  std::function<void()> action;
  Irql irql = kDispatchLevel;
  std::string name;
};

// A deadline is a timer, the time-out of one thread's wait or the end of a
// late wake-up.
struct Deadline {
  Thread* waiter = nullptr;  // set for a wait time-out or a late wake-up
  TimerEntry timer;
  bool lateRelease = false;
};

struct OutsideInterrupt {
  std::function<void()> action;
  Irql irql;
  std::string name;
};

// A job for a pool thread: a work item at PASSIVE_LEVEL or an interrupt
// action at raised IRQL.
struct Job {
  std::string name;
  std::function<void()> action;
  Irql irql = kPassiveLevel;
};

// The critical and delayed work queues and the interrupt contexts are pools
// of threads that take jobs in the order they were queued.
struct Pool {
  std::string threadName;
  unsigned maxThreads = 1;
  unsigned threads = 0;
  std::deque<Job> jobs;
  std::vector<Thread*> idle;
};
inline constexpr std::size_t kCriticalPool = 0;
inline constexpr std::size_t kDelayedPool = 1;
inline constexpr std::size_t kInterruptPool = 2;

class Core : public std::enable_shared_from_this<Core> {
 public:
  using Lock = std::unique_lock<std::mutex>;

  explicit Core(const SchedulerOptions& options);
  ~Core();

  mutable std::mutex mutex;
  std::condition_variable outsideEvent;  // wakes a real-time idle wait

  const SchedulerOptions options;
  Random random;
  ClockSource clock;

  // Holds the CPU: a thread, `idler` while the host drives the idle system
  // for a waiting foreign thread, or null while parked.
  Thread* current = nullptr;
  Thread idler{0, "idle", ThreadKind::Foreign};
  std::vector<Thread*> ready;
  std::vector<std::shared_ptr<Thread>> threads;  // live, in creation order
  std::map<DeadlineKey, Deadline> deadlines;
  std::map<TimerId, DeadlineKey> timers;
  std::deque<OutsideInterrupt> inbox;
  unsigned openLines = 0;
  Pool pools[3];
  std::vector<std::shared_ptr<Thread>> finishedUnjoined;  // kept until joined or shut down
  // Fibers whose threads have ended: kept for the next threads to start on,
  // so that a thread's start costs no stack mapping.
  std::vector<std::unique_ptr<Fiber>> endedFibers;
  std::deque<std::pair<std::string, std::exception_ptr>> failures;

  std::uint64_t nextThreadId = 1;
  std::uint64_t nextSequence = 1;
  std::uint64_t switches = 0;
  bool shuttingDown = false;
  bool closed = false;  // after shutdown: outside interrupts are dropped

  // ---- Thread of the caller ----
  // The calling thread's record in this core, or null.
  Thread* self() const;
  // As self(), joining the caller as a foreign thread when needed.
  Thread* enter(Lock& lock);
  void leave(Thread* me, Lock& lock);

  // ---- Host OS thread: runs the fibers and drives the idle system ----
  void startHost();
  void stopHost(Lock& lock);

  // ---- Switching (lock held) ----
  void makeReady(Thread* thread);
  // `me` no longer runs (blocked, ready or finished): hand the CPU on.
  void switchAway(Thread* me, Lock& lock);
  // Blocks `me` on the wait already set up until it is woken and chosen.
  void block(Thread* me, Lock& lock);
  // Seeded choice between staying and handing the CPU to a ready thread.
  void yield(Thread* me, Lock& lock);
  // `me` has handed the CPU on: runs elsewhere until it is handed back.
  void waitForCpu(Thread* me, Lock& lock);
  // A fiber whose thread has finished leaves for good.
  [[noreturn]] void exitFiber(Thread* me);

  // ---- Waits (lock held) ----
  WaitResult wait(Thread* me, Lock& lock, std::span<Waitable* const> objects, bool waitAll,
                  std::optional<Duration> timeout, std::string what);
  // Completes `thread`'s wait with `reason` and makes it ready, or holds it
  // off the CPU for a while when late wake-ups are on.
  void completeWait(Thread* thread, WakeReason reason, std::size_t index = 0);
  void signal(const void* object);
  // Host wait of a foreign thread; rethrows pending failures.
  void hostWait(Thread* me, Lock& lock, HostGoal goal, std::string what);
  void rethrowFailure(Lock& lock);

  // ---- Time (lock held) ----
  DeadlineKey addDeadline(Instant at, Deadline deadline);
  void fireDue();
  TimerId addTimer(Instant at, std::function<void()> action, Irql irql, std::string name);
  void startInterrupt(std::function<void()> action, Irql irql, std::string name);

  // ---- Threads (lock held) ----
  std::shared_ptr<Thread> createThread(std::string name, ThreadKind kind);
  // Queues a job on a pool, waking an idle thread of it or starting one.
  void queueJob(std::size_t pool, Job job);
  std::string describeThreads() const;
  std::string describeWait(const Thread& thread) const;

  // ---- Shutdown ----
  void shutdown();

 private:
  void hostMain();
  // Wakes whatever runs `next`: its OS thread, or the host for a fiber or
  // the idler.
  void handOver(Thread* next);
  Fiber& contextOf(Thread* thread);
  Thread* pickReady();
  Thread* idleDriver() const;
  // Run by the host while a foreign thread waits and no thread is ready:
  // reach goals, move time, wait for the outside, or find a deadlock.
  void idleStep(Lock& lock);
  bool goalReached(const Thread& host) const;
  // The seeded delay of a late wake-up of `thread` woken for `reason`, or
  // none when it is to run at once.
  std::optional<Duration> lateWakeup(const Thread& thread, WakeReason reason);
  std::optional<Duration> preemption(const Thread& thread);
  void reportDeadlock();
  // Satisfies `thread`'s wait if it can; returns the satisfying index.
  std::optional<std::size_t> trySatisfy(Thread& thread);

  std::thread host_;
  std::unique_ptr<Fiber> hostContext_;  // made on the host thread itself
  std::condition_variable hostCpu_;     // the host has a fiber to run or idle to drive
  bool hostStopping_ = false;
};

// The calling OS thread's record and the core it belongs to.
struct ThreadBinding {
  Core* core = nullptr;
  Thread* thread = nullptr;
};
extern thread_local ThreadBinding tlsBinding;

// The entry of a managed thread's fiber (threads.cpp): its body, then the
// end of the thread.
void managedThreadMain(void* thread);

// The installed scheduler's core, or null.
Core* installedCore();

}  // namespace platform::sched
