"""End-to-end harness: importing it re-executes the process under
`scripts/netns -m` (a private network and mount namespace), so that every run
of the binary can reach loopback servers only. CTest runs each test_*.py with
LOGVANE_BINARY and LOGVANE_SOURCE_DIR set; LOGVANE_KEEP_TMP=1 keeps every
test's directory (a failed test's is always kept)."""

import bz2
import gzip
import ipaddress
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from dnslib import DNSRecord

MARKER = "LOGVANE_E2E_NETNS"
HERE = Path(__file__).resolve().parent
DNS_DIR = HERE.parent / "dns"
PYTHON = "/usr/bin/python3"
SANITIZED = os.environ.get("LOGVANE_SANITIZED", "").upper() in ("1", "ON", "TRUE", "YES")
SHIM_ENV = {"LD_PRELOAD": os.environ.get("LOGVANE_SHIM", ""),
            "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}


def _netns():
    return str(os.stat("/proc/self/ns/net").st_ino)


def _enter_netns():
    if os.environ.get(MARKER) is None:
        netns = str(HERE.parent.parent / "scripts" / "netns")
        argv = list(getattr(sys, "orig_argv", None) or [sys.executable] + sys.argv)
        sys.stdout.flush()
        os.execve(netns, [netns, "-m", sys.executable or PYTHON] + argv[1:], dict(os.environ, **{MARKER: _netns()}))
    if os.environ[MARKER] == _netns() or [n for _i, n in socket.if_nameindex()] != ["lo"]:
        sys.stderr.write("harness: not a private network namespace\n")
        os._exit(2)


_enter_netns()
sys.path.insert(0, str(DNS_DIR))
import nsdserve  # noqa: E402


def binary():
    return os.environ["LOGVANE_BINARY"]


def source_dir():
    return Path(os.environ.get("LOGVANE_SOURCE_DIR") or HERE.parent.parent)


class TempDir:
    def __init__(self, keep=False, prefix="logvane-e2e-"):
        self.path, self.keep = Path(tempfile.mkdtemp(prefix=prefix)), keep or os.environ.get("LOGVANE_KEEP_TMP") == "1"

    def cleanup(self):
        if self.keep:
            sys.stderr.write("harness: kept %s\n" % self.path)
        else:
            shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self.path

    def __exit__(self, *exc):
        self.cleanup()


class Case(unittest.TestCase):
    """self.tmp: a directory per test; with shared_dns, self.dns is one FakeDNS
    (auto names) for the class, its log cleared before each test."""
    shared_dns = False
    dns = None

    @classmethod
    def setUpClass(cls):
        cls.dns = FakeDNS() if cls.shared_dns else None

    @classmethod
    def tearDownClass(cls):
        if cls.dns:
            cls.dns.stop()

    def setUp(self):
        d = TempDir()
        self.tmp = d.path
        self.addCleanup(lambda: (setattr(d, "keep", d.keep or self._failed()), d.cleanup()))
        if self.dns:
            self.dns.clear_queries()

    def _failed(self):
        r = self._outcome.result
        return any(t is self or getattr(t, "test_case", None) is self for t, _e in r.failures + r.errors)

    def lv(self, args, clean=True, **kw):
        """run_logvane in self.tmp against self.dns; clean: nothing on stderr."""
        kw.setdefault("cwd", self.tmp)
        kw.setdefault("dns", self.dns)
        r = run_logvane(args, **kw)
        if clean:
            self.assertEqual(r.err, "", r)
        return r


def main():
    unittest.main(verbosity=2)


def dead_port():
    """A loopback port nobody listens on (UDP or TCP)."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        try:
            with socket.socket() as t:
                t.bind(("127.0.0.1", port))
            return port
        except OSError:
            continue


def _wait_for(cond, proc, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not cond():
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("%s did not start (status %s)" % (what, proc.poll()))
        time.sleep(0.02)


def _start(argv, out):
    # prctl(PR_SET_PDEATHSIG, SIGTERM): a server dies with a test killed by its time-out.
    import ctypes
    return subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=out,
                            preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGTERM))


def _stop(proc):
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class FakeDNS:
    """tests/dns/fakedns.py (its docstring lists the rules) on a free loopback
    port: rules {address or prefix: RULE}, default RULE, forward {name: RULE}."""

    def __init__(self, rules=None, default="auto", forward=None):
        self.dir = TempDir(prefix="fakedns-")
        d = self.dir.path
        (d / "rules.json").write_text(json.dumps({"default": default, "rules": rules or {}, "forward": forward or {}}))
        self.log = d / "log"
        self.log.touch()
        self.err = open(d / "stderr", "w")
        self.proc = _start([PYTHON, str(DNS_DIR / "fakedns.py"), "--rules", str(d / "rules.json"), "--log",
                            str(self.log), "--port", "0", "--port-file", str(d / "port")], self.err)
        _wait_for((d / "port").exists, self.proc, "fakedns")
        self.port = int((d / "port").read_text().split()[0])
        self.server = "127.0.0.1:%d" % self.port

    def _entries(self):
        return [line.split("\t") for line in self.log.read_text(encoding="latin-1").splitlines()]

    def query_times(self):
        """(address, time) of each PTR query, in order, repeats included."""
        return [(e[0], float(e[1])) for e in self._entries() if len(e) == 2]

    def queries(self):
        return [a for a, _t in self.query_times()]

    def forward_queries(self, qtype=None):
        return [e[0] for e in self._entries() if len(e) == 3 and (qtype is None or e[1] == str(qtype))]

    def count(self, addr):
        return self.queries().count(addr)

    def clear_queries(self):
        self.log.write_text("")

    def describe(self):
        return "\nfakedns %s, stderr %r, queries:\n  %s" % (
            self.server, (self.dir.path / "stderr").read_text(), "\n  ".join(map(str, self._entries()[:40])))

    def stop(self):
        _stop(self.proc)
        self.err.close()
        self.dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class NSD:
    """nsd with one PTR per mapping entry (address -> name), NXDOMAIN otherwise."""

    def __init__(self, mapping):
        self.dir, self.mapping = TempDir(prefix="nsd-"), mapping
        for attempt in range(5):  # a free port may be taken before nsd binds it
            self.port = dead_port()
            conf = nsdserve.prepare(str(self.dir.path), mapping, self.port)
            self.proc = _start(nsdserve.command(conf), subprocess.STDOUT)
            try:
                _wait_for(self._answers, self.proc, "nsd", 60)
                break
            except RuntimeError:
                _stop(self.proc)
                if attempt == 4:
                    raise
        self.server = "127.0.0.1:%d" % self.port

    def _answers(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            try:
                s.sendto(DNSRecord.question("in-addr.arpa", "SOA").pack(), ("127.0.0.1", self.port))
                return DNSRecord.parse(s.recv(4096)).header.rcode == 0
            except OSError:
                return False

    def stop(self):
        _stop(self.proc)
        self.dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Result:
    def __init__(self, args, cwd, config, rc, out, err, elapsed):
        self.args, self.cwd, self.config, self.rc, self.elapsed = args, cwd, config, rc, elapsed
        self.out_bytes, self.err_bytes = out, err
        self.out, self.err = out.decode("utf-8", "surrogateescape"), err.decode("utf-8", "surrogateescape")

    def __str__(self):
        return "\n--- logvane %s in %s: status %s, %.2fs\n--- configuration:\n%s--- stdout:\n%s--- stderr:\n%s---" % (
            " ".join(self.args), self.cwd, self.rc, self.elapsed, self.config, self.out, self.err)


def check_loopback(text):
    """Refuses a configuration that could send a query off this host."""
    ok = text.startswith("dns-servers 127.0.0.1:")
    for line in text.splitlines():
        for tok in re.split(r"[\s,]+", line[11:].strip()) if line.startswith("dns-servers") else ():
            host = tok[1:].split("]")[0] if tok.startswith("[") else tok.split(":")[0] if tok.count(":") == 1 else tok
            try:
                ok = ok and ipaddress.ip_address(host).is_loopback
            except ValueError:
                ok = ok and not re.search("[A-Za-z]", host)  # a name would need the system resolver
    if not ok:
        raise AssertionError("refusing to run logvane with this configuration:\n" + text)
    return text


def write_config(path, dns=None, lines=(), dns_timeout=300, dns_tries=2):
    """path starting with the loopback server(s) of dns (FakeDNS, NSD, port or
    list; None: a dead port), then the time-outs, then lines."""
    servers = ",".join("127.0.0.1:%d" % getattr(d, "port", d) for d in (dns if isinstance(dns, list) else [dns or dead_port()]))
    head = ["dns-servers " + servers] + ["dns-timeout %d" % dns_timeout] * (dns_timeout is not None) + \
        ["dns-tries %d" % dns_tries] * (dns_tries is not None)
    return write_file(path, check_loopback("\n".join(head + list(lines)) + "\n").encode("latin-1"))


def run_logvane(args, cwd, config_lines=(), dns=None, stdin=None, timeout=120, dns_timeout=300, dns_tries=2,
                env=None, wrap=()):
    """The binary in cwd with cwd/logvane.cfg (or the -settings file) written
    anew, or kept as it is with config_lines=None; wrap: a command prefix."""
    args = [str(a) for a in args]
    cfg = Path(cwd) / (args[1] if args[:1] == ["-settings"] else "logvane.cfg")
    if config_lines is not None:
        write_config(cfg, dns, config_lines, dns_timeout, dns_tries)
    config = check_loopback(cfg.read_text(encoding="latin-1"))
    start = time.monotonic()
    try:
        p = subprocess.run(list(wrap) + [binary()] + args, cwd=str(cwd), input=_bytes(stdin), capture_output=True,
                           timeout=timeout, env=dict(os.environ, **(env or {})))
    except subprocess.TimeoutExpired as e:
        raise AssertionError("timed out%s" % Result(args, cwd, config, None, e.stdout or b"", e.stderr or b"", timeout))
    return Result(args, cwd, config, p.returncode, p.stdout, p.stderr, time.monotonic() - start)


def _bytes(data):
    return data.encode("utf-8", "surrogateescape") if isinstance(data, str) else bytes(data or b"")


def write_file(path, data):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(_bytes(data))
    return path


def read_file(path):
    """A plain, gzip or bzip2 file's contents."""
    data = Path(path).read_bytes()
    return gzip.decompress(data) if data[:2] == b"\x1f\x8b" else bz2.decompress(data) if data[:3] == b"BZh" else data


CACHE_LINE = re.compile(rb"(-?\d+) (?:\$(\d+) )?(\S+) (.+)")


def read_cache(path):
    """{address: (time, tries or None, name)} of a whole cache file, plain or
    private; AssertionError for one cut short, a bad line or an address twice."""
    try:
        data = read_file(path)
    except (EOFError, OSError) as e:
        raise AssertionError("%s: %s" % (path, e))
    if data and not data.endswith(b"\n"):
        raise AssertionError("%s: last line cut short: %r" % (path, data[-80:]))
    out = {}
    for line in data.split(b"\n")[:-1]:
        m = CACHE_LINE.fullmatch(line)
        if not m or m[3].decode() in out:
            raise AssertionError("%s: bad line %r" % (path, line))
        out[m[3].decode()] = (int(m[1]), m[2] and int(m[2]), m[4].decode("latin-1"))
    return out


def names(path):
    return {a: v[2] for a, v in read_cache(path).items()}


def auto_name(addr):
    """The name fakedns gives an address by default."""
    return "host-%s.example" % addr.replace(".", "-").replace(":", "-")


ADDR = re.compile(rb"(?<![\d.])\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}(?![\d.])")


def translate(text, names):
    """text (bytes) with each IPv4 address the names map ("*..." failures
    aside) replaced: what the translation must write."""
    def one(m):
        name = names.get(m.group(0).decode())
        return m.group(0) if not name or name.startswith("*") else name.encode("latin-1")
    return ADDR.sub(one, text)
