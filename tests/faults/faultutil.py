"""Helpers shared by the fault scenarios (import harness first: it puts the
process into the private network namespace).

  QUICK, SANITIZED        the short run (run --quick) and a sanitizer build
  size(full, quick)       the size for this run
  LogvaneProcess(args, cwd, ...)  logvane started in the background, with the
                          configuration written as harness.run_logvane does;
                          .wait(timeout) -> Outcome, which adds the peak RSS
                          (kB, from /usr/bin/time) to what harness.Result holds
  run(args, cwd, ...)     start and wait in one call
  parse_cache(path)       {address: name} of a whole cache file, or AssertionError
"""

import gzip
import os
import re
import signal
import subprocess
import time
from pathlib import Path

import harness

QUICK = os.environ.get("LOGVANE_FAULTS_QUICK") == "1"
SANITIZED = os.environ.get("LOGVANE_SANITIZED", "").upper() in ("1", "ON", "TRUE", "YES")


def size(full, quick):
    return quick if QUICK else full


def slack(seconds):
    """A time allowance, stretched for a sanitizer build."""
    return seconds * 4 if SANITIZED else seconds


def write_config(cwd, dns, config_lines=(), dns_timeout=300, dns_tries=2):
    """cwd/logvane.cfg naming the loopback server(s) first, like run_logvane."""
    lines = ["dns-servers " + harness._servers_text(harness.dead_port() if dns is None else dns)]
    if dns_timeout is not None:
        lines.append("dns-timeout %d" % dns_timeout)
    if dns_tries is not None:
        lines.append("dns-tries %d" % dns_tries)
    lines += list(config_lines)
    text = "\n".join(lines) + "\n"
    harness._check_config(text)
    Path(cwd, "logvane.cfg").write_text(text)
    return text


class Outcome(harness.Result):
    def __init__(self, args, cwd, config, rc, out, err, elapsed, maxrss_kb):
        super().__init__(args, cwd, config, rc, out, err, elapsed)
        self.maxrss_kb = maxrss_kb

    def __str__(self):
        return super().__str__() + "\n  peak RSS: %s kB\n" % self.maxrss_kb


TIME = "/usr/bin/time"


class LogvaneProcess:
    """logvane in the background; standard output and error go to files so
    that nothing blocks on a full pipe.

    The peak RSS comes from /usr/bin/time: wait4 from here would report this
    Python process's own size as well, which the child inherits before exec."""

    def __init__(self, args, cwd, config_lines=(), dns=None, dns_timeout=300, dns_tries=2,
                 env=None):
        self.args = [str(a) for a in args]
        self.cwd = Path(cwd)
        self.config = write_config(cwd, dns, config_lines, dns_timeout, dns_tries)
        self._out_path = self.cwd / ".logvane.stdout"
        self._err_path = self.cwd / ".logvane.stderr"
        self._rss_path = self.cwd / ".logvane.rss"
        run_env = dict(os.environ)
        run_env.update(env or {})
        self.start = time.monotonic()
        with open(self._out_path, "wb") as out, open(self._err_path, "wb") as err:
            self.proc = subprocess.Popen([TIME, "-f", "%M", "-o", str(self._rss_path), harness.binary()]
                                         + self.args, cwd=str(self.cwd), stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=err, env=run_env, start_new_session=True)
        self.outcome = None

    def running(self):
        return self.outcome is None and self._reap(os.WNOHANG) is None

    def _reap(self, flags):
        pid, status = os.waitpid(self.proc.pid, flags)
        if pid == 0:
            return None
        self.proc.returncode = rc = os.waitstatus_to_exitcode(status)
        # time reports a signal on its first line and exits with 128 + it.
        report = self._rss_path.read_text().split() if self._rss_path.exists() else []
        rss = int(report[-1]) if report and report[-1].isdigit() else None
        if report and report[0] == "Command" and "signal" in report:
            rc = -int(report[report.index("signal") + 1])
        self.outcome = Outcome(self.args, self.cwd, self.config, rc,
                               self._out_path.read_bytes(), self._err_path.read_bytes(),
                               time.monotonic() - self.start, rss)
        return self.outcome

    def wait(self, timeout):
        deadline = self.start + timeout
        while self.outcome is None:
            if self._reap(os.WNOHANG) is not None:
                break
            if time.monotonic() > deadline:
                os.killpg(self.proc.pid, signal.SIGKILL)
                r = self._reap(0)
                raise AssertionError("logvane killed after %ss%s" % (timeout, r))
            time.sleep(0.02)
        return self.outcome


def run(args, cwd, timeout=300, **kw):
    return LogvaneProcess(args, cwd, **kw).wait(timeout)


def sparse_file(path, nbytes):
    """A file of nbytes NUL bytes that takes no disk space."""
    with open(path, "wb") as f:
        f.truncate(nbytes)
    return Path(path)


CACHE_LINE = re.compile(rb"-?[0-9]+ (?:\$[0-9]+ )?([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+) ([^\r\n]+)")


def parse_cache(path):
    """{address: name} of a whole cache file, plain or gzip (the private
    format); AssertionError when it is cut short, or holds a line the reader
    would count corrupt or an address twice."""
    data = Path(path).read_bytes()
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (EOFError, OSError) as e:
            raise AssertionError("%s: gzip stream cut short (%s)" % (path, e))
    if data and not data.endswith(b"\n"):
        raise AssertionError("%s: last line cut short: %r" % (path, data[-80:]))
    table = {}
    for n, line in enumerate(data.split(b"\n")[:-1], 1):
        m = CACHE_LINE.fullmatch(line)
        if not m:
            raise AssertionError("%s: line %d corrupt: %r" % (path, n, line))
        addr, name = m.group(1).decode(), m.group(2).decode("latin-1")
        if addr in table:
            raise AssertionError("%s: %s twice" % (path, addr))
        table[addr] = name
    return table
