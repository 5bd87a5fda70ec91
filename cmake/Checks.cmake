# Build variants that look for memory and undefined-behaviour faults. Both are off by default;
# .ci/run builds each in a tree of its own next to the plain build.

option(ORV_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ORV_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)

# Any finding ends the process: a report that lets the run go on could pass as a success.
set(ORV_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

if(ORV_SANITIZE)
  add_compile_options(${ORV_SANITIZER_FLAGS})
  add_link_options(${ORV_SANITIZER_FLAGS})
endif()

if(ORV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORV_FUZZ needs clang++ (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # The library code gets coverage feedback; only the fuzz programs link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link ${ORV_SANITIZER_FLAGS})
  add_link_options(${ORV_SANITIZER_FLAGS})
endif()
