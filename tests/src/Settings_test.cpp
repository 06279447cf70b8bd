// Settings: configuration file lines and command-line options.
#include "src/Settings.h"

#include <sstream>
#include <vector>

#include "tests/common/TestUtil.h"

namespace {

using std::string;

// Every field as "|name=value".
string Fields() {
  std::ostringstream s;
#define F(f) s << "|" #f "=" << +Settings.f
  F(compress), F(level), F(interrupt), F(offset), F(divisor), F(translate), F(verbose), F(private_cache);
  F(delete_input), F(exchange), F(newlines), F(expire_good), F(expire_failed), F(retry_failed), F(wait_ticks);
  F(dns_timeout), F(dns_tries), F(dns_inflight), F(verify), F(ipv6), F(skip_versions), F(cache_name);
  F(dns_servers), F(threads);
#undef F
  s << "|cachePath=" << cachePath << "|";
  return s.str();
}

// Each "field=value" of want ('|' between them) holds.
void Check(const string& want, const string& what) {
  std::istringstream in(want);
  for (string w; std::getline(in, w, '|');) EXPECT_NE(Fields().find("|" + w + "|"), string::npos) << what << Fields();
}

class SettingsTest : public testing::Test {
 protected:
  void SetUp() override { SettingsDefaults(); }
  // Reads a configuration file (text written to it first); returns what was printed.
  string Read(const string& name) {
    return tu::Stdout([&] { ReadSettingsFile((dir / name).c_str()); });
  }
  string ReadConfig(const string& text) { return tu::Spit(dir / "logvane.cfg", text), Read("logvane.cfg"); }
  tu::TempDir dir;
};
// Configuration text, "!" before each line to be reported invalid, the
// fields it leaves, and the report itself where that is not the marked lines.
// clang-format off
const char* kFileCases[][3] = {
    {"", "compress=1|level=9|interrupt=30|offset=0|divisor=60|translate=0|verbose=0|private_cache=0|delete_input=0|"
     "exchange=0|newlines=1|expire_good=84|expire_failed=126|retry_failed=4|wait_ticks=0|dns_timeout=0|dns_tries=0|"
     "dns_inflight=100|verify=0|ipv6=0|skip_versions=0|cache_name=dnscache|dns_servers=|cachePath=dnscache"},
    // Every keyword at its upper bound, flags on; a last line needs no line end.
    {"translate yes\nverbose on\nprivate yes\nexchange on\ndelete-input yes\nipv6 yes\nskip-versions on\nverify on\n"
     "compress bzip2\nnewlines mac\nlevel 12\ninterrupt 120\noffset -5\ndivisor 86400\nexpire-good 365\n"
     "expire-failed 365\nretry-failed 35\nwait-ticks 120\ndns-timeout 60000\ndns-tries 10\ndns-inflight 10000\n"
     "threads 64\ncache /var/lib/dns cache  \ndns-servers 127.0.0.1:5353,[::1]:53",
     "compress=2|level=1|interrupt=120|offset=-5|divisor=86400|translate=1|verbose=1|private_cache=1|delete_input=1|"
     "exchange=1|newlines=0|expire_good=365|expire_failed=365|retry_failed=35|wait_ticks=120|dns_timeout=60000|"
     "dns_tries=10|dns_inflight=10000|verify=1|ipv6=1|skip_versions=1|cache_name=/var/lib/dns cache  |"
     "dns_servers=127.0.0.1:5353,[::1]:53|threads=64"},
    // Lower bounds; words, the last one seen winning.
    {"level 0\ninterrupt 0\ndivisor 1\nexpire-good 1\nexpire-failed 0\nretry-failed 1\nwait-ticks 0\ndns-timeout 1\n"
     "dns-tries 1\ndns-inflight 1\nthreads 1\noffset 7x\ntranslate on\ntranslate off\ncompress bzip2\ncompress gzip\n"
     "newlines dos\n", "level=0|interrupt=0|divisor=1|expire_good=1|expire_failed=0|retry_failed=1|wait_ticks=0|"
     "dns_timeout=1|dns_tries=1|dns_inflight=1|threads=1|offset=7|translate=0|compress=1|newlines=2"},
    {"compress no\ncompress yes\nnewlines dos\nnewlines unix\nlevel 3\n!level -1\n", "compress=1|newlines=1|level=3"},
    {"compress bzip2\n!compress GZIP\nnewlines dos\n!newlines Unix\ntranslate on\n!translate Yes\n",
     "compress=2|newlines=2|translate=1"},
    // Out of range: a fallback, or (resolver keywords, threads) the field as it was.
    {"interrupt 5\n!interrupt 121\ndivisor 5\n!divisor 86401\n!expire-good 366\n!expire-failed 366\n!retry-failed 36\n"
     "!wait-ticks 121\ndns-timeout 500\n!dns-timeout 60001\ndns-tries 3\n!dns-tries 11\n!dns-inflight 10001\n"
     "threads 3\n!threads 65\n", "interrupt=30|divisor=60|expire_good=126|expire_failed=42|retry_failed=4|"
     "wait_ticks=120|dns_timeout=500|dns_tries=3|dns_inflight=100|threads=3"},
    {"threads 3\n!threads 0\ndivisor 5\n!divisor 0\ndivisor 5\n!divisor 4294967297\nexpire-good 5\n!expire-good 0\n"
     "retry-failed 9\n!retry-failed 0\ndns-timeout 500\n!dns-timeout 0\ndns-tries 3\n!dns-tries 0\n!dns-inflight 0\n",
     "divisor=60|expire_good=126|retry_failed=4|dns_timeout=500|dns_tries=3|dns_inflight=100|threads=3"},
    // Malformed numbers leave the field as it was.
    {"interrupt 5\n!interrupt x\ndivisor 5\n!divisor -5\noffset 3\n!offset +5\nlevel 3\n!level x\ndns-timeout 7\n"
     "!dns-timeout s1\ncompress no\ncompress on\n", "interrupt=5|divisor=5|offset=3|level=3|dns_timeout=7|compress=1"},
    // Line shapes.
    {"!Translate yes\n! verbose yes\n!exchange yes \nprivate\tyes\ndelete-input \t yes\n# ipv6 yes\n#\n!bogus 1\n"
     "verify yes\r\ndns-servers not a list",
     "translate=0|verbose=0|exchange=0|private_cache=1|delete_input=1|ipv6=0|verify=1|dns_servers=not a list"},
    {"translate\ntranslate   \n\nverbose yes", "translate=0|verbose=1", "Invalid configuration line 'translate '!\n"
     "Invalid configuration line 'translate '!\nInvalid configuration line ' '!\n"},
};
// clang-format on

TEST_F(SettingsTest, ConfigurationLines) {
  for (auto& c : kFileCases) {
    SettingsDefaults();
    string text, said;
    for (const char* p = c[0]; *p;) {
      const char *line = p + (*p == '!'), *end = line + strcspn(line, "\r\n");
      if (line != p) said += "Invalid configuration line '" + string(line, end) + "'!\n";
      end += *end == '\r', end += *end == '\n';
      text.append(line, end), p = end;
    }
    EXPECT_EQ(ReadConfig(text), c[2] ? c[2] : said) << text;
    Check(c[1], text);
  }
}

// A line longer than the buffer is reported and dropped whole; a server list
// that did not fit is refused, not used in part. A missing file is no error,
// a compressed one is read.
TEST_F(SettingsTest, LongLinesAndOtherFiles) {
  string servers = "127.0.0.1,127.0.0.1:5";  // loopback only, grown to the longest list that fits
  while (servers.size() < 242) servers = "127.0.0.1:53," + servers;
  const string fits = "dns-servers " + servers;
  for (string line : {fits, fits + "x", "cache " + string(300, 'x')}) {
    SettingsDefaults();
    bool cut = line != fits;
    EXPECT_EQ(ReadConfig("dns-servers 127.0.0.1\n" + line + "\r\ntranslate yes\n"),
              cut ? "Line 2 too long " + std::to_string(line.size()) + "/254.\n" : "");
    Check("translate=1|cache_name=dnscache|dns_servers=" + (cut ? "127.0.0.1" : fits.substr(12)), line);
    EXPECT_EQ(Settings.dns_servers_bad, line == fits + "x");  // the resolver will refuse to start
  }
  tu::Spit(dir / "gz.cfg", "level 3\n");
  ASSERT_TRUE(tu::Sh(dir.path, "gzip gz.cfg"));
  EXPECT_EQ(Read("absent.cfg") + Read("gz.cfg.gz"), "");
  Check("level=3", "gzip");
}

// Arguments after the program name (split at blanks, '' an empty one); the
// outcome with what it names: the files left or the option refused; and the
// fields it leaves, if checked. Options are known by any prefix of their
// names in the usage, in either case.
// clang-format off
const char* kCommandCases[][3] = {
    {"-TRANSLATE -bz -e -kill -mac -private -Verbose -c /x/cache -d 86400 -failed 0 -g 365 -i 120 -l 7 -o 5 -retry 35 "
     "-z 7 a.log", "go a.log", "translate=1|compress=2|exchange=1|delete_input=1|newlines=0|private_cache=1|verbose=1|"
     "cache_name=dnscache|cachePath=/x/cache|divisor=86400|expire_failed=0|expire_good=365|interrupt=120|level=7|"
     "offset=5|retry_failed=35|wait_ticks=7"},
    {"-Tr -b -normal -windows -f 366 -good 0 -r 36 -Z 121 -INTERRUPT 9 -lev 3 -cache -x a -v b", "go a -v b",
     "translate=1|compress=0|newlines=2|expire_failed=42|expire_good=126|retry_failed=4|wait_ticks=120|interrupt=9|"
     "level=3|cachePath=-x|verbose=0"},
    {"-w -Unix - -t", "go - -t", "newlines=1|translate=0"}, {"-v - b", "go - b", "verbose=1"},
    {"-translates a", "bad -translates"}, {"-keep a", "bad -keep"}, {"-cache", "bad -cache"},
    {"-divisor 0 a", "bad -divisor"}, {"-d 86401 a", "bad -d"}, {"-d 4294967356 a", "bad -d"},
    {"-d x5 a", "bad -d", "divisor=60"}, {"-i 121 a", "bad -i", "interrupt=30"},
    {"-level 12 a", "bad -level", "level=9"}, {"-l x a", "bad -l"}, {"-l '' a", "bad -l"},
    {"-offset -5 a", "bad -offset", "offset=0"}, {"-z", "bad -z"}, {"-zz 7 a", "bad -zz"}, {"-dns 5 a", "bad -dns"},
    {"-s x.cfg a", "bad -s"}, {"-- a", "bad --"}, {"-1 a", "bad -1"}, {"-hx a", "bad -hx"}, {"-?? a", "bad -??"},
    {"-he a", "usage"}, {"-HELP", "usage"}, {"-? -x a", "usage"}, {"", "usage"}, {"-t", "usage", "translate=1"},
    {"-d 5", "usage", "divisor=5"},
};
// clang-format on

TEST_F(SettingsTest, CommandLines) {
  for (auto& c : kCommandCases) {
    SettingsDefaults();
    std::vector<string> args;
    std::istringstream words(string("logvane ") + c[0]);
    for (string w; words >> w;) args.push_back(w == "''" ? "" : w);
    std::vector<char*> argv;
    for (string& s : args) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    int argc = (int)args.size();
    char** rest = argv.data();
    const char* bad = nullptr;
    int outcome = ParseCommandLine(&argc, &rest, &bad);
    string got = outcome == PARSE_USAGE ? "usage" : outcome == PARSE_INVALID ? string("bad ") + bad : "go";
    for (int i = 1; outcome == PARSE_PROCEED && i < argc; i++) got += string(" ") + rest[i];
    EXPECT_EQ(got, c[1]) << c[0];
    // Options were dropped from the front; the slot before the names remains.
    EXPECT_TRUE(outcome != PARSE_PROCEED || rest + argc == &argv.back()) << c[0];
    EXPECT_TRUE(strcmp(c[1], "go a.log") || cachePath == argv[9]) << c[0];  // the argument itself
    if (c[2]) Check(c[2], c[0]);
  }
}

}  // namespace
