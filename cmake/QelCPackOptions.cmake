# Read by CPack for each generator (CPACK_PROJECT_CONFIG_FILE). The archive
# holds the installed layout (component Unspecified: bin/, etc/, INSTALL.txt);
# the .deb holds the same programs in the system's places (component deb,
# QelDebian.cmake), from the root of the file system. Each is one package of
# its components.
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL deb)
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
else()
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENTS_ALL Unspecified)
endif()
