// The functions of an image's COFF symbol table (ld keeps it in the images
// it links unless told to strip them), for naming code addresses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "pe_format.h"

namespace platform::image {

// Function symbols as (RVA, name), sorted by RVA; C++ names demangled
// without their parameter lists. Empty when the image has no symbol table.
std::vector<std::pair<std::uint32_t, std::string>> readFunctionSymbols(std::span<const std::byte> file,
                                                                       const pe::FileHeader& header,
                                                                       const std::vector<pe::SectionHeader>& sections);

}  // namespace platform::image
