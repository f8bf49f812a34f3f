#!/bin/sh
# How fast a durable update is, against cp on the same disk:
#   bench/copy_bench.sh [ROUNDS] [bundle]   # "bundle": only the last comparison
# Builds the Linux program (native-release preset), then for each data set
# runs, alternating, a whole update (answered Yes), `cp --preserve=timestamps`,
# `cp --preserve=timestamps ... && sync` and `rsync ... && sync` (which, like
# us, writes a temporary and renames it), after one warm-up round each. A data
# set either replaces files the product holds or creates them all new.
# Prints medians, the ratios, the peak resident memory of the update, and the
# time from start to the first box (a run answered No at once, so an upper bound).
# Last, the 1 GiB update into both products as one bundle against the same
# folder run, alternating, and what either left in the temporary folder.
set -eu
cd "$(dirname "$0")/.."
rounds=${1:-3}
only=${2:-}
scripts/install-deps.sh cmake make g++ libssl-dev nlohmann-json3-dev time bc rsync >/dev/null
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target mirrolet mirrolet-pack >/dev/null

work=$(mktemp -d "${TMPDIR:-/var/tmp}/mirrolet-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/tmp"
export LC_ALL=C.UTF-8 MIRROLET_REGISTRY="$work/registry.reg" TMPDIR="$work/tmp"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Halvix]\r\n"WorkPath"="%s"\r\n' "$work/product" \
  > "$MIRROLET_REGISTRY"

# make_set COUNT SIZE_KIB: an update folder of COUNT files of SIZE_KIB each
# (random bytes; one random file copied when there are many), its list, and a
# product that already holds every file (see timed for one that holds none).
make_set() {
  rm -rf "$work/update" "$work/product"
  mkdir -p "$work/update/files" "$work/product"
  cp build/native-release/mirrolet "$work/update/"
  seq "$1" | awk -v n="$1" 'BEGIN { printf "[MAIN]\r\nSUM=%d\r\n", n }
    { printf "FILE%03d=files\\f%d\r\nCOPYTO%03d=$APPPATH$files\\f%d\r\n", $1, $1, $1, $1 }' > "$work/update/mirrolet.ini"
  head -c "$(($2 * 1024))" /dev/urandom > "$work/update/files/f1"
  for i in $(seq 2 "$1"); do
    if [ "$1" -le 4 ]; then head -c "$(($2 * 1024))" /dev/urandom; else cat "$work/update/files/f1"; fi > "$work/update/files/f$i"
  done
  cp -r "$work/update/files" "$work/product/"
  sync
}

# timed FILE 'COMMAND': empties the product's folder when the data set creates
# new files (untimed), then runs COMMAND in this shell and adds its seconds to FILE.
timed() {
  # The file system frees a removed folder's inodes after the sync returns: a
  # second's pause keeps that work out of the next command's time.
  if [ "$new" = yes ]; then rm -rf "$work/product/files" && mkdir "$work/product/files" && sync && sleep 1; fi
  start=$(date +%s.%N)
  eval "$2"
  echo "$(date +%s.%N) - $start" | bc >> "$work/$1"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

round() {
  timed t.mirrolet 'echo y | /usr/bin/time -f %M -o "$work/rss" "$work/update/mirrolet" 2>/dev/null'
  cat "$work/rss" >> "$work/t.rss"
  timed t.cp 'cp --preserve=timestamps -r "$work/update/files/." "$work/product/files/"'
  timed t.cpsync 'cp --preserve=timestamps -r "$work/update/files/." "$work/product/files/" && sync'
  timed t.rsync 'rsync -rt --ignore-times "$work/update/files/" "$work/product/files/" && sync'
}

measure() {  # NAME COUNT SIZE_KIB new|replace: a warm-up round, then ROUNDS; prints a row of the table
  new=$([ "$4" = new ] && echo yes || echo no)
  make_set "$2" "$3"
  round
  rm -f "$work"/t.*
  for r in $(seq "$rounds"); do round; done
  m=$(median < "$work/t.mirrolet") s=$(median < "$work/t.cpsync")
  printf '| %-22s | %8.3f s | %8.3f s | %8.3f s | %8.3f s | %5.2f × | %6.1f MiB |\n' "$1" "$m" "$(median < "$work/t.cp")" \
    "$s" "$(median < "$work/t.rsync")" "$(echo "$m / $s" | bc -l)" \
    "$(echo "$(sort -n "$work/t.rss" | tail -1) / 1024" | bc -l)"
  echo "$m" > "$work/median.$4.$2"
}

if [ "$only" != bundle ]; then
echo "| data                   | Mirrolet   | cp         | cp && sync | rsync && sync | ratio to cp && sync | peak RSS |"
echo "|------------------------|------------|------------|------------|------------|---------|------------|"
measure "1 GiB in 4 files" 4 262144 replace
measure "10,000 × 4 KiB" 10000 4 replace
measure "100 × 4 KiB" 100 4 replace
measure "10,000 × 4 KiB, new" 10000 4 new
measure "100 × 4 KiB, new" 100 4 new
for kind in replace new; do
  printf '10,000 entries against 100 (%s): %.1f × (linear: 100 ×)\n' "$kind" \
    "$(echo "$(cat "$work/median.$kind.10000") / $(cat "$work/median.$kind.100")" | bc -l)"
done

new=no
make_set 1 1
# Twenty runs in one timing, so that the timer's own cost does not count.
timed t.first 'for r in $(seq 20); do "$work/update/mirrolet" </dev/null 2>/dev/null || true; done'
awk '{ printf "start to first box: %.1f ms\n", $1 * 1000 / 20 }' "$work/t.first"
fi

new=no
bundle_round() {
  timed t.folder 'echo y | "$work/update/mirrolet" 2>/dev/null'
  timed t.bundle 'echo y | /usr/bin/time -f %M -o "$work/rss" "$work/bundle/mirrolet" 2>/dev/null'
  cat "$work/rss" >> "$work/t.brss"
}
make_set 4 262144
cp -r "$work/product" "$work/product2"
printf '[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Pruvex]\r\n"WorkPath"="%s"\r\n' "$work/product2" >> "$MIRROLET_REGISTRY"
mkdir -p "$work/bundle"
build/native-release/mirrolet-pack bundle "$work/update" "$work/bundle/mirrolet" --exe build/native-release/mirrolet \
  --code-page 65001 >/dev/null || [ $? = 1 ]
bundle_round
rm -f "$work"/t.*
for r in $(seq "$rounds"); do bundle_round; done
b=$(median < "$work/t.bundle") f=$(median < "$work/t.folder")
printf '1 GiB in 4 files into both products as one bundle: %.3f s, the folder %.3f s (%.2f ×); peak RSS %.1f MiB\n' \
  "$b" "$f" "$(echo "$b / $f" | bc -l)" "$(echo "$(sort -n "$work/t.brss" | tail -1) / 1024" | bc -l)"
echo "left in the temporary folder: $(ls -A "$work/tmp" | wc -l) entries"
