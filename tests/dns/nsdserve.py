#!/usr/bin/python3
"""Authoritative reverse DNS on loopback with nsd, for tests and benchmarks.

As a module:
  write_zone(mapping, path)             zone "in-addr.arpa." with one PTR per
                                        address; every other address is NXDOMAIN
  write_config(workdir, port) -> path   nsd.conf serving that zone on 127.0.0.1
  prepare(workdir, mapping, port) -> path of nsd.conf
  command(conf) -> argv                 nsd in the foreground
  read_map(path) -> dict                "address name" lines (# comments)

As a program (run it inside a private network namespace, e.g. scripts/netns):
  nsdserve.py --map FILE --port N [--dir D]
writes the zone and configuration into D (a temporary directory by default)
and runs nsd in the foreground until interrupted.
"""

import argparse
import os
import shutil
import sys
import tempfile

ZONE = "in-addr.arpa."
ZONE_FILE = "in-addr.arpa.zone"
NSD = shutil.which("nsd") or "/usr/sbin/nsd"


def zone_escape(name):
    """Zone-file text for a host name; odd bytes become \\DDD escapes."""
    raw = name.encode("utf-8") if isinstance(name, str) else bytes(name)
    out = []
    for b in raw:
        c = chr(b)
        if c.isascii() and (c.isalnum() or c in "-_.*/+="):
            out.append(c)
        else:
            out.append("\\%03d" % b)
    text = "".join(out)
    return text if text.endswith(".") else text + "."


def reverse_name(addr):
    return ".".join(reversed(addr.split("."))) + ".in-addr.arpa."


def write_zone(mapping, path):
    """mapping: address text -> host name (str or bytes)."""
    lines = [
        "$ORIGIN %s" % ZONE,
        "$TTL 300",
        "@ IN SOA ns.invalid. hostmaster.invalid. 1 3600 600 86400 60",
        "@ IN NS ns.invalid.",
    ]
    for addr, name in mapping.items():
        lines.append("%s IN PTR %s" % (reverse_name(addr), zone_escape(name)))
    with open(path, "w") as f:
        f.write("\n".join(lines))
        f.write("\n")


def write_config(workdir, port):
    workdir = os.path.abspath(workdir)
    conf = os.path.join(workdir, "nsd.conf")
    text = """server:
  ip-address: 127.0.0.1
  port: {port}
  do-ip4: yes
  do-ip6: no
  server-count: 1
  username: ""
  chroot: ""
  zonesdir: "{d}"
  database: ""
  zonelistfile: "{d}/zone.list"
  xfrdfile: "{d}/xfrd.state"
  xfrdir: "{d}"
  pidfile: "{d}/nsd.pid"
  logfile: "{d}/nsd.log"
  verbosity: 1
  hide-version: yes
  rrl-ratelimit: 0
  rrl-whitelist-ratelimit: 0
  minimal-responses: yes
remote-control:
  control-enable: no
zone:
  name: "{zone}"
  zonefile: "{d}/{zonefile}"
""".format(port=port, d=workdir, zone=ZONE, zonefile=ZONE_FILE)
    with open(conf, "w") as f:
        f.write(text)
    return conf


def prepare(workdir, mapping, port):
    os.makedirs(workdir, exist_ok=True)
    write_zone(mapping, os.path.join(workdir, ZONE_FILE))
    return write_config(workdir, port)


def command(conf):
    return [NSD, "-d", "-c", conf]


def read_map(path):
    mapping = {}
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            addr, name = line.split(None, 1)
            mapping[addr] = name
    return mapping


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--map", required=True, help="file of 'address name' lines")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--dir", help="work directory (default: a new temporary one)")
    args = ap.parse_args()
    workdir = args.dir or tempfile.mkdtemp(prefix="nsdserve-")
    conf = prepare(workdir, read_map(args.map), args.port)
    print("nsd: %s, port %d" % (conf, args.port), flush=True)
    # Become nsd so that signals sent to this process reach it.
    argv = command(conf)
    os.execv(argv[0], argv)


if __name__ == "__main__":
    sys.exit(main())
