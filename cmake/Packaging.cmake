# Installation, the manual page and the Debian package. Every version text here comes from the
# top-level project(), like the banner's.

include(GNUInstallDirs)

option(ORV_INSTALL_REHEARSAL_TOOL
       "Also install the stand-in adapter tool, as orvTQupdate-rehearsal-tarvo, for rehearsing updates" OFF)

# A program for the system's administrator: sbin/ and section 8, as Debian's policy has it.
install(TARGETS orvTQupdate RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${PROJECT_BINARY_DIR}/docs/orvTQupdate.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
if(ORV_INSTALL_REHEARSAL_TOOL)
  # Under its own name, so that it can never be taken for the real tool on a machine's path.
  install(PROGRAMS $<TARGET_FILE:tarvo> DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME orvTQupdate-rehearsal-tarvo)
endif()

if(BUILD_TESTING)
  add_test(NAME manpage_renders_without_warnings
           COMMAND sh ${PROJECT_SOURCE_DIR}/docs/check-manpage.sh ${PROJECT_BINARY_DIR}/docs/orvTQupdate.8)
  set_tests_properties(manpage_renders_without_warnings PROPERTIES SKIP_RETURN_CODE 77)
  set(installed ${CMAKE_INSTALL_SBINDIR}/orvTQupdate ${CMAKE_INSTALL_MANDIR}/man8/orvTQupdate.8)
  if(ORV_INSTALL_REHEARSAL_TOOL)
    list(APPEND installed ${CMAKE_INSTALL_BINDIR}/orvTQupdate-rehearsal-tarvo)
  endif()
  add_test(NAME install_tree_holds_the_program_and_its_page_only
           COMMAND sh ${PROJECT_SOURCE_DIR}/tests/install/install_test.sh ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR}
                   ${PROJECT_BINARY_DIR}/install-test ${installed})
  add_test(NAME manpage_examples_are_real_runs
           COMMAND sh ${PROJECT_SOURCE_DIR}/docs/check-manpage-example.sh ${PROJECT_BINARY_DIR}/docs/orvTQupdate.8
                   $<TARGET_FILE:orvTQupdate> $<TARGET_FILE:tarvo> ${PROJECT_SOURCE_DIR}/examples
                   ${PROJECT_BINARY_DIR}/docs/example-run)
endif()

# The release date (month/day/two-digit year, see CMakeLists.txt) as seconds since 1970 at
# midnight UTC: the date of the changelog entry, and of every file in the package, so that two
# builds of one commit give the same package.
if(NOT ORV_RELEASE_DATE MATCHES "^([0-9][0-9])/([0-9][0-9])/([0-9][0-9])$")
  message(FATAL_ERROR "ORV_RELEASE_DATE \"${ORV_RELEASE_DATE}\" is not MM/DD/YY")
endif()
# Days since 1970 by the civil calendar, counted in years that begin on 1 March, so that the
# leap day comes last.
math(EXPR month "${CMAKE_MATCH_1}")
math(EXPR day "${CMAKE_MATCH_2}")
math(EXPR year "2000 + ${CMAKE_MATCH_3}")
if(month LESS_EQUAL 2)
  math(EXPR year "${year} - 1")
  math(EXPR month "${month} + 12")
endif()
math(EXPR days "365 * ${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 - 719468")
math(EXPR ORV_RELEASE_EPOCH "86400 * (${days} + (153 * (${month} - 3) + 2) / 5 + ${day} - 1)")
# string(TIMESTAMP) formats SOURCE_DATE_EPOCH when it is set; formatting the date back also
# catches a day that the month does not have.
set(caller_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${ORV_RELEASE_EPOCH})
string(TIMESTAMP ORV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP release_date_again "%m/%d/%y" UTC)
string(TIMESTAMP ORV_MANPAGE_DATE "%Y-%m-%d" UTC)
if(caller_epoch STREQUAL "")
  unset(ENV{SOURCE_DATE_EPOCH})
else()
  set(ENV{SOURCE_DATE_EPOCH} "${caller_epoch}")
endif()
if(NOT release_date_again STREQUAL ORV_RELEASE_DATE)
  message(FATAL_ERROR "ORV_RELEASE_DATE \"${ORV_RELEASE_DATE}\" is not a date")
endif()
set(ORV_MAINTAINER "orvTQupdate developers <orvtqupdate@example.org>")
configure_file(${PROJECT_SOURCE_DIR}/docs/debian-changelog.in ${PROJECT_BINARY_DIR}/docs/changelog @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/docs/orvTQupdate.8.in ${PROJECT_BINARY_DIR}/docs/orvTQupdate.8 @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvtqupdate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the orvTQupdate developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "apply update packages to the PCI adapters of a machine")
# Lines of at most 79 characters: Debian shows the description on 80-column terminals.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "orvTQupdate runs the adapter tool from its working directory: it asks the\n"
    "tool how many adapters the machine has, reads each adapter's PCI subsystem\n"
    "device ID, looks it up in an adapter info file and has the tool apply the\n"
    "matching update package. It reports every step on standard output and ends\n"
    "with an exit status that scripts can trust.\n"
    "\n"
    "The adapter tool itself is not part of this package.")
set(CPACK_PACKAGE_CONTACT "${ORV_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORV_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Debian wants the manual page compressed and a copyright file and changelog beside the docs;
# a plain install keeps the page as it is and leaves the rest out.
# (CPack hands the script only the CPACK_ variables.)
set(CPACK_ORV_CHANGELOG ${PROJECT_BINARY_DIR}/docs/changelog)
set(CPACK_ORV_COPYRIGHT ${PROJECT_SOURCE_DIR}/docs/copyright)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianDocs.cmake)
# The DEB generator dates the files from SOURCE_DATE_EPOCH in cpack's environment; this file,
# read by cpack before it packages, sets the release date there unless the caller set one.
set(CPACK_ORV_RELEASE_EPOCH ${ORV_RELEASE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackDate.cmake)
include(CPack)
