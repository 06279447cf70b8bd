"""DNS faults: servers that are dead, silent or late, and a flood of distinct
addresses. The time a run may take with a dead server is bounded by the
resolver's own time-outs: dns-timeout for the first try, doubled for each
further one (one server), so dns-timeout x (2^dns-tries - 1) in all."""

import re
import time

import harness
from harness import E2ETestCase, FakeDNS
import faultutil
from faultutil import SANITIZED, size, slack

MARGIN = 1.5  # start-up, the scan, the cache write and the translation


def addresses(n, first=10):
    return ["%d.%d.%d.%d" % (first, (i >> 16) & 255, (i >> 8) & 255, i & 255) for i in range(n)]


def write_log(path, addrs):
    """One line per address, and a line holding two of them."""
    lines = ["%s - - [06/Dec/2024:10:00:00 +0000] \"GET /i%d HTTP/1.1\" 200 %d\n" % (a, i, i)
             for i, a in enumerate(addrs)]
    lines.append("from %s via %s\n" % (addrs[0], addrs[-1]))
    return harness.write_file(path, "".join(lines))


def cache_entries(path):
    """{address: (time field, tries or None, name)} of a plain or private cache."""
    out = {}
    for line in harness.read_file(path).decode("latin-1").splitlines():
        t, tries, addr, name = re.match(r"(-?\d+) (?:\$(\d+) )?(\S+) (.*)$", line).groups()
        out[addr] = (int(t), tries and int(tries), name)
    return out


def give_up_time(timeout_ms, tries):
    return timeout_ms * (2 ** tries - 1) / 1000.0


def auto_name(addr):
    return "host-%s.example" % addr.replace(".", "-")


class DeadServers(E2ETestCase):
    TIMEOUT_MS = size(1000, 400)
    TRIES = size(3, 2)
    N = size(5000, 200)

    def run_against(self, cwd, dns, addrs, timeout_ms, tries, args=("-V", "-translate", "-normal")):
        # Every query in flight at once: under the in-flight limit each batch
        # would add a give-up time of its own.
        r = faultutil.run(list(args) + ["a.log"], cwd, dns=dns, dns_timeout=timeout_ms, dns_tries=tries,
                          config_lines=["dns-inflight %d" % (len(addrs) + 100)], timeout=120)
        self.assertEqual(r.err, "", r)
        self.assertNotIn("internal error", r.out, r)
        return r

    def test_dead_and_silent_servers(self):
        addrs = addresses(self.N)
        bound = give_up_time(self.TIMEOUT_MS, self.TRIES) + slack(MARGIN)
        for kind in ("dead port", "drops everything"):
            with self.subTest(kind=kind):
                cwd = self.tmp / kind.replace(" ", "_")
                log = write_log(cwd / "a.log", addrs)
                dns = FakeDNS(default="drop") if kind == "drops everything" else harness.dead_port()
                try:
                    r = self.run_against(cwd, dns, addrs, self.TIMEOUT_MS, self.TRIES)
                    if kind == "drops everything":
                        asked = dns.queries()
                        self.assertEqual(set(asked), set(addrs), dns.describe())
                        per_address = {}
                        for a in asked:
                            per_address[a] = per_address.get(a, 0) + 1
                        self.assertLessEqual(max(per_address.values()), self.TRIES, dns.describe())
                finally:
                    if not isinstance(dns, int):
                        dns.stop()
                print("\n  %s: %d addresses, run %.2fs (bound %.2fs)" % (kind, len(addrs), r.elapsed, bound))
                self.assertLess(r.elapsed, bound, r)
                got = cache_entries(cwd / "dnscache")
                if kind == "dead port":
                    # Nothing is known about the addresses: none is stored.
                    self.assertEqual(r.rc, 1, r)
                    self.assertIn("The DNS servers could not be reached; {0:,} addresses were left unresolved."
                                  .format(len(addrs)), r.out, r)
                    self.assertEqual(got, {}, r)
                else:
                    self.assertEqual(r.rc, 0, r)
                    self.assertIn("Wrote {0:,} cache entries, 0 expired, {0:,} (100%) were unresolved.".format(
                        len(addrs)), r.out, r)
                    self.assertEqual(set(got), set(addrs), r)
                    self.assertEqual({v[2] for v in got.values()}, {"*t1"}, r)
                self.assertEqual((cwd / "a.log.out").read_bytes(), log.read_bytes(), r)


class LateServer(E2ETestCase):
    def test_answers_after_the_time_out(self):
        timeout_ms, tries = size(1000, 300), 2
        giveup = give_up_time(timeout_ms, tries)
        delay_ms = int(giveup * 1000) + 1000
        addrs = addresses(size(2000, 100), 11)
        log = write_log(self.tmp / "a.log", addrs)
        with FakeDNS(default={"action": "auto", "delay": delay_ms}) as dns:
            r = faultutil.run(["-V", "-private", "-translate", "-normal", "a.log"], self.tmp, dns=dns,
                              dns_timeout=timeout_ms, dns_tries=tries,
                              config_lines=["dns-inflight %d" % (len(addrs) + 100)], timeout=120)
            print("\n  late answers (%d ms): %d addresses, run %.2fs (bound %.2fs)" % (
                delay_ms, len(addrs), r.elapsed, giveup + slack(MARGIN)))
            self.assertEqual((r.rc, r.err), (0, ""), r)
            self.assertLess(r.elapsed, giveup + slack(MARGIN), r)
            self.assertEqual(set(dns.queries()), set(addrs), dns.describe())
        got = cache_entries(self.tmp / "dnscache")
        self.assertEqual(set(got), set(addrs))
        self.assertEqual({(v[1], v[2]) for v in got.values()}, {(1, "*t1")}, r)
        self.assertEqual((self.tmp / "a.log.out").read_bytes(), log.read_bytes())

        # A time-out is a passing failure: the next run asks again, once each.
        with FakeDNS() as dns:
            r = faultutil.run(["-V", "-private", "-translate", "-normal", "a.log"], self.tmp, dns=dns, timeout=120)
            self.assertEqual((r.rc, r.err), (0, ""), r)
            self.assertEqual(sorted(dns.queries()), sorted(addrs), dns.describe())
        got = cache_entries(self.tmp / "dnscache")
        self.assertEqual({a: v[1:] for a, v in got.items()}, {a: (None, auto_name(a)) for a in addrs})
        text = log.read_text()
        for a in addrs:
            text = re.sub(r"(?<![\d.])%s(?![\d.])" % re.escape(a), auto_name(a), text)
        self.assertEqual((self.tmp / "a.log.out").read_text(), text)

    def test_late_answers_arrive_while_resolving(self):
        # One query at a time: each late answer reaches the resolver while a
        # later query is still outstanding, long after its own query gave up.
        timeout_ms, delay_ms = 300, 700
        addrs = addresses(size(8, 4), 12)
        write_log(self.tmp / "a.log", addrs)
        with FakeDNS(default={"action": "auto", "delay": delay_ms}) as dns:
            r = faultutil.run(["-V", "-translate", "-normal", "a.log"], self.tmp, dns=dns, dns_timeout=timeout_ms,
                              dns_tries=1, config_lines=["dns-inflight 1"], timeout=120)
            ended = time.time()
            asked = dns.query_times()
        print("\n  late answers, one at a time: %d addresses, run %.2fs" % (len(addrs), r.elapsed))
        self.assertEqual((r.rc, r.err), (0, ""), r)
        self.assertNotIn("internal error", r.out, r)
        self.assertEqual(sorted(a for a, _ in asked), sorted(addrs), r)
        answered_during_run = [a for a, t in asked if t + delay_ms / 1000.0 < ended - 0.1]
        self.assertGreaterEqual(len(answered_during_run), len(addrs) // 2, (asked, ended, r))
        self.assertEqual({v[2] for v in cache_entries(self.tmp / "dnscache").values()}, {"*t1"}, r)
        self.assertLess(r.elapsed, len(addrs) * (delay_ms / 1000.0 + 0.5) + slack(MARGIN), r)


class ManyAddresses(E2ETestCase):
    RSS_LIMIT_KB = 100 * 1024

    def test_every_address_asked_once(self):
        n = size(1000000, 50000)
        addrs = addresses(n)
        harness.write_file(self.tmp / "a.log", "".join(
            "%s - - [06/Dec/2024:10:00:00 +0000] \"GET / HTTP/1.1\" 200 1\n" % a for a in addrs))
        with FakeDNS() as dns:
            r = faultutil.run(["-V", "a.log"], self.tmp, dns=dns, dns_timeout=5000, dns_tries=2,
                              timeout=slack(600))
            asked = dns.queries()
        print("\n  %d addresses: run %.2fs, peak RSS %d kB" % (n, r.elapsed, r.maxrss_kb))
        self.assertEqual((r.rc, r.err), (1, ""), r)
        self.assertEqual(len(asked), n, r)
        self.assertEqual(len(set(asked)), n, r)
        self.assertIn("Looked up {0:,} IPs, used 0 from cache, total of {0:,} in cache,".format(n), r.out, r)
        self.assertIn("Wrote {0:,} cache entries, 0 expired, 0 (0%) were unresolved.".format(n), r.out, r)
        cached = [line.split(" ")[1:] for line in (self.tmp / "dnscache").read_text().splitlines()]
        self.assertEqual(len(cached), n)
        self.assertEqual(sorted(addr for addr, _ in cached), sorted(addrs))
        self.assertEqual([c for c in cached if c[1] != auto_name(c[0])], [])
        if not SANITIZED:
            self.assertLessEqual(r.maxrss_kb, self.RSS_LIMIT_KB, r)


if __name__ == "__main__":
    harness.main()
