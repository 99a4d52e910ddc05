// The kernel boundary uses Microsoft's x64 calling convention on Linux too: a
// kernel image compiled for Windows finds the platform's exports by name and
// calls them through plain addresses, with no thunk in between, and passes
// the arguments of DbgPrint the Microsoft way.
#include <gtest/gtest.h>

#include <wdm.h>

#include <platform/trace.h>

#include <string>

namespace {

// What an image's import table holds for a routine: its address, filled in
// at load time (volatile, so that the compiler cannot see which routine it
// is), called with the convention the image was compiled for.
template <typename Function>
Function* imported(void* address) {
  void* volatile slot = address;
  return reinterpret_cast<Function*>(slot);
}

using ImageCompareMemory = SIZE_T __attribute__((ms_abi)) (const void*, const void*, SIZE_T);
using ImageInitUnicodeString = VOID __attribute__((ms_abi)) (PUNICODE_STRING, PCWSTR);
using ImageDbgPrint = ULONG __attribute__((ms_abi)) (PCSTR, ...);

TEST(KernelCallingConvention, ExportsTakeTheirArgumentsInMicrosoftRegisters) {
  const char left[] = "reader 712";
  const char right[] = "reader 7X2";
  auto* compare = imported<ImageCompareMemory>(reinterpret_cast<void*>(&RtlCompareMemory));
  EXPECT_EQ(compare(left, right, sizeof left), 8u);

  UNICODE_STRING name{};
  auto* init = imported<ImageInitUnicodeString>(reinterpret_cast<void*>(&RtlInitUnicodeString));
  init(&name, u"COM7");
  EXPECT_EQ(name.Length, 8);
  EXPECT_EQ(name.MaximumLength, 10);
}

// The kernel's reading of the format: l is 32-bit, I64 64-bit, %wZ a counted
// wide string, %ws a terminated one; a trailing line end is dropped.
TEST(KernelCallingConvention, DbgPrintReadsMicrosoftVariableArguments) {
  platform::Trace& trace = platform::Trace::current();
  trace.clear();
  UNICODE_STRING port{};
  RtlInitUnicodeString(&port, u"\\Device\\Serial0");
  auto* print = imported<ImageDbgPrint>(reinterpret_cast<void*>(&DbgPrint));

  print("reader %d on %wZ (%ws): %lu bytes, %I64x, %s%c %5.1f%% [%-4s|%04X]\n", -3, &port, u"COM1", 0xFFFFFFFFul,
        0x123456789ABCull, "ok", '!', 99.5, "ab", 0x2Au);
  print("%p %Z %hhu %hd %zu %q", nullptr, static_cast<PANSI_STRING>(nullptr), 0x1FFu, 0x18000, SIZE_T{1} << 40);

  EXPECT_EQ(trace.texts(platform::TraceCategory::Debug),
            (std::vector<std::string>{
                "reader -3 on \\Device\\Serial0 (COM1): 4294967295 bytes, 123456789abc, ok!  99.5% [ab  |002A]",
                "(nil) (null) 255 -32768 1099511627776 %q"}));
}

}  // namespace
