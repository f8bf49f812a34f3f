#!/bin/sh
# Checks that the shipped Windows exes are reproducible: builds them with the
# windows preset from a copy of this source tree in a fresh folder, and
# compares the bytes with those built in BUILD_DIR. Without BUILD_DIR it builds
# twice, in two different folders.
#   scripts/check-reproducible.sh [BUILD_DIR]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/mirrolet-reproduce.XXXXXX")
trap 'rm -rf "$work"' EXIT

# build FOLDER: the source tree as it is now (without build/), built in FOLDER.
build() {
  mkdir -p "$1"
  tar -C "$src" --exclude-vcs --exclude=./build -cf - . | tar -C "$1" -xf -
  (cd "$1" && cmake --preset windows -DMIRROLET_BUILD_TESTS=OFF >/dev/null &&
    cmake --build --preset windows >/dev/null) || { echo "check-reproducible: the build in $1 failed" >&2; exit 1; }
}

build "$work/first"
if [ $# -gt 0 ]; then
  reference=$(cd "$1" && pwd)
else
  # Another path length, another time zone, another umask.
  (umask 077; TZ=Asia/Taipei build "$work/second/build-folder-with-a-longer-name")
  reference="$work/second/build-folder-with-a-longer-name/build/windows"
fi

status=0
while read -r name; do
  a=$(sha256sum < "$work/first/build/windows/$name" | cut -d' ' -f1)
  b=$(sha256sum < "$reference/$name" | cut -d' ' -f1)
  echo "$a  $work/first/build/windows/$name"
  echo "$b  $reference/$name"
  if [ "$a" = "$b" ]; then
    echo "reproducible: $name"
  else
    echo "NOT reproducible: $name (cmp -l shows where the bytes differ)"
    status=1
  fi
done < "$work/first/build/windows/release-exes.txt"
exit $status
