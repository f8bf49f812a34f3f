#!/bin/sh
# A demo update on Linux: builds mirrolet and mirrolet-pack, sets up a
# throwaway sandbox with two registered products, makes the update folder with
# mirrolet-pack and then one program file that carries it (a bundle), runs the
# bundle alone in a folder (answering Yes), and shows what landed where.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake make g++ libssl-dev nlohmann-json3-dev >/dev/null
# A new build folder needs no test suites; one the tests configured keeps them.
tests=-DMIRROLET_BUILD_TESTS=OFF
[ -f build/native/CMakeCache.txt ] && tests=
cmake --preset native $tests >/dev/null
cmake --build --preset native --target mirrolet mirrolet-pack >/dev/null

sandbox=$(mktemp -d /tmp/mirrolet-demo.XXXXXX)
export LC_ALL=C.UTF-8
export MIRROLET_REGISTRY="$sandbox/registry.reg"

# The products as their installers left them.
mkdir -p "$sandbox/Halvix/Data" "$sandbox/Pruvex/Data"
echo "Halvix 1.0" > "$sandbox/Halvix/halvix.dll"
echo "Pruvex 1.0" > "$sandbox/Pruvex/pruvex.dll"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Halvix]\r\n"WorkPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Pruvex]\r\n"WorkPath"="%s"\r\n' \
  "$sandbox/Halvix" "$sandbox/Pruvex" > "$MIRROLET_REGISTRY"

# The new files, laid out as in the products' folders. mirrolet-pack makes
# the update folder from them: the files, the copy list and the program.
mkdir -p "$sandbox/release/Data"
echo "shared runtime 2.0" > "$sandbox/release/runtime.dll"
echo "使用說明 2.0" > "$sandbox/release/使用說明.txt"
echo "ui resources 2.0" > "$sandbox/release/Data/ui.res"
# The stand-in's code page is its locale's, UTF-8 here (Big5, 950, is the
# default, for Traditional Chinese Windows). Both products have a Data folder,
# so that warning is accepted; any other stops the demo.
echo "== mirrolet-pack build release update --exe build/native/mirrolet --code-page 65001 --allow folder-needed"
build/native/mirrolet-pack build "$sandbox/release" "$sandbox/update" --exe build/native/mirrolet --code-page 65001 \
  --allow folder-needed >/dev/null
echo "== mirrolet-pack check update --code-page 65001 --exe mirrolet --allow folder-needed"
echo "   (the Linux program is mirrolet, not MirroletV2.exe)"
# Each step must exit 0: with the one warning accepted, the update is clean.
report=$(cd "$sandbox" && "$OLDPWD/build/native/mirrolet-pack" check update --code-page 65001 --exe mirrolet \
  --allow folder-needed)
echo "$report" | sed 's/^/   /'

echo "== mirrolet-pack bundle update download/mirrolet --exe build/native/mirrolet --code-page 65001 --allow folder-needed"
mkdir "$sandbox/download"
report=$(build/native/mirrolet-pack bundle "$sandbox/update" "$sandbox/download/mirrolet" --exe build/native/mirrolet \
  --code-page 65001 --allow folder-needed)
echo "$report" | tail -1 | sed 's/^/   /'

echo "== Sandbox: $sandbox"
echo "== Registry ($MIRROLET_REGISTRY):"
sed 's/^/   /' "$MIRROLET_REGISTRY" | tr -d '\r'
echo "== Copy list (update/mirrolet.ini):"
sed 's/^/   /' "$sandbox/update/mirrolet.ini" | tr -d '\r'
echo "== Running download/mirrolet, the bundle alone in its folder, answering Yes:"
status=0
echo y | "$sandbox/download/mirrolet" 2>&1 || status=$?
echo
echo "== Exit status: $status"
echo "== The products now:"
(cd "$sandbox" && find Halvix Pruvex -type f | sort | while read -r f; do printf '   %-28s %s\n' "$f" "$(cat "$f")"; done)
echo "== Remove the sandbox with: rm -rf $sandbox"
exit "$status"
