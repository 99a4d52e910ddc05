#include "tiny_image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>

namespace image_test {
namespace {

constexpr std::uint64_t kImageBase = 0x140000000;
constexpr std::uint32_t kHeadersSize = 0x400;
constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kNewHeader = 0x80;
constexpr std::uint32_t kOptionalHeader = kNewHeader + 4 + 20;
constexpr std::uint16_t kOptionalHeaderSize = 240;

// .rdata: the relocated pointer, the import directory, lookup and address
// tables, and the names.
constexpr std::uint32_t kRdata = 0x2000;
constexpr std::uint32_t kPointer = kRdata;
constexpr std::uint32_t kImportDirectory = kRdata + 0x10;
constexpr std::uint32_t kLookupTable = kRdata + 0x40;
constexpr std::uint32_t kAddressTable = kRdata + 0x60;
constexpr std::uint32_t kModuleName = kRdata + 0x80;
constexpr std::uint32_t kHintName = kRdata + 0xC0;
constexpr std::uint32_t kReloc = 0x3000;
constexpr std::uint32_t kImageSize = 0x4000;

class Writer {
 public:
  explicit Writer(std::size_t size) : bytes_(size) {}
  template <typename T>
  void put(std::size_t at, T value) {
    std::memcpy(bytes_.data() + at, &value, sizeof value);
  }
  void put(std::size_t at, std::initializer_list<std::uint8_t> code) {
    for (std::uint8_t byte : code) bytes_[at++] = std::byte{byte};
  }
  void put(std::size_t at, const std::string& text) { std::memcpy(bytes_.data() + at, text.c_str(), text.size() + 1); }
  std::vector<std::byte>& bytes() { return bytes_; }

 private:
  std::vector<std::byte> bytes_;
};

struct Section {
  const char* name;
  std::uint32_t rva;
  std::uint32_t characteristics;
};
constexpr Section kSections[] = {
    {".text", 0x1000, 0x60000020},   // code, execute, read
    {".rdata", kRdata, 0xC0000040},  // initialised data, read, write (the loader binds the imports here)
    {".reloc", kReloc, 0x42000040},  // initialised data, discardable, read
};

// A section's bytes sit in the file at its RVA's page, one file alignment each.
std::uint32_t fileOffset(std::uint32_t rva) { return kHeadersSize + (rva / 0x1000 - 1) * kFileAlignment; }

}  // namespace

std::vector<std::byte> tinyImage(const TinyImageOptions& options) {
  constexpr std::uint32_t symbolsAt = kHeadersSize + 3 * kFileAlignment;
  Writer file(symbolsAt + 18 + 64);

  file.put<std::uint16_t>(0, 0x5A4D);
  file.put<std::uint32_t>(0x3C, kNewHeader);
  file.put<std::uint32_t>(kNewHeader, 0x4550);
  const std::uint32_t fileHeader = kNewHeader + 4;
  file.put<std::uint16_t>(fileHeader + 0, options.machine);
  file.put<std::uint16_t>(fileHeader + 2, 3);  // sections
  file.put<std::uint32_t>(fileHeader + 8, symbolsAt);
  file.put<std::uint32_t>(fileHeader + 12, 1);  // symbols
  file.put<std::uint16_t>(fileHeader + 16, kOptionalHeaderSize);
  file.put<std::uint16_t>(fileHeader + 18, 0x0022);  // executable, large address aware

  file.put<std::uint16_t>(kOptionalHeader + 0, 0x20B);
  file.put<std::uint32_t>(kOptionalHeader + 16, kEntry);
  file.put<std::uint64_t>(kOptionalHeader + 24, kImageBase);
  file.put<std::uint32_t>(kOptionalHeader + 32, 0x1000);
  file.put<std::uint32_t>(kOptionalHeader + 36, kFileAlignment);
  file.put<std::uint32_t>(kOptionalHeader + 56, kImageSize);
  file.put<std::uint32_t>(kOptionalHeader + 60, kHeadersSize);
  file.put<std::uint16_t>(kOptionalHeader + 68, options.subsystem);
  file.put<std::uint16_t>(kOptionalHeader + 70, 0x0140);  // dynamic base, NX compatible
  file.put<std::uint32_t>(kOptionalHeader + 108, 16);
  const std::uint32_t directories = kOptionalHeader + 112;
  file.put<std::uint32_t>(directories + 1 * 8, kImportDirectory);
  file.put<std::uint32_t>(directories + 1 * 8 + 4, 40);
  file.put<std::uint32_t>(directories + 5 * 8, kReloc);
  file.put<std::uint32_t>(directories + 5 * 8 + 4, 12);

  std::uint32_t sectionHeader = kOptionalHeader + kOptionalHeaderSize;
  for (const Section& section : kSections) {
    std::memcpy(file.bytes().data() + sectionHeader, section.name, std::strlen(section.name));
    file.put<std::uint32_t>(sectionHeader + 8, kFileAlignment);  // virtual size
    file.put<std::uint32_t>(sectionHeader + 12, section.rva);
    file.put<std::uint32_t>(sectionHeader + 16, kFileAlignment);
    file.put<std::uint32_t>(sectionHeader + 20, fileOffset(section.rva));
    file.put<std::uint32_t>(sectionHeader + 36, section.characteristics);
    sectionHeader += 40;
  }

  auto code = [&](std::uint32_t rva, std::initializer_list<std::uint8_t> bytes) {
    file.put(fileOffset(rva) + (rva & 0xFFF), bytes);
  };
  // rip-relative displacement from the end of an instruction to `target`
  auto relative = [](std::uint32_t instructionEnd, std::uint32_t target) {
    return static_cast<std::uint32_t>(target - instructionEnd);
  };
  code(kReadIrql, {0x44, 0x0F, 0x20, 0xC0, 0xC3});
  code(kWriteIrql, {0x44, 0x0F, 0x22, 0xC1, 0xC3});
  code(kReadIrqlToR8, {0x45, 0x0F, 0x20, 0xC0, 0x4C, 0x89, 0xC0, 0xC3});
  code(kAssertFails, {0xCD, 0x2C, 0xB8, 0x07, 0x00, 0x00, 0x00, 0xC3});
  code(kReadCr0, {0x0F, 0x20, 0xC0, 0xC3});
  code(kCallImport, {0xFF, 0x25});
  file.put<std::uint32_t>(fileOffset(kCallImport) + (kCallImport & 0xFFF) + 2,
                          relative(kCallImport + 6, kAddressTable));
  code(kRelocatedPointer, {0x48, 0x8B, 0x05, 0, 0, 0, 0, 0xC3});
  file.put<std::uint32_t>(fileOffset(kRelocatedPointer) + (kRelocatedPointer & 0xFFF) + 3,
                          relative(kRelocatedPointer + 7, kPointer));
  code(kEntry, {0x31, 0xC0, 0xC3});
  code(kCallImportInFrame, {0x48, 0x83, 0xEC, 0x28, 0xFF, 0x15, 0, 0, 0, 0, 0x48, 0x83, 0xC4, 0x28, 0xC3});
  file.put<std::uint32_t>(fileOffset(kCallImportInFrame) + (kCallImportInFrame & 0xFFF) + 6,
                          relative(kCallImportInFrame + 10, kAddressTable));
  code(kEntryRaisingIrql, {0xB9, 0x02, 0x00, 0x00, 0x00, 0x44, 0x0F, 0x22, 0xC1, 0x31, 0xC0, 0xC3});

  const std::uint32_t rdata = fileOffset(kRdata) - kRdata;  // file offset of an .rdata RVA, less the RVA
  file.put<std::uint64_t>(rdata + kPointer, kImageBase + kAssertFails);
  file.put<std::uint32_t>(rdata + kImportDirectory + 0, kLookupTable);
  file.put<std::uint32_t>(rdata + kImportDirectory + 12, kModuleName);
  file.put<std::uint32_t>(rdata + kImportDirectory + 16, kAddressTable);
  file.put<std::uint64_t>(rdata + kLookupTable, kHintName);
  file.put<std::uint64_t>(rdata + kAddressTable, kHintName);
  file.put(rdata + kModuleName, options.importModule);
  file.put(rdata + kHintName + 2, options.importFunction);

  const std::uint32_t reloc = fileOffset(kReloc);
  file.put<std::uint32_t>(reloc, kRdata);
  file.put<std::uint32_t>(reloc + 4, 12);
  file.put<std::uint16_t>(reloc + 8, (10 << 12) | (kPointer - kRdata));

  // One function symbol, AssertFails, named through the string table.
  file.put<std::uint32_t>(symbolsAt + 4, 4);  // offset in the string table (after its size)
  file.put<std::uint32_t>(symbolsAt + 8, kAssertFails - 0x1000);
  file.put<std::int16_t>(symbolsAt + 12, 1);
  file.put<std::uint16_t>(symbolsAt + 14, 0x20);
  file.put<std::uint8_t>(symbolsAt + 16, 2);
  const std::string name = "_Z11AssertFailsv";
  file.put<std::uint32_t>(symbolsAt + 18, static_cast<std::uint32_t>(4 + name.size() + 1));
  file.put(symbolsAt + 22, name);
  return file.bytes();
}

// In a folder of this process's own: ctest runs the rows as separate
// processes side by side, and two of them writing one file would race.
std::filesystem::path writeImage(const std::string& name, const std::vector<std::byte>& bytes) {
  const std::filesystem::path folder =
      std::filesystem::path(testing::TempDir()) / ("tav712-images-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

}  // namespace image_test
