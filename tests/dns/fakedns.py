#!/usr/bin/python3
"""Scriptable DNS server (UDP, and TCP on the same port) for reverse-lookup
fault tests.

  fakedns.py --rules RULES.json --log QUERIES.log [--port N] [--port-file F]

Binds 127.0.0.1:N (0: any free port), prints the port and writes "PORT
GENERATION" to --port-file; SIGHUP re-reads the rules and bumps GENERATION
once they are in force; SIGTERM/SIGINT stop it.

Rules file: {"default": RULE, "rules": {"192.0.2.7": RULE, "10.1.0.0/16": RULE},
"forward": {"h.example": RULE}}; an exact address wins, then the longest
prefix, then "default" ("auto"). IPv6 addresses and prefixes ("2001:db8::1",
"2001:db8::/32") work the same for PTR queries under ip6.arpa. Any other query
(an A or AAAA query, say) uses the "forward" rule for its name, and "auto"
there (the default) answers host-a-b-c-d.example with the A record a.b.c.d,
host-2001-db8--1.example with the AAAA record 2001:db8::1, and anything else
NXDOMAIN.
RULE is one of
  "auto"                        host-a-b-c-d.example for a.b.c.d,
                                host-2001-db8--1.example for 2001:db8::1
  "nxdomain" | "servfail" | "refused" | "formerr" | "drop" (never answer)
  "any.other.text"              that name (PTR)
  {"name": "h.example" or ["h1.example", "h2.example"]}   PTR answer(s)
  {"raw": "lab el.with\\u0000nul"}  split at "."; each char U+0000..U+00FF is
                                one byte, so blanks, CR, LF and NUL are possible
  {"raw_labels": ["a.b", "c\\r\\n"]}  labels one by one (latin-1)
  {"wire_hex": "..."}           the PTR rdata verbatim (may be malformed)
  {"action": ACTION} | {"rcode": N}   an action as above, or an empty answer
  [RULE, RULE, ...]             the n-th query for the address uses RULE[min(n, len-1)]
  {"answers": [REC, ...]}       answer records as given; REC is
                                {"owner": NAME, "type": "PTR"|"CNAME"|N,
                                 "data": NAME, "rdlength": N}; owner defaults
                                to a pointer at the question name, type to PTR,
                                rdlength to the real length (set it to lie)
NAME, here and for "qname": "text.name" | {"raw": ...} | {"raw_labels": [...]}
| {"wire_hex": ...}. In wire_hex (hex, blanks allowed between bytes), a token
"@+N" is a compression pointer to the hex's own offset plus N (decimal): "@+0" points at itself, "@+2 @+0" is two
pointers pointing at each other.
Any dict may add "delay" (ms before the reply; others are served meanwhile)
and "ttl" (seconds, default 300), and these to spoil the reply:
  "qname": NAME     the question in the reply names NAME (another question)
  "id_delta": N     the reply's ID is the query's plus N
  "tc": true        the TC bit is set
  "ancount": N      the header claims N answers, whatever follows
  "cut": N          only the first N bytes are sent (negative: all but -N)
  "replies": [RULE, ...]  one reply per RULE, each with its own delay, e.g. a
                    wrong ID at once and the right answer 100 ms later
  "tcp": RULE       used instead when the query comes over TCP
The server also accepts DNS over TCP on the same port number (a client told
"TC" retries there); TCP queries are logged like UDP ones.

Log, one line per query, flushed before any reply: "a.b.c.d<TAB>unix-time"
for a PTR of a.b.c.d.in-addr.arpa (an IPv6 address in RFC 5952 text for one
under ip6.arpa), "!qname<TAB>qtype<TAB>unix-time" for anything else.
"""

import argparse
import heapq
import ipaddress
import json
import os
import re
import select
import signal
import socket
import struct
import sys
import time

RCODES = {"noerror": 0, "formerr": 1, "servfail": 2, "nxdomain": 3, "refused": 5}
QTYPE_PTR = 12
RCVBUF = 8 * 1024 * 1024
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)  # Linux; root may pass rmem_max


def ip_to_int(text):
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and int(p) < 256 for p in parts):
        raise ValueError("bad IPv4 address %r" % text)
    return struct.unpack("!I", bytes(int(p) for p in parts))[0]


def addr_key(text):
    """The rule key of an address: an int for IPv4, an IPv6Address for IPv6."""
    return ipaddress.IPv6Address(text) if ":" in text else ip_to_int(text)


def addr_text(addr):
    return str(addr) if isinstance(addr, ipaddress.IPv6Address) else socket.inet_ntoa(struct.pack("!I", addr))


def latin1(text):
    return text.encode("latin-1")


def encode_labels(labels):
    out = bytearray()
    for lab in labels:
        if not lab:
            continue
        if len(lab) > 63:
            raise ValueError("label longer than 63 bytes")
        out.append(len(lab))
        out += lab
    out.append(0)
    return bytes(out)


def name_labels(name):
    return [lab.encode("utf-8") for lab in name.rstrip(".").split(".")]


def wire_template(text):
    """Hex with "@+N" tokens as a list of bytes and ("ptr", N) parts."""
    parts = []
    for tok in text.split():
        if tok.startswith("@"):
            parts.append(("ptr", int(tok[1:])))
        else:
            parts.append(bytes.fromhex(tok))
    return parts


def resolve(template, offset):
    """The bytes of a template placed at offset in the reply."""
    out = bytearray()
    for part in template:
        if isinstance(part, tuple):
            out += struct.pack("!H", 0xC000 | ((offset + part[1]) & 0x3FFF))
        else:
            out += part
    return bytes(out)


def name_template(name):
    """A NAME as written in a rule, as a template."""
    if isinstance(name, str):
        return [encode_labels(name_labels(name))]
    if "raw" in name:
        return [encode_labels([latin1(lab) for lab in name["raw"].split(".")])]
    if "raw_labels" in name:
        return [encode_labels([latin1(lab) for lab in name["raw_labels"]])]
    if "wire_hex" in name:
        return wire_template(name["wire_hex"])
    raise ValueError("bad name %r" % (name,))


QTYPES = {"PTR": QTYPE_PTR, "CNAME": 5, "A": 1, "AAAA": 28}


def answer_record(rec):
    rtype = rec.get("type", "PTR")
    return {"owner": name_template(rec["owner"]) if "owner" in rec else None,
            "type": QTYPES[rtype] if isinstance(rtype, str) else int(rtype),
            "rdata": name_template(rec["data"]) if "data" in rec else [],
            "rdlength": rec.get("rdlength")}


def ptr_records(templates):
    return [{"owner": None, "type": QTYPE_PTR, "rdata": t, "rdlength": None} for t in templates]


SPOILERS = ("id_delta", "tc", "ancount", "cut")


def normalize(rule):
    """Turns a rule as written in JSON into a dict or a list of dicts."""
    if isinstance(rule, list):
        if not rule:
            raise ValueError("empty rule sequence")
        return [normalize(r) for r in rule]
    if isinstance(rule, str):
        if rule in RCODES or rule in ("drop", "auto"):
            return {"action": rule}
        return {"action": "name", "records": ptr_records([name_template(rule)])}
    if not isinstance(rule, dict):
        raise ValueError("bad rule %r" % (rule,))
    r = {"delay": float(rule.get("delay", 0)) / 1000.0, "ttl": int(rule.get("ttl", 300))}
    for key in SPOILERS:
        if key in rule:
            r[key] = int(rule[key])
    if "qname" in rule:
        r["qname"] = name_template(rule["qname"])
    if "tcp" in rule:
        r["tcp"] = normalize(rule["tcp"])
        if isinstance(r["tcp"], list):
            raise ValueError("tcp must be a single rule")
    if "replies" in rule:
        r["action"] = "replies"
        r["replies"] = [normalize(x) for x in rule["replies"]]
        if not r["replies"] or any(isinstance(x, list) for x in r["replies"]):
            raise ValueError("replies must be a non-empty list of single rules")
    elif "answers" in rule:
        r["action"] = "name"
        r["records"] = [answer_record(rec) for rec in rule["answers"]]
    elif "name" in rule:
        names = rule["name"] if isinstance(rule["name"], list) else [rule["name"]]
        r["action"] = "name"
        r["records"] = ptr_records([name_template(n) for n in names])
    elif "raw" in rule or "raw_labels" in rule or "wire_hex" in rule:
        r["action"] = "name"
        r["records"] = ptr_records([name_template(rule)])
    elif "rcode" in rule:
        r["action"] = "rcode"
        r["rcode"] = int(rule["rcode"])
    else:
        action = rule.get("action", "auto")
        if action not in RCODES and action not in ("drop", "auto"):
            raise ValueError("bad action %r" % action)
        r["action"] = action
    return r


class Rules:
    def __init__(self, path):
        with open(path) as f:
            doc = json.load(f)
        self.default = normalize(doc.get("default", "auto"))
        self.exact = {}
        self.prefixes = []  # (bits, network, rule), longest first
        for key, rule in doc.get("rules", {}).items():
            if "/" in key and ":" in key:
                net = ipaddress.IPv6Network(key)
                self.prefixes.append((net.prefixlen, net, None, normalize(rule)))
            elif "/" in key:
                net, bits = key.split("/")
                bits = int(bits)
                mask = (0xFFFFFFFF << (32 - bits)) & 0xFFFFFFFF if bits else 0
                self.prefixes.append((bits, ip_to_int(net) & mask, mask, normalize(rule)))
            else:
                self.exact[addr_key(key)] = normalize(rule)
        self.prefixes.sort(key=lambda p: -p[0])
        self.forward = {k.lower().rstrip("."): normalize(r) for k, r in doc.get("forward", {}).items()}

    def lookup(self, addr):
        rule = self.exact.get(addr)
        if rule is not None:
            return rule
        v6 = isinstance(addr, ipaddress.IPv6Address)
        for _bits, net, mask, rule in self.prefixes:
            if (v6 and addr in net) if mask is None else (not v6 and addr & mask == net):
                return rule
        return self.default


def parse_query(pkt):
    """Returns (id, flags, question bytes, qname labels, qtype) or None."""
    if len(pkt) < 12:
        return None
    qid, flags, qdcount = struct.unpack("!HHH", pkt[:6])
    if flags & 0x8000 or qdcount < 1:
        return None
    pos = 12
    labels = []
    while True:
        if pos >= len(pkt):
            return None
        n = pkt[pos]
        if n == 0:
            pos += 1
            break
        if n & 0xC0:
            return None
        labels.append(pkt[pos + 1:pos + 1 + n])
        pos += 1 + n
    if pos + 4 > len(pkt):
        return None
    qtype, _qclass = struct.unpack("!HH", pkt[pos:pos + 4])
    return qid, flags, pkt[12:pos + 4], labels, qtype


def reverse_address(labels):
    """a.b.c.d as an int for labels d.c.b.a.in-addr.arpa, an IPv6Address for
    32 nibbles under ip6.arpa, else None."""
    low = [lab.lower() for lab in labels]
    if len(low) == 34 and low[32:] == [b"ip6", b"arpa"]:
        nibbles = b"".join(reversed(low[:32]))
        if len(nibbles) != 32 or any(c not in b"0123456789abcdef" for c in nibbles):
            return None
        return ipaddress.IPv6Address(int(nibbles, 16))
    if len(low) != 6 or low[4:] != [b"in-addr", b"arpa"]:
        return None
    try:
        octets = [int(x) for x in reversed(low[:4])]
    except ValueError:
        return None
    if not all(0 <= o < 256 for o in octets) or any(not x.isdigit() for x in low[:4]):
        return None
    return struct.unpack("!I", bytes(octets))[0]


def forward_auto(name, qtype):
    """The A record of host-a-b-c-d.example or the AAAA record of
    host-2001-db8--1.example, as qtype asks; None for anything else."""
    m = re.fullmatch(r"host-([0-9a-f-]+)\.example", name, re.I)
    if not m:
        return None
    text = m.group(1)
    try:
        if qtype == QTYPES["A"]:
            data = socket.inet_aton(text.replace("-", ".")) if re.fullmatch(r"\d+(-\d+){3}", text) else None
        elif qtype == QTYPES["AAAA"]:
            data = ipaddress.IPv6Address(text.replace("-", ":")).packed
        else:
            data = None
    except (OSError, ValueError):
        data = None
    return data and {"owner": None, "type": qtype, "rdata": [data], "rdlength": None}


def build_reply(qid, qflags, question, rcode, records=(), ttl=300, spoil=None):
    spoil = spoil or {}
    # QR, copied opcode and RD, AA, RA.
    flags = 0x8000 | (qflags & 0x7900) | 0x0400 | 0x0080 | (rcode & 0xF)
    if spoil.get("tc"):
        flags |= 0x0200
    qid = (qid + spoil.get("id_delta", 0)) & 0xFFFF
    ancount = spoil.get("ancount", len(records))
    out = bytearray(struct.pack("!HHHHHH", qid, flags, 1, ancount, 0, 0))
    if "qname" in spoil:
        question = resolve(spoil["qname"], len(out)) + question[-4:]
    out += question
    for rec in records:
        # Owner name is by default a pointer to the question name at offset 12.
        out += resolve(rec["owner"], len(out)) if rec["owner"] is not None else b"\xc0\x0c"
        rdata = resolve(rec["rdata"], len(out) + 10)
        rdlength = len(rdata) if rec["rdlength"] is None else rec["rdlength"]
        out += struct.pack("!HHIH", rec["type"], 1, ttl, rdlength & 0xFFFF)
        out += rdata
    if "cut" in spoil:
        out = out[:spoil["cut"]]
    return bytes(out)


class Server:
    def __init__(self, args):
        self.args = args
        self.rules = Rules(args.rules)
        self.generation = 0
        self.seen = {}  # address -> queries so far, for sequences
        self.timers = []  # (due, seq, packet, peer)
        self.seq = 0
        self.reload_wanted = False
        self.stop_wanted = False
        self.log = open(args.log, "a", buffering=1)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for opt in (SO_RCVBUFFORCE, socket.SO_RCVBUF):
            try:
                self.sock.setsockopt(socket.SOL_SOCKET, opt, RCVBUF)
                break
            except OSError:
                continue
        self.sock.bind(("127.0.0.1", args.port))
        self.sock.setblocking(False)
        self.port = self.sock.getsockname()[1]
        self.listener = self.open_tcp()
        self.conns = {}  # TCP socket -> bytes received and not yet used
        # Signals write to this pipe so select() wakes up for them.
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_r, False)
        os.set_blocking(self.wake_w, False)
        signal.set_wakeup_fd(self.wake_w)

    def open_tcp(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", self.port))
        except OSError as e:
            print("fakedns: no TCP on port %d: %s" % (self.port, e), file=sys.stderr, flush=True)
            s.close()
            return None
        s.listen(16)
        s.setblocking(False)
        return s

    def write_port_file(self):
        if not self.args.port_file:
            return
        tmp = self.args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d %d\n" % (self.port, self.generation))
        os.rename(tmp, self.args.port_file)

    def handle(self, pkt, peer, tcp=False):
        q = parse_query(pkt)
        if q is None:
            return
        qid, qflags, question, labels, qtype = q
        addr = reverse_address(labels) if qtype == QTYPE_PTR else None
        now = time.time()
        if addr is None:
            qname = b".".join(labels).decode("latin-1")
            self.log.write("!%s\t%d\t%.6f\n" % (qname, qtype, now))
            key = qname.lower()
            rule = self.rules.forward.get(key, {"action": "auto"})
        else:
            self.log.write("%s\t%.6f\n" % (addr_text(addr), now))
            key = addr
            rule = self.rules.lookup(addr)
        if isinstance(rule, list):
            n = self.seen.get(key, 0)
            self.seen[key] = n + 1
            rule = rule[min(n, len(rule) - 1)]
        if tcp and "tcp" in rule:
            rule = rule["tcp"]
        for sub in rule["replies"] if rule["action"] == "replies" else [rule]:
            reply = self.reply(sub, addr if addr is not None else key, qid, qflags, question)
            if reply is None:
                continue
            delay = sub.get("delay", 0)
            if delay > 0:
                self.seq += 1
                heapq.heappush(self.timers, (time.monotonic() + delay, self.seq, reply, peer))
            else:
                self.send(reply, peer)

    def reply(self, rule, addr, qid, qflags, question):
        """The reply packet for one rule (addr: the address asked about, or
        the name of a forward query), or None when it says drop."""
        action = rule["action"]
        ttl = rule.get("ttl", 300)
        if action == "drop":
            return None
        if action == "auto" and isinstance(addr, str):  # a forward query for that name
            rec = forward_auto(addr, struct.unpack("!H", question[-4:-2])[0])
            if rec is None:
                return build_reply(qid, qflags, question, RCODES["nxdomain"], (), ttl, rule)
            return build_reply(qid, qflags, question, 0, [rec], ttl, rule)
        if action == "auto":
            name = "host-%s.example" % addr_text(addr).replace(".", "-").replace(":", "-")
            return build_reply(qid, qflags, question, 0, ptr_records([name_template(name)]), ttl, rule)
        if action == "name":
            return build_reply(qid, qflags, question, 0, rule["records"], ttl, rule)
        if action == "rcode":
            return build_reply(qid, qflags, question, rule["rcode"], (), ttl, rule)
        return build_reply(qid, qflags, question, RCODES[action], (), ttl, rule)

    def send(self, reply, peer):
        try:
            if isinstance(peer, socket.socket):
                if peer.fileno() >= 0:
                    peer.setblocking(True)
                    peer.sendall(struct.pack("!H", len(reply)) + reply)
                    peer.setblocking(False)
            else:
                self.sock.sendto(reply, peer)
        except OSError as e:
            print("fakedns: send to %s failed: %s" % (peer, e), file=sys.stderr, flush=True)

    def run_timers(self):
        now = time.monotonic()
        while self.timers and self.timers[0][0] <= now:
            _due, _seq, reply, peer = heapq.heappop(self.timers)
            self.send(reply, peer)

    def serve_udp(self):
        # Drain everything queued so bursts are not left waiting.
        for _ in range(1000):
            try:
                pkt, peer = self.sock.recvfrom(4096)
            except (BlockingIOError, InterruptedError):
                break
            except ConnectionRefusedError:
                continue
            try:
                self.handle(pkt, peer)
            except Exception as e:
                print("fakedns: error handling query: %r" % e, file=sys.stderr, flush=True)

    def accept_tcp(self):
        try:
            conn, _peer = self.listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        conn.setblocking(False)
        self.conns[conn] = b""

    def serve_tcp(self, conn):
        try:
            data = conn.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            del self.conns[conn]
            conn.close()
            return
        buf = self.conns[conn] + data
        while len(buf) >= 2 and len(buf) >= 2 + struct.unpack("!H", buf[:2])[0]:
            n = struct.unpack("!H", buf[:2])[0]
            pkt, buf = buf[2:2 + n], buf[2 + n:]
            try:
                self.handle(pkt, conn, tcp=True)
            except Exception as e:
                print("fakedns: error handling TCP query: %r" % e, file=sys.stderr, flush=True)
        self.conns[conn] = buf

    def serve(self):
        self.write_port_file()
        print(self.port, flush=True)
        while not self.stop_wanted:
            if self.reload_wanted:
                self.reload_wanted = False
                try:
                    self.rules = Rules(self.args.rules)
                    self.seen = {}
                    self.generation += 1
                    self.write_port_file()
                except Exception as e:  # keep serving the old rules
                    print("fakedns: reload failed: %s" % e, file=sys.stderr, flush=True)
            timeout = None
            if self.timers:
                timeout = max(0.0, self.timers[0][0] - time.monotonic())
            watched = [self.sock, self.wake_r] + list(self.conns)
            if self.listener is not None:
                watched.append(self.listener)
            try:
                ready, _, _ = select.select(watched, [], [], timeout)
            except InterruptedError:
                continue
            if self.wake_r in ready:
                try:
                    os.read(self.wake_r, 512)
                except BlockingIOError:
                    pass
            if self.sock in ready:
                self.serve_udp()
            if self.listener is not None and self.listener in ready:
                self.accept_tcp()
            for conn in ready:
                if conn in self.conns:
                    self.serve_tcp(conn)
            self.run_timers()
        self.log.close()


def main():
    ap = argparse.ArgumentParser(description="Scriptable reverse-DNS test server")
    ap.add_argument("--rules", required=True, help="JSON rules file")
    ap.add_argument("--log", required=True, help="query log file (appended)")
    ap.add_argument("--port", type=int, default=0, help="UDP port on 127.0.0.1 (0 = any free)")
    ap.add_argument("--port-file", help="file that receives 'PORT GENERATION'")
    args = ap.parse_args()
    server = Server(args)

    def on_hup(_sig, _frm):
        server.reload_wanted = True

    def on_term(_sig, _frm):
        server.stop_wanted = True

    signal.signal(signal.SIGHUP, on_hup)
    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)
    server.serve()


if __name__ == "__main__":
    main()
