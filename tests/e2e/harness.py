"""End-to-end test harness for the logvane binary.

Importing this module puts the process into a private network namespace: when
not already inside one that we made (marker LOGVANE_E2E_NETNS), it re-executes
the same command line under `unshare -n`, then brings up `lo` and checks that
no other interface exists. If that fails the process exits loudly. Nothing
can reach the system resolver from inside.

CTest runs each tests/e2e/test_*.py as `/usr/bin/python3 test_x.py` with cwd
tests/e2e and env LOGVANE_BINARY (the built binary) and LOGVANE_SOURCE_DIR.

API
  binary() -> str                         path of the logvane binary
  source_dir() -> Path                    repository root
  TempDir(keep=None, prefix="logvane-e2e-")  `with TempDir() as p` gives
                                          a Path; also .path, .cleanup();
                                          kept when LOGVANE_KEEP_TMP=1
  class E2ETestCase(unittest.TestCase)    self.tmp: fresh Path per test,
                                          removed unless the test failed or
                                          LOGVANE_KEEP_TMP=1
  FakeDNS(rules=None, default="auto") -> context manager; scriptable server
      (tests/dns/fakedns.py; its docstring lists the rule kinds):
      .port, .server ("127.0.0.1:PORT"), .queries() -> [addr, ...] in order,
      .count(addr) -> int, .query_times() -> [(addr, unix_time)],
      .other_queries() -> ["qname<TAB>qtype<TAB>time"], .clear_queries(),
      .set_rules(rules, default=None) (live reload), .describe() (for
      failure messages: rules, stderr, logged queries), .stop()
  NSD(mapping, port=0) -> context manager; nsd authoritative for
      "in-addr.arpa." with one PTR per mapping entry (address -> name),
      NXDOMAIN for the rest (20,000+ records fine; rate limiting off):
      .port, .server, .describe(), .stop(). tests/dns/nsdserve.py also runs
      it standalone for benchmarks.
  dead_port() -> int                      a loopback port nobody listens on
  big_rcvbuf(sock, size=8 << 20)          raise a UDP socket's receive buffer
  run_logvane(args, cwd, config_lines=(), dns=None, stdin=None, timeout=120,
              dns_timeout=300, dns_tries=2, env=None) -> Result
      Writes the configuration file (cwd/logvane.cfg, or the file named by
      "-settings NAME" at the front of args) with first line
      "dns-servers 127.0.0.1:PORT[,...]", then "dns-timeout"/"dns-tries"
      (omitted when None), then config_lines; runs $LOGVANE_BINARY args.
      dns: a FakeDNS/NSD, a port, or a list of them; None = dead_port().
      config_lines=None: write nothing, but the existing file must still
      start with a loopback dns-servers line (checked; gzip allowed).
      stdin: bytes/str or None (empty). Raises AssertionError on timeout.
  Result: .rc, .out, .err (str, undecodable bytes kept as surrogates),
      .out_bytes, .err_bytes, .args, .cwd, .config, .elapsed; str() gives a
      full diagnostic dump, so use it as the assertion message.
  Fixtures, all with the real tools; each returns the Path written:
      write_file(path, data)              str or bytes
      gzip_file(path, data)               gzip -c
      bzip2_file(path, data)              bzip2 -c
      zip_file(path, members)             zip; members: {name: data} or
                                          [(name, data)], in that order
      read_file(path) -> bytes            plain, gzip or bzip2 (by magic)
  main()                                  unittest.main() with verbosity 2

Example (tests/e2e/test_example.py):

    import harness
    from harness import E2ETestCase, FakeDNS, run_logvane

    class Basic(E2ETestCase):
        def test_names(self):
            log = harness.write_file(self.tmp / "access.log",
                                     "192.0.2.7 - - [x] \\"GET / HTTP/1.0\\" 200 1\\n")
            with FakeDNS({"192.0.2.7": "www.example.org"}) as dns:
                r = run_logvane(["-translate", "-normal", str(log)],
                                cwd=self.tmp, dns=dns)
                self.assertEqual(dns.count("192.0.2.7"), 1, r)
            self.assertIn(b"www.example.org", harness.read_file(
                self.tmp / "access.log.out"), r)

    if __name__ == "__main__":
        harness.main()
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
        unshare = shutil.which("unshare") or "/usr/bin/unshare"
        sys.stdout.flush()
        sys.stderr.flush()
        try:
            os.execve(unshare, [unshare, "-n", "--"] + argv, env)
        except OSError as e:
            _die("cannot run unshare to enter a private network namespace: %s" % e)
    if str(_netns_id()) == outer:
        _die("marker %s is set but this is not a private network namespace" % NETNS_MARKER)
    r = subprocess.run(["ip", "link", "set", "lo", "up"], capture_output=True, text=True)
    if r.returncode != 0:
        _die("'ip link set lo up' failed: %s" % r.stderr.strip())
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


SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)


def big_rcvbuf(sock, size=8 << 20):
    """Raises a socket's receive buffer past rmem_max (we are root)."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, size)
    except OSError:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, size)


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
    prefix: RULE}; default: RULE for the rest (see fakedns.py)."""

    def __init__(self, rules=None, default="auto"):
        self._dir = TempDir(prefix="fakedns-")
        d = self._dir.path
        self.rules_path = d / "rules.json"
        self.log_path = d / "queries.log"
        self.port_path = d / "port"
        self.stderr_path = d / "stderr"
        self._write_rules(rules, default)
        self._rules = rules
        self._default = default
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

    def _write_rules(self, rules, default):
        doc = {"default": default, "rules": rules or {}}
        tmp = self.rules_path.with_suffix(".tmp")
        tmp.write_text(json.dumps(doc))
        os.replace(tmp, self.rules_path)

    def _generation(self):
        try:
            return int(self.port_path.read_text().split()[1])
        except (OSError, IndexError, ValueError):
            return -1

    def set_rules(self, rules, default=None):
        """Replaces the rules (and per-address sequence counters) live."""
        if default is None:
            default = self._default
        gen = self._generation()
        self._write_rules(rules, default)
        self.proc.send_signal(signal.SIGHUP)
        _wait_for(lambda: self._generation() > gen, 10, "fakedns reload", self.proc, self.stderr)
        self._rules, self._default = rules, default

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

    def count(self, addr):
        return self.queries().count(addr)

    def other_queries(self):
        return [line[1:] for line in self._lines() if line.startswith("!")]

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
        return "fakedns on %s: %d queries logged%s\n  rules=%s default=%r\n  stderr: %s" % (
            getattr(self, "server", "?"), len(lines),
            "" if len(lines) <= 40 else " (first 40)", json.dumps(self._rules)[:2000],
            self._default, self.stderr().strip() or "(empty)") + "".join(
                "\n    " + x for x in lines[:40])

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
        last = None
        for _attempt in range(5):
            self.port = port or dead_port()
            conf = nsdserve.prepare(str(self._dir.path), mapping, self.port)
            self._out = open(self._dir.path / "stdout", "w")
            self.proc = subprocess.Popen(nsdserve.command(conf), stdout=self._out,
                                         stderr=subprocess.STDOUT,
                                         preexec_fn=_die_with_parent)
            try:
                _wait_for(self._answers, start_timeout, "nsd start", self.proc, self.log)
                break
            except RuntimeError as e:
                last = e
                _stop_process(self.proc)
                self._out.close()
                if port:
                    break
        else:
            self._dir.cleanup()
            raise last
        if self.proc.poll() is not None:
            self._dir.cleanup()
            raise last
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
                dns_timeout=300, dns_tries=2, env=None):
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
        p = subprocess.run([binary()] + args, cwd=str(cwd), input=_to_bytes(stdin),
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
