// Run-time library routines drivers use: memory comparison, counted
// strings and assertions (debug output: debug_print.cpp).
#include <platform/verifier.h>

#include <cstring>
#include <string>

#include "io_state.h"

using namespace platform;

extern "C" {

SIZE_T NTAPI RtlCompareMemory(CONST VOID* Source1, CONST VOID* Source2, SIZE_T Length) {
  auto* left = static_cast<const unsigned char*>(Source1);
  auto* right = static_cast<const unsigned char*>(Source2);
  SIZE_T same = 0;
  while (same < Length && left[same] == right[same]) ++same;
  return same;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  std::size_t length = 0;
  if (SourceString != nullptr)
    while (SourceString[length] != 0) ++length;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  DestinationString->MaximumLength = SourceString == nullptr ? 0 : static_cast<USHORT>((length + 1) * sizeof(WCHAR));
}

// Frees a string whose buffer the kernel allocated from pool (a symbolic
// link name from IoRegisterDeviceInterface, for one).
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT length =
      SourceString->Length < DestinationString->MaximumLength ? SourceString->Length : DestinationString->MaximumLength;
  std::memcpy(DestinationString->Buffer, SourceString->Buffer, length);
  DestinationString->Length = length;
  if (length + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[length / sizeof(WCHAR)] = 0;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  for (std::size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
    char16_t a = String1->Buffer[i];
    char16_t b = String2->Buffer[i];
    if (CaseInSensitive) {
      if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - u'a' + u'A');
      if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - u'a' + u'A');
    }
    if (a != b) return FALSE;
  }
  return TRUE;
}

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
  std::string where = std::string(static_cast<const char*>(FileName)) + ":" + std::to_string(LineNumber);
  std::string what = std::string("ASSERT(") + static_cast<const char*>(FailedAssertion) + ") failed";
  if (Message != nullptr) what += std::string(": ") + Message;
  reportViolation(rule::kAssertion, where, what);
}

}  // extern "C"
