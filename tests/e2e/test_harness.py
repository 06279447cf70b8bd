"""The harness itself: the private namespace, the loopback rule, and servers
that send what the tables ask for (a hostile row is only as good as its packet)."""

import os
import socket
import subprocess
import unittest

from dnslib import DNSRecord

import harness


def ask(port, addr):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(5)
        s.sendto(DNSRecord.question(".".join(reversed(addr.split("."))) + ".in-addr.arpa", "PTR").pack(), ("127.0.0.1", port))
        return s.recv(4096)


class Harness(unittest.TestCase):
    def test_private_namespace_and_loopback_only(self):
        env = dict(os.environ, **{harness.MARKER: str(os.stat("/proc/self/ns/net").st_ino)})
        r = subprocess.run([harness.PYTHON, "-c", "import harness"], cwd=str(harness.HERE), env=env, capture_output=True)
        self.assertEqual((r.returncode, r.stderr), (2, b"harness: not a private network namespace\n"))
        self.assertRaises(AssertionError, harness.check_loopback, "dns-servers 127.0.0.1:53,192.0.2.1\n")

    def test_servers(self):
        rules = {"192.0.2.3": {"wire": "@+2 @+0"}, "192.0.2.4": {"raw": "cr\rx.example", "cut": -3}}
        with harness.FakeDNS(rules) as dns, harness.NSD({"10.0.0.1": "h1.example.net", "192.0.2.77": b"odd name"}) as nsd:
            p = ask(dns.port, "192.0.2.3")  # two pointers at each other
            self.assertEqual((p[-4:-2], p[-2:]), ((0xC000 | (len(p) - 2)).to_bytes(2, "big"),
                                                  (0xC000 | (len(p) - 4)).to_bytes(2, "big")))
            self.assertTrue(ask(dns.port, "192.0.2.4").endswith(b"\x04cr\rx\x07examp"))
            self.assertEqual(str(DNSRecord.parse(ask(dns.port, "203.0.113.9")).rr[0].rdata), "host-203-0-113-9.example.")
            self.assertEqual(dns.queries(), ["192.0.2.3", "192.0.2.4", "203.0.113.9"])
            self.assertEqual([str(DNSRecord.parse(ask(nsd.port, a)).rr[0].rdata) for a in ("10.0.0.1", "192.0.2.77")],
                             ["h1.example.net.", "odd\\032name."])


if __name__ == "__main__":
    unittest.main(verbosity=2)
