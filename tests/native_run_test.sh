#!/bin/sh
# The Linux build run as a user runs it: a registry file, an update folder,
# answers typed at the prompt. Checks the files and the exit status.
set -eu
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8 MIRROLET_REGISTRY="$work/registry.reg"

mkdir -p "$work/update" "$work/Halvix/Data" "$work/Pruvex/data"
cp "$program" "$work/update/mirrolet"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Halvix]\r\n"WorkPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Pruvex]\r\n"WorkPath"="%s\\\\"\r\n' \
  "$work/Halvix" "$work/Pruvex" > "$work/registry.reg"
printf '[MAIN]\r\nSUM=2\r\nFILE001=app.dll\r\nCOPYTO001=$APPPATH$app.dll\r\nFILE002=說明.txt\r\nCOPYTO002=$APPPATH$data\\說明.txt\r\n' \
  > "$work/update/mirrolet.ini"
echo new > "$work/update/app.dll"
echo 說明 > "$work/update/說明.txt"
echo old > "$work/Halvix/app.dll"

fail() { echo "FAIL: $*" >&2; exit 1; }
run() { status=0; printf "$1" | "$work/update/mirrolet" 2>"$work/boxes.txt" || status=$?; }

# No answer at all (end of input) means No: nothing is copied.
run ''
[ "$status" = 1 ] || fail "end of input: exit $status"
[ "$(cat "$work/Halvix/app.dll")" = old ] || fail "copied without consent"

# A word that is no answer asks again; then Yes copies into both products.
run 'maybe\n是\n'
[ "$status" = 0 ] || { cat "$work/boxes.txt" >&2; fail "yes: exit $status"; }
[ "$(grep -o '是(Y)/否(N)' "$work/boxes.txt" | wc -l)" = 2 ] || fail "did not ask again"
grep -q '複製完成！' "$work/boxes.txt" || fail "no Done box"
[ "$(cat "$work/Halvix/app.dll")" = new ] || fail "Halvix not updated"
[ "$(cat "$work/Halvix/Data/說明.txt")" = 說明 ] || fail "no Chinese file in the Data folder"
[ "$(cat "$work/Pruvex/data/說明.txt")" = 說明 ] || fail "Pruvex not updated"

# Without Pruvex's data folder the second entry fails there: one report, exit 4.
rm -r "$work/Pruvex/data" "$work/Pruvex/app.dll"
run 'y\n'
[ "$status" = 4 ] || fail "failed copy: exit $status"
grep -q '產品：Pruvex' "$work/boxes.txt" || fail "report does not name the product"
grep -q '第 2 項，共 2 項' "$work/boxes.txt" || fail "report does not name the entry"
grep -q '複製完成' "$work/boxes.txt" && fail "Done box after a failure"
[ -f "$work/Pruvex/app.dll" ] || fail "the entry before the failure was not copied"

# A program running from the destination holds it: the report says to close
# it, and names it.
cp "$(command -v sleep)" "$work/Halvix/sleep"
printf '[MAIN]\r\nSUM=1\r\nFILE001=app.dll\r\nCOPYTO001=$APPPATH$sleep\r\n' > "$work/update/mirrolet.ini"
"$work/Halvix/sleep" 60 &
sleeper=$!
for _ in $(seq 500); do [ "$(readlink "/proc/$sleeper/exe")" = "$work/Halvix/sleep" ] && break; sleep 0.01; done
run 'y\n'
kill "$sleeper"
[ "$status" = 4 ] || fail "file in use: exit $status"
grep -q '^建議：請先關閉正在使用此檔案的程式，再更新一次。$' "$work/boxes.txt" || fail "no advice to close the program"
grep -q "^使用中的程式：sleep（PID $sleeper）$" "$work/boxes.txt" || { cat "$work/boxes.txt" >&2; fail "the holder is not named"; }
rm "$work/Halvix/sleep"

# A list that is a FIFO or a device is no list: the run neither hangs nor
# floods, it warns once per product and ends.
for kind in fifo device; do
  rm -f "$work/update/mirrolet.ini"
  if [ $kind = fifo ]; then mkfifo "$work/update/mirrolet.ini"; else ln -s /dev/zero "$work/update/mirrolet.ini"; fi
  status=0
  printf 'y\n' | timeout 30 "$work/update/mirrolet" 2>"$work/boxes.txt" || status=$?
  [ "$status" = 3 ] || fail "$kind as the list: exit $status"
  [ "$(grep -c '遺失檔案 - mirrolet.ini' "$work/boxes.txt")" = 2 ] || fail "$kind as the list: not reported missing"
done

# Names fold the same whatever the language: under Turkish rules "I" would
# lower to a dotless "ı", yet the registry and the list's keys still match.
mkdir -p "$work/locale"
localedef -i tr_TR -f UTF-8 "$work/locale/tr_TR.UTF-8" 2>/dev/null || true
localedef -i zh_TW -f BIG5 "$work/locale/zh_TW.BIG5" 2>/dev/null || true
[ -f "$work/locale/tr_TR.UTF-8/LC_CTYPE" ] && [ -f "$work/locale/zh_TW.BIG5/LC_CTYPE" ] || fail "localedef failed"
rm -f "$work/update/mirrolet.ini"
printf '[main]\r\nsum=1\r\nfile001=app.dll\r\ncopyto001=$APPPATH$IT.dll\r\n' > "$work/update/mirrolet.ini"
status=0
printf 'y\n' | LOCPATH="$work/locale" LC_ALL=tr_TR.UTF-8 "$work/update/mirrolet" 2>"$work/boxes.txt" || status=$?
[ "$status" = 0 ] || { cat "$work/boxes.txt" >&2; fail "Turkish locale: exit $status"; }
[ "$(cat "$work/Halvix/IT.dll")" = new ] || fail "Turkish locale: not copied"

# Under Big5, A2CC decodes to U+5341, which encodes back as A451: a list
# naming A2CC must never copy the file named A451.
printf 'wrong\n' > "$work/update/$(printf '\244\121').dll"
printf '[MAIN]\r\nSUM=1\r\nFILE001=\242\314.dll\r\nCOPYTO001=$APPPATH$big5.dll\r\n' > "$work/update/mirrolet.ini"
big5() { status=0; printf 'y\n' | LOCPATH="$work/locale" LC_ALL=zh_TW.BIG5 "$work/update/mirrolet" 2>"$work/boxes.txt" || status=$?; }
big5
[ "$status" = 4 ] || fail "Big5: exit $status with the named file missing"
[ ! -e "$work/Halvix/big5.dll" ] || fail "Big5: copied a file the list does not name"
printf 'right\n' > "$work/update/$(printf '\242\314').dll"
big5
[ "$status" = 0 ] && [ "$(cat "$work/Halvix/big5.dll")" = right ] || fail "Big5: exit $status, the named file not copied"
echo ok
