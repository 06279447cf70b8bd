#!/usr/bin/python3
"""Scriptable DNS server on 127.0.0.1 (UDP, TCP on the same port) for tests:
  fakedns.py --rules RULES.json --log QUERIES.log [--port N] [--port-file F]
RULES.json: {"default": RULE, "rules": {ADDRESS or PREFIX: RULE}, "forward": {NAME: RULE}}; a PTR
query takes its address's rule (exact, longest prefix, default), any other its name's (none:
NXDOMAIN). RULE: "auto" (PTR host-a-b-c-d.example), "nxdomain", "servfail", "refused", "nodata",
"drop", a name, or a dict of "do" (one of those), "name" (or a list), "a" (A or AAAA addresses),
"cname" (a chain first), "owner", "delay" (ms); made by hand: "raw" (names split at "."), "wire"
(hex; "@+N" points at its own offset + N), "wire_owner", "rdlength"; spoilt: "qname", "id_delta",
"ancount", "cut" (first N bytes; negative: all but -N), "replies" (a RULE each).
Logged on receipt: "ADDRESS\tTIME" (PTR) or "NAME\tQTYPE\tTIME"."""

import argparse, ipaddress, json, os, socket, socketserver, struct, sys, threading, time

from dnslib import AAAA, CNAME, PTR, QTYPE, RR, A, DNSLabel, DNSRecord

RCODES = {"nodata": 0, "servfail": 2, "nxdomain": 3, "refused": 5}

def address(labels):
    """The address a reverse name stands for, or None."""
    low = [x.decode("latin-1").lower() for x in labels]
    if len(low) == 6 and low[4:] == ["in-addr", "arpa"]:
        return ipaddress.IPv4Address(".".join(reversed(low[:4])))
    if len(low) == 34 and low[32:] == ["ip6", "arpa"] and all(len(x) == 1 for x in low[:32]):
        return ipaddress.IPv6Address(int("".join(reversed(low[:32])), 16))

def wire(text, offset):
    return b"".join(struct.pack("!H", 0xC000 | offset + int(t[2:])) if t[0] == "@" else bytes.fromhex(t) for t in text.split())

as_list = lambda x: x if isinstance(x, list) else [x]

def replies(q, rule, key):
    """[(delay in seconds, packet)] for one query."""
    if isinstance(rule, str):
        rule = {"do": rule} if rule in RCODES or rule in ("auto", "drop") else {"name": rule}
    if "replies" in rule:
        return [x for sub in rule["replies"] for x in replies(q, sub, key)]
    do, r = rule.get("do", "auto"), q.reply()
    if do == "drop":
        return []
    r.questions[0].qname = DNSLabel(rule.get("qname", q.q.qname))
    owner = DNSLabel(rule.get("owner", q.q.qname))
    for c in rule.get("cname", []):
        r.add_answer(RR(owner, QTYPE.CNAME, rdata=CNAME(c), ttl=300))
        owner = DNSLabel(c)
    hand = [b"".join(bytes([len(x)]) + x for x in t.encode("latin-1").split(b".") if x) + b"\0"
            for t in as_list(rule.get("raw", []))] + as_list(rule.get("wire", []))
    if do in RCODES:
        r.header.rcode = RCODES[do]
    elif "a" in rule or isinstance(key, str):
        for a in rule.get("a", []):
            r.add_answer(RR(owner, QTYPE.AAAA if ":" in a else QTYPE.A, rdata=AAAA(a) if ":" in a else A(a), ttl=300))
        if not r.rr:
            r.header.rcode = RCODES["nxdomain"]
    elif not hand:
        for n in as_list(rule.get("name", "host-%s.example" % str(key).replace(".", "-").replace(":", "-"))):
            r.add_answer(RR(owner, QTYPE.PTR, rdata=PTR(n), ttl=300))
    data = bytearray(r.pack())
    for rd in hand:
        data += wire(rule["wire_owner"], len(data)) if "wire_owner" in rule else b"\xc0\x0c"
        rd = wire(rd, len(data) + 10) if isinstance(rd, str) else rd
        data += struct.pack("!HHIH", QTYPE.PTR, 1, 300, rule.get("rdlength", len(rd))) + rd
    struct.pack_into("!H", data, 0, (q.header.id + rule.get("id_delta", 0)) & 0xFFFF)
    struct.pack_into("!H", data, 6, rule.get("ancount", len(r.rr) + len(hand)))
    return [(rule.get("delay", 0) / 1000.0, bytes(data[:rule["cut"]] if "cut" in rule else data))]

class Server:
    def __init__(self, args):
        doc = json.load(open(args.rules))
        self.rules = {ipaddress.ip_network(k) if "/" in k else ipaddress.ip_address(k): r for k, r in doc["rules"].items()}
        self.prefixes = sorted((k for k in self.rules if not hasattr(k, "packed")), key=lambda n: -n.prefixlen)
        self.default, self.forward = doc.get("default", "auto"), {k.lower(): r for k, r in doc.get("forward", {}).items()}
        self.log, self.lock = open(args.log, "a", buffering=1), threading.Lock()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:  # bursts of thousands; past rmem_max only with privilege (SO_RCVBUFFORCE)
            self.udp.setsockopt(socket.SOL_SOCKET, 33, 32 << 20)
        except PermissionError:
            self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 << 20)
        self.udp.bind(("127.0.0.1", args.port))
        self.port, server = self.udp.getsockname()[1], self

        class TCP(socketserver.StreamRequestHandler):  # for replies too long for UDP
            def handle(self):
                while len(head := self.rfile.read(2)) == 2:
                    server.handle(self.rfile.read(struct.unpack("!H", head)[0]),
                                  lambda d: self.wfile.write(struct.pack("!H", len(d)) + d))
        socketserver.ThreadingTCPServer.allow_reuse_address = True
        self.tcp = socketserver.ThreadingTCPServer(("127.0.0.1", self.port), TCP)

    def handle(self, pkt, send):
        q = DNSRecord.parse(pkt)
        addr = address(q.q.qname.label) if q.q.qtype == QTYPE.PTR else None
        name = str(q.q.qname).rstrip(".")
        with self.lock:
            self.log.write("%s\t%.6f\n" % (addr, time.time()) if addr else "%s\t%d\t%.6f\n" % (name, q.q.qtype, time.time()))
        rule = self.forward.get(name.lower(), "auto") if not addr else self.rules.get(addr) or next(
            (self.rules[n] for n in self.prefixes if n.version == addr.version and addr in n), self.default)
        for delay, data in replies(q, rule, addr or name):
            threading.Timer(delay, send, [data]).start() if delay else send(data)

    def serve(self):
        threading.Thread(target=self.tcp.serve_forever, daemon=True).start()
        while True:
            try:
                pkt, peer = self.udp.recvfrom(4096)
                self.handle(pkt, lambda d, p=peer: self.udp.sendto(d, p))
            except Exception as e:  # a bad packet or rule, a peer gone: keep serving
                print("fakedns: %r" % e, file=sys.stderr, flush=True)

if __name__ == "__main__":
    ap = argparse.ArgumentParser(description="Scriptable DNS test server")
    for flag, kind in (("--rules", str), ("--log", str), ("--port", int), ("--port-file", str)):
        ap.add_argument(flag, type=kind, required=flag in ("--rules", "--log"), default=0 if kind is int else None)
    args = ap.parse_args()
    server = Server(args)
    if args.port_file:  # renamed into place, so that a reader never sees it half written
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % server.port)
        os.rename(args.port_file + ".tmp", args.port_file)
    server.serve()
