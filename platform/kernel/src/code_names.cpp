#include <platform/code_names.h>

#include <atomic>

namespace platform {
namespace {
std::atomic<CodeNamer> codeNamer{nullptr};
}  // namespace

void setCodeNamer(CodeNamer namer) { codeNamer.store(namer); }

std::string codeSuffix(const void* address) {
  CodeNamer namer = codeNamer.load();
  if (namer == nullptr || address == nullptr) return {};
  std::optional<std::string> name = namer(address);
  return name ? " (" + *name + ")" : std::string();
}

}  // namespace platform
