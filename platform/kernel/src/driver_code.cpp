#include <platform/driver_code.h>

#include <atomic>

namespace platform {
namespace {
std::atomic<ImageCodeTest> imageCodeTest{nullptr};
}  // namespace

void setImageCodeTest(ImageCodeTest test) { imageCodeTest.store(test); }

bool isImageCode(const void* address) {
  ImageCodeTest test = imageCodeTest.load();
  return test != nullptr && test(address);
}

ImageBoundary*& detail::innermostImageBoundary() {
  thread_local ImageBoundary* innermost = nullptr;
  return innermost;
}

void abandonImageFrames(std::exception_ptr failure) {
  ImageBoundary* boundary = detail::innermostImageBoundary();
  if (boundary == nullptr) std::rethrow_exception(std::move(failure));
  boundary->failure = std::move(failure);
  siglongjmp(boundary->resume, 1);
}

}  // namespace platform
