"""kill -9 at random moments of a real run.

A verbose run with translation and exchange over several logs (plain and
gzip), a cache file that already holds entries, and a DNS server answering
after small random delays, so that the run spends time in every phase: cache
load, scan with lookups and checkpoints (a fast clock is preloaded), drain,
cache write, translation. It is killed at a random moment (fixed seed), and
then:

- the cache file loads whole: the old table or a newer one, no corrupt line;
- every log name exists and holds its original bytes or its complete
  translation (the names the server gives), so no log is lost;
- nothing but known temporaries is left: "<cache>.tmpXXXXXX" of a killed
  cache write, "<log>.$$$" of a killed translation;
- a follow-up run completes, translating every log.

200 kills, or 10 with LOGVANE_FAULTS_QUICK=1.
"""
import gzip
import os
import random
import re
import signal
import subprocess
import sys
import time

import harness
from harness import E2ETestCase, FakeDNS, run_logvane
from faultutil import QUICK, SANITIZED, parse_cache, write_config

KILLS = 10 if QUICK else 200
SEED = 20240611
NOW_MIN = int(time.time()) // 60
LOGS = ("a.log", "b.log", "c.log")
TEMP_NAME = re.compile(r"dnscache\.tmp[A-Za-z0-9]{6}|[abc]\.log\.\$\$\$")
# time() that moves on a second every 10 calls (the scan reads it for every
# address), so that a run of a second holds a few checkpoints.
CLOCK_C = r"""
#include <sys/time.h>
#include <time.h>
static time_t start;
static long calls;
time_t time(time_t* out) {
  if (!start) {
    struct timeval tv;
    gettimeofday(&tv, 0);
    start = tv.tv_sec;
  }
  time_t now = start + calls++ / 10;
  if (out) *out = now;
  return now;
}
"""
LETTERS = bytes(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"[i % 52] for i in range(256))


def ip(net, i):
    return "10.%d.%d.%d" % (net, i >> 8, i & 255)


class Fixture:
    """The logs, the cache and what the server answers, made once."""

    def __init__(self, rng):
        old_named = [ip(20, i + 1) for i in range(6000)]
        old_failed = [ip(30, i + 1) for i in range(200)]
        new = [ip(40, i + 1) for i in range(1200)]
        self.old = {a: "old-%d.example.com" % i for i, a in enumerate(old_named)}
        self.old.update({a: "*" for a in old_failed})
        self.cache = "".join("%d %s %s\n" % (NOW_MIN, a, n) for a, n in self.old.items()).encode()
        # What the server gives: a name or NXDOMAIN, each after its own delay.
        self.server = {}
        rules = {}
        for i, a in enumerate(new):
            delay = rng.randint(0, 15)
            if i % 10 == 9:
                self.server[a] = "*"
                rules[a] = {"action": "nxdomain", "delay": delay}
            else:
                self.server[a] = "n%d.example.net" % i
                rules[a] = {"name": self.server[a], "delay": delay}
        self.rules = rules
        self.names = {a: n for a, n in list(self.old.items()) + list(self.server.items()) if n != "*"}
        used = old_named[:300] + old_failed[:50] + new
        self.files, self.want = {}, {}
        for name, size, packed in (("a.log", 1500000, False), ("b.log", 1000000, True),
                                   ("c.log", 300000, False)):
            text, want = self.make_log(rng, size, used)
            self.want[name] = want
            self.files[name] = gzip.compress(text, 6, mtime=0) if packed else text

    def make_log(self, rng, size, addrs):
        src, out = [], []
        total = 0
        while total < size:
            a, b = rng.choice(addrs), rng.choice(addrs)
            path = rng.randbytes(rng.randint(10, 60)).translate(LETTERS).decode()
            fmt = '%s - - [10/Oct/2023:13:55:36 +0000] "GET /' + path + ' HTTP/1.1" 200 ' + \
                  str(rng.randint(1, 99999)) + ' "http://%s/"\n'
            src.append(fmt % (a, b))
            out.append(fmt % (self.names.get(a, a), self.names.get(b, b)))
            total += len(src[-1])
        return "".join(src).encode(), "".join(out).encode()

    def lay_out(self, dir):
        for name, data in self.files.items():
            (dir / name).write_bytes(data)
        (dir / "dnscache").write_bytes(self.cache)


class KillDuringRun(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.fix = Fixture(random.Random(SEED))
        cls.dns = FakeDNS(cls.fix.rules, default="nxdomain")
        cls.libdir = harness.TempDir(keep=False, prefix="slowclock-")
        lib = cls.libdir.path / "clock.so"
        src = cls.libdir.path / "clock.c"
        src.write_text(CLOCK_C)
        subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-o", str(lib), str(src)], check=True)
        cls.env = dict(os.environ, LD_PRELOAD=str(lib),
                       ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0")

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()
        cls.libdir.cleanup()

    CONFIG = ["dns-timeout 3000", "dns-tries 3"]
    # Cache format and output compression, in turn from one kill to the next.
    VARIANTS = [(cache, kind) for cache in ([], ["-private"]) for kind in ([], ["-bzip2"], ["-normal"])]

    @staticmethod
    def args(variant):
        return ["-verbose", "-translate", "-exchange", "-unix"] + variant[0] + variant[1] + list(LOGS)

    def fresh(self):
        run = self.tmp / "run"
        if run.exists():
            for p in run.iterdir():
                p.unlink()
        run.mkdir(exist_ok=True)
        self.fix.lay_out(run)
        # The configuration the follow-up run checks and keeps.
        write_config(run, self.dns, self.CONFIG, dns_timeout=None, dns_tries=None)
        return run

    def run_whole(self, run, variant, why):
        r = run_logvane(self.args(variant), cwd=run, config_lines=None, env=self.env,
                        timeout=600 if SANITIZED else 120)
        self.assertEqual(r.rc, 0, "%s%s" % (why, r))
        for word in ("error", "unable", "corrupt"):
            self.assertNotIn(word, r.out.lower(), "%s%s" % (why, r))
        self.assertTrue(r.out.endswith("Complete.\n"), "%s%s" % (why, r))
        for name in LOGS:
            self.assertEqual(harness.read_file(run / name), self.fix.want[name], "%s: %s" % (why, name))
        table = self.check_cache(run / "dnscache", why)
        self.assertEqual(table, dict(self.fix.old, **self.fix.server), why)
        return r

    def check_cache(self, path, why):
        try:
            table = parse_cache(path)
        except (AssertionError, OSError) as e:
            self.fail("%s: %s" % (why, e))
        for a, n in self.fix.old.items():
            self.assertEqual(table.get(a), n, "%s: %s lost from %s" % (why, a, path.name))
        for a, n in table.items():
            self.assertEqual(n, self.fix.old.get(a) or self.fix.server.get(a),
                             "%s: %s wrong in %s" % (why, a, path.name))
        return table

    def check_after_kill(self, run, why):
        """The state a kill left; returns how it looked."""
        names = {p.name for p in run.iterdir()}
        self.assertIn("dnscache", names, why)
        table = self.check_cache(run / "dnscache", why)
        if "dnscache.bak" in names:
            self.check_cache(run / "dnscache.bak", why)
        logs = []
        for name in LOGS:
            self.assertIn(name, names, "%s: %s lost" % (why, name))
            data = (run / name).read_bytes()
            if data == self.fix.files[name]:
                logs.append("original")
                continue
            try:
                text = harness.read_file(run / name)
            except (EOFError, OSError) as e:
                self.fail("%s: %s is neither the log nor its translation (%s)" % (why, name, e))
            self.assertEqual(text, self.fix.want[name], "%s: %s is neither the log nor its "
                             "translation" % (why, name))
            logs.append("translated")
        temps = sorted(n for n in names - set(LOGS) - {"dnscache", "dnscache.bak", "dnscache.lock", "logvane.cfg"})
        for n in temps:
            self.assertRegex(n, TEMP_NAME, why)
        cache = "old" if table == self.fix.old else "new"
        return cache, tuple(logs), tuple(re.sub(r"tmp\w{6}", "tmpXXXXXX", n) for n in temps)

    def start(self, run, variant):
        out = open(self.tmp / "stdout", "wb")
        try:
            return subprocess.Popen([harness.binary()] + self.args(variant), cwd=str(run),
                                    env=self.env, stdout=out, stderr=subprocess.STDOUT)
        finally:
            out.close()

    def span(self, variant):
        """How long a whole run of variant takes, checked once."""
        run = self.fresh()
        whole = self.run_whole(run, variant, "unkilled run %s" % (variant,))
        self.assertIn("Wrote ", whole.out.split("Looked up ")[0], "no checkpoint in the scan%s" % whole)
        run = self.fresh()
        t0 = time.monotonic()
        self.assertEqual(self.start(run, variant).wait(), 0)
        return time.monotonic() - t0

    def test_kill_at_random_moments(self):
        rng = random.Random(SEED)
        spans, states, temps = {}, {}, {}
        for k in range(KILLS):
            variant = self.VARIANTS[k % len(self.VARIANTS)]
            if k < len(self.VARIANTS):
                spans[k] = self.span(variant)
            span = spans[k % len(self.VARIANTS)]
            at = rng.uniform(0, span)
            why = "kill %d of %d at %.3f s of a %.3f s run %s (seed %d)" % (
                k + 1, KILLS, at, span, " ".join(variant[0] + variant[1]) or "(gzip)", SEED)
            run = self.fresh()
            self.dns.clear_queries()
            p = self.start(run, variant)
            time.sleep(at)
            p.send_signal(signal.SIGKILL)
            p.wait()
            cache, logs, left = self.check_after_kill(run, why)
            states[(cache, logs)] = states.get((cache, logs), 0) + 1
            for n in left:
                temps[n] = temps.get(n, 0) + 1
            self.run_whole(run, variant, why + ", follow-up run")
            self.assertFalse(list(run.glob("*.$$$")), why)
        sys.stderr.write("\n  %d kills; states (cache, logs): %s\n  leftovers: %s\n" % (
            KILLS, ", ".join("%s %s: %d" % (c, "/".join(l), n) for (c, l), n in sorted(states.items())),
            ", ".join("%s: %d" % kv for kv in sorted(temps.items())) or "none"))
        # The kills landed in different phases of the run.
        self.assertGreaterEqual(len(states), 2 if QUICK else 4, states)


if __name__ == "__main__":
    harness.main()
