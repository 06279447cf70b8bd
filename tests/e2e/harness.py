"""End-to-end harness. Importing it re-executes the process under `scripts/netns -m`,
so the binary reaches loopback servers only. LOGVANE_KEEP_TMP=1 keeps test directories."""

import bz2, ctypes, gzip, json, os, re, shutil, signal, socket, subprocess, sys, tempfile, time, unittest
from pathlib import Path

from dnslib import DNSRecord

MARKER, PYTHON, HERE = "LOGVANE_E2E_NETNS", "/usr/bin/python3", Path(__file__).resolve().parent
SHIM_ENV = {"LD_PRELOAD": os.environ.get("LOGVANE_SHIM", ""), "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}
NETNS = str(os.stat("/proc/self/ns/net").st_ino)
if MARKER not in os.environ:
    sys.stdout.flush()
    netns = str(HERE.parent.parent / "scripts" / "netns")
    os.execve(netns, [netns, "-m", sys.executable or PYTHON] + sys.orig_argv[1:], dict(os.environ, **{MARKER: NETNS}))
if os.environ[MARKER] == NETNS or [n for _i, n in socket.if_nameindex()] != ["lo"]:
    sys.stderr.write("harness: not a private network namespace\n")
    os._exit(2)
sys.path.insert(0, str(HERE.parent / "dns"))
import nsdserve  # noqa: E402

binary = lambda: os.environ["LOGVANE_BINARY"]
# Root of the host, not of a user namespace: only it may hand files to other users.
REAL_ROOT = Path("/proc/self/uid_map").read_text().split()[:3] == ["0", "0", "4294967295"]
main = lambda: unittest.main(verbosity=2)

class TempDir:
    def __init__(self, keep=False, prefix="logvane-e2e-"):
        self.path, self.keep = Path(tempfile.mkdtemp(prefix=prefix)), keep or os.environ.get("LOGVANE_KEEP_TMP") == "1"

    def cleanup(self):
        sys.stderr.write("harness: kept %s\n" % self.path) if self.keep else shutil.rmtree(self.path, True)

class Case(unittest.TestCase):
    """self.tmp: a directory per test; shared_dns: one FakeDNS for the class."""
    shared_dns, dns = False, None

    @classmethod
    def setUpClass(cls):
        cls.dns = FakeDNS() if cls.shared_dns else None
        cls.addClassCleanup(lambda: cls.dns and cls.dns.stop())

    def setUp(self):
        self.tmp = (d := TempDir()).path
        self.addCleanup(d.cleanup)
        self.dns and self.dns.clear_queries()

    def lv(self, args, clean=True, **kw):
        r = run_logvane(args, **dict(dict(cwd=self.tmp, dns=self.dns), **kw))
        self.assertEqual(r.err if clean else "", "", r)
        return r

def dead_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s, socket.socket() as t:
        s.bind(("127.0.0.1", 0))
        try:
            return t.bind(s.getsockname()) or s.getsockname()[1]
        except OSError:  # taken over TCP
            return dead_port()

class Server:
    """A server process that dies with the test (PR_SET_PDEATHSIG)."""

    def start(self, argv, ready, timeout=30):
        self.dir = TempDir(prefix="dns-")
        argv = argv(self.dir.path)
        with open(self.dir.path / "err", "w") as err:
            self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=err,
                                         preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGTERM))
        deadline = time.monotonic() + timeout
        while not ready():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                err = (self.dir.path / "err").read_text()
                self.stop()
                raise RuntimeError("%s did not start: %s" % (argv[:2], err))
            time.sleep(0.02)
        self.server = "127.0.0.1:%d" % self.port

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.dir.cleanup()

    __enter__, __exit__ = lambda self: self, lambda self, *exc: self.stop()

class FakeDNS(Server):
    """tests/dns/fakedns.py (its docstring has the rules)."""

    def __init__(self, rules=None, default="auto", forward=None):
        def argv(d):
            (d / "rules").write_text(json.dumps({"default": default, "rules": rules or {}, "forward": forward or {}}))
            return [PYTHON, str(HERE.parent / "dns" / "fakedns.py"), "--rules", str(d / "rules"), "--log", str(d / "log"),
                    "--port-file", str(d / "port")]

        def ready():
            self.port = int((self.dir.path / "port").read_text()) if (self.dir.path / "port").exists() else None
            return self.port
        self.start(argv, ready)
        self.log = self.dir.path / "log"

    def _entries(self):
        """The log once the server has read every query sent before now: under
        load it lags, so a query of our own must come through first."""
        lines, mark = [], "sync-%d.invalid" % time.monotonic_ns()
        if self.proc.poll() is None:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.sendto(DNSRecord.question(mark).pack(), ("127.0.0.1", self.port))
        deadline = time.monotonic() + 30
        while self.log.exists():
            lines = self.log.read_text(encoding="latin-1").splitlines()
            if self.proc.poll() is not None or time.monotonic() > deadline or any(x.startswith(mark) for x in lines):
                break
            time.sleep(0.01)
        return [x.split("\t") for x in lines if not x.startswith("sync-")]

    def queries(self):
        return [e[0] for e in self._entries() if len(e) == 2]

    def forward_queries(self, qtype=None):
        return [e[0] for e in self._entries() if len(e) == 3 and qtype in (None, int(e[1]))]

    def clear_queries(self):
        self.log.write_text("")

class NSD(Server):
    """nsd with a PTR record per mapping entry (address: name)."""

    def __init__(self, mapping):
        for attempt in range(5):  # a free port may be taken before nsd binds it
            self.port = dead_port()
            try:
                return self.start(lambda d: nsdserve.command(nsdserve.prepare(str(d), mapping, self.port)), self._up, 60)
            except RuntimeError:
                if attempt == 4:
                    raise

    def _up(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            try:
                s.sendto(DNSRecord.question("in-addr.arpa", "SOA").pack(), ("127.0.0.1", self.port))
                return DNSRecord.parse(s.recv(4096)).header.rcode == 0
            except OSError:
                return False

class Result:
    def __init__(self, args, cwd, config, rc, out, err, elapsed):
        self.args, self.cwd, self.config, self.rc, self.elapsed, self.out_bytes = args, cwd, config, rc, elapsed, out
        self.out, self.err = out.decode("utf-8", "surrogateescape"), err.decode("utf-8", "surrogateescape")

    def __str__(self):  # the whole story of a run, for a failed assertion
        return "\n--- logvane %s in %s: status %s, %.2fs\n--- configuration:\n%s--- stdout:\n%s--- stderr:\n%s---" % (
            " ".join(self.args), self.cwd, self.rc, self.elapsed, self.config, self.out, self.err)

def check_loopback(text):
    """text, unless it could send a query off this host."""
    servers = " ".join(re.findall(r"^dns-servers(.*)", text, re.M)).strip()
    if not text.startswith("dns-servers 127.0.0.1:") or \
            any(not re.fullmatch(r"(127\.\S*|\[::1\]\S*)?", t) for t in re.split(r"[\s,]+", servers)):
        raise AssertionError("refusing to run logvane with this configuration:\n" + text)
    return text

def write_config(path, dns=None, lines=(), dns_timeout=300, dns_tries=2):
    """dns: FakeDNS, NSD or None (a dead port)."""
    head = ["dns-servers 127.0.0.1:%d" % (dns.port if dns else dead_port()), "dns-timeout %d" % dns_timeout,
            "dns-tries %d" % dns_tries]
    return write_file(path, check_loopback("\n".join(head + list(lines)) + "\n").encode("latin-1"))

def run_logvane(args, cwd, config_lines=(), dns=None, stdin=None, timeout=120, dns_timeout=300, dns_tries=2,
                env=None, wrap=()):
    """The binary in cwd with cwd/logvane.cfg (or the -settings file) written
    anew, or as it is with config_lines=None."""
    args = [str(a) for a in args]
    cfg = Path(cwd) / (args[1] if args[:1] == ["-settings"] else "logvane.cfg")
    if config_lines is not None:
        write_config(cfg, dns, config_lines, dns_timeout, dns_tries)
    config, start = check_loopback(cfg.read_text(encoding="latin-1")), time.monotonic()
    try:
        p = subprocess.run(list(wrap) + [binary()] + args, cwd=str(cwd), input=_bytes(stdin), capture_output=True,
                           timeout=timeout, env=dict(os.environ, **(env or {})))
    except subprocess.TimeoutExpired as e:
        raise AssertionError("timed out%s" % Result(args, cwd, config, None, e.stdout or b"", e.stderr or b"", timeout))
    return Result(args, cwd, config, p.returncode, p.stdout, p.stderr, time.monotonic() - start)

def _bytes(data):
    return data.encode("utf-8", "surrogateescape") if isinstance(data, str) else bytes(data or b"")

def write_file(path, data):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_bytes(_bytes(data))
    return Path(path)

def read_file(path):
    data = Path(path).read_bytes()
    return gzip.decompress(data) if data[:2] == b"\x1f\x8b" else bz2.decompress(data) if data[:3] == b"BZh" else data

def read_cache(path):
    """{address: (time, tries or None, name)}; an error for a file cut short, a
    bad line or an address twice."""
    data, out = read_file(path), {}
    for line in data.split(b"\n")[:-1] + [b"(cut short)" + data[-80:]] * (data[-1:] not in (b"", b"\n")):
        m = re.fullmatch(rb"(-?\d+) (?:\$(\d+) )?(\S+) (.+)", line)
        if not m or m[3].decode() in out:
            raise AssertionError("%s: bad line %r" % (path, line))
        out[m[3].decode()] = (int(m[1]), m[2] and int(m[2]), m[4].decode("latin-1"))
    return out

names = lambda path: {a: v[2] for a, v in read_cache(path).items()}
auto_name = lambda addr: "host-%s.example" % addr.replace(".", "-").replace(":", "-")
ADDR = re.compile(rb"(?<![\d.])\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}(?![\d.])")

def translate(text, names):
    """text (bytes) with each IPv4 address named in names replaced."""
    return ADDR.sub(lambda m: m[0] if names.get(m[0].decode(), "*")[:1] == "*" else names[m[0].decode()].encode("latin-1"),
                    text)
