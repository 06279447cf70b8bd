#!/usr/bin/python3
"""Writes the seed corpus of every fuzz target into DIR/<target>/.

  make_seeds.py DIR

Compressed seeds are made with the real gzip, bzip2 and zip tools; nothing
binary is kept in the source tree.
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

LOG = (b'1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] "GET /a?from=10.0.0.1 HTTP/1.1" 200 512 '
       b'"http://192.168.100.200:8080/" "agent 5.6.7.8"\n'
       b'9.9.9.9 x1.2.3.4y 1.2.3.4.5 256.1.1.1 1.2.3 01.02.03.04\r\n'
       b'127.0.0.1\rlast 10.0.0.1:443')
CACHE = (b'30000000 1.2.3.4 a.example\n'
         b'30000001 $3 5.6.7.8 *\n'
         b'-5 10.0.0.1 b\n'
         b'29999999 9.9.9.9 *\n'
         b'30000000 1.2.3.4 duplicate.example\n'
         b'bad line\n')
CONFIG = (b'cache dnscache\ncompress bzip2\nlevel 5\nnewlines dos\ntranslate yes\n'
          b'verbose no\nprivate on\nexchange off\ndelete-input no\ninterrupt 10\n'
          b'offset -7\ndivisor 60\nexpire-good 30\nexpire-failed 0\nretry-failed 2\n'
          b'wait-ticks 5\ndns-servers 127.0.0.1:5353\ndns-timeout 500\ndns-tries 2\n'
          b'dns-inflight 7\nlevel 12\n# comment\n')
ARGS = (b'-translate\0-verbose\0-level\x009\0-compress\0gzip\0-newlines\0mac\0'
        b'-offset\x00100\0-z\x0030\0access.log\0-\0')


def tool(cmd, data):
    return subprocess.run(cmd, input=data, stdout=subprocess.PIPE, check=True).stdout


def zipped(members):
    with tempfile.TemporaryDirectory() as d:
        names = []
        for name, data in members:
            Path(d, name).write_bytes(data)
            names.append(name)
        subprocess.run(["zip", "-q", "-X", "out.zip"] + names, cwd=d, check=True)
        return Path(d, "out.zip").read_bytes()


def compressed(data):
    gz = tool(["gzip", "-n", "-c"], data)
    bz = tool(["bzip2", "-c"], data)
    return {
        "gz": gz,
        "gz2": gz + tool(["gzip", "-n", "-1", "-c"], b"second member 10.0.0.1\n"),
        "gz-tail": gz + b"trailing bytes",
        "gz-cut": gz[: len(gz) // 2],
        "bz": bz,
        "bz2": bz + tool(["bzip2", "-1", "-c"], b"second stream 1.2.3.4\n"),
        "bz-cut": bz[: len(bz) - 9],
        "zip": zipped([("a.log", data)]),
        "zip2": zipped([("a.log", data), ("b.log", b"no newline 5.6.7.8")]),
    }


def seeds():
    packed = compressed(LOG)
    boundary = b"x" * 32740 + b" 1.2.3.4\r\n" + b"y" * 32760 + b"\r\n10.0.0.1"
    out = {
        "ipparse": {"a": b"1.2.3.4", "max": b"255.255.255.255", "zero": b"01.02.03.04",
                    "five": b"1.2.3.4.5", "big": b"256.1.1.1", "short": b"1.2.3",
                    "port": b"1.2.3.4:80", "tail": b"1.2.3.4a"},
        "scan": dict({"log": LOG, "empty": b"", "nul": b"1.2\x003.4 \x001.2.3.4\n",
                      "boundary": boundary}, **packed),
        "input": dict({"log": LOG, "empty": b"", "boundary": boundary,
                       "lines": b"a\r\nb\rc\n\n\r" * 50}, **packed),
        "cachefile": {"plain": b"\0" + CACHE, "private": b"\1" + tool(["gzip", "-n", "-c"], CACHE),
                      "divisor": b"\x02" + CACHE, "offset": b"\x19" + CACHE},
        "settings": {"config": CONFIG, "args": ARGS, "gzip": tool(["gzip", "-n", "-c"], CONFIG)},
    }
    out["translate"] = {}
    for pick in (0, 1, 2, 4, 8, 16, 32, 36, 41):
        out["translate"]["log-%d" % pick] = bytes([pick]) + LOG
    out["translate"]["boundary"] = b"\x01" + boundary
    out["translate"]["gz"] = b"\x01" + packed["gz"]
    out["translate"]["gz-cut"] = b"\x21" + packed["gz-cut"]
    return out


def main():
    root = Path(sys.argv[1])
    for target, files in seeds().items():
        d = root / target
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
        for name, data in files.items():
            (d / name).write_bytes(data)


if __name__ == "__main__":
    main()
