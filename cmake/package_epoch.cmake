# Read by cpack before it makes a package (CPACK_PROJECT_CONFIG_FILE): the
# time stamp of every entry is SOURCE_DATE_EPOCH, the one of the
# configuration when cpack runs without it.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_BRANTCFG_SOURCE_DATE_EPOCH}")
endif()
