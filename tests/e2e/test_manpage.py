"""The manual page the build makes formats without warnings, carries the
program's version and, like the README, documents every option of the usage
text and every configuration keyword."""

import os
import re
import subprocess
import unittest
from pathlib import Path

ROOT = Path(os.environ.get("LOGVANE_SOURCE_DIR") or Path(__file__).resolve().parents[2])
BINARY = Path(os.environ["LOGVANE_BINARY"])


class ManPage(unittest.TestCase):
    def test_documents_everything(self):
        man, readme = (BINARY.parent / "logvane.1").read_text(), (ROOT / "README.md").read_text()
        r = subprocess.run(["groff", "-ww", "-man", "-Tutf8", str(BINARY.parent / "logvane.1")], capture_output=True,
                           text=True)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        version = subprocess.run([str(BINARY), "-help"], capture_output=True, text=True).stdout.split("\n")[0].split()[-1]
        self.assertIn('"Logvane %s"' % version, man.split("\n", 3)[1])
        self.assertNotRegex(man, r"@\w+@")
        options = re.findall(r"^  -(\w+)", (ROOT / "tests" / "src" / "usage.txt").read_text(), re.M)
        src = (ROOT / "src" / "Settings.cpp").read_text()
        words = set(re.findall(r'^\s*\{"([a-z-]+)", (?:\'[a-z]\'|0|&Settings)', src, re.M) +
                    re.findall(r'\{"([a-z0-9-]+)", &Settings\.', src) + re.findall(r'strcmp\(keyword, "([a-z-]+)"\)', src))
        self.assertTrue(len(options) > 15 and {"dns-servers", "dns-inflight", "ipv6", "skip-versions"} <= words)
        for o in options:
            self.assertRegex(man, r"(?m)^\.B[IR]? \\-%s\b" % o)
            self.assertIn("-" + o, readme)
        for w in words:
            self.assertRegex(man, r"(?m)^\.BI %s " % re.escape(w.replace("-", "\\-")))
            self.assertRegex(readme, r"`%s\b" % re.escape(w))


if __name__ == "__main__":
    unittest.main(verbosity=2)
