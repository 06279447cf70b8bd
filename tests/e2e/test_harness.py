"""Self-test of the end-to-end harness: namespace, fake DNS, nsd, fixtures."""

import errno
import os
import select
import socket
import struct
import subprocess
import time
import unittest
from unittest import mock

from dnslib import DNSRecord, QTYPE

import harness
from harness import NSD, E2ETestCase, FakeDNS, run_logvane


def ptr_query(addr, qid=None):
    q = DNSRecord.question(".".join(reversed(addr.split("."))) + ".in-addr.arpa", "PTR")
    if qid is not None:
        q.header.id = qid
    return q


def ask(port, addr, timeout=1.0):
    """DNSRecord reply for a PTR query, or None after timeout."""
    q = ptr_query(addr)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(timeout)
    try:
        s.sendto(q.pack(), ("127.0.0.1", port))
        data = s.recv(4096)
    except socket.timeout:
        return None
    finally:
        s.close()
    r = DNSRecord.parse(data)
    assert r.header.id == q.header.id
    return r


def names(reply):
    """Answer names as lists of raw label bytes."""
    return [list(rr.rdata.label.label) for rr in reply.rr if rr.rtype == QTYPE.PTR]


class Namespace(unittest.TestCase):
    def test_only_loopback(self):
        self.assertEqual([n for _i, n in socket.if_nameindex()], ["lo"])
        self.assertNotEqual(str(os.stat("/proc/self/ns/net").st_ino),
                            os.environ[harness.NETNS_MARKER])

    def test_refuses_a_shared_namespace(self):
        env = dict(os.environ, **{harness.NETNS_MARKER: str(os.stat("/proc/self/ns/net").st_ino)})
        r = subprocess.run(["/usr/bin/python3", "-c", "import harness"], cwd=str(harness.HERE),
                           env=env, capture_output=True, text=True)
        self.assertEqual(r.returncode, 2, r)
        self.assertIn("not a private network namespace", r.stderr)

    def test_system_resolver_unreachable(self):
        servers = []
        try:
            with open("/etc/resolv.conf") as f:
                for line in f:
                    parts = line.split()
                    if len(parts) >= 2 and parts[0] == "nameserver":
                        servers.append(parts[1])
        except OSError:
            pass
        servers = [s for s in servers if not s.startswith("127.") and ":" not in s]
        if not servers:
            self.skipTest("no non-loopback IPv4 nameserver in /etc/resolv.conf")
        for server in servers:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            with self.assertRaises(OSError) as cm:
                s.sendto(ptr_query("192.0.2.1").pack(), (server, 53))
            s.close()
            self.assertEqual(cm.exception.errno, errno.ENETUNREACH, server)


class FakeDNSRules(unittest.TestCase):
    RULES = {
        "192.0.2.1": "one.example.org",
        "192.0.2.2": "nxdomain",
        "192.0.2.3": "servfail",
        "192.0.2.4": "refused",
        "192.0.2.5": "drop",
        "192.0.2.6": {"name": "slow.example", "delay": 400},
        "192.0.2.7": {"raw": "we ird\r\n\x00x.example"},
        "192.0.2.8": {"raw_labels": ["dot.in", "label"]},
        "192.0.2.9": {"name": ["first.example", "second.example"]},
        "192.0.2.10": ["servfail", "drop", "third.example"],
        "192.0.2.11": {"wire_hex": "03616263"},  # missing the root label
        "198.51.100.0/24": "nxdomain",
        "198.51.100.7": "exact.example",
    }

    @classmethod
    def setUpClass(cls):
        cls.dns = FakeDNS(cls.RULES, default="auto")

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()

    def setUp(self):
        self.dns.clear_queries()

    def rcode(self, addr):
        r = ask(self.dns.port, addr)
        return None if r is None else r.header.rcode

    def test_rule_kinds(self):
        p = self.dns.port
        self.assertEqual(names(ask(p, "192.0.2.1")), [[b"one", b"example", b"org"]])
        self.assertEqual(self.rcode("192.0.2.2"), 3)
        self.assertEqual(self.rcode("192.0.2.3"), 2)
        self.assertEqual(self.rcode("192.0.2.4"), 5)
        self.assertIsNone(ask(p, "192.0.2.5", timeout=0.3))
        self.assertEqual(names(ask(p, "192.0.2.7")), [[b"we ird\r\n\x00x", b"example"]])
        self.assertEqual(names(ask(p, "192.0.2.8")), [[b"dot.in", b"label"]])
        self.assertEqual(names(ask(p, "192.0.2.9")),
                         [[b"first", b"example"], [b"second", b"example"]])
        self.assertEqual(names(ask(p, "203.0.113.9")), [[b"host-203-0-113-9", b"example"]])
        self.assertEqual(self.rcode("198.51.100.8"), 3)
        self.assertEqual(names(ask(p, "198.51.100.7")), [[b"exact", b"example"]])

    def test_malformed_rdata_is_sent_verbatim(self):
        q = ptr_query("192.0.2.11")
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(1)
        s.sendto(q.pack(), ("127.0.0.1", self.dns.port))
        data = s.recv(4096)
        s.close()
        self.assertTrue(data.endswith(b"\x00\x04\x03abc"), data)

    def test_sequence_per_address(self):
        self.assertEqual(self.rcode("192.0.2.10"), 2)
        self.assertIsNone(ask(self.dns.port, "192.0.2.10", timeout=0.3))
        for _ in range(2):
            self.assertEqual(names(ask(self.dns.port, "192.0.2.10")), [[b"third", b"example"]])

    def test_delay_does_not_block_other_queries(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        slow, fast = ptr_query("192.0.2.6", 1), ptr_query("192.0.2.1", 2)
        start = time.monotonic()
        s.sendto(slow.pack(), ("127.0.0.1", self.dns.port))
        s.sendto(fast.pack(), ("127.0.0.1", self.dns.port))
        got = []
        while len(got) < 2 and time.monotonic() - start < 3:
            if select.select([s], [], [], 3)[0]:
                got.append((DNSRecord.parse(s.recv(4096)).header.id, time.monotonic() - start))
        s.close()
        self.assertEqual([i for i, _ in got], [2, 1], got)
        self.assertGreaterEqual(got[1][1], 0.38, got)

    def test_log_records_every_query(self):
        for addr in ["192.0.2.1", "192.0.2.5", "192.0.2.1", "10.0.0.1"]:
            ask(self.dns.port, addr, timeout=0.2)
        q = DNSRecord.question("example.org", "A")
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(1)
        s.sendto(q.pack(), ("127.0.0.1", self.dns.port))
        self.assertEqual(DNSRecord.parse(s.recv(4096)).header.rcode, 5)
        s.close()
        self.assertEqual(self.dns.queries(), ["192.0.2.1", "192.0.2.5", "192.0.2.1", "10.0.0.1"])
        self.assertEqual(self.dns.count("192.0.2.1"), 2)
        self.assertEqual(self.dns.count("192.0.2.2"), 0)
        self.assertEqual(len(self.dns.other_queries()), 1)
        self.assertTrue(self.dns.other_queries()[0].startswith("example.org\t1\t"))

    def test_burst_is_not_dropped(self):
        n = 3000
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        harness.big_rcvbuf(s)
        for i in range(n):
            s.sendto(ptr_query("10.9.%d.%d" % (i >> 8, i & 255), i).pack(),
                     ("127.0.0.1", self.dns.port))
        seen = set()
        s.settimeout(3)
        try:
            while len(seen) < n:
                seen.add(DNSRecord.parse(s.recv(4096)).header.id)
        except socket.timeout:
            pass
        s.close()
        self.assertEqual(len(seen), n)
        self.assertEqual(len(self.dns.queries()), n)


class FakeDNSReload(unittest.TestCase):
    def test_set_rules(self):
        with FakeDNS({"192.0.2.1": "old.example"}, default="nxdomain") as dns:
            self.assertEqual(names(ask(dns.port, "192.0.2.1")), [[b"old", b"example"]])
            self.assertEqual(ask(dns.port, "192.0.2.2").header.rcode, 3)
            dns.set_rules({"192.0.2.1": "new.example"}, default="servfail")
            self.assertEqual(names(ask(dns.port, "192.0.2.1")), [[b"new", b"example"]])
            self.assertEqual(ask(dns.port, "192.0.2.2").header.rcode, 2)
            self.assertEqual(dns.count("192.0.2.1"), 2)


class NSDServer(unittest.TestCase):
    def test_zone_answers_and_nxdomain(self):
        mapping = {"10.%d.%d.%d" % (i >> 16, (i >> 8) & 255, i & 255): "h%d.example.net" % i
                   for i in range(20500)}
        mapping["192.0.2.77"] = b"odd name\r\n.example"
        with NSD(mapping) as nsd:
            self.assertEqual(names(ask(nsd.port, "10.0.0.0")), [[b"h0", b"example", b"net"]])
            self.assertEqual(names(ask(nsd.port, "10.0.80.19")),
                             [[b"h20499", b"example", b"net"]])
            self.assertEqual(names(ask(nsd.port, "192.0.2.77")), [[b"odd name\r\n", b"example"]])
            r = ask(nsd.port, "203.0.113.5")
            self.assertEqual(r.header.rcode, 3)
            # A burst of misses must all be answered (rate limiting off).
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            harness.big_rcvbuf(s)
            for i in range(1000):
                s.sendto(ptr_query("172.16.%d.%d" % (i >> 8, i & 255), i).pack(),
                         ("127.0.0.1", nsd.port))
            got = set()
            s.settimeout(2)
            try:
                while len(got) < 1000:
                    r = DNSRecord.parse(s.recv(4096))
                    self.assertEqual(r.header.rcode, 3)
                    got.add(r.header.id)
            except socket.timeout:
                pass
            s.close()
            self.assertEqual(len(got), 1000)


STUB = """#!/bin/sh
echo "args: $*"
echo "cwd: $(pwd)"
cat
cat "${CFG:-logvane.cfg}" >&2
exit 3
"""


class RunLogvane(E2ETestCase):
    """run_logvane mechanics, with a stub in place of the binary."""

    def setUp(self):
        super().setUp()
        stub = harness.write_file(self.tmp / "stub.sh", STUB)
        stub.chmod(0o755)
        patcher = mock.patch.dict(os.environ, {"LOGVANE_BINARY": str(stub)})
        patcher.start()
        self.addCleanup(patcher.stop)

    def test_config_and_io(self):
        with FakeDNS() as dns:
            r = run_logvane(["-v", "a.log"], cwd=self.tmp, dns=dns, stdin="line in\n",
                            config_lines=["verbose yes"])
        self.assertEqual(r.rc, 3, r)
        self.assertEqual(r.out.splitlines(), ["args: -v a.log", "cwd: %s" % self.tmp, "line in"])
        self.assertEqual(r.err.splitlines(), ["dns-servers 127.0.0.1:%d" % dns.port,
                                              "dns-timeout 300", "dns-tries 2", "verbose yes"])
        self.assertIn("exit status: 3", str(r))

    def test_settings_file_and_server_list(self):
        r = run_logvane(["-settings", "other.cfg", "x"], cwd=self.tmp, dns=[5301, 5302],
                        dns_timeout=None, dns_tries=5, env={"CFG": "other.cfg"})
        self.assertEqual(r.err.splitlines(),
                         ["dns-servers 127.0.0.1:5301,127.0.0.1:5302", "dns-tries 5"])
        self.assertFalse((self.tmp / "logvane.cfg").exists())

    def test_dead_server_by_default(self):
        r = run_logvane(["x"], cwd=self.tmp)
        self.assertRegex(r.err.splitlines()[0], r"^dns-servers 127\.0\.0\.1:\d+$")

    def test_refuses_unsafe_configuration(self):
        bad = [
            dict(config_lines=["dns-servers 10.255.255.53"]),
            dict(config_lines=["dns-servers 127.0.0.1:53,8.8.8.8:53"]),
            dict(config_lines=["dns-servers [2001:db8::1]:53"]),
            dict(config_lines=["dns-servers ns.example.com"]),
        ]
        for kw in bad:
            with self.subTest(**kw), self.assertRaises(AssertionError):
                run_logvane(["x"], cwd=self.tmp, dns=5300, **kw)
        harness.write_file(self.tmp / "mine.cfg", "verbose yes\n")
        harness.gzip_file(self.tmp / "gz.cfg", "verbose yes\ndns-servers 127.0.0.1:53\n")
        for name in ["mine.cfg", "gz.cfg", "missing.cfg"]:
            with self.subTest(name=name), self.assertRaises(AssertionError):
                run_logvane(["-settings", name, "x"], cwd=self.tmp, config_lines=None)
        harness.gzip_file(self.tmp / "ok.cfg", "dns-servers 127.0.0.1:53\n")
        r = run_logvane(["-settings", "ok.cfg", "x"], cwd=self.tmp, config_lines=None)
        self.assertEqual(r.rc, 3, r)

    def test_timeout_raises_with_diagnostics(self):
        harness.write_file(self.tmp / "stub.sh", "#!/bin/sh\necho started\nsleep 5\n")
        with self.assertRaises(AssertionError) as cm:
            run_logvane(["x"], cwd=self.tmp, timeout=0.5)
        self.assertIn("timed out", str(cm.exception))


class Fixtures(E2ETestCase):
    def test_compressed_fixtures(self):
        data = b"1.2.3.4 - - line\n" * 100
        self.assertEqual(harness.read_file(harness.gzip_file(self.tmp / "a.gz", data)), data)
        self.assertEqual(harness.read_file(harness.bzip2_file(self.tmp / "a.bz2", data)), data)
        z = harness.zip_file(self.tmp / "a.zip", [("b.log", b"second\n"), ("a.log", data)])
        listing = subprocess.run(["unzip", "-Z1", str(z)], capture_output=True, text=True)
        self.assertEqual(listing.stdout.split(), ["b.log", "a.log"])
        out = subprocess.run(["unzip", "-p", str(z), "a.log"], capture_output=True).stdout
        self.assertEqual(out, data)


if __name__ == "__main__":
    harness.main()
