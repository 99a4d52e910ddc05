// Names for driver code in the verifier's reports. The host build's
// routines go by their kind ("dispatch routine"); a routine inside a loaded
// kernel image (platform/image) is also named by image, function and offset
// from the image's symbol table, registered here by the image loader.
#pragma once

#include <optional>
#include <string>

namespace platform {

using CodeNamer = std::optional<std::string> (*)(const void* address);
void setCodeNamer(CodeNamer namer);

// " (tav712.sys!StartDevice+0x0)" for code the namer knows; empty otherwise.
std::string codeSuffix(const void* address);

// `routine` cast to a plain address for codeSuffix.
template <typename Function>
std::string routineSuffix(Function* routine) {
  return codeSuffix(reinterpret_cast<const void*>(routine));
}

}  // namespace platform
