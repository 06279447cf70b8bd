"""A full disk at every output of a real run.

Each scenario runs the binary with its files on a small tmpfs and sweeps the
size of that tmpfs, so that the disk fills at a different output each time:
the cache file written at the end of a run, the checkpoints written during a
long verbose scan, and every translated log (gzip, bzip2 and plain; plain,
exchanged and deleted inputs). Two more ways of running out of room: no inode
left (nothing can be created), and a disk found full only at fsync. After
every run:

- a failure is reported, and nothing that failed is reported as done;
- the cache under its name is whole and loadable: the old file, or exactly
  the table the last reported write wrote; the backup is the file before it;
- an input log is untouched unless its translation completed;
- no output cut short is left under its final name, and no temporary is left.

LOGVANE_FAULTS_QUICK=1 tries a few sizes per scenario, otherwise every page.
"""
import gzip
import random
import re
import subprocess
import time
import unittest
from pathlib import Path

import harness
from harness import E2ETestCase, FakeDNS, SharedDNSTestCase, run_logvane
from faultutil import QUICK, parse_cache

PAGE = 4096
NOW_MIN = int(time.time()) // 60

# fsync() that finds the disk full.
NOSYNC_C = r"""
#include <errno.h>
int fsync(int fd) {
  (void)fd;
  errno = ENOSPC;
  return -1;
}
"""



# ---------------------------------------------------------------- helpers

class Tmpfs:
    """A tmpfs of size bytes on dir, always unmounted on leaving."""

    def __init__(self, dir, size, inodes=None):
        self.dir = Path(dir)
        self.opts = "size=%d,mode=0755" % size + (",nr_inodes=%d" % inodes if inodes else "")

    def __enter__(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", self.opts,
                            "tmpfs", str(self.dir)], capture_output=True, text=True)
        if r.returncode != 0:
            raise unittest.SkipTest("cannot mount a tmpfs: %s" % r.stderr.strip())
        return self.dir

    def __exit__(self, *exc):
        if subprocess.run(["umount", str(self.dir)], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", str(self.dir)], capture_output=True)


def cache_text(table, private=False):
    """A cache file holding table ({address: name or "*"}), written now."""
    text = "".join("%d %s %s\n" % (NOW_MIN, a, n) for a, n in table.items()).encode()
    return gzip.compress(text) if private else text


def words(rng, n):
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    return "".join(rng.choice(letters) for _ in range(n))


def make_log(rng, size, addrs, names):
    """(log text, its expected translation, addresses used) of about size
    bytes: lines naming addresses from addrs in the client field and in the
    referrer; names maps those that get replaced."""
    src, out = [], []
    total = 0
    used = set()
    while total < size:
        a, b = rng.choice(addrs), rng.choice(addrs)
        used |= {a, b}
        fmt = '%s - - [10/Oct/2023:13:55:36 +0000] "GET /' + words(rng, rng.randint(20, 90)) + \
              ' HTTP/1.1" 200 ' + str(rng.randint(1, 99999)) + ' "http://%s/x"\n'
        line = fmt % (a, b)
        src.append(line)
        out.append(fmt % (names.get(a, a), names.get(b, b)))
        total += len(line)
    return "".join(src).encode(), "".join(out).encode(), used


def pages(n):
    return (n + PAGE - 1) // PAGE * PAGE


def sweep(low, high, quick_count):
    """tmpfs sizes from low to high bytes: every page, or quick_count spread evenly."""
    low, high = pages(low), pages(high)
    every = list(range(low, high + PAGE, PAGE))
    if not QUICK or len(every) <= quick_count:
        return every
    step = (len(every) - 1) / (quick_count - 1)
    return sorted({every[round(i * step)] for i in range(quick_count)})


def write_events(out):
    """The cache writes a run reported, in order: ("ok", count) or ("fail", None),
    each with the index of its line."""
    events = []
    for i, line in enumerate(out.splitlines()):
        m = re.match(r"Wrote ([\d,]+) cache entries", line)
        if m:
            events.append(("ok", int(m.group(1).replace(",", "")), i))
        elif line.startswith("Unable to write '") or line.startswith("Unable to open '"):
            events.append(("fail", None, i))
    return events


def check_cache_after(test, r, cache, before, bak_before, expect_table=None):
    """The cache is the old file or exactly the last reported write; the
    backup is the file before it. Returns the write events."""
    events = write_events(r.out)
    table = parse_cache(cache) if cache.exists() else None
    test.assertIsNotNone(table, "cache file missing%s" % r)
    oks = [e for e in events if e[0] == "ok"]
    if not oks:
        test.assertEqual(cache.read_bytes(), before, "cache changed without a reported write%s" % r)
        if bak_before is None:
            test.assertFalse(cache.with_name(cache.name + ".bak").exists(), r)
        else:
            test.assertEqual(cache.with_name(cache.name + ".bak").read_bytes(), bak_before, r)
    else:
        test.assertEqual(len(table), oks[-1][1], "cache does not hold the last reported write%s" % r)
        if expect_table is not None and events[-1][0] == "ok":
            test.assertEqual(table, expect_table, r)
        bak = parse_cache(cache.with_name(cache.name + ".bak"))
        if len(oks) == 1:
            test.assertEqual(cache.with_name(cache.name + ".bak").read_bytes(), before, r)
        else:
            test.assertEqual(len(bak), oks[-2][1], "backup is not the write before%s" % r)
    return events


def leftovers(dir, allowed):
    """Names beyond the allowed ones and the cache's lock file, which stays."""
    return sorted(p.name for p in Path(dir).iterdir() if p.name not in allowed | {"dnscache.lock"})


def ip(i, net=10):
    return "%d.%d.%d.%d" % (net, i // 62500 % 250, i // 250 % 250, i % 250 + 1)


def load_with_binary(test, cache, count, private):
    """The reader itself loads the cache whole, on a roomy disk."""
    with harness.TempDir(keep=False) as d:
        (d / "dnscache").write_bytes(cache.read_bytes())
        harness.write_file(d / "empty.log", "")
        r = run_logvane(["-verbose"] + (["-private"] if private else []) + ["empty.log"], cwd=d)
    test.assertNotIn("corrupt", r.out, r)
    test.assertIn("Read %s entries from DNS cache" % format(count, ","), r.out, r)


# ---------------------------------------------------------------- scenarios

class CacheWrite(SharedDNSTestCase):
    """The cache file written after the lookups, plain and private."""

    def test_cache_write_disk_full(self):
        rng = random.Random(11)
        old = {ip(i, 10): "old-%d.example" % i for i in range(1, 150)}
        old_bak = {ip(i, 10): "older-%d.example" % i for i in range(1, 40)}
        new_addrs = [ip(i, 11) for i in range(1, 700)]
        log = self.tmp / "access.log"
        text, _, used = make_log(rng, 60000, list(old) + new_addrs, {})
        harness.write_file(log, text)
        fs = self.tmp / "fs"
        outcomes = {}
        for private in (False, True):
            before, bak_before = cache_text(old, private), cache_text(old_bak, private)
            want = dict(old)
            want.update({a: "host-%s.example" % a.replace(".", "-") for a in new_addrs if a in used})
            new_size = len(cache_text(want, private))
            base = pages(len(before)) + pages(len(bak_before))
            for size in sweep(base, base + new_size + 2 * PAGE, 4):
                with self.subTest(private=private, size=size), Tmpfs(fs, size):
                    cache = fs / "dnscache"
                    cache.write_bytes(before)
                    (fs / "dnscache.bak").write_bytes(bak_before)
                    args = ["-verbose"] + (["-private"] if private else []) + ["-cache", cache, log]
                    r = run_logvane(args, cwd=self.tmp, dns=self.dns)
                    self.assertEqual(r.rc, 1, r)
                    self.assertIn("Complete.", r.out, r)
                    events = check_cache_after(self, r, cache, before, bak_before, want)
                    self.assertEqual(len(events), 1, r)
                    outcomes.setdefault(private, set()).add(events[0][0])
                    self.assertEqual(leftovers(fs, {"dnscache", "dnscache.bak"}), [], r)
                    self.assertEqual(log.read_bytes(), text)
                    load_with_binary(self, cache, len(parse_cache(cache)), private)
        # The sweep did reach both sides of the limit.
        for private in (False, True):
            self.assertEqual(outcomes[private], {"ok", "fail"}, private)


class Checkpoint(E2ETestCase):
    """The periodic checkpoints of a long verbose scan, then the final write."""

    @classmethod
    def setUpClass(cls):
        cls.dns = FakeDNS()
        cls.libdir = harness.TempDir(keep=False, prefix="fasttime-")
        lib = cls.libdir.path / "fasttime.so"
        src = Path(__file__).resolve().parent.parent / "e2e" / "fasttime.c"
        subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-o", str(lib), str(src)], check=True)
        cls.env = {"LD_PRELOAD": str(lib), "FASTTIME_STEP": "3",
                   "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()
        cls.libdir.cleanup()

    def test_checkpoint_disk_full(self):
        rng = random.Random(12)
        old = {ip(i, 10): "old-%d.example" % i for i in range(1, 100)}
        n = 3000
        new_addrs = [ip(i, 12) for i in range(1, n + 1)]
        # One new address a line, so the table grows through the scan; while
        # a checkpoint is written, the cache and the backup are nearly as big.
        lines = ["%s - - \"GET /%s\" 200 1\n" % (a, words(rng, 8)) for a in new_addrs]
        log = harness.write_file(self.tmp / "access.log", "".join(lines))
        text = log.read_bytes()
        want = dict(old)
        want.update({a: "host-%s.example" % a.replace(".", "-") for a in new_addrs})
        before = cache_text(old)
        fs = self.tmp / "fs"
        seen = set()
        final = pages(len(cache_text(want)))
        for size in sweep(2 * pages(len(before)), 3 * final + PAGE, 5):
            with self.subTest(size=size), Tmpfs(fs, size):
                cache = fs / "dnscache"
                cache.write_bytes(before)
                r = run_logvane(["-verbose", "-cache", cache, log], cwd=self.tmp, dns=self.dns,
                                env=self.env)
                self.assertEqual(r.rc, 1, r)
                events = check_cache_after(self, r, cache, before, None, want)
                totals = next(i for i, l in enumerate(r.out.splitlines()) if l.startswith("Looked up "))
                # Where the failures landed: at a checkpoint or at the final write.
                for kind, _count, at in events:
                    seen.add((kind, "checkpoint" if at < totals else "final"))
                self.assertGreaterEqual(len([e for e in events if e[2] < totals]), 2, r)
                self.assertEqual(leftovers(fs, {"dnscache", "dnscache.bak"}), [], r)
                self.assertEqual(log.read_bytes(), text)
        self.assertTrue({("fail", "checkpoint"), ("ok", "checkpoint"), ("fail", "final"),
                         ("ok", "final")} <= seen, seen)


MODES = {"keep": [], "exchange": ["-exchange"], "delete": ["-kill"]}
KINDS = {"gzip": ([], ".gz", b"\x1f\x8b"), "bzip2": (["-bzip2"], ".bz2", b"BZh"),
         "plain": (["-normal"], ".out", b"")}


class TranslatedOutputs(E2ETestCase):
    """Every translated log in turn, with the cache on the same disk."""

    def setUp(self):
        super().setUp()
        rng = random.Random(13)
        addrs = [ip(i, 10) for i in range(1, 120)]
        self.names = {a: "h%d-%s.example.org" % (i, words(rng, 6)) for i, a in enumerate(addrs)}
        failed = [ip(i, 13) for i in range(1, 20)]
        table = dict(self.names)
        table.update({a: "*" for a in failed})
        self.cache_bytes = cache_text(table)
        self.table = table
        self.logs = []
        # Sizes that grow, so that under exchange too each output needs more
        # room than the one before; the middle one is a gzip-compressed log.
        for i, size in enumerate((6000, 18000, 60000)):
            text, want, _ = make_log(rng, size, addrs + failed, self.names)
            self.logs.append(("log%d" % i, gzip.compress(text, mtime=0) if i == 1 else text, want))

    def run_in(self, fs, kind, mode, env=None):
        """A verbose translating run on the logs laid out anew in fs."""
        (fs / "dnscache").write_bytes(self.cache_bytes)
        for name, text, _ in self.logs:
            (fs / name).write_bytes(text)
        args = ["-verbose", "-translate", "-unix", "-cache", fs / "dnscache"] + KINDS[kind][0] + \
            MODES[mode] + [fs / name for name, _, _ in self.logs]
        return run_logvane(args, cwd=self.tmp, env=env)

    def sections(self, out):
        """Output lines of each log's translation, in list order."""
        parts = re.split(r"^Translating '.*'$", out, flags=re.M)
        self.assertEqual(len(parts), len(self.logs) + 1, out)
        return parts[1:]

    def check(self, r, fs, kind, mode):
        suffix, magic = KINDS[kind][1], KINDS[kind][2]
        check_cache_after(self, r, fs / "dnscache", self.cache_bytes, None, self.table)
        done = []
        for (name, text, want), part in zip(self.logs, self.sections(r.out)):
            failed = "Write error on output file!" in part or "Error opening output file" in part
            done.append(not failed)
            log, out, tmp = fs / name, fs / (name + suffix), fs / (name + ".$$$")
            self.assertFalse(tmp.exists(), "%s left%s" % (tmp, r))
            if failed:
                self.assertEqual(log.read_bytes(), text, "%s changed though it failed%s" % (name, r))
                self.assertFalse(out.exists(), "%s left after a failure%s" % (out, r))
                continue
            if mode == "exchange":
                self.assertTrue(log.read_bytes().startswith(magic), r)
                self.assertEqual(harness.read_file(log), want, "%s%s" % (name, r))
                continue
            self.assertTrue(out.read_bytes().startswith(magic), r)
            self.assertEqual(harness.read_file(out), want, "%s%s" % (out, r))
            if mode == "delete":
                self.assertFalse(log.exists(), r)
            else:
                self.assertEqual(log.read_bytes(), text, r)
        self.assertEqual(r.rc, 0 if done[-1] else 1, r)
        allowed = {"dnscache", "dnscache.bak"} | {n for n, _, _ in self.logs} | \
            {n + suffix for n, _, _ in self.logs}
        self.assertEqual(leftovers(fs, allowed), [], r)
        return done

    def test_outputs_disk_full(self):
        fs = self.tmp / "fs"
        for kind in KINDS:
            for mode in MODES:
                # What the run needs when nothing fails, as a bound of the sweep.
                with Tmpfs(fs, 16 << 20):
                    r = self.run_in(fs, kind, mode)
                    self.assertEqual(self.check(r, fs, kind, mode), [True] * 3, r)
                    suffix = "" if mode == "exchange" else KINDS[kind][1]
                    outputs = sum(pages((fs / (n + suffix)).stat().st_size) for n, _, _ in self.logs)
                inputs = sum(pages(len(t)) for _, t, _ in self.logs)
                cache = pages(len(self.cache_bytes))
                first_failed = set()
                for size in sweep(inputs + cache, inputs + outputs + 3 * cache + 2 * PAGE, 5):
                    with self.subTest(kind=kind, mode=mode, size=size), Tmpfs(fs, size):
                        done = self.check(self.run_in(fs, kind, mode), fs, kind, mode)
                        first_failed.add(done.index(False) if False in done else None)
                # The disk filled at different outputs, and not at all.
                self.assertIn(None, first_failed, (kind, mode))
                self.assertGreaterEqual(len(first_failed), 2 if QUICK else 3, (kind, mode, first_failed))

    def test_no_inodes_left(self):
        # Room enough, but no file can be made: nothing can be opened for output.
        fs = self.tmp / "fs"
        for kind in KINDS:
            for mode in MODES:
                with self.subTest(kind=kind, mode=mode), Tmpfs(fs, 4 << 20, inodes=len(self.logs) + 2):
                    r = self.run_in(fs, kind, mode)
                    self.assertIn("Unable to open '%s' for output.\n" % (fs / "dnscache"), r.out, r)
                    name = self.logs[0][0] + (".$$$" if mode == "exchange" else KINDS[kind][1])
                    self.assertIn("Error opening output file '%s'.\n" % (fs / name), r.out, r)
                    self.assertEqual(self.check(r, fs, kind, mode), [False] * len(self.logs), r)

    def test_space_runs_out_at_sync(self):
        # Where blocks are only allocated on flushing, fsync is where the disk
        # is found full: every output is synced before it takes its name, so
        # every one fails and none is left.
        lib = self.tmp / "nosync.so"
        src = harness.write_file(self.tmp / "nosync.c", NOSYNC_C)
        subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-o", str(lib), str(src)], check=True)
        env = {"LD_PRELOAD": str(lib), "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}
        fs = self.tmp / "fs"
        fs.mkdir()
        for kind in KINDS:
            for mode in MODES:
                with self.subTest(kind=kind, mode=mode):
                    for p in fs.iterdir():
                        p.unlink()
                    r = self.run_in(fs, kind, mode, env)
                    self.assertEqual([e[0] for e in write_events(r.out)], ["fail"], r)
                    self.assertEqual(self.check(r, fs, kind, mode), [False] * len(self.logs), r)


if __name__ == "__main__":
    harness.main()
