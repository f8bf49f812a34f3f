#!/bin/sh
# Signs release exes with osslsigncode as a company (Authenticode "commercial"
# purpose): cmake --build --preset windows --target sign
#   sign.sh OUT_DIR EXE...
# writes OUT_DIR/NAME, signed, and OUT_DIR/NAME.unsigned-sha256, the digest
# of the bytes it signed (the package step takes the signed copy only when it
# matches the exe built). The certificate comes from the environment:
#   MIRROLET_SIGN_PFX            a PKCS#12 file holding the key and its certificate chain
#   MIRROLET_SIGN_PASSWORD       its password (may be empty, must be set)
#   MIRROLET_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamping server
set -eu
out=$1
shift

if [ -z "${MIRROLET_SIGN_PFX:-}" ] || [ -z "${MIRROLET_SIGN_PASSWORD+set}" ]; then
  echo "sign: set MIRROLET_SIGN_PFX to a PKCS#12 (.pfx) file and MIRROLET_SIGN_PASSWORD to its password (optionally MIRROLET_SIGN_TIMESTAMP_URL)" >&2
  exit 1
fi
if [ ! -r "$MIRROLET_SIGN_PFX" ]; then
  echo "sign: cannot read MIRROLET_SIGN_PFX=$MIRROLET_SIGN_PFX" >&2
  exit 1
fi
command -v osslsigncode >/dev/null || { echo "sign: osslsigncode is not installed (apt-get install osslsigncode)" >&2; exit 1; }

mkdir -p "$out"
for exe in "$@"; do
  name=$(basename "$exe")
  rm -f "$out/$name" "$out/$name.unsigned-sha256"
  # The password goes through a pipe, not the command line, where ps shows it.
  # osslsigncode reads an empty file as an error, so an empty one is left out.
  if [ -n "$MIRROLET_SIGN_PASSWORD" ]; then password="-readpass /dev/stdin"; else password=""; fi
  # shellcheck disable=SC2086
  if ! printf '%s' "$MIRROLET_SIGN_PASSWORD" |
    osslsigncode sign -pkcs12 "$MIRROLET_SIGN_PFX" $password -h sha256 -comm \
      ${MIRROLET_SIGN_TIMESTAMP_URL:+-ts "$MIRROLET_SIGN_TIMESTAMP_URL"} \
      -in "$exe" -out "$out/$name.part" >/dev/null; then
    rm -f "$out/$name.part"
    echo "sign: osslsigncode could not sign $exe" >&2
    exit 1
  fi
  mv "$out/$name.part" "$out/$name"
  sha256sum "$exe" | cut -d' ' -f1 > "$out/$name.unsigned-sha256"
  echo "signed $out/$name"
done
