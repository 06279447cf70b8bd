#!/usr/bin/python3
"""Throughput and memory of a whole logvane run against nsd on loopback.

  bench/resolve_bench.py [--binary PATH] [-n LINES] [-d DISTINCT]
                         [--unresolved 0.2] [--compress gzip|bzip2|none]
                         [--runs 2] [--filter ROUNDS] [--keep]

Generates a log with bench/genlog.py, serves its address map with nsd (the
addresses left out of the map get NXDOMAIN), then runs logvane -translate
--runs times in the same directory: the first run starts with no cache file,
later ones reuse it. Prints wall time, lines per second and peak memory of
each run. With --filter, the cache now warm, it then times the same
translation as a filter (`cat LOG | logvane -translate - > OUT`) beside the
file translation, best of ROUNDS each, taking turns. Runs inside a private
network namespace (tests/e2e/harness.py re-executes it under scripts/netns),
so no query can leave loopback.
"""

import argparse
import os
import resource
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import harness  # noqa: E402  (enters the private network namespace)
sys.path.insert(0, str(ROOT / "bench"))
import genlog  # noqa: E402


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0


def children_cpu():
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    return ru.ru_utime + ru.ru_stime


def filter_rounds(args, work, log, opt, nsd):
    """Best wall and CPU time (cat's included) of the file translation and of
    the filter, in turns."""
    pipe = ["sh", "-c", 'cat "$LV_LOG" | "$0" "$@" > "$LV_LOG.filtered"']
    wall, cpu = {}, {}
    for _ in range(args.filter):
        for kind, wrap, name in [("file", (), str(log)), ("filter", pipe, "-")]:
            before = children_cpu()
            r = harness.run_logvane(["-translate"] + opt + [name], cwd=work, dns=nsd,
                                    timeout=args.timeout, env={"LV_LOG": str(log)}, wrap=wrap)
            if r.rc != 0:
                print(r)
                return 1
            wall[kind] = min(wall.get(kind, r.elapsed), r.elapsed)
            cpu[kind] = min(cpu.get(kind, 1e9), children_cpu() - before)
    out = {"gzip": ".gz", "bzip2": ".bz2", "none": ".out"}[args.compress]
    same = Path(str(log) + out).read_bytes() == Path(str(log) + ".filtered").read_bytes()
    print("warm, best of %d: wall file %.2fs, filter %.2fs, ratio %.3fx; CPU file %.2fs, "
          "filter %.2fs, ratio %.3fx; outputs %s" % (
              args.filter, wall["file"], wall["filter"], wall["filter"] / wall["file"],
              cpu["file"], cpu["filter"], cpu["filter"] / cpu["file"],
              "identical" if same else "DIFFER"))
    return 0 if same else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--binary", default=os.environ.get("LOGVANE_BINARY"),
                    help="logvane binary (default $LOGVANE_BINARY)")
    ap.add_argument("-n", "--lines", type=int, default=1000000)
    ap.add_argument("-d", "--distinct", type=int, default=20000)
    ap.add_argument("--unresolved", type=float, default=0.2)
    ap.add_argument("--compress", choices=["gzip", "bzip2", "none"], default="gzip")
    ap.add_argument("--runs", type=int, default=2)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--filter", type=int, default=0, metavar="ROUNDS",
                    help="then time filter mode beside the file translation")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("--timeout", type=float, default=1800)
    args = ap.parse_args()
    if not args.binary:
        ap.error("no binary: pass --binary or set LOGVANE_BINARY")
    os.environ["LOGVANE_BINARY"] = str(Path(args.binary).resolve())

    tmp = harness.TempDir(keep=args.keep, prefix="logvane-bench-")
    work = tmp.path
    try:
        log, amap = work / "access.log", work / "zone.map"
        t0 = time.monotonic()
        # In-process, so that the children's peak RSS is logvane's alone.
        gen = argparse.Namespace(lines=args.lines, distinct=args.distinct, seed=args.seed,
                                 second=0.05, map=str(amap), unresolved=args.unresolved,
                                 zipf=1.1, rate=20, start=1704067200)
        with open(log, "w", buffering=1 << 20) as out:
            genlog.generate(gen, out)
        print("generated %d lines (%.1f MB) in %.1fs" % (
            args.lines, log.stat().st_size / 1e6, time.monotonic() - t0))
        mapping = harness.nsdserve.read_map(str(amap))
        opt = {"gzip": [], "bzip2": ["-bzip2"], "none": ["-normal"]}[args.compress]
        with harness.NSD(mapping) as nsd:
            print("nsd serving %d names on %s" % (len(mapping), nsd.server))
            for i in range(args.runs):
                r = harness.run_logvane(["-translate", "-verbose"] + opt + [str(log)], cwd=work,
                                        dns=nsd, timeout=args.timeout, dns_timeout=1000,
                                        dns_tries=3)
                if r.rc != 0:
                    print(r)
                    return 1
                print("run %d (%s cache): %.2fs, %.0f lines/s, peak RSS of runs so far %.1f MB" % (
                    i + 1, "cold" if i == 0 else "warm", r.elapsed, args.lines / r.elapsed,
                    peak_rss_mb()))
                for line in r.out.splitlines():
                    if line.startswith(("Looked up", "Wrote", "Translated", "  ")):
                        print("    " + line)
            if args.filter and filter_rounds(args, work, log, opt, nsd) != 0:
                return 1
    finally:
        tmp.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
