#include "reader_kernel.h"

#include <cstdlib>
#include <iostream>

namespace tav712::pcsc {
namespace {

std::mutex leaseMutex;
ReaderKernel* sharedKernel = nullptr;
int leaseHolders = 0;

}  // namespace

ReaderKernel::Lease::Lease() {
  std::lock_guard lock(leaseMutex);
  if (sharedKernel == nullptr) sharedKernel = new ReaderKernel();
  ++leaseHolders;
  kernel_ = sharedKernel;
}

ReaderKernel::Lease::~Lease() {
  // Under the lock, so that a reader opened meanwhile waits for this kernel
  // to be gone (one kernel at a time) and then starts a fresh one.
  std::lock_guard lock(leaseMutex);
  if (--leaseHolders == 0) {
    delete sharedKernel;
    sharedKernel = nullptr;
  }
}

ReaderKernel::ReaderKernel() {
  thread_ = std::thread([this] { serve(); });
}

ReaderKernel::~ReaderKernel() {
  post([this] { stopping_ = true; });
  thread_.join();
}

void ReaderKernel::post(std::function<void()> job) {
  std::lock_guard lock(mutex_);
  jobs_.push_back(std::move(job));
  jobsWaiting_ = true;
  jobsPosted_.notify_one();
  // An empty interrupt is enough to end the kernel thread's idle wait.
  if (wakeLine_) wakeLine_->raise([] {});
}

void ReaderKernel::run(std::function<void()> job) {
  std::promise<void> done;
  auto finished = done.get_future();
  post([&] {
    try {
      job();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

PDEVICE_OBJECT ReaderKernel::addPort(const StackOptions& port) {
  if (stack_) return stack_->addPort(port);
  stack_ = std::make_unique<ReaderStack>(port);
  // TAV712_IFD_TRACE=1 in pcscd's environment writes the kernel trace
  // (requests, serial bytes, card events) to pcscd's standard error.
  if (const char* trace = std::getenv("TAV712_IFD_TRACE"); trace != nullptr && *trace == '1') {
    stack_->system().trace().echoTo(&std::cerr);
  }
  std::lock_guard lock(mutex_);
  wakeLine_.emplace(stack_->system().scheduler().openInterruptLine("pcscd requests"));
  return stack_->portDevice();
}

void ReaderKernel::serve() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      if (jobs_.empty()) {
        jobsWaiting_ = false;
        if (stopping_) break;
        // Before the first reader there is no scheduler to wait in.
        if (!stack_) jobsPosted_.wait(lock, [this] { return !jobs_.empty(); });
      }
      if (!jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    if (job) {
      job();
      continue;
    }
    // The readers' request threads run while this thread waits here.
    stack_->system().scheduler().runUntil([this] { return jobsWaiting_.load(); }, std::chrono::seconds(1));
  }
  {
    std::lock_guard lock(mutex_);
    wakeLine_.reset();
  }
  stack_.reset();
}

}  // namespace tav712::pcsc
