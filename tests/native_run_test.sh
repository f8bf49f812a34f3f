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
echo ok
