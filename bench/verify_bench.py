#!/usr/bin/python3
"""What forward confirmation costs: cold Logvane runs over the bench log with
"verify" on and off, against nsd on loopback (authoritative for the reverse
zone and for the forward zone of every name), beside the peers' forward-checking
modes, `logresolve -c` and adnslogres (which checks by default).

  bench/verify_bench.py [--binary PATH] [-n LINES] [-d DISTINCT] [--repeat N]

Runs inside a private network and mount namespace, as bench/compare does
(whose helpers it uses). Logvane runs are interleaved, on and off, each from
an empty cache; the median of --repeat (default 5) is reported, with the
ratio of verify on to off, for `-translate -normal` and for lookups alone.
"""

import argparse
import importlib.machinery
import importlib.util
import os
import re
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
_loader = importlib.machinery.SourceFileLoader("compare", str(ROOT / "bench" / "compare"))
_spec = importlib.util.spec_from_loader("compare", _loader)
compare = importlib.util.module_from_spec(_spec)
_loader.exec_module(compare)


def logvane(args, work, verify, translate):
    for name in ("dnscache", "dnscache.bak", "access.log.out"):
        if (work / name).exists():
            (work / name).unlink()
    (work / "logvane.cfg").write_text("dns-servers 127.0.0.1:%d\ndns-timeout 1000\ndns-tries 2\nverify %s\n" % (
        compare.NSD_FAST_PORT, "on" if verify else "off"))
    run = compare.Run("a", "logvane")
    out = work / "logvane.stdout"
    argv = [args.binary, "-verbose"] + (["-translate", "-normal"] if translate else []) + ["access.log"]
    compare.timed(run, argv, work, args.timeout, stdout=out)
    text = out.read_text(errors="replace")
    m = re.search(r"Lookups: ([\d,]+) named", text)
    run.named = int(m.group(1).replace(",", "")) if m else -1
    if run.rc != (0 if translate else 1):
        sys.exit("logvane failed (rc %s), see %s" % (run.rc, out))
    return run


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--binary", default=os.environ.get("LOGVANE_BINARY", str(ROOT / "build" / "logvane")))
    ap.add_argument("-n", "--lines", type=int, default=1000000)
    ap.add_argument("-d", "--distinct", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--timeout", type=int, default=600)
    args = ap.parse_args()
    args.binary = str(Path(args.binary).resolve())
    compare.enter_namespace()
    work = Path(tempfile.mkdtemp(prefix="verify-bench-"))
    compare.bind_resolv_conf(work)
    log, amap = work / "access.log", work / "zone.map"
    gen = argparse.Namespace(lines=args.lines, distinct=args.distinct, seed=1, second=0.05, map=str(amap),
                             unresolved=0.2, zipf=1.1, rate=20, start=1704067200)
    with open(log, "w", buffering=1 << 20) as out:
        compare.genlog.generate(gen, out)
    mapping = compare.nsdserve.read_map(str(amap))
    conf = compare.prepare_nsd(str(work / "nsd"), mapping, compare.NSD_FAST_PORT)
    nsd = compare.start_server(compare.nsdserve.command(conf), work / "nsd.out", compare.NSD_FAST_PORT, "nsd")
    rows = []
    try:
        for translate in (True, False):
            times = {False: [], True: []}
            named = {}
            for _ in range(args.repeat):
                for verify in (False, True):
                    r = logvane(args, work, verify, translate)
                    times[verify].append(r.wall)
                    named[verify] = r.named
            off, on = statistics.median(times[False]), statistics.median(times[True])
            what = "-translate -normal" if translate else "lookups only"
            rows.append(("logvane %s" % what, off, named[False], ""))
            rows.append(("logvane %s, verify on" % what, on, named[True], "%.2fx the run without verify" % (on / off)))
        for tool, argv, env in [("logresolve", ["logresolve"], None), ("logresolve -c", ["logresolve", "-c"], None),
                                ("adnslogres", ["adnslogres"], dict(os.environ, RES_CONF_TEXT="nameserver 127.0.0.1"))]:
            r = compare.peer_run(args, "a", tool, argv, work, log, env=env)
            rows.append((tool, r.wall, r.first, r.note))
    finally:
        compare.stop(nsd)
    print("\n%s lines, %s PTR records; median of %d Logvane runs, peers once (%s)" % (
        compare.fmt_int(args.lines), compare.fmt_int(len(mapping)), args.repeat, time.strftime("%Y-%m-%d")))
    print("| tool | wall s | names used | notes |\n|---|---|---|---|")
    for tool, wall, n, note in rows:
        print("| %s | %.2f | %s | %s |" % (tool, wall, compare.fmt_int(n), note))
    return 0


if __name__ == "__main__":
    sys.exit(main())
