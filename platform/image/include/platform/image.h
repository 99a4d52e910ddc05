// Loads a native x64 kernel image (a PE32+ .sys linked for Windows, such as
// the tav712.sys that scripts/check-kernel-build links with mingw-w64) into
// this process, so that the platform runs the very binary a Windows user
// installs:
//
//  - checks the machine (x64), the format (PE32+) and the subsystem (native);
//  - maps headers and sections at a free address, applies the base
//    relocations, and gives each section the protection its flags ask for
//    (code read+execute, read-only data read-only);
//  - binds every import by module and name to the platform's own functions
//    (ntoskrnl.exe and HAL.dll: platform/kernel; smclib.sys: platform/smclib),
//    which take their arguments in the Microsoft x64 convention on Linux
//    too, so the image and the platform call each other without thunks; an
//    import the platform does not export refuses the image with an
//    ImageError naming the module and the function;
//  - sets the security cookie if the image has one; refuses TLS and delay
//    imports, which no kernel image has;
//  - emulates the privileged instructions the DDK's inline helpers compile
//    into driver code (see privileged.cpp): `mov` to and from cr8 against
//    the platform's IRQL bookkeeping, `int 0x2c` (a failed NT_ASSERT) as an
//    assertion violation;
//  - names code addresses inside the image as module!function+offset from
//    the image's COFF symbol table.
//
// Unwind data (.pdata) is not registered: Linux has no
// RtlAddFunctionTable, and kernel code built without C++ exceptions never
// unwinds itself. A platform exception raised under image code leaves the
// image's frames without unwinding them (platform/driver_code.h): the
// imports are bound through guards that return to the platform's call into
// the image and raise the exception there.
//
// Destroying the LoadedImage unmaps it: call it only once the driver is
// unloaded and nothing can run its code.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform::image {

class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What an image may import: functions by module and name.
class ExportTable {
 public:
  // ntoskrnl.exe, HAL.dll and smclib.sys as the platform implements them.
  static const ExportTable& platform();

  void add(std::string_view module, std::string_view function, const void* address);
  // Null when the module or the function is unknown. Module names compare
  // without regard to case, as Windows' loader does.
  const void* find(std::string_view module, std::string_view function) const;
  bool hasModule(std::string_view module) const;

 private:
  struct Entry {
    std::string module;  // lower case
    std::string function;
    const void* address;
  };
  std::vector<Entry> entries_;
};

struct ImportedFunction {
  std::string module;
  std::string function;
};

class LoadedImage {
 public:
  // Throws ImageError when the file cannot be read, is not a native x64
  // image, or imports what `exports` lacks.
  static std::unique_ptr<LoadedImage> load(const std::filesystem::path& path,
                                           const ExportTable& exports = ExportTable::platform());
  ~LoadedImage();
  LoadedImage(const LoadedImage&) = delete;
  LoadedImage& operator=(const LoadedImage&) = delete;

  // The image's entry point: its DriverEntry.
  PDRIVER_INITIALIZE driverEntry() const { return entry_; }
  // The file name, e.g. tav712.sys.
  const std::string& name() const { return name_; }
  const std::vector<ImportedFunction>& imports() const { return imports_; }
  std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(base_); }
  std::size_t size() const { return size_; }

  bool contains(const void* address) const;
  bool inCode(const void* address) const;
  // "tav712.sys!SerialIoControl+0x1f" (or "tav712.sys+0x4d0f" without a
  // symbol); nullopt outside the image.
  std::optional<std::string> describe(const void* address) const;

  // The loaded image whose mapping holds `address`, if any.
  static const LoadedImage* containing(const void* address);

 private:
  LoadedImage() = default;

  struct CodeRange {
    std::uintptr_t begin;
    std::uintptr_t end;
  };
  struct Symbol {
    std::uint32_t rva;
    std::string name;
  };

  std::string name_;
  void* base_ = nullptr;
  std::size_t size_ = 0;
  PDRIVER_INITIALIZE entry_ = nullptr;
  std::vector<ImportedFunction> imports_;
  std::vector<CodeRange> code_;
  std::vector<Symbol> symbols_;  // functions, by address
  int registrySlot_ = -1;

  friend class ImageBuilder;
};

// The name of code at `address` when it lies inside a loaded image
// ("tav712.sys!Function+0x1c"); nullopt for the host's own code.
std::optional<std::string> describeImageCode(const void* address);

}  // namespace platform::image
