#!/bin/sh
# Prints the environment (one NAME=VALUE a line) that runs Wine with the
# Chinese ANSI code page 936, that of the PCs the client serves, after
# compiling the zh_CN.UTF-8 locale into a folder of the build's own when it is
# not there yet (these machines do not have it installed, and without it
# LC_CTYPE=zh_CN.UTF-8 leaves Wine at 1252).
#
#   cmake/wine-locale.sh [FOLDER]    FOLDER: default build/locale of the tree
#
# Wine takes the system (ANSI) code page from LC_CTYPE and the language of
# its messages from LC_MESSAGES: the messages stay English. Needs localedef
# and the locale sources of the `locales` package (scripts/setup.sh test).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
folder=${1:-${QEL_WINE_LOCPATH:-$here/../build/locale}}
locale=zh_CN.UTF-8

if [ ! -f "$folder/$locale/LC_CTYPE" ]; then
  mkdir -p "$folder"
  # One compiler at a time (ctest runs Wine tests in parallel); the locale
  # appears whole, by a rename, or not at all.
  (
    flock 9
    if [ ! -f "$folder/$locale/LC_CTYPE" ]; then
      if [ ! -f /usr/share/i18n/locales/zh_CN ]; then
        echo "wine-locale: /usr/share/i18n/locales/zh_CN is missing: install the locales package (scripts/setup.sh test)" >&2
        exit 1
      fi
      rm -rf "$folder/$locale.new"
      # localedef exits 1 for mere warnings: what counts is the compiled LC_CTYPE.
      localedef -i zh_CN -f UTF-8 "$folder/$locale.new" >/dev/null 2>&1 || true
      if [ ! -f "$folder/$locale.new/LC_CTYPE" ]; then
        echo "wine-locale: localedef -i zh_CN -f UTF-8 $folder/$locale.new failed" >&2
        exit 1
      fi
      rm -rf "$folder/$locale"
      mv "$folder/$locale.new" "$folder/$locale"
    fi
  ) 9>"$folder/.lock"
fi

folder=$(cd "$folder" && pwd)
echo "LOCPATH=$folder"
echo "LC_CTYPE=$locale"
echo "LC_MESSAGES=en_US.UTF-8"
echo "LANG=en_US.UTF-8"
