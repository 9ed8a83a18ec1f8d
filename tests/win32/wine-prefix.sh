#!/bin/sh
# Makes the private Wine prefix for one test run: reporting itself as
# Windows 98, with its server kept running so that each run starts quickly.
#   wine-prefix.sh WINE PREFIX   sets it up
#   wine-prefix.sh --stop PREFIX stops its server
set -eu
if [ "$1" = --stop ]; then
  WINEPREFIX=$2 wineserver -k || true
  exit 0
fi
wine=$1
export WINEPREFIX="$2" WINEDEBUG=-all
# No Mono or Gecko: the installers' prompts would only stall the set-up.
export WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
"$wine" wineboot -i >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
# The first program starts the prefix's services, which would otherwise hold
# on to that first test's output pipes for as long as they run.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
