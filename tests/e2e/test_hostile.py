"""Hostile DNS answers: each cache line stays one well-formed line the next run
reads back, and no line break, NUL or blank gets into a log through a name."""

import os, re, subprocess

import harness
from harness import Case, FakeDNS, auto_name

L63, F = "a" * 63, "*"  # F: any failure class
MAX_NAME = ".".join(["b" * 63] * 3 + ["c" * 61])  # 253 characters, 255 on the wire
LOTS = ["h%d.lots.example" % i for i in range(60)]  # a reply well over 512 bytes
# address, rule (tests/dns/fakedns.py), names the cache may hold (the name as sent beside F: the library may pass it on)
CASES = [
    ("203.0.113.1", {"raw": "cr\rname.example"}, {F}), ("203.0.113.2", {"raw": "lf\nname.example"}, {F}),
    ("203.0.113.3", {"raw": "nul\0name.example"}, {F}), ("203.0.113.4", {"raw": "has blank.example"}, {F}),
    ("203.0.113.5", {"raw": "has\ttab.example"}, {F}), ("203.0.113.6", {"raw": "%s%n.example"}, {F, "%s%n.example"}),
    ("203.0.113.7", {"raw": "*.wild.example"}, {F}), ("203.0.113.8", {"raw": "*"}, {F}),  # "*" marks a failure
    ("203.0.113.9", {"raw": MAX_NAME}, {MAX_NAME}), ("203.0.113.10", {"raw": ".".join([L63] * 5)}, {F}),
    ("203.0.113.11", {"raw": ".".join([L63] * 9)}, {F}), ("203.0.113.14", {"raw": ""}, {F}),  # too long; the root
    ("203.0.113.12", {"raw": "caf\xe9.\xff\x80.example"}, {F, "caf\xe9.\xff\x80.example"}),
    ("203.0.113.15", {"wire": "03 612e62 07 6578616d706c65 00"}, {F, "a\\.b.example"}),  # a "." in a label
    ("203.0.113.16", {"wire": "0a 6261636b5c736c617368 07 6578616d706c65 00"}, {F, "back\\\\slash.example"}),
    ("203.0.113.40", {"raw": "slash/under_score.example"}, {F}), ("203.0.113.60", {"raw": "10.0.0.99"}, {F}),
    ("203.0.113.61", {"raw": "under_score.example"}, {"under_score.example"}), ("203.0.113.44", "-.example", {"-.example"}),
    # Compression pointers: loops in the data and in the owner, past the end, into the header; no end of name.
    ("203.0.113.17", {"wire": "@+0"}, {F}), ("203.0.113.18", {"wire": "@+2 @+0"}, {F}),
    ("203.0.113.19", {"raw": "ok.example", "wire_owner": "@+0"}, {F}), ("203.0.113.21", {"wire": "ffff"}, {F}),
    ("203.0.113.20", {"wire": "@+2 @+0", "wire_owner": "@+12"}, {F}), ("203.0.113.22", {"wire": "c000"}, {F}),
    ("203.0.113.45", {"wire": "03 616263"}, {F}),
    # Truncated packets, lying lengths and counts, replies to something else.
    ("203.0.113.23", {"name": "cut.example", "cut": 7}, {F}), ("203.0.113.24", {"name": "cut.example", "cut": 20}, {F}),
    ("203.0.113.25", {"name": "cut.example", "cut": -3}, {F}), ("203.0.113.26", {"raw": "rd.example", "rdlength": 200}, {F}),
    ("203.0.113.27", {"name": "ancount.example", "ancount": 3}, {F}), ("203.0.113.41", {"a": ["127.0.0.1"]}, {F}),
    ("203.0.113.28", {"name": "other.example", "qname": "9.9.9.9.in-addr.arpa"}, {F}),
    ("203.0.113.29", {"name": "wrongid.example", "id_delta": 1}, {F}),
    ("203.0.113.30", {"replies": [{"name": "spoof.example", "id_delta": 1}, {"name": "right.example", "delay": 50}]},
     {"right.example"}), ("203.0.113.39", {"owner": "1.2.3.4.in-addr.arpa", "name": "notmine.example"}, {F}),
    # Many records, CNAME chains.
    ("203.0.113.34", {"name": ["h%d.many.example" % i for i in range(15)]}, {"h%d.many.example" % i for i in range(15)}),
    ("203.0.113.35", {"name": LOTS}, set(LOTS)), ("203.0.113.43", {"raw": ["x\ny.example", "ok.example"]}, {F, "ok.example"}),
    ("203.0.113.36", {"cname": ["c1.alias.example", "c2.alias.example"], "name": "final.example"}, {"final.example"}),
    ("203.0.113.37", {"cname": ["loop.alias.example", "loop.alias.example"], "do": "nodata"}, {F})]
ORDINARY, HOSTILE = ["192.0.2.%d" % i for i in range(1, 9)], [a for a, _r, _w in CASES]
# Hostile addresses alone, amid ordinary ones and side by side.
LOG = ("".join("%s %s - \"GET /?from=%s&x=%s HTTP/1.1\" 200 %d\n" % (ORDINARY[i % 8], a, a, ORDINARY[(i + 3) % 8], i)
               for i, a in enumerate(HOSTILE)) + "%s\n%s\n%s (%s)\n" % (
    " ".join(HOSTILE), ",".join(ORDINARY + HOSTILE[::-1] + ORDINARY), ORDINARY[7], HOSTILE[-1])).encode()

class Hostile(Case):
    def test_hostile_answers(self):
        # The harness first: outside a private namespace it refuses to run; it refuses servers off this host.
        env = dict(os.environ, **{harness.MARKER: str(os.stat("/proc/self/ns/net").st_ino)})
        r = subprocess.run([harness.PYTHON, "-c", "import harness"], cwd=str(harness.HERE), env=env, capture_output=True)
        self.assertEqual((r.returncode, r.stderr), (2, b"harness: not a private network namespace\n"))
        self.assertRaises(AssertionError, harness.check_loopback, "dns-servers 127.0.0.1:53,192.0.2.1\n")
        harness.write_file(self.tmp / "a.log", LOG)
        for private in (False, True):
            with self.subTest(private=private), FakeDNS({a: r for a, r, _w in CASES}) as dns:
                (self.tmp / "dnscache").unlink(missing_ok=True)
                for run in range(2):
                    dns.clear_queries()
                    r = self.lv(["-V", "a.log"], dns=dns, config_lines=["translate on", "private " + ["off", "on"][private]],
                                dns_timeout=250)
                    self.assertEqual((r.rc, re.findall("corrupt|too long", r.out)), (0, []), r)
                    self.assertEqual((self.tmp / "dnscache").read_bytes()[:2] == b"\x1f\x8b", private)
                    got = harness.read_cache(self.tmp / "dnscache")
                    self.assertEqual(sorted(got), sorted(ORDINARY + HOSTILE), r)
                    for a, (_t, tries, name) in got.items():
                        self.assertTrue(re.fullmatch(r"[^\x00-\x20\x7f]{1,255}", name) and
                                        (name[0] != "*" or re.fullmatch(r"\*(t[1-4]|u)?", name)), (a, name))
                        self.assertEqual(tries is not None, private and name[0] == "*", (a, name))
                    self.assertEqual({a: got[a][2] for a in ORDINARY}, {a: auto_name(a) for a in ORDINARY})
                    wrong = {a: got[a][2] for a, _r, ok in CASES if re.sub(r"^\*.*", "*", got[a][2]) not in ok}
                    self.assertEqual(wrong, {}, r)
                    out = harness.read_file(self.tmp / "a.log.gz")
                    self.assertEqual(out, harness.translate(LOG, {a: v[2] for a, v in got.items()}))  # no CR or NUL either
                    if run:  # read back whole: only passing failures asked again
                        settled = lambda t: {a: v[2] for a, v in t.items() if v[2][:2] != "*t"}
                        self.assertEqual(sorted(set(dns.queries())), sorted(set(first) - set(settled(first))))
                        self.assertEqual(settled(got), settled(first))
                    first = got
                    os.rename(self.tmp / "a.log.gz", self.tmp / "first.gz")

if __name__ == "__main__":
    harness.main()
