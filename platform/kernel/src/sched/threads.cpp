// The bodies of managed threads: request threads run one function; system
// worker threads and interrupt contexts loop, idle between jobs.
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
  tlsBinding = {};
}

void start(Core* core, Thread* thread, Core::Lock& lock) {
  tlsBinding = {core, thread};
  core->waitForCpu(thread, lock);
}

}  // namespace

void requestThreadMain(Core* core, Thread* thread) {
  Core::Lock lock(core->mutex);
  start(core, thread, lock);
  std::function<void()> body = std::move(thread->body);
  if (!core->shuttingDown) runJob(core, thread, lock, body, "request thread");
  finish(core, thread, lock);
}

void poolThreadMain(Core* core, Thread* thread) {
  Core::Lock lock(core->mutex);
  start(core, thread, lock);
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
  finish(core, thread, lock);
}

}  // namespace platform::sched
