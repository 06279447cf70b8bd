"""The lookup pass over log text: which runs of digits and dots are asked
for, and how lines are counted (the verbose totals lines are the oracle)."""

import re

import harness
from harness import SharedDNSTestCase, run_logvane

TOTALS = re.compile(r"^Looked up ([\d,]+) IPs, used ([\d,]+) from cache, total of ([\d,]+) in cache,\n"
                    r"  ([\d,]+) duplicates, ([\d,]+) lines in \d+:\d\d!$", re.M)


def wide(a, b, c, d):
    """An address written in 15 characters (leading zeros) and its plain form."""
    return "%03d.%03d.%03d.%03d" % (a, b, c, d), "%d.%d.%d.%d" % (a, b, c, d)


class Scan(SharedDNSTestCase):

    def scan(self, files, want, config=()):
        """files: [(name, bytes or a writer)]; want: the addresses asked for.
        Returns [(lookups, used, total, duplicates, lines)] per file."""
        self.dns.clear_queries()
        (self.tmp / "dnscache").unlink(missing_ok=True)
        for name, data in files:
            data(self.tmp / name) if callable(data) else harness.write_file(self.tmp / name, data)
        r = run_logvane(["-V"] + [n for n, _ in files], cwd=self.tmp, dns=self.dns, config_lines=config)
        got = [tuple(int(x.replace(",", "")) for x in m) for m in TOTALS.findall(r.out)]
        self.out = r.out
        self.assertEqual(r.err, "", r)
        self.assertEqual(len(got), len(files), r)
        self.assertEqual(sorted(self.dns.queries()), sorted(want), str(r) + self.dns.describe())
        return got

    def test_found_anywhere_in_a_line(self):
        line = ('10.1.1.1 - - [06/Dec/2024:11:00:00 +0000] "GET /x?from=10.1.1.2&y=1 HTTP/1.1" '
                '200 512 "http://10.1.1.3:8080/page" "Mozilla/5.0 (X11) Chrome/124.0.0.0 '
                'x10.1.1.4 (10.1.1.5) 10.1.1.6x -10.1.1.7- 01.02.03.04" 10.1.1.8')
        want = ["10.1.1.%d" % i for i in range(1, 9)] + ["124.0.0.0", "1.2.3.4"]
        self.assertEqual(self.scan([("a.log", line + "\n" + line + "\n")], want), [(10, 0, 10, 10, 2)])

    def test_runs_that_are_not_addresses(self):
        texts = ["1.2.3.4.5", "256.1.1.1", "1.2.3.256", "1.2.3", "1.2.3.4.", "1234.1.1.1", "1.2.3.4567", "1..2.3",
                 ".1.2.3", "10.0.0.1.5", "1.2.3.4.5.6.7.8", "06/Dec/2024:11:00:00", "2024.12.06", "2024-12-06",
                 "12.06.2024", "Firefox/125.0", "v1.2.3.4.5", "999.999.999.999", "2001:db8::1", "::"]
        got = self.scan([("a.log", "".join("x %s y\n" % t for t in texts))], [])
        self.assertEqual(got, [(0, 0, 0, 0, len(texts))])

    def test_version_strings(self):
        agents = [
            "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
            "Safari/537.36 Edg/120.0.0.0",
            "Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/121.0.0.0 Mobile "
            "Safari/537.36 OPR/80.1.4.0",
            "Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko; compatible; Googlebot/2.1; "
            "+http://www.google.com/bot.html) Chrome/122.0.0.0 Safari/537.36",
            "Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm) Crawler/3.0.0.0",
            "MyUpdater v1.2.3.4 (build V5.6.7.8)",
        ]
        log = "".join('192.0.2.4 - - [x] "GET /go?to=//192.0.2.3/ HTTP/1.1" 200 1 "https://192.0.2.2:8443/" '
                      '"%s" via http://192.0.2.1/x\n' % a for a in agents)
        hosts = ["192.0.2.%d" % i for i in range(1, 5)]
        versions = ["120.0.0.0", "121.0.0.0", "80.1.4.0", "122.0.0.0", "3.0.0.0", "1.2.3.4", "5.6.7.8"]
        self.assertEqual(self.scan([("a.log", log)], hosts + versions)[0][0], 11)
        self.assertEqual(self.scan([("a.log", log)], hosts, ["skip-versions yes"]), [(4, 0, 4, 16, 5)])

    def test_ipv6_and_versions_at_the_window_edge(self):
        # Cut by the first refill: the run that may go on past the window, a
        # run glued to the byte before the cut, a version right after one.
        tail = "\n" + "y" * 40000 + " 192.0.2.9\n"
        files = [("a.log", "x" * 65499 + " fedc:ba98:7654:3210:fedc:ba98:7654:0321" + tail),
                 ("b.log", "x" * 65506 + "2001:db8::5" + tail), ("c.log", "x" * 65499 + "Chrome/120.0.0.0" + tail)]
        got = self.scan(files, ["fedc:ba98:7654:3210:fedc:ba98:7654:321", "192.0.2.9"], ["ipv6 yes", "skip-versions yes"])
        self.assertEqual(got, [(2, 0, 2, 0, 2), (0, 0, 2, 1, 2), (0, 0, 2, 1, 2)])

    def test_nul_bytes(self):
        data = (b"\x00\x00203.0.113.1 a\x00b 203.0.113.2\x00\n1.2\x00.3.4 x\n"
                + b"\x00" * 40000 + b"203.0.113.3\n203.0.113.4\x00.5 \x00\r\n")
        got = self.scan([("a.log", data)], ["203.0.113.%d" % i for i in range(1, 5)])
        self.assertEqual(got, [(4, 0, 4, 0, 4)])

    def test_line_ends(self):
        cases = [  # data, lines; each case has its own addresses
            (b"%s\n%s\n", 2),
            (b"%s\r%s\r", 2),
            (b"%s\r\n%s\r\n", 2),
            (b"%s\n\r%s\r\n\n", 4),   # LF, CR, CR LF, LF
            (b"%s\r\r\n\n\r%s", 4),  # CR, CR LF, LF, CR; last line open
            (b"%s\n%s", 1),          # the last line has no end
            (b"%s %s", 0),
            (b"%s%s\n", 1),          # two addresses glued: one run, none valid
        ]
        files, want = [], []
        for i, (fmt, _lines) in enumerate(cases):
            a, b = "198.51.100.%d" % (2 * i), "198.51.100.%d" % (2 * i + 1)
            files.append(("f%d.log" % i, fmt % (a.encode(), b.encode())))
            want += [a, b] if b"%s%s" not in fmt else []
        got = self.scan(files + [("empty.log", b"")], want)
        self.assertEqual([g[4] for g in got], [n for _, n in cases] + [0])
        self.assertEqual([g[0] for g in got], [2] * (len(cases) - 1) + [0, 0])
        self.assertEqual(got[-1], (0, 0, 14, 0, 0))

    def test_counts_are_grouped(self):
        data = "203.0.113.9 x\n" + "no address here\n" * 1233 + "203.0.113.9\n" * 1000
        self.assertEqual(self.scan([("a.log", data)], ["203.0.113.9"]), [(1, 0, 1, 1000, 2234)])
        self.assertIn("  1,000 duplicates, 2,234 lines in ", self.out)

    def test_compressed_inputs(self):
        def text(base):
            return "".join("203.0.%d.%d - - x\n" % (base, i) for i in range(1, 4)) * 2

        files = [
            ("a.gz", lambda p: harness.gzip_file(p, text(10))),
            ("a.bz2", lambda p: harness.bzip2_file(p, text(11))),
            # Members in turn: one without a final newline does not run into the next, empty or not.
            ("a.zip", lambda p: harness.zip_file(p, [("x.log", text(12)), ("y.log", "203.0.13.1"), ("e.log", ""),
                                                     ("z.log", "203.0.13.2\n")])),
        ]
        want = ["203.0.%d.%d" % (b, i) for b in (10, 11, 12) for i in range(1, 4)] + ["203.0.13.1", "203.0.13.2"]
        got = self.scan(files, want)
        self.assertEqual([(g[0], g[3], g[4]) for g in got], [(3, 3, 6), (3, 3, 6), (5, 3, 10)])

    def test_addresses_across_buffer_boundaries(self):
        # One line of about 200 KB: 15-character addresses laid over every
        # 32 KiB boundary of the file, at a different distance each time.
        buf, want = bytearray(b"a" * 7 * 32768), []
        for k, d in enumerate((1, 4, 7, 10, 12, 14), 1):
            text, plain = wide(10, 20 + k, k, d)
            buf[32768 * k - d:32768 * k - d + 15] = text.encode()
            want.append(plain)
        # Gaps from the end of one address to the next around the 32,753-byte step of the scanner.
        tail = bytearray(b"b")
        for i, gap in enumerate((32751, 32752, 32753, 32754, 32755)):
            text, plain = wide(10, 30, i, 200)
            tail += text.encode() + b"c" * gap
            want.append(plain)
        line = bytes(buf) + b" " + bytes(tail) + b"\n"
        n = len(want)
        self.assertEqual(self.scan([("long.log", line)], want), [(n, 0, n, 0, 1)])
        self.assertEqual(self.scan([("long.gz", lambda p: harness.gzip_file(p, line + line))], want),
                         [(n, 0, n, n, 2)])

    def test_line_ends_and_runs_at_the_window_edge(self):
        # A CR LF pair and an address run cut by a 64 KiB read boundary.
        data = b"x" * 65535 + b"\r\n" + b"y" * 65531 + b"10.40.0.1 z\n10.40.0.2"
        self.assertEqual(self.scan([("a.log", data)], ["10.40.0.1", "10.40.0.2"]), [(2, 0, 2, 0, 2)])

    def test_runs_across_the_window_end_in_both_passes(self):
        # A long run whose last bytes look like an address, ending just past a
        # look-ahead limit or a refill: one run, neither asked for nor replaced.
        files = []
        for i, (edge, shift, body) in enumerate((e, s, b) for e in (32753, 65536) for s in (-1, 0)
                                                for b in ("9", "9.")):
            run = ((body * edge)[:edge + shift - 100] + "10.40.%d.1" % i).encode()
            files.append(("w%d.log" % i, b"x" * 100 + run + b" 10.50.0.9\n"))
        got = self.scan(files, ["10.50.0.9"])
        self.assertEqual([g[0] + g[3] for g in got], [1] * len(files))
        r = run_logvane(["-translate", "-normal"] + [n for n, _ in files], cwd=self.tmp, dns=self.dns)
        for name, data in files:
            self.assertEqual(harness.read_file(self.tmp / (name + ".out")),
                             data.replace(b" 10.50.0.9", b" host-10-50-0-9.example"), (name, r))


if __name__ == "__main__":
    harness.main()
