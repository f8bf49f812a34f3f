#!/bin/sh
# The sign step with a throwaway certificate. osslsigncode must accept the
# signature; taking it off must give back the built bytes; and the signed exe
# must keep exactly its resources and still run an update under Wine. A signed
# bundle must verify, run, and refuse a changed byte.
#   signed_exe_test.sh SOURCE_DIR BUILD_DIR EXE E2E_TESTS
set -eu
src=$1 build=$2 exe=$3 e2e=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/mirrolet-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "signed_exe_test: $*" >&2; exit 1; }

# Without a certificate the step stops with one line that says what to set.
if env -u MIRROLET_SIGN_PFX -u MIRROLET_SIGN_PASSWORD "$src/cmake/sign.sh" signed "$exe" 2>error.txt; then
  fail "signed without a certificate"
fi
[ "$(wc -l < error.txt)" -eq 1 ] && grep -q 'MIRROLET_SIGN_PFX.*MIRROLET_SIGN_PASSWORD' error.txt ||
  fail "unclear message: $(cat error.txt)"

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Mirrolet test signer" \
  -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in cert.pem -out test.pfx -passout 'pass:a pass phrase'
MIRROLET_SIGN_PFX=$work/test.pfx MIRROLET_SIGN_PASSWORD='a pass phrase' "$src/cmake/sign.sh" signed "$exe"
signed=$work/signed/$(basename "$exe")

osslsigncode verify -CAfile cert.pem -in "$signed" || fail "osslsigncode does not accept the signature"
osslsigncode remove-signature -in "$signed" -out unsigned.exe >/dev/null
cmp unsigned.exe "$exe" || fail "the signed exe is more than the built one plus a signature"

# The resource read-back and one full update, on the signed exe.
MIRROLET_PROGRAM_UNDER_TEST="Z:$(printf '%s' "$signed" | tr / '\\')" \
  "$src/tests/wine/wine-env.sh" "$build" run "$e2e" \
  --gtest_filter='Resources.*:*/AFullListIsCopiedIntoBothProducts' > e2e.txt 2>&1 || { cat e2e.txt; exit 1; }
grep -q '^\[       OK \] .*/AFullListIsCopiedIntoBothProducts' e2e.txt && grep -q '^\[       OK \] Resources\.' e2e.txt ||
  { cat e2e.txt; fail "the tests on the signed exe did not run"; }
cat e2e.txt

# A bundle is signed whole: the signature covers its payload. Signed, it
# verifies and runs; one payload byte changed, neither the signature nor the
# run accepts it; junk after the certificate table is not looked at.
wine_run() { "$src/tests/wine/wine-env.sh" "$build" run "$@"; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
pack=$(dirname "$exe")/mirrolet-pack.exe
mkdir tree halvix run
echo new > tree/app.dll
wine_run "$pack" build tree folder --exe "$exe" > /dev/null || [ $? -eq 1 ] || fail "mirrolet-pack build failed"
wine_run "$pack" bundle folder bundle.exe > /dev/null || [ $? -eq 1 ] || fail "mirrolet-pack bundle failed"
osslsigncode sign -pkcs12 test.pfx -pass 'a pass phrase' -in bundle.exe -out signed-bundle.exe > /dev/null
osslsigncode verify -CAfile cert.pem -in signed-bundle.exe > /dev/null || fail "the signed bundle does not verify"
cp signed-bundle.exe flipped.exe
printf '\001' | dd of=flipped.exe bs=1 seek="$(stat -c %s "$exe")" conv=notrunc 2> /dev/null  # the first file's first byte
! osslsigncode verify -CAfile cert.pem -in flipped.exe > /dev/null 2>&1 || fail "a changed payload still verifies"
{ cat signed-bundle.exe; echo junk; } > junk.exe
for view in 32 64; do wine_run reg delete 'HKLM\Software\Varnholt' /f /reg:$view > /dev/null 2>&1 || true; done  # earlier tests' products
wine_run reg add 'HKLM\Software\Varnholt\Halvix' /v WorkPath /d "$(winpath "$work/halvix")" /f > /dev/null 2>&1
for row in "signed-bundle.exe 0 new" "flipped.exe 4 old" "junk.exe 0 new"; do
  set -- $row
  echo old > halvix/app.dll
  cp "$1" run/MirroletV2.exe
  status=0
  wine_run "$build/tests/box_driver.exe" "$(winpath "$work/run/MirroletV2.exe")" "$(winpath "$work/run")" yes ok > run.txt || status=$?
  [ "$status" -eq "$2" ] && [ "$(cat halvix/app.dll)" = "$3" ] || { cat run.txt; fail "$1 ended with $status, app.dll holds $(cat halvix/app.dll)"; }
done
wine_run reg delete 'HKLM\Software\Varnholt' /f > /dev/null 2>&1
echo "signed bundle: verifies and runs; a changed byte fails both; junk after the signature is ignored"
