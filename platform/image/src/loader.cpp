// The PE32+ loader: file checks, mapping, base relocations, import binding,
// the security cookie and section protections. The order matters: the
// mapping stays writable until relocations and imports are written, and
// gets its final protections last.
#include <platform/code_names.h>
#include <platform/driver_code.h>
#include <platform/image.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>

#include "pe_format.h"
#include "privileged.h"
#include "symbols.h"

namespace platform::image {
namespace {

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// Loaded images as the fault handler sees them: it may not take a lock.
constexpr std::size_t kRegistrySlots = 16;
std::array<std::atomic<const LoadedImage*>, kRegistrySlots> registry{};

int registerImage(const LoadedImage* image) {
  for (std::size_t slot = 0; slot < registry.size(); ++slot) {
    const LoadedImage* expected = nullptr;
    if (registry[slot].compare_exchange_strong(expected, image)) return static_cast<int>(slot);
  }
  throw ImageError("more than " + std::to_string(kRegistrySlots) + " kernel images loaded at once");
}

}  // namespace

const LoadedImage* LoadedImage::containing(const void* address) {
  for (const auto& slot : registry) {
    const LoadedImage* image = slot.load(std::memory_order_acquire);
    if (image != nullptr && image->contains(address)) return image;
  }
  return nullptr;
}

std::optional<std::string> describeImageCode(const void* address) {
  const LoadedImage* image = LoadedImage::containing(address);
  return image != nullptr ? image->describe(address) : std::nullopt;
}

bool LoadedImage::contains(const void* address) const {
  auto at = reinterpret_cast<std::uintptr_t>(address);
  return at >= base() && at - base() < size_;
}

bool LoadedImage::inCode(const void* address) const {
  auto at = reinterpret_cast<std::uintptr_t>(address);
  return std::any_of(code_.begin(), code_.end(),
                     [&](const CodeRange& range) { return at >= range.begin && at < range.end; });
}

std::optional<std::string> LoadedImage::describe(const void* address) const {
  if (!contains(address)) return std::nullopt;
  auto rva = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) - base());
  auto after = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                                [](std::uint32_t value, const Symbol& symbol) { return value < symbol.rva; });
  if (after == symbols_.begin()) return name_ + "+" + hex(rva);
  const Symbol& symbol = *std::prev(after);
  return name_ + "!" + symbol.name + "+" + hex(rva - symbol.rva);
}

LoadedImage::~LoadedImage() {
  if (registrySlot_ >= 0) registry[static_cast<std::size_t>(registrySlot_)].store(nullptr, std::memory_order_release);
  if (base_ != nullptr) munmap(base_, size_);
}

// Builds one LoadedImage from a file's bytes.
class ImageBuilder {
 public:
  ImageBuilder(std::string name, std::vector<std::byte> file, const ExportTable& exports)
      : file_(std::move(file)), exports_(exports), image_(new LoadedImage) {
    image_->name_ = std::move(name);
  }

  std::unique_ptr<LoadedImage> build() {
    readHeaders();
    map();
    relocate();
    bindImports();
    setSecurityCookie();
    image_->symbols_.clear();
    for (auto& [rva, name] : readFunctionSymbols(file_, fileHeader_, sections_))
      image_->symbols_.push_back({rva, std::move(name)});
    protect();
    image_->entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(at(optional_.addressOfEntryPoint));
    installPrivilegedInstructionHandler();
    setCodeNamer(&describeImageCode);
    setImageCodeTest([](const void* address) { return LoadedImage::containing(address) != nullptr; });
    image_->registrySlot_ = registerImage(image_.get());
    return std::move(image_);
  }

 private:
  [[noreturn]] void fail(const std::string& why) const { throw ImageError(image_->name_ + ": " + why); }

  std::span<const std::byte> fileBytes() const { return file_; }
  std::span<const std::byte> mapped() const { return {static_cast<const std::byte*>(image_->base_), image_->size_}; }
  std::byte* at(std::uint64_t rva) const { return static_cast<std::byte*>(image_->base_) + rva; }

  void readHeaders() {
    std::uint16_t dosMagic = 0;
    std::uint32_t newHeader = 0;
    if (!pe::readAt(fileBytes(), 0, dosMagic) || dosMagic != pe::kDosMagic ||
        !pe::readAt(fileBytes(), pe::kDosNewHeaderOffset, newHeader))
      fail("not a PE image (no MZ header)");
    std::uint32_t signature = 0;
    if (!pe::readAt(fileBytes(), newHeader, signature) || signature != pe::kNtSignature)
      fail("not a PE image (no PE signature)");
    if (!pe::readAt(fileBytes(), newHeader + 4, fileHeader_)) fail("truncated file header");
    if (fileHeader_.machine != pe::kMachineAmd64) fail("machine " + hex(fileHeader_.machine) + " is not x64 (0x8664)");
    if (!(fileHeader_.characteristics & pe::kFileExecutableImage)) fail("not an executable image");
    if (fileHeader_.characteristics & pe::kFileRelocsStripped) fail("its base relocations were stripped");
    const std::uint64_t optionalAt = newHeader + 4 + sizeof(pe::FileHeader);
    std::uint16_t magic = 0;
    if (!pe::readAt(fileBytes(), optionalAt, magic) || magic != pe::kOptionalMagicPe32Plus)
      fail("not a PE32+ (64-bit) image");
    if (fileHeader_.sizeOfOptionalHeader < offsetof(pe::OptionalHeader64, dataDirectory) ||
        !pe::readAt(fileBytes(), optionalAt, optional_,
                    std::min<std::size_t>(fileHeader_.sizeOfOptionalHeader, sizeof optional_)))
      fail("truncated optional header");
    if (optional_.subsystem != pe::kSubsystemNative)
      fail("subsystem " + std::to_string(optional_.subsystem) + " is not native (1): not a kernel image");
    const auto pageSize = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
    if (optional_.sectionAlignment < pageSize || optional_.sectionAlignment % pageSize != 0)
      fail("section alignment " + hex(optional_.sectionAlignment) + " is not a multiple of the page size");
    if (optional_.sizeOfImage == 0 || optional_.sizeOfHeaders > optional_.sizeOfImage) fail("bad image size");
    for (std::size_t index : {pe::kDirectoryTls, pe::kDirectoryDelayImport})
      if (directory(index).size != 0)
        fail(index == pe::kDirectoryTls ? "has thread-local storage, which kernel images cannot have"
                                        : "has delay-load imports, which kernel images cannot have");

    const std::uint64_t sectionsAt = optionalAt + fileHeader_.sizeOfOptionalHeader;
    for (std::uint16_t index = 0; index < fileHeader_.numberOfSections; ++index) {
      pe::SectionHeader section{};
      if (!pe::readAt(fileBytes(), sectionsAt + index * sizeof section, section)) fail("truncated section table");
      const std::uint64_t extent = std::max(section.virtualSize, section.sizeOfRawData);
      if (section.virtualAddress + extent > optional_.sizeOfImage)
        fail("section " + section.displayName() + " lies outside the image");
      if (!(section.characteristics & pe::kSectionUninitializedData) && section.sizeOfRawData != 0 &&
          (section.pointerToRawData > file_.size() || file_.size() - section.pointerToRawData < section.sizeOfRawData))
        fail("section " + section.displayName() + " is cut short in the file");
      sections_.push_back(section);
    }
  }

  pe::DataDirectory directory(std::size_t index) const {
    return index < optional_.numberOfRvaAndSizes ? optional_.dataDirectory[index] : pe::DataDirectory{0, 0};
  }

  void map() {
    image_->size_ = optional_.sizeOfImage;
    void* base = mmap(nullptr, image_->size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) fail("cannot map " + std::to_string(image_->size_) + " bytes");
    image_->base_ = base;
    std::memcpy(at(0), file_.data(), std::min<std::size_t>(optional_.sizeOfHeaders, file_.size()));
    for (const auto& section : sections_) {
      if (section.characteristics & pe::kSectionUninitializedData) continue;  // the mapping is zero-filled
      std::size_t length = section.sizeOfRawData;
      if (section.virtualSize != 0) length = std::min<std::size_t>(length, section.virtualSize);
      std::memcpy(at(section.virtualAddress), file_.data() + section.pointerToRawData, length);
    }
  }

  void relocate() {
    const std::uint64_t delta = image_->base() - optional_.imageBase;
    const pe::DataDirectory relocations = directory(pe::kDirectoryBaseReloc);
    std::uint64_t offset = relocations.virtualAddress;
    const std::uint64_t end = offset + relocations.size;
    while (offset + sizeof(pe::BaseRelocationBlock) <= end) {
      pe::BaseRelocationBlock block{};
      if (!pe::readAt(mapped(), offset, block) || block.blockSize < sizeof block || offset + block.blockSize > end)
        fail("malformed base relocation block at " + hex(offset));
      for (std::uint64_t entryAt = offset + sizeof block; entryAt + 2 <= offset + block.blockSize; entryAt += 2) {
        std::uint16_t entry = 0;
        pe::readAt(mapped(), entryAt, entry);
        const unsigned type = entry >> 12;
        const std::uint64_t target = block.pageRva + (entry & 0xFFFu);
        if (type == pe::kRelocationAbsolute) continue;
        if (type != pe::kRelocationDir64) fail("base relocation of type " + std::to_string(type) + " (x64 uses 10)");
        std::uint64_t value = 0;
        if (!pe::readAt(mapped(), target, value)) fail("base relocation outside the image at " + hex(target));
        value += delta;
        std::memcpy(at(target), &value, sizeof value);
      }
      offset += block.blockSize;
    }
  }

  std::string stringAt(std::uint64_t rva) const {
    if (rva >= image_->size_) fail("name outside the image at " + hex(rva));
    const char* text = reinterpret_cast<const char*>(at(rva));
    return std::string(text, strnlen(text, image_->size_ - rva));
  }

  void bindImports() {
    const pe::DataDirectory imports = directory(pe::kDirectoryImport);
    std::vector<std::string> missing;
    for (std::uint64_t descriptorAt = imports.virtualAddress;; descriptorAt += sizeof(pe::ImportDescriptor)) {
      pe::ImportDescriptor descriptor{};
      if (imports.size == 0) break;
      if (!pe::readAt(mapped(), descriptorAt, descriptor)) fail("truncated import directory");
      if (descriptor.name == 0 && descriptor.firstThunk == 0) break;
      const std::string module = stringAt(descriptor.name);
      if (!exports_.hasModule(module)) {
        missing.push_back(module + " (a module the platform does not provide)");
        continue;
      }
      const std::uint32_t lookup =
          descriptor.originalFirstThunk != 0 ? descriptor.originalFirstThunk : descriptor.firstThunk;
      for (std::uint64_t slot = 0;; ++slot) {
        std::uint64_t thunk = 0;
        if (!pe::readAt(mapped(), lookup + slot * 8, thunk)) fail("truncated import lookup table of " + module);
        if (thunk == 0) break;
        if (thunk & pe::kImportByOrdinal) {
          missing.push_back(module + "!#" + std::to_string(thunk & 0xFFFF) + " (imported by ordinal)");
          continue;
        }
        const std::string function = stringAt((thunk & 0x7FFFFFFF) + 2);  // after the hint
        const void* address = exports_.find(module, function);
        if (address == nullptr) {
          missing.push_back(module + "!" + function);
          continue;
        }
        const auto value = reinterpret_cast<std::uint64_t>(address);
        if (descriptor.firstThunk + (slot + 1) * 8 > image_->size_) fail("import address table outside the image");
        std::memcpy(at(descriptor.firstThunk + slot * 8), &value, sizeof value);
        image_->imports_.push_back({module, function});
      }
    }
    if (!missing.empty()) {
      std::string list;
      for (const auto& name : missing) list += (list.empty() ? "" : ", ") + name;
      fail("imports what the platform does not export: " + list);
    }
  }

  void setSecurityCookie() {
    const pe::DataDirectory config = directory(pe::kDirectoryLoadConfig);
    std::uint32_t configSize = 0;
    if (config.size == 0 || !pe::readAt(mapped(), config.virtualAddress, configSize) ||
        configSize < pe::kLoadConfigSecurityCookieOffset + 8)
      return;
    std::uint64_t cookieAddress = 0;
    pe::readAt(mapped(), config.virtualAddress + pe::kLoadConfigSecurityCookieOffset, cookieAddress);
    if (cookieAddress == 0) return;
    const std::uint64_t cookieRva = cookieAddress - image_->base();  // already relocated
    std::uint64_t cookie = 0;
    if (!pe::readAt(mapped(), cookieRva, cookie)) fail("security cookie outside the image");
    if (cookie != pe::kDefaultSecurityCookie) return;
    std::random_device entropy;
    do {
      cookie = ((static_cast<std::uint64_t>(entropy()) << 32) | entropy()) & 0x0000FFFFFFFFFFFFULL;
    } while (cookie == 0 || cookie == pe::kDefaultSecurityCookie);
    std::memcpy(at(cookieRva), &cookie, sizeof cookie);
  }

  void protect() {
    if (mprotect(at(0), optional_.sizeOfHeaders, PROT_READ) != 0) fail("cannot protect the headers");
    const std::uint64_t alignment = optional_.sectionAlignment;
    for (const auto& section : sections_) {
      const std::uint64_t extent = std::max(section.virtualSize, section.sizeOfRawData);
      const std::uint64_t length = (extent + alignment - 1) / alignment * alignment;
      if (length == 0) continue;
      int protection = 0;
      if (section.characteristics & pe::kSectionRead) protection |= PROT_READ;
      if (section.characteristics & pe::kSectionWrite) protection |= PROT_WRITE;
      if (section.characteristics & pe::kSectionExecute) {
        protection |= PROT_EXEC | PROT_READ;  // the fault handler reads the instructions it emulates
        image_->code_.push_back(
            {image_->base() + section.virtualAddress, image_->base() + section.virtualAddress + extent});
      }
      if (mprotect(at(section.virtualAddress), length, protection) != 0)
        fail("cannot protect section " + section.displayName());
    }
  }

  std::vector<std::byte> file_;
  const ExportTable& exports_;
  std::unique_ptr<LoadedImage> image_;
  pe::FileHeader fileHeader_{};
  pe::OptionalHeader64 optional_{};
  std::vector<pe::SectionHeader> sections_;
};

std::unique_ptr<LoadedImage> LoadedImage::load(const std::filesystem::path& path, const ExportTable& exports) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImageError("cannot open kernel image " + path.string());
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ImageError("cannot read kernel image " + path.string());
  std::vector<std::byte> file(bytes.size());
  std::memcpy(file.data(), bytes.data(), bytes.size());
  return ImageBuilder(path.filename().string(), std::move(file), exports).build();
}

// ExportTable

namespace {
std::string lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}
}  // namespace

void ExportTable::add(std::string_view module, std::string_view function, const void* address) {
  entries_.push_back({lower(module), std::string(function), address});
}

const void* ExportTable::find(std::string_view module, std::string_view function) const {
  const std::string key = lower(module);
  for (const auto& entry : entries_)
    if (entry.module == key && entry.function == function) return entry.address;
  return nullptr;
}

bool ExportTable::hasModule(std::string_view module) const {
  const std::string key = lower(module);
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.module == key; });
}

}  // namespace platform::image
