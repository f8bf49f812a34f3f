#!/bin/sh
# The Wine the Windows tests run in, kept under the build folder:
#   wine-env.sh BUILD_DIR setup        create the prefix and start its wineserver
#   wine-env.sh BUILD_DIR run PROG...  run a Windows program in it
#   wine-env.sh BUILD_DIR stop         stop the wineserver
# The prefix is a Traditional Chinese (Taiwan) system, code page 950, like the
# machines the updater ships to. The glibc locale Wine needs for that is built
# into the build folder, so the system is not changed.
set -eu
build=$(cd "$1" && pwd)
action=$2
shift 2

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LOCPATH="$build/locale"
export LC_ALL=zh_TW.UTF-8
unset DISPLAY WAYLAND_DISPLAY

wine=$(command -v wine || command -v wine64 || true)
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || { [ -x /usr/lib/wine/wineserver ] && wineserver=/usr/lib/wine/wineserver; }
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
  echo "wine-env: Wine is not installed (apt-get install wine64); the Windows tests cannot run" >&2
  exit 1
fi

case $action in
  setup)
    if [ ! -f "$LOCPATH/zh_TW.UTF-8/LC_CTYPE" ]; then
      mkdir -p "$LOCPATH"
      # localedef warns about details of the zh_TW sources yet writes the locale.
      localedef -i zh_TW -f UTF-8 "$LOCPATH/zh_TW.UTF-8" 2>/dev/null || true
      [ -f "$LOCPATH/zh_TW.UTF-8/LC_CTYPE" ] || { echo "wine-env: localedef failed (apt-get install locales)" >&2; exit 1; }
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wineserver" -k 2>/dev/null || true
      wineboot -i </dev/null >/dev/null 2>&1
      # No display: the null graphics driver still runs real message boxes.
      "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
      "$wineserver" -w
    fi
    # One wineserver for every test keeps each start near a tenth of a second.
    "$wineserver" -p </dev/null >/dev/null 2>&1 || true  # already running is fine
    # Start Wine's own services now, with nowhere to write: started later by a
    # test they would inherit its output and keep the test runner waiting.
    "$wine" wineboot </dev/null >/dev/null 2>&1
    ;;
  run)
    exec "$wine" "$@"
    ;;
  stop)
    "$wineserver" -k 2>/dev/null || true
    ;;
  *)
    echo "wine-env: unknown action $action" >&2
    exit 2
    ;;
esac
