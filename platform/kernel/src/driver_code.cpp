#include <platform/driver_code.h>
#include <platform/scheduler.h>

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
  return reinterpret_cast<ImageBoundary*&>(kernelThreadLocals().imageBoundary);
}

void abandonImageFrames(std::exception_ptr failure) {
  ImageBoundary* boundary = detail::innermostImageBoundary();
  if (boundary == nullptr) std::rethrow_exception(std::move(failure));
  boundary->failure = std::move(failure);
  siglongjmp(boundary->resume, 1);
}

}  // namespace platform
