"""Reverse lookups against a scripted DNS server: what is asked, when, and
what ends up in the cache file."""

import gzip
import ipaddress
import os
import re
import time

import harness
from harness import E2ETestCase, FakeDNS, run_logvane

DAY = 86400


def cache_lines(path):
    """{address: (time field, tries field or None, name)} of a cache file."""
    lines = harness.read_file(path).decode("latin-1").splitlines()
    fields = [re.match(r"(-?\d+) (?:\$(\d+) )?(\S+) (.*)$", line).groups() for line in lines]
    return {addr: (int(t), tries and int(tries), name) for t, tries, addr, name in fields}


def names(path):
    return {k: v[2] for k, v in cache_lines(path).items()}


def run(*args, **kw):
    """run_logvane that also insists on a clean standard error."""
    r = run_logvane(*args, **kw)
    if r.err:
        raise AssertionError("unexpected standard error%s" % r)
    return r


def log_of(tmp, n, prefix="10.7"):
    addrs = ["%s.%d.%d" % (prefix, i >> 8, i & 255) for i in range(n)]
    harness.write_file(tmp / "a.log", "".join("%s - - x\n" % a for a in addrs))
    return addrs


class Lookups(E2ETestCase):
    def test_each_new_address_is_asked_once(self):
        harness.write_file(self.tmp / "a.log", "a 192.0.2.1 b 192.0.2.2 c 192.0.2.1\n" * 20)
        harness.write_file(self.tmp / "b.log", "192.0.2.2 192.0.2.3 192.0.2.1\n" * 5)
        with FakeDNS({"192.0.2.3": "nxdomain"}) as dns:
            before = int(time.time())
            r = run(["-V", "a.log", "b.log"], cwd=self.tmp, dns=dns)
            after = int(time.time())
            self.assertEqual(sorted(dns.queries()), ["192.0.2.1", "192.0.2.2", "192.0.2.3"], dns.describe())
            self.assertIn("Looked up 2 IPs, used 0 from cache, total of 2 in cache,\n"
                          "  58 duplicates, 20 lines in 0:0", r.out, r)
            self.assertIn("Looked up 1 IPs, used 0 from cache, total of 3 in cache,\n"
                          "  14 duplicates, 5 lines in 0:0", r.out, r)
            self.assertEqual(names(self.tmp / "dnscache"), {"192.0.2.1": "host-192-0-2-1.example",
                                                            "192.0.2.2": "host-192-0-2-2.example", "192.0.2.3": "*"})
            for t, _tries, _name in cache_lines(self.tmp / "dnscache").values():
                self.assertTrue(before // 60 <= t <= after // 60, t)
            # A second run finds everything in the cache and asks nothing.
            dns.clear_queries()
            r = run(["-V", "a.log", "b.log"], cwd=self.tmp, dns=dns)
            self.assertEqual(dns.queries(), [], r)
            self.assertIn("Looked up 0 IPs, used 2 from cache, total of 3 in cache,", r.out.splitlines(), r)

    def test_answer_kinds(self):
        # What each kind of answer leaves in either cache format, and what
        # the next run asks once the server is healthy: passing failures and
        # unknown addresses again, definitive ones not.
        kinds = [  # (address, rule, stored name or None for not stored)
            ("192.0.2.10", "good.example", "good.example"),
            ("192.0.2.11", "nxdomain", "*"),
            ("192.0.2.12", {"rcode": 0}, "*"),                    # no data
            ("192.0.2.13", {"raw": "10.0.0.99"}, "*"),            # a name unfit for a log
            ("192.0.2.14", "servfail", "*t1"),
            ("192.0.2.15", "drop", "*t1"),                        # no answer
            ("192.0.2.16", {"name": "cut.example", "cut": 20}, "*t1"),  # malformed
            ("192.0.2.17", {"raw": "bad\r\nname.example"}, "*t1"),   # the library calls it malformed
            ("192.0.2.18", "refused", None),
        ]
        rules = {a: r for a, r, _ in kinds}
        harness.write_file(self.tmp / "a.log", "".join("%s x\n" % a for a in sorted(rules)) * 2)
        want = {a: n for a, _, n in kinds if n}
        again = sorted(a for a, _, n in kinds if n is None or n.startswith("*t"))
        for private in (False, True):
            with self.subTest(private=private):
                (self.tmp / "dnscache").unlink(missing_ok=True)
                args = ["-private"] * private + ["a.log"]
                with FakeDNS(rules) as dns:
                    r = run(args, cwd=self.tmp, dns=dns)
                    self.assertTrue(all(dns.count(a) >= 1 for a in rules), dns.describe())
                self.assertEqual(r.rc, 1, r)
                self.assertEqual(r.out, "'dnscache' not found, creating it.\n"
                                 "The DNS servers could not be reached; 1 address was left unresolved.\n", r)
                raw = harness.read_file(self.tmp / "dnscache")
                self.assertNotIn(b"\r", raw)
                self.assertEqual(names(self.tmp / "dnscache"), want, r)
                tries = {k: v[1] for k, v in cache_lines(self.tmp / "dnscache").items()}
                self.assertEqual(tries, {a: (1 if private and n[0] == "*" else None) for a, n in want.items()}, raw)
                with FakeDNS() as dns:
                    r = run(["-V"] + args, cwd=self.tmp, dns=dns)
                    self.assertEqual(sorted(dns.queries()), again, dns.describe())
                self.assertIn("Read 8 entries from DNS cache, 7 (87%) were unresolved.", r.out.splitlines(), r)
                self.assertIn("Lookups: 5 named, 0 not found, 0 passing failures, 0 unconfirmed, 0 unreachable.",
                              r.out.splitlines(), r)
                healed = dict(want, **{a: "host-%s.example" % a.replace(".", "-") for a in again})
                self.assertEqual(names(self.tmp / "dnscache"), healed, r)

    def test_unreachable_servers(self):
        # No server takes the queries: nothing is stored, one message says
        # so, and the next run asks again.
        addrs = ["192.0.2.%d" % i for i in (1, 2, 3)]
        harness.write_file(self.tmp / "a.log", "".join("%s x\n" % a for a in addrs) * 3)
        harness.write_file(self.tmp / "dnscache", "%d 192.0.2.9 kept.example\n" % (time.time() // 60))
        message = "The DNS servers could not be reached; 3 addresses were left unresolved."
        for kind in ("nothing listening", "no socket left", "every query refused"):
            with self.subTest(kind=kind):
                dns = FakeDNS(default="refused") if kind == "every query refused" else None
                wrap = ["prlimit", "--nofile=4", "--"] if kind == "no socket left" else ()
                try:
                    r = run(["-V", "-translate", "-normal", "a.log"], cwd=self.tmp, dns=dns or harness.dead_port(),
                            wrap=wrap)
                finally:
                    if dns:
                        dns.stop()
                self.assertEqual(r.rc, 1, r)
                self.assertEqual(r.out.count(message), 1, r)
                self.assertIn("Lookups: 0 named, 0 not found, 0 passing failures, 0 unconfirmed, 3 unreachable.",
                              r.out.splitlines(), r)
                self.assertEqual(names(self.tmp / "dnscache"), {"192.0.2.9": "kept.example"}, r)
        with FakeDNS() as dns:
            r = run(["-translate", "-normal", "a.log"], cwd=self.tmp, dns=dns)
            self.assertEqual((r.rc, sorted(dns.queries())), (0, addrs), r)

    def test_invalid_server_list(self):
        harness.write_file(self.tmp / "a.log", "192.0.2.1 x\n")
        harness.write_file(self.tmp / "dnscache", "29000000 192.0.2.9 kept.example\n")
        for value in ["127.0.0.1:abc", "999.1.1.1", "127.0.0.1,,"]:
            with self.subTest(value=value):
                r = run(["-V", "a.log"], cwd=self.tmp, dns=harness.dead_port(), config_lines=["dns-servers " + value])
                self.assertEqual(r.rc, 1, r)
                self.assertEqual(r.out.splitlines(), ["Invalid DNS server list '%s'!" % value, "Complete."], r)
                self.assertEqual((self.tmp / "dnscache").read_text(), "29000000 192.0.2.9 kept.example\n")
        # A list too long for the line is refused, and nothing else is asked.
        servers = ",".join(["127.0.0.1:53"] * 25)
        lines = ["dns-servers " + servers]
        r = run(["-V", "a.log"], cwd=self.tmp, dns=harness.dead_port(), config_lines=lines)
        self.assertEqual(r.rc, 1, r)
        self.assertEqual(r.out.splitlines(), ["Line 4 too long 336/254.",
            "The dns-servers line was refused; not asking any other servers.", "Complete."], r)


class IPv6(E2ETestCase):
    LOG = ("2001:db8::1 - - [06/Dec/2024:11:00:00 +0000] \"GET / HTTP/1.1\" 200 1\n"
           "2001:DB8:0:0:0:0:0:1 x [2001:db8::2]:8443\n"
           "::ffff:198.51.100.7 ::FFFF:c633:6407 198.51.100.7\n"
           "64:ff9b::192.0.2.1 fe80::1%eth0\n"
           "10:15:30 00:1a:2b:3c:4d:5e :: 2001:db8::3x x2001:db8::3\n"
           "2001:db8::4\n")
    ASKED = ["198.51.100.7", "2001:db8::1", "2001:db8::2", "2001:db8::4", "64:ff9b::c000:201", "fe80::1"]

    def test_asked_once_each_cached_and_translated(self):
        harness.write_file(self.tmp / "a.log", self.LOG)
        # One query at a time, each answered after 100 ms: IPv6 queries keep the limit too.
        with FakeDNS({"2001:db8::4": "nxdomain"}, default={"action": "auto", "delay": 100}) as dns:
            r = run(["-V", "-private", "-translate", "-normal", "a.log"], cwd=self.tmp, dns=dns,
                    config_lines=["ipv6 yes", "dns-inflight 1"])
            times = [t for _, t in dns.query_times()]
            self.assertEqual(sorted(dns.queries()), self.ASKED, dns.describe())
        self.assertTrue(all(b - a >= 0.08 for a, b in zip(times, times[1:])), times)
        self.assertIn("Looked up 6 IPs, used 0 from cache, total of 6 in cache,\n  3 duplicates, 6 lines", r.out, r)
        want = {a: "host-%s.example" % a.replace(".", "-").replace(":", "-") for a in self.ASKED}
        want["2001:db8::4"] = "*"
        self.assertEqual(names(self.tmp / "dnscache"), want)
        self.assertEqual(cache_lines(self.tmp / "dnscache")["2001:db8::4"][1], 1)
        self.assertEqual((self.tmp / "a.log.out").read_text().splitlines()[:4], [
            "host-2001-db8--1.example - - [06/Dec/2024:11:00:00 +0000] \"GET / HTTP/1.1\" 200 1",
            "host-2001-db8--1.example x [host-2001-db8--2.example]:8443",
            "host-198-51-100-7.example host-198-51-100-7.example host-198-51-100-7.example",
            "host-64-ff9b--c000-201.example host-fe80--1.example%eth0"])
        # The private file read back, written plain and read back again: nothing asked.
        with FakeDNS(default="nxdomain") as dns:
            for _ in range(2):
                r = run(["-V", "a.log"], cwd=self.tmp, dns=dns, config_lines=["ipv6 yes"])
                self.assertEqual(dns.queries(), [], r)
                self.assertIn("Read 6 entries from DNS cache, 1 (16%) were unresolved.", r.out.splitlines(), r)
                self.assertEqual(names(self.tmp / "dnscache"), want)
            # With ipv6 off the IPv6 lines are corrupt and dropped, and the log reads as IPv4 only.
            r = run(["a.log"], cwd=self.tmp, dns=dns)
            self.assertEqual(dns.queries(), ["192.0.2.1"], r)
        self.assertIn("5 corrupt lines in the DNS cache file, ignored.", r.out.splitlines(), r)
        self.assertEqual(names(self.tmp / "dnscache"), {"198.51.100.7": want["198.51.100.7"], "192.0.2.1": "*"})


class Scheduling(E2ETestCase):
    def test_in_flight_limit(self):
        # The default of 100 comes from the settings; the mechanism is the same.
        addrs = log_of(self.tmp, 8)
        with FakeDNS(default="drop") as dns:
            r = run(["a.log"], cwd=self.tmp, dns=dns, dns_timeout=3000, dns_tries=1, config_lines=["dns-inflight 5"])
            self.assertEqual(dns.queries(), addrs, dns.describe())
            times = [t for _, t in dns.query_times()]
        self.assertEqual(names(self.tmp / "dnscache"), {a: "*t1" for a in addrs}, r)
        self.assertLess(times[4] - times[0], 0.4, (times, r))
        for i in range(5, len(times)):
            # A quiet half-second lets exactly one more query through.
            self.assertTrue(0.45 <= times[i] - times[i - 1] < 1.2, (i, times, r))

    def test_answers_free_slots_without_waiting(self):
        log_of(self.tmp, 25)
        with FakeDNS(default={"action": "auto", "delay": 200}) as dns:
            r = run(["a.log"], cwd=self.tmp, dns=dns, dns_timeout=3000, dns_tries=1, config_lines=["dns-inflight 5"])
            times = [t for _, t in dns.query_times()]
            self.assertEqual(len(times), 25, dns.describe())
        for i in range(5, 25):
            # The i-th query waits for an answer, never for a quiet half-second.
            self.assertGreaterEqual(times[i] - times[i - 5], 0.18, (i, times, r))
        self.assertLess(times[-1] - times[0], 2.0, (times, r))
        self.assertEqual(len([n for n in names(self.tmp / "dnscache").values() if n != "*"]), 25, r)

    def test_dead_addresses_cost_their_time_outs(self):
        # Queries past their first time-out leave the window, and no wait
        # outlasts the resolver's own time-outs: dead addresses cost one
        # give-up time plus a first time-out for each window full of them.
        rows = [  # (dns-timeout ms, dns-tries, dead, alive, dns-inflight)
            (100, 2, 100, 0, 10),
            (1000, 1, 20, 0, 10),
            (100, 2, 1000, 4000, 100),  # the dead among many that answer
        ]
        margin = 6.0 if os.environ.get("LOGVANE_SANITIZED") == "1" else 1.5
        for timeout, tries, dead, alive, inflight in rows:
            with self.subTest(timeout=timeout, dead=dead), FakeDNS({"10.9.0.0/16": "drop"}) as dns:
                (self.tmp / "dnscache").unlink(missing_ok=True)
                step = (dead + alive) // dead
                addrs = ["10.%d.%d.%d" % (9 if i % step == 0 else 10, i >> 8, i & 255) for i in range(dead + alive)]
                harness.write_file(self.tmp / "a.log", "".join("%s x\n" % a for a in addrs))
                r = run(["a.log"], cwd=self.tmp, dns=dns, dns_timeout=timeout, dns_tries=tries,
                        config_lines=["dns-inflight %d" % inflight], timeout=60)
                self.assertEqual(len(set(dns.queries())), dead + alive, dns.describe())
                bound = timeout / 1000.0 * ((2 ** tries - 1) + dead / inflight) + margin
                print("\n  %d dead of %d, %d ms x %d, in flight %d: %.2fs (bound %.2fs)" % (
                    dead, dead + alive, timeout, tries, inflight, r.elapsed, bound))
                self.assertLess(r.elapsed, bound, r)
                got = names(self.tmp / "dnscache")
                self.assertEqual(sum(n == "*t1" for n in got.values()), dead, r)

    def test_default_time_outs(self):
        # Unset in the configuration: the system's resolver configuration
        # decides, and where it says nothing 2000 ms and 2 tries.
        harness.write_file(self.tmp / "a.log", "10.9.0.1 x\n")
        rows = [(None, [2.0]), ("nameserver 127.0.0.1\noptions retrans:300 retry:3\n", [0.3, 0.6])]
        for conf, gaps in rows:
            with self.subTest(conf=conf), FakeDNS(default="drop") as dns:
                wrap = ()
                if conf:
                    path = harness.write_file(self.tmp / "resolv.conf", conf)
                    wrap = ["unshare", "-m", "--", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"',
                            str(path)]
                (self.tmp / "dnscache").unlink(missing_ok=True)
                run(["a.log"], cwd=self.tmp, dns=dns, dns_timeout=None, dns_tries=None, wrap=wrap)
                times = [t for _, t in dns.query_times()]
            self.assertEqual(len(times), len(gaps) + 1, dns.describe())
            for got, want in zip([b - a for a, b in zip(times, times[1:])], gaps):
                self.assertTrue(want - 0.05 <= got < want + 0.5, (times, gaps))

    def test_wait_ticks_spaces_queries(self):
        log_of(self.tmp, 5, "10.8")
        for args, cfg in [(["a.log"], ["wait-ticks 30"]), (["-z", "30", "a.log"], [])]:
            with self.subTest(args=args, cfg=cfg):
                # A first clock reading in the first 1/60 s of a second reads 0,
                # which leaves pacing unset for that instant: run again then.
                for attempt in range(3):
                    (self.tmp / "dnscache").unlink(missing_ok=True)
                    with FakeDNS() as dns:
                        r = run(args, cwd=self.tmp, dns=dns, config_lines=cfg)
                        times = [t for _, t in dns.query_times()]
                    self.assertEqual(len(times), 5, dns.describe())
                    gaps = [b - a for a, b in zip(times, times[1:])]
                    if not (times[0] % 1.0 < 0.03 and max(gaps) < 0.1):
                        break
                self.assertLess(gaps[0], 0.2, (gaps, r))  # the first only starts the clock
                self.assertTrue(all(0.4 <= g < 0.75 for g in gaps[1:]), (gaps, r))


def a_records(*addrs, owner=None):
    """A forward rule answering with these A or AAAA records (owned by owner)."""
    recs = [{"type": "AAAA" if ":" in a else "A", "data": {"wire_hex": ipaddress.ip_address(a).packed.hex()}}
            for a in addrs]
    return {"answers": [dict(r, owner=owner) if owner else r for r in recs]}


class Verify(E2ETestCase):
    def test_forward_confirmation(self):
        cases = [  # (address, PTR name, forward rule, name stored or None for not stored)
            ("192.0.2.20", "match.example", a_records("192.0.2.99", "192.0.2.20"), "match.example"),
            ("192.0.2.21", "other.example", a_records("192.0.2.99"), "*u"),
            ("192.0.2.22", "gone.example", "nxdomain", "*u"),
            ("192.0.2.23", "noaddr.example", {"rcode": 0}, "*u"),
            ("192.0.2.24", "alias.example", {"answers": [{"type": "CNAME", "data": "real.example"}] +
                                             a_records("192.0.2.24", owner="real.example")["answers"]},
             "alias.example"),
            ("192.0.2.25", "slow.example", dict(a_records("192.0.2.25"), delay=400), "slow.example"),
            ("192.0.2.26", "crawler.search.example", "drop", "*t1"),
            ("192.0.2.27", "refused.example", "refused", None),
            ("2001:db8::20", "match6.example", a_records("2001:db8::99", "2001:db8::20"), "match6.example"),
            ("2001:db8::21", "four.example", a_records("32.1.13.184"), "*u"),  # an A record is no AAAA one
        ]
        rules = dict({a: ptr for a, ptr, _f, _w in cases}, **{"192.0.2.28": "nxdomain"})
        forward = {ptr: f for _a, ptr, f, _w in cases}
        text = "".join("%s GET /\n" % a for a in sorted(rules)) * 2
        harness.write_file(self.tmp / "a.log", text)
        want = dict({a: w for a, _p, _f, w in cases if w}, **{"192.0.2.28": "*"})
        args = ["-V", "-translate", "-normal", "a.log"]
        with FakeDNS(rules, forward=forward) as dns:
            r = run(args, cwd=self.tmp, dns=dns, dns_timeout=1000, dns_tries=1, config_lines=["verify on", "ipv6 on"])
            self.assertEqual(sorted(dns.forward_queries()), sorted(forward), dns.describe())
            self.assertEqual(sorted(dns.forward_queries(28)), ["four.example", "match6.example"], dns.describe())
            lines = r.out.splitlines()
            self.assertIn("Forward checks: 4 confirmed, 4 unconfirmed.", lines, r)
            self.assertIn("The DNS servers could not be reached; 1 address was left unresolved.", lines, r)
            self.assertEqual(r.rc, 1, r)
            self.assertEqual(names(self.tmp / "dnscache"), want, r)
            named = {a: n for a, n in want.items() if not n.startswith("*")}
            self.assertEqual((self.tmp / "a.log.out").read_text(), re.sub(
                r"\S+", lambda m: named.get(m.group(0), m.group(0)), text), r)
            # Warm, with verify on or off: unconfirmed names are neither asked
            # nor used; the passing failure and the unknown address are asked.
            for cfg in (["verify on", "ipv6 on"], ["ipv6 on"]):
                dns.clear_queries()
                r = run(args, cwd=self.tmp, dns=dns, dns_timeout=1000, dns_tries=1, config_lines=cfg)
                self.assertEqual(sorted(set(dns.queries())), ["192.0.2.26", "192.0.2.27"], dns.describe())
                self.assertEqual(set(dns.forward_queries()), {"crawler.search.example", "refused.example"}
                                 if len(cfg) == 2 else set(), dns.describe())
                self.assertNotIn("other.example", (self.tmp / "a.log.out").read_text(), r)


class Retries(E2ETestCase):
    def write_cache(self, entries, divisor=60):
        """entries: (address, seconds old, tries or None, name)."""
        now = int(time.time())
        lines = ["%d %s%s %s\n" % ((now - age) // divisor, "" if tries is None else "$%d " % tries, addr, name)
                 for addr, age, tries, name in entries]
        harness.write_file(self.tmp / "dnscache", gzip.compress("".join(lines).encode()))
        return now

    def test_failed_entries_retried_by_age_and_count(self):
        old = 10 * DAY
        entries = [
            ("198.51.100.1", 5 * DAY, 3, "*"),        # due: retried, fails again
            ("198.51.100.2", 5 * DAY, 1, "*"),        # due: retried, resolves
            ("198.51.100.3", old, 4, "*"),            # too many tries
            ("198.51.100.4", 2 * DAY, 2, "*"),        # too young
            ("198.51.100.5", old, None, "*"),         # plain format: counts as 4 tries
            ("198.51.100.6", old, None, "named.example"),
            ("198.51.100.7", old, None, "unmet.example"),
            ("198.51.100.8", 5 * DAY, 3, "*"),        # due, but not in the log
        ]
        self.write_cache(entries)
        harness.write_file(self.tmp / "a.log", "".join("198.51.100.%d - - x\n" % i for i in range(1, 7)) * 3)
        with FakeDNS({"198.51.100.1": "nxdomain", "198.51.100.2": "back.example"}, default="nxdomain") as dns:
            before = int(time.time())
            r = run(["-V", "-private", "a.log"], cwd=self.tmp, dns=dns)
            self.assertEqual(sorted(dns.queries()), ["198.51.100.1", "198.51.100.2"], dns.describe() + str(r))
        lines = r.out.splitlines()
        self.assertIn("Read 8 entries from DNS cache, 6 (75%) were unresolved.", lines, r)
        self.assertIn("Looked up 2 IPs, used 6 from cache, total of 8 in cache,", lines, r)
        self.assertRegex(r.out, r"\n  16 duplicates, 18 lines in 0:0\d!\n")
        got = cache_lines(self.tmp / "dnscache")
        orig = {a: age for a, age, _tries, _name in entries}
        fresh = {a for a in got if abs(got[a][0] - before // 60) <= 1}
        kept = {a for a in got if abs(got[a][0] - (before - orig[a]) // 60) <= 1}
        # Met and looked up, or met and named: refreshed; the rest keep their time.
        self.assertEqual(fresh, {"198.51.100.1", "198.51.100.2", "198.51.100.6"}, got)
        self.assertEqual(kept, set(got) - fresh, got)
        self.assertEqual({a: v[1:] for a, v in got.items()}, {
            "198.51.100.1": (4, "*"), "198.51.100.2": (None, "back.example"), "198.51.100.3": (4, "*"),
            "198.51.100.4": (2, "*"), "198.51.100.5": (4, "*"), "198.51.100.6": (None, "named.example"),
            "198.51.100.7": (None, "unmet.example"), "198.51.100.8": (3, "*")}, got)
        # The retry used up the fourth try: never again.
        with FakeDNS(default="nxdomain") as dns:
            run(["-private", "a.log"], cwd=self.tmp, dns=dns)
            self.assertEqual(dns.queries(), [], dns.describe())

    def test_failure_classes_retried(self):
        # Every run asks a passing failure again, in either format; a repeat
        # counts once an hour has passed, and the fifth in a row is definitive.
        hour, fresh = 3600, 600
        rows = [  # (address, age, tries, name in the file, answer, name after, asked)
            ("198.51.100.30", fresh, 1, "*t1", "back.example", "back.example", True),  # heals
            ("198.51.100.31", 2 * hour, 2, "*t2", "servfail", "*t3", True),
            ("198.51.100.32", fresh, 2, "*t2", "servfail", "*t2", True),    # asked, too soon to count
            ("198.51.100.33", 2 * hour, 4, "*t4", "drop", "*", True),       # the fifth in a row
            ("198.51.100.34", 2 * hour, 4, "*t4", "nxdomain", "*", True),
            ("198.51.100.35", DAY, 1, "*u", "auto", "*u", False),           # unconfirmed: definitive rules
            ("198.51.100.36", fresh, 1, "*t7", "auto", "*", False),         # a class unknown here
            ("2001:db8::31", 2 * hour, 2, "*t2", "servfail", "*t3", True),
            ("2001:db8::33", 2 * hour, 4, "*t4", "drop", "*", True),
            ("2001:db8::35", DAY, 1, "*u", "auto", "*u", False),
        ]
        harness.write_file(self.tmp / "a.log", "".join("%s x\n" % row[0] for row in rows) * 2)
        rules = {a: answer for a, _age, _t, _n, answer, _after, _asked in rows}
        for private in (False, True):
            with self.subTest(private=private), FakeDNS(rules) as dns:
                now = self.write_cache([(a, age, tries if private else None, name)
                                        for a, age, tries, name, _x, _y, _z in rows])
                r = run(["-private"] * private + ["a.log"], cwd=self.tmp, dns=dns, dns_timeout=200,
                        config_lines=["ipv6 on"])
                self.assertEqual(sorted(set(dns.queries())), [row[0] for row in rows if row[6]], dns.describe())
                got = cache_lines(self.tmp / "dnscache")
                self.assertEqual({a: v[2] for a, v in got.items()}, {row[0]: row[5] for row in rows}, r)
                counted = {a for a, age, _t, name, _x, after, asked in rows if asked and (after != name)}
                for a, age, tries, _name, _x, after, asked in rows:
                    t = now if a in counted else now - age
                    self.assertLessEqual(abs(got[a][0] - t // 60), 1, (a, got[a], r))
                    if private and after.startswith("*"):
                        self.assertEqual(got[a][1], tries + asked, (a, got[a]))

    def test_retry_boundary_is_strict(self):
        # Times in seconds; start just after a second turns so that the run
        # sees the same current time the file was written for.
        time.sleep(1.02 - time.time() % 1)
        now = self.write_cache([("198.51.100.20", 2 * DAY, 1, "*"),       # exactly the limit: not older
                                ("198.51.100.21", 2 * DAY + 1, 1, "*")],  # one second older: retried
                               divisor=1)
        harness.write_file(self.tmp / "a.log", "198.51.100.20 198.51.100.21\n")
        with FakeDNS(default="nxdomain") as dns:
            r = run(["-retry", "2", "a.log"], cwd=self.tmp, dns=dns, config_lines=["divisor 1"])
            if int(time.time()) != now:
                self.skipTest("the run crossed a second boundary; cannot test it exactly")
            self.assertEqual(dns.queries(), ["198.51.100.21"], dns.describe() + str(r))


if __name__ == "__main__":
    harness.main()
