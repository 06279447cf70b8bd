"""The manual page (as the build makes it) formats without warnings, carries
the program's version and, like the README, documents every option of the
usage text and every configuration keyword."""

import os
import re
import shutil
import subprocess
import unittest
from pathlib import Path

ROOT = Path(os.environ.get("LOGVANE_SOURCE_DIR") or Path(__file__).resolve().parents[2])
BINARY = Path(os.environ["LOGVANE_BINARY"])
MAN = BINARY.parent / "logvane.1"


def usage_options():
    text = (ROOT / "tests" / "src" / "usage.txt").read_text()
    return re.findall(r"^  -(\w+)", text, re.M)


def config_keywords():
    src = (ROOT / "src" / "Settings.cpp").read_text()
    words = set(re.findall(r'^\s*\{"([a-z-]+)", (?:\'[a-z]\'|0|&Settings)', src, re.M))
    words |= set(re.findall(r'\{"([a-z0-9-]+)", &Settings\.', src))
    words |= set(re.findall(r'strcmp\(keyword, "([a-z-]+)"\)', src))
    return sorted(words)


def roff(word):
    return word.replace("-", "\\-")


class ManPage(unittest.TestCase):
    def test_formats_without_warnings(self):
        groff = shutil.which("groff")
        if not groff:
            self.skipTest("groff is not installed (scripts/install-deps installs groff-base)")
        r = subprocess.run([groff, "-ww", "-man", "-Tutf8", str(MAN)],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "", "groff warnings:\n" + r.stderr)
        text = re.sub(".\b", "", r.stdout)  # bold and underline overstrikes
        self.assertIn("dns-timeout ms", text)

    def test_version_is_the_programs(self):
        r = subprocess.run([str(BINARY), "-help"], capture_output=True, text=True, timeout=60,
                           cwd=str(BINARY.parent))
        version = r.stdout.split("\n", 1)[0].rsplit(" ", 1)[-1]
        text = MAN.read_text()
        self.assertRegex(version, r"^\d+\.\d+\.\d+")
        self.assertIn('"Logvane %s"' % version, text.split("\n", 3)[1])
        self.assertIn("Starting Logvane Version %s" % version, text)
        self.assertNotRegex(text, r"@\w+@")

    def test_lists_every_option(self):
        text = MAN.read_text()
        options = usage_options()
        self.assertGreater(len(options), 15)
        for name in options:
            self.assertRegex(text, r"(?m)^\.B[IR]? \\-%s\b" % re.escape(name),
                             "option -%s has no entry" % name)

    def test_lists_every_keyword(self):
        text = MAN.read_text()
        words = config_keywords()
        for expected in ("translate", "dns-servers", "dns-timeout", "dns-tries", "dns-inflight", "ipv6", "skip-versions"):
            self.assertIn(expected, words)
        for word in words:
            self.assertRegex(text, r"(?m)^\.BI %s " % re.escape(roff(word)),
                             "keyword %s has no entry" % word)


class Readme(unittest.TestCase):
    def test_mentions_every_option_and_keyword(self):
        text = (ROOT / "README.md").read_text()
        for name in usage_options():
            self.assertIn("-" + name, text)
        for word in config_keywords():
            self.assertRegex(text, r"`%s\b" % re.escape(word), "keyword %s missing" % word)


if __name__ == "__main__":
    unittest.main(verbosity=2)
