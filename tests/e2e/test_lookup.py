"""Reverse lookups against a scripted server: what is asked, when, and what
the cache file keeps of each kind of answer."""

import gzip, time

import harness
from harness import Case, FakeDNS, auto_name, names, read_cache

DAY, HOUR = 86400, 3600

def log_of(tmp, addrs, repeat=1):
    harness.write_file(tmp / "a.log", "".join("%s - - x\n" % a for a in addrs) * repeat)

class Lookups(Case):
    def test_answer_kinds(self):
        # What each answer leaves in either cache format, and what a run with
        # a healthy server asks again: passing failures and unknowns only.
        kinds = [  # address, rule, name stored (None: not stored)
            ("192.0.2.10", "good.example", "good.example"), ("192.0.2.11", "nxdomain", "*"),
            ("192.0.2.12", "nodata", "*"), ("192.0.2.13", {"raw": "10.0.0.99"}, "*"),  # a name unfit for a log
            ("192.0.2.14", "servfail", "*t1"), ("192.0.2.15", "drop", "*t1"),
            ("192.0.2.16", {"name": "cut.example", "cut": 20}, "*t1"),  # malformed
            ("192.0.2.17", {"raw": "bad\r\nname.example"}, "*t1"), ("192.0.2.18", "refused", None)]
        rules, want = {a: r for a, r, _n in kinds}, {a: n for a, _r, n in kinds if n}
        log_of(self.tmp, sorted(rules), 20)
        again = sorted(a for a, _r, n in kinds if n is None or n.startswith("*t"))
        for private in (False, True):
            with self.subTest(private=private):
                (self.tmp / "dnscache").unlink(missing_ok=True)
                with FakeDNS(rules) as dns:
                    before = int(time.time()) // 60
                    r = self.lv(["-V"] + ["-private"] * private + ["a.log"], dns=dns)
                    self.assertEqual(sorted(set(dns.queries())), sorted(rules))
                self.assertEqual(r.rc, 1, r)
                self.assertTrue("Looked up 9 IPs, used 0 from cache, total of 9 in cache,\n  171 duplicates, 180 lines" in r.out
                                and "The DNS servers could not be reached; 1 address was left unresolved.\n" in r.out, r)
                got = read_cache(self.tmp / "dnscache")
                self.assertEqual({a: v[1:] for a, v in got.items()},
                                 {a: (1 if private and n[0] == "*" else None, n) for a, n in want.items()}, r)
                self.assertTrue(all(before <= v[0] <= before + 1 for v in got.values()), got)
                with FakeDNS() as dns:
                    r = self.lv(["-V"] + ["-private"] * private + ["a.log"], dns=dns)
                    self.assertEqual(sorted(dns.queries()), again)
                self.assertIn("Read 8 entries from DNS cache, 7 (87%) were unresolved.\n", r.out, r)
                self.assertEqual(names(self.tmp / "dnscache"), dict(want, **{a: auto_name(a) for a in again}), r)

    def test_unreachable_and_invalid_servers(self):
        # No server takes the queries: nothing is stored, one message says so.
        log_of(self.tmp, ["192.0.2.%d" % i for i in (1, 2, 3)], 3)
        harness.write_file(self.tmp / "dnscache", "%d 192.0.2.9 kept.example\n" % (time.time() // 60))
        for kind in ("nothing listening", "no socket left", "every query refused"):
            with self.subTest(kind=kind), FakeDNS(default="refused") as refusing:
                r = self.lv(["-V", "-translate", "-normal", "a.log"], dns=refusing if "refused" in kind else None,
                            wrap=["prlimit", "--nofile=4", "--"] if "socket" in kind else ())
                self.assertEqual(r.rc, 1, r)
                self.assertEqual(r.out.count("could not be reached; 3 addresses were left unresolved."), 1, r)
                self.assertIn("Lookups: 0 named, 0 not found, 0 passing failures, 0 unconfirmed, 3 unreachable.", r.out)
                self.assertEqual(names(self.tmp / "dnscache"), {"192.0.2.9": "kept.example"}, r)
        for value, message in [("127.0.0.999", None), (",".join(["127.0.0.1:53"] * 25), "Line 4 too long 336/254.")]:
            with self.subTest(value=value):
                r = self.lv(["-V", "a.log"], config_lines=["dns-servers " + value])
                self.assertEqual((r.rc, r.out.splitlines()), (1, [message or "Invalid DNS server list '%s'!" % value] +
                                 ["The dns-servers line was refused; not asking any other servers."] * bool(message) +
                                 ["Complete."]), r)

    def test_dead_addresses_leave_the_window(self):
        # 1,000 never answered among 5,000: a dead query gives up its place after
        # its first time-out, so the run costs one give-up (1.5 s) and 0.5 s per
        # window of them, not 1.5 s per window.
        log_of(self.tmp, ["10.%d.%d.%d" % (9 if i % 5 == 0 else 10, i >> 8, i & 255) for i in range(5000)])
        with FakeDNS({"10.9.0.0/16": "drop"}) as dns:
            r = self.lv(["-private", "a.log"], dns=dns, dns_timeout=500, config_lines=["dns-inflight 100"], timeout=90)
            self.assertEqual(len(set(dns.queries())), 5000)
        self.assertLess(r.elapsed, 0.5 * (3 + 1000 / 100) + 4, r)
        self.assertEqual(sum(v[2] == "*t1" for v in read_cache(self.tmp / "dnscache").values()), 1000, r)

    def test_forward_confirmation(self):
        cases = [  # address, PTR name, forward rule, name stored (None: not stored)
            ("192.0.2.20", "match.example", {"a": ["192.0.2.99", "192.0.2.20"]}, "match.example"),
            ("192.0.2.21", "other.example", {"a": ["192.0.2.99"]}, "*u"), ("192.0.2.22", "gone.example", "nxdomain", "*u"),
            ("192.0.2.23", "noaddr.example", "nodata", "*u"),
            ("192.0.2.24", "alias.example", {"cname": ["real.example"], "a": ["192.0.2.24"]}, "alias.example"),
            ("192.0.2.25", "slow.example", {"a": ["192.0.2.25"], "delay": 400}, "slow.example"),
            ("192.0.2.26", "crawler.search.example", "drop", "*t1"), ("192.0.2.27", "refused.example", "refused", None),
            ("2001:db8::20", "match6.example", {"a": ["2001:db8::99", "2001:db8::20"]}, "match6.example"),
            ("2001:db8::21", "four.example", {"a": ["32.1.13.184"]}, "*u")]  # an A record is no AAAA one
        rules = dict({a: ptr for a, ptr, _f, _w in cases}, **{"192.0.2.28": "nxdomain"})
        forward, want = {ptr: f for _a, ptr, f, _w in cases}, dict({a: w for a, _p, _f, w in cases if w}, **{"192.0.2.28": "*"})
        log_of(self.tmp, sorted(rules), 2)
        args, cfg = ["-V", "-translate", "-normal", "a.log"], ["verify on", "ipv6 on"]
        with FakeDNS(rules, forward=forward) as dns:
            r = self.lv(args, dns=dns, dns_timeout=1000, dns_tries=1, config_lines=cfg)
            self.assertEqual((sorted(dns.forward_queries()), sorted(dns.forward_queries(28))),
                             (sorted(forward), ["four.example", "match6.example"]))
            self.assertIn("Forward checks: 4 confirmed, 4 unconfirmed.", r.out, r)
            self.assertEqual((r.rc, names(self.tmp / "dnscache")), (1, want), r)
            self.assertEqual((self.tmp / "a.log.out").read_text(), "".join(
                "%s - - x\n" % (a if want.get(a, "*")[0] == "*" else want[a]) for a in sorted(rules)) * 2)
            # Warm, verify on or off: unconfirmed names are neither asked nor
            # used; the passing failure and the unknown address are asked.
            for c in (cfg, ["ipv6 on"]):
                dns.clear_queries()
                r = self.lv(args, dns=dns, dns_timeout=1000, dns_tries=1, config_lines=c)
                self.assertEqual(sorted(set(dns.queries())), ["192.0.2.26", "192.0.2.27"])
                self.assertEqual(set(dns.forward_queries()), {"crawler.search.example", "refused.example"}
                                 if len(c) == 2 else set())
                self.assertNotIn("other.example", (self.tmp / "a.log.out").read_text(), r)

    def test_failures_asked_again(self):
        # A definitive failure is asked again once older than -retry days,
        # strictly, until its fourth try; a passing failure by every run, a
        # repeat counting once an hour has passed and the fifth definitive.
        rows = [  # address, age (s), tries, name; answer (None: not asked); then time renewed, tries, name
            ("198.51.100.1", 5 * DAY, 3, "*", "nxdomain", True, 4, "*"), ("198.51.100.4", 2 * DAY, 2, "*", None, False, 2, "*"),
            ("198.51.100.2", 5 * DAY, 1, "*", "back.example", True, None, "back.example"),
            ("198.51.100.3", 10 * DAY, 4, "*", None, False, 4, "*"),
            ("198.51.100.9", 2 * DAY + 1, 2, "*", "nxdomain", True, 3, "*"),
            ("198.51.100.5", 10 * DAY, None, "*", None, False, 4, "*"),  # no count: four tries
            ("198.51.100.6", 10 * DAY, None, "named.example", None, True, None, "named.example"),  # met: renewed
            ("198.51.100.30", 600, 1, "*t1", "back.example", True, None, "back.example"),
            ("198.51.100.31", 2 * HOUR, 2, "*t2", "servfail", True, 3, "*t3"),
            ("198.51.100.33", 2 * HOUR, 4, "*t4", "drop", True, 5, "*"),
            ("198.51.100.32", 600, 2, "*t2", "servfail", False, 3, "*t2"),  # too soon to count
            ("198.51.100.35", DAY, 1, "*u", None, False, 1, "*u"),  # unconfirmed: as definitive
            ("2001:db8::31", 2 * HOUR, 2, "*t2", "servfail", True, 3, "*t3")]
        unmet = [("198.51.100.8", 5 * DAY, 3, "*", None, False, 3, "*")]  # due, but not in the log
        log_of(self.tmp, [row[0] for row in rows], 2)
        with FakeDNS({row[0]: row[4] for row in rows if row[4]}, default="nxdomain") as dns:
            for _attempt in range(5):  # until a run ends within the second its cache was written for
                dns.clear_queries()
                time.sleep(1.02 - time.time() % 1)
                now = int(time.time())
                harness.write_file(self.tmp / "dnscache", gzip.compress("".join("%d %s%s %s\n" % (
                    now - age, "$%d " % t if t else "", a, n) for a, age, t, n, *_x in rows + unmet).encode()))
                r = self.lv(["-private", "-retry", "2", "a.log"], dns=dns, dns_timeout=200,
                            config_lines=["divisor 1", "ipv6 on"])
                if int(time.time()) == now:
                    break
            else:
                self.skipTest("every run crossed a second boundary")
            self.assertEqual(sorted(set(dns.queries())), sorted(row[0] for row in rows if row[4]))
            self.assertEqual(read_cache(self.tmp / "dnscache"), {a: (now if renewed else now - age, t, n)
                                                                 for a, age, _t, _n, _x, renewed, t, n in rows + unmet}, r)
            dns.clear_queries()  # the retry used up the fourth try: never again
            self.lv(["-private", "a.log"], dns=dns, dns_timeout=200, config_lines=["divisor 1", "ipv6 on"])
            self.assertNotIn("198.51.100.1", dns.queries())

if __name__ == "__main__":
    harness.main()
