// Memory that stays allocated but must not be touched any more (the
// extension of a deleted device): poisoned under AddressSanitizer, so that a
// driver reaching it is reported with the access; a no-op otherwise.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define PLATFORM_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLATFORM_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(PLATFORM_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#endif

namespace platform::io {

// What a deleted device's extension is filled with (the checked kernel's
// pattern for freed pool).
inline constexpr int kDeletedExtensionFill = 0xDD;

inline void poisonMemory([[maybe_unused]] const void* begin, [[maybe_unused]] std::size_t size) {
#if defined(PLATFORM_ADDRESS_SANITIZER)
  ASAN_POISON_MEMORY_REGION(begin, size);
#endif
}

inline void unpoisonMemory([[maybe_unused]] const void* begin, [[maybe_unused]] std::size_t size) {
#if defined(PLATFORM_ADDRESS_SANITIZER)
  ASAN_UNPOISON_MEMORY_REGION(begin, size);
#endif
}

}  // namespace platform::io
