"""Run driver: usage, banner, settings file, file list handling, exit status."""

import gzip
import bz2

import harness
from harness import E2ETestCase, FakeDNS, run_logvane

USAGE = (harness.source_dir() / "tests" / "src" / "usage.txt").read_text().splitlines()
NOTICE = USAGE[1:3]
BANNER = ["Starting Logvane Version 1.5.4a"] + NOTICE
NO_CACHE = "'dnscache' not found, creating it."
LOG = "192.0.2.1 - - [06/Dec/2024:11:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n"


class DriverCase(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = FakeDNS()

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()

    def setUp(self):
        super().setUp()
        self.dns.clear_queries()
        self.log = harness.write_file(self.tmp / "access.log", LOG)

    def run_lv(self, args, **kw):
        kw.setdefault("dns", self.dns)
        r = run_logvane(args, cwd=self.tmp, **kw)
        self.assertEqual(r.err, "", r)
        return r


class Usage(DriverCase):
    def test_usage_outcomes(self):
        invalid = "Command line argument '%s' is invalid!"
        cases = [
            # args, config lines, expected stdout lines
            ([], [], USAGE),
            ([], ["verbose yes"], USAGE + ["Complete."]),
            (["-help"], [], USAGE),
            (["-h", "access.log"], [], USAGE),
            (["-?", "access.log"], [], USAGE),
            (["-t", "-HELP", "-q", "access.log"], [], USAGE),
            (["-q", "access.log"], [], [invalid % "-q"] + USAGE),
            (["-t", "-level", "12", "access.log"], [], [invalid % "-level"] + USAGE),
            (["-cache"], [], [invalid % "-cache"] + USAGE),
            (["-verbose"], [], BANNER + USAGE + ["Complete."]),
            (["-verbose", "-x", "access.log"], [], BANNER + [invalid % "-x"] + USAGE + ["Complete."]),
            (["-Verbose"], [], USAGE + ["Complete."]),
            (["-t"], ["verbose yes"], USAGE + ["Complete."]),
            # -settings is only taken as the first pair of arguments
            (["-v", "-settings", "x.cfg", "access.log"], [],
             BANNER + [invalid % "-settings"] + USAGE + ["Complete."]),
            (["-t", "-s", "x.cfg", "access.log"], [], [invalid % "-s"] + USAGE),
        ]
        for args, cfg, want in cases:
            with self.subTest(args=args, cfg=cfg):
                r = self.run_lv(args, config_lines=cfg)
                self.assertEqual(r.out.splitlines(), want, r)
                self.assertEqual(r.rc, 1, r)
                self.assertEqual(r.err, "", r)
        self.assertEqual(self.dns.queries(), [])
        self.assertFalse((self.tmp / "dnscache").exists())


class Banner(DriverCase):
    def test_banner_only_for_lower_case_v_first(self):
        cases = [
            (["-verbose", "access.log"], True),
            (["-v", "access.log"], True),
            (["-Verbose", "access.log"], False),
            (["-t", "-v", "-n", "access.log"], False),
        ]
        for args, banner in cases:
            with self.subTest(args=args):
                (self.tmp / "dnscache").unlink(missing_ok=True)
                r = self.run_lv(args)
                lines = r.out.splitlines()
                self.assertEqual(lines[:3] == BANNER, banner, r)
                self.assertEqual(lines.count(BANNER[0]), 1 if banner else 0, r)
                self.assertEqual(lines[-1], "Complete.", r)
                rest = lines[3:] if banner else lines
                self.assertEqual(rest[:2], [NO_CACHE, "Looking up 'access.log'"], r)

    def test_verbose_from_config_prints_no_banner(self):
        r = self.run_lv(["access.log"], config_lines=["verbose yes"])
        lines = r.out.splitlines()
        self.assertNotIn(BANNER[0], lines, r)
        self.assertEqual(lines[:2], [NO_CACHE, "Looking up 'access.log'"], r)
        self.assertEqual(lines[-1], "Complete.", r)

    def test_complete_only_when_verbose(self):
        r = self.run_lv(["access.log"])
        self.assertEqual(r.out.splitlines(), [NO_CACHE], r)
        r = self.run_lv(["-V", "access.log"])
        self.assertEqual(r.out.splitlines()[-1], "Complete.", r)
        self.assertEqual(r.out.count("Complete."), 1, r)


class SettingsFile(DriverCase):
    def test_settings_pair_replaces_default_file(self):
        # logvane.cfg would switch verbose on; the named file does not.
        harness.write_file(self.tmp / "logvane.cfg",
                           "dns-servers %s\nverbose yes\ncache never\n" % self.dns.server)
        other = "dns-servers %s\ncache mycache\n" % self.dns.server
        for first in ["-settings", "-S", "-s"]:
            with self.subTest(first=first):
                harness.write_file(self.tmp / "other.cfg", other)
                # The harness checks logvane.cfg unless the first word is
                # exactly -settings; both files name only loopback servers.
                r = self.run_lv([first, "other.cfg", "access.log"], config_lines=None)
                self.assertEqual(r.out.splitlines(), ["'mycache' not found, creating it."], r)
                self.assertTrue((self.tmp / "mycache").exists(), r)
                (self.tmp / "mycache").unlink()
        self.assertFalse((self.tmp / "never").exists())

    def test_default_file_is_read(self):
        r = self.run_lv(["access.log"], config_lines=["cache fromcfg", "verbose yes"])
        self.assertIn("'fromcfg' not found, creating it.", r.out.splitlines(), r)
        self.assertTrue((self.tmp / "fromcfg").exists(), r)


class ExitStatus(DriverCase):
    def test_exit_status(self):
        harness.write_file(self.tmp / "b.log", "192.0.2.2 x\n")
        (self.tmp / "adir").mkdir()
        cases = [
            (["access.log"], 1),                    # every lookup succeeds, no translation
            (["-t", "-n", "access.log"], 0),
            (["-t", "-n", "missing.log", "access.log"], 0),
            (["-t", "-n", "access.log", "adir"], 1),
            (["-t", "-n", "adir", "b.log"], 0),
            (["-t", "-n", "access.log", "missing.log"], 1),
            (["-t", "-n", "missing.log"], 1),
        ]
        for args, rc in cases:
            with self.subTest(args=args):
                r = self.run_lv(args)
                self.assertEqual(r.rc, rc, r)
        self.assertEqual(sorted(set(self.dns.queries())), ["192.0.2.1", "192.0.2.2"])
        self.assertIn(b"host-192-0-2-1.example",
                      harness.read_file(self.tmp / "access.log.out"))


class FileList(DriverCase):
    def test_directory_skipped(self):
        (self.tmp / "adir").mkdir()
        r = self.run_lv(["adir", "access.log"])
        self.assertEqual(r.out.splitlines(), [NO_CACHE], r)
        r = self.run_lv(["-V", "-t", "-n", "adir", "access.log"])
        skip = "'adir' is not a file, skipping it."
        lines = r.out.splitlines()
        self.assertEqual(lines.count(skip), 2, r)  # once per pass
        self.assertNotIn("Looking up 'adir'", lines, r)
        self.assertNotIn("Translating 'adir'", lines, r)
        self.assertEqual(self.dns.queries(), ["192.0.2.1"])

    def test_missing_file_reported_and_cache_left_alone(self):
        r = self.run_lv(["missing.log"])
        self.assertEqual(r.out.splitlines(),
                         [NO_CACHE, "Error opening input file 'missing.log'."], r)
        self.assertFalse((self.tmp / "dnscache").exists(), r)
        cache = "29000000 198.51.100.1 old.example\n"
        harness.write_file(self.tmp / "dnscache", cache)
        (self.tmp / "adir").mkdir()
        r = self.run_lv(["-V", "missing.log", "adir", "gone.log"])
        lines = r.out.splitlines()
        self.assertIn("Error opening input file 'missing.log'.", lines, r)
        self.assertIn("Error opening input file 'gone.log'.", lines, r)
        self.assertFalse(any(x.startswith("Wrote ") for x in lines), r)
        self.assertEqual((self.tmp / "dnscache").read_text(), cache)
        self.assertFalse((self.tmp / "dnscache.bak").exists())
        # One readable file is enough for the write.
        r = self.run_lv(["missing.log", "access.log"])
        self.assertIn("Error opening input file 'missing.log'.", r.out, r)
        self.assertIn("192.0.2.1 host-192-0-2-1.example", (self.tmp / "dnscache").read_text())
        self.assertEqual((self.tmp / "dnscache.bak").read_text(), cache)

    def test_standard_input(self):
        text = "".join("203.0.113.%d - - x\n" % i for i in range(1, 6)) * 3
        cases = [("plain", text.encode()), ("gzip", gzip.compress(text.encode())),
                 ("bzip2", bz2.compress(text.encode()))]
        for kind, data in cases:
            with self.subTest(kind=kind):
                self.dns.clear_queries()
                (self.tmp / "dnscache").unlink(missing_ok=True)
                r = self.run_lv(["-V", "-"], stdin=data)
                lines = r.out.splitlines()
                self.assertIn("Looking up '-'", lines, r)
                self.assertIn("Looked up 5 IPs, used 0 from cache, total of 5 in cache,", lines, r)
                self.assertRegex(r.out, r"\n  10 duplicates, 15 lines in 0:0\d!\n")
                self.assertEqual(sorted(self.dns.queries()),
                                 ["203.0.113.%d" % i for i in range(1, 6)])
                self.assertEqual(len((self.tmp / "dnscache").read_text().splitlines()), 5)

    def test_standard_input_named_twice(self):
        # The second "-" finds standard input at its end, not a closed stream.
        text = "".join("203.0.113.%d - - x\n" % i for i in range(1, 4))
        r = self.run_lv(["-V", "-", "-"], stdin=text)
        totals = [l for l in r.out.splitlines() if l.startswith("  ")]
        self.assertEqual(len(totals), 2, r)
        self.assertRegex(totals[0], r"^  0 duplicates, 3 lines in ")
        self.assertRegex(totals[1], r"^  0 duplicates, 0 lines in ")

    def test_default_log_is_not_used_when_names_are_given(self):
        harness.write_file(self.tmp / "ZazOVOV.log", "198.51.100.9 x\n")
        r = self.run_lv(["access.log"])
        self.assertEqual(r.rc, 1, r)
        self.assertEqual(self.dns.queries(), ["192.0.2.1"])


if __name__ == "__main__":
    harness.main()
