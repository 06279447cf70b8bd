"""The harness itself: the private namespace, and servers that send what the
tables say (a hostile row is only as good as its packet)."""

import os
import socket
import struct
import subprocess
import unittest

from dnslib import DNSRecord

import harness
from harness import NSD, FakeDNS


def ask(port, addr, replies=1, tcp=False):
    """The raw replies to a PTR query for addr."""
    q = DNSRecord.question(".".join(reversed(addr.split("."))) + ".in-addr.arpa", "PTR").pack()
    if tcp:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as t:
            t.sendall(struct.pack("!H", len(q)) + q)
            data = t.recv(4096)
            return [data[2:]]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(5)
        s.sendto(q, ("127.0.0.1", port))
        return [s.recv(4096) for _ in range(replies)]


def answers(pkt):
    r = DNSRecord.parse(pkt)
    return r.header.rcode, [str(rr.rdata) for rr in r.rr]


class Harness(unittest.TestCase):
    def test_private_namespace(self):
        self.assertEqual([n for _i, n in socket.if_nameindex()], ["lo"])
        env = dict(os.environ, **{harness.MARKER: str(os.stat("/proc/self/ns/net").st_ino)})
        r = subprocess.run([harness.PYTHON, "-c", "import harness"], cwd=str(harness.HERE), env=env,
                           capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stderr), (2, "harness: not a private network namespace\n"))
        with self.assertRaises(AssertionError):
            harness.check_loopback("dns-servers 127.0.0.1:53,192.0.2.1\n")

    def test_servers(self):
        rules = {"192.0.2.1": "one.example.org", "192.0.2.2": "nxdomain", "192.0.2.3": {"wire": "@+2 @+0"},
                 "192.0.2.4": {"raw": "cr\rx.example", "cut": -3}, "192.0.2.5": {"replies": [
                     {"name": "spoof.example", "id_delta": 1}, {"name": "right.example", "delay": 50}]},
                 "192.0.2.6": {"name": "udp.example", "tc": 1, "tcp": "viatcp.example"}}
        with FakeDNS(rules) as dns, NSD({"10.0.0.1": "h1.example.net", "192.0.2.77": b"odd name.example"}) as nsd:
            self.assertEqual(answers(ask(dns.port, "192.0.2.1")[0]), (0, ["one.example.org."]))
            self.assertEqual(answers(ask(dns.port, "192.0.2.2")[0]), (3, []))
            self.assertEqual(answers(ask(dns.port, "203.0.113.9")[0]), (0, ["host-203-0-113-9.example."]))
            p = ask(dns.port, "192.0.2.3")[0]  # two pointers at each other
            self.assertEqual(struct.unpack("!HH", p[-4:]), (0xC000 | (len(p) - 2), 0xC000 | (len(p) - 4)))
            self.assertTrue(ask(dns.port, "192.0.2.4")[0].endswith(b"\x04cr\rx\x07examp"))
            p1, p2 = ask(dns.port, "192.0.2.5", replies=2)
            self.assertEqual((p1[:2] != p2[:2], answers(p2)), (True, (0, ["right.example."])))
            self.assertTrue(ask(dns.port, "192.0.2.6")[0][2] & 2)
            self.assertEqual(answers(ask(dns.port, "192.0.2.6", tcp=True)[0]), (0, ["viatcp.example."]))
            self.assertEqual(dns.queries()[:3], ["192.0.2.1", "192.0.2.2", "203.0.113.9"])
            self.assertEqual(answers(ask(nsd.port, "10.0.0.1")[0]), (0, ["h1.example.net."]))
            self.assertEqual(answers(ask(nsd.port, "192.0.2.77")[0]), (0, ["odd\\032name.example."]))
            self.assertEqual(answers(ask(nsd.port, "203.0.113.5")[0])[0], 3)


if __name__ == "__main__":
    harness.main()
