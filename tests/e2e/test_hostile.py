"""Hostile DNS answers end to end: whatever a server sends, every cache line
stays one well-formed line, a second run reads it back cleanly, and the
translated log keeps its lines, with no line break, NUL or blank smuggled in
through a host name."""

import os
import re
import shutil
import socket
import struct

import harness
from harness import E2ETestCase, FakeDNS, run_logvane

FAILED = "*"
L63 = "a" * 63
MAX_NAME = ".".join(["b" * 63] * 3 + ["c" * 61])  # 253 characters, 255 on the wire
LOTS = ["h%d.lots.example" % i for i in range(60)]  # a reply well over 512 bytes

# (address, rule for tests/dns/fakedns.py, names the cache may hold for it).
# FAILED stands for any failure class. Where only FAILED is allowed the name
# must never be stored; where the name
# as sent is allowed too, the resolver library may refuse it or pass it on,
# and either is harmless.
CASES = [
    # Bytes that would split or blur a cache or log line.
    ("203.0.113.1", {"raw": "cr\rname.example"}, {FAILED}),
    ("203.0.113.2", {"raw": "lf\nname.example"}, {FAILED}),
    ("203.0.113.3", {"raw": "nul\x00name.example"}, {FAILED}),
    ("203.0.113.4", {"raw": "has blank.example"}, {FAILED}),
    ("203.0.113.5", {"raw": "has\ttab.example"}, {FAILED}),
    ("203.0.113.6", {"raw": "%s%n%s.example"}, {FAILED, "%s%n%s.example"}),
    # A leading "*" is what marks a failed lookup in the cache file.
    ("203.0.113.7", {"raw": "*.wild.example"}, {FAILED}),
    ("203.0.113.8", {"raw": "*"}, {FAILED}),
    ("203.0.113.9", {"raw": MAX_NAME}, {MAX_NAME}),
    # Longer than any DNS name; the longest would not fit a cache line.
    ("203.0.113.10", {"raw": ".".join([L63] * 5)}, {FAILED}),
    ("203.0.113.11", {"raw": ".".join([L63] * 9)}, {FAILED}),
    ("203.0.113.12", {"raw": "caf\xe9.\xff\x80.example"}, {FAILED, "caf\xe9.\xff\x80.example"}),
    ("203.0.113.13", {"name": "m\u00fcller.example"}, {FAILED, "m\u00fcller.example".encode().decode("latin-1")}),
    ("203.0.113.14", {"raw": ""}, {FAILED}),  # the root name: empty
    ("203.0.113.15", {"raw_labels": ["a.b", "example"]}, {FAILED, "a\\.b.example"}),
    ("203.0.113.16", {"raw_labels": ["back\\slash", "example"]}, {FAILED, "back\\\\slash.example"}),
    ("203.0.113.40", {"raw": "slash/under_score.example"}, {FAILED}),
    ("203.0.113.60", {"raw": "10.0.0.99"}, {FAILED}),  # another address
    ("203.0.113.61", {"raw": "under_score.example"}, {"under_score.example"}),
    ("203.0.113.44", {"raw": "-.example"}, {"-.example"}),
    # Compression pointers: loops in the PTR data and in the owner name,
    # past the end, into the header.
    ("203.0.113.17", {"wire_hex": "@+0"}, {FAILED}),
    ("203.0.113.18", {"wire_hex": "@+2 @+0"}, {FAILED}),
    ("203.0.113.19", {"answers": [{"owner": {"wire_hex": "@+0"}, "data": "ok.example"}]}, {FAILED}),
    ("203.0.113.20", {"answers": [{"owner": {"wire_hex": "@+12"}, "data": {"wire_hex": "@+2 @+0"}}]}, {FAILED}),
    ("203.0.113.21", {"wire_hex": "ffff"}, {FAILED}),
    ("203.0.113.22", {"wire_hex": "c000"}, {FAILED}),
    ("203.0.113.45", {"wire_hex": "03 616263"}, {FAILED}),  # no end of name
    # Truncated packets and lying lengths.
    ("203.0.113.23", {"name": "cut.example", "cut": 7}, {FAILED}),
    ("203.0.113.24", {"name": "cut.example", "cut": 20}, {FAILED}),
    ("203.0.113.25", {"name": "cut.example", "cut": -3}, {FAILED}),
    ("203.0.113.26", {"answers": [{"data": "rdlen.example", "rdlength": 200}]}, {FAILED}),
    ("203.0.113.27", {"name": "ancount.example", "ancount": 3}, {FAILED}),
    # Replies to something else.
    ("203.0.113.28", {"name": "other.example", "qname": "9.9.9.9.in-addr.arpa"}, {FAILED}),
    ("203.0.113.29", {"name": "wrongid.example", "id_delta": 1}, {FAILED}),
    ("203.0.113.30", {"replies": [{"name": "spoof.example", "id_delta": 1},
                                  {"name": "right.example", "delay": 50}]}, {"right.example"}),
    ("203.0.113.39", {"answers": [{"owner": "1.2.3.4.in-addr.arpa", "data": "notmine.example"}]}, {FAILED}),
    ("203.0.113.41", {"answers": [{"type": "A", "data": {"wire_hex": "7f000001"}}]}, {FAILED}),
    # Truncated over UDP: the answer over TCP counts, good or bad or none.
    ("203.0.113.31", {"name": "udp.example", "tc": 1, "tcp": "viatcp.example"}, {"viatcp.example"}),
    ("203.0.113.32", {"name": "udp.example", "tc": 1, "tcp": {"raw": "tcp\nlf.example"}}, {FAILED}),
    ("203.0.113.33", {"name": "udp.example", "tc": 1, "tcp": "drop"}, {FAILED}),
    # Many records, CNAME chains.
    ("203.0.113.34", {"name": ["h%d.many.example" % i for i in range(15)]},
     {"h%d.many.example" % i for i in range(15)}),
    ("203.0.113.35", {"name": LOTS}, set(LOTS)),
    ("203.0.113.42", {"name": ["first.example", "second.example"]}, {"first.example", "second.example"}),
    ("203.0.113.43", {"answers": [{"data": {"raw": "x\ny.example"}}, {"data": "fine.example"}]},
     {FAILED, "fine.example"}),
    ("203.0.113.36", {"answers": [{"type": "CNAME", "data": "c1.alias.example"},
                                  {"owner": "c1.alias.example", "type": "CNAME", "data": "c2.alias.example"},
                                  {"owner": "c2.alias.example", "data": "final.example"}]}, {"final.example"}),
    ("203.0.113.37", {"answers": [{"type": "CNAME", "data": "loop.alias.example"},
                                  {"owner": "loop.alias.example", "type": "CNAME",
                                   "data": "loop.alias.example"}]}, {FAILED}),
    ("203.0.113.38", {"answers": [{"type": "CNAME", "data": "c.alias.example"},
                                  {"owner": "c.alias.example", "data": {"raw": "cname\r\nbad.example"}}]}, {FAILED}),
]

ORDINARY = ["192.0.2.%d" % i for i in range(1, 9)]
CACHE_LINE = re.compile(rb"(-?\d+) (?:\$(\d+) )?(\d+\.\d+\.\d+\.\d+) (.+)")
UNSAFE = re.compile(rb"[\x00-\x20\x7f]")
FAILED_CLASS = re.compile(r"^\*.*")


def auto_name(addr):
    return "host-%s.example" % addr.replace(".", "-")


def log_text(cases):
    """Hostile addresses alone, amid ordinary ones and side by side."""
    hostile = [a for a, _r, _w in cases]
    lines = ["%s - - [06/Dec/2024:11:00:00 +0000] \"GET / HTTP/1.1\" 200 1" % ORDINARY[0]]
    for i, addr in enumerate(hostile):
        before, after = ORDINARY[i % 8], ORDINARY[(i + 3) % 8]
        lines.append("%s %s - \"GET /?from=%s&x=%s HTTP/1.1\" 200 %d" % (before, addr, addr, after, i))
    lines.append(" ".join(hostile))
    lines.append(",".join(ORDINARY + hostile[::-1] + ORDINARY))
    lines.append("%s (%s) [%s]" % (ORDINARY[7], hostile[-1], ORDINARY[6]))
    return ("\n".join(lines) + "\n").encode()


def translated(text, names):
    """text with every address replaced as the cache says it should be."""
    def one(m):
        name = names.get(m.group(0).decode())
        return m.group(0) if name is None or name.startswith(FAILED) else name.encode("latin-1")
    return re.sub(rb"\d+\.\d+\.\d+\.\d+", one, text)


class Hostile(E2ETestCase):
    # Short resolver time-outs: replies that never come cost under a second.
    DNS = dict(dns_timeout=250, dns_tries=2)

    def parse_cache(self, private, want_addrs):
        """{address: name} of the cache file, each line checked whole."""
        raw = (self.tmp / "dnscache").read_bytes()
        self.assertEqual(raw[:2] == b"\x1f\x8b", private, raw[:40])
        data = harness.read_file(self.tmp / "dnscache")
        self.assertTrue(data.endswith(b"\n"), data[-80:])
        lines = data[:-1].split(b"\n")
        got = {}
        for line in lines:
            m = CACHE_LINE.fullmatch(line)
            self.assertIsNotNone(m, line)
            _t, tries, addr, name = m.groups()
            self.assertNotRegex(name, UNSAFE, line)
            self.assertLessEqual(len(line), 510, line)
            self.assertNotIn(addr.decode(), got, line)
            failed = name.startswith(b"*")
            if failed:
                self.assertRegex(name, rb"^\*(t[1-4]|u)?$", line)
            self.assertEqual(tries is not None, private and failed, line)
            got[addr.decode()] = name.decode("latin-1")
        self.assertEqual(sorted(got), sorted(want_addrs))
        return got

    def run_cases(self, cases, private):
        harness.write_file(self.tmp / "a.log", log_text(cases))
        cfg = ["translate on", "private %s" % ("on" if private else "off")]
        rules = {a: r for a, r, _w in cases}
        with FakeDNS(rules) as dns:
            r = run_logvane(["a.log"], cwd=self.tmp, dns=dns, config_lines=cfg, timeout=60, **self.DNS)
            self.assertEqual(r.rc, 0, r)
            self.assertEqual((r.out, r.err), ("'dnscache' not found, creating it.\n", ""), r)
            want_addrs = ORDINARY + [a for a, _r, _w in cases]
            names = self.parse_cache(private, want_addrs)
            for addr in ORDINARY:
                self.assertEqual(names[addr], auto_name(addr), r)
            wrong = {a: names[a] for a, _r, allowed in cases if FAILED_CLASS.sub("*", names[a]) not in allowed}
            self.assertEqual(wrong, {}, str(r) + dns.describe())
            self.check_translation(names)
            # The file reads back whole: nothing corrupt, only passing failures
            # asked again, and the same translation.
            dns.clear_queries()
            os.rename(self.tmp / "a.log.gz", self.tmp / "first.gz")
            r = run_logvane(["-V", "a.log"], cwd=self.tmp, dns=dns, config_lines=cfg, timeout=60, **self.DNS)
            self.assertEqual((r.rc, r.err), (0, ""), r)
            self.assertNotIn("corrupt", r.out, r)
            self.assertNotIn("too long", r.out, r)
            self.assertIn("Read %d entries from DNS cache" % len(want_addrs), r.out, r)
            passing = sorted(a for a, n in names.items() if n.startswith("*t"))
            self.assertEqual(sorted(set(dns.queries())), passing, dns.describe())
            self.assertEqual(self.parse_cache(private, want_addrs), names)
            self.check_translation(names)
        return names

    def check_translation(self, names):
        source = (self.tmp / "a.log").read_bytes()
        out = harness.read_file(self.tmp / "a.log.gz")
        self.assertEqual(out.count(b"\n"), source.count(b"\n"))
        self.assertEqual(out, translated(source, names))
        for line in out.split(b"\n"):
            self.assertNotIn(b"\r", line)
            self.assertNotIn(b"\x00", line)

    def test_hostile_answers(self):
        names = {}
        for private in (False, True):
            with self.subTest(private=private):
                for p in self.tmp.iterdir():
                    p.unlink()
                names = self.run_cases(CASES, private)
        # The table must keep exercising both outcomes.
        self.assertIn(FAILED, names.values())
        self.assertIn(MAX_NAME, names.values())

    def test_server_sends_what_the_rules_say(self):
        # The table is only as good as the packets: check a few spoilt ones.
        def query(addr, qid=0x1234):
            qname = b"".join(bytes([len(x)]) + x for x in addr.encode().split(b".")[::-1])
            return struct.pack("!HHHHHH", qid, 0x0100, 1, 0, 0, 0) + qname + b"\x07in-addr\x04arpa\x00\x00\x0c\x00\x01"

        def ask(sock, addr, replies=1):
            q = query(addr)
            sock.sendto(q, ("127.0.0.1", dns.port))
            return q, [sock.recv(4096) for _ in range(replies)]

        def word(pkt, at):
            return struct.unpack("!H", pkt[at:at + 2])[0]

        with FakeDNS({a: r for a, r, _w in CASES}) as dns, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(5)
            q, [p] = ask(s, "203.0.113.17")  # "@+0": a pointer at itself
            self.assertEqual(word(p, len(p) - 2), 0xC000 | (len(p) - 2))
            q, [p] = ask(s, "203.0.113.18")  # "@+2 @+0": two at each other
            self.assertEqual((word(p, len(p) - 4), word(p, len(p) - 2)), (0xC000 | (len(p) - 2), 0xC000 | (len(p) - 4)))
            q, [p] = ask(s, "203.0.113.19")  # owner at itself, right after the question
            self.assertEqual(word(p, len(q)), 0xC000 | len(q))
            for addr, size in [("203.0.113.23", 7), ("203.0.113.24", 20)]:
                self.assertEqual(len(ask(s, addr)[1][0]), size)
            q, [p] = ask(s, "203.0.113.25")
            self.assertEqual(len(p), len(q) + 12 + len(b"\x03cut\x07example\x00") - 3)
            q, [p] = ask(s, "203.0.113.26")
            self.assertEqual((word(p, 6), word(p, len(q) + 10)), (1, 200))
            self.assertEqual(word(ask(s, "203.0.113.27")[1][0], 6), 3)
            q, [p] = ask(s, "203.0.113.28")
            other = b"\x019\x019\x019\x019\x07in-addr\x04arpa\x00\x00\x0c\x00\x01"
            self.assertEqual(p[12:12 + len(other)], other)
            self.assertEqual(word(ask(s, "203.0.113.29")[1][0], 0), 0x1235)
            q, [p1, p2] = ask(s, "203.0.113.30", replies=2)
            self.assertEqual((word(p1, 0), word(p2, 0)), (0x1235, 0x1234))
            self.assertIn(b"\x05right", p2)
            q, [p] = ask(s, "203.0.113.31")
            self.assertTrue(word(p, 2) & 0x0200)
            with socket.create_connection(("127.0.0.1", dns.port), timeout=5) as t:
                t.sendall(struct.pack("!H", len(q)) + q)
                data = b""
                while len(data) < 2 or len(data) < 2 + word(data, 0):
                    data += t.recv(4096)
            self.assertFalse(word(data, 4) & 0x0200)
            self.assertIn(b"\x06viatcp\x07example\x00", data)
            q, [p] = ask(s, "203.0.113.36")
            self.assertEqual(word(p, 6), 3)
            self.assertIn(b"\x02c1\x05alias\x07example\x00\x00\x05", p)

    def test_under_valgrind(self):
        if os.environ.get("LOGVANE_SANITIZED") == "1":
            self.skipTest("sanitizer builds cannot run under valgrind")
        valgrind = shutil.which("valgrind")
        if not valgrind:
            self.skipTest("valgrind is not installed")
        picked = {"203.0.113.%d" % i for i in (1, 9, 11, 14, 18, 20, 25, 26, 28, 30, 31, 35, 36, 38)}
        cases = [c for c in CASES if c[0] in picked]
        harness.write_file(self.tmp / "a.log", log_text(cases))
        wrap = [valgrind, "-q", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite"]
        with FakeDNS({a: r for a, r, _w in cases}) as dns:
            r = run_logvane(["a.log"], cwd=self.tmp, dns=dns, config_lines=["translate on", "private on"],
                            timeout=120, dns_timeout=1000, dns_tries=2, wrap=wrap)
        self.assertEqual(r.rc, 0, r)
        self.assertNotIn("==", r.err, r)
        names = self.parse_cache(True, ORDINARY + sorted(picked))
        self.check_translation(names)


if __name__ == "__main__":
    harness.main()
