// A user-space execution context: its own stack and saved registers, run
// by switching to it from another context on the same OS thread. The
// scheduler runs every managed kernel thread as one, so that handing the
// CPU between them costs a few dozen instructions instead of an OS thread
// hand-over.
//
// A switch also carries what the C++ runtime and AddressSanitizer keep per
// OS thread: the exception-handling state (caught exceptions, the
// uncaught count) and the stack bounds of the running context.
#pragma once

#include <cstddef>

namespace platform::sched {

class Fiber {
 public:
  using Entry = void (*)(void* argument);

  // The context of the calling OS thread itself, to switch away from and
  // back to; it owns no stack.
  Fiber();
  // A new context that starts in `entry(argument)` when first switched to.
  // The entry never returns: it ends with exitTo().
  Fiber(Entry entry, void* argument, std::size_t stackSize);
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Makes an ended fiber start over in `entry(argument)` on the same stack.
  void restart(Entry entry, void* argument);

  // Saves the running context into `from` and resumes `to`. Returns when
  // something switches back to `from`.
  static void switchTo(Fiber& from, Fiber& to);
  // The last switch of a fiber whose work is done: its stack may be freed
  // once `to` runs.
  [[noreturn]] static void exitTo(Fiber& from, Fiber& to);

 private:
  struct ExceptionState {
    void* caughtExceptions = nullptr;
    unsigned int uncaughtExceptions = 0;
  };

  static void start(Fiber* self);
  static void switchContext(Fiber& from, Fiber& to, bool exiting);
  void resumed();

  void* savedStackPointer_ = nullptr;
  void* stack_ = nullptr;  // mapping: guard page, then the stack
  std::size_t mappedSize_ = 0;
  void* stackBottom_ = nullptr;  // lowest usable address
  std::size_t stackSize_ = 0;
  Entry entry_ = nullptr;
  void* argument_ = nullptr;
  ExceptionState exceptions_;
  void* fakeStack_ = nullptr;  // AddressSanitizer's, while switched away
};

}  // namespace platform::sched
