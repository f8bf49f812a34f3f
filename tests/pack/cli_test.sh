#!/bin/sh
# mirrolet-pack as its users run it, on a faulty update folder, on one it
# builds itself and on a bundle of that. Both builds must print exactly cli_expected.txt:
#   MIRROLET_UPDATER=UPDATER cli_test.sh PROGRAM...
# (PROGRAM: the tool, or "wine-env.sh BUILD run mirrolet-pack.exe"; UPDATER:
# the build's mirrolet or MirroletV2.exe)
set -eu
expected=$(cd "$(dirname "$0")" && pwd)/cli_expected.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir faulty tree tree/Docs
printf '[MAIN]\r\nSUM=4\r\nFILE001=app.dll\r\nCOPYTO001=$APPPATH$app.dll\r\nFILE002=readme.txt\r\nCOPYTO002=$apppath$readme.txt\r\nFILE004=help.chm\r\nCOPYTO004=$APPPATH$Help\\help.chm\r\nFILE001=old.dll\r\n' \
  > faulty/mirrolet.ini
touch faulty/app.dll faulty/readme.txt faulty/help.chm faulty/extra.dat
echo app > tree/app.dll
echo 說明 > tree/說明.txt
echo 使用 > tree/Docs/使用.txt
cp "$MIRROLET_UPDATER" MirroletV2.exe

prefix=$#
for program in "$@"; do :; done
cp "$program" packer  # a program that is not the updater: the tool itself, PE or ELF
run() {  # run PROGRAM... ARGUMENTS...: shows the arguments, the output and the status
  shown="" i=0
  for word in "$@"; do i=$((i + 1)); [ $i -le $prefix ] || shown="$shown $word"; done
  echo "\$ mirrolet-pack$shown"
  status=0
  "$@" 2>&1 || status=$?
  echo "(exit status $status)"
}
{
  run "$@" check faulty
  echo "\$ mirrolet-pack check faulty --json"
  status=0
  "$@" check faulty --json > faulty.json 2> /dev/null || status=$?
  "$@" check faulty > faulty.txt 2> /dev/null || true
  python3 "$(dirname "$expected")/json_matches_text.py" faulty faulty.json faulty.txt "$status"
  run "$@" build tree shipped --exe MirroletV2.exe
  echo "\$ iconv -f CP950 shipped/mirrolet.ini"
  iconv -f CP950 -t UTF-8 shipped/mirrolet.ini | sed 's/\r$/\\r/'
  run "$@" check faulty --code-page 0
  run "$@" check faulty --allow folder-needed,entry-missing
  run "$@" build shipped back
  run "$@" --version
  run "$@" bundle shipped wrong --exe packer
  run "$@" bundle shipped one
  "$@" bundle shipped two > /dev/null 2>&1 || true
  cmp one two && echo "two bundles of one folder: the same bytes"
  run "$@" bundle shipped one
  "$@" bundle shipped one --force > /dev/null 2>&1 || true
  cmp one two && echo "--force: one replaced"
  run "$@" bundle shipped nowhere/one
  run "$@" check nowhere
  # Past 4 GiB: a sparse file, refused before a byte is read.
  mkdir huge && printf '[MAIN]\r\nSUM=1\r\nFILE001=big.dat\r\nCOPYTO001=$APPPATH$big.dat\r\n' > huge/mirrolet.ini
  truncate -s 4G huge/big.dat
  "$@" bundle huge huge.exe --exe MirroletV2.exe 2>&1 >/dev/null | sed 's/would be [0-9]* bytes/would be N bytes/'
  [ ! -e huge.exe ] && echo "(no huge.exe)"
  cp one flipped
  printf '\001' | dd of=flipped bs=1 seek="$(stat -c %s MirroletV2.exe)" conv=notrunc 2> /dev/null
  run "$@" check one
  run "$@" check flipped
} > transcript.txt
diff -u "$expected" transcript.txt
