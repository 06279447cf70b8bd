#!/bin/bash
# Translation pass throughput beside the compressors it feeds, in one run, on
# one generated log with every address resolved (the table comes from the
# log's map, so no DNS is involved).
#   bench/translate.sh [BUILD_DIR] [LINES]
# BUILD_DIR holds translate_bench (default: build). Files go to a memory-backed
# directory when there is one, so that the disk does not set the pace. Times
# are CPU seconds (user + system), best of RUNS (default 3): on a shared
# machine the wall clock measures the neighbours.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
LINES=${2:-1000000}
RUNS=${RUNS:-3}
BENCH=$BUILD/translate_bench
[ -x "$BENCH" ] || { echo "no $BENCH: build first" >&2; exit 1; }

base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/translate_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/access.log
python3 bench/genlog.py -n "$LINES" -d 20000 --unresolved 0 --map "$work/map" -o "$log"
bytes=$(stat -c %s "$log")
echo "log: $LINES lines, $(awk -v b="$bytes" 'BEGIN{printf "%.1f", b/1e6}') MB," \
  "$(wc -l < "$work/map") addresses, all resolved"

# CPU seconds of one run of a command whose output is thrown away.
cpu() { { TIMEFORMAT='%U %S'; time "$@" > /dev/null; } 2>&1 | awk '{print $1 + $2}'; }
# Ours: the bench reports the CPU time of its run.
ours() { "$BENCH" "$work/map" "$log" "$1" 9 1 | awk '{print $5}'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN{print (a == "" || b < a) ? b : a}'; }

# The tools and the pass take turns, so that all meet the same neighbours;
# the best of RUNS turns is kept for each. The translation is longer than the
# log (names are longer than addresses), so the compressor is also timed on
# the translated text: the bytes the pass really hands it.
row() {  # label kind tool...
  local label=$1 kind=$2 t="" x="" o=""
  shift 2
  for _ in $(seq "$RUNS"); do
    t=$(min "$t" "$(cpu "$@" "$log")")
    if [ "$kind" != none ]; then x=$(min "$x" "$(cpu "$@" "$out")"); fi
    o=$(min "$o" "$(ours "$kind")")
  done
  awk -v l="$label" -v t="$t" -v x="$x" -v o="$o" -v b="$bytes" 'BEGIN{
    printf "%-14s %8.3f s %7.1f MB/s", l, t, b/t/1e6
    if (x == "") printf "  %10s %6s", "-", "-"; else printf "  %8.3f s %6.3f", x, o/x
    printf "  %8.3f s %7.1f MB/s  %6.3f\n", o, b/o/1e6, o/t }'
}

out=$log.out
"$BENCH" "$work/map" "$log" none 9 1 > /dev/null
echo "translated text: $(awk -v b="$(stat -c %s "$out")" 'BEGIN{printf "%.1f", b/1e6}') MB"
echo "MB/s are of the log's bytes; ratios are logvane's time over the tool's"
printf "%-14s %24s %19s %25s %8s\n" "" "tool on the log" "on translation" \
  "logvane" "vs log"
row "gzip -9" gzip gzip -9 -c
row "bzip2 -9" bzip2 bzip2 -9 -c
# No compression: beside a plain copy of the log into the same directory.
copy() { cp "$1" "$work/copy"; }
row "none (vs cp)" none copy
