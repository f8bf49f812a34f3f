#!/usr/bin/env bash
# A mutation run: makes one small fault at a time in the code under src/ (a comparison flipped, a
# bound off by one, a statement that updates state dropped, a branch inverted, && for ||, true for
# false), builds the Linux program and its suites with it and runs `ctest --preset native`. A fault
# the suites fail on is killed; one they pass survived. Prints each mutant's outcome, the score per
# folder, the survivors and the tests that killed none of the mutants (each mutant runs every
# test). A mutant that does not compile is left out of the score.
#
#   scripts/mutate.sh [-n SAMPLE] [-s SEED] [-t SECONDS] [-x REGEX] [-l] [FILTER...]
#
#   FILTER     paths under src/ the faults go in, a folder or a file (default: all of src/ that the
#              Linux build compiles)
#   -n SAMPLE  make SAMPLE mutants, spread evenly over the folders (default: every candidate)
#   -s SEED    which sample (default 1): the same seed, tree and filter give the same mutants
#   -t SECONDS time for one mutant's build and for its tests, each (default 600 and 300)
#   -x REGEX   leave out the files whose path matches REGEX
#   -l         list the candidates and exit
#
# The work tree is never changed: the run keeps a copy of it in build/mutate/tree, with one build
# folder that each mutant rebuilds incrementally (through ccache where it is installed), and writes
# its results to build/mutate/results.txt. It runs at the lowest priority. A run over every
# candidate takes hours; a sample of 60 to 100 gives the score to within about five points.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
[ "${MIRROLET_MUTATE_NICE:-}" = done ] || MIRROLET_MUTATE_NICE=done exec nice -n 19 "$0" "$@"

sample=0 seed=1 build_time=600 test_time=300 exclude='' list=0
while getopts n:s:t:x:l opt; do
  case $opt in
    n) sample=$OPTARG ;;
    s) seed=$OPTARG ;;
    t) build_time=$OPTARG test_time=$OPTARG ;;
    x) exclude=$OPTARG ;;
    l) list=1 ;;
    *) sed -n '9,17p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

work=$top/build/mutate
tree=$work/tree
mkdir -p "$work"
mutator=$work/mutator.py
cat >"$mutator" <<'PY'
import random, re, sys

# Spans of a line that are code: not inside a string or character literal, not after //.
def code_mask(line):
    mask, quote, i = [False] * len(line), None, 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == '\\':
                i += 2
                continue
            if c == quote:
                quote = None
        elif c in '"\'':
            quote = c
        elif line.startswith('//', i):
            break
        else:
            mask[i] = True
        i += 1
    return mask

COMPARE = {'<': '<=', '<=': '<', '>': '>=', '>=': '>', '==': '!=', '!=': '=='}
ASSIGN = re.compile(r'^(\s*)(?:\+\+|--)?[A-Za-z_][\w.\[\]>*-]*(?:\(\))?\s*(?:=(?!=)|\+=|-=|\|=|&=|\+\+|--)')
CALL = re.compile(r'^(\s*)[A-Za-z_][\w.\[\]>*-]*\.(?:push_back|emplace_back|insert|erase|clear|append|pop_back|resize|reset|swap|assign)\(')

def balanced(text):
    depth = 0
    for c in text:
        depth += (c == '(') - (c == ')')
        if depth < 0:
            return False
    return depth == 0

def mutants_of(path):
    with open(path, encoding='utf-8') as f:
        lines = f.read().split('\n')
    in_comment = False
    for n, line in enumerate(lines, 1):
        stripped = line.strip()
        if in_comment:
            in_comment = '*/' not in stripped
            continue
        if stripped.startswith('/*'):
            in_comment = '*/' not in stripped
            continue
        if not stripped or stripped.startswith(('#', '//', '*', 'static_assert')):
            continue
        mask = code_mask(line)
        def code_at(i, text):
            return all(mask[i:i + len(text)]) and line.startswith(text, i)
        for m in re.finditer(r' (<=|>=|==|!=|<|>) ', line):
            op = m.group(1)
            if code_at(m.start(), m.group(0)):
                yield n, 'compare', line[:m.start(1)] + COMPARE[op] + line[m.end(1):]
                after = re.match(r'(\d+)\b', line[m.end():])
                if op in ('<', '<=', '>', '>=') and after:
                    k = m.end()
                    yield n, 'bound', line[:k] + str(int(after.group(1)) + 1) + line[k + len(after.group(1)):]
        for m in re.finditer(r' ([+-]) 1\b', line):
            if code_at(m.start(), m.group(0)) and not line[m.end():].startswith('.'):
                yield n, 'bound', line[:m.start()] + line[m.end():]
        for m in re.finditer(r' (&&|\|\|) ', line):
            if code_at(m.start(), m.group(0)):
                yield n, 'logic', line[:m.start(1)] + ('||' if m.group(1) == '&&' else '&&') + line[m.end(1):]
        for m in re.finditer(r'\bif \(', line):
            if not code_at(m.start(), 'if ('):
                continue
            depth, i = 1, m.end()
            while i < len(line) and depth:
                depth += (line[i] == '(') - (line[i] == ')')
                i += 1
            if depth == 0:
                cond = line[m.end():i - 1]
                yield n, 'branch', line[:m.end()] + '!(' + cond + ')' + line[i - 1:]
        for a, b in (('return true;', 'return false;'), ('return false;', 'return true;')):
            k = line.find(a)
            if k >= 0 and code_at(k, a):
                yield n, 'return', line[:k] + b + line[k + len(a):]
        code = ''.join(c for c, keep in zip(line, mask) if keep).rstrip()
        head = ASSIGN.match(line) or CALL.match(line)
        if head and code.endswith(';') and code.count(';') == 1 and balanced(code) \
                and not stripped.startswith(('return', 'case', 'auto', 'const')):
            yield n, 'drop', head.group(1) + ';'

def candidates(files):
    return [(path, line, op, new) for path in files for line, op, new in mutants_of(path)]

def folder(path):
    return path.rsplit('/', 1)[0]

def choose(files, sample, seed):
    every = candidates(files)
    if sample <= 0 or sample >= len(every):
        return every
    rng = random.Random(seed)
    by_folder = {}
    for m in every:
        by_folder.setdefault(folder(m[0]), []).append(m)
    for ms in by_folder.values():
        rng.shuffle(ms)
    chosen, left = [], sample
    folders = sorted(by_folder)
    while left > 0 and folders:
        share = max(1, left // len(folders))
        for f in list(folders):
            take, by_folder[f] = by_folder[f][:share], by_folder[f][share:]
            chosen += take[:left]
            left -= len(take[:left])
            if not by_folder[f]:
                folders.remove(f)
    return sorted(chosen, key=lambda m: (m[0], m[1]))

if __name__ == '__main__':
    sample, seed, files = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
    for path, line, op, new in choose(files, sample, seed):
        print(f'{path}\t{line}\t{op}\t{new}')
PY

# The files the Linux build compiles: src/ without the Windows host and entry points.
mapfile -t files < <(git ls-files -- "${@:-src/}" | grep -E '^src/.*\.(cpp|h)$' | grep -v -E '(^|/)win32/|_win32\.' |
  { [ -n "$exclude" ] && grep -v -E "$exclude" || cat; })
[ "${#files[@]}" -gt 0 ] || { echo "mutate: no source file matches ${*:-src/}" >&2; exit 2; }
python3 "$mutator" "$sample" "$seed" "${files[@]}" >"$work/mutants.txt"
if [ "$list" = 1 ]; then
  awk -F'\t' '{ sub("/[^/]*$", "", $1); n[$1]++ } END { for (f in n) printf "  %-22s %4d\n", f, n[f] }' "$work/mutants.txt" | sort
  echo "$(wc -l <"$work/mutants.txt") mutants"
  exit 0
fi

# The copy: every file git knows of (tracked or not ignored), copied where it differs, so that
# what did not change keeps its time stamp and stays built.
git ls-files -co --exclude-standard | while IFS= read -r f; do
  [ -f "$f" ] || continue
  if ! cmp -s "$f" "$tree/$f"; then mkdir -p "$tree/$(dirname "$f")" && cp "$f" "$tree/$f"; fi
done
cd "$tree"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake --preset native -DMIRROLET_BUILD_TESTS=ON "${launcher[@]}" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
build() { timeout "$build_time" cmake --build --preset native >"$work/build.log" 2>&1; }
suites() { timeout "$test_time" ctest --preset native --timeout 120 >"$work/test.log" 2>&1; }
build || { echo "mutate: the tree does not build as it is; see $work/build.log" >&2; exit 1; }
suites || { echo "mutate: the suites fail as they are; see $work/test.log" >&2; exit 1; }
ctest --preset native -N | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*$/\1/p' >"$work/tests.txt"

results=$work/results.txt
: >"$results"
restore() { [ -z "${current:-}" ] || cp "$top/$current" "$tree/$current"; current=; }
trap restore EXIT
total=$(wc -l <"$work/mutants.txt") i=0
while IFS=$'\t' read -r path line op new; do
  i=$((i + 1)) started=$SECONDS
  [ "${current:-}" = "$path" ] || restore
  current=$path
  cp "$top/$path" "$tree/$path"
  NEW=$new LINE=$line python3 -c '
import os, sys
path = sys.argv[1]
lines = open(path, encoding="utf-8").read().split("\n")
lines[int(os.environ["LINE"]) - 1] = os.environ["NEW"]
open(path, "w", encoding="utf-8").write("\n".join(lines))' "$tree/$path"
  if ! build; then
    outcome=UNBUILT
  elif suites; then
    outcome=SURVIVED
  else
    outcome=KILLED
  fi
  old=$(sed -n "${line}p" "$top/$path")
  failed=
  [ "$outcome" = KILLED ] && failed=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\).*$/\1/p' "$work/test.log" | paste -sd' ')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$outcome" "$path" "$line" "$op" "$old" "$new" "$failed" >>"$results"
  printf '[%d/%d] %-8s %s:%s %s (%ds)\n' "$i" "$total" "$outcome" "$path" "$line" "$op" $((SECONDS - started))
  if [ "$outcome" = SURVIVED ]; then
    printf '    - %s\n    + %s\n' "$(echo "$old" | sed 's/^ *//')" "$(echo "$new" | sed 's/^ *//')"
  fi
done <"$work/mutants.txt"
restore
build || true

echo
echo "score by folder (killed of the mutants that build):"
awk -F'\t' '
  $1 != "UNBUILT" { f = $2; sub("/[^/]*$", "", f); n[f]++; all++; if ($1 == "KILLED") { k[f]++; kill++ } }
  $1 == "UNBUILT" { unbuilt++ }
  END {
    for (f in n) printf "  %-22s %3d of %3d  %3d %%\n", f, k[f], n[f], 100 * k[f] / n[f]
    if (all) printf "  %-22s %3d of %3d  %3d %%\n", "all", kill, all, 100 * kill / all
    printf "  (%d mutants did not build)\n", unbuilt
  }' "$results" | sort -k1,1
echo
echo "tests that killed none of these mutants:"
awk -F'\t' 'NR == FNR { n = split($7, t, " "); for (i = 1; i <= n; i++) killed[t[i]] = 1; next }
  !($0 in killed) { print "  " $0 }' "$results" "$work/tests.txt"
echo
echo "survivors:"
awk -F'\t' '$1 == "SURVIVED" { old = $5; new = $6; sub(/^ +/, "", old); sub(/^ +/, "", new)
  printf "  %s:%s %s\n    - %s\n    + %s\n", $2, $3, $4, old, new }' "$results"
