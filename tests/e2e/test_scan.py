"""The lookup pass over log text: which runs of digits and dots are asked for,
and how lines are counted (the verbose totals are the oracle)."""

import bz2, gzip, io, random, re, time, zipfile

import harness

TOTALS = re.compile(r"^Looked up ([\d,]+) IPs, used ([\d,]+) from cache, total of ([\d,]+) in cache,\n"
                    r"  ([\d,]+) duplicates, ([\d,]+) lines in \d+:\d\d!$", re.M)
LINE = ('10.1.1.1 - - [06/Dec/2024:11:00:00 +0000] "GET /x?from=10.1.1.2&y=1 HTTP/1.1" 200 512 '
        '"http://10.1.1.3:8080/page" "Mozilla/5.0 (X11) Chrome/124.0.0.0 x10.1.1.4 (10.1.1.5) 10.1.1.6x -10.1.1.7- '
        '01.02.03.04" 10.1.1.8\n')
NOT_ADDRESSES = ["1.2.3.4.5", "256.1.1.1", "1.2.3.256", "1.2.3", "1.2.3.4.", "1234.1.1.1", "1.2.3.4567", "1..2.3",
                 ".1.2.3", "1.2.3.4.5.6.7.8", "06/Dec/2024:11:00:00", "2024.12.06", "Firefox/125.0", "v1.2.3.4.5",
                 "999.999.999.999", "2001:db8::1", "::"]
AGENTS = ('192.0.2.4 - "GET /go?to=//192.0.2.3/" "https://192.0.2.2:8443/" "Mozilla/5.0 AppleWebKit/537.36 '
          'Chrome/120.0.0.0 Safari/537.36 Edg/120.0.0.0 OPR/80.1.4.0 Crawler/3.0.0.0" via http://192.0.2.1/x\n'
          'MyUpdater v1.2.3.4 (build V5.6.7.8) 192.0.2.1\n')
LINE_ENDS = [(b"%s\n%s\n", 2), (b"%s\r%s\r", 2), (b"%s\r\n%s\r\n", 2), (b"%s\n\r%s\r\n\n", 4), (b"%s\r\r\n\n\r%s", 4),
             (b"%s\n%s", 1), (b"%s %s", 0)]

def zipped(members):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        [z.writestr(name, data) for name, data in members]
    return buf.getvalue()

def boundaries():
    """One line of about 380 KB: wide addresses (leading zeros) over every 32 KiB boundary at a different
    distance, then gaps around the scanner's 32,753-byte step; and the addresses in their plain form."""
    wide = lambda k, d: ("%03d.%03d.%03d.%03d" % (10, 20 + k, k, d)).encode()
    buf = bytearray(b"a" * 7 * 32768)
    for k, d in enumerate((1, 4, 7, 10, 12, 14), 1):
        buf[32768 * k - d:32768 * k - d + 15] = wide(k, d)
    buf += b" b" + b"".join(wide(10 + i, 200) + b"c" * gap for i, gap in enumerate((32751, 32752, 32753, 32754, 32755)))
    return bytes(buf) + b"\n", [".".join(str(int(x)) for x in w.split(b".")) for w in re.findall(rb"[\d.]{15}", buf)]

class Scan(harness.Case):
    shared_dns = True

    def test_what_is_asked_and_counted(self):
        long_line, long_want = boundaries()
        ends = [("e%d.log" % i, f % (b"198.51.100.%d" % (2 * i), b"198.51.100.%d" % (2 * i + 1)))
                for i, (f, _n) in enumerate(LINE_ENDS)]
        edge = "\n" + "y" * 40000 + " 192.0.2.9\n"
        six = lambda b: ("".join("203.0.%d.%d - - x\n" % (b, i) for i in range(1, 4)) * 2).encode()
        rows = [  # files, configuration, addresses asked, per file (lookups, used, total, duplicates, lines)
            ([("a.log", LINE * 2)], [], ["10.1.1.%d" % i for i in range(1, 9)] + ["124.0.0.0", "1.2.3.4"],
             [(10, 0, 10, 10, 2)]),
            ([("a.log", "".join("x %s y\n" % t for t in NOT_ADDRESSES))], [], [], [(0, 0, 0, 0, 17)]),
            ([("a.log", AGENTS)], [], ["192.0.2.%d" % i for i in range(1, 5)] + [
                "120.0.0.0", "80.1.4.0", "3.0.0.0", "1.2.3.4", "5.6.7.8"], [(9, 0, 9, 2, 2)]),
            ([("a.log", AGENTS)], ["skip-versions yes"], ["192.0.2.%d" % i for i in range(1, 5)], [(4, 0, 4, 1, 2)]),
            ([("a.log", "x" * 65499 + " fedc:ba98:7654:3210:fedc:ba98:7654:0321" + edge),
              ("b.log", "x" * 65506 + "2001:db8::5" + edge), ("c.log", "x" * 65499 + "Chrome/120.0.0.0" + edge)],
             ["ipv6 yes", "skip-versions yes"], ["fedc:ba98:7654:3210:fedc:ba98:7654:321", "192.0.2.9"],
             [(2, 0, 2, 0, 2), (0, 0, 2, 1, 2), (0, 0, 2, 1, 2)]),
            ([("a.log", b"\x00\x00203.0.113.1 a\x00b 203.0.113.2\x00\n1.2\x00.3.4 x\n" + b"\x00" * 40000 +
               b"203.0.113.3\n203.0.113.4\x00.5 \x00\r\n")], [], ["203.0.113.%d" % i for i in range(1, 5)], [(4, 0, 4, 0, 4)]),
            (ends + [("glued.log", b"198.51.100.99198.51.100.98\n"), ("empty.log", b"")], [],
             ["198.51.100.%d" % i for i in range(14)], [(2, 0, 2 * i + 2, 0, n) for i, (_f, n) in enumerate(LINE_ENDS)]
             + [(0, 0, 14, 0, 1), (0, 0, 14, 0, 0)]),
            ([("a.log", "203.0.113.9 x\n" + "no address here\n" * 1233 + "203.0.113.9\n" * 1000)], [], ["203.0.113.9"],
             [(1, 0, 1, 1000, 2234)]),
            ([("a.gz", gzip.compress(six(10))), ("a.bz2", bz2.compress(six(11))), ("a.zip", zipped(
                [("x.log", six(12)), ("y.log", b"203.0.13.1"), ("e.log", b""), ("z.log", b"203.0.13.2\n")]))], [],
             ["203.0.%d.%d" % (b, i) for b in (10, 11, 12) for i in (1, 2, 3)] + ["203.0.13.1", "203.0.13.2"],
             [(3, 0, 3, 3, 6), (3, 0, 6, 3, 6), (5, 0, 11, 3, 10)]),
            ([("long.log", long_line), ("long.gz", gzip.compress(long_line * 2))], [], long_want,
             [(11, 0, 11, 0, 1), (0, 0, 11, 22, 2)]),
            ([("a.log", b"x" * 65535 + b"\r\n" + b"y" * 65531 + b"10.40.0.1 z\n10.40.0.2")], [],
             ["10.40.0.1", "10.40.0.2"], [(2, 0, 2, 0, 2)])]
        for files, config, asked, totals in rows:
            with self.subTest(files=[n for n, _d in files]):
                self.dns.clear_queries()
                (self.tmp / "dnscache").unlink(missing_ok=True)
                for name, data in files:
                    harness.write_file(self.tmp / name, data)
                r = self.lv(["-V"] + [n for n, _d in files], config_lines=config)
                want = [tuple(format(n, ",") for n in t) for t in totals]
                self.assertEqual((sorted(self.dns.queries()), TOTALS.findall(r.out)), (sorted(asked), want), r)

    def test_many_addresses(self):
        # Twenty thousand addresses in the cache and in the log: each keeps its own name.
        addrs = ["10.%d.%d.%d" % (n >> 16, n >> 8 & 255, n & 255) for n in random.Random(5).sample(range(1 << 24), 20000)]
        table = {a: harness.auto_name(a) for a in addrs}
        harness.write_file(self.tmp / "dnscache", "".join("%d %s %s\n" % (time.time() // 60, a, n) for a, n in table.items()))
        log = harness.write_file(self.tmp / "a.log", "".join("%s x\n" % a for a in addrs)).read_bytes()
        self.lv(["-translate", "-normal", "a.log"])
        self.assertEqual(((self.tmp / "a.log.out").read_bytes() == harness.translate(log, table), self.dns.queries()), (True, []))

if __name__ == "__main__":
    harness.main()
