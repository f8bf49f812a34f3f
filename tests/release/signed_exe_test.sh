#!/bin/sh
# The sign step with a throwaway certificate. osslsigncode must accept the
# signature; taking it off must give back the built bytes; and the signed exe
# must keep exactly its resources and still run an update under Wine.
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
  --gtest_filter='Resources.*:Scenario.AFullListIsCopiedIntoBothProducts' > e2e.txt 2>&1 || { cat e2e.txt; exit 1; }
grep -q '^\[       OK \] Scenario.AFullListIsCopiedIntoBothProducts' e2e.txt && grep -q '^\[       OK \] Resources\.' e2e.txt ||
  { cat e2e.txt; fail "the tests on the signed exe did not run"; }
cat e2e.txt
