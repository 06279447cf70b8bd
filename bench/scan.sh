#!/usr/bin/env bash
# The lookup pass against ripgrep, its cost per line with a small and a big
# cache, and a cold-cache run against Apache's logresolve, on generated logs,
# printed side by side.
#   bench/scan.sh [BUILD_DIR]        (default: build; needs scan_bench, logvane)
# Environment: LINES (1000000), DISTINCT (20000), BIG (1000000 cached
# addresses), RUNS (5: interleaved runs, medians; scan_bench keeps the best
# of 3 passes in each).
# Everything that can send a query runs in a private network namespace
# (scripts/netns; logresolve's also in a private mount namespace, where a
# resolv.conf naming 127.0.0.1 is bound over /etc/resolv.conf), against nsd
# on loopback port 53 of that namespace.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
LINES=${LINES:-1000000}
DISTINCT=${DISTINCT:-20000}
BIG=${BIG:-1000000}
RUNS=${RUNS:-5}
for tool in rg logresolve nsd /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "scan.sh: $tool is missing" >&2; exit 2; }
done
for bin in scan_bench logvane; do
  [ -x "$BUILD/$bin" ] || { echo "scan.sh: build $BUILD/$bin first" >&2; exit 2; }
done
WORK=$(mktemp -d /tmp/logvane-scan-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "generating $LINES lines, $DISTINCT addresses..." >&2
/usr/bin/python3 "$ROOT/bench/genlog.py" -n "$LINES" -d "$DISTINCT" \
  -o "$WORK/access.log" --map "$WORK/zone.map"
echo "generating $LINES lines over $BIG cached addresses..." >&2
/usr/bin/python3 "$ROOT/bench/genlog.py" -n "$LINES" -d "$BIG" --unresolved 0 \
  -o "$WORK/big.log" --map "$WORK/big.map"
LOG="$WORK/access.log"
BYTES=$(stat -c %s "$LOG")
cat "$LOG" "$WORK/big.log" >/dev/null  # page cache warm for everyone

# 1. Lookup pass with every address already named: no query is made. The
# small cache holds the log's addresses, the big one BIG addresses.
SCAN_S="" SCAN_CPU="" RG_S="" RG_CPU="" SMALL_NS="" BIG_NS=""
for _ in $(seq "$RUNS"); do
  out=$("$ROOT/scripts/netns" "$BUILD/scan_bench" "$LOG" 3 "$WORK/zone.map")
  SCAN_OUT=$out
  SCAN_S+=" ${out%% *}"
  SCAN_CPU+=" $(sed -n 's/.*cpu \([0-9.]*\) s.*/\1/p' <<<"$out")"
  SMALL_NS+=" $(sed -n 's/.* \([0-9]*\) ns\/line.*/\1/p' <<<"$out")"
  out=$("$ROOT/scripts/netns" "$BUILD/scan_bench" "$WORK/big.log" 3 "$WORK/big.map")
  BIG_OUT=$out
  BIG_NS+=" $(sed -n 's/.* \([0-9]*\) ns\/line.*/\1/p' <<<"$out")"
  t0=$(now)
  RG_N=$(/usr/bin/time -f '%U %S' -o "$WORK/rg.time" rg -c '([0-9]{1,3}\.){3}[0-9]{1,3}' "$LOG")
  t1=$(now)
  RG_S+=" $(secs "$t0" "$t1")"
  RG_CPU+=" $(awk '{ print $1 + $2 }' "$WORK/rg.time")"
done
for v in SCAN_S SCAN_CPU RG_S RG_CPU SMALL_NS BIG_NS; do
  printf -v "$v" '%s' "$(median <<<"${!v}")"
done

# 2. Cold cache against nsd: logvane (lookups only, then with -translate)
# and logresolve, one after the other on the same zone.
cat >"$WORK/inner.sh" <<'EOF'
set -eu
ROOT=$1 BUILD=$2 WORK=$3
printf 'nameserver 127.0.0.1\noptions attempts:2 timeout:5\n' >"$WORK/resolv.conf"
mount --bind "$WORK/resolv.conf" /etc/resolv.conf
/usr/bin/python3 "$ROOT/tests/dns/nsdserve.py" --map "$WORK/zone.map" --port 53 \
  --dir "$WORK/nsd" >"$WORK/nsd.out" 2>&1 &
NSD_PID=$!
trap 'kill "$NSD_PID" 2>/dev/null; wait "$NSD_PID" 2>/dev/null || true' EXIT
/usr/bin/python3 - <<'PY'
import socket, sys, time
q = (b"\x12\x34\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00"
     b"\x07in-addr\x04arpa\x00\x00\x06\x00\x01")
deadline = time.monotonic() + 120
while time.monotonic() < deadline:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.2)
    try:
        s.sendto(q, ("127.0.0.1", 53))
        if s.recv(512)[:2] == b"\x12\x34":
            sys.exit(0)
    except OSError:
        time.sleep(0.1)
    finally:
        s.close()
sys.exit("nsd did not start")
PY
now() { date +%s.%N; }
mkdir "$WORK/lookup" "$WORK/lv"
printf 'dns-servers 127.0.0.1:53\n' | tee "$WORK/lookup/logvane.cfg" >"$WORK/lv/logvane.cfg"
cd "$WORK/lookup"
t0=$(now)
"$BUILD/logvane" "$WORK/access.log" >"$WORK/lookup.out" || true
t1=$(now)
cd "$WORK/lv"
"$BUILD/logvane" -translate -normal "$WORK/access.log" >"$WORK/logvane.out" || true
t2=$(now)
/usr/bin/logresolve -s "$WORK/logresolve.stats" <"$WORK/access.log" >"$WORK/logresolve.log"
t3=$(now)
echo "$t0 $t1 $t2 $t3"
EOF
echo "cold-cache runs against nsd..." >&2
read -r T0 T1 T2 T3 < <("$ROOT/scripts/netns" -m bash "$WORK/inner.sh" "$ROOT" "$BUILD" "$WORK") || true
if [ -z "${T3:-}" ]; then
  echo "scan.sh: the cold-cache runs failed; nsd said:" >&2
  cat "$WORK/nsd.out" >&2 || true
  exit 1
fi
LK_S=$(secs "$T0" "$T1")
LV_S=$(secs "$T1" "$T2")
LR_S=$(secs "$T2" "$T3")
CACHED=$(wc -l <"$WORK/lv/dnscache")
FAILED=$(grep -c ' \*$' "$WORK/lv/dnscache" || true)
DIFFER=$(paste -d' ' <(cut -d' ' -f1 "$WORK/access.log.out") <(cut -d' ' -f1 "$WORK/logresolve.log") \
  | awk '$1 != $2 { n++ } END { print n + 0 }')

awk -v lines="$LINES" -v bytes="$BYTES" -v scan="$SCAN_S" -v rg="$RG_S" -v rgn="$RG_N" \
    -v lk="$LK_S" -v lv="$LV_S" -v lr="$LR_S" -v cached="$CACHED" -v failed="$FAILED" -v differ="$DIFFER" \
    -v detail="$SCAN_OUT" -v big="$BIG_OUT" -v scpu="$SCAN_CPU" -v rgcpu="$RG_CPU" \
    -v small_ns="$SMALL_NS" -v big_ns="$BIG_NS" -v nbig="$BIG" -v runs="$RUNS" 'BEGIN {
  printf "log: %d lines, %.1f MB; medians of %d interleaved runs\n", lines, bytes / 1e6, runs
  printf "%-38s %10s %10s %9s  %s\n", "", "logvane", "other", "ratio", "target"
  printf "%-38s %9.3fs %9.3fs %8.2fx  %s\n", "lookup pass, all cached / rg -c",
         scan, rg, rg / scan, "rg/scan >= 1"
  printf "%-38s %9.3fs %9.3fs %8.2fx  %s\n", "  the same in processor time",
         scpu, rgcpu, rgcpu / scpu, "(load-independent)"
  printf "%-38s %8dns %8dns %9.2f  %s\n", sprintf("per line, %d / log-sized cache", nbig),
         big_ns, small_ns, big_ns / small_ns, "big/small <= 1.5 (processor time)"
  printf "%-38s %9.3fs %9.3fs %9.2f  %s\n", "first run, lookups only / logresolve",
         lk, lr, lk / lr, "logvane/logresolve <= 0.5"
  printf "%-38s %9.3fs %9.3fs %9.2f  %s\n", "first run -translate -normal / same",
         lv, lr, lv / lr, "(both write the resolved log)"
  printf "scan_bench: %s\nscan_bench, big cache: %s\n", detail, big
  printf "rg -c lines: %d; logvane cache: %d entries, %d failed; first fields that differ from logresolve: %d\n",
         rgn, cached, failed, differ
}'
