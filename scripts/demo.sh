#!/bin/sh
# A demo update on Linux: builds mirrolet, sets up a throwaway sandbox with
# two registered products and an update folder, runs the update (answering
# Yes), and shows what landed where.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake make g++ >/dev/null
cmake --preset native -DMIRROLET_BUILD_TESTS=OFF >/dev/null
cmake --build --preset native --target mirrolet >/dev/null

sandbox=$(mktemp -d /tmp/mirrolet-demo.XXXXXX)
export LC_ALL=C.UTF-8
export MIRROLET_REGISTRY="$sandbox/registry.reg"

# The products as their installers left them.
mkdir -p "$sandbox/Halvix/Data" "$sandbox/Pruvex/Data"
echo "Halvix 1.0" > "$sandbox/Halvix/halvix.dll"
echo "Pruvex 1.0" > "$sandbox/Pruvex/pruvex.dll"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Halvix]\r\n"WorkPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Pruvex]\r\n"WorkPath"="%s"\r\n' \
  "$sandbox/Halvix" "$sandbox/Pruvex" > "$MIRROLET_REGISTRY"

# The update folder: the program, its copy list and the files it names.
mkdir -p "$sandbox/update"
cp build/native/mirrolet "$sandbox/update/"
echo "shared runtime 2.0" > "$sandbox/update/runtime.dll"
echo "使用說明 2.0" > "$sandbox/update/使用說明.txt"
echo "ui resources 2.0" > "$sandbox/update/ui.res"
printf '[MAIN]\r\nSUM=3\r\nFILE001=runtime.dll\r\nCOPYTO001=$APPPATH$runtime.dll\r\nFILE002=使用說明.txt\r\nCOPYTO002=$APPPATH$使用說明.txt\r\nFILE003=ui.res\r\nCOPYTO003=$APPPATH$Data\\ui.res\r\n' \
  > "$sandbox/update/mirrolet.ini"

echo "== Sandbox: $sandbox"
echo "== Registry ($MIRROLET_REGISTRY):"
sed 's/^/   /' "$MIRROLET_REGISTRY" | tr -d '\r'
echo "== Copy list (update/mirrolet.ini):"
sed 's/^/   /' "$sandbox/update/mirrolet.ini" | tr -d '\r'
echo "== Running update/mirrolet, answering Yes:"
status=0
echo y | "$sandbox/update/mirrolet" 2>&1 || status=$?
echo
echo "== Exit status: $status"
echo "== The products now:"
(cd "$sandbox" && find Halvix Pruvex -type f | sort | while read -r f; do printf '   %-28s %s\n' "$f" "$(cat "$f")"; done)
echo "== Remove the sandbox with: rm -rf $sandbox"
exit "$status"
