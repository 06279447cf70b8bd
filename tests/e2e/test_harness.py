"""Self-test of the end-to-end harness: the private namespace and one quick
answer from each kind of DNS server."""

import os
import socket
import subprocess
import unittest

from dnslib import DNSRecord

import harness
from harness import NSD, FakeDNS


def ask(port, addr):
    """(rcode, [answer names]) for a PTR query."""
    q = DNSRecord.question(".".join(reversed(addr.split("."))) + ".in-addr.arpa", "PTR")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(2)
        s.sendto(q.pack(), ("127.0.0.1", port))
        r = DNSRecord.parse(s.recv(4096))
    return r.header.rcode, [str(rr.rdata) for rr in r.rr]


class Safety(unittest.TestCase):
    def test_private_namespace(self):
        self.assertEqual([n for _i, n in socket.if_nameindex()], ["lo"])
        ns = str(os.stat("/proc/self/ns/net").st_ino)
        self.assertNotEqual(ns, os.environ[harness.NETNS_MARKER])
        env = dict(os.environ, **{harness.NETNS_MARKER: ns})
        r = subprocess.run(["/usr/bin/python3", "-c", "import harness"], cwd=str(harness.HERE),
                           env=env, capture_output=True, text=True)
        self.assertEqual(r.returncode, 2, r)
        self.assertIn("not a private network namespace", r.stderr)


class Servers(unittest.TestCase):
    def test_fakedns(self):
        with FakeDNS({"192.0.2.1": "one.example.org", "192.0.2.2": "nxdomain"}) as dns:
            self.assertEqual(ask(dns.port, "192.0.2.1"), (0, ["one.example.org."]))
            self.assertEqual(ask(dns.port, "192.0.2.2"), (3, []))
            self.assertEqual(ask(dns.port, "203.0.113.9"), (0, ["host-203-0-113-9.example."]))
            self.assertEqual(dns.queries(), ["192.0.2.1", "192.0.2.2", "203.0.113.9"])

    def test_nsd(self):
        with NSD({"10.0.0.1": "h1.example.net", "192.0.2.77": b"odd name.example"}) as nsd:
            self.assertEqual(ask(nsd.port, "10.0.0.1"), (0, ["h1.example.net."]))
            self.assertEqual(ask(nsd.port, "192.0.2.77"), (0, ["odd\\032name.example."]))
            self.assertEqual(ask(nsd.port, "203.0.113.5")[0], 3)


if __name__ == "__main__":
    harness.main()
