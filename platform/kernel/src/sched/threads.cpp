// The bodies of managed threads: request threads run one function; system
// worker threads and interrupt contexts loop, idle between jobs. Each runs
// as a fiber, entered with the core's lock held by whoever switched to it.
#include "core.h"

#include <algorithm>

namespace platform::sched {
namespace {

// Runs a job outside the scheduler lock, checking that it returns at the
// IRQL it started at and holding no new spin lock. Returns false when the
// scheduler unwound the thread.
bool runJob(Core* core, Thread* thread, Core::Lock& lock, std::function<void()>& job, std::string_view routineKind) {
  lock.unlock();
  std::exception_ptr failure;
  bool aborted = false;
  try {
    RoutineCheck check(routineKind);
    job();
    check.verifyReturn();
  } catch (const ThreadAborted&) {
    aborted = true;
  } catch (...) {
    failure = std::current_exception();
  }
  job = nullptr;  // its captures may call in: release them before locking
  lock.lock();
  if (failure) {
    thread->failure = failure;
    core->failures.emplace_back(thread->name, failure);
  }
  return !aborted;
}

// Parks a worker or interrupt context until it is given something to do.
// Returns false when the scheduler unwound it instead.
bool idle(Core* core, Thread* thread, Core::Lock& lock) {
  thread->idleWait = true;
  thread->wake = WakeReason::None;
  thread->waitSequence = core->nextSequence++;
  core->block(thread, lock);
  thread->idleWait = false;
  return thread->wake != WakeReason::Aborted;
}

// Ends `thread`: wakes whoever joins it and hands the CPU on.
void finish(Core* core, Thread* thread, Core::Lock& lock) {
  auto record = std::find_if(core->threads.begin(), core->threads.end(),
                             [thread](const auto& entry) { return entry.get() == thread; });
  core->finishedUnjoined.push_back(*record);
  core->threads.erase(record);
  thread->state = RunState::Finished;
  core->signal(thread);
  core->switchAway(thread, lock);
}

void requestThreadBody(Core* core, Thread* thread, Core::Lock& lock) {
  std::function<void()> body = std::move(thread->body);
  if (!core->shuttingDown) runJob(core, thread, lock, body, "request thread");
}

void poolThreadBody(Core* core, Thread* thread, Core::Lock& lock) {
  Pool& pool = core->pools[thread->pool];
  while (!core->shuttingDown) {
    if (pool.jobs.empty()) {
      pool.idle.push_back(thread);
      if (!idle(core, thread, lock)) break;
      continue;
    }
    Job job = std::move(pool.jobs.front());
    pool.jobs.pop_front();
    thread->jobName = std::move(job.name);
    thread->irql = job.irql;
    bool completed =
        runJob(core, thread, lock, job.action, thread->pool == kInterruptPool ? "interrupt handler" : "work item");
    thread->irql = kPassiveLevel;
    if (!completed) break;
    core->yield(thread, lock);  // the end of a job is a switch point
  }
}

}  // namespace

void managedThreadMain(void* argument) {
  auto* thread = static_cast<Thread*>(argument);
  Core* core = tlsBinding.core;  // fibers run on the core's host thread
  tlsBinding.thread = thread;
  {
    Core::Lock lock(core->mutex, std::adopt_lock);
    if (thread->kind == ThreadKind::Request)
      requestThreadBody(core, thread, lock);
    else
      poolThreadBody(core, thread, lock);
    finish(core, thread, lock);
    lock.release();  // the lock stays held for the context switched to
  }
  core->exitFiber(thread);
}

}  // namespace platform::sched
