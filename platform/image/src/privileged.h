// Emulation of the privileged instructions that the DDK's inline helpers
// compile into driver code, which fault (#GP, SIGSEGV) in user mode:
//
//   mov reg, cr8   KeGetCurrentIrql: the IRQL of the running thread
//   mov cr8, reg   KeRaiseIrql/KeLowerIrql (KfRaiseIrql/KfLowerIrql inline):
//                  through the platform's KfRaiseIrql (a level at or above
//                  the current one) or KfLowerIrql (below it), so the
//                  scheduler's IRQL bookkeeping and checks see it
//   int 0x2c       a failed NT_ASSERT: an assertion violation naming the
//                  image function, then execution goes on after it, as after
//                  the platform's own RtlAssert
//
// A SIGSEGV handler decodes these forms only at addresses inside a loaded
// image's code sections, writes the result into the saved registers and
// steps over the instruction; every other fault goes to the handler that
// was installed before (the default action, or a sanitizer's). Nothing else
// is emulated.
//
// Why a fault handler rather than patching the sites at load time: the
// sites are 4-byte (`mov cr8`) and 2-byte (`int 0x2c`) instructions, too
// short for a 5-byte call, so patching would mean moving neighbouring
// instructions, which needs a full decoder and knowledge of every branch
// target. The handler leaves every byte of the image as Windows would run
// it. The fault is synchronous and taken in image code, which holds no lock
// of the C library or of the platform, so the handler may call into the
// platform as the instruction's caller would.
#pragma once

namespace platform::image {

// Installs the handler once per process (idempotent).
void installPrivilegedInstructionHandler();

}  // namespace platform::image
