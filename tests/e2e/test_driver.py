"""Run driver: usage, banner, settings files, the file list, standard input
and filter mode, exit status; the manual page."""

import bz2, gzip, os, re, subprocess
from pathlib import Path

import harness
from harness import Case, FakeDNS

USAGE = (harness.HERE.parent / "src" / "usage.txt").read_text().splitlines()
BANNER = ["Starting Logvane Version 1.5.4a"] + USAGE[1:3]
NEW, BAD, DONE = "'dnscache' not found, creating it.", "Command line argument '%s' is invalid!", ["Complete."]
LOG = "192.0.2.1 - - [06/Dec/2024:11:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n"

class Driver(Case):
    shared_dns = True

    def setUp(self):
        super().setUp()
        harness.write_file(self.tmp / "a.log", LOG)
        (self.tmp / "adir").mkdir()
        harness.write_config(self.tmp / "other.cfg", self.dns, ["cache mycache"])

    def test_arguments(self):
        rows = [  # arguments, configuration, exit status, standard output (None: not checked)
            ([], [], 1, USAGE), ([], ["verbose yes"], 1, USAGE + DONE), (["-help"], [], 1, USAGE),
            (["-q", "a.log"], [], 1, [BAD % "-q"] + USAGE), (["-verbose"], [], 1, BANNER + USAGE + DONE),
            (["-verbose", "-x", "a.log"], [], 1, BANNER + [BAD % "-x"] + USAGE + DONE), (["-Verbose"], [], 1, USAGE + DONE),
            (["-v", "-settings", "x.cfg", "a.log"], [], 1, BANNER + [BAD % "-settings"] + USAGE + DONE),
            (["-sfoo", "x.cfg", "a.log"], [], 1, [BAD % "-sfoo"] + USAGE),
            (["-vx", "a.log"], [], 1, BANNER + [BAD % "-vx"] + USAGE),
            (["-t", "-v", "-n", "a.log"], [], 0, [NEW, "Looking up 'a.log'"]),
            (["-v", "a.log"], ["cache fromcfg"], 1, BANNER + ["'fromcfg' not found, creating it.", "Looking up 'a.log'"]),
            (["a.log"], [], 1, [NEW]),  # every lookup succeeds, nothing translated
            (["-", "a.log"], ["verbose yes"], 1, [NEW, "Looking up '-'"]),  # "-" first is standard input
            (["-V", "-t", "-n", "adir", "a.log"], [], 0, None), (["-t", "-n", "missing.log", "a.log"], [], 0, None),
            (["-t", "-n", "a.log", "adir"], [], 1, None), (["-t", "-n", "a.log", "missing.log"], [], 1, None),
            (["-t", "-n", "missing.log"], [], 1, [NEW, "Error opening input file 'missing.log'."]),
            # A settings file first replaces logvane.cfg, under any abbreviation.
            (["-s", "other.cfg", "a.log"], ["cache never"], 1, ["'mycache' not found, creating it."]),
            (["-SeT", "other.cfg", "a.log"], ["cache never"], 1, ["'mycache' not found, creating it."])]
        for args, cfg, rc, out in rows:
            with self.subTest(args=args, cfg=cfg):
                [p.unlink() for p in self.tmp.glob("*cache*")]
                r = self.lv(args, config_lines=cfg)
                lines = r.out.splitlines()
                self.assertEqual((r.rc, lines if out is None else lines[:len(out)]), (rc, lines if out is None else out), r)
                self.assertEqual(lines.count(BANNER[0]), int(out is not None and out[:1] == BANNER[:1]), r)
                if "adir" in args:
                    self.assertEqual((lines.count("'adir' is not a file, skipping it."), "Looking up 'adir'" in lines),
                                     (2 if "-V" in args else 0, False), r)
                if "missing.log" in args and "a.log" not in args:
                    self.assertFalse((self.tmp / "dnscache").exists(), r)
        self.assertEqual(sorted(set(self.dns.queries())), ["192.0.2.1"])

    def test_standard_input_and_a_cache_left_alone(self):
        # A reader gone after the first line: the answer, 150 ms later, still lands.
        with FakeDNS(default={"name": "slow.example", "delay": 150}) as dns:
            r = self.lv(["-verbose", "-translate", "-normal", "a.log"], dns=dns,
                        wrap=["bash", "-c", '"$0" "$@" | head -1; echo "status ${PIPESTATUS[0]}"'])
        self.assertEqual(r.out, BANNER[0] + "\nstatus 0\n", r)
        self.assertEqual((self.tmp / "a.log.out").read_text(), LOG.replace("192.0.2.1", "slow.example"))
        # The second "-" finds standard input at its end, not a closed stream.
        r = self.lv(["-V", "-", "-"], stdin="".join("203.0.113.%d - - x\n" % i for i in range(1, 6)) * 3)
        self.assertEqual([x[:27] for x in r.out.splitlines() if x.startswith("  ")],
                         ["  10 duplicates, 15 lines i", "  0 duplicates, 0 lines in "], r)
        # No readable log: the cache is neither written nor backed up.
        cache = harness.write_file(self.tmp / "dnscache", "29000000 198.51.100.1 old.example\n").read_text()
        (self.tmp / "dnscache.bak").unlink()
        self.assertNotIn("Wrote ", self.lv(["-V", "missing.log", "adir", "gone.log"]).out)
        self.assertEqual(((self.tmp / "dnscache").read_text(), (self.tmp / "dnscache.bak").exists()), (cache, False))
        self.lv(["missing.log", "a.log"])
        self.assertEqual(((self.tmp / "dnscache.bak").read_text(), "192.0.2.1 host-192-0-2-1.example" in
                          (self.tmp / "dnscache").read_text()), (cache, True))

    def test_filter_mode(self):
        text = "".join('203.0.113.%d - - "GET /%d" 200 5 "http://198.51.100.%d/"\r\n' % (i % 40, i, i % 7)
                       for i in range(3000)).encode()
        harness.write_file(self.tmp / "f.log", text)
        tmpdir = self.tmp / "tmpdir"
        tmpdir.mkdir()
        # The stream is byte for byte the file translation; messages go to stderr.
        for opts, suffix in [([], ".gz"), (["-normal", "-windows"], ".out"), (["-bzip2", "-level", "1"], ".bz2")]:
            self.lv(["-t"] + opts + ["f.log"])
            for data in (text, gzip.compress(text), bz2.compress(text)):
                with self.subTest(opts=opts, input=data[:3]):
                    r = self.lv(["-verbose", "-t"] + opts + ["-"], clean=False, stdin=data, env={"TMPDIR": str(tmpdir)})
                    err = r.err.splitlines()
                    self.assertEqual((r.rc, r.out_bytes == (self.tmp / ("f.log" + suffix)).read_bytes(), os.listdir(tmpdir),
                                      err[:1] + err[-1:]), (0, True, [], [BANNER[0], "Complete."]), r)

    def test_manual_page(self):
        # It formats cleanly, carries this version and, like the README, documents every option and keyword.
        root, man = Path(os.environ["LOGVANE_SOURCE_DIR"]), Path(harness.binary()).with_name("logvane.1")
        r = subprocess.run(["groff", "-ww", "-man", "-Tutf8", str(man)], capture_output=True, text=True)
        man, readme, src = man.read_text(), (root / "README.md").read_text(), (root / "src" / "Settings.cpp").read_text()
        self.assertEqual((r.returncode, r.stderr, '"Logvane %s"' % USAGE[0].split()[-1] in man.split("\n", 3)[1]), (0, "", True))
        words = set(re.findall(r'^\s*\{"([a-z-]+)", (?:\'[a-z]\'|0|&Settings)', src, re.M) +
                    re.findall(r'\{"([a-z0-9-]+)", &Settings\.', src) + re.findall(r'strcmp\(keyword, "([a-z-]+)"\)', src))
        self.assertTrue({"dns-servers", "dns-inflight", "ipv6", "skip-versions"} <= words, words)
        for o in re.findall(r"^  -(\w+)", "\n".join(USAGE), re.M):
            self.assertTrue(re.search(r"(?m)^\.B[IR]? \\-%s\b" % o, man) and "-" + o in readme, o)
        for w in words:
            self.assertTrue(re.search(r"(?m)^\.BI %s " % re.escape(w.replace("-", "\\-")), man) and
                            re.search(r"`%s\b" % re.escape(w), readme), w)

if __name__ == "__main__":
    harness.main()
