"""Run driver: usage, banner, settings file, file list handling, exit status."""

import bz2
import gzip
import os
import subprocess
import time

import harness
from harness import SharedDNSTestCase, run_logvane

USAGE = (harness.source_dir() / "tests" / "src" / "usage.txt").read_text().splitlines()
BANNER = ["Starting Logvane Version 1.5.4a"] + USAGE[1:3]
NO_CACHE = "'dnscache' not found, creating it."
LOG = "192.0.2.1 - - [06/Dec/2024:11:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n"
INVALID = "Command line argument '%s' is invalid!"


class Driver(SharedDNSTestCase):

    def setUp(self):
        super().setUp()
        harness.write_file(self.tmp / "access.log", LOG)

    def run_lv(self, args, fresh=False, **kw):
        if fresh:
            (self.tmp / "dnscache").unlink(missing_ok=True)
        r = run_logvane(args, cwd=self.tmp, dns=self.dns, **kw)
        self.assertEqual(r.err, "", r)
        return r

    def test_usage_outcomes(self):
        cases = [  # args, config lines, expected stdout lines
            ([], [], USAGE),
            ([], ["verbose yes"], USAGE + ["Complete."]),
            (["-help"], [], USAGE),
            (["-q", "access.log"], [], [INVALID % "-q"] + USAGE),
            (["-verbose"], [], BANNER + USAGE + ["Complete."]),
            (["-verbose", "-x", "access.log"], [], BANNER + [INVALID % "-x"] + USAGE + ["Complete."]),
            (["-Verbose"], [], USAGE + ["Complete."]),
            # -settings is only taken as the first pair of arguments
            (["-v", "-settings", "x.cfg", "access.log"], [], BANNER + [INVALID % "-settings"] + USAGE + ["Complete."]),
            (["-sfoo", "x.cfg", "access.log"], [], [INVALID % "-sfoo"] + USAGE),
            (["-vx", "access.log"], [], BANNER + [INVALID % "-vx"] + USAGE),  # the banner's own rule
        ]
        for args, cfg, want in cases:
            with self.subTest(args=args, cfg=cfg):
                r = self.run_lv(args, config_lines=cfg)
                self.assertEqual((r.rc, r.out.splitlines()), (1, want), r)
        self.assertEqual(self.dns.queries(), [])
        self.assertFalse((self.tmp / "dnscache").exists())

    def test_banner_only_for_lower_case_v_first(self):
        for args, cfg, banner in [(["-verbose"], [], True), (["-v"], [], True), (["-Verbose"], [], False),
                                  (["-t", "-v", "-n"], [], False), ([], ["verbose yes"], False)]:
            with self.subTest(args=args, cfg=cfg):
                lines = self.run_lv(args + ["access.log"], fresh=True, config_lines=cfg).out.splitlines()
                self.assertEqual(lines[:3] == BANNER, banner, lines)
                self.assertEqual(lines.count(BANNER[0]), int(banner), lines)
                self.assertEqual(lines[3 if banner else 0:][:2], [NO_CACHE, "Looking up 'access.log'"], lines)
                self.assertEqual(lines.count("Complete."), 1, lines)
                self.assertEqual(lines[-1], "Complete.", lines)
        self.assertEqual(self.run_lv(["access.log"], fresh=True).out.splitlines(), [NO_CACHE])

    def test_settings_files(self):
        # logvane.cfg would switch verbose on; the named file does not.
        harness.write_file(self.tmp / "logvane.cfg", "\n".join(["dns-servers " + self.dns.server, "verbose yes", "cache never", ""]))
        harness.write_file(self.tmp / "other.cfg", "\n".join(["dns-servers " + self.dns.server, "cache mycache", ""]))
        for first in ["-settings", "-S", "-s", "-SeT"]:
            with self.subTest(first=first):
                # The harness checks logvane.cfg unless the first word is exactly
                # -settings; both files name only loopback servers.
                r = self.run_lv([first, "other.cfg", "access.log"], config_lines=None)
                self.assertEqual(r.out.splitlines(), ["'mycache' not found, creating it."], r)
                (self.tmp / "mycache").unlink()
        self.assertFalse((self.tmp / "never").exists())
        r = self.run_lv(["access.log"], config_lines=["cache fromcfg", "verbose yes"])
        self.assertIn("'fromcfg' not found, creating it.", r.out.splitlines(), r)
        self.assertTrue((self.tmp / "fromcfg").exists(), r)

    def test_exit_status(self):
        harness.write_file(self.tmp / "b.log", "192.0.2.2 x\n")
        (self.tmp / "adir").mkdir()
        for args, rc in [(["access.log"], 1),  # every lookup succeeds, no translation
                         (["-t", "-n", "access.log"], 0), (["-t", "-n", "missing.log", "access.log"], 0),
                         (["-t", "-n", "access.log", "adir"], 1), (["-t", "-n", "adir", "b.log"], 0),
                         (["-t", "-n", "access.log", "missing.log"], 1), (["-t", "-n", "missing.log"], 1)]:
            with self.subTest(args=args):
                self.assertEqual(self.run_lv(args).rc, rc)
        self.assertEqual(sorted(set(self.dns.queries())), ["192.0.2.1", "192.0.2.2"])
        self.assertIn(b"host-192-0-2-1.example", harness.read_file(self.tmp / "access.log.out"))

    def test_directory_skipped_in_both_passes(self):
        (self.tmp / "adir").mkdir()
        self.assertEqual(self.run_lv(["adir", "access.log"]).out.splitlines(), [NO_CACHE])
        lines = self.run_lv(["-V", "-t", "-n", "adir", "access.log"]).out.splitlines()
        self.assertEqual(lines.count("'adir' is not a file, skipping it."), 2, lines)
        self.assertNotIn("Looking up 'adir'", lines)
        self.assertNotIn("Translating 'adir'", lines)
        self.assertEqual(self.dns.queries(), ["192.0.2.1"])

    def test_missing_file_reported_and_cache_left_alone(self):
        r = self.run_lv(["missing.log"])
        self.assertEqual(r.out.splitlines(), [NO_CACHE, "Error opening input file 'missing.log'."], r)
        self.assertFalse((self.tmp / "dnscache").exists(), r)
        cache = "29000000 198.51.100.1 old.example\n"
        harness.write_file(self.tmp / "dnscache", cache)
        (self.tmp / "adir").mkdir()
        lines = self.run_lv(["-V", "missing.log", "adir", "gone.log"]).out.splitlines()
        self.assertIn("Error opening input file 'missing.log'.", lines)
        self.assertIn("Error opening input file 'gone.log'.", lines)
        self.assertFalse(any(x.startswith("Wrote ") for x in lines), lines)
        self.assertEqual((self.tmp / "dnscache").read_text(), cache)
        self.assertFalse((self.tmp / "dnscache.bak").exists())
        # One readable file is enough for the write.
        r = self.run_lv(["missing.log", "access.log"])
        self.assertIn("Error opening input file 'missing.log'.", r.out, r)
        self.assertIn("192.0.2.1 host-192-0-2-1.example", (self.tmp / "dnscache").read_text())
        self.assertEqual((self.tmp / "dnscache.bak").read_text(), cache)
        # A name on the command line wins over any default log.
        harness.write_file(self.tmp / "ZazOVOV.log", "198.51.100.9 x\n")
        self.assertEqual(self.run_lv(["access.log"], fresh=True).rc, 1)
        self.assertNotIn("198.51.100.9", self.dns.queries())

    def test_standard_input(self):
        text = "".join("203.0.113.%d - - x\n" % i for i in range(1, 6)) * 3
        for kind, data in [("plain", text.encode()), ("gzip", gzip.compress(text.encode())),
                           ("bzip2", bz2.compress(text.encode()))]:
            with self.subTest(kind=kind):
                self.dns.clear_queries()
                r = self.run_lv(["-V", "-"], fresh=True, stdin=data)
                self.assertIn("Looking up '-'", r.out.splitlines(), r)
                self.assertIn("Looked up 5 IPs, used 0 from cache, total of 5 in cache,", r.out.splitlines(), r)
                self.assertRegex(r.out, r"\n  10 duplicates, 15 lines in 0:0\d!\n")
                self.assertEqual(sorted(self.dns.queries()), ["203.0.113.%d" % i for i in range(1, 6)])
                self.assertEqual(len((self.tmp / "dnscache").read_text().splitlines()), 5)
        # The second "-" finds standard input at its end, not a closed stream.
        r = self.run_lv(["-V", "-", "-"], stdin=text)
        totals = [line for line in r.out.splitlines() if line.startswith("  ")]
        self.assertEqual(len(totals), 2, r)
        self.assertRegex(totals[0], r"^  15 duplicates, 15 lines in ")  # all five in the cache by now
        self.assertRegex(totals[1], r"^  0 duplicates, 0 lines in ")

    def test_closed_standard_output(self):
        # head is gone after the first line; the answer comes 150 ms later.
        with harness.FakeDNS(default={"name": "slow.example", "delay": 150}) as dns:
            r = run_logvane(["-verbose", "-translate", "-normal", "access.log"], cwd=self.tmp, dns=dns,
                            wrap=["bash", "-c", '"$0" "$@" | head -1; echo "status ${PIPESTATUS[0]}"'])
        self.assertEqual((r.out, r.err), (BANNER[0] + "\nstatus 0\n", ""), r)
        self.assertIn("192.0.2.1 slow.example\n", (self.tmp / "dnscache").read_text())
        self.assertEqual((self.tmp / "access.log.out").read_text(), LOG.replace("192.0.2.1", "slow.example"))

    def test_filter_mode(self):
        text = "".join('203.0.113.%d - - "GET /%d" 200 5 "http://198.51.100.%d/"\r\n' % (i % 40, i, i % 7)
                       for i in range(3000))
        harness.write_file(self.tmp / "f.log", text)
        tmpdir = self.tmp / "tmpdir"
        tmpdir.mkdir()
        env = {"TMPDIR": str(tmpdir)}

        def filter_run(args, data, wrap=()):
            return run_logvane(args, cwd=self.tmp, dns=self.dns, stdin=data, env=env, wrap=wrap)

        # The stream is byte for byte the file translation; messages go to stderr.
        inputs = [text.encode(), gzip.compress(text.encode()), bz2.compress(text.encode())]
        for opts, suffix in [([], ".gz"), (["-normal", "-windows"], ".out"), (["-bzip2", "-level", "1"], ".bz2")]:
            self.run_lv(["-t"] + opts + ["f.log"])
            want = (self.tmp / ("f.log" + suffix)).read_bytes()
            for data in inputs:
                with self.subTest(opts=opts, input=data[:3]):
                    r = filter_run(["-verbose", "-t"] + opts + ["-"], data)
                    self.assertEqual((r.rc, r.out_bytes == want), (0, True), r)
                    lines = r.err.splitlines()
                    self.assertEqual((lines[0], lines[-1], lines.count("Translating '-'")),
                                     (BANNER[0], "Complete.", 1), r)
                    self.assertEqual(os.listdir(tmpdir), [])
        # Other logs go to files as before; -exchange and -kill leave "-" alone.
        plain = (self.tmp / "f.log.out").read_bytes().replace(b"\r\n", b"\n")
        for flag, left in [("-kill", ["b.log.out"]), ("-exchange", ["b.log"])]:
            (self.tmp / "b.log.out").unlink(missing_ok=True)
            harness.write_file(self.tmp / "b.log", LOG)
            r = filter_run(["-t", "-n", flag, "b.log", "-"], text)
            self.assertEqual((r.rc, r.out_bytes == plain, r.err), (0, True, ""), r)
            self.assertEqual(sorted(x for x in os.listdir(self.tmp) if x.startswith(("b.", "-"))), left, r)
            self.assertIn(b"host-192-0-2-1.example", (self.tmp / left[0]).read_bytes())
        # Disk full while keeping the copy: nothing on stdout, status 1, no temporary.
        if os.geteuid() == 0:
            script = 'mount -t tmpfs -o size=128k tmpfs "$TMPDIR" && "$0" "$@"; rc=$?; ls -A "$TMPDIR" >&2; exit $rc'
            r = filter_run(["-t", "-n", "-"], text, wrap=["unshare", "-m", "sh", "-c", script])
            self.assertEqual((r.rc, r.out_bytes), (1, b""), r)
            self.assertEqual(r.err.splitlines()[0], "Unable to keep a copy of standard input in '%s': "
                             "No space left on device." % tmpdir, r)
            self.assertTrue(r.err.endswith("Error opening input file '-'.\n"), r)  # ls found nothing
        # Killed: the copy (mode 0600) was unlinked from the start.
        with harness.FakeDNS(default={"name": "slow.example", "delay": 3000}) as slow:
            harness.write_file(self.tmp / "logvane.cfg", "dns-servers %s\ndns-timeout 1000\n" % slow.server)
            p = subprocess.Popen([harness.binary(), "-t", "-"], cwd=self.tmp, stdin=subprocess.PIPE,
                                 stdout=subprocess.DEVNULL, env=dict(os.environ, **env))
            p.stdin.write(text.encode())
            p.stdin.close()
            fds, deadline, copy = "/proc/%d/fd/" % p.pid, time.monotonic() + 20, None
            while copy is None and time.monotonic() < deadline:
                for fd in os.listdir(fds):
                    try:
                        if os.readlink(fds + fd).startswith(str(tmpdir)) and os.stat(fds + fd).st_size == len(text):
                            copy = os.stat(fds + fd)
                    except OSError:
                        pass
            try:
                self.assertEqual((copy.st_mode & 0o7777, os.listdir(tmpdir)), (0o600, []))
            finally:
                p.kill()
                p.wait()
            self.assertEqual(os.listdir(tmpdir), [])


if __name__ == "__main__":
    harness.main()
