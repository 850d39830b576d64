# Installation of the product's runtime files. Everything that runs goes into
# one folder, bin/, as the host expects: it loads the core and the helper
# library from its own folder, and the log and data folders are found from it
# ("..\log\", "..\Data\").

# Installed Linux binaries find the libraries beside them.
set(CMAKE_INSTALL_RPATH "$ORIGIN")

# qel_install_runtime(target...): installs each target's executable, DLL or
# shared object into bin/. Import libraries (.dll.a) are build products only.
function(qel_install_runtime)
  install(TARGETS ${ARGN}
    RUNTIME DESTINATION bin
    LIBRARY DESTINATION bin
    ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
endfunction()
