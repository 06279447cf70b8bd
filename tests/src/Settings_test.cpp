// Settings: configuration file lines, command-line options and the usage text.
#include "src/Settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <vector>

#include "tests/common/TestUtil.h"

namespace {

using std::string;

// Every field as text, so one table can check any of them.
string Field(const string& name) {
#define N(f) {#f, [] { return std::to_string(Settings.f); }}
  static const std::map<string, std::function<string()>> fields = {
      N(compress),      N(level),       N(interrupt),   N(offset),        N(divisor),       N(translate),
      N(verbose),       N(private_cache), N(delete_input), N(exchange),     N(newlines),      N(expire_good),
      N(expire_failed), N(retry_failed), N(wait_ticks),  N(dns_timeout),   N(dns_tries),     N(dns_inflight),
      N(verify),        N(ipv6),        N(skip_versions), N(threads),
      {"cache_name", [] { return string(Settings.cache_name); }},
      {"dns_servers", [] { return string(Settings.dns_servers); }},
      {"cachePath", [] { return string(cachePath); }}};
#undef N
  auto it = fields.find(name);
  if (it == fields.end()) ADD_FAILURE() << "no field " << name;
  return it == fields.end() ? string() : it->second();
}

class SettingsTest : public testing::Test {
 protected:
  void SetUp() override { SettingsDefaults(); }
  // Reads text as a configuration file; returns what was printed.
  string ReadConfig(const string& text, const string& name = "logvane.cfg") {
    tu::Spit(dir / name, text);
    return tu::Stdout([&] { ReadSettingsFile((dir / name).c_str()); });
  }
  tu::TempDir dir;
};

std::vector<string> Words(const string& text) {
  std::vector<string> words;
  std::istringstream in(text);
  for (string w; in >> w;) words.push_back(w == "''" ? "" : w);
  return words;
}

// "field=value": the field holds the value; "" checks nothing.
void Check(const string& f, const string& what) {
  size_t eq = f.find('=');
  EXPECT_EQ(f.empty() ? "" : Field(f.substr(0, eq)), f.substr(eq + 1)) << what;
}

TEST_F(SettingsTest, Defaults) {
  for (const string& w : Words("compress=1 level=9 interrupt=30 offset=0 divisor=60 cache_name=dnscache translate=0 "
                               "verbose=0 private_cache=0 delete_input=0 exchange=0 newlines=1 expire_good=84 "
                               "expire_failed=126 retry_failed=4 wait_ticks=0 dns_servers= dns_timeout=0 dns_tries=0 "
                               "dns_inflight=100 verify=0 cachePath=dnscache ipv6=0 skip_versions=0"))
    Check(w, "default");
  EXPECT_EQ(cachePath, Settings.cache_name);
}

// Configuration text, the field it leaves, and the line reported invalid if
// any ("!": the last one).
const char* kFileCases[][3] = {
    // Flags.
    {"translate yes\n", "translate=1"}, {"translate on\ntranslate off\n", "translate=0"},
    {"translate Yes\n", "translate=0", "!"}, {"verbose on\n", "verbose=1"}, {"private yes\n", "private_cache=1"},
    {"exchange on\n", "exchange=1"}, {"delete-input yes\n", "delete_input=1"}, {"ipv6 yes\n", "ipv6=1"},
    {"ipv6 6\n", "ipv6=0", "!"}, {"skip-versions on\n", "skip_versions=1"},
    // Word values, case-sensitive.
    {"compress bzip2\n", "compress=2"}, {"compress no\n", "compress=0"},
    {"compress bzip2\ncompress gzip\n", "compress=1"}, {"compress no\ncompress yes\n", "compress=1"},
    {"compress no\ncompress on\n", "compress=1"}, {"compress bzip2\ncompress GZIP\n", "compress=2", "!"},
    {"newlines mac\n", "newlines=0"}, {"newlines dos\n", "newlines=2"},
    {"newlines dos\nnewlines unix\n", "newlines=1"}, {"newlines Unix\n", "newlines=1", "!"},
    // level: the first digit only.
    {"level 12\n", "level=1"}, {"level 0\n", "level=0"}, {"level x\n", "level=9", "!"},
    {"level -1\n", "level=9", "!"},
    // Numbers: fallbacks on out of range, field kept when malformed.
    {"interrupt 120\n", "interrupt=120"}, {"interrupt 5\ninterrupt 121\n", "interrupt=30", "!"},
    {"interrupt x\n", "interrupt=30", "!"}, {"offset -5\n", "offset=-5"}, {"offset 7x\n", "offset=7"},
    {"offset +5\n", "offset=0", "!"}, {"divisor 86400\n", "divisor=86400"},
    {"divisor 5\ndivisor 0\n", "divisor=60", "!"}, {"divisor 5\ndivisor 86401\n", "divisor=60", "!"},
    {"divisor 5\ndivisor 4294967297\n", "divisor=60", "!"}, {"divisor -5\n", "divisor=60", "!"},
    {"expire-good 365\n", "expire_good=365"}, {"expire-good 0\n", "expire_good=126", "!"},
    {"expire-good 366\n", "expire_good=126", "!"}, {"expire-failed 0\n", "expire_failed=0"},
    {"expire-failed 366\n", "expire_failed=42", "!"}, {"retry-failed 35\n", "retry_failed=35"},
    {"retry-failed 9\nretry-failed 0\n", "retry_failed=4", "!"}, {"retry-failed 36\n", "retry_failed=4", "!"},
    {"wait-ticks 0\n", "wait_ticks=0"}, {"wait-ticks 121\n", "wait_ticks=120", "!"},
    // cache: any text, trailing blanks kept.
    {"cache /var/lib/dns cache  \n", "cache_name=/var/lib/dns cache  "},
    // Resolver keywords: out of range leaves the field as it was.
    {"dns-servers 127.0.0.1:5353,[::1]:53\n", "dns_servers=127.0.0.1:5353,[::1]:53"},
    {"dns-servers not a list", "dns_servers=not a list"},  // a last line needs no line end
    {"dns-timeout 1\n", "dns_timeout=1"},
    {"dns-timeout 60000\n", "dns_timeout=60000"}, {"dns-timeout 500\ndns-timeout 0\n", "dns_timeout=500", "!"},
    {"dns-timeout 60001\n", "dns_timeout=0", "!"}, {"dns-timeout 1s\n", "dns_timeout=1"},
    {"dns-timeout s1\n", "dns_timeout=0", "!"}, {"dns-tries 10\n", "dns_tries=10"},
    {"dns-tries 3\ndns-tries 11\n", "dns_tries=3", "!"}, {"dns-tries 0\n", "dns_tries=0", "!"},
    {"dns-inflight 10000\n", "dns_inflight=10000"}, {"dns-inflight 10001\n", "dns_inflight=100", "!"},
    {"dns-inflight 0\n", "dns_inflight=100", "!"}, {"dns-inflight -1\n", "dns_inflight=100", "!"},
    {"verify on\n", "verify=1"}, {"verify yes\nverify 1\n", "verify=1", "!"},
    {"threads 64\n", "threads=64"}, {"threads 3\nthreads 65\n", "threads=3", "!"},
    {"threads 3\nthreads 0\n", "threads=3", "!"},
    // Line shapes.
    {"Translate yes\n", "translate=0", "!"}, {"translate\n", "translate=0", "translate "},
    {"translate   \n", "translate=0", "translate "}, {"translate yes \n", "translate=0", "!"},
    {" translate yes\n", "translate=0", "!"}, {"\ntranslate yes\n", "translate=1", " "},
    {"translate\tyes\n", "translate=1"}, {"translate \t yes\n", "translate=1"},
    {"# translate yes\n", "translate=0"}, {"#\n", "translate=0"},
    {"verbose yes\r\ntranslate yes\r\n", "translate=1"}, {"verbose yes\r\ntranslate yes\r\n", "verbose=1"},
    {"translate yes", "translate=1"}, {"bogus 1\ntranslate yes\n", "translate=1", "bogus 1"},
};

TEST_F(SettingsTest, ConfigurationLines) {
  for (auto& c : kFileCases) {
    SettingsDefaults();
    string text = c[0], bad = c[2] ? c[2] : "", out = ReadConfig(text);
    size_t last = text.rfind('\n', text.size() - 2) + 1;
    if (bad == "!") bad = text.substr(last, text.size() - 1 - last);
    Check(c[1], "config: " + text);
    EXPECT_EQ(out, c[2] ? "Invalid configuration line '" + bad + "'!\n" : "") << "config: " << text;
  }
}

// A line longer than the buffer is reported once and dropped whole, its tail
// included (here at the reader's 64 KiB window end, where "cache evil" would
// start a line). A server list that did not fit is refused, not used in part.
TEST_F(SettingsTest, TooLongLinesAreDropped) {
  string list(242, 'x'), fits = "dns-servers " + list;
  EXPECT_EQ(ReadConfig(fits + "\n"), "");
  EXPECT_EQ(Field("dns_servers"), list);
  EXPECT_FALSE(Settings.dns_servers_bad);
  const string first = "dns-servers 127.0.0.1\n";
  auto huge = [&](string head) {
    string line = head + string(65536 - first.size() - head.size(), 'x') + "cache evil";
    return line + string(70000 - line.size(), 'x');
  };
  struct { string line, report; bool bad; } cases[] = {
      {fits + "x", "Line 2 too long 255/254.\n", true},
      {huge("dns-servers "), "Line 2 too long 70000/254.\n", true},
      {huge("# "), "Line 2 too long 70000/254.\n", false},
      {huge("cache "), "Line 2 too long 70000/254.\n", false},
  };
  for (auto& c : cases) {
    SettingsDefaults();
    EXPECT_EQ(ReadConfig(first + c.line + "\r\ntranslate yes\n"), c.report) << c.line.size();
    EXPECT_EQ(Field("dns_servers") + Field("cache_name") + Field("translate"), "127.0.0.1dnscache1");
    EXPECT_EQ(Settings.dns_servers_bad, c.bad);  // the resolver will refuse to start
  }
}

TEST_F(SettingsTest, GzipOrMissingFile) {
  EXPECT_EQ(tu::Stdout([&] { ReadSettingsFile((dir / "absent.cfg").c_str()); }), "");
  EXPECT_EQ(Field("level"), "9");
  tu::Spit(dir / "gz.cfg", "# made by gzip\ntranslate yes\nlevel 3\nwait-ticks 7\n");
  ASSERT_TRUE(tu::Sh(dir.path, "gzip gz.cfg"));
  EXPECT_EQ(tu::Stdout([&] { ReadSettingsFile((dir / "gz.cfg.gz").c_str()); }), "");
  EXPECT_EQ(Field("translate") + Field("level") + Field("wait_ticks"), "137");
}

// Arguments after the program name (split at blanks, '' an empty one); the
// outcome with what it names: the files left or the option refused; and the
// field it leaves, if checked.
const char* kCommandCases[][3] = {
    // Switches: a prefix of the option's name, in either case.
    {"-t a.log", "go a.log", "translate=1"}, {"-T a", "go a", "translate=1"}, {"-TRANSLATE a", "go a", "translate=1"},
    {"-Tr a", "go a", "translate=1"},        {"-translates a", "bad -translates", ""}, {"-keep a", "bad -keep", ""},
    {"-nope a", "bad -nope", "compress=1"},  {"-kil a", "go a", "delete_input=1"}, {"-bz a", "go a", "compress=2"},
    {"-b a", "go a", "compress=2"},          {"-b -normal a", "go a", "compress=0"}, {"-e a", "go a", "exchange=1"},
    {"-kill a", "go a", "delete_input=1"},   {"-mac a", "go a", "newlines=0"},  {"-windows a", "go a", "newlines=2"},
    {"-w -Unix a", "go a", "newlines=1"},    {"-private a", "go a", "private_cache=1"},
    {"-Verbose a", "go a", "verbose=1"},
    // Values. -cache points cachePath at the argument and leaves cache_name.
    {"-c /x/cache a", "go a", "cachePath=/x/cache"}, {"-c /x/cache a", "go a", "cache_name=dnscache"},
    {"-cache -x a", "go a", "cachePath=-x"},  {"-cache", "bad -cache", ""},
    {"-d 86400 a", "go a", "divisor=86400"},  {"-divisor 0 a", "bad -divisor", ""}, {"-d 86401 a", "bad -d", ""},
    {"-d 4294967356 a", "bad -d", ""},        {"-d x5 a", "bad -d", "divisor=60"},
    {"-failed 0 a", "go a", "expire_failed=0"}, {"-f 366 a", "go a", "expire_failed=42"},
    {"-good 0 a", "go a", "expire_good=126"}, {"-g 365 a", "go a", "expire_good=365"},
    {"-g 366 a", "go a", "expire_good=126"},  {"-i 120 a", "go a", "interrupt=120"},
    {"-i 121 a", "bad -i", "interrupt=30"},   {"-l 7 a", "go a", "level=7"}, {"-level 12 a", "bad -level", "level=9"},
    {"-l x a", "bad -l", ""},                 {"-l '' a", "bad -l", ""},  {"-o 5 a", "go a", "offset=5"},
    {"-offset -5 a", "bad -offset", "offset=0"}, {"-retry 35 a", "go a", "retry_failed=35"},
    {"-r 36 a", "go a", "retry_failed=4"},    {"-r 0 a", "go a", "retry_failed=4"}, {"-z 7 a", "go a", "wait_ticks=7"},
    {"-Z 121 a", "go a", "wait_ticks=120"},   {"-z", "bad -z", ""}, {"-zz 7 a", "bad -zz", ""},
    {"-INTERRUPT 9 a", "go a", "interrupt=9"}, {"-dns 5 a", "bad -dns", ""}, {"-lev 3 a", "go a", "level=3"},
    // Unlisted words, settings included (the driver takes it as the first pair).
    {"-s x.cfg a", "bad -s", ""}, {"-t -settings x.cfg a", "bad -settings", ""}, {"-x a", "bad -x", ""},
    {"-sfoo x.cfg a", "bad -sfoo", ""},
    {"-- a", "bad --", ""},       {"-1 a", "bad -1", ""},
    // Usage requests and an empty list.
    {"-h a", "usage", ""}, {"-HELP", "usage", ""}, {"-he a", "usage", ""}, {"-? -x a", "usage", ""},
    {"-hx a", "bad -hx", ""}, {"-?? a", "bad -??", ""}, {"", "usage", ""},
    {"-t", "usage", "translate=1"}, {"-d 5", "usage", "divisor=5"},
    // The file list starts at the first non-option.
    {"-t a -v b", "go a -v b", "verbose=0"}, {"- -t", "go - -t", "translate=0"}, {"-v - b", "go - b", "verbose=1"},
};

TEST_F(SettingsTest, CommandLines) {
  for (auto& c : kCommandCases) {
    SettingsDefaults();
    std::vector<string> storage = Words(string("logvane ") + c[0]), want = Words(c[1]);
    std::vector<char*> vec;
    for (string& s : storage) vec.push_back(&s[0]);
    vec.push_back(nullptr);
    int argc = (int)storage.size(), outcome = -1;
    char** argv = vec.data();
    const char* bad = nullptr;
    EXPECT_EQ(tu::Stdout([&] { outcome = ParseCommandLine(&argc, &argv, &bad); }), "") << c[0];
    const char* outcomes[] = {"go", "usage", "bad"};
    EXPECT_EQ(outcomes[outcome], want[0]) << c[0];
    Check(c[2], c[0]);
    want.erase(want.begin());
    std::vector<string> got;
    if (outcome == PARSE_INVALID) got = {bad};
    // Options were dropped from the front; the slot before the names remains.
    if (outcome == PARSE_PROCEED) {
      got.assign(argv + 1, argv + argc);
      EXPECT_EQ(argv + argc, &vec.back()) << c[0];
    }
    EXPECT_EQ(got, want) << c[0];
    EXPECT_TRUE(strcmp(c[0], "-c /x/cache a") || cachePath == vec[2]) << c[0];  // the argument itself
  }
}

TEST_F(SettingsTest, UsageText) {
  string expected = tu::Slurp(string(LOGVANE_SOURCE_DIR) + "/tests/src/usage.txt");
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(tu::Stdout([] { PrintUsage(nullptr); }), expected);
  EXPECT_EQ(tu::Stdout([] { PrintUsage("-q"); }), "Command line argument '-q' is invalid!\n" + expected);
}

}  // namespace
