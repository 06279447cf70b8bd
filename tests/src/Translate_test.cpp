#include "src/Translate.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "common/UnixFileSpec.h"
#include "tests/common/TestUtil.h"

namespace {

namespace fs = std::filesystem;
using tu::ReadBack;
using tu::Slurp;
using tu::Spit;

long VmRSSKiB() {
  std::string status = Slurp("/proc/self/status");
  return atol(status.c_str() + status.find("VmRSS:") + 6);
}

int OpenFds() { return (int)std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); }

class TranslateTest : public tu::HostTableTest {
 protected:
  void SetUp() override {
    HostTableTest::SetUp();
    Add("1.2.3.4", "a.example"), Add("10.0.0.1", "b.example"), Add("5.6.7.8", "*"), Add("9.9.9.9", nullptr);
    Add6("2001:db8::1", "six.example"), Add6("64:ff9b::a00:1", "nat.example"), Add6("fe80::1", "link.example");
    Add6("2001:db8::5", "*");
  }
  // Runs the pass; its messages go to said.
  bool Run(const std::string& path) {
    bool ok = false;
    said = tu::Stdout([&] { ok = TranslateLog(path.c_str()); });
    return ok;
  }
  // Translates data with no compression and returns the output.
  std::string Plain(const std::string& data) {
    Settings.compress = COMPRESS_NONE;
    Spit(in, data);
    EXPECT_TRUE(Run(in));
    return Slurp(in + ".out");
  }
  template <class Row>
  static const char* Suffix(const Row& r) {
    return r.exchange ? ".$$$" : r.kind == COMPRESS_GZIP ? ".gz" : r.kind == COMPRESS_BZIP2 ? ".bz2" : ".out";
  }
  tu::TempDir dir;
  std::string in = dir / "log", said;
};

const char* Named(const HostEntry* e) { return e && HostNamed(e) ? e->domain : nullptr; }

// What an IPv6 address found in the text is written as.
std::string Written6(const IP6Match& m) {
  uint32_t v4;
  void* item = nullptr;
  const Host6Entry* e6 = Host6Find(&m.key);
  const char* name = IP6Mapped(&m.key, &v4) ? (HashFind(hostTable, &v4, &item), Named((HostEntry*)item))
                                             : Named(e6 ? &e6->entry : nullptr);
  return name ? name : std::string(m.start, m.end);
}

// Straightforward model of the rewriting over the whole text at once.
std::string Reference(const std::string& text, const std::string& nl) {
  const std::string s = std::string(8, '\0') + text;  // the finders look back
  std::string out;
  for (size_t i = 8; i < s.size();) {
    char c = s[i];
    IP6Match m;
    if (c == '\r' || c == '\n') {
      out += nl;
      i += c == '\r' && i + 1 < s.size() && s[i + 1] == '\n' ? 2 : 1;
    } else if (c == ':' && Settings.ipv6 && IP6Find(&s[i], s.c_str() + s.size(), true, &m) == IP6_FOUND) {
      out.resize(out.size() - (&s[i] - m.start));  // its hex digits were copied already
      out += Written6(m);
      i = m.end - s.c_str();
    } else if (c >= '0' && c <= '9') {
      size_t j = i;
      while (j < s.size() && ((s[j] >= '0' && s[j] <= '9') || s[j] == '.')) j++;
      std::string run = s.substr(i, j - i);
      uint32_t key;
      void* item = nullptr;
      bool named = !(Settings.skip_versions && IPVersionQuad(&s[i])) && IPParse(run.c_str(), &key) &&
                   HashFind(hostTable, &key, &item) && HostNamed((HostEntry*)item);
      out += named ? ((HostEntry*)item)->domain : run;
      i = j;
    } else {
      out += c, i++;
    }
  }
  return out;
}

TEST_F(TranslateTest, ReplacementRules) {
  struct { std::string in, out; } rows[] = {
      {"1.2.3.4 - - x 10.0.0.1\n", "a.example - - x b.example\n"},
      {"host1.2.3.4 x1.2.3.4y\n", "hosta.example xa.exampley\n"},
      {"1.2.3.4:8080 .1.2.3.4\n", "a.example:8080 .a.example\n"},
      {"001.02.3.4\n", "a.example\n"},
      {"1.2.3.4. 1.2.3.4.5 1.2.3.1234 1234.1.2.3\n", "1.2.3.4. 1.2.3.4.5 1.2.3.1234 1234.1.2.3\n"},
      {"5.6.7.8 9.9.9.9 11.11.11.11 1.2.3\n", "5.6.7.8 9.9.9.9 11.11.11.11 1.2.3\n"},
      {std::string("a\0b 1.2.3.4\0\n", 13), std::string("a\0b a.example\0\n", 15)},
      {"last 1.2.3.4", "last a.example"},
  };
  std::string all_in, all_out;
  for (auto& r : rows) {
    EXPECT_EQ(Plain(r.in), r.out) << r.in;
    all_in += r.in, all_out += r.out;
  }
  Settings.verbose = 1;
  EXPECT_EQ(Plain(all_in), all_out);
  // Only whole addresses count: 12, of which the failed, pending and unknown ones are unresolved.
  EXPECT_EQ(said, "Translating '" + in + "'\nTranslated 9 IPs, 3 unresolved, 7 lines in 0:00!\n");
}

// With ipv6 on: each spelling replaced whole, brackets, ports and zones kept;
// with it off exactly the IPv4 rule.
TEST_F(TranslateTest, IPv6Addresses) {
  struct { std::string in, out; } rows[] = {
      {"2001:db8::1 - - x\n", "six.example - - x\n"},
      {"2001:DB8:0:0:0:0:0:1 2001:0db8::0001 2001:db8:0::1\n", "six.example six.example six.example\n"},
      {"[2001:db8::1]:8443 http://[2001:db8::1]/p\n", "[six.example]:8443 http://[six.example]/p\n"},
      {"::ffff:1.2.3.4 ::FFFF:0102:0304\n", "a.example a.example\n"},
      {"64:ff9b::10.0.0.1 64:ff9b::a00:1\n", "nat.example nat.example\n"},
      {"fe80::1%eth0 (fe80::1)\n", "link.example%eth0 (link.example)\n"},
      {"1.2.3.4,2001:db8::1;10.0.0.1\n", "a.example,six.example;b.example\n"},
      {"::1.2.3.4 1:2:3:4:5:6:7:1.2.3.4\n", "::1.2.3.4 1:2:3:4:5:6:7:a.example\n"},
      {"10:15:30 [06/Dec/2024:11:00:00 +0000] 00:1a:2b:3c:4d:5e :: 0:0::0\n",
       "10:15:30 [06/Dec/2024:11:00:00 +0000] 00:1a:2b:3c:4d:5e :: 0:0::0\n"},
      {"x2001:db8::1 2001:db8::1g 2001:db8::1. 12001:db8::1 ::1:2:3:4:5:6:7:8\n",
       "x2001:db8::1 2001:db8::1g 2001:db8::1. 12001:db8::1 ::1:2:3:4:5:6:7:8\n"},
      {"2001:db8::5 2001:db8::7 ::ffff:5.6.7.8 https://x/\n", "2001:db8::5 2001:db8::7 ::ffff:5.6.7.8 https://x/\n"},
      {"last 2001:db8::1", "last six.example"},
  };
  std::string all_in, all_out;
  for (auto& r : rows) {
    Settings.ipv6 = 0;
    EXPECT_EQ(Plain(r.in), Reference(r.in, "\n")) << r.in;
    Settings.ipv6 = 1;
    EXPECT_EQ(Plain(r.in), r.out) << r.in;
    all_in += r.in, all_out += r.out;
  }
  Settings.verbose = 1;
  EXPECT_EQ(Plain(all_in), all_out);
  EXPECT_EQ(said, "Translating '" + in + "'\nTranslated 17 IPs, 4 unresolved, 11 lines in 0:00!\n");
}

// Versions in user agents of real browsers and bots stay; hosts in URLs do not.
TEST_F(TranslateTest, VersionStrings) {
  Add("120.0.0.0", "v.example"), Add("80.1.4.0", "v.example"), Add("4.0.0.0", "v.example");
  struct { std::string in, out; } rows[] = {
      {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
       "Safari/537.36 Edg/120.0.0.0", ""},
      {"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/120.0.0.0 Safari/537.36 OPR/80.1.4.0", ""},
      {"Mozilla/5.0 (compatible; YandexBot/3.0; +http://yandex.com/bots) Crawler/4.0.0.0", ""},
      {"curl/7.1.2.3 agent v1.2.3.4 (V1.2.3.4) build-v1.2.3.4", ""},
      {"http://1.2.3.4/x //10.0.0.1/ from 1.2.3.4 via rev1.2.3.4 path /1.2.3.4",
       "http://a.example/x //b.example/ from a.example via reva.example path /a.example"},
  };
  for (auto& r : rows) {
    Settings.skip_versions = 1;
    EXPECT_EQ(Plain(r.in), r.out.empty() ? r.in : r.out) << r.in;
    Settings.skip_versions = 0;
    EXPECT_EQ(Plain(r.in), Reference(r.in, "\n")) << r.in;
  }
  EXPECT_EQ(Plain("Chrome/120.0.0.0"), "Chrome/v.example");
}

TEST_F(TranslateTest, NewlineStyles) {
  const std::string text = "a\r\nb\rc\nd\n\re";
  struct { int style; std::string out; } rows[] = {
      {NEWLINE_UNIX, "a\nb\nc\nd\n\ne"}, {NEWLINE_MAC, "a\rb\rc\rd\r\re"}, {NEWLINE_DOS, "a\r\nb\r\nc\r\nd\r\n\r\ne"}};
  for (auto& r : rows) {
    Settings.newlines = r.style;
    EXPECT_EQ(Plain(text), r.out) << r.style;
  }
}

// Line ends and addresses next to the look-ahead limit and the reader's refills.
TEST_F(TranslateTest, WindowBoundaries) {
  Add("120.0.0.0", "v.example");
  for (int k : {32745, 32746, 32750, 32751, 32752, 32753, 32754, 65499, 65506, 65530, 65535, 65536, 98290}) {
    SCOPED_TRACE(k);
    std::string pad(k, 'x');
    EXPECT_EQ(Plain(pad + "\r\ny\n"), pad + "\ny\n");
    EXPECT_EQ(Plain(pad + "1.2.3.4\n"), pad + "a.example\n");
    EXPECT_EQ(Plain(pad + "1.2.3.4.5\n"), pad + "1.2.3.4.5\n");
    EXPECT_EQ(Plain(pad + " 1.2.3.4:80"), pad + " a.example:80");
    Settings.ipv6 = 1;
    EXPECT_EQ(Plain(pad + " 2001:db8::1\n"), pad + " six.example\n");
    EXPECT_EQ(Plain(pad + " [2001:0db8:0000:0000:0000:0000:0000:0001]:80"), pad + " [six.example]:80");
    EXPECT_EQ(Plain(pad + " abcd:2001:db8::1\n"), pad + " abcd:2001:db8::1\n");
    // The rest makes the reader refill at the cut, so only its history shows what came before.
    const std::string rest = "\n" + std::string(40000, 'y');
    EXPECT_EQ(Plain(pad + "2001:db8::1" + rest), pad + "2001:db8::1" + rest);  // glued to the padding
    EXPECT_EQ(Plain(pad + " 2001:0db8:0000:0000:0000:0000:0000:0001" + rest), pad + " six.example" + rest);
    Settings.skip_versions = 1;
    EXPECT_EQ(Plain(pad + "Chrome/120.0.0.0" + rest), pad + "Chrome/120.0.0.0" + rest);
    Settings.ipv6 = Settings.skip_versions = 0;
  }
  // A digit run longer than the window is one run: no address inside it.
  std::string run;
  while (run.size() < 150000) run += "1.2.3.4.";
  EXPECT_EQ(Plain(run + "5 1.2.3.4\n"), run + "5 a.example\n");
  // Dots before a digit are text, unless a digit came first.
  const std::string dots(70000, '.');
  EXPECT_EQ(Plain(dots + "1.2.3.4\n"), dots + "a.example\n");
  EXPECT_EQ(Plain("7" + dots + "1.2.3.4\n"), "7" + dots + "1.2.3.4\n");
}

TEST_F(TranslateTest, MatchesReferenceOnRandomText) {
  const char* tokens[] = {"1.2.3.4", "10.0.0.1", "5.6.7.8", "9.9.9.9", "1.2.3.4.5", "x",         "abc ",
                          " ",       ":80",      ".",       "\r\n",    "\n",        "\r",        "123",
                          "0",       "..",       "1.",      ".5",      "12345",     "1.2",       "001.2.3.4",
                          "256.1.2.3", "0.0.0.0", "Chrome/124.0.0.0 ", "2001:db8::1", "[2001:DB8::1]:80",
                          "::ffff:1.2.3.4", "64:ff9b::a00:1", "fe80::1%", ":", "::", "ab", "2001", "10:15:30",
                          "v", "/", "::1"};
  const unsigned n = sizeof tokens / sizeof *tokens;
  std::mt19937 rng(7);
  struct { int style, ipv6, skip_versions; } passes[] = {
      {NEWLINE_UNIX, 0, 0}, {NEWLINE_MAC, 1, 1}, {NEWLINE_DOS, 1, 0}, {NEWLINE_UNIX, 0, 1}};
  for (auto [style, ipv6, skip_versions] : passes) {
    std::string text;
    while (text.size() < 1000000) {
      unsigned t = rng() % (n + 1);
      if (t == n) text += '\0';
      else if (rng() % 5000 == 0) text += std::string(40000, "y.7:a"[rng() % 5]);  // long runs
      else text += tokens[t];
    }
    Settings.newlines = style;
    Settings.ipv6 = (uint8_t)ipv6;
    Settings.skip_versions = (uint8_t)skip_versions;
    EXPECT_TRUE(Plain(text) == Reference(text, style == NEWLINE_UNIX ? "\n" : style == NEWLINE_MAC ? "\r" : "\r\n"))
        << "newline style " << style << " ipv6 " << ipv6 << " skip-versions " << skip_versions;
  }
}

// Real tools read the outputs; the level reaches the compressor; compressed input is read.
TEST_F(TranslateTest, CompressedOutputsAndLevels) {
  Spit(in, "1.2.3.4 GET /\r\n10.0.0.1 GET /x\n");
  const std::string want = "a.example GET /\nb.example GET /x\n";
  struct { int level, xfl; char block; } rows[] = {{9, 2, '9'}, {1, 4, '1'}, {0, 0, '1'}, {5, 0, '5'}};
  for (auto& r : rows) {
    SCOPED_TRACE(r.level);
    Settings.level = r.level;
    Settings.compress = COMPRESS_GZIP;
    ASSERT_TRUE(Run(in));
    std::string g = Slurp(in + ".gz");
    ASSERT_EQ(g[3], 0);  // no optional header fields: the first block starts at 10
    if (r.level == 0)
      EXPECT_EQ((g[10] >> 1) & 3, 0) << "stored block expected";
    else
      EXPECT_EQ(g[8], r.xfl);
    EXPECT_EQ(tu::Unpack("gzip", in + ".gz"), want);
    Settings.compress = COMPRESS_BZIP2;
    ASSERT_TRUE(Run(in));
    EXPECT_EQ(Slurp(in + ".bz2").substr(0, 4), std::string("BZh") + r.block);
    EXPECT_EQ(tu::Unpack("bzip2", in + ".bz2"), want);
  }
  EXPECT_EQ(Slurp(in), "1.2.3.4 GET /\r\n10.0.0.1 GET /x\n");  // input kept
  ASSERT_TRUE(tu::Sh(dir.path, "gzip -c log > z"));
  Settings.compress = COMPRESS_NONE;
  ASSERT_TRUE(Run(dir / "z"));
  EXPECT_EQ(Slurp(dir / "z.out"), want);
}

TEST_F(TranslateTest, ExchangeAndDelete) {
  Spit(in, "1.2.3.4 x\r\n");
  chmod(in.c_str(), 0640);
  Settings.exchange = 1;
  ASSERT_TRUE(Run(in));
  EXPECT_EQ(Slurp(in).substr(0, 3), "\x1f\x8b\x08");
  EXPECT_EQ(ReadBack(in), "a.example x\n");
  EXPECT_FALSE(fs::exists(in + ".$$$"));
  struct stat st;
  ASSERT_EQ(stat(in.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  Settings.exchange = 0;
  Settings.delete_input = 1;
  EXPECT_EQ(Plain("10.0.0.1\n"), "b.example\n");
  EXPECT_FALSE(fs::exists(in));
}

TEST_F(TranslateTest, MissingInputAndLongNames) {
  Settings.verbose = 1;
  std::string missing = dir / "nope";
  EXPECT_FALSE(Run(missing));
  EXPECT_EQ(said, "Translating '" + missing + "'\nError opening input file '" + missing + "'.\n");
  EXPECT_FALSE(fs::exists(missing + ".gz"));
  Settings.verbose = 0;
  std::string longer = dir.path + "/";
  while (longer.size() < 300) longer += "./";
  in = longer + "log";
  EXPECT_EQ(Plain("1.2.3.4\n"), "a.example\n");
  EXPECT_FALSE(Run(dir / std::string(5000, 'n')));  // beyond the path limit: refused, never overflowing
}

// A full disk, for every output kind, with and without exchange and workers
// (more than one block of each kind): a failure, no output left behind, and
// the input untouched even with delete_input.
TEST_F(TranslateTest, FullDisk) {
  tu::Tmpfs full(dir / "full", "size=6m");
  if (!full.mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string data = tu::Noise(5 << 20);
  in = full.dir + "/log";
  for (int exchange : {0, 1})
    for (int kind : {COMPRESS_NONE, COMPRESS_GZIP, COMPRESS_BZIP2})
      for (int threads : {1, 2}) {
        SCOPED_TRACE(testing::Message() << "exchange " << exchange << " kind " << kind << " threads " << threads);
        Spit(in, data);
        Settings.compress = kind;
        Settings.exchange = exchange;
        Settings.delete_input = !exchange;
        Settings.threads = threads;
        EXPECT_FALSE(Run(in));
        EXPECT_EQ(said, "Write error on output file!\n");
        EXPECT_EQ(Slurp(in), data);
        EXPECT_EQ(tu::ListDir(full.dir), std::vector<std::string>{"log"});
      }
}

// Whatever stands at the temporary's or the output's name, the output is a
// new file put in place by rename (links replaced, never written through)
// or is refused (directory, FIFO); whatever stood there is left as it was.
TEST_F(TranslateTest, PlantedNamesNeverWrittenThrough) {
  tu::Victim v(dir / "victim");
  struct { int exchange; int kind; const char* at; const char* plant; bool ok; } rows[] = {
      {1, COMPRESS_GZIP, ".$$$", "symlink", true}, {1, COMPRESS_GZIP, ".$$$", "hardlink", true},
      {1, COMPRESS_NONE, ".$$$", "fifo", true},    {0, COMPRESS_GZIP, ".$$$", "symlink", true},
      {0, COMPRESS_GZIP, ".gz", "symlink", true},  {0, COMPRESS_GZIP, ".gz", "hardlink", true},
      {0, COMPRESS_BZIP2, ".bz2", "hardlink", true}, {0, COMPRESS_NONE, ".out", "devnull", true},
      {0, COMPRESS_NONE, ".out", "fifo", false},   {0, COMPRESS_GZIP, ".gz", "dir", false},
      {1, COMPRESS_GZIP, ".$$$", "dir", false}};
  for (auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.exchange << r.kind << r.at << " " << r.plant);
    Spit(in, "1.2.3.4\n");
    std::string at = in + r.at;
    fs::remove_all(at);
    ASSERT_EQ(tu::Plant(r.plant, at, v.path), 0);
    Settings.exchange = r.exchange;
    Settings.compress = r.kind;
    EXPECT_EQ(Run(in), r.ok);
    std::string out = r.exchange ? in : in + (r.kind == COMPRESS_GZIP ? ".gz" : r.kind == COMPRESS_BZIP2 ? ".bz2" : ".out");
    EXPECT_EQ(r.ok ? ReadBack(out) : said, r.ok ? "a.example\n" : "Error opening output file '" + in + Suffix(r) + "'.\n");
    EXPECT_TRUE(v.Intact());
    EXPECT_EQ(ReadBack(in), r.ok && r.exchange ? "a.example\n" : "1.2.3.4\n");
    EXPECT_EQ(fs::exists(fs::symlink_status(in + ".$$$")), !r.ok && !strcmp(r.at, ".$$$"));
  }
}

// Every output gets the log's mode, and as root its owner and group; a log
// that is a link lends the mode and owner of the file it reaches.
TEST_F(TranslateTest, OutputsTakeTheLogsModeAndOwner) {
  bool root = geteuid() == 0;
  std::string secret = dir / "secret";
  struct { mode_t mode; uid_t uid; int exchange; int kind; bool via_link; } rows[] = {
      {0600, 0, 0, COMPRESS_GZIP, false}, {0640, 0, 0, COMPRESS_BZIP2, false}, {0640, 0, 1, COMPRESS_GZIP, false},
      {0600, 0, 0, COMPRESS_NONE, true},  {0644, 0, 1, COMPRESS_NONE, false},  {0640, 65534, 0, COMPRESS_GZIP, false},
      {0600, 65534, 1, COMPRESS_BZIP2, false}, {0604, 65534, 0, COMPRESS_NONE, true}};
  mode_t mask = umask(0);
  for (auto& r : rows) {
    SCOPED_TRACE(testing::Message() << std::oct << r.mode << std::dec << " uid " << r.uid << " x" << r.exchange);
    if (r.uid && !root) continue;
    std::string real = r.via_link ? secret : in;
    fs::remove(in);
    Spit(real, "10.0.0.1\n");
    ASSERT_EQ(chmod(real.c_str(), r.mode) + chown(real.c_str(), r.uid, r.uid), 0);
    ASSERT_EQ(r.via_link ? symlink(real.c_str(), in.c_str()) : 0, 0);
    Settings.exchange = r.exchange;
    Settings.compress = r.kind;
    ASSERT_TRUE(Run(in));
    std::string out = r.exchange ? in : in + Suffix(r);
    struct stat st;
    ASSERT_EQ(lstat(out.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(std::make_tuple(st.st_mode & 07777, st.st_uid, st.st_gid), std::make_tuple(r.mode, r.uid, r.uid));
  }
  umask(mask);
}

// A log another run is translating (it holds the log's lock) is skipped,
// counted as not translated, and nothing of it is touched.
TEST_F(TranslateTest, LockedLogIsSkipped) {
  Spit(in, "1.2.3.4\n");
  Spit(in + ".gz", "earlier\n");
  int fd = open(in.c_str(), O_RDONLY);
  ASSERT_TRUE(FSLock(fd, false));
  for (int exchange : {0, 1}) {
    Settings.exchange = exchange;
    EXPECT_FALSE(Run(in));
    EXPECT_EQ(said, "'" + in + "' is being translated by another run, skipping it.\n");
    EXPECT_EQ(Slurp(in) + Slurp(in + ".gz"), "1.2.3.4\nearlier\n");
  }
  close(fd);
  EXPECT_TRUE(Run(in));
  EXPECT_EQ(ReadBack(in), "a.example\n");
}

// Killed at any moment, the log's name always holds the whole original or
// (exchange) the whole translation, and is never missing; the output's name
// holds nothing or the whole translation, never a part.
TEST_F(TranslateTest, KilledDuringTranslation) {
  std::string data;
  std::mt19937 rng(5);
  while (data.size() < 2000000)
    data += (rng() % 2 ? "1.2.3.4" : "10.0.0.1") + std::string(" - - [x] GET /p?") + std::to_string(rng()) + " 200\n";
  const std::string want = Reference(data, "\n");
  Settings.level = 1;
  for (int exchange : {1, 0}) {
    SCOPED_TRACE(exchange);
    Settings.exchange = exchange;
    const std::string out = exchange ? in : in + ".gz";
    // Kill ever later, from before the start to past the end, so that both
    // outcomes are met and every stage in between is likely hit.
    int originals = 0, translations = 0;
    for (long delay_us = 0, step = 1000; translations < 3 && delay_us < 20000000; delay_us += step) {
      Spit(in, data);
      if (!exchange) unlink(out.c_str());
      fflush(stdout);
      pid_t pid = fork();
      if (pid == 0) _exit(TranslateLog(in.c_str()) ? 0 : 1);
      auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delay_us);
      bool missing = false;
      struct stat st;
      while (std::chrono::steady_clock::now() < until) missing |= lstat(in.c_str(), &st) != 0;
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      EXPECT_FALSE(missing) << delay_us;
      std::string now = ReadBack(out), log = ReadBack(in);
      bool absent = !exchange && !fs::exists(out);
      originals += exchange ? now == data : absent;
      translations += now == want;
      ASSERT_TRUE(absent || now == want || (exchange && now == data)) << "killed at " << delay_us << " us: " << now.size();
      ASSERT_TRUE(log == data || (exchange && log == want));
      step += step / 4;
    }
    EXPECT_GT(originals, 0);
    EXPECT_EQ(translations, 3);
  }
}

// Every file's pool, reader and writer go before the next: memory and
// descriptors stay flat over many files.
TEST_F(TranslateTest, ManyFilesDoNotGrow) {
  // Memory-backed when the host has one: on a disk this would time metadata.
  char shm[] = "/dev/shm/translate_test.XXXXXX";
  std::string base = mkdtemp(shm) ? shm : dir.path;
  long rss100 = 0;
  int fds100 = 0;
  for (int i = 0; i < 10000; i++) {
    std::string f = base + "/f" + std::to_string(i);
    Spit(f, "1.2.3.4 " + std::to_string(i) + "\n");
    ASSERT_TRUE(TranslateLog(f.c_str()));
    unlink(f.c_str());
    if (i < 9999) unlink((f + ".gz").c_str());
    if (i == 99) rss100 = VmRSSKiB(), fds100 = OpenFds();
  }
  [[maybe_unused]] long grown = VmRSSKiB() - rss100;
#if !defined(__SANITIZE_ADDRESS__)  // its quarantine holds freed memory back
  EXPECT_LT(grown, 2048) << "KiB grown since file 100";
#endif
  EXPECT_EQ(OpenFds(), fds100);
  EXPECT_EQ(ReadBack(base + "/f9999.gz"), "a.example 9999\n");
  if (base != dir.path) fs::remove_all(base);
}

}  // namespace
