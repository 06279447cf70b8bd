"""The lookup pass over log text: which runs of digits and dots are asked
for, and how lines are counted (the verbose totals lines are the oracle)."""

import gzip
import re

import harness
from harness import E2ETestCase, FakeDNS, run_logvane

TOTALS = re.compile(r"^Looked up ([\d,]+) IPs, used ([\d,]+) from cache, total of ([\d,]+) in cache,\n"
                    r"  ([\d,]+) duplicates, ([\d,]+) lines in \d+:\d\d!$", re.M)


def totals(out):
    """[(lookups, used, total, duplicates, lines)] per file, as printed."""
    return [tuple(int(x.replace(",", "")) for x in m) for m in TOTALS.findall(out)]


def wide(a, b, c, d):
    """An address written in 15 characters (leading zeros) and its plain form."""
    return "%03d.%03d.%03d.%03d" % (a, b, c, d), "%d.%d.%d.%d" % (a, b, c, d)


class ScanCase(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = FakeDNS()

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()

    def setUp(self):
        super().setUp()
        self.dns.clear_queries()

    def scan(self, files, args=()):
        """files: [(name, bytes or a writer)]. Returns (per-file totals, run)."""
        names = []
        for name, data in files:
            if callable(data):
                data(self.tmp / name)
            else:
                harness.write_file(self.tmp / name, data)
            names.append(name)
        r = run_logvane(["-V"] + list(args) + names, cwd=self.tmp, dns=self.dns)
        got = totals(r.out)
        self.assertEqual(r.err, "", r)
        self.assertEqual(len(got), len(names), r)
        return got, r

    def assertQueried(self, want, r):
        self.assertEqual(sorted(self.dns.queries()), sorted(want), str(r) + self.dns.describe())


class Addresses(ScanCase):
    def test_found_anywhere_in_a_line(self):
        line = ('10.1.1.1 - - [06/Dec/2024:11:00:00 +0000] "GET /x?from=10.1.1.2&y=1 HTTP/1.1" '
                '200 512 "http://10.1.1.3:8080/page" "Mozilla/5.0 (X11) Chrome/124.0.0.0 '
                'x10.1.1.4 (10.1.1.5) 10.1.1.6x -10.1.1.7- 01.02.03.04" 10.1.1.8')
        (got,), r = self.scan([("a.log", line + "\n" + line + "\n")])
        want = ["10.1.1.%d" % i for i in range(1, 9)] + ["124.0.0.0", "1.2.3.4"]
        self.assertQueried(want, r)
        self.assertEqual(got, (10, 0, 10, 10, 2), r)

    def test_runs_that_are_not_addresses(self):
        texts = ["1.2.3.4.5", "256.1.1.1", "1.2.3.256", "1.2.3", "1.2.3.4.", "1234.1.1.1",
                 "1.2.3.4567", "1..2.3", ".1.2.3", "10.0.0.1.5", "1.2.3.4.5.6.7.8",
                 "06/Dec/2024:11:00:00", "2024.12.06", "2024-12-06", "12.06.2024",
                 "Firefox/125.0", "v1.2.3.4.5", "999.999.999.999", "2001:db8::1"]
        data = "".join("x %s y\n" % t for t in texts)
        (got,), r = self.scan([("a.log", data)])
        self.assertQueried([], r)
        self.assertEqual(got, (0, 0, 0, 0, len(texts)), r)

    def test_nul_bytes(self):
        data = (b"\x00\x00203.0.113.1 a\x00b 203.0.113.2\x00\n"
                b"1.2\x00.3.4 x\n"
                + b"\x00" * 40000 + b"203.0.113.3\n"
                b"203.0.113.4\x00.5 \x00\r\n")
        (got,), r = self.scan([("a.log", data)])
        self.assertQueried(["203.0.113.%d" % i for i in range(1, 5)], r)
        self.assertEqual(got, (4, 0, 4, 0, 4), r)


class Lines(ScanCase):
    def test_line_ends(self):
        cases = [
            # data, lines; each case has its own addresses
            (b"%s\n%s\n", 2),
            (b"%s\r%s\r", 2),
            (b"%s\r\n%s\r\n", 2),
            (b"%s\n\r%s\r\n\n", 4),            # LF, CR, CR LF, LF
            (b"%s\r\r\n\n\r%s", 4),           # CR, CR LF, LF, CR; last line open
            (b"%s\n%s", 1),                   # the last line has no end
            (b"%s %s", 0),
            (b"%s%s\n", 1),                   # two addresses glued: one run, none valid
        ]
        files, want_queries = [], []
        for i, (fmt, _lines) in enumerate(cases):
            a, b = "198.51.100.%d" % (2 * i), "198.51.100.%d" % (2 * i + 1)
            files.append(("f%d.log" % i, fmt % (a.encode(), b.encode())))
            if b"%s%s" not in fmt:
                want_queries += [a, b]
        files.append(("empty.log", b""))
        got, r = self.scan(files)
        self.assertQueried(want_queries, r)
        self.assertEqual([g[4] for g in got], [n for _, n in cases] + [0], r)
        self.assertEqual([g[0] for g in got], [2] * (len(cases) - 1) + [0, 0], r)
        self.assertEqual(got[-1], (0, 0, 14, 0, 0), r)

    def test_counts_are_grouped(self):
        data = "203.0.113.9 x\n" + "no address here\n" * 1233 + "203.0.113.9\n" * 1000
        (got,), r = self.scan([("a.log", data)])
        self.assertIn("  1,000 duplicates, 2,234 lines in ", r.out, r)
        self.assertEqual(got, (1, 0, 1, 1000, 2234), r)


class Inputs(ScanCase):
    def test_compressed_inputs(self):
        def text(base):
            return "".join("203.0.%d.%d - - x\n" % (base, i) for i in range(1, 4)) * 2

        files = [
            ("a.gz", lambda p: harness.gzip_file(p, text(10))),
            ("a.bz2", lambda p: harness.bzip2_file(p, text(11))),
            ("a.zip", lambda p: harness.zip_file(p, [("x.log", text(12)), ("y.log", text(13))])),
            # A member without a final newline does not run into the next.
            ("b.zip", lambda p: harness.zip_file(p, [("x.log", "203.0.14.1"),
                                                     ("y.log", "203.0.14.2\n")])),
            ("c.zip", lambda p: harness.zip_file(p, [("x.log", "203.0.15.1\n"), ("e.log", ""),
                                                     ("y.log", "203.0.15.2")])),
        ]
        got, r = self.scan(files)
        want = ["203.0.%d.%d" % (b, i) for b in (10, 11, 12, 13) for i in range(1, 4)]
        self.assertQueried(want + ["203.0.14.1", "203.0.14.2", "203.0.15.1", "203.0.15.2"], r)
        self.assertEqual([(g[0], g[3], g[4]) for g in got],
                         [(3, 3, 6), (3, 3, 6), (6, 6, 13), (2, 0, 2), (2, 0, 3)], r)


class LongLines(ScanCase):
    def test_addresses_across_buffer_boundaries(self):
        # One line of about 200 KB: 15-character addresses laid over every
        # 32 KiB boundary of the file, at a different distance each time.
        size = 7 * 32768
        buf = bytearray(b"a" * size)
        want = []
        for k, d in enumerate((1, 4, 7, 10, 12, 14), 1):
            text, plain = wide(10, 20 + k, k, d)
            at = 32768 * k - d
            buf[at:at + 15] = text.encode()
            want.append(plain)
        # Gaps from the end of one address to the next around the
        # 32,753-byte step of the scanner.
        tail = bytearray(b"b")
        for i, gap in enumerate((32751, 32752, 32753, 32754, 32755)):
            text, plain = wide(10, 30, i, 200)
            tail += text.encode() + b"c" * gap
            want.append(plain)
        line = bytes(buf) + b" " + bytes(tail) + b"\n"
        self.assertGreater(len(line), 300000)
        for name, writer in [("long.log", lambda p: harness.write_file(p, line)),
                             ("long.gz", lambda p: harness.gzip_file(p, line + line))]:
            with self.subTest(name=name):
                self.dns.clear_queries()
                (self.tmp / "dnscache").unlink(missing_ok=True)
                (got,), r = self.scan([(name, writer)])
                self.assertQueried(want, r)
                n = len(want)
                dups = n if name.endswith(".gz") else 0
                lines = 2 if name.endswith(".gz") else 1
                self.assertEqual(got, (n, 0, n, dups, lines), r)

    def test_line_ends_and_runs_at_the_window_edge(self):
        # A CR LF pair and an address run cut by a 64 KiB read boundary.
        head = b"x" * (65536 - 1) + b"\r\n"
        mid = b"y" * (65536 - 5) + b"10.40.0.1 z\n"
        data = head + mid + b"10.40.0.2"
        (got,), r = self.scan([("a.log", data)])
        self.assertQueried(["10.40.0.1", "10.40.0.2"], r)
        self.assertEqual(got, (2, 0, 2, 0, 2), r)


if __name__ == "__main__":
    harness.main()
