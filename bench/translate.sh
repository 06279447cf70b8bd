#!/bin/sh
# Translation pass throughput beside the compressors it feeds, on one generated
# log with every address resolved (the table comes from the log's map, so no
# DNS is involved).
#   bench/translate.sh [BUILD_DIR] [LINES]
# BUILD_DIR holds translate_bench (default: build). Files go to a memory-backed
# directory when there is one, so the disk does not set the pace.
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build}
LINES=${2:-1000000}
BENCH=$BUILD/translate_bench
[ -x "$BENCH" ] || { echo "no $BENCH: build first" >&2; exit 1; }

base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/translate_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/access.log
python3 bench/genlog.py -n "$LINES" -d 20000 --unresolved 0 --map "$work/map" -o "$log"
bytes=$(stat -c %s "$log")
mb=$(awk "BEGIN{printf \"%.1f\", $bytes/1e6}")
echo "log: $LINES lines, $mb MB, $(wc -l < "$work/map") resolved addresses"

# Best of three wall-clock seconds of a shell command.
best() {
  b=""
  for _ in 1 2 3; do
    s=$(date +%s.%N)
    sh -c "$1" > /dev/null
    e=$(date +%s.%N)
    b=$(awk -v b="$b" -v t="$(echo "$e - $s" | bc)" 'BEGIN{print (b=="" || t<b) ? t : b}')
  done
  echo "$b"
}

ours() { "$BENCH" "$work/map" "$log" "$1" "$2" 3 | cut -d' ' -f1; }
row() {  # label tool_seconds ours_seconds
  awk -v l="$1" -v t="$2" -v o="$3" -v b="$bytes" 'BEGIN{
    if (t == "") printf "%-22s %8s %9s %8.3f s %8.1f MB/s\n", l, "-", "-", o, b/o/1e6;
    else printf "%-22s %8.3f s %9.1f %8.3f s %8.1f MB/s  ratio %.3f\n", l, t, b/t/1e6, o, b/o/1e6, o/t }'
}

printf "%-22s %10s %9s %10s %13s\n" "" "tool" "MB/s" "logvane" "MB/s"
g=$(best "gzip -9 -c '$log'")
row "gzip -9" "$g" "$(ours gzip 9)"
b=$(best "bzip2 -9 -c '$log'")
row "bzip2 -9" "$b" "$(ours bzip2 9)"
c=$(best "cat '$log'")
row "none (vs cat)" "$c" "$(ours none 9)"
# The translated text is longer than the log: the compressors on it, for scale.
"$BENCH" "$work/map" "$log" none 9 1 > /dev/null
out=$log.out
echo "translated text: $(awk "BEGIN{printf \"%.1f\", $(stat -c %s "$out")/1e6}") MB;" \
  "gzip -9 on it: $(best "gzip -9 -c '$out'") s, bzip2 -9 on it: $(best "bzip2 -9 -c '$out'") s"
