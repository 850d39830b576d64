# Release packages (CPack), made by the `package` target:
#   mingw32 preset: a ZIP for Windows, unpacked into e.g. C:\QEL\:
#     bin\QELCltCore.exe, QekCore.dll, Ravelnet.dll, Pelkit.dll, qelsrv.exe
#     QELClt_NoBufWrite.reg  the write-mode setting, to merge with regedit
#     INSTALL.txt            the install guide
#   release preset: a .tar.gz for Linux, to unpack anywhere:
#     bin/QELCltCore, qelsrv and the .so files beside them
#     etc/registry.reg       the registry the Win32 layer reads (the setting)
#     INSTALL.txt
#   and a .deb (when dpkg-deb is installed), the same programs as a systemd
#   service (QelDebian.cmake).
set(QEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

set(CPACK_PACKAGE_NAME "qel-client")
set(CPACK_PACKAGE_VENDOR "QEL")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "QEL client: game-file synchronisation service core, host and server tool")
set(CPACK_PACKAGE_CONTACT "QEL client maintainers")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Windows text files with CR LF line ends.
  configure_file(${QEL_PACKAGING_DIR}/windows/INSTALL.txt
    ${CMAKE_BINARY_DIR}/packaging/INSTALL.txt @ONLY NEWLINE_STYLE WIN32)
  configure_file(${QEL_PACKAGING_DIR}/windows/QELClt_NoBufWrite.reg
    ${CMAKE_BINARY_DIR}/packaging/QELClt_NoBufWrite.reg @ONLY NEWLINE_STYLE WIN32)
  install(FILES
    ${CMAKE_BINARY_DIR}/packaging/INSTALL.txt
    ${CMAKE_BINARY_DIR}/packaging/QELClt_NoBufWrite.reg
    DESTINATION .)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QEL_PACKAGE_SYSTEM win32)
  else()
    set(QEL_PACKAGE_SYSTEM win64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${QEL_PACKAGE_SYSTEM}")
else()
  configure_file(${QEL_PACKAGING_DIR}/linux/INSTALL.txt
    ${CMAKE_BINARY_DIR}/packaging/INSTALL.txt @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/INSTALL.txt DESTINATION .)
  install(FILES ${QEL_PACKAGING_DIR}/linux/registry.reg DESTINATION etc)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
  find_program(QEL_DPKG_DEB dpkg-deb)
  if(QEL_DPKG_DEB)
    list(APPEND CPACK_GENERATOR DEB)
    include(QelDebian)
    # Each package takes its own components (QelCPackOptions.cmake).
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/QelCPackOptions.cmake)
  endif()
endif()

include(CPack)
