// Calls from the platform into driver code, which may lie inside a loaded
// kernel image (platform/image). An image's frames carry no unwind
// information the host's unwinder can read, so a platform exception (a
// thread aborted at shutdown, a deadlock report) must never unwind through
// them. Every platform-to-driver call goes through callDriverCode: for image
// code it marks a boundary; the image's imports catch what the platform
// throws under them and hand it to abandonImageFrames, which returns to the
// innermost boundary, past the image's frames, and raises the exception
// again there, in platform frames that unwind normally. Host-built driver
// code is called directly.
#pragma once

#include <csetjmp>
#include <exception>
#include <type_traits>
#include <utility>

namespace platform {

using ImageCodeTest = bool (*)(const void* address);
// Set by the image loader: whether an address lies in a loaded image.
void setImageCodeTest(ImageCodeTest test);
bool isImageCode(const void* address);

struct ImageBoundary {
  sigjmp_buf resume;
  std::exception_ptr failure;
  ImageBoundary* outer = nullptr;
};

namespace detail {
ImageBoundary*& innermostImageBoundary();
}

// Leaves every image frame above the innermost boundary of this thread and
// raises `failure` at that boundary; without one, raises it here.
[[noreturn]] void abandonImageFrames(std::exception_ptr failure);

template <typename Routine, typename... Args>
auto callDriverCode(Routine* routine, Args... args) -> decltype(routine(args...)) {
  if (!isImageCode(reinterpret_cast<const void*>(routine))) return routine(args...);
  ImageBoundary boundary;
  boundary.outer = detail::innermostImageBoundary();
  detail::innermostImageBoundary() = &boundary;
  if (sigsetjmp(boundary.resume, 0) != 0) {
    detail::innermostImageBoundary() = boundary.outer;
    std::rethrow_exception(std::move(boundary.failure));
  }
  if constexpr (std::is_void_v<decltype(routine(args...))>) {
    routine(args...);
    detail::innermostImageBoundary() = boundary.outer;
  } else {
    auto result = routine(args...);
    detail::innermostImageBoundary() = boundary.outer;
    return result;
  }
}

// The import of an exported platform function: calls it, and sends what it
// throws past the image's frames (see above). Bound into images instead of
// the function itself.
template <typename Signature>
struct ImportGuard;

template <typename Result, typename... Args>
struct ImportGuard<Result __attribute__((ms_abi)) (Args...)> {
  template <auto Function>
  static Result __attribute__((ms_abi)) call(Args... args) {
    std::exception_ptr failure;
    try {
      return Function(args...);
    } catch (...) {
      failure = std::current_exception();
    }
    abandonImageFrames(std::move(failure));
  }
};

template <auto Function>
inline constexpr auto guardedImport = &ImportGuard<std::remove_pointer_t<decltype(Function)>>::template call<Function>;

}  // namespace platform
