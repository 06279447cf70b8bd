// Settings: configuration file lines, command-line options and the usage text.
#include "src/Settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/MemoryPool.h"

static bool mp_once = (MPInit(), true);

namespace {

using std::string;

// Every field as text, so one table can check any of them.
string Field(const string& name) {
  static const std::map<string, std::function<string()>> fields = {
      {"compress", [] { return std::to_string(Settings.compress); }},
      {"level", [] { return std::to_string(Settings.level); }},
      {"interrupt", [] { return std::to_string(Settings.interrupt); }},
      {"offset", [] { return std::to_string(Settings.offset); }},
      {"divisor", [] { return std::to_string(Settings.divisor); }},
      {"cache_name", [] { return string(Settings.cache_name); }},
      {"translate", [] { return std::to_string(Settings.translate); }},
      {"verbose", [] { return std::to_string(Settings.verbose); }},
      {"private_cache", [] { return std::to_string(Settings.private_cache); }},
      {"delete_input", [] { return std::to_string(Settings.delete_input); }},
      {"exchange", [] { return std::to_string(Settings.exchange); }},
      {"newlines", [] { return std::to_string(Settings.newlines); }},
      {"expire_good", [] { return std::to_string(Settings.expire_good); }},
      {"expire_failed", [] { return std::to_string(Settings.expire_failed); }},
      {"retry_failed", [] { return std::to_string(Settings.retry_failed); }},
      {"wait_ticks", [] { return std::to_string(Settings.wait_ticks); }},
      {"dns_servers", [] { return string(Settings.dns_servers); }},
      {"dns_timeout", [] { return std::to_string(Settings.dns_timeout); }},
      {"dns_tries", [] { return std::to_string(Settings.dns_tries); }},
      {"dns_inflight", [] { return std::to_string(Settings.dns_inflight); }},
      {"cachePath", [] { return string(cachePath); }},
  };
  auto it = fields.find(name);
  if (it == fields.end()) ADD_FAILURE() << "no field " << name;
  return it == fields.end() ? string() : it->second();
}

string Invalid(const string& line) {
  return "Invalid configuration line '" + line + "'!\n";
}

class SettingsTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/lv-settings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
  void SetUp() override { SettingsDefaults(); }

  static string WriteFile(const string& name, const string& text) {
    string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // Reads text as a configuration file; returns what was printed.
  static string ReadConfig(const string& text) {
    string path = WriteFile("logvane.cfg", text);
    testing::internal::CaptureStdout();
    ReadSettingsFile(path.c_str());
    return testing::internal::GetCapturedStdout();
  }

  static string dir_;
};
string SettingsTest::dir_;

TEST_F(SettingsTest, Defaults) {
  const std::vector<std::pair<string, string>> want = {
      {"compress", "1"},      {"level", "9"},          {"interrupt", "30"},
      {"offset", "0"},        {"divisor", "60"},       {"cache_name", "dnscache"},
      {"translate", "0"},     {"verbose", "0"},        {"private_cache", "0"},
      {"delete_input", "0"},  {"exchange", "0"},       {"newlines", "1"},
      {"expire_good", "84"},  {"expire_failed", "126"}, {"retry_failed", "4"},
      {"wait_ticks", "0"},    {"dns_servers", ""},     {"dns_timeout", "0"},
      {"dns_tries", "0"},     {"dns_inflight", "100"}, {"cachePath", "dnscache"},
  };
  for (const auto& [field, value] : want) EXPECT_EQ(Field(field), value) << field;
  EXPECT_EQ(cachePath, Settings.cache_name);
}

TEST_F(SettingsTest, ParseFlag) {
  struct Case {
    const char* text;
    bool ok;
    uint8_t want;
  };
  const Case cases[] = {
      {"yes", true, 1}, {"on", true, 1},   {"no", true, 0},    {"off", true, 0},
      {"YES", false, 7}, {"On", false, 7}, {"yes ", false, 7}, {"1", false, 7},
      {"", false, 7},    {"y", false, 7},
  };
  for (const Case& c : cases) {
    uint8_t field = 7;
    EXPECT_EQ(ParseFlag(c.text, &field), c.ok) << c.text;
    EXPECT_EQ(field, c.want) << c.text;
  }
}

struct FileCase {
  const char* text;    // configuration file contents
  const char* field;
  const char* want;
  const char* output;  // everything printed
};

const FileCase kFileCases[] = {
    // Flags.
    {"translate yes\n", "translate", "1", ""},
    {"translate on\ntranslate off\n", "translate", "0", ""},
    {"translate Yes\n", "translate", "0", "Invalid configuration line 'translate Yes'!\n"},
    {"verbose on\n", "verbose", "1", ""},
    {"private yes\n", "private_cache", "1", ""},
    {"exchange on\n", "exchange", "1", ""},
    {"delete-input yes\n", "delete_input", "1", ""},
    // Word values, case-sensitive.
    {"compress bzip2\n", "compress", "2", ""},
    {"compress no\n", "compress", "0", ""},
    {"compress bzip2\ncompress gzip\n", "compress", "1", ""},
    {"compress no\ncompress yes\n", "compress", "1", ""},
    {"compress no\ncompress on\n", "compress", "1", ""},
    {"compress bzip2\ncompress GZIP\n", "compress", "2",
     "Invalid configuration line 'compress GZIP'!\n"},
    {"newlines mac\n", "newlines", "0", ""},
    {"newlines dos\n", "newlines", "2", ""},
    {"newlines dos\nnewlines unix\n", "newlines", "1", ""},
    {"newlines Unix\n", "newlines", "1", "Invalid configuration line 'newlines Unix'!\n"},
    // level: the first digit only.
    {"level 12\n", "level", "1", ""},
    {"level 0\n", "level", "0", ""},
    {"level x\n", "level", "9", "Invalid configuration line 'level x'!\n"},
    {"level -1\n", "level", "9", "Invalid configuration line 'level -1'!\n"},
    // Numbers: fallbacks on out of range, field kept when malformed.
    {"interrupt 120\n", "interrupt", "120", ""},
    {"interrupt 5\ninterrupt 121\n", "interrupt", "30",
     "Invalid configuration line 'interrupt 121'!\n"},
    {"interrupt x\n", "interrupt", "30", "Invalid configuration line 'interrupt x'!\n"},
    {"offset -5\n", "offset", "-5", ""},
    {"offset 7x\n", "offset", "7", ""},
    {"offset +5\n", "offset", "0", "Invalid configuration line 'offset +5'!\n"},
    {"divisor 86400\n", "divisor", "86400", ""},
    {"divisor 5\ndivisor 0\n", "divisor", "60", "Invalid configuration line 'divisor 0'!\n"},
    {"divisor 5\ndivisor 86401\n", "divisor", "60",
     "Invalid configuration line 'divisor 86401'!\n"},
    {"divisor 5\ndivisor 4294967297\n", "divisor", "60",
     "Invalid configuration line 'divisor 4294967297'!\n"},
    {"divisor -5\n", "divisor", "60", "Invalid configuration line 'divisor -5'!\n"},
    {"expire-good 365\n", "expire_good", "365", ""},
    {"expire-good 0\n", "expire_good", "126", "Invalid configuration line 'expire-good 0'!\n"},
    {"expire-good 366\n", "expire_good", "126",
     "Invalid configuration line 'expire-good 366'!\n"},
    {"expire-failed 0\n", "expire_failed", "0", ""},
    {"expire-failed 366\n", "expire_failed", "42",
     "Invalid configuration line 'expire-failed 366'!\n"},
    {"retry-failed 35\n", "retry_failed", "35", ""},
    {"retry-failed 9\nretry-failed 0\n", "retry_failed", "4",
     "Invalid configuration line 'retry-failed 0'!\n"},
    {"retry-failed 36\n", "retry_failed", "4", "Invalid configuration line 'retry-failed 36'!\n"},
    {"wait-ticks 0\n", "wait_ticks", "0", ""},
    {"wait-ticks 121\n", "wait_ticks", "120", "Invalid configuration line 'wait-ticks 121'!\n"},
    // cache: any text, trailing blanks kept.
    {"cache /var/lib/dns cache  \n", "cache_name", "/var/lib/dns cache  ", ""},
    // Resolver keywords: out of range leaves the field as it was.
    {"dns-servers 127.0.0.1:5353,[::1]:53\n", "dns_servers", "127.0.0.1:5353,[::1]:53", ""},
    {"dns-servers not a list\n", "dns_servers", "not a list", ""},
    {"dns-timeout 1\n", "dns_timeout", "1", ""},
    {"dns-timeout 60000\n", "dns_timeout", "60000", ""},
    {"dns-timeout 500\ndns-timeout 0\n", "dns_timeout", "500",
     "Invalid configuration line 'dns-timeout 0'!\n"},
    {"dns-timeout 60001\n", "dns_timeout", "0", "Invalid configuration line 'dns-timeout 60001'!\n"},
    {"dns-timeout 1s\n", "dns_timeout", "1", ""},
    {"dns-timeout s1\n", "dns_timeout", "0", "Invalid configuration line 'dns-timeout s1'!\n"},
    {"dns-tries 10\n", "dns_tries", "10", ""},
    {"dns-tries 3\ndns-tries 11\n", "dns_tries", "3", "Invalid configuration line 'dns-tries 11'!\n"},
    {"dns-tries 0\n", "dns_tries", "0", "Invalid configuration line 'dns-tries 0'!\n"},
    {"dns-inflight 10000\n", "dns_inflight", "10000", ""},
    {"dns-inflight 10001\n", "dns_inflight", "100",
     "Invalid configuration line 'dns-inflight 10001'!\n"},
    {"dns-inflight 0\n", "dns_inflight", "100", "Invalid configuration line 'dns-inflight 0'!\n"},
    {"dns-inflight -1\n", "dns_inflight", "100", "Invalid configuration line 'dns-inflight -1'!\n"},
    // Line shapes.
    {"Translate yes\n", "translate", "0", "Invalid configuration line 'Translate yes'!\n"},
    {"translate\n", "translate", "0", "Invalid configuration line 'translate '!\n"},
    {"translate   \n", "translate", "0", "Invalid configuration line 'translate '!\n"},
    {"translate yes \n", "translate", "0", "Invalid configuration line 'translate yes '!\n"},
    {" translate yes\n", "translate", "0", "Invalid configuration line ' translate yes'!\n"},
    {"\ntranslate yes\n", "translate", "1", "Invalid configuration line ' '!\n"},
    {"translate\tyes\n", "translate", "1", ""},
    {"translate \t yes\n", "translate", "1", ""},
    {"# translate yes\n", "translate", "0", ""},
    {"#\n", "translate", "0", ""},
    {"verbose yes\r\ntranslate yes\r\n", "translate", "1", ""},
    {"verbose yes\r\ntranslate yes\r\n", "verbose", "1", ""},
    {"translate yes", "translate", "1", ""},
    {"bogus 1\ntranslate yes\n", "translate", "1", "Invalid configuration line 'bogus 1'!\n"},
};

TEST_F(SettingsTest, ConfigurationLines) {
  for (const FileCase& c : kFileCases) {
    SettingsDefaults();
    string out = ReadConfig(c.text);
    EXPECT_EQ(Field(c.field), c.want) << "config: " << c.text;
    EXPECT_EQ(out, c.output) << "config: " << c.text;
  }
}

// A server list as long as the line buffer allows is taken whole; a longer one
// is cut by the reader and then refused rather than used in part.
TEST_F(SettingsTest, DnsServersLengthLimit) {
  string fits = string("dns-servers ") + string(242, '1');
  ASSERT_EQ(fits.size(), 254u);
  EXPECT_EQ(ReadConfig(fits + "\n"), "");
  EXPECT_EQ(Field("dns_servers"), string(242, '1'));

  SettingsDefaults();
  ReadConfig("dns-servers 127.0.0.1\n");
  string out = ReadConfig(fits + "2\ntranslate yes\n");
  EXPECT_NE(out.find("too long"), string::npos) << out;
  EXPECT_NE(out.find(Invalid("dns-servers " + string(242, '1'))), string::npos) << out;
  EXPECT_EQ(Field("dns_servers"), "127.0.0.1");
  EXPECT_EQ(Field("translate"), "1");
}

TEST_F(SettingsTest, GzipConfigurationFile) {
  string path = WriteFile("gz.cfg", "# made by gzip\ntranslate yes\nlevel 3\nwait-ticks 7\n");
  ASSERT_EQ(system(("gzip -f '" + path + "'").c_str()), 0);
  testing::internal::CaptureStdout();
  ReadSettingsFile((path + ".gz").c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Settings.translate, 1);
  EXPECT_EQ(Settings.level, 3);
  EXPECT_EQ(Settings.wait_ticks, 7);
}

TEST_F(SettingsTest, MissingFileKeepsDefaults) {
  testing::internal::CaptureStdout();
  ReadSettingsFile((dir_ + "/no-such.cfg").c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Settings.level, 9);
  EXPECT_STREQ(Settings.cache_name, "dnscache");
}

struct CommandCase {
  std::vector<const char*> args;  // after the program-name slot
  int outcome;
  const char* bad;                // PARSE_INVALID: the option named
  const char* field;              // null: no field check
  const char* want;
  std::vector<const char*> files; // PARSE_PROCEED: names left
};

const CommandCase kCommandCases[] = {
    // Switches, letter folded, rest of the word ignored.
    {{"-t", "a.log"}, PARSE_PROCEED, nullptr, "translate", "1", {"a.log"}},
    {{"-T", "a.log"}, PARSE_PROCEED, nullptr, "translate", "1", {"a.log"}},
    {{"-translate", "a.log"}, PARSE_PROCEED, nullptr, "translate", "1", {"a.log"}},
    {{"-TRANSLATE", "a.log"}, PARSE_PROCEED, nullptr, "translate", "1", {"a.log"}},
    {{"-b", "a"}, PARSE_PROCEED, nullptr, "compress", "2", {"a"}},
    {{"-b", "-normal", "a"}, PARSE_PROCEED, nullptr, "compress", "0", {"a"}},
    {{"-e", "a"}, PARSE_PROCEED, nullptr, "exchange", "1", {"a"}},
    {{"-kill", "a"}, PARSE_PROCEED, nullptr, "delete_input", "1", {"a"}},
    {{"-mac", "a"}, PARSE_PROCEED, nullptr, "newlines", "0", {"a"}},
    {{"-windows", "a"}, PARSE_PROCEED, nullptr, "newlines", "2", {"a"}},
    {{"-w", "-Unix", "a"}, PARSE_PROCEED, nullptr, "newlines", "1", {"a"}},
    {{"-private", "a"}, PARSE_PROCEED, nullptr, "private_cache", "1", {"a"}},
    {{"-Verbose", "a"}, PARSE_PROCEED, nullptr, "verbose", "1", {"a"}},
    // Values.
    {{"-c", "/x/cache", "a"}, PARSE_PROCEED, nullptr, "cachePath", "/x/cache", {"a"}},
    {{"-cache", "-x", "a"}, PARSE_PROCEED, nullptr, "cachePath", "-x", {"a"}},
    {{"-cache"}, PARSE_INVALID, "-cache", nullptr, nullptr, {}},
    {{"-d", "86400", "a"}, PARSE_PROCEED, nullptr, "divisor", "86400", {"a"}},
    {{"-divisor", "0", "a"}, PARSE_INVALID, "-divisor", nullptr, nullptr, {}},
    {{"-d", "86401", "a"}, PARSE_INVALID, "-d", nullptr, nullptr, {}},
    {{"-d", "4294967356", "a"}, PARSE_INVALID, "-d", nullptr, nullptr, {}},
    {{"-d", "x5", "a"}, PARSE_INVALID, "-d", "divisor", "60", {}},
    {{"-failed", "0", "a"}, PARSE_PROCEED, nullptr, "expire_failed", "0", {"a"}},
    {{"-f", "366", "a"}, PARSE_PROCEED, nullptr, "expire_failed", "42", {"a"}},
    {{"-good", "0", "a"}, PARSE_PROCEED, nullptr, "expire_good", "126", {"a"}},
    {{"-g", "365", "a"}, PARSE_PROCEED, nullptr, "expire_good", "365", {"a"}},
    {{"-g", "366", "a"}, PARSE_PROCEED, nullptr, "expire_good", "126", {"a"}},
    {{"-i", "120", "a"}, PARSE_PROCEED, nullptr, "interrupt", "120", {"a"}},
    {{"-i", "121", "a"}, PARSE_INVALID, "-i", "interrupt", "30", {}},
    {{"-l", "7", "a"}, PARSE_PROCEED, nullptr, "level", "7", {"a"}},
    {{"-level", "12", "a"}, PARSE_INVALID, "-level", "level", "9", {}},
    {{"-l", "x", "a"}, PARSE_INVALID, "-l", nullptr, nullptr, {}},
    {{"-l", "", "a"}, PARSE_INVALID, "-l", nullptr, nullptr, {}},
    {{"-o", "5", "a"}, PARSE_PROCEED, nullptr, "offset", "5", {"a"}},
    {{"-offset", "-5", "a"}, PARSE_INVALID, "-offset", "offset", "0", {}},
    {{"-retry", "35", "a"}, PARSE_PROCEED, nullptr, "retry_failed", "35", {"a"}},
    {{"-r", "36", "a"}, PARSE_PROCEED, nullptr, "retry_failed", "4", {"a"}},
    {{"-r", "0", "a"}, PARSE_PROCEED, nullptr, "retry_failed", "4", {"a"}},
    {{"-z", "7", "a"}, PARSE_PROCEED, nullptr, "wait_ticks", "7", {"a"}},
    {{"-Z", "121", "a"}, PARSE_PROCEED, nullptr, "wait_ticks", "120", {"a"}},
    {{"-z"}, PARSE_INVALID, "-z", nullptr, nullptr, {}},
    // Unlisted letters, s included.
    {{"-s", "x.cfg", "a"}, PARSE_INVALID, "-s", nullptr, nullptr, {}},
    {{"-t", "-settings", "x.cfg", "a"}, PARSE_INVALID, "-settings", nullptr, nullptr, {}},
    {{"-x", "a"}, PARSE_INVALID, "-x", nullptr, nullptr, {}},
    {{"--", "a"}, PARSE_INVALID, "--", nullptr, nullptr, {}},
    {{"-1", "a"}, PARSE_INVALID, "-1", nullptr, nullptr, {}},
    // Usage requests and an empty list.
    {{"-h", "a"}, PARSE_USAGE, nullptr, nullptr, nullptr, {}},
    {{"-HELP"}, PARSE_USAGE, nullptr, nullptr, nullptr, {}},
    {{"-?", "-x", "a"}, PARSE_USAGE, nullptr, nullptr, nullptr, {}},
    {{}, PARSE_USAGE, nullptr, nullptr, nullptr, {}},
    {{"-t"}, PARSE_USAGE, nullptr, "translate", "1", {}},
    {{"-d", "5"}, PARSE_USAGE, nullptr, "divisor", "5", {}},
    // The file list starts at the first non-option.
    {{"-t", "a", "-v", "b"}, PARSE_PROCEED, nullptr, "verbose", "0", {"a", "-v", "b"}},
    {{"-", "-t"}, PARSE_PROCEED, nullptr, "translate", "0", {"-", "-t"}},
    {{"-v", "-", "b"}, PARSE_PROCEED, nullptr, "verbose", "1", {"-", "b"}},
};

string Describe(const CommandCase& c) {
  std::ostringstream s;
  for (const char* a : c.args) s << " '" << a << "'";
  return "args:" + s.str();
}

TEST_F(SettingsTest, CommandLines) {
  for (const CommandCase& c : kCommandCases) {
    SettingsDefaults();
    std::vector<string> storage = {"logvane"};
    for (const char* a : c.args) storage.push_back(a);
    std::vector<char*> vec;
    for (string& s : storage) vec.push_back(&s[0]);
    vec.push_back(nullptr);
    int argc = (int)storage.size();
    char** argv = vec.data();
    const char* bad = nullptr;

    testing::internal::CaptureStdout();
    int outcome = ParseCommandLine(&argc, &argv, &bad);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << Describe(c);

    EXPECT_EQ(outcome, c.outcome) << Describe(c);
    if (c.outcome == PARSE_INVALID) {
      EXPECT_STREQ(bad, c.bad) << Describe(c);
    }
    if (c.field) {
      EXPECT_EQ(Field(c.field), c.want) << Describe(c);
    }
    if (c.outcome != PARSE_PROCEED) continue;
    // Options were dropped from the front; the slot before the names remains.
    ASSERT_EQ(argc, (int)c.files.size() + 1) << Describe(c);
    EXPECT_EQ(argv + argc, vec.data() + storage.size()) << Describe(c);
    for (size_t i = 0; i < c.files.size(); i++) EXPECT_STREQ(argv[i + 1], c.files[i]) << Describe(c);
  }
}

TEST_F(SettingsTest, CacheOptionUsesArgumentInPlace) {
  char prog[] = "logvane", opt[] = "-cache", name[] = "my.cache", log[] = "a.log";
  char* vec[] = {prog, opt, name, log, nullptr};
  int argc = 4;
  char** argv = vec;
  const char* bad = nullptr;
  ASSERT_EQ(ParseCommandLine(&argc, &argv, &bad), PARSE_PROCEED);
  EXPECT_EQ(cachePath, name);
  EXPECT_STREQ(Settings.cache_name, "dnscache");
}

string ReadExpectedUsage() {
  std::ifstream in(string(LOGVANE_SOURCE_DIR) + "/tests/src/usage.txt", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(SettingsTest, UsageText) {
  string expected = ReadExpectedUsage();
  ASSERT_FALSE(expected.empty());

  testing::internal::CaptureStdout();
  PrintUsage(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);

  testing::internal::CaptureStdout();
  PrintUsage("-q");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Command line argument '-q' is invalid!\n" + expected);
}

}  // namespace
