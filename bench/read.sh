#!/bin/bash
# Input reader throughput against the system tools, side by side:
#   plain 1 GB  : read_bench vs cat > /dev/null
#   gzip  1 GB  : read_bench vs zcat > /dev/null
#   bzip2 200 MB: read_bench vs bzcat > /dev/null (bzip2 is slow, so a
#                 smaller log keeps the run short)
# Usage: bench/read.sh [BUILD_DIR]   (default: build). Fixtures are cached
# under /tmp/logvane_bench. RUNS=n sets the runs per tool (best is kept).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
bench=$build/read_bench
runs=${RUNS:-3}
data=/tmp/logvane_bench
[ -x "$bench" ] || { echo "no $bench: build the read_bench target first" >&2; exit 1; }
mkdir -p "$data"

# One block of combined-format lines with varied addresses, repeated.
make_log() {  # file megabytes
  [ -s "$1" ] && return
  echo "generating $1 ($2 MB)" >&2
  awk -v seed=42 'BEGIN {
    srand(seed)
    split("GET GET GET POST HEAD", m, " ")
    split("/ /index.html /img/logo.png /css/site.css /api/v1/items /search?q=logs /about", u, " ")
    split("200 200 200 304 404 301 500", s, " ")
    for (i = 0; i < 20000; i++) {
      printf "%d.%d.%d.%d - - [%02d/Oct/2023:%02d:%02d:%02d +0000] \"%s %s HTTP/1.1\" %s %d \"-\" \"Mozilla/5.0 (X11; Linux x86_64)\"\n",
        1 + int(rand() * 223), int(rand() * 256), int(rand() * 256), 1 + int(rand() * 254),
        1 + i % 28, int(rand() * 24), int(rand() * 60), int(rand() * 60),
        m[1 + int(rand() * 5)], u[1 + int(rand() * 7)], s[1 + int(rand() * 7)], int(rand() * 50000)
    } }' > "$1.block"
  local block_kb=$(( $(stat -c %s "$1.block") / 1024 ))
  local n=$(( $2 * 1024 / block_kb + 1 ))
  # head closes the pipe early on purpose: the writer's SIGPIPE is no failure.
  { for ((i = 0; i < n; i++)); do cat "$1.block"; done; } | head -c $(( $2 * 1024 * 1024 )) > "$1.tmp" || true
  rm -f "$1.block"
  mv "$1.tmp" "$1"
}

make_log "$data/access.log" 1024
make_log "$data/small.log" 200
[ -s "$data/access.log.gz" ] || gzip -c "$data/access.log" > "$data/access.log.gz"
[ -s "$data/small.log.bz2" ] || bzip2 -c "$data/small.log" > "$data/small.log.bz2"
cat "$data"/access.log* "$data"/small.log* > /dev/null  # warm the page cache

best() {  # command...: best wall time of $runs runs, in seconds
  local b="" t0 t1 t
  for ((r = 0; r < runs; r++)); do
    t0=$(date +%s.%N)
    "$@" > /dev/null
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
  done
  echo "$b"
}

row() {  # label target file tool...
  local label=$1 target=$2 file=$3
  shift 3
  local ours theirs
  ours=$(best "$bench" "$file")
  theirs=$(best "$@" "$file")
  printf "%-6s %6.3f s  %-6s %6.3f s  ratio %.2f (target >= %s)\n" \
    "$label" "$ours" "$1" "$theirs" "$(echo "$theirs / $ours" | bc -l)" "$target"
}

echo "ratio = tool time / read_bench time (1.00 = as fast as the tool)"
row plain 0.80 "$data/access.log" cat
row gzip 0.90 "$data/access.log.gz" zcat
row bzip2 0.90 "$data/small.log.bz2" bzcat
