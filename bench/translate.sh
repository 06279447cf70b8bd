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

# Best CPU seconds of RUNS runs of a command whose output is thrown away.
cpu() {
  local best="" t
  for _ in $(seq "$RUNS"); do
    t=$( { TIMEFORMAT='%U %S'; time "$@" > /dev/null; } 2>&1 | awk '{print $1 + $2}')
    best=$(awk -v b="$best" -v t="$t" 'BEGIN{print (b == "" || t < b) ? t : b}')
  done
  echo "$best"
}
# Ours: the bench reports the best CPU time of its runs.
ours() { "$BENCH" "$work/map" "$log" "$1" 9 "$RUNS" | awk '{print $5}'; }
row() {  # label tool_seconds ours_seconds
  awk -v l="$1" -v t="$2" -v o="$3" -v b="$bytes" 'BEGIN{
    printf "%-16s %8.3f s %8.1f MB/s   %8.3f s %8.1f MB/s   %6.3f\n", l, t, b/t/1e6, o, b/o/1e6, o/t }'
}

printf "%-16s %22s   %22s   %6s\n" "" "tool on the log" "logvane translation" "ratio"
row "gzip -9" "$(cpu gzip -9 -c "$log")" "$(ours gzip)"
row "bzip2 -9" "$(cpu bzip2 -9 -c "$log")" "$(ours bzip2)"
# No compression: beside a plain copy of the log into the same directory.
row "none (vs cp)" "$(cpu cp "$log" "$work/copy")" "$(ours none)"
out=$log.out
echo "translated text: $(awk -v b="$(stat -c %s "$out")" 'BEGIN{printf "%.1f", b/1e6}') MB;" \
  "on it gzip -9 takes $(cpu gzip -9 -c "$out") s, bzip2 -9 $(cpu bzip2 -9 -c "$out") s"
