# The driver built for the user-mode platform. The same sources are compiled
# as kernel code by scripts/check-kernel-build; here they link against the
# platform's kernel and smart card library.
file(GLOB TAV712_DRIVER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/link/*.cpp
  ${CMAKE_SOURCE_DIR}/card/*.cpp
  ${CMAKE_SOURCE_DIR}/driver/*.cpp)
if(TAV712_DRIVER_SOURCES)
  add_library(tav712_driver STATIC ${TAV712_DRIVER_SOURCES})
  target_include_directories(tav712_driver PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(tav712_driver
    PUBLIC platform_kernel smclib tav712_event_log_codes
    PRIVATE tav712_warnings tav712_kernel_code)
endif()
