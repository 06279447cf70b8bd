"""A root run over a directory another user (uid 65534) can write: every
planted name leaves what it aims at as it was (bytes, inode, mode, owner);
overlapping runs lose no cache entry."""

import fcntl, os, stat, subprocess, time, unittest
from pathlib import Path

import harness
from harness import Case, auto_name

OTHER, ADDRS = 65534, ["192.0.2.%d" % i for i in range(1, 21)]
LOG = "".join('%s - - [06/Dec/2024:11:00:00 +0000] "GET /%d HTTP/1.1" 200 5\n' % (a, i) for i, a in enumerate(ADDRS)).encode()
NAMED = harness.translate(LOG, {a: auto_name(a) for a in ADDRS})
NOW = int(time.time()) // 60

def as_other(fn):
    """fn() run as the attacker; True when it raised nothing."""
    pid = os.fork()
    if pid == 0:
        try:
            (os.setgroups([]), os.setgid(OTHER), os.setuid(OTHER), fn()) and os._exit(0)
        finally:
            os._exit(1)
    return os.waitpid(pid, 0)[1] == 0

def state(path):
    st = os.lstat(path)
    return Path(path).read_bytes() if stat.S_ISREG(st.st_mode) else None, st.st_ino, st.st_mode, st.st_uid, st.st_gid

@unittest.skipUnless(harness.REAL_ROOT, "needs root: the victims belong to other users")
class Safety(Case):
    shared_dns = True

    def setUp(self):
        super().setUp()
        os.chmod(self.tmp, 0o755)
        self.secret, self.shadow = harness.write_file(self.tmp / "secret", "root only\n"), \
            harness.write_file(self.tmp / "shadow", "root:x:0:0\n")
        os.chmod(self.secret, 0o600), os.chmod(self.shadow, 0o640), os.chown(self.shadow, 0, 42)
        self.victims = [self.secret, self.shadow, "/dev/null", "/dev/zero"]
        self.before = [state(p) for p in self.victims]
        self.www = self.tmp / "www"

    def fresh(self, log=LOG, mode=0o644):
        subprocess.run(["rm", "-rf", str(self.www)], check=True)
        self.www.mkdir()
        os.chmod(harness.write_file(self.www / "access.log", log), mode)
        [os.chown(p, OTHER, OTHER) for p in (self.www, self.www / "access.log")]
        return lambda name: str(self.www / name)

    def lv(self, args, **kw):
        return super().lv(args, cwd=self.www, timeout=30, dns_timeout=1000, **kw)

    def test_planted_names(self):
        d = self.fresh()
        cache = lambda mode: lambda: (harness.write_file(d("dnscache"), "%d 192.0.2.1 old.example\n" % NOW),
                                      os.chmod(d("dnscache"), mode))
        refused = lambda name, why: ["Unable to read '%s': %s" % (name, why), "Unable to write '%s'!" % name]
        T = ["-translate", "access.log"]
        rows = [  # what the attacker does, arguments, lines the run must print, exit status
            ("cache link", lambda: os.symlink(self.secret, d("dnscache")), T, refused("dnscache", "Permission denied"), 1),
            ("cache fifo", lambda: os.mkfifo(d("dnscache")), T, refused("dnscache", "Not a regular file"), 1),
            ("backup link", lambda: (cache(0o664)(), os.symlink(self.secret, d("dnscache.bak"))), T, [], 0),
            ("lock link", lambda: os.symlink(self.shadow, d("dnscache.lock")), T, [], 0),
            ("lock fifo", lambda: os.mkfifo(d("dnscache.lock")), T, [], 0),
            ("output link", lambda: os.symlink(self.secret, d("access.log.gz")), T, [], 0),
            ("output hard link", lambda: None, ["-bzip2"] + T, [], 0),
            ("temporary link", lambda: os.symlink(self.shadow, d("access.log.$$$")), ["-exchange"] + T, [], 0),
            ("fifo log", lambda: os.mkfifo(d("fifo.log")), ["-translate", "fifo.log", "access.log"], [], 0),
            ("log link", lambda: (os.unlink(d("access.log")), os.symlink(self.secret, d("access.log"))), T, [], 0),
            ("user's cache", cache(0o666), T, [], 0),
            ("planted names", lambda: harness.write_file(d("dnscache"), "".join("%d %s %s\n" % (NOW, a, n) for a, n in zip(
                ADDRS, ["evil name", "tab\there", "\x1b]0;x\x07.example", "10.9.9.9", "fine.example"]))),
             T, ["4 corrupt lines in the DNS cache file, ignored."], 0)]
        for what, move, args, lines, rc in rows:
            with self.subTest(what):
                d = self.fresh()
                if what == "output hard link":  # link protection refuses this one to the attacker here
                    os.link(self.shadow, d("access.log.bz2"))
                self.assertTrue(as_other(move))
                r = self.lv(args)
                self.assertEqual((r.rc, [x for x in lines if x not in r.out.splitlines()]), (rc, []), r)
                self.assertLess(r.elapsed, 20, r)
                self.assertEqual([state(p) for p in self.victims], self.before, what)
                if what == "log link":  # the copy is as closed as the file it came from
                    self.assertEqual((as_other(lambda: open(d("access.log.gz"), "rb")), state(d("access.log.gz"))[2:]),
                                     (False, (stat.S_IFREG | 0o600, 0, 0)))
                if what == "user's cache":
                    self.assertEqual(state(d("dnscache"))[2:], (stat.S_IFREG | 0o644, OTHER, OTHER))
                if what == "planted names":
                    self.assertEqual(harness.read_file(d("access.log.gz")), NAMED.replace(b"host-192-0-2-5.example",
                                                                                          b"fine.example"))

    def test_output_modes(self):
        for mode, extra, out in ((0o600, [], ".gz"), (0o640, ["-bzip2"], ".bz2"), (0o640, ["-normal"], ".out"),
                                 (0o600, ["-exchange"], ""), (0o640, ["-exchange"], "")):
            with self.subTest(mode=oct(mode), args=extra):
                d = self.fresh(mode=mode)
                self.assertEqual(self.lv(["-translate"] + extra + ["access.log"]).rc, 0)
                self.assertEqual(state(d("access.log" + out))[2:], (stat.S_IFREG | mode, OTHER, OTHER))
                self.assertEqual(harness.read_file(d("access.log" + out)), NAMED)

    def test_overlapping_runs(self):
        # A run that finds the cache locked waits, then takes in what the
        # holder wrote meanwhile: neither's entries are lost.
        self.fresh()
        harness.write_file(self.www / "dnscache", "%d 10.9.9.8 first.example\n" % NOW)
        harness.write_config(self.www / "logvane.cfg", self.dns, dns_timeout=1000)
        lock = os.open(self.www / "dnscache.lock", os.O_CREAT | os.O_RDWR, 0o644)
        fcntl.flock(lock, fcntl.LOCK_EX)
        p = subprocess.Popen([harness.binary(), "-V", "access.log"], cwd=self.www, stdout=subprocess.PIPE, text=True)
        waited = next((x for x in p.stdout if x.startswith("Waiting for another run")), None)  # or its end
        harness.write_file(self.www / "new", "%d 10.9.9.9 other.example\n" % NOW).rename(self.www / "dnscache")
        os.close(lock)
        self.assertEqual((waited, p.wait(30)), ("Waiting for another run to finish writing 'dnscache'.\n", 1))
        self.assertEqual(harness.names(self.www / "dnscache"), dict({a: auto_name(a) for a in ADDRS}, **{
            "10.9.9.8": "first.example", "10.9.9.9": "other.example"}))

if __name__ == "__main__":
    harness.main()
