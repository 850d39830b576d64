#!/bin/sh
# Runs a Windows test program under Wine with a prefix of the build's own, so
# that nothing depends on the user's ~/.wine.
: "${WINEPREFIX:=${QEL_WINEPREFIX:-$(pwd)/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
