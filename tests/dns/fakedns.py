#!/usr/bin/python3
"""Scriptable DNS server on 127.0.0.1 (UDP, and TCP on the same port) for tests.

  fakedns.py --rules RULES.json --log QUERIES.log [--port N] [--port-file F]

RULES.json: {"default": RULE, "rules": {ADDRESS or PREFIX: RULE}, "forward":
{NAME: RULE}}. A PTR query takes the rule of its address (exact, the longest
prefix, the default), any other the forward rule of its name ("auto").
RULE: "auto" (PTR: host-a-b-c-d.example for a.b.c.d, host-2001-db8--1.example
for 2001:db8::1; forward: the A or AAAA record such a name spells), "nxdomain",
"servfail", "refused", "nodata", "drop", or a name (PTR); or a dict of
  "do": one of those words       "name": NAME or [NAME, ...] (PTR answers)
  "a": [ADDRESS, ...] (A, AAAA)  "cname": [NAME, ...] (a chain, then the rest)
  "owner": NAME of the answers   "delay": ms    "ttl": s
made by hand, for what a library would refuse to build:
  "raw": TEXT or [TEXT, ...]     PTR names split at "."; a character is a byte
  "wire": HEX                    PTR data; "@+N" points at its own offset + N
  "wire_owner": HEX, "rdlength": N   their owner and a lying length
and to spoil the reply: "qname" (another question), "id_delta", "tc",
"ancount", "cut" (the first N bytes; negative: all but -N), "replies": [RULE,
...] (a reply each), "tcp": RULE (over TCP instead).
The log gets, before any reply, "ADDRESS<TAB>TIME" for a PTR query and
"NAME<TAB>QTYPE<TAB>TIME" for any other.
"""

import argparse
import ipaddress
import json
import os
import re
import socket
import socketserver
import struct
import sys
import threading
import time

from dnslib import AAAA, CNAME, PTR, QTYPE, RR, A, DNSLabel, DNSRecord

RCODES = {"nodata": 0, "formerr": 1, "servfail": 2, "nxdomain": 3, "refused": 5}
ACTIONS = set(RCODES) | {"auto", "drop"}


def load(path):
    doc = json.load(open(path))
    rules = {}
    for key, rule in doc.get("rules", {}).items():
        rules[ipaddress.ip_network(key) if "/" in key else ipaddress.ip_address(key)] = rule
    prefixes = sorted((k for k in rules if not hasattr(k, "packed")), key=lambda n: -n.prefixlen)
    forward = {k.lower().rstrip("."): r for k, r in doc.get("forward", {}).items()}
    return rules, prefixes, doc.get("default", "auto"), forward


def address(labels):
    """The address a reverse name stands for, or None."""
    low = [x.decode("latin-1").lower() for x in labels]
    try:
        if len(low) == 6 and low[4:] == ["in-addr", "arpa"]:
            return ipaddress.IPv4Address(".".join(reversed(low[:4])))
        if len(low) == 34 and low[32:] == ["ip6", "arpa"] and all(len(x) == 1 for x in low[:32]):
            return ipaddress.IPv6Address(int("".join(reversed(low[:32])), 16))
    except ValueError:
        pass
    return None


def forward_auto(name, qtype):
    m = re.fullmatch(r"host-([0-9a-f-]+)\.example", name, re.I)
    try:
        return [str(ipaddress.ip_address(m[1].replace("-", ":" if qtype == QTYPE.AAAA else ".")))] \
            if m and qtype in (QTYPE.A, QTYPE.AAAA) else []
    except ValueError:
        return []


def wire(text, offset):
    """Hex with "@+N" pointer tokens, placed at offset of the reply."""
    return b"".join(struct.pack("!H", 0xC000 | (offset + int(t[2:]))) if t.startswith("@") else bytes.fromhex(t)
                    for t in text.split())


def raw_name(text):
    return b"".join(bytes([len(x)]) + x for x in text.encode("latin-1").split(b".") if x) + b"\0"


def as_list(x):
    return x if isinstance(x, list) else [x]


def replies(q, rule, key, tcp):
    """[(delay in seconds, packet)] for one query."""
    if isinstance(rule, str):
        rule = {"do": rule} if rule in ACTIONS else {"name": rule}
    if tcp and "tcp" in rule:
        return replies(q, rule["tcp"], key, False)
    if "replies" in rule:
        return [x for sub in rule["replies"] for x in replies(q, sub, key, tcp)]
    do, ttl = rule.get("do", "auto"), rule.get("ttl", 300)
    if do == "drop":
        return []
    r = q.reply()
    if "qname" in rule:
        r.questions[0].qname = DNSLabel(rule["qname"])
    owner = DNSLabel(rule.get("owner", q.q.qname))
    for c in rule.get("cname", []):
        r.add_answer(RR(owner, QTYPE.CNAME, rdata=CNAME(c), ttl=ttl))
        owner = DNSLabel(c)
    hand = [raw_name(t) for t in as_list(rule.get("raw", []))] + ([rule["wire"]] if "wire" in rule else [])
    if do in RCODES:
        r.header.rcode = RCODES[do]
    elif "a" in rule or isinstance(key, str):
        addrs = rule.get("a", forward_auto(key, q.q.qtype))
        for a in addrs:
            r.add_answer(RR(owner, QTYPE.AAAA if ":" in a else QTYPE.A, rdata=AAAA(a) if ":" in a else A(a), ttl=ttl))
        if not addrs and not r.rr:
            r.header.rcode = RCODES["nxdomain"]
    elif not hand:
        name = "host-%s.example" % str(key).replace(".", "-").replace(":", "-")
        for n in as_list(rule.get("name", name)):
            r.add_answer(RR(owner, QTYPE.PTR, rdata=PTR(n), ttl=ttl))
    data = bytearray(r.pack())
    for rd in hand:
        data += wire(rule["wire_owner"], len(data)) if "wire_owner" in rule else b"\xc0\x0c"
        rd = wire(rd, len(data) + 10) if isinstance(rd, str) else rd
        data += struct.pack("!HHIH", QTYPE.PTR, 1, ttl, rule.get("rdlength", len(rd))) + rd
    struct.pack_into("!HH", data, 0, (q.header.id + rule.get("id_delta", 0)) & 0xFFFF,
                     struct.unpack("!H", data[2:4])[0] | (0x200 if rule.get("tc") else 0))
    struct.pack_into("!H", data, 6, rule.get("ancount", len(r.rr) + len(hand)))
    return [(rule.get("delay", 0) / 1000.0, bytes(data[:rule["cut"]] if "cut" in rule else data))]


class Server:
    def __init__(self, args):
        self.rules, self.prefixes, self.default, self.forward = load(args.rules)
        self.log, self.lock = open(args.log, "a", buffering=1), threading.Lock()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:  # bursts of thousands; past rmem_max only with privilege (SO_RCVBUFFORCE)
            self.udp.setsockopt(socket.SOL_SOCKET, 33, 32 << 20)
        except PermissionError:
            self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 << 20)
        self.udp.bind(("127.0.0.1", args.port))
        self.port = self.udp.getsockname()[1]
        server = self

        class TCP(socketserver.StreamRequestHandler):
            def handle(self):
                while len(head := self.rfile.read(2)) == 2:
                    server.handle(self.rfile.read(struct.unpack("!H", head)[0]),
                                  lambda d: self.wfile.write(struct.pack("!H", len(d)) + d), True)
        socketserver.ThreadingTCPServer.allow_reuse_address = True
        self.tcp = socketserver.ThreadingTCPServer(("127.0.0.1", self.port), TCP)

    def rule(self, addr):
        if addr in self.rules:
            return self.rules[addr]
        return next((self.rules[n] for n in self.prefixes if n.version == addr.version and addr in n), self.default)

    def handle(self, pkt, send, tcp=False):
        q = DNSRecord.parse(pkt)
        addr = address(q.q.qname.label) if q.q.qtype == QTYPE.PTR else None
        name = str(q.q.qname).rstrip(".")
        with self.lock:
            self.log.write("%s\t%.6f\n" % (addr, time.time()) if addr else "%s\t%d\t%.6f\n" % (name, q.q.qtype, time.time()))
        rule = self.rule(addr) if addr else self.forward.get(name.lower(), "auto")
        for delay, data in replies(q, rule, addr or name, tcp):
            threading.Timer(delay, send, [data]).start() if delay else send(data)

    def serve(self):
        threading.Thread(target=self.tcp.serve_forever, daemon=True).start()
        while True:
            try:
                pkt, peer = self.udp.recvfrom(4096)
                self.handle(pkt, lambda d, p=peer: self.udp.sendto(d, p))
            except Exception as e:  # a bad packet or rule, a peer gone: keep serving
                print("fakedns: %r" % e, file=sys.stderr, flush=True)


def main():
    ap = argparse.ArgumentParser(description="Scriptable DNS test server")
    ap.add_argument("--rules", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    args = ap.parse_args()
    server = Server(args)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % server.port)
        os.rename(args.port_file + ".tmp", args.port_file)
    print(server.port, flush=True)
    server.serve()


if __name__ == "__main__":
    main()
