#!/bin/sh
# Draws the updater's message boxes into docs/*.png, as a user sees them.
#
#   scripts/render-pictures.sh [BUILD_DIR]
#
# BUILD_DIR is the build folder of the "windows" preset (default: build/windows
# in the repository). The real MirroletV2.exe shows its boxes under Wine on a
# Traditional Chinese (code page 950) system; Wine's X11 driver draws them on a
# private Xvfb screen, and tests/box_driver.exe saves each box from the screen
# and answers it. The Wine prefix and the locale it needs are kept in
# build/pictures. Run as root, the script installs whichever of Xvfb,
# ImageMagick, the Noto CJK fonts and the locales is missing with apt-get;
# Wine itself must be installed already.
set -eu

fail() {
  echo "render-pictures: $*" >&2
  exit 1
}

root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -gt 0 ]; then
  build=$(cd "$1" 2>/dev/null && pwd) || fail "no build folder $1"
else
  build=$root/build/windows
fi
docs=$root/docs
work=$root/build/pictures

for file in MirroletV2.exe tests/box_driver.exe; do
  [ -f "$build/$file" ] || fail "$build/$file is missing; build it first:
  cmake --preset windows && cmake --build --preset windows"
done

wine=$(command -v wine || command -v wine64 || true)
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || { [ -x /usr/lib/wine/wineserver ] && wineserver=/usr/lib/wine/wineserver; }
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
  fail "Wine is not installed (apt-get install wine64)"
fi

missing=
for package in xvfb imagemagick fonts-noto-cjk locales; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
  [ "$(id -u)" = 0 ] || fail "missing packages:$missing; run as root or: apt-get install$missing"
  echo "render-pictures: installing$missing" >&2
  apt-get update >/dev/null
  # shellcheck disable=SC2086  # one word per package
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing >/dev/null
fi
command -v Xvfb >/dev/null 2>&1 || fail "Xvfb is not installed (apt-get install xvfb)"
command -v convert >/dev/null 2>&1 || fail "ImageMagick is not installed (apt-get install imagemagick)"
# The caption's close button is a glyph of Wine's own Marlett font.
marlett=/usr/share/wine/fonts/marlett.ttf
[ -f "$marlett" ] || fail "$marlett is missing (apt-get install fonts-wine)"

export WINEPREFIX="$work/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko install prompts
export LOCPATH="$work/locale"
export LC_ALL=zh_TW.UTF-8
unset WAYLAND_DISPLAY

tmp=$(mktemp -d)
xvfb=
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/d:"
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# Wine takes the system code page from the locale. It is built into the work
# folder, so the machine's own locales stay as they are.
if [ ! -f "$LOCPATH/zh_TW.UTF-8/LC_CTYPE" ]; then
  mkdir -p "$LOCPATH"
  localedef -i zh_TW -f UTF-8 "$LOCPATH/zh_TW.UTF-8" 2>/dev/null || true  # warns, yet writes it
  [ -f "$LOCPATH/zh_TW.UTF-8/LC_CTYPE" ] || fail "localedef could not build zh_TW.UTF-8 (apt-get install locales)"
fi

# A screen of our own: Xvfb picks a free display number and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" >/dev/null 2>&1 &
xvfb=$!
tries=0
until [ -s "$tmp/display" ]; do
  kill -0 "$xvfb" 2>/dev/null || fail "Xvfb did not start"
  tries=$((tries + 1))
  [ "$tries" -le 100 ] || fail "Xvfb did not tell its display number"
  sleep 0.1
done
DISPLAY=:$(cat "$tmp/display")
export DISPLAY

"$wineserver" -k 2>/dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i </dev/null >/dev/null 2>&1 || fail "could not create the Wine prefix $WINEPREFIX"
fi

reg() {
  "$wine" reg "$@" </dev/null >/dev/null 2>&1 || fail "wine reg $1 $2 failed"
}
colour() {
  "$wine" reg query 'HKCU\Control Panel\Colors' /v "$1" </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'
}

# There is no window manager to give the boxes a caption and a frame; Wine
# draws them itself for the windows it does not leave to one.
reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
# The boxes use "MS Shell Dlg", which a Taiwanese system maps to PMingLiU. Noto
# Sans CJK TC stands in for it, so the text always comes out in the same real
# Traditional Chinese font, not in whichever font Wine happens to try first.
reg add 'HKCU\Software\Wine\Fonts\Replacements' /v PMingLiU /d 'Noto Sans CJK TC' /f
# Debian's Wine does not load the fonts in its data folder, so without Marlett
# the close button shows a plain "r". Fonts in the prefix's own folder load.
cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"
# Wine activates a program's first window before that program becomes the
# foreground one, and does not repaint the caption when it does: the first box
# of every run keeps a grey, inactive caption although it has the focus. On a
# desktop the box the user has just started is the active one, so inactive
# captions are given the active colours here.
for pair in ActiveTitle:InactiveTitle GradientActiveTitle:GradientInactiveTitle TitleText:InactiveTitleText; do
  value=$(colour "${pair%%:*}")
  [ -n "$value" ] || fail "no colour ${pair%%:*} in the Wine prefix"
  reg add 'HKCU\Control Panel\Colors' /v "${pair#*:}" /d "$value" /f
done
# A new prefix also holds its theme's colours in Wine's volatile "Temporary
# System Parameters" until the session that made it ends, and those win over
# the colours above: start a fresh session.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
"$wineserver" -p </dev/null >/dev/null 2>&1 || true
"$wine" wineboot </dev/null >/dev/null 2>&1

# The scenarios are set up in the temporary folder, which the prefix sees as
# drive D:. That keeps the paths the failure report names short, and the same
# on every run.
ln -sfn "$tmp" "$WINEPREFIX/dosdevices/d:"
update=$tmp/Update
mkdir -p "$update" "$tmp/Varnholt/Halvix" "$tmp/shots"
cp "$build/MirroletV2.exe" "$update/"
cp "$build/tests/box_driver.exe" "$tmp/"

# run NAME ANSWER...: runs the updater in D:\Update and answers its boxes,
# saving them as NAME-1.bmp, NAME-2.bmp, ... Prints what the boxes said.
run() {
  name=$1
  shift
  echo "== $name"
  "$wine" 'D:\box_driver.exe' 'D:\Update\MirroletV2.exe' 'D:\Update' --capture "D:\\shots\\$name" "$@" \
    </dev/null 2>/dev/null | tr -d '\r' || true
}
register_halvix() {
  reg add 'HKLM\Software\Varnholt\Halvix' /v WorkPath /t REG_SZ /d "D:\\Varnholt\\Halvix\\" /f
}
forget_products() {
  "$wine" reg delete 'HKLM\Software\Varnholt' /f </dev/null >/dev/null 2>&1 || true  # may not be there
}

# Halvix installed, no copy list: confirmation, copy list missing, done.
forget_products
register_halvix
run halvix-no-list yes ok ok

# Nothing installed: confirmation, nothing registered.
forget_products
run nothing-installed yes ok

# Halvix installed, and the second file on the copy list is not in the update.
register_halvix
echo "new app" >"$update/app.dll"
# shellcheck disable=SC2016  # $APPPATH$ is the copy list's own placeholder
printf '%s\r\n' '[MAIN]' 'SUM=2' 'FILE001=app.dll' 'COPYTO001=$APPPATH$app.dll' \
  'FILE002=missing.dll' 'COPYTO002=$APPPATH$missing.dll' >"$update/mirrolet.ini"
run missing-file yes ok
forget_products

mkdir -p "$docs"
picture() {
  [ -f "$tmp/shots/$1.bmp" ] || fail "box $1 was not seen; see the transcript above"
  convert "$tmp/shots/$1.bmp" -strip "$docs/$2.png"
  echo "docs/$2.png"
}
picture halvix-no-list-1 confirm
picture halvix-no-list-2 list-missing
picture halvix-no-list-3 'done'
picture nothing-installed-2 nothing-registered
picture missing-file-2 copy-failed
