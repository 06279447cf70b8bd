"""The disk full at each output, or found full only at fsync; damaged input.
After each the cache is the old file or the table the run reported writing,
each log its own bytes or its whole translation, and no temporary is left."""

import gzip, random, re, subprocess, time

import harness

NOW = int(time.time()) // 60
KINDS = {"gzip": ([], ".gz"), "bzip2": (["-bzip2"], ".bz2"), "plain": (["-normal"], ".out")}
MODES = {"keep": [], "exchange": ["-exchange"], "kill": ["-kill"]}

cache_bytes = lambda table: "".join("%d %s %s\n" % (NOW, a, n) for a, n in table.items()).encode()

def make_log(rng, size, addrs):
    return "".join('%s - - [10/Oct/2023:13:55:36 +0000] "GET /%s HTTP/1.1" 200 %d "http://%s/x"\n' % (
        rng.choice(addrs), "".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(10, 60))),
        rng.randint(1, 99999), rng.choice(addrs)) for _ in range(size // 100)).encode()

pages = lambda n: -(-n // 4096) * 4096

class DiskFull(harness.Case):
    shared_dns = True

    def setUp(self):
        super().setUp()
        rng = random.Random(13)
        self.old = dict({"10.0.%d.%d" % (i // 200, i % 200): "h%d.example.org" % i for i in range(120)},
                        **{"10.1.0.%d" % i: "*" for i in range(19)})
        new = ["10.2.%d.%d" % (i // 200, i % 200) for i in range(200)]
        self.logs = [("log%d" % i, make_log(rng, size, list(self.old) + new)) for i, size in enumerate((6000, 18000, 60000))]
        used = {a.decode() for _n, t in self.logs for a in harness.ADDR.findall(t)}
        self.want = dict(self.old, **{a: harness.auto_name(a) for a in new if a in used})
        self.source = {n: gzip.compress(t, mtime=0) if n == "log1" else t for n, t in self.logs}

    def run_in(self, fs, kind, mode, env=None):
        [p.unlink() for p in fs.iterdir()]
        (fs / "dnscache").write_bytes(cache_bytes(self.old))
        [(fs / name).write_bytes(data) for name, data in self.source.items()]
        opts, suffix = KINDS[kind]
        r = self.lv(["-verbose", "-translate", "-unix", "-cache", fs / "dnscache"] + opts + MODES[mode] +
                    [fs / n for n, _t in self.logs], env=env)
        # The cache: as it was with its write reported failed, or the whole new table.
        wrote = re.search(r"^Wrote ([\d,]+) cache entries", r.out, re.M)
        self.assertNotEqual(bool(wrote), "Unable to write '" in r.out or "Unable to open '" in r.out, r)
        self.assertEqual(harness.names(fs / "dnscache") if wrote else (fs / "dnscache").read_bytes(),
                         self.want if wrote else cache_bytes(self.old), r)
        done = []
        for (name, text), part in zip(self.logs, re.split(r"^Translating '.*'$", r.out, flags=re.M)[1:]):
            done.append("Write error on output file!" not in part and "Error opening output file" not in part)
            log, out = fs / name, fs / (name + ("" if mode == "exchange" else suffix))
            if not done[-1]:
                self.assertEqual((log.read_bytes(), out.exists() and mode != "exchange"), (self.source[name], False), r)
            else:
                self.assertEqual(harness.read_file(out), harness.translate(text, self.want), (name, r))
                self.assertEqual(log.exists(), mode != "kill", r)
        self.assertEqual((len(done), r.rc), (3, 0 if done[-1] and wrote else 1), r)
        allowed = {"dnscache", "dnscache.bak", "dnscache.lock"} | {n + s for n, _t in self.logs for s in ("", suffix)}
        self.assertEqual([p.name for p in fs.iterdir() if p.name not in allowed], [], r)
        return bool(wrote), done

    def test_disk_full_at_each_output(self):
        fs, seen = self.tmp / "fs", set()
        fs.mkdir()
        for kind in KINDS:
            for mode in MODES:
                with self.subTest(kind=kind, mode=mode):
                    self.assertEqual(self.run_in(fs, kind, mode), (True, [True] * 3))
                    base = sum(pages(len(x)) for x in self.source.values()) + pages(len(cache_bytes(self.old)))
                    room = base + 3 * pages(len(cache_bytes(self.want))) + sum(pages(len(t)) for _n, t in self.logs)
                    for size in range(pages(base), room, pages((room - base) // 6)):
                        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", str(fs)], check=True)
                        try:
                            wrote, done = self.run_in(fs, kind, mode)
                        finally:
                            subprocess.run(["umount", str(fs)], check=True)
                        seen.add((wrote, done.index(False) if False in done else None))
                # Where blocks are only allocated when flushed, fsync finds the
                # disk full: then nothing is reported written, nor left.
                with self.subTest(kind=kind, mode=mode, fsync="fails"):
                    self.assertEqual(self.run_in(fs, kind, mode, dict(harness.SHIM_ENV, NOSYNC="1")), (False, [False] * 3))
        # The sweeps filled the disk at the cache, at logs in turn, and not at all.
        self.assertTrue({(False, 0), (True, None)} <= seen and len(seen) >= 4, seen)

    def test_damaged_input(self):
        # A gzip log cut short or spoilt inside: reported, status 1, and -exchange leaves it as it was.
        z = gzip.compress(self.logs[2][1])
        for data in (z[:len(z) // 2], z[:100] + b"\xff" * 50 + z[150:]):
            harness.write_file(self.tmp / "a.gz", data)
            r = self.lv(["-translate", "-exchange", "a.gz"])
            self.assertEqual((r.rc, "Read error on input!" in r.out, (self.tmp / "a.gz").read_bytes() == data,
                              [p.name for p in self.tmp.glob("a*")]), (1, True, True, ["a.gz"]), r)

if __name__ == "__main__":
    harness.main()
