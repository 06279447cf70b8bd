"""Reports that need minutes to pass: the periodic cache checkpoint of a long
verbose scan, and the translation's progress lines.

A preloaded time() that runs fast stands in for a scan lasting many minutes.
"""
import os
import re
import subprocess

import harness
from harness import E2ETestCase, FakeDNS, run_logvane


def fast_clock(tmp, step):
    """Environment that preloads a time() moving on step seconds a call."""
    lib = tmp / "fasttime.so"
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fasttime.c")
    subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-o", str(lib), src], check=True)
    return {"LD_PRELOAD": str(lib), "FASTTIME_STEP": str(step),
            "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}


class Checkpoint(E2ETestCase):
    def test_cache_written_during_scan(self):
        # 4,000 lines, one address each, a third of them twice; every lookup
        # reads the clock once.
        lines = ["10.9.{0}.{1} - - \"GET / HTTP/1.1\" 200 1{2}".format(
            i // 200, i % 200, " 10.9.%d.%d" % (i // 200, i % 200) if i % 3 == 0 else "") for i in range(4000)]
        log = harness.write_file(self.tmp / "access.log", "\n".join(lines) + "\n")
        with FakeDNS() as dns:
            r = run_logvane(["-verbose", str(log)], cwd=self.tmp, dns=dns, env=fast_clock(self.tmp, 1))
        self.assertEqual(r.rc, 1, r)
        out = r.out.splitlines()
        totals = next(i for i, l in enumerate(out) if l.startswith("Looked up "))
        wrote = [i for i, l in enumerate(out) if l.startswith("Wrote ")]
        progress = [l for l in out if l.startswith("Read ")]
        self.assertTrue(progress, r)
        # Checkpoints come at progress reports, before the file's totals, and
        # the final write follows the drain.
        self.assertGreaterEqual(len([i for i in wrote if i < totals]), 1, r)
        self.assertGreater(wrote[-1], totals, r)
        size = log.stat().st_size
        for line in progress:
            m = re.match(r"^Read ([\d,]+) lines \((\d+)%\), ([\d,]+) lookups, "
                         r"[\d,]+ lines/sec, \d+\.\d lookups/sec\.$", line)
            self.assertTrue(m, line)
            # Reported with the reader just past the last line counted.
            n = int(m.group(1).replace(",", ""))
            self.assertEqual((m.group(2), m.group(3)), (str(sum(len(l) + 1 for l in lines[:n]) * 1000 // size // 10),
                                                        m.group(1)), line)
        self.assertIn("Looked up 4,000 IPs, used 0 from cache, total of 4,000 in cache,\n"
                      "  1,334 duplicates, 4,000 lines in ", r.out)
        # The last write holds every address; each checkpoint a part of them.
        counts = [int(re.match(r"Wrote ([\d,]+) ", out[i]).group(1).replace(",", ""))
                  for i in wrote]
        self.assertEqual(counts[-1], 4000, r)
        self.assertLessEqual(counts[0], counts[-1], r)
        cache = (self.tmp / "dnscache").read_text().splitlines()
        self.assertEqual(len(cache), 4000)
        self.assertTrue((self.tmp / "dnscache.bak").exists())

    def test_translation_progress(self):
        lines = ["10.8.0.%d x 10.8.1.%d" % (i % 50, i % 7) for i in range(2048)]
        log = harness.write_file(self.tmp / "access.log", "\n".join(lines) + "\n")
        with FakeDNS({"10.8.1.0/24": "nxdomain"}) as dns:
            r = run_logvane(["-verbose", "-translate", "-normal", str(log)], cwd=self.tmp, dns=dns,
                            env=fast_clock(self.tmp, 20))
        self.assertEqual(r.rc, 0, r)
        progress = [l for l in r.out.splitlines() if "replacements" in l]
        # The clock moves on 20 s between checks: a report every 256 lines.
        self.assertEqual(len(progress), 8, r)
        for n, line in enumerate(progress, 1):
            m = re.match(r"^Read ([\d,]+) lines \((\d+)%\), ([\d,]+) replacements, "
                         r"([\d,]+) lines/sec\.$", line)
            self.assertTrue(m, line)
            self.assertEqual(int(m.group(1).replace(",", "")), 256 * n)
            self.assertEqual(int(m.group(3).replace(",", "")), 256 * n)
            # The rate is taken over the 10 s slots reported so far.
            self.assertEqual(int(m.group(4).replace(",", "")), 256 * n // (10 * n))
        self.assertIn("Translated 2,048 IPs, 2,048 unresolved, 2,048 lines in ", r.out)


if __name__ == "__main__":
    harness.main()
