#pragma once
// The one kernel of the handler's process: every reader pcscd gives the
// handler is a COM port, a device stack and a client handle on this kernel,
// as a machine with several serial readers has them. Its own thread (the
// kernel thread) builds the kernel with the first reader, drives its
// scheduler, and does the Plug and Play work of adding and removing readers;
// each request of a reader runs on a request thread of its own, so that a
// long exchange on one reader never holds up another.
//
// Seen only by reader_service.cpp: this header brings the kernel's types.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "stack/reader_stack.h"

namespace tav712::pcsc {

class ReaderKernel {
 public:
  // Holds the process's kernel, starting it for the first holder; the last
  // holder to let go stops it (its readers must be gone by then).
  class Lease {
   public:
    Lease();
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ReaderKernel* operator->() const { return kernel_; }
    ReaderKernel& operator*() const { return *kernel_; }

   private:
    ReaderKernel* kernel_;
  };

  ~ReaderKernel();
  ReaderKernel(const ReaderKernel&) = delete;
  ReaderKernel& operator=(const ReaderKernel&) = delete;

  // Runs `job` on the kernel thread and waits for it. Never call it from a
  // thread of the kernel.
  void run(std::function<void()> job);
  // Queues `job` for the kernel thread without waiting.
  void post(std::function<void()> job);

  // On the kernel thread: the stack, built (with its first port) on first
  // use from `port`; a port after that is added to it. Throws ToolError as
  // the stack does. Returns the port's device object.
  PDEVICE_OBJECT addPort(const StackOptions& port);
  // On the kernel thread or a request thread: the stack, null before the
  // first port.
  ReaderStack* stack() { return stack_.get(); }

 private:
  ReaderKernel();
  void serve();
  void wake();

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable jobsPosted_;
  std::deque<std::function<void()>> jobs_;
  std::atomic<bool> jobsWaiting_{false};
  bool stopping_ = false;
  std::optional<platform::InterruptLine> wakeLine_;
  // Owned by the kernel thread.
  std::unique_ptr<ReaderStack> stack_;
};

}  // namespace tav712::pcsc
