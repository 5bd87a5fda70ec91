# Runs inside cpack on the staged files, before the Debian package is built: compresses the
# manual page as Debian wants it and adds the package's copyright file and changelog, which a
# plain install leaves out.

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(docdir "${root}/share/doc/${CPACK_PACKAGE_NAME}")

# -n: no name or time stamp in the header, so that the package is the same on every build.
function(gzip_file path)
  execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${path} failed (${status})")
  endif()
endfunction()

file(GLOB pages "${root}/share/man/man*/*.[1-9]")
foreach(page IN LISTS pages)
  gzip_file("${page}")
endforeach()

file(MAKE_DIRECTORY "${docdir}")
file(COPY_FILE "${CPACK_ORV_COPYRIGHT}" "${docdir}/copyright")
file(COPY_FILE "${CPACK_ORV_CHANGELOG}" "${docdir}/changelog")
gzip_file("${docdir}/changelog")

# Modes as Debian wants them, whatever the umask of the checkout and the build: directories and
# programs 755, other files 644.
execute_process(COMMAND chmod -R u=rwX,go=rX "${root}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "chmod of the staged files failed (${status})")
endif()
