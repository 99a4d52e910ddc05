# One warning policy for every target of the project: warnings are errors.
# The common set holds for gcc and clang; each compiler adds the checks only
# it knows (clang refuses unknown -W options under -Werror).
add_library(tav712_warnings INTERFACE)
target_compile_options(tav712_warnings INTERFACE
  -Wall -Wextra -Werror -Wpedantic
  -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wconversion
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough -Wmisleading-indentation)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(tav712_warnings INTERFACE -Wduplicated-cond -Wlogical-op)
endif()

# The driver is kernel code: it keeps the kernel's C++ subset even in the
# user-mode build, so a host-only construct fails here before the kernel
# check sees it. Kernel-style code casts between pointer types the way WDM
# does, so old-style casts are allowed there.
add_library(tav712_kernel_code INTERFACE)
target_compile_options(tav712_kernel_code INTERFACE
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -Wno-old-style-cast -Wno-conversion)
