"""Hostile DNS answers: whatever a server sends, each cache line stays one
well-formed line that the next run reads back, and the translated log keeps
its lines, with no line break, NUL or blank smuggled in through a name."""

import os
import re
import shutil

import harness
from harness import Case, FakeDNS, auto_name

L63 = "a" * 63
MAX_NAME = ".".join(["b" * 63] * 3 + ["c" * 61])  # 253 characters, 255 on the wire
LOTS = ["h%d.lots.example" % i for i in range(60)]  # a reply well over 512 bytes
F = "*"  # any failure class
# address, rule (tests/dns/fakedns.py), names the cache may hold: where the
# name as sent is allowed beside F, the library may refuse it or pass it on.
CASES = [
    ("203.0.113.1", {"raw": "cr\rname.example"}, {F}), ("203.0.113.2", {"raw": "lf\nname.example"}, {F}),
    ("203.0.113.3", {"raw": "nul\0name.example"}, {F}), ("203.0.113.4", {"raw": "has blank.example"}, {F}),
    ("203.0.113.5", {"raw": "has\ttab.example"}, {F}), ("203.0.113.6", {"raw": "%s%n.example"}, {F, "%s%n.example"}),
    ("203.0.113.7", {"raw": "*.wild.example"}, {F}), ("203.0.113.8", {"raw": "*"}, {F}),  # "*" marks a failure
    ("203.0.113.9", {"raw": MAX_NAME}, {MAX_NAME}), ("203.0.113.10", {"raw": ".".join([L63] * 5)}, {F}),
    ("203.0.113.11", {"raw": ".".join([L63] * 9)}, {F}),  # would not fit a cache line
    ("203.0.113.12", {"raw": "caf\xe9.\xff\x80.example"}, {F, "caf\xe9.\xff\x80.example"}),
    ("203.0.113.14", {"raw": ""}, {F}),  # the root name
    ("203.0.113.15", {"wire": "03 612e62 07 6578616d706c65 00"}, {F, "a\\.b.example"}),  # a "." in a label
    ("203.0.113.16", {"wire": "0a 6261636b5c736c617368 07 6578616d706c65 00"}, {F, "back\\\\slash.example"}),
    ("203.0.113.40", {"raw": "slash/under_score.example"}, {F}), ("203.0.113.60", {"raw": "10.0.0.99"}, {F}),
    ("203.0.113.61", {"raw": "under_score.example"}, {"under_score.example"}), ("203.0.113.44", "-.example", {"-.example"}),
    # Compression pointers: loops in the data and in the owner, past the end, into the header.
    ("203.0.113.17", {"wire": "@+0"}, {F}), ("203.0.113.18", {"wire": "@+2 @+0"}, {F}),
    ("203.0.113.19", {"raw": "ok.example", "wire_owner": "@+0"}, {F}),
    ("203.0.113.20", {"wire": "@+2 @+0", "wire_owner": "@+12"}, {F}), ("203.0.113.21", {"wire": "ffff"}, {F}),
    ("203.0.113.22", {"wire": "c000"}, {F}), ("203.0.113.45", {"wire": "03 616263"}, {F}),  # no end of name
    # Truncated packets and lying lengths and counts.
    ("203.0.113.23", {"name": "cut.example", "cut": 7}, {F}), ("203.0.113.24", {"name": "cut.example", "cut": 20}, {F}),
    ("203.0.113.25", {"name": "cut.example", "cut": -3}, {F}),
    ("203.0.113.26", {"raw": "rdlen.example", "rdlength": 200}, {F}),
    ("203.0.113.27", {"name": "ancount.example", "ancount": 3}, {F}),
    # Replies to something else.
    ("203.0.113.28", {"name": "other.example", "qname": "9.9.9.9.in-addr.arpa"}, {F}),
    ("203.0.113.29", {"name": "wrongid.example", "id_delta": 1}, {F}),
    ("203.0.113.30", {"replies": [{"name": "spoof.example", "id_delta": 1}, {"name": "right.example", "delay": 50}]},
     {"right.example"}),
    ("203.0.113.39", {"owner": "1.2.3.4.in-addr.arpa", "name": "notmine.example"}, {F}),
    ("203.0.113.41", {"a": ["127.0.0.1"]}, {F}),
    # Truncated over UDP: the answer over TCP counts, good or bad or none.
    ("203.0.113.31", {"name": "udp.example", "tc": 1, "tcp": "viatcp.example"}, {"viatcp.example"}),
    ("203.0.113.32", {"name": "udp.example", "tc": 1, "tcp": {"raw": "tcp\nlf.example"}}, {F}),
    ("203.0.113.33", {"name": "udp.example", "tc": 1, "tcp": "drop"}, {F}),
    # Many records, CNAME chains.
    ("203.0.113.34", {"name": ["h%d.many.example" % i for i in range(15)]}, {"h%d.many.example" % i for i in range(15)}),
    ("203.0.113.35", {"name": LOTS}, set(LOTS)),
    ("203.0.113.43", {"raw": ["x\ny.example", "fine.example"]}, {F, "fine.example"}),
    ("203.0.113.36", {"cname": ["c1.alias.example", "c2.alias.example"], "name": "final.example"}, {"final.example"}),
    ("203.0.113.37", {"cname": ["loop.alias.example", "loop.alias.example"], "do": "nodata"}, {F}),
]
ORDINARY = ["192.0.2.%d" % i for i in range(1, 9)]


def log_text(cases):
    """Hostile addresses alone, amid ordinary ones and side by side."""
    hostile = [a for a, _r, _w in cases]
    lines = ["%s %s - \"GET /?from=%s&x=%s HTTP/1.1\" 200 %d" % (ORDINARY[i % 8], a, a, ORDINARY[(i + 3) % 8], i)
             for i, a in enumerate(hostile)]
    lines += [" ".join(hostile), ",".join(ORDINARY + hostile[::-1] + ORDINARY), "%s (%s)" % (ORDINARY[7], hostile[-1])]
    return ("\n".join(lines) + "\n").encode()


class Hostile(Case):
    def check(self, cases, private, wrap=(), runs=2):
        harness.write_file(self.tmp / "a.log", log_text(cases))
        cfg = ["translate on", "private %s" % ("on" if private else "off")]
        with FakeDNS({a: r for a, r, _w in cases}) as dns:
            for run in range(runs):
                dns.clear_queries()
                r = self.lv(["-V", "a.log"], dns=dns, config_lines=cfg, timeout=120, dns_timeout=250, wrap=wrap)
                self.assertEqual(r.rc, 0, r)
                self.assertNotRegex(r.out, "corrupt|too long", r)
                self.assertEqual((self.tmp / "dnscache").read_bytes()[:2] == b"\x1f\x8b", private)
                got = harness.read_cache(self.tmp / "dnscache")
                self.assertEqual(sorted(got), sorted(ORDINARY + [a for a, _r, _w in cases]), r)
                for a, (_t, tries, name) in got.items():
                    self.assertTrue(re.fullmatch(r"[^\x00-\x20\x7f]{1,255}", name) and
                                    (name[0] != "*" or re.fullmatch(r"\*(t[1-4]|u)?", name)), (a, name))
                    self.assertEqual(tries is not None, private and name[0] == "*", (a, name))
                self.assertEqual({a: got[a][2] for a in ORDINARY}, {a: auto_name(a) for a in ORDINARY})
                wrong = {a: got[a][2] for a, _r, allowed in cases if re.sub(r"^\*.*", "*", got[a][2]) not in allowed}
                self.assertEqual(wrong, {}, str(r) + dns.describe())
                out = harness.read_file(self.tmp / "a.log.gz")
                self.assertEqual(out, harness.translate(log_text(cases), {a: v[2] for a, v in got.items()}))
                self.assertNotRegex(out, b"[\r\0]")
                if run:  # read back whole: only passing failures asked again
                    self.assertEqual(sorted(set(dns.queries())), sorted(a for a, v in first.items() if v[2][:2] == "*t"))
                    self.assertEqual({a: v[2] for a, v in got.items() if first[a][2][:2] != "*t"},
                                     {a: v[2] for a, v in first.items() if v[2][:2] != "*t"})
                first = got
                os.rename(self.tmp / "a.log.gz", self.tmp / "first.gz")

    def test_hostile_answers(self):
        for private in (False, True):
            with self.subTest(private=private):
                self.check(CASES, private)

    def test_under_valgrind(self):
        if harness.SANITIZED or not shutil.which("valgrind"):
            self.skipTest("no valgrind here, or a sanitizer build")
        picked = {"203.0.113.%d" % i for i in (1, 9, 11, 14, 18, 20, 25, 26, 28, 30, 31, 35, 36)}
        self.check([c for c in CASES if c[0] in picked], True, runs=1,
                   wrap=["valgrind", "-q", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite"])


if __name__ == "__main__":
    harness.main()
