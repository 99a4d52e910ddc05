#include "privileged.h"

#include <platform/image.h>
#include <platform/verifier.h>

#include <kesync.h>
#include <signal.h>
#include <ucontext.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace platform::image {
namespace {

struct sigaction previousHandler {};

// The saved general registers in the x86 register numbering of ModRM.
constexpr std::array<int, 16> kRegisterSlot = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                               REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// Emulates the instruction at the faulting RIP; false if it is not one of
// the emulated forms.
bool emulate(const LoadedImage& image, ucontext_t& context) {
  greg_t* registers = context.uc_mcontext.gregs;
  const auto* code = reinterpret_cast<const std::uint8_t*>(registers[REG_RIP]);
  auto readable = [&](std::size_t length) { return image.inCode(code) && image.inCode(code + length - 1); };

  if (readable(2) && code[0] == 0xCD && code[1] == 0x2C) {  // int 0x2c
    reportViolation(rule::kAssertion, image.describe(code).value_or(image.name()),
                    "NT_ASSERT failed (int 0x2c in the image)");
    registers[REG_RIP] += 2;
    return true;
  }

  // [REX] 0F 20|22 ModRM with mod 11 and reg (with REX.R) 8: cr8.
  std::size_t length = 0;
  std::uint8_t rex = 0;
  if (readable(1) && (code[0] & 0xF0) == 0x40) rex = code[length++];
  if (!readable(length + 3) || code[length] != 0x0F || (code[length + 1] != 0x20 && code[length + 1] != 0x22))
    return false;
  const bool toCr8 = code[length + 1] == 0x22;
  const std::uint8_t modrm = code[length + 2];
  const unsigned controlRegister = ((modrm >> 3) & 7u) | ((rex & 0x4u) ? 8u : 0u);
  const unsigned generalRegister = (modrm & 7u) | ((rex & 0x1u) ? 8u : 0u);
  if ((modrm >> 6) != 3 || controlRegister != 8) return false;
  length += 3;

  greg_t& operand = registers[kRegisterSlot[generalRegister]];
  if (toCr8) {
    const auto level = static_cast<KIRQL>(operand & 0xF);
    if (level >= KeGetCurrentIrql())
      KfRaiseIrql(level);
    else
      KfLowerIrql(level);
  } else {
    operand = static_cast<greg_t>(KeGetCurrentIrql());  // a 64-bit move: the upper bits are cleared
  }
  registers[REG_RIP] += static_cast<greg_t>(length);
  return true;
}

void passOn(int signal, siginfo_t* info, void* context) {
  if (previousHandler.sa_flags & SA_SIGINFO) {
    previousHandler.sa_sigaction(signal, info, context);
  } else if (previousHandler.sa_handler == SIG_DFL || previousHandler.sa_handler == SIG_IGN) {
    // Returning re-executes the faulting instruction under the default
    // action: the process ends as it would have without us.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
  } else {
    previousHandler.sa_handler(signal);
  }
}

void onFault(int signal, siginfo_t* info, void* rawContext) {
  auto& context = *static_cast<ucontext_t*>(rawContext);
  const auto* rip = reinterpret_cast<const void*>(context.uc_mcontext.gregs[REG_RIP]);
  const LoadedImage* image = LoadedImage::containing(rip);
  if (image != nullptr && image->inCode(rip) && emulate(*image, context)) return;
  passOn(signal, info, rawContext);
}

}  // namespace

void installPrivilegedInstructionHandler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = &onFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previousHandler);
  });
}

}  // namespace platform::image
