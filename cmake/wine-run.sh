#!/bin/sh
# Runs a Windows test program under Wine with a prefix of the build's own, so
# that nothing depends on the user's ~/.wine, and at the Chinese ANSI code page
# 936 (cmake/wine-locale.sh: the zh_CN.UTF-8 locale compiled into
# build/locale, LOCPATH and LC_CTYPE pointing at it; tests/win32's
# win32_codepage_test fails when GetACP() is not 936).
: "${WINEPREFIX:=${QEL_WINEPREFIX:-$(pwd)/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
settings=$("$(dirname "$0")/wine-locale.sh") || exit 125
unset LC_ALL LANGUAGE
while IFS= read -r setting; do
  export "$setting"
done <<EOF_SETTINGS
$settings
EOF_SETTINGS
exec wine "$@"
