# The Debian package (component deb, from the root of the file system):
#   /usr/lib/qel/bin/       QELCltCore, qelsrv and the .so files beside them
#   /usr/bin/QELCltCore, /usr/bin/qelsrv        links to them
#   /usr/lib/qel/log     -> /var/log/qel        the service's log
#   /usr/lib/qel/Data    -> /var/lib/qel/Data   the directory sync's data
#   /usr/lib/qel/drives  -> /var/lib/qel/drives the drives (C made empty)
#   /usr/lib/qel/etc     -> /etc/qel            registry.reg, client.env
#   /usr/lib/systemd/system/qel-client.service
#   /usr/share/doc/qel-client/INSTALL.txt
# The host and the core find the log, the data, the drives and the registry
# from the executable's folder ("..\log\" and so on): the links under
# /usr/lib/qel send them to the writable places. The links are relative, so
# that a tree unpacked elsewhere (dpkg -x) holds together.
set(QEL_DEB_STAGE ${CMAKE_BINARY_DIR}/packaging/deb)
file(REMOVE_RECURSE ${QEL_DEB_STAGE})
file(MAKE_DIRECTORY ${QEL_DEB_STAGE}/links/usr-bin ${QEL_DEB_STAGE}/links/usr-lib-qel
  ${QEL_DEB_STAGE}/var/log/qel ${QEL_DEB_STAGE}/var/lib/qel/Data ${QEL_DEB_STAGE}/var/lib/qel/drives/C)
foreach(program QELCltCore qelsrv)
  file(CREATE_LINK ../lib/qel/bin/${program} ${QEL_DEB_STAGE}/links/usr-bin/${program} SYMBOLIC)
endforeach()
file(CREATE_LINK ../../../var/log/qel ${QEL_DEB_STAGE}/links/usr-lib-qel/log SYMBOLIC)
file(CREATE_LINK ../../../var/lib/qel/Data ${QEL_DEB_STAGE}/links/usr-lib-qel/Data SYMBOLIC)
file(CREATE_LINK ../../../var/lib/qel/drives ${QEL_DEB_STAGE}/links/usr-lib-qel/drives SYMBOLIC)
file(CREATE_LINK ../../../etc/qel ${QEL_DEB_STAGE}/links/usr-lib-qel/etc SYMBOLIC)

install(TARGETS QELCltCore qekcore ravelnet pelkit win32posix
  RUNTIME DESTINATION usr/lib/qel/bin COMPONENT deb EXCLUDE_FROM_ALL
  LIBRARY DESTINATION usr/lib/qel/bin COMPONENT deb EXCLUDE_FROM_ALL)
if(TARGET qelsrv)
  install(TARGETS qelsrv RUNTIME DESTINATION usr/lib/qel/bin COMPONENT deb EXCLUDE_FROM_ALL)
endif()
install(DIRECTORY ${QEL_DEB_STAGE}/links/usr-bin/ DESTINATION usr/bin COMPONENT deb EXCLUDE_FROM_ALL)
install(DIRECTORY ${QEL_DEB_STAGE}/links/usr-lib-qel/ DESTINATION usr/lib/qel COMPONENT deb EXCLUDE_FROM_ALL)
install(DIRECTORY ${QEL_DEB_STAGE}/var/ DESTINATION var COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${QEL_PACKAGING_DIR}/linux/registry.reg ${QEL_PACKAGING_DIR}/linux/client.env
  DESTINATION etc/qel COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${QEL_PACKAGING_DIR}/linux/qel-client.service
  DESTINATION usr/lib/systemd/system COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/packaging/INSTALL.txt
  DESTINATION usr/share/doc/qel-client COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, adduser")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Carries out the tasks of the QEL sync server on this machine (game update, directory sync, delete game, disk info), run by systemd as the service qel-client.")
# The service's user and folders (postinst), stopping it before removal
# (prerm), the settings kept across updates (conffiles).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${QEL_PACKAGING_DIR}/linux/debian/postinst
  ${QEL_PACKAGING_DIR}/linux/debian/prerm
  ${QEL_PACKAGING_DIR}/linux/debian/postrm
  ${QEL_PACKAGING_DIR}/linux/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
