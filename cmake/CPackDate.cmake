# Read by cpack, in its own process, before each package is built (CPACK_PROJECT_CONFIG_FILE).
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_ORV_RELEASE_EPOCH})
endif()
