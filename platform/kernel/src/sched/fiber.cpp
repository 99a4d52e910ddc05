// Fibers on x86-64 System V: a switch pushes the callee-saved registers and
// the floating-point control words on the running stack, stores the stack
// pointer and loads the other context's. Everything else a called function
// may clobber anyway.
#include "fiber.h"

#include "../poison.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#if !defined(__x86_64__)
#error "fiber switch: only the x86-64 register save is written"
#endif

extern "C" {
// Saves the running context's registers on its stack and its stack pointer
// in *save, then loads the context whose stack pointer is `load`.
void platform_fiber_switch(void** save, void* load);
// Where a new fiber's first switch returns to: calls r13(r12).
void platform_fiber_trampoline();
}

asm(R"(
    .text
    .globl platform_fiber_switch
    .type platform_fiber_switch, @function
platform_fiber_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .cfi_endproc
    .size platform_fiber_switch, .-platform_fiber_switch

    .globl platform_fiber_trampoline
    .type platform_fiber_trampoline, @function
platform_fiber_trampoline:
    .cfi_startproc
    .cfi_undefined rip
    movq %r12, %rdi
    callq *%r13
    ud2
    .cfi_endproc
    .size platform_fiber_trampoline, .-platform_fiber_trampoline
)");

namespace platform::sched {
namespace {

// The C++ runtime's per-OS-thread exception state (libstdc++ and libc++abi
// share this layout on x86-64): each fiber keeps its own, so that a fiber
// switched away inside a catch block or during unwinding finds its own
// exceptions when it resumes.
template <typename State>
State& runtimeExceptionState() {
  return *reinterpret_cast<State*>(abi::__cxa_get_globals());
}

// MXCSR: all exceptions masked, round to nearest. x87 control word: the
// same, extended precision.
constexpr std::uint32_t kInitialMxcsr = 0x1F80;
constexpr std::uint16_t kInitialFpuControl = 0x037F;

}  // namespace

Fiber::Fiber() {
  // The OS thread's own stack, for AddressSanitizer's switch annotations.
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    void* bottom = nullptr;
    std::size_t size = 0;
    pthread_attr_getstack(&attributes, &bottom, &size);
    stackBottom_ = bottom;
    stackSize_ = size;
    pthread_attr_destroy(&attributes);
  }
}

Fiber::Fiber(Entry entry, void* argument, std::size_t stackSize) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  stackSize_ = (stackSize + page - 1) / page * page;
  mappedSize_ = stackSize_ + page;
  stack_ = mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                -1, 0);
  if (stack_ == MAP_FAILED) throw std::bad_alloc();
  mprotect(stack_, page, PROT_NONE);  // an overflow faults instead of writing below
  stackBottom_ = static_cast<unsigned char*>(stack_) + page;
  restart(entry, argument);
}

void Fiber::restart(Entry entry, void* argument) {
  entry_ = entry;
  argument_ = argument;
  exceptions_ = {};
  // An earlier run on this stack, or an earlier stack at this address, may
  // have left redzones poisoned.
  io::unpoisonMemory(stackBottom_, stackSize_);

  // The frame platform_fiber_switch pops: control words, r15, r14, r13, r12,
  // rbx, rbp, and the return address. The trampoline is entered with the
  // stack 16-byte aligned, as a call expects.
  auto* top = reinterpret_cast<std::uint64_t*>(static_cast<unsigned char*>(stackBottom_) + stackSize_);
  std::uint64_t* frame = top - 8;
  frame[0] = kInitialMxcsr | (std::uint64_t{kInitialFpuControl} << 32);
  frame[1] = 0;                                               // r15
  frame[2] = 0;                                               // r14
  frame[3] = reinterpret_cast<std::uint64_t>(&Fiber::start);  // r13
  frame[4] = reinterpret_cast<std::uint64_t>(this);           // r12
  frame[5] = 0;                                               // rbx
  frame[6] = 0;                                               // rbp: ends frame-pointer walks
  frame[7] = reinterpret_cast<std::uint64_t>(&platform_fiber_trampoline);
  savedStackPointer_ = frame;
}

Fiber::~Fiber() {
  if (stack_ != nullptr) munmap(stack_, mappedSize_);
}

void Fiber::start(Fiber* self) {
  self->resumed();
  self->entry_(self->argument_);
  std::abort();  // an entry ends with exitTo()
}

void Fiber::switchTo(Fiber& from, Fiber& to) { switchContext(from, to, false); }

void Fiber::exitTo(Fiber& from, Fiber& to) {
  switchContext(from, to, true);
  std::abort();
}

void Fiber::switchContext(Fiber& from, Fiber& to, bool exiting) {
  from.exceptions_ = runtimeExceptionState<ExceptionState>();
#if defined(PLATFORM_ADDRESS_SANITIZER)
  __sanitizer_start_switch_fiber(exiting ? nullptr : &from.fakeStack_, to.stackBottom_, to.stackSize_);
#else
  (void)exiting;
#endif
  platform_fiber_switch(&from.savedStackPointer_, to.savedStackPointer_);
  from.resumed();
}

// Runs first thing in a context that has just been switched to.
void Fiber::resumed() {
#if defined(PLATFORM_ADDRESS_SANITIZER)
  __sanitizer_finish_switch_fiber(fakeStack_, nullptr, nullptr);
  fakeStack_ = nullptr;
#endif
  runtimeExceptionState<ExceptionState>() = exceptions_;
}

}  // namespace platform::sched
