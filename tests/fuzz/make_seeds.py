#!/usr/bin/python3
"""make_seeds.py DIR: each fuzz target's seeds into DIR/<target>/, the compressed
ones made by the real gzip, bzip2 and zip tools (nothing binary in the tree)."""
import shutil, subprocess, sys, tempfile
from pathlib import Path

LOG = (b'1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] "GET /a?from=10.0.0.1 HTTP/1.1" 200 512 '
       b'"http://192.168.100.200:8080/" "agent 5.6.7.8"\n'
       b'9.9.9.9 x1.2.3.4y 1.2.3.4.5 256.1.1.1 1.2.3 01.02.03.04\r\n127.0.0.1\rlast 10.0.0.1:443')
CACHE = (b'30000000 1.2.3.4 a.example\n30000001 $3 5.6.7.8 *t2\n-5 10.0.0.1 b\n29999999 9.9.9.9 *ux\n'
         b'30000000 1.2.3.4 duplicate.example\nbad line\n30000000 1.1.1.1 ' + b'a' * 600 + b'\n')
# Addresses at the reader's window ends, and a run across its buffer's end (a dot there).
EDGES = b"x" * 32740 + b" 1.2.3.4\r\n" + b"y" * 32747 + b"1." * 20 + b"1.1.1.1\r\n10.0.0.1"

def tool(cmd, data):
    return subprocess.run(cmd, input=data, stdout=subprocess.PIPE, check=True).stdout

def zipped(*members):
    with tempfile.TemporaryDirectory() as d:
        for name, data in members:
            Path(d, name).write_bytes(data)
        subprocess.run(["zip", "-q", "-X", "z.zip"] + [m[0] for m in members], cwd=d, check=True)
        return Path(d, "z.zip").read_bytes()

gz, bz = tool(["gzip", "-n", "-c"], LOG), tool(["bzip2", "-c"], LOG)
packed = {"gz": gz, "gz2": gz + tool(["gzip", "-n", "-1", "-c"], b"second member 10.0.0.1\n"),
          "gz-tail": gz + b"trailing bytes", "gz-cut": gz[: len(gz) // 2],
          "bz": bz, "bz2": bz + tool(["bzip2", "-1", "-c"], b"second stream 1.2.3.4\n"),
          "bz-cut": bz[:-9], "zip": zipped(("a.log", LOG), ("b.log", b"no newline 5.6.7.8"))}
log = dict(("pick-%d" % p, bytes([p]) + LOG) for p in (0, 1, 2, 4, 8, 16, 32, 36, 41))
log.update({n: b"\x21" + d for n, d in packed.items()}, edges=b"\x01" + EDGES, nul=b"\0" + b"1.2\0003.4 \0001.2.3.4\n")
seeds = {
    "log": log,
    "ipparse": dict(enumerate(b"1.2.3.4 255.255.255.255 01.02.03.04 1.2.3.4.5 256.1.1.1 1.2.3 1.2.3.4:80 :: "
                              b"2001:db8::1 ::ffff:1.2.3.4 1:2:3:4::5:6:7:8 1::2::3 1:2:3:4:5:6:7:8".split())),
    "input": dict(packed, log=LOG, empty=b"", edges=EDGES, lines=b"a\r\nb\rc\n\n\r" * 50, short=b"BZh91AY&SY 1.2."),
    "cachefile": {"plain": b"\0" + CACHE, "private": b"\1" + tool(["gzip", "-n", "-c"], CACHE),
                  "divisor": b"\2" + CACHE, "offset": b"\x19" + CACHE}}
for target, files in seeds.items():
    shutil.rmtree(Path(sys.argv[1], target), ignore_errors=True)
    Path(sys.argv[1], target).mkdir(parents=True)
    for name, data in files.items():
        Path(sys.argv[1], target, str(name)).write_bytes(data)
