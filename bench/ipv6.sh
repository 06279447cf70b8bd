#!/usr/bin/env bash
# Warm runs with "ipv6" on against the same runs with it off, on the bench log
# with a fraction of its clients rewritten as IPv6 addresses.
#   bench/ipv6.sh [BUILD_DIR]        (default: build; needs logvane)
# Environment: LINES (1000000), DISTINCT (20000), V6 (0.05: fraction of the
# lines whose client is rewritten, a client always the same way), RUNS (3,
# best of).
# Everything runs in a private network namespace: the cold run that fills the
# cache asks tests/dns/fakedns.py on loopback; the warm runs name a loopback
# port nobody answers on (and ask nothing: the cache holds every address).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
export LINES=${LINES:-1000000} DISTINCT=${DISTINCT:-20000} V6=${V6:-0.05} RUNS=${RUNS:-3}
[ -x "$BUILD/logvane" ] || { echo "ipv6.sh: build $BUILD/logvane first" >&2; exit 2; }
WORK=$(mktemp -d /tmp/logvane-ipv6-bench.XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$WORK"' EXIT

echo "generating $LINES lines, $DISTINCT addresses, $V6 of the lines with an IPv6 client..." >&2
/usr/bin/python3 "$ROOT/bench/genlog.py" -n "$LINES" -d "$DISTINCT" -o "$WORK/v4.log"
# Clients in the order of a hash of their address are written as
# 2001:db8:a:b::cd until they hold V6 of the lines.
/usr/bin/python3 - "$WORK/v4.log" "$WORK/access.log" <<'PY'
import collections, os, sys, zlib
share = float(os.environ["V6"])
def v6(a):
    o = [int(x) for x in a.split(".")]
    return "2001:db8:%x:%x::%x" % (o[0], o[1], o[2] << 8 | o[3])
with open(sys.argv[1]) as src:
    lines = collections.Counter(line.split(" ", 1)[0] for line in src)
total, chosen, covered = sum(lines.values()), set(), 0
for client in sorted(lines, key=lambda a: zlib.crc32(a.encode())):
    if covered >= share * total:
        break
    chosen.add(client)
    covered += lines[client]
with open(sys.argv[1]) as src, open(sys.argv[2], "w", buffering=1 << 20) as out:
    for line in src:
        client, rest = line.split(" ", 1)
        out.write((v6(client) if client in chosen else client) + " " + rest)
print("%d of %d clients, %d of %d lines now IPv6" % (len(chosen), len(lines), covered, total), file=sys.stderr)
PY
cat "$WORK/access.log" >/dev/null

cat >"$WORK/inner.sh" <<'EOF'
set -eu
ROOT=$1 BUILD=$2 WORK=$3
ip link set lo up
cd "$WORK"
echo '{"default": "auto", "rules": {}}' >rules.json
/usr/bin/python3 "$ROOT/tests/dns/fakedns.py" --rules rules.json --log queries.log --port 0 \
  --port-file port >/dev/null 2>fakedns.err &
DNS_PID=$!
trap 'kill "$DNS_PID" 2>/dev/null || true; wait "$DNS_PID" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s port ] && break; sleep 0.1; done
printf 'dns-servers 127.0.0.1:%s\nipv6 yes\n' "$(cut -d' ' -f1 port)" >logvane.cfg
"$BUILD/logvane" -verbose access.log >cold.out || true
grep -h 'Looked up' cold.out >&2
kill "$DNS_PID"
# The warm caches: all of it with ipv6 on, its IPv4 lines with it off.
cp dnscache cache.on
grep -v ':' dnscache >cache.off || true
echo "cache: $(wc -l <cache.on) entries, $(grep -c ':' cache.on) IPv6" >&2
for mode in on off; do
  printf 'dns-servers 127.0.0.1:9\ndns-timeout 100\ndns-tries 1\nipv6 %s\n' \
    "$([ $mode = on ] && echo yes || echo no)" >"$mode.cfg"
done
# One checked run each: nothing asked.
for mode in on off; do
  cp "cache.$mode" dnscache
  "$BUILD/logvane" -settings "$mode.cfg" -verbose access.log | grep 'Looked up' | sed "s/^/$mode: /" >&2
done
run() {  # mode label args...: "wall cpu" of one run
  local mode=$1
  shift 2
  cp "cache.$mode" dnscache
  /usr/bin/time -f '%e %U %S' -o t.out "$BUILD/logvane" -settings "$mode.cfg" "$@" access.log >/dev/null || true
  tail -1 t.out | awk '{ printf "%s %.2f\n", $1, $2 + $3 }'
}
for label in lookups normal gzip; do
  case $label in lookups) args=() ;; normal) args=(-translate -normal) ;; gzip) args=(-translate) ;; esac
  for _ in $(seq "$RUNS"); do
    for mode in off on; do echo "$label $mode $(run "$mode" "$label" ${args[@]+"${args[@]}"})"; done
  done
done
EOF
echo "warm runs, best of $RUNS, off and on taking turns..." >&2
unshare -n -- bash "$WORK/inner.sh" "$ROOT" "$BUILD" "$WORK" >"$WORK/times"
awk '
  { k = $1 " " $2; if (!(k in w) || $3 < w[k]) w[k] = $3; if (!(k in c) || $4 < c[k]) c[k] = $4 }
  END {
    printf "%-28s %8s %8s %7s   %8s %8s %7s\n", "warm run (best of runs)", "off s", "on s", "ratio", "off cpu", "on cpu", "ratio"
    n = split("lookups normal gzip", L, " ")
    split("lookups only|-translate -normal|-translate (gzip -9)", T, "|")
    for (i = 1; i <= n; i++) {
      a = L[i] " off"; b = L[i] " on"
      printf "%-28s %8.2f %8.2f %6.2fx   %8.2f %8.2f %6.2fx\n", T[i], w[a], w[b], w[b] / w[a], c[a], c[b], c[b] / c[a]
    }
    print "target: on/off <= 1.2x"
  }' "$WORK/times"
