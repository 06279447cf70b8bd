"""End-to-end test harness for the logvane binary.

Importing this module puts the process into a private network namespace: it
re-executes the command line under `scripts/netns -m` (marker LOGVANE_E2E_NETNS;
the mount namespace lets the fault tests mount a small tmpfs without root)
and checks that no other interface exists, or exits loudly.
CTest runs each tests/e2e/test_*.py with cwd tests/e2e and LOGVANE_BINARY and
LOGVANE_SOURCE_DIR set.

  E2ETestCase         self.tmp: a fresh Path per test, kept if it failed or
                      LOGVANE_KEEP_TMP=1; TempDir() does the same by hand
  SharedDNSTestCase   E2ETestCase with one FakeDNS for the class as self.dns
  FakeDNS(rules, default="auto", forward=None)   scriptable server
                      (tests/dns/fakedns.py lists the rules): .port, .server,
                      .queries(), .forward_queries(), .count(a),
                      .query_times(), .clear_queries(), .describe()
  NSD(mapping)        nsd serving one PTR per address, NXDOMAIN otherwise
  dead_port()         a loopback port nobody listens on
  run_logvane(args, cwd, config_lines=(), dns=None, stdin=None, ...) -> Result
      writes cwd/logvane.cfg (or the "-settings NAME" file) starting with
      "dns-servers 127.0.0.1:PORT" (dns: FakeDNS/NSD/port/list; None: a dead
      port), then dns-timeout/dns-tries, then config_lines; config_lines=None
      keeps the existing file, which must be just as safe; wrap: a command
      prefix such as valgrind and its options. Result has .rc,
      .out, .err, .out_bytes, .err_bytes; str(result) is a full diagnostic.
  write_file, gzip_file, bzip2_file, zip_file(path, [(name, data)]),
  read_file(path) (plain, gzip or bzip2): fixtures made with the real tools.
"""

import bz2
import gzip
import ipaddress
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

NETNS_MARKER = "LOGVANE_E2E_NETNS"
HERE = Path(__file__).resolve().parent
DNS_DIR = HERE.parent / "dns"
PYTHON = "/usr/bin/python3"


# ---------------------------------------------------------------- namespace

def _netns_id():
    return os.stat("/proc/self/ns/net").st_ino


def _die(msg):
    sys.stderr.write("harness: %s\n" % msg)
    sys.stderr.flush()
    os._exit(2)


def _enter_private_netns():
    outer = os.environ.get(NETNS_MARKER)
    if outer is None:
        env = dict(os.environ)
        env[NETNS_MARKER] = str(_netns_id())
        argv = list(getattr(sys, "orig_argv", []) or [sys.executable] + sys.argv)
        argv[0] = sys.executable or PYTHON
        netns = str(HERE.parent.parent / "scripts" / "netns")
        sys.stdout.flush()
        sys.stderr.flush()
        try:
            os.execve(netns, [netns, "-m"] + argv, env)
        except OSError as e:
            _die("cannot run %s: %s" % (netns, e))
    if str(_netns_id()) == outer:
        _die("marker %s is set but this is not a private network namespace" % NETNS_MARKER)
    ifaces = sorted(name for _i, name in socket.if_nameindex())
    if ifaces != ["lo"]:
        _die("network namespace is not private, interfaces: %s" % ifaces)


_enter_private_netns()


# ---------------------------------------------------------------- paths, temp

def binary():
    path = os.environ.get("LOGVANE_BINARY")
    if not path:
        raise RuntimeError("LOGVANE_BINARY is not set (run through ctest)")
    if not os.access(path, os.X_OK):
        raise RuntimeError("LOGVANE_BINARY %s is not an executable file" % path)
    return path


def source_dir():
    return Path(os.environ.get("LOGVANE_SOURCE_DIR") or HERE.parent.parent)


def _keep_tmp():
    return os.environ.get("LOGVANE_KEEP_TMP") == "1"


class TempDir:
    """Temporary directory as a context manager; .path is a Path."""

    def __init__(self, keep=None, prefix="logvane-e2e-"):
        self.path = Path(tempfile.mkdtemp(prefix=prefix))
        self.keep = _keep_tmp() if keep is None else keep

    def cleanup(self):
        if self.keep:
            sys.stderr.write("harness: kept %s\n" % self.path)
        else:
            shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self.path

    def __exit__(self, *exc):
        self.cleanup()


class E2ETestCase(unittest.TestCase):
    """self.tmp is a fresh directory per test, kept when the test fails."""

    def setUp(self):
        super().setUp()
        self._tmpdir = TempDir(keep=True)
        self.tmp = self._tmpdir.path
        self.addCleanup(self._drop_tmp)

    def _failed(self):
        outcome = getattr(self, "_outcome", None)
        result = getattr(outcome, "result", None)
        if result is None:
            return False
        for test, _ in list(result.failures) + list(result.errors):
            if test is self or getattr(test, "test_case", None) is self:
                return True
        return False

    def _drop_tmp(self):
        if _keep_tmp() or self._failed():
            sys.stderr.write("harness: kept %s\n" % self.tmp)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)



class SharedDNSTestCase(E2ETestCase):
    """One FakeDNS (auto names) for the whole class as self.dns, its query
    log cleared before each test."""
    @classmethod
    def setUpClass(cls):
        cls.dns = FakeDNS()

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()

    def setUp(self):
        super().setUp()
        self.dns.clear_queries()

def main():
    unittest.main(verbosity=2)


# ---------------------------------------------------------------- ports

def _port_free(port):
    for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
        s = socket.socket(socket.AF_INET, kind)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
        finally:
            s.close()
    return True


def dead_port():
    """A loopback UDP port with no listener: queries get 'port unreachable'."""
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        if _port_free(port):
            return port


def _wait_for(cond, timeout, what, proc=None, diag=lambda: ""):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("%s: process exited with %s\n%s" % (what, proc.returncode, diag()))
        time.sleep(0.02)
    raise RuntimeError("%s: timed out after %ss\n%s" % (what, timeout, diag()))


def _die_with_parent():
    # Servers must not outlive a test killed by a timeout.
    import ctypes
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def _stop_process(proc, sig=signal.SIGTERM):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(sig)
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


# ---------------------------------------------------------------- FakeDNS

class FakeDNS:
    """tests/dns/fakedns.py on a free loopback port. rules: {addr or
    prefix: RULE}; default: RULE for the rest; forward: {name: RULE} for
    A queries (see fakedns.py)."""

    def __init__(self, rules=None, default="auto", forward=None):
        self._dir = TempDir(prefix="fakedns-")
        d = self._dir.path
        self.rules_path = d / "rules.json"
        self.log_path = d / "queries.log"
        self.port_path = d / "port"
        self.stderr_path = d / "stderr"
        self.rules_path.write_text(json.dumps({"default": default, "rules": rules or {}, "forward": forward or {}}))
        self._rules, self._default = rules, default
        self.log_path.touch()
        self._stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(
            [PYTHON, str(DNS_DIR / "fakedns.py"), "--rules", str(self.rules_path),
             "--log", str(self.log_path), "--port", "0", "--port-file", str(self.port_path)],
            stdout=subprocess.DEVNULL, stderr=self._stderr, preexec_fn=_die_with_parent)
        try:
            _wait_for(self.port_path.exists, 10, "fakedns start", self.proc, self.stderr)
        except Exception:
            self.stop()
            raise
        self.port = int(self.port_path.read_text().split()[0])
        self.server = "127.0.0.1:%d" % self.port

    def _lines(self):
        with open(self.log_path, encoding="latin-1") as f:
            return [line.rstrip("\n") for line in f if line.strip()]

    def query_times(self):
        out = []
        for line in self._lines():
            if not line.startswith("!"):
                addr, t = line.split("\t")
                out.append((addr, float(t)))
        return out

    def queries(self):
        """Addresses asked for (PTR), in arrival order, with repeats."""
        return [a for a, _ in self.query_times()]

    def forward_queries(self, qtype=None):
        """Names asked for by A and AAAA queries (or those of qtype), in arrival
        order, with repeats."""
        types = ("1", "28") if qtype is None else (str(qtype),)
        return [line[1:].split("\t")[0] for line in self._lines() if line.startswith("!") and line.split("\t")[1] in types]

    def count(self, addr):
        return self.queries().count(addr)

    def clear_queries(self):
        with open(self.log_path, "w"):
            pass

    def stderr(self):
        try:
            return self.stderr_path.read_text(errors="replace")
        except OSError:
            return ""

    def describe(self):
        lines = self._lines() if self.log_path.exists() else []
        return "fakedns on %s: %d queries logged (first 40 below)\n  rules=%s default=%r\n  stderr: %s%s" % (
            getattr(self, "server", "?"), len(lines), json.dumps(self._rules)[:2000], self._default,
            self.stderr().strip() or "(empty)", "".join("\n    " + x for x in lines[:40]))

    def stop(self):
        _stop_process(self.proc)
        self._stderr.close()
        err = self.stderr()
        if err.strip():
            sys.stderr.write("fakedns stderr:\n%s\n" % err)
        self._dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# ---------------------------------------------------------------- NSD

sys.path.insert(0, str(DNS_DIR))
import nsdserve  # noqa: E402


class NSD:
    """nsd authoritative for in-addr.arpa., PTR per mapping entry
    (address text -> name as str or bytes), NXDOMAIN for the rest."""

    def __init__(self, mapping, port=0, start_timeout=60):
        self._dir = TempDir(prefix="nsd-")
        self.mapping = mapping
        for attempt in range(5):  # a free port may be taken before nsd binds it
            self.port = port or dead_port()
            conf = nsdserve.prepare(str(self._dir.path), mapping, self.port)
            self._out = open(self._dir.path / "stdout", "w")
            self.proc = subprocess.Popen(nsdserve.command(conf), stdout=self._out,
                                         stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
            try:
                _wait_for(self._answers, start_timeout, "nsd start", self.proc, self.log)
                break
            except RuntimeError:
                _stop_process(self.proc)
                self._out.close()
                if port or attempt == 4:
                    self._dir.cleanup()
                    raise
        self.server = "127.0.0.1:%d" % self.port

    def _answers(self):
        # SOA of the zone; any reply means nsd is serving.
        q = b"\x12\x34\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00" \
            b"\x07in-addr\x04arpa\x00\x00\x06\x00\x01"
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(0.2)
        try:
            s.sendto(q, ("127.0.0.1", self.port))
            data = s.recv(4096)
            return data[:2] == b"\x12\x34" and (data[3] & 0xF) == 0
        except OSError:
            return False
        finally:
            s.close()

    def log(self):
        text = ""
        for name in ("stdout", "nsd.log"):
            p = self._dir.path / name
            if p.exists():
                text += "%s:\n%s\n" % (name, p.read_text(errors="replace"))
        return text

    def describe(self):
        return "nsd on %s, %d records\n%s" % (self.server, len(self.mapping), self.log())

    def stop(self):
        _stop_process(self.proc)
        self._out.close()
        self._dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# ---------------------------------------------------------------- running

class Result:
    def __init__(self, args, cwd, config, rc, out, err, elapsed):
        self.args, self.cwd, self.config = args, cwd, config
        self.rc, self.out_bytes, self.err_bytes, self.elapsed = rc, out, err, elapsed
        self.out = out.decode("utf-8", "surrogateescape")
        self.err = err.decode("utf-8", "surrogateescape")

    def __str__(self):
        return ("\n--- logvane %s\n  cwd: %s\n  exit status: %s, %.2fs\n"
                "--- configuration:\n%s\n--- stdout:\n%s\n--- stderr:\n%s\n---" % (
                    " ".join(self.args), self.cwd, self.rc, self.elapsed,
                    self.config, self.out, self.err))

    __repr__ = __str__


def _servers_text(dns):
    items = dns if isinstance(dns, (list, tuple)) else [dns]
    out = []
    for d in items:
        port = d if isinstance(d, int) else getattr(d, "port", None)
        if not isinstance(port, int) or not 0 < port < 65536:
            raise ValueError("dns must be a FakeDNS, NSD, port number or a list of them: %r" % (d,))
        out.append("127.0.0.1:%d" % port)
    return ",".join(out)


def _non_loopback(value):
    """Address tokens in a dns-servers value that are not loopback."""
    bad = []
    for tok in value.replace(",", " ").split():
        host = tok
        if tok.startswith("["):
            host = tok[1:].split("]")[0]
        elif tok.count(":") == 1:
            host = tok.split(":")[0]
        try:
            ip = ipaddress.ip_address(host)
        except ValueError:
            if any(ch.isalpha() for ch in host) and host != "localhost":
                bad.append(tok)  # a name would need the system resolver
            continue
        if not ip.is_loopback:
            bad.append(tok)
    return bad


def _check_config(text):
    lines = text.splitlines()
    if not lines or not lines[0].startswith("dns-servers 127.0.0.1:"):
        raise AssertionError("refusing to run logvane: configuration must start with "
                             "'dns-servers 127.0.0.1:PORT', got:\n%s" % text[:500])
    for line in lines:
        if line.startswith("dns-servers"):
            bad = _non_loopback(line[len("dns-servers"):])
            if bad:
                raise AssertionError("refusing to run logvane: non-loopback DNS server %s in %r"
                                     % (bad, line))


def _to_bytes(data):
    if data is None:
        return b""
    return data.encode("utf-8", "surrogateescape") if isinstance(data, str) else bytes(data)


def run_logvane(args, cwd, config_lines=(), dns=None, stdin=None, timeout=120,
                dns_timeout=300, dns_tries=2, env=None, wrap=()):
    args = [str(a) for a in args]
    cwd = Path(cwd)
    cfg = cwd / (args[1] if len(args) >= 2 and args[0] == "-settings" else "logvane.cfg")
    if config_lines is not None:
        lines = ["dns-servers " + _servers_text(dead_port() if dns is None else dns)]
        if dns_timeout is not None:
            lines.append("dns-timeout %d" % dns_timeout)
        if dns_tries is not None:
            lines.append("dns-tries %d" % dns_tries)
        lines += [x.decode("latin-1") if isinstance(x, bytes) else x for x in config_lines]
        cfg.parent.mkdir(parents=True, exist_ok=True)
        cfg.write_bytes(("\n".join(lines) + "\n").encode("latin-1", "replace"))
    if not cfg.exists():
        raise AssertionError("refusing to run logvane: no configuration file %s" % cfg)
    config = read_file(cfg).decode("latin-1")
    _check_config(config)
    run_env = dict(os.environ)
    run_env.update(env or {})
    start = time.monotonic()
    try:
        p = subprocess.run(list(wrap) + [binary()] + args, cwd=str(cwd), input=_to_bytes(stdin),
                           capture_output=True, timeout=timeout, env=run_env)
    except subprocess.TimeoutExpired as e:
        r = Result(args, cwd, config, None, e.stdout or b"", e.stderr or b"",
                   time.monotonic() - start)
        raise AssertionError("logvane timed out after %ss%s" % (timeout, r))
    return Result(args, cwd, config, p.returncode, p.stdout, p.stderr, time.monotonic() - start)


# ---------------------------------------------------------------- fixtures

def write_file(path, data):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(_to_bytes(data))
    return path


def _pipe_tool(cmd, path, data):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        subprocess.run(cmd, input=_to_bytes(data), stdout=f, check=True)
    return path


def gzip_file(path, data):
    return _pipe_tool(["gzip", "-c", "-n"], path, data)


def bzip2_file(path, data):
    return _pipe_tool(["bzip2", "-c"], path, data)


def zip_file(path, members):
    """members: {name: data} or [(name, data)]; stored in that order."""
    path = Path(path).resolve()
    items = list(members.items()) if isinstance(members, dict) else list(members)
    with TempDir(keep=False, prefix="zipsrc-") as src:
        for name, data in items:
            write_file(src / name, data)
        if path.exists():
            path.unlink()
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["zip", "-q", "-X", str(path)] + [n for n, _ in items],
                       cwd=str(src), check=True)
    return path


def read_file(path):
    """Contents of a plain, gzip or bzip2 file (told apart by magic)."""
    data = Path(path).read_bytes()
    if data[:2] == b"\x1f\x8b":
        return gzip.decompress(data)
    if data[:3] == b"BZh":
        return bz2.decompress(data)
    return data
