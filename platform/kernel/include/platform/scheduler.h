// The scheduler of the user-mode kernel: every thread that runs kernel-side
// code is known to it and exactly one of them runs at a time. Threads give
// the CPU up only where they would in the kernel (a blocking wait or delay,
// the end of a work item, a yield point), and a seeded pseudo-random choice
// picks who runs next, so one seed reproduces a run and many seeds explore
// interleavings. Time comes from the scheduler's clock: virtual time jumps
// to the next deadline when every thread waits; real time follows the wall
// clock and waits for outside events.
//
// Threads of a run:
//  - request threads, started by `spawn` or `run`;
//  - system worker threads of the critical and delayed work queues;
//  - interrupt contexts, which run `callAt` timers and outside interrupts
//    at raised IRQL;
//  - foreign threads: any other thread that calls in (a test's own thread,
//    a program's main thread). It joins the scheduler on its first call and
//    from then on holds the CPU whenever it is not waiting, so managed
//    threads run only while a foreign thread waits (`join`, `runUntilIdle`,
//    `advanceUntil`, a kernel wait). A foreign thread that waits drives the
//    clock; nothing can run and nothing due while it waits is a deadlock.
#pragma once

#include <platform/clock.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// Interrupt request level of the running thread, as the kernel's KIRQL.
using Irql = std::uint8_t;
inline constexpr Irql kPassiveLevel = 0;
inline constexpr Irql kApcLevel = 1;
inline constexpr Irql kDispatchLevel = 2;
// Device interrupt levels lie above DISPATCH_LEVEL; the serial port uses this.
inline constexpr Irql kSerialDeviceLevel = 5;

enum class WorkQueue { Critical, Delayed };

struct SchedulerOptions {
  std::uint64_t seed = 1;
  ClockMode clockMode = ClockMode::Virtual;
  // System worker threads per queue, started when first needed.
  unsigned criticalWorkers = 2;
  unsigned delayedWorkers = 1;
  // Whether yield points may switch threads; off gives the one run in
  // which a thread keeps the CPU until it blocks.
  bool switchAtYieldPoints = true;
  // Late wake-ups, as on a loaded machine: a request or worker thread whose
  // wait ends may, by seeded chance, be held off the CPU for up to this long
  // while timers fire, outside interrupts run and virtual time moves on; a
  // thread at a yield point (interrupt contexts too) may be held likewise.
  // Zero (the default) hands every woken thread the CPU at the next switch.
  Duration lateWakeupBound{};
};

// Nothing can run and nothing is due while a foreign thread waits. The
// message names every thread and what it waits for.
class DeadlockError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Unwinds a managed thread when the scheduler shuts down. Deliberately not
// an std::exception, so that ordinary handlers do not swallow it.
struct ThreadAborted {};

// Something a thread can wait for (an event, a spin lock, a thread's end).
// Adapters live on the waiting thread's stack for the length of the wait;
// `object()` is the identity that `Scheduler::signal` names.
class Waitable {
 public:
  virtual const void* object() const = 0;
  virtual bool isSignaled() const = 0;
  // Applies the side effect of a satisfied wait: reset a synchronization
  // event, take ownership of a lock.
  virtual void acquire() = 0;
  virtual std::string describe() const = 0;

 protected:
  Waitable() = default;
  Waitable(const Waitable&) = default;
  Waitable& operator=(const Waitable&) = default;
  ~Waitable() = default;
};

struct WaitResult {
  bool timedOut = false;
  std::size_t index = 0;  // which object satisfied a wait-any
};

namespace sched {
class Core;
struct Thread;
struct LinePending;
}  // namespace sched

// A request thread; joinable from any thread.
class ThreadHandle {
 public:
  ThreadHandle() = default;
  const std::string& name() const;
  std::uint64_t id() const;
  bool finished() const;
  explicit operator bool() const { return thread_ != nullptr; }

 private:
  friend class Scheduler;
  explicit ThreadHandle(std::shared_ptr<sched::Thread> thread) : thread_(std::move(thread)) {}
  std::shared_ptr<sched::Thread> thread_;
};

using TimerId = std::uint64_t;

// A source of outside interrupts (a tty poller in real-time mode). `raise`
// may be called from any thread, managed or not; the action then runs as an
// interrupt context at the given IRQL at the scheduler's next switch. As a
// device's interrupt does not re-enter itself, the actions of one line run
// one at a time, in the order raised, even when one gives up the CPU. While
// a line is open, a real-time scheduler with nothing to do waits for it
// instead of reporting a deadlock.
class InterruptLine {
 public:
  InterruptLine(InterruptLine&&) noexcept;
  InterruptLine& operator=(InterruptLine&&) noexcept;
  InterruptLine(const InterruptLine&) = delete;
  InterruptLine& operator=(const InterruptLine&) = delete;
  ~InterruptLine();

  // False when the scheduler has shut down and the action was dropped.
  bool raise(std::function<void()> action, Irql irql = kDispatchLevel) const;

 private:
  friend class Scheduler;
  InterruptLine(std::shared_ptr<sched::Core> core, std::string name);
  std::shared_ptr<sched::Core> core_;
  std::string name_;
  std::shared_ptr<sched::LinePending> pending_;
};

class Scheduler {
 public:
  explicit Scheduler(SchedulerOptions options = {});
  // Unwinds every managed thread and joins it. Call it from the thread that
  // drives the scheduler (or any thread when none does).
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // The scheduler that kernel calls use: at most one exists at a time.
  static Scheduler* installed();
  // As installed(), but throws std::logic_error when there is none.
  static Scheduler& get();

  // ---- Driving the system (tests and programs) --------------------------
  // Each of these is a wait of the calling thread, which joins as a foreign
  // thread if it is not managed. They rethrow the first failure (an
  // exception escaping a managed thread) that has not been reported yet.

  // Starts a request thread at PASSIVE_LEVEL. It runs once the caller waits.
  ThreadHandle spawn(std::string name, std::function<void()> body);
  // Waits until the thread has ended; rethrows an exception that escaped it.
  // Throws DeadlockError when nothing can run and nothing is due first.
  void join(const ThreadHandle& thread);
  // spawn + join.
  void run(std::function<void()> body, std::string name = "request");
  // Runs until no thread can run and no timer or time-out is pending
  // (advancing virtual time through every pending deadline).
  void runUntilIdle();
  // Runs everything due up to `instant`, then sets the clock to it.
  void advanceUntil(Instant instant);
  void advanceBy(Duration duration);
  // Runs until `done()` holds when the system is idle, or `limit` (of the
  // scheduler's own time) has passed; returns done(). The bounded way for a
  // real-time test to wait for an outside event.
  bool runUntil(const std::function<bool()>& done, Duration limit);
  // The calling foreign thread stops holding the CPU (another foreign thread
  // may drive); it rejoins on its next call.
  void leave();

  // ---- Time ---------------------------------------------------------------
  Instant now() const;
  ClockMode clockMode() const;
  std::uint64_t seed() const;
  // KeQuerySystemTime: 100 ns ticks since 1601 (fixed boot time in virtual
  // mode, the host's wall clock at boot in real-time mode).
  std::int64_t systemTime100ns() const;
  std::int64_t bootSystemTime100ns() const;

  // ---- Timers and interrupts ---------------------------------------------
  // Runs `action` as an interrupt context at `irql` once the clock reaches
  // `instant` (at once when it has). Timers due at the same instant run in
  // the order they were set. Callable from any thread.
  TimerId callAt(Instant instant, std::function<void()> action, Irql irql = kDispatchLevel, std::string name = "timer");
  TimerId callAfter(Duration delay, std::function<void()> action, Irql irql = kDispatchLevel,
                    std::string name = "timer");
  // False when the timer has already fired or was cancelled.
  bool cancelTimer(TimerId timer);
  InterruptLine openInterruptLine(std::string name);

  // ---- System worker threads ---------------------------------------------
  // Runs `item` on a worker thread of `queue` at PASSIVE_LEVEL; items of a
  // queue start in order. The end of an item is a switch point, and the
  // worker checks that the item returned at PASSIVE_LEVEL holding no spin
  // lock.
  void queueWork(WorkQueue queue, std::function<void()> item, std::string name = "work item");

  // ---- Primitives for kernel objects (the Ke layer, platform drivers) ----
  // Blocks the calling thread until one (or all) of `objects` is signalled
  // or the time-out passes. No time-out waits forever; a zero time-out
  // polls. Does not check IRQL: the callers' rules differ.
  WaitResult wait(std::span<Waitable* const> objects, bool waitAll, std::optional<Duration> timeout);
  // Blocks the calling thread for `duration` (0: a yield point).
  void delay(Duration duration);
  // Busy-waits `duration` without giving up the CPU: virtual time simply
  // moves on.
  void stall(Duration duration);
  // A point where the running thread may lose the CPU (seeded choice). A
  // no-op on a thread the scheduler does not know.
  void yieldPoint();
  // Re-examines the threads waiting for `object` after its state changed.
  void signal(const void* object);

  // The calling thread's IRQL (PASSIVE_LEVEL on an unknown thread).
  Irql currentIrql() const;
  void setCurrentIrql(Irql irql);
  // The calling thread's name ("unmanaged" for one the scheduler does not
  // know): where a verifier report happened.
  std::string currentThreadName() const;
  // Every thread and its state, one line each (the deadlock report's body).
  std::string describeThreads() const;

  // Context switches so far: the cost measure of a run.
  std::uint64_t switchCount() const;

  // The kernel's own parts (the Ke layer) reach the core through this.
  sched::Core* core() const { return core_.get(); }

 private:
  std::shared_ptr<sched::Core> core_;
};

// ---- Hooks for the rest of the kernel; all are no-ops without a scheduler --

// A yield point of the installed scheduler (IoCallDriver, event set, lock
// release).
void yieldPoint();
// queueWork on the installed scheduler (throws std::logic_error without one).
void queueWork(WorkQueue queue, std::function<void()> item, std::string name = "work item");
Irql currentIrql();
std::string currentThreadName();

// Spin locks the calling thread holds, the cancel spin lock included (0 on
// a thread the scheduler does not know).
std::size_t spinLocksHeld();

// What the kernel keeps per kernel thread rather than per OS thread. The
// scheduler runs its managed threads as fibers on one OS thread, so each of
// them has its own copy; any other thread uses its OS thread's.
struct KernelThreadLocals {
  void* ioFrames = nullptr;       // the I/O manager's innermost frame
  void* imageBoundary = nullptr;  // the innermost entry into a driver image
};
KernelThreadLocals& kernelThreadLocals();
// Tells kernel threads apart, as a thread id tells OS threads apart.
const void* kernelThreadIdentity();

// Marks the calling thread, for the scope's lifetime, as running a
// completion routine or a power completion function. A lower driver may call
// those at DISPATCH_LEVEL, so a wait there is a fault of the routine: a
// blocking wait at DISPATCH_LEVEL or above inside the scope is reported as
// completion-irql, naming `routine`, instead of wait-irql.
class CompletionRoutineScope {
 public:
  explicit CompletionRoutineScope(std::string routine);
  ~CompletionRoutineScope();
  CompletionRoutineScope(const CompletionRoutineScope&) = delete;
  CompletionRoutineScope& operator=(const CompletionRoutineScope&) = delete;

 private:
  bool entered_ = false;
};

// What a routine the kernel calls (dispatch, completion, cancel routine,
// work item) must leave as it found: its IRQL and the spin locks held.
// Capture before the call, check after it; a difference is reported as
// irql-unchanged or spin-lock-pairing.
class RoutineCheck {
 public:
  explicit RoutineCheck(std::string_view routineKind);
  void verifyReturn() const;

 private:
  std::string routineKind_;
  Irql entryIrql_;
  std::size_t entrySpinLocks_;
};

}  // namespace platform
