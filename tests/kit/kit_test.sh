#!/bin/sh
# The check kit as Varnholt gets it: made by the package step, unzipped into
# an empty folder outside the build, and run by itself under Wine. Every suite
# must run, the summary's counts must be those of the JUnit files, every row
# only a real Windows answers must say so, and nothing in the kit may name the
# source tree or the build folder.
#   kit_test.sh CPACK BUILD_DIR WINE_ENV
set -eu
cpack=$1 build=$(cd "$2" && pwd) wine_env=$3
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/mirrolet-kit.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "kit_test: $*" >&2; exit 1; }

(cd "$build" && "$cpack" -B "$work/package" > "$work/cpack.txt" 2>&1) || { cat "$work/cpack.txt"; fail "cpack failed"; }
set -- "$work"/package/Mirrolet-checks-*-win64.zip
[ -f "$1" ] && [ -f "$1.sha256" ] || fail "no checks zip beside the release zip: $(ls "$work/package")"
ls "$work"/package/Mirrolet-[0-9]*-win64.zip > /dev/null || fail "no release zip"
mkdir "$work/unzipped"
(cd "$work/unzipped" && unzip -q "$1")
kit=$work/unzipped/$(basename "$1" .zip)
[ -f "$kit/run-checks.cmd" ] || fail "the zip holds no $(basename "$kit")/run-checks.cmd"
for path in "$src" "$build"; do
  found=0
  grep -rlaF "$path" "$kit" || found=$?
  [ "$found" -eq 1 ] || fail "the kit names $path"
done

status=0
(cd "$work" && "$wine_env" "$build" run cmd /c "Z:$(printf '%s' "$kit/run-checks.cmd" | tr / '\\')") < /dev/null > "$work/run.txt" 2>&1 ||
  status=$?
cat "$work/run.txt"
python3 - "$kit/results" "$status" <<'PY'
import glob, os, re, sys
import xml.etree.ElementTree as ET
results, status = sys.argv[1], int(sys.argv[2])
summary = open(os.path.join(results, "summary.txt"), encoding="utf-8").read()
problems = []
suites = sorted(os.path.basename(p)[:-4] for p in glob.glob(os.path.join(results, "*.xml")))
if suites != ["mirrolet_e2e", "mirrolet_pack", "mirrolet_tests"]:
    problems.append("suites with results: %s" % suites)
total = [0, 0, 0]
rows = []
for suite in suites:
    counts = [0, 0, 0]  # passed, failed, skipped
    for case in ET.parse(os.path.join(results, suite + ".xml")).iter("testcase"):
        kind = 1 if case.find("failure") is not None else 2 if case.get("result") == "skipped" else 0
        counts[kind] += 1
        for prop in case.iter("property"):
            if prop.get("name").startswith("real Windows: "):
                rows.append((case.get("classname") + "." + case.get("name"), prop.get("name")[14:], prop.get("value")))
    total = [a + b for a, b in zip(total, counts)]
    line = "%s: %d passed, %d failed, %d skipped" % (suite, *counts)
    if line not in summary.splitlines():
        problems.append("the summary lacks: " + line)
if "all: %d passed, %d failed, %d skipped" % tuple(total) not in summary.splitlines():
    problems.append("the summary's total is not the files' %s" % total)
if total[0] == 0 or total[1] != 0 or status != 0:
    problems.append("%d passed, %d failed, run-checks.cmd exited with %d" % (total[0], total[1], status))
if len(rows) < 6:
    problems.append("only %d rows say they need a real Windows" % len(rows))
for test, row, value in rows:
    if value != "real Windows only":
        problems.append("%s, %s: %s under Wine" % (test, row, value))
    if "%s | %s | %s" % (value, test, row) not in summary:
        problems.append("the summary does not list %s, %s" % (test, row))
print("kit under Wine: %d passed, %d rows real Windows only" % (total[0], len(rows)))
for problem in problems:
    print("kit_test:", problem, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
