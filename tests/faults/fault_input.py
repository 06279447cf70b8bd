"""Input faults: a log that grows while it is read, one that disappears
between the lookup pass and the translation, a huge log of NUL bytes, and a
huge line without a line end."""

import os
import re
import subprocess
import sys
import time

import harness
from harness import E2ETestCase, FakeDNS
import faultutil
from faultutil import QUICK, size, slack

ADDR = re.compile(rb"(?<![\d.])(\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3})(?![\d.])")

LINE_SOURCE = r"""
def log_line(i):
    return b"10.%d.%d.%d - - [06/Dec/2024:10:00:00 +0000] \"GET /p/%d HTTP/1.1\" 200 %d\n" % (
        (i >> 16) & 255, (i >> 8) & 255, i & 255, i, i)
"""
exec(LINE_SOURCE)

# Appends numbered log lines, one write each, until the stop file exists, the
# time is up or as many lines as the log began with were added (a slow run
# must still reach the end); prints how many it wrote.
WRITER = LINE_SOURCE + r"""
import os, sys, time
path, stop, first, limit = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
fd = os.open(path, os.O_WRONLY | os.O_APPEND)
end = time.monotonic() + limit
i = first
while not os.path.exists(stop) and time.monotonic() < end and i < 2 * first:
    for _ in range(20):
        os.write(fd, log_line(i))
        i += 1
    time.sleep(0.002)
os.close(fd)
print(i - first)
"""


def auto_name(addr):
    return b"host-%s.example" % addr.replace(b".", b"-")


def translate(data, names):
    return ADDR.sub(lambda m: names.get(m.group(1), m.group(1)), data)


def cache_names(path):
    out = {}
    for line in harness.read_file(path).splitlines():
        _t, addr, name = line.split(b" ")
        if name != b"*":
            out[addr] = name
    return out


def scan_lines(out):
    """Line count of the lookup pass's totals."""
    return int(re.search(r"  [\d,]+ duplicates, ([\d,]+) lines in", out).group(1).replace(",", ""))


class GrowingLog(E2ETestCase):
    def test_log_appended_while_read(self):
        first = size(300000, 30000)
        log = self.tmp / "a.log"
        harness.write_file(log, b"".join(log_line(i) for i in range(first)))
        stop = self.tmp / "stop"
        with FakeDNS() as dns:
            writer = subprocess.Popen([sys.executable, "-c", WRITER, str(log), str(stop), str(first), "300"],
                                      stdout=subprocess.PIPE, text=True)
            try:
                time.sleep(0.2)  # the writer is under way
                before = log.read_bytes().count(b"\n")
                r = faultutil.run(["-V", "-translate", "-normal", "a.log"], self.tmp, dns=dns,
                                  timeout=slack(300))
            finally:
                stop.touch()
                appended = int(writer.communicate(timeout=60)[0])
        final = log.read_bytes()
        total = first + appended
        self.assertEqual(final.count(b"\n"), total)
        counted = scan_lines(r.out)
        print("\n  growing log: %d lines at the start, %d counted by the scan, %d at the end, run %.2fs" % (
            first, counted, total, r.elapsed))
        self.assertEqual((r.rc, r.err), (0, ""), r)
        self.assertGreaterEqual(counted, before, r)  # lines appended before the scan's end count
        self.assertLessEqual(counted, total, r)
        in_lines = final.split(b"\n")
        names = cache_names(self.tmp / "dnscache")
        # Every address of the lines the scan counted was resolved.
        missing = [i for i in range(counted) if (b"%d.%d.%d.%d" % (10, (i >> 16) & 255, (i >> 8) & 255, i & 255))
                   not in names]
        self.assertEqual(missing[:5], [], r)
        out = (self.tmp / "a.log.out").read_bytes()
        out_lines = out.split(b"\n")
        tail = out_lines.pop()  # after the last line end: empty, or a line cut short
        self.assertGreaterEqual(len(out_lines), counted, r)
        bad = [i for i, line in enumerate(out_lines) if line != translate(in_lines[i], names)]
        self.assertEqual(bad[:5], [], r)
        if tail:
            k = len(out_lines)
            self.assertTrue(in_lines[k].startswith(tail) or translate(in_lines[k], names).startswith(tail),
                            (tail, in_lines[k]))


class VanishingLog(E2ETestCase):
    DELAY_MS = 1500  # the drain waits this long for the last address

    def run_deleting(self, args, logs, victim):
        """Runs on logs (name -> data); deletes victim once the last address of
        the last log has been asked for, which is while the drain waits for it."""
        for name in ("dnscache", "dnscache.bak"):
            (self.tmp / name).unlink(missing_ok=True)
        for name, data in logs.items():
            harness.write_file(self.tmp / name, data)
        last = ADDR.findall(list(logs.values())[-1])[-1].decode()
        with FakeDNS({last: {"action": "auto", "delay": self.DELAY_MS}}) as dns:
            proc = faultutil.LogvaneProcess(["-V"] + args + list(logs), self.tmp, dns=dns, dns_timeout=5000,
                                            dns_tries=1)
            deadline = time.monotonic() + slack(30)
            while last not in dns.queries() and proc.running() and time.monotonic() < deadline:
                time.sleep(0.02)
            (self.tmp / victim).unlink()
            still_running = proc.running()
            r = proc.wait(slack(60))
        self.assertTrue(still_running, r)
        self.assertEqual(r.err, "", r)
        self.assertIn(auto_name(last.encode()), (self.tmp / "dnscache").read_bytes(), r)
        return r

    def test_log_deleted_before_translation(self):
        a = b"".join(b"10.1.0.%d x\n" % i for i in range(50))
        b = b"".join(b"10.2.0.%d y\n" % i for i in range(50))
        # The only log, and the last of the list: nothing translated, status 1.
        r = self.run_deleting(["-translate"], {"a.log": a}, "a.log")
        self.assertEqual(r.rc, 1, r)
        self.assertIn("Error opening input file 'a.log'.\n", r.out, r)
        self.assertEqual(sorted(p.name for p in self.tmp.iterdir() if p.name.startswith("a.log")), [], r)
        # An earlier log of the list: reported, the last one is translated.
        r = self.run_deleting(["-translate"], {"a.log": a, "b.log": b}, "a.log")
        self.assertEqual(r.rc, 0, r)
        self.assertIn("Error opening input file 'a.log'.\n", r.out, r)
        self.assertFalse((self.tmp / "a.log.gz").exists(), r)
        self.assertEqual(harness.read_file(self.tmp / "b.log.gz"), translate(b, {
            x: auto_name(x) for x in ADDR.findall(b)}), r)
        # Replacing the log: nothing comes back under its name or a temporary one.
        os.unlink(self.tmp / "b.log.gz")
        r = self.run_deleting(["-translate", "-exchange"], {"a.log": a}, "a.log")
        self.assertEqual(r.rc, 1, r)
        self.assertIn("Error opening input file 'a.log'.\n", r.out, r)
        self.assertEqual(sorted(p.name for p in self.tmp.iterdir() if p.name.startswith("a.log")), [], r)


class HugeInputs(E2ETestCase):
    def translate_plain(self, name, full_s, quick_s):
        """A verbose run translating name to plain text; the result and the
        addresses the server was asked for."""
        with FakeDNS() as dns:
            r = faultutil.run(["-V", "-translate", "-normal", name], self.tmp, dns=dns,
                              timeout=slack(size(full_s, quick_s)))
            return r, dns.queries()

    def test_sparse_log_of_nul_bytes(self):
        nbytes = size(10 << 30, 200 << 20)
        log = faultutil.sparse_file(self.tmp / "z.log", nbytes)
        out = self.tmp / "z.log.out"
        try:
            # About a minute for 10 GB (the scan takes the NULs a byte at a
            # time); the copy is written for real, 10 GB of disk.
            r, asked = self.translate_plain("z.log", 1200, 120)
            print("\n  %d MB of NUL bytes: run %.2fs" % (nbytes >> 20, r.elapsed))
            self.assertEqual((r.rc, r.err, asked), (0, "", []), r)
            self.assertIn("Looked up 0 IPs, used 0 from cache, total of 0 in cache,\n  0 duplicates, 0 lines in ",
                          r.out, r)
            self.assertIn("Translated 0 IPs, 0 unresolved, 0 lines in ", r.out, r)
            self.assertEqual(out.stat().st_size, nbytes, r)
            with open(out, "rb") as f:
                # Everything in the quick run; 64 samples of 1 MB of the big copy.
                step = 1 << 20 if QUICK else nbytes // 64
                for pos in range(0, nbytes, step):
                    f.seek(pos)
                    chunk = f.read(1 << 20)
                    self.assertFalse(chunk.strip(b"\0"), "non-NUL bytes near offset %d" % pos)
        finally:
            log.unlink(missing_ok=True)
            out.unlink(missing_ok=True)

    def test_single_huge_line(self):
        nbytes = size(100 << 20, 10 << 20)
        filler = b"GET /a1/b22?c=333&d=4.5&e=x " * 8
        # Addresses at the start, around the reader's window and look-ahead
        # edges, in the middle and at the very end (no line end after it).
        spots = [0, 32730, 32745, 65530, 98300, 131060, nbytes // 2, nbytes - 15]
        data = bytearray((filler * (nbytes // len(filler) + 1))[:nbytes])
        addrs = []
        for n, pos in enumerate(spots):
            a = b"10.77.%d.%d" % (n, 100 + n)
            pos = min(pos, nbytes - len(a))
            data[pos:pos + len(a)] = a
            if pos:
                data[pos - 1] = ord(" ")
            if pos + len(a) < nbytes:
                data[pos + len(a)] = ord(" ")
            addrs.append(a)
        data = bytes(data)
        self.assertEqual(len(data), nbytes)
        self.assertEqual(ADDR.findall(data), addrs)
        self.assertNotIn(b"\n", data)
        log = harness.write_file(self.tmp / "line.log", data)
        try:
            r, asked = self.translate_plain("line.log", 600, 60)
            print("\n  one line of %d MB: run %.2fs" % (nbytes >> 20, r.elapsed))
            self.assertEqual((r.rc, r.err), (0, ""), r)
            self.assertEqual(sorted(asked), sorted(a.decode() for a in addrs), r)
            self.assertIn("Looked up %d IPs, used 0 from cache, total of %d in cache,\n  0 duplicates, 0 lines in "
                          % (len(addrs), len(addrs)), r.out, r)
            got = (self.tmp / "line.log.out").read_bytes()
            want = translate(data, {a: auto_name(a) for a in addrs})
            self.assertEqual(len(got), len(want))
            self.assertTrue(got == want, "translated line differs at byte %d" % next(
                (i for i in range(len(want)) if got[i] != want[i]), -1))
        finally:
            log.unlink(missing_ok=True)
            (self.tmp / "line.log.out").unlink(missing_ok=True)


if __name__ == "__main__":
    harness.main()
