"""A root run over a directory another user can write, and runs that overlap.

The attacker is uid 65534, moving in a child that switched to it. Every
planted name leaves the files it aims at byte for byte as they were (inode,
mode, owner and group too), every run ends in bounded time, and overlapping
runs lose neither a log nor a cache entry."""

import gzip
import os
import signal
import stat
import subprocess
import threading
import time

from pathlib import Path

import harness
from harness import E2ETestCase, FakeDNS, run_logvane

OTHER = 65534
ADDRS = ["192.0.2.%d" % i for i in range(1, 21)]
LOG = "".join('%s - - [06/Dec/2024:11:00:00 +0000] "GET /%d HTTP/1.1" 200 5\n' % (a, i)
              for i, a in enumerate(ADDRS)).encode()
NOW_MIN = int(time.time()) // 60
SANITIZED = os.environ.get("LOGVANE_SANITIZED") == "1"


def auto(a):
    return "host-%s.example" % a.replace(".", "-")


def translated(text):
    for a in sorted(ADDRS, key=len, reverse=True):
        text = text.replace(a.encode() + b" ", auto(a).encode() + b" ")
    return text


def as_other(fn):
    """fn() run as the attacker; True when it raised nothing."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setgroups([])
            os.setgid(OTHER)
            os.setuid(OTHER)
            fn()
            code = 0
        finally:
            os._exit(code)
    return os.waitpid(pid, 0)[1] == 0


def state(path):
    st = os.lstat(path)
    data = Path(path).read_bytes() if stat.S_ISREG(st.st_mode) else None
    return data, st.st_ino, st.st_mode, st.st_uid, st.st_gid, st.st_rdev


def config(dns):
    text = "dns-servers %s\ndns-timeout 1000\ndns-tries 2\n" % dns.server
    harness._check_config(text)
    return text


class Safety(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = FakeDNS()

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("needs root: these are attacks on a root run")
        os.chmod(self.tmp, 0o755)
        vic = self.tmp / "victims"
        vic.mkdir()
        self.secret, self.shadow = vic / "secret", vic / "shadow"
        harness.write_file(self.secret, "root only\n")
        harness.write_file(self.shadow, "root:x:0:0\n")
        os.chmod(self.secret, 0o600)
        os.chmod(self.shadow, 0o640)
        os.chown(self.shadow, 0, 42)
        self.victims = [self.secret, self.shadow, "/dev/null", "/dev/zero"]
        self.before = {p: state(p) for p in self.victims}
        self.www = self.tmp / "www"

    def fresh_www(self, log=LOG, mode=0o644):
        subprocess.run(["rm", "-rf", str(self.www)], check=True)
        self.www.mkdir()
        os.chown(self.www, OTHER, OTHER)
        harness.write_file(self.www / "access.log", log)
        os.chmod(self.www / "access.log", mode)
        os.chown(self.www / "access.log", OTHER, OTHER)

    def lv(self, args, cwd=None, **kw):
        return run_logvane(args, cwd=cwd or self.www, dns=self.dns, timeout=30, dns_timeout=1000, **kw)

    def assertIntact(self, why=""):
        for p in self.victims:
            self.assertEqual(state(p), self.before[p], "%s changed %s" % (p, why))

    def test_planted_names(self):
        d = lambda name: str(self.www / name)
        cache = lambda mode=0o664: lambda: (harness.write_file(d("dnscache"), "%d 192.0.2.1 old.example\n" % NOW_MIN),
                                            os.chmod(d("dnscache"), mode))
        refused = lambda name, why: ["Unable to read '%s': %s" % (name, why), "Unable to write '%s'!" % name]
        T = ["-translate", "access.log"]
        rows = [  # what the attacker does, arguments, lines the run must print, exit status
            ("cache link", lambda: os.symlink(self.secret, d("dnscache")), T,
             refused("dnscache", "Permission denied"), 1),
            ("cache fifo", lambda: os.mkfifo(d("dnscache")), T, refused("dnscache", "Not a regular file"), 1),
            ("cache null", None, ["-cache", "/dev/null"] + T, refused("/dev/null", "Not a regular file"), 1),
            ("cache zero", None, ["-cache", "/dev/zero"] + T, refused("/dev/zero", "Not a regular file"), 1),
            ("backup link", lambda: (cache()(), os.symlink(self.secret, d("dnscache.bak"))), T, [], 0),
            ("lock link", lambda: os.symlink(self.shadow, d("dnscache.lock")), T, [], 0),
            ("lock fifo", lambda: os.mkfifo(d("dnscache.lock")), T, [], 0),
            ("output link", lambda: os.symlink(self.secret, d("access.log.gz")), T, [], 0),
            ("output hard link", None, ["-bzip2"] + T, [], 0),
            ("temporary link", lambda: os.symlink(self.shadow, d("access.log.$$$")), ["-exchange"] + T, [], 0),
            ("fifo log", lambda: os.mkfifo(d("fifo.log")), ["-translate", "fifo.log", "access.log"], [], 0),
            ("log link", lambda: (os.unlink(d("access.log")), os.symlink(self.secret, d("access.log"))), T, [], 0),
            ("user's cache", cache(0o666), T, [], 0),
            ("planted names", lambda: harness.write_file(d("dnscache"), "".join(
                "%d %s %s\n" % (NOW_MIN, a, n) for a, n in zip(ADDRS, [
                    "evil name", "tab\there", "\x1b]0;x\x07.example", "10.9.9.9", "fine.example"]))),
             T, ["4 corrupt lines in the DNS cache file, ignored."], 0),
        ]
        for what, move, args, lines, rc in rows:
            with self.subTest(what):
                self.fresh_www()
                # Link protection refuses this one to the attacker here; root plants it.
                if what == "output hard link":
                    os.link(self.shadow, d("access.log.bz2"))
                self.assertTrue(move is None or as_other(move))
                r = self.lv(args)
                self.assertLess(r.elapsed, 20, r)
                self.assertEqual(r.rc, rc, r)
                for line in lines:
                    self.assertIn(line, r.out.splitlines(), r)
                self.assertIntact(what)
                if what == "log link":  # the copy is as closed as the file it came from
                    self.assertFalse(as_other(lambda: open(d("access.log.gz"), "rb")))
                    self.assertEqual(state(d("access.log.gz"))[2:5], (stat.S_IFREG | 0o600, 0, 0))
                if what == "user's cache":
                    self.assertEqual(state(d("dnscache"))[2:5], (stat.S_IFREG | 0o644, OTHER, OTHER))
                if what == "planted names":
                    want = translated(LOG).replace(auto(ADDRS[4]).encode(), b"fine.example")
                    self.assertEqual(harness.read_file(d("access.log.gz")), want)

    def test_output_modes(self):
        for mode in (0o600, 0o640):
            for extra, out in (([], ".gz"), (["-bzip2"], ".bz2"), (["-normal"], ".out"), (["-exchange"], "")):
                with self.subTest(mode=oct(mode), args=extra):
                    self.fresh_www(mode=mode)
                    r = self.lv(["-translate"] + extra + ["access.log"])
                    self.assertEqual(r.rc, 0, r)
                    path = self.www / ("access.log" + out)
                    self.assertEqual(state(path)[2:5], (stat.S_IFREG | mode, OTHER, OTHER))
                    self.assertEqual(harness.read_file(path), translated(LOG))

    def test_overlapping_exchange(self):
        big, want = LOG * 60000, translated(LOG) * 60000  # about 5 MB: the first run is caught mid-way
        log, tmp = self.www / "access.log", self.www / "access.log.$$$"
        args = ["-translate", "-exchange", "-level", "9", "access.log"]
        self.fresh_www(big)
        self.lv(["access.log"])  # the cache first, so the runs below only translate
        cache = (self.www / "dnscache").read_bytes()
        for stop in (True, False):
            with self.subTest(stop=stop):
                self.fresh_www(big)
                (self.www / "dnscache").write_bytes(cache)
                (self.www / "logvane.cfg").write_text(config(self.dns))
                first = subprocess.Popen([harness.binary()] + args, cwd=self.www, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
                self.addCleanup(lambda p=first: (p.kill(), p.wait()))
                deadline = time.monotonic() + 30
                while not tmp.exists() and time.monotonic() < deadline:
                    time.sleep(0.001)
                self.assertTrue(tmp.exists())
                if stop:
                    first.send_signal(signal.SIGSTOP)
                second = self.lv(args, config_lines=None)
                if stop:
                    self.assertIn("'access.log' is being translated by another run, skipping it.", second.out, second)
                    self.assertEqual((second.rc, log.read_bytes(), tmp.exists()), (1, big, True), second)
                    first.kill()
                    first.wait()
                    self.assertEqual(log.read_bytes(), big)
                    second = self.lv(args, config_lines=None)
                    self.assertEqual(second.rc, 0, second)
                first.wait()
                self.assertEqual(harness.read_file(log), want)
                self.assertFalse(tmp.exists())

    def test_concurrent_runs_share_a_cache(self):
        sets = [["10.%d.%d.%d" % (k, i // 200, i % 200 + 1) for i in range(300)] for k in (1, 2)]
        rules = {a: {"name": auto(a), "delay": 200} for s in sets for a in s}
        with FakeDNS(rules, default="nxdomain") as dns:
            for attempt in range(3):
                self.fresh_www()
                (self.www / "dnscache").unlink(missing_ok=True)
                (self.www / "logvane.cfg").write_text(config(dns))
                for k, s in enumerate(sets):
                    harness.write_file(self.www / ("%d.log" % k), "".join("%s x\n" % a for a in s))
                runs = [subprocess.Popen([harness.binary(), "%d.log" % k], cwd=self.www, stdout=subprocess.DEVNULL)
                        for k in range(2)]
                for p in runs:
                    self.addCleanup(p.kill)
                    self.assertEqual(p.wait(timeout=60), 1)
                cached = {line.split()[1] for line in (self.www / "dnscache").read_text().splitlines()}
                self.assertEqual(cached, set(sets[0]) | set(sets[1]), "attempt %d" % attempt)

    def test_bounded_and_long(self):
        self.fresh_www()
        # A million duplicate lines with long names, in a small address space.
        if not SANITIZED:
            chunk = gzip.compress(("%d 192.0.2.1 %s\n" % (NOW_MIN, "n" * 480)).encode() * 10000, 1)
            (self.www / "dup.gz").write_bytes(chunk * 100)
            r = self.lv(["-cache", "dup.gz", "access.log"], wrap=["prlimit", "--as=%d" % (64 << 20)])
            self.assertIn("999999 duplicate IP addresses in the DNS cache file, ignored.", r.out, r)
            self.assertEqual((r.err, len((self.www / "dup.gz").read_text().splitlines())), ("", 20), r)
        # A 250-byte cache name keeps its backup and lock beside it.
        name = "c" * 250
        for _ in range(2):
            r = self.lv(["-cache", name, "-translate", "access.log"])
            self.assertEqual(r.rc, 0, r)
        self.assertEqual(sorted(p.name for p in self.www.iterdir() if p.name.startswith("c")),
                         [name, name + ".bak", name + ".lock"])
        # A current directory deeper than any path buffer; a decoy where the
        # path would have been cut is never read.
        deep = self.www
        while len(str(deep)) < 1100:
            deep = deep / ("d" * 200)
        deep.mkdir(parents=True)
        harness.write_file(deep / "access.log", LOG)
        cut = str(deep / "access.log")[:1023]
        harness.write_file(cut, "10.9.9.9 decoy\n")
        r = self.lv(["-translate", "-exchange", "access.log"], cwd=deep)
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(harness.read_file(deep / "access.log"), translated(LOG))
        self.assertEqual(Path(cut).read_bytes(), b"10.9.9.9 decoy\n")
        # Configuration names that would block an open: refused at once (the
        # usage follows, before any resolver is started).
        os.mkfifo(self.www / "cfg.fifo")
        for cfg in ("/dev/zero", str(self.www / "cfg.fifo")):
            p = subprocess.run([harness.binary(), "-settings", cfg], cwd=self.www, capture_output=True, timeout=10)
            self.assertEqual(p.returncode, 1)
        # A log swapped between a file and a FIFO for as long as the runs last.
        stop = threading.Event()

        def flip():
            log, fifo, plain = self.www / "access.log", self.www / "f", self.www / "p"
            while not stop.is_set():
                for src in (plain, fifo):
                    if not src.exists():
                        os.mkfifo(src) if src == fifo else plain.write_bytes(LOG)
                    os.rename(src, log)
        flipper = threading.Thread(target=flip)
        flipper.start()
        try:
            for _ in range(10):
                r = self.lv(["-translate", "access.log"])
                self.assertLess(r.elapsed, 20, r)
        finally:
            stop.set()
            flipper.join()
        self.assertIntact()


if __name__ == "__main__":
    harness.main()
