#pragma once
// A small native x64 image, written byte by byte, with each thing the
// loader must get right in it: a relocated pointer, one import, the
// privileged instructions the DDK's inline helpers compile into drivers,
// and a COFF symbol. The tests build one, change a field or two, and load
// it: they need no cross compiler.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace image_test {

// Code offsets from the image base; each is an ms_abi function.
inline constexpr std::uint32_t kReadIrql = 0x1000;          // mov rax, cr8; ret
inline constexpr std::uint32_t kWriteIrql = 0x1010;         // mov cr8, rcx; ret
inline constexpr std::uint32_t kReadIrqlToR8 = 0x1020;      // mov r8, cr8; mov rax, r8; ret
inline constexpr std::uint32_t kAssertFails = 0x1030;       // int 0x2c; mov eax, 7; ret  (symbol AssertFails)
inline constexpr std::uint32_t kReadCr0 = 0x1040;           // mov rax, cr0; ret (not emulated)
inline constexpr std::uint32_t kCallImport = 0x1050;        // jmp [IAT slot]: the import
inline constexpr std::uint32_t kRelocatedPointer = 0x1060;  // mov rax, [pointer to AssertFails]; ret
inline constexpr std::uint32_t kEntry = 0x1070;             // xor eax, eax; ret (DriverEntry: STATUS_SUCCESS)
// A DriverEntry that returns STATUS_SUCCESS at DISPATCH_LEVEL:
// mov ecx, 2; mov cr8, rcx; xor eax, eax; ret
inline constexpr std::uint32_t kEntryRaisingIrql = 0x1080;
// Calls the import in a frame of its own (no tail call):
// sub rsp, 40; call [IAT slot]; add rsp, 40; ret
inline constexpr std::uint32_t kCallImportInFrame = 0x1090;

struct TinyImageOptions {
  std::uint16_t machine = 0x8664;
  std::uint16_t subsystem = 1;  // native
  std::string importModule = "ntoskrnl.exe";
  std::string importFunction = "KeGetCurrentIrql";
};

std::vector<std::byte> tinyImage(const TinyImageOptions& options = {});
// Writes bytes to a file under the test's temporary folder; returns its path.
std::filesystem::path writeImage(const std::string& name, const std::vector<std::byte>& bytes);

}  // namespace image_test
