#!/bin/sh
# How fast a durable update is, against cp on the same disk:
#   bench/copy_bench.sh [ROUNDS]
# Builds the Linux program (native-release preset), then for each data set
# runs, alternating, a whole update (answered Yes), `cp --preserve=timestamps`
# and `cp --preserve=timestamps ... && sync`, after one warm-up round each.
# Prints medians, the ratios, the peak resident memory of the update, and the
# time from start to the first box (a run answered No at once, so an upper bound).
set -eu
cd "$(dirname "$0")/.."
rounds=${1:-3}
scripts/install-deps.sh cmake make g++ time >/dev/null
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target mirrolet >/dev/null
program=$PWD/build/native-release/mirrolet

work=$(mktemp -d "${TMPDIR:-/var/tmp}/mirrolet-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8 MIRROLET_REGISTRY="$work/registry.reg"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Halvix]\r\n"WorkPath"="%s"\r\n' "$work/product" \
  > "$MIRROLET_REGISTRY"

# make_set COUNT SIZE_KIB: an update folder of COUNT files of SIZE_KIB each,
# its list, and a product that already holds every file.
make_set() {
  rm -rf "$work/update" "$work/product"
  mkdir -p "$work/update/files" "$work/product/files"
  cp "$program" "$work/update/mirrolet"
  i=1
  {
    printf '[MAIN]\r\nSUM=%d\r\n' "$1"
    while [ "$i" -le "$1" ]; do
      printf 'FILE%03d=files\\f%d\r\nCOPYTO%03d=$APPPATH$files\\f%d\r\n' "$i" "$i" "$i" "$i"
      i=$((i + 1))
    done
  } > "$work/update/mirrolet.ini"
  if [ "$1" -le 4 ]; then
    i=1
    while [ "$i" -le "$1" ]; do head -c "$(($2 * 1024))" /dev/urandom > "$work/update/files/f$i"; i=$((i + 1)); done
  else
    head -c "$(($2 * 1024))" /dev/urandom > "$work/seed"
    i=1
    while [ "$i" -le "$1" ]; do cp "$work/seed" "$work/update/files/f$i"; i=$((i + 1)); done
  fi
  cp -r "$work/update/files/." "$work/product/files/"
  sync
}

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One timed round of each; appends seconds to the three files and RSS to a fourth.
round() {
  start=$(now)
  echo y | /usr/bin/time -f %M -o "$work/rss" "$work/update/mirrolet" 2>/dev/null
  echo "$(now) - $start" | bc >> "$work/t.mirrolet"
  cat "$work/rss" >> "$work/t.rss"
  start=$(now)
  cp --preserve=timestamps -r "$work/update/files/." "$work/product/files/"
  echo "$(now) - $start" | bc >> "$work/t.cp"
  start=$(now)
  cp --preserve=timestamps -r "$work/update/files/." "$work/product/files/" && sync
  echo "$(now) - $start" | bc >> "$work/t.cpsync"
}

measure() {  # NAME COUNT SIZE_KIB
  make_set "$2" "$3"
  rm -f "$work"/t.*
  round
  rm -f "$work"/t.*
  r=0
  while [ "$r" -lt "$rounds" ]; do round; r=$((r + 1)); done
  m=$(median < "$work/t.mirrolet")
  c=$(median < "$work/t.cp")
  s=$(median < "$work/t.cpsync")
  rss=$(sort -n "$work/t.rss" | tail -1)
  printf '| %-16s | %8.3f s | %8.3f s | %8.3f s | %5.2f × | %6.1f MiB |\n' "$1" "$m" "$c" "$s" \
    "$(echo "$m / $s" | bc -l)" "$(echo "$rss / 1024" | bc -l)"
  echo "$m" > "$work/last"
}

command -v bc >/dev/null || scripts/install-deps.sh bc >/dev/null
echo "| data             | Mirrolet   | cp         | cp && sync | ratio   | peak RSS   |"
echo "|------------------|------------|------------|------------|---------|------------|"
measure "1 GiB in 4 files" 4 262144
measure "10,000 × 4 KiB" 10000 4
ten_thousand=$(cat "$work/last")
measure "100 × 4 KiB" 100 4
hundred=$(cat "$work/last")
printf '10,000 entries against 100: %.1f × (linear: 100 ×)\n' "$(echo "$ten_thousand / $hundred" | bc -l)"

make_set 1 1
for r in 1 2 3 4 5; do
  start=$(now)
  "$work/update/mirrolet" </dev/null 2>/dev/null || true
  echo "$(now) - $start" | bc
done | median | awk '{ printf "start to first box: %.1f ms\n", $1 * 1000 }'
