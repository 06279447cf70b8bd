#!/usr/bin/python3
"""Authoritative reverse DNS on loopback with nsd, for tests and benchmarks:
prepare() writes zone "in-addr.arpa." (a PTR per address: name entry, NXDOMAIN
for the rest) and nsd.conf; read_map() reads "address name" lines. As a program,
inside scripts/netns: nsdserve.py --map FILE --port N [--dir D]"""

import argparse, os, shutil, tempfile

CONF = """server:
  ip-address: 127.0.0.1
  port: {port}
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
  rrl-ratelimit: 0
  minimal-responses: yes
remote-control:
  control-enable: no
zone:
  name: "in-addr.arpa."
  zonefile: "{d}/in-addr.arpa.zone"
"""

def zone_escape(name):
    """Zone-file text of a name (str or bytes); odd bytes as \\DDD."""
    raw = name.encode() if isinstance(name, str) else bytes(name)
    text = "".join(chr(b) if chr(b).isalnum() and b < 128 or chr(b) in "-_.*/+=" else "\\%03d" % b for b in raw)
    return text if text.endswith(".") else text + "."

def prepare(workdir, mapping, port):
    d = os.path.abspath(workdir)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "in-addr.arpa.zone"), "w") as f:
        f.write("$ORIGIN in-addr.arpa.\n$TTL 300\n@ IN SOA ns.invalid. hostmaster.invalid. 1 3600 600 86400 60\n"
                "@ IN NS ns.invalid.\n" + "".join("%s.in-addr.arpa. IN PTR %s\n" % (
                    ".".join(reversed(addr.split("."))), zone_escape(name)) for addr, name in mapping.items()))
    with open(os.path.join(d, "nsd.conf"), "w") as f:
        f.write(CONF.format(port=port, d=d))
    return os.path.join(d, "nsd.conf")

def command(conf):
    return [shutil.which("nsd") or "/usr/sbin/nsd", "-d", "-c", conf]

def read_map(path):
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        return dict(line.split(None, 1) for line in map(str.strip, f) if line and not line.startswith("#"))

if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for flag, kind in (("--map", str), ("--port", int), ("--dir", str)):
        ap.add_argument(flag, type=kind, required=flag != "--dir")
    args = ap.parse_args()
    conf = prepare(args.dir or tempfile.mkdtemp(prefix="nsdserve-"), read_map(args.map), args.port)
    os.execv(command(conf)[0], command(conf))  # become nsd, so that signals reach it
