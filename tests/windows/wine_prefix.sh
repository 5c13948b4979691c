#!/bin/sh
# Makes the build's wine prefix ($WINEPREFIX) and starts its wineserver to
# stay, so that the tests' programs start without a server's start-up each:
# until wine_server_stop ends it, or ten minutes after its last program
# should the suite be cut short. Without mscoree and mshtml, a new prefix
# asks nobody to install Mono or Gecko.
#
# Usage: wine_prefix.sh WINESERVER WINE
set -u
mkdir -p "$WINEPREFIX" || exit 1
# The server and the prefix's services outlive this test: their output goes
# to a file, since the test's own would stay open for as long as they run.
log=$WINEPREFIX/start.log
# A server left running by an earlier run of the suite is used as it is.
"$1" -p600 > "$log" 2>&1 < /dev/null

WINEDLLOVERRIDES=mscoree,mshtml= "$2" cmd.exe /c exit 0 >> "$log" 2>&1 < /dev/null
code=$?
[ "$code" -eq 0 ] || cat "$log"
exit "$code"
