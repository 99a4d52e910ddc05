// The parts of the PE32+ file format a native x64 image loader reads, with
// the field offsets of the format itself (Linux has no winnt.h). Every
// record is read with readAt from an unaligned position in the file or the
// mapping, never by casting a pointer into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace platform::image::pe {

inline constexpr std::uint16_t kDosMagic = 0x5A4D;        // "MZ"
inline constexpr std::uint32_t kNtSignature = 0x4550;     // "PE\0\0"
inline constexpr std::size_t kDosNewHeaderOffset = 0x3C;  // e_lfanew
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kOptionalMagicPe32Plus = 0x20B;
inline constexpr std::uint16_t kSubsystemNative = 1;

// IMAGE_FILE_HEADER.Characteristics
inline constexpr std::uint16_t kFileRelocsStripped = 0x0001;
inline constexpr std::uint16_t kFileExecutableImage = 0x0002;

struct FileHeader {  // IMAGE_FILE_HEADER, 20 bytes after the signature
  std::uint16_t machine;
  std::uint16_t numberOfSections;
  std::uint32_t timeDateStamp;
  std::uint32_t pointerToSymbolTable;
  std::uint32_t numberOfSymbols;
  std::uint16_t sizeOfOptionalHeader;
  std::uint16_t characteristics;
};
static_assert(sizeof(FileHeader) == 20);

struct DataDirectory {
  std::uint32_t virtualAddress;
  std::uint32_t size;
};

// Data directory indexes.
inline constexpr std::size_t kDirectoryImport = 1;
inline constexpr std::size_t kDirectoryException = 3;
inline constexpr std::size_t kDirectoryBaseReloc = 5;
inline constexpr std::size_t kDirectoryTls = 9;
inline constexpr std::size_t kDirectoryLoadConfig = 10;
inline constexpr std::size_t kDirectoryDelayImport = 13;
inline constexpr std::size_t kDirectoryCount = 16;

struct OptionalHeader64 {  // IMAGE_OPTIONAL_HEADER64
  std::uint16_t magic;
  std::uint8_t majorLinkerVersion;
  std::uint8_t minorLinkerVersion;
  std::uint32_t sizeOfCode;
  std::uint32_t sizeOfInitializedData;
  std::uint32_t sizeOfUninitializedData;
  std::uint32_t addressOfEntryPoint;
  std::uint32_t baseOfCode;
  std::uint64_t imageBase;
  std::uint32_t sectionAlignment;
  std::uint32_t fileAlignment;
  std::uint16_t majorOperatingSystemVersion;
  std::uint16_t minorOperatingSystemVersion;
  std::uint16_t majorImageVersion;
  std::uint16_t minorImageVersion;
  std::uint16_t majorSubsystemVersion;
  std::uint16_t minorSubsystemVersion;
  std::uint32_t win32VersionValue;
  std::uint32_t sizeOfImage;
  std::uint32_t sizeOfHeaders;
  std::uint32_t checkSum;
  std::uint16_t subsystem;
  std::uint16_t dllCharacteristics;
  std::uint64_t sizeOfStackReserve;
  std::uint64_t sizeOfStackCommit;
  std::uint64_t sizeOfHeapReserve;
  std::uint64_t sizeOfHeapCommit;
  std::uint32_t loaderFlags;
  std::uint32_t numberOfRvaAndSizes;
  DataDirectory dataDirectory[kDirectoryCount];
};
static_assert(sizeof(OptionalHeader64) == 240);

// IMAGE_SECTION_HEADER.Characteristics
inline constexpr std::uint32_t kSectionUninitializedData = 0x00000080;
inline constexpr std::uint32_t kSectionExecute = 0x20000000;
inline constexpr std::uint32_t kSectionRead = 0x40000000;
inline constexpr std::uint32_t kSectionWrite = 0x80000000;

struct SectionHeader {  // IMAGE_SECTION_HEADER
  char name[8];
  std::uint32_t virtualSize;
  std::uint32_t virtualAddress;
  std::uint32_t sizeOfRawData;
  std::uint32_t pointerToRawData;
  std::uint32_t pointerToRelocations;
  std::uint32_t pointerToLinenumbers;
  std::uint16_t numberOfRelocations;
  std::uint16_t numberOfLinenumbers;
  std::uint32_t characteristics;

  std::string displayName() const { return std::string(name, strnlen(name, sizeof name)); }
};
static_assert(sizeof(SectionHeader) == 40);

struct ImportDescriptor {  // IMAGE_IMPORT_DESCRIPTOR
  std::uint32_t originalFirstThunk;
  std::uint32_t timeDateStamp;
  std::uint32_t forwarderChain;
  std::uint32_t name;
  std::uint32_t firstThunk;
};
static_assert(sizeof(ImportDescriptor) == 20);
inline constexpr std::uint64_t kImportByOrdinal = 1ULL << 63;

struct BaseRelocationBlock {  // IMAGE_BASE_RELOCATION, followed by 16-bit entries
  std::uint32_t pageRva;
  std::uint32_t blockSize;
};
inline constexpr unsigned kRelocationAbsolute = 0;  // padding
inline constexpr unsigned kRelocationDir64 = 10;

// IMAGE_LOAD_CONFIG_DIRECTORY64: the size comes first, the security
// cookie's address at 0x58.
inline constexpr std::size_t kLoadConfigSecurityCookieOffset = 0x58;
// The value the linker leaves in the cookie; the loader replaces it.
inline constexpr std::uint64_t kDefaultSecurityCookie = 0x00002B992DDFA232ULL;

struct CoffSymbol {  // IMAGE_SYMBOL, 18 bytes, unaligned in the file
  char name[8];      // or { 0u32, offset into the string table }
  std::uint32_t value;
  std::int16_t sectionNumber;
  std::uint16_t type;
  std::uint8_t storageClass;
  std::uint8_t numberOfAuxSymbols;
};
inline constexpr std::size_t kCoffSymbolSize = 18;
inline constexpr std::uint16_t kSymbolTypeFunction = 0x20;  // DTYPE_FUNCTION << 4

// Reads a T at `offset` of `bytes`; false when it does not fit.
template <typename T>
bool readAt(std::span<const std::byte> bytes, std::uint64_t offset, T& out, std::size_t size = sizeof(T)) {
  if (offset > bytes.size() || bytes.size() - offset < size) return false;
  std::memset(&out, 0, sizeof(T));
  std::memcpy(&out, bytes.data() + offset, size);
  return true;
}

}  // namespace platform::image::pe
