# What Debian builds every package with, so that the program and the stand-in tool get it from a
# plain CMake build too. dpkg-buildflags on Debian 12 with DEB_BUILD_MAINT_OPTIONS=hardening=+all:
#   CPPFLAGS  -Wdate-time -D_FORTIFY_SOURCE=2
#   CXXFLAGS  -g -O2 -ffile-prefix-map=SOURCE=. -fstack-protector-strong -Wformat -Werror=format-security
#   LDFLAGS   -Wl,-z,relro -Wl,-z,now
# -g -O2 come with the default build type (RelWithDebInfo). PIE is no flag there because
# Debian's compilers make it by default; it is asked for here so that every compiler does.
# Tests, fuzzers and the benchmark's helpers are built without these flags.

include(CheckPIESupported)
check_pie_supported()

function(orv_debian_build_flags)
  foreach(target IN LISTS ARGN)
    # No path of the source or build tree in the objects: the binary's build ID is a hash over
    # its debug information too, and it stays in the stripped binary that the package ships, so
    # builds of one commit in two directories would differ. gcc applies the last map that
    # matches, and the build tree usually lies inside the source tree.
    target_compile_options(${target} PRIVATE -Wdate-time -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
    if(NOT PROJECT_BINARY_DIR STREQUAL PROJECT_SOURCE_DIR)
      target_compile_options(${target} PRIVATE -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
    endif()
    # The sanitizer and fuzzing builds look for faults themselves, and glibc's checked
    # functions would keep some accesses from AddressSanitizer's sight.
    if(ORV_SANITIZE OR ORV_FUZZ)
      continue()
    endif()
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_compile_options(${target} PRIVATE -fstack-protector-strong -Wformat -Werror=format-security)
    # glibc checks calls only in optimised code and warns when asked to without optimisation.
    target_compile_definitions(${target} PRIVATE
        $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
    target_link_options(${target} PRIVATE LINKER:-z,relro LINKER:-z,now)
  endforeach()
endfunction()
