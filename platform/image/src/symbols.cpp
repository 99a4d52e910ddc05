#include "symbols.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace platform::image {
namespace {

// "SerialIoControl(_READER_EXTENSION*, ...)" -> "SerialIoControl"; names
// that are not mangled C++ stay as they are.
std::string readableName(const std::string& symbol) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status),
                                                        &std::free);
  if (status != 0 || demangled == nullptr) return symbol;
  std::string name(demangled.get());
  // Cut the parameter list: the last top-level '(' of a function name.
  int depth = 0;
  for (std::size_t at = name.size(); at-- > 0;) {
    if (name[at] == ')') ++depth;
    if (name[at] == '(' && --depth == 0) return name.substr(0, at);
  }
  return name;
}

}  // namespace

std::vector<std::pair<std::uint32_t, std::string>> readFunctionSymbols(std::span<const std::byte> file,
                                                                       const pe::FileHeader& header,
                                                                       const std::vector<pe::SectionHeader>& sections) {
  std::vector<std::pair<std::uint32_t, std::string>> functions;
  if (header.pointerToSymbolTable == 0 || header.numberOfSymbols == 0) return functions;
  const std::uint64_t stringsAt =
      header.pointerToSymbolTable + static_cast<std::uint64_t>(header.numberOfSymbols) * pe::kCoffSymbolSize;
  for (std::uint32_t index = 0; index < header.numberOfSymbols; ++index) {
    const std::uint64_t at = header.pointerToSymbolTable + static_cast<std::uint64_t>(index) * pe::kCoffSymbolSize;
    char shortName[8];
    std::uint32_t value = 0;
    std::int16_t sectionNumber = 0;
    std::uint16_t type = 0;
    std::uint8_t auxiliaries = 0;
    if (!pe::readAt(file, at, shortName) || !pe::readAt(file, at + 8, value) ||
        !pe::readAt(file, at + 12, sectionNumber) || !pe::readAt(file, at + 14, type) ||
        !pe::readAt(file, at + 17, auxiliaries))
      break;
    index += auxiliaries;
    if ((type & 0xF0) != pe::kSymbolTypeFunction || sectionNumber <= 0 ||
        static_cast<std::size_t>(sectionNumber) > sections.size())
      continue;
    std::string name;
    std::uint32_t zeroes = 0;
    std::uint32_t offset = 0;
    pe::readAt(file, at, zeroes);
    pe::readAt(file, at + 4, offset);
    if (zeroes != 0) {
      name.assign(shortName, strnlen(shortName, sizeof shortName));
    } else if (stringsAt + offset < file.size()) {
      const char* text = reinterpret_cast<const char*>(file.data() + stringsAt + offset);
      name.assign(text, strnlen(text, file.size() - stringsAt - offset));
    }
    if (name.empty()) continue;
    functions.emplace_back(sections[static_cast<std::size_t>(sectionNumber) - 1].virtualAddress + value,
                           readableName(name));
  }
  std::sort(functions.begin(), functions.end());
  return functions;
}

}  // namespace platform::image
