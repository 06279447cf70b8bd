#include "src/Translate.h"

#include "tests/common/TestUtil.h"

namespace {

class TranslateTest : public tu::HostTableTest {
 protected:
  void SetUp() override {
    HostTableTest::SetUp();
    Add("1.2.3.4", "a.example"), Add("10.0.0.1", "b.example"), Add("5.6.7.8", "*"), Add("9.9.9.9", nullptr);
    Add("120.0.0.0", "v.example"), Add6("2001:db8::1", "six.example"), Add6("64:ff9b::a00:1", "nat.example");
    Add6("fe80::1", "link.example"), Add6("2001:db8::5", "*");
  }
  // Translates data with no compression and returns the output; the pass's messages go to said.
  std::string Plain(const std::string& data) {
    Settings.compress = COMPRESS_NONE;
    tu::Spit(in, data);
    bool ok = false;
    said = tu::Stdout([&] { ok = TranslateLog(in.c_str()); });
    EXPECT_TRUE(ok);
    return tu::Slurp(in + ".out");
  }
  tu::TempDir dir;
  std::string in = dir / "log", said;
};

// Whole addresses only: failed, pending and unknown ones stay as they are.
// With ipv6 on (the third column) each IPv6 spelling is replaced whole,
// brackets, ports and zones kept. An empty column: as the one before.
TEST_F(TranslateTest, ReplacementRules) {
  const std::string rows[][3] = {
      {"1.2.3.4 - - x 10.0.0.1\n", "a.example - - x b.example\n"},
      {"host1.2.3.4 x1.2.3.4y 1.2.3.4:8080 .1.2.3.4 001.02.3.4\n",
       "hosta.example xa.exampley a.example:8080 .a.example a.example\n"},
      {"1.2.3.4. 1.2.3.4.5 1.2.3.1234 1234.1.2.3 5.6.7.8 9.9.9.9 11.11.11.11 1.2.3\n"},
      {std::string("a\0b 1.2.3.4\0\n", 13), std::string("a\0b a.example\0\n", 15)},
      {"2001:DB8:0:0:0:0:0:1 2001:0db8::0001 - x\n", "", "six.example six.example - x\n"},
      {"[2001:db8::1]:8443 http://[2001:db8::1]/p\n", "", "[six.example]:8443 http://[six.example]/p\n"},
      {"::ffff:1.2.3.4 ::FFFF:0102:0304\n", "::ffff:a.example ::FFFF:0102:0304\n", "a.example a.example\n"},
      {"64:ff9b::10.0.0.1 64:ff9b::a00:1\n", "64:ff9b::b.example 64:ff9b::a00:1\n", "nat.example nat.example\n"},
      {"fe80::1%eth0 (fe80::1)\n", "", "link.example%eth0 (link.example)\n"},
      {"1.2.3.4,2001:db8::1;10.0.0.1\n", "a.example,2001:db8::1;b.example\n", "a.example,six.example;b.example\n"},
      {"::1.2.3.4 1:2:3:4:5:6:7:1.2.3.4\n", "::a.example 1:2:3:4:5:6:7:a.example\n",
       "::1.2.3.4 1:2:3:4:5:6:7:a.example\n"},
      {"10:15:30 [06/Dec/2024:11:00:00 +0000] 00:1a:2b:3c:4d:5e :: 0:0::0 2001:db8::5 2001:db8::7 https://x/\n"},
      {"x2001:db8::1 2001:db8::1g 2001:db8::1. 12001:db8::1 ::1:2:3:4:5:6:7:8 ::ffff:5.6.7.8\n"},
      {"last 2001:db8::1", "", "last six.example"},
  };
  std::string all_in, all_out;
  for (auto& r : rows) {
    const std::string &out = r[1].empty() ? r[0] : r[1], &out6 = r[2].empty() ? out : r[2];
    EXPECT_EQ(Plain(r[0]), out) << r[0];
    Settings.ipv6 = 1;
    EXPECT_EQ(Plain(r[0]), out6) << r[0];
    Settings.ipv6 = 0;
    all_in += r[0], all_out += out6;
  }
  Settings.verbose = Settings.ipv6 = 1;
  EXPECT_EQ(Plain(all_in), all_out);
  EXPECT_EQ(said, "Translating '" + in + "'\nTranslated 23 IPs, 7 unresolved, 13 lines in 0:00!\n");
}

// Versions in user agents of real browsers and bots stay; hosts in URLs do not.
TEST_F(TranslateTest, VersionStrings) {
  Settings.skip_versions = 1;
  const std::string agents =
      "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Edg/120.0.0.0 "
      "(X11; Linux x86_64) OPR/120.0.0.0 (compatible; YandexBot/3.0; +http://yandex.com/bots) Crawler/120.0.0.0 "
      "curl/7.1.2.3 agent v1.2.3.4 (V1.2.3.4) build-v1.2.3.4 x_v1.2.3.4\n";
  EXPECT_EQ(Plain(agents), agents);
  EXPECT_EQ(Plain("http://1.2.3.4/x //10.0.0.1/ from 1.2.3.4 via rev1.2.3.4 Ev1.2.3.4 path /1.2.3.4"),
            "http://a.example/x //b.example/ from a.example via reva.example Eva.example path /a.example");
  Settings.skip_versions = 0;
  EXPECT_EQ(Plain("Chrome/120.0.0.0 (v1.2.3.4)"), "Chrome/v.example (va.example)");
}

TEST_F(TranslateTest, NewlineStyles) {
  const char* outs[] = {"a\rb\rc\rd\r\re", "a\nb\nc\nd\n\ne", "a\r\nb\r\nc\r\nd\r\n\r\ne"};
  for (int style : {NEWLINE_MAC, NEWLINE_UNIX, NEWLINE_DOS}) {
    Settings.newlines = style;
    EXPECT_EQ(Plain("a\r\nb\rc\nd\n\re"), outs[style]) << style;
  }
}

// Line ends and addresses next to the look-ahead limit and the reader's refills.
TEST_F(TranslateTest, WindowBoundaries) {
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

// Each file's pool, reader and writer go before the next: memory and
// descriptors stay flat over many files.
TEST_F(TranslateTest, ManyFilesDoNotGrow) {
  auto fds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  auto rss = [] {
    std::string status = tu::Slurp("/proc/self/status");
    return std::stol(status.substr(status.find("VmRSS:") + 6));
  };
  [[maybe_unused]] long kib = 0, open = 0;
  for (int i = 0; i < 1000; i++) {
    if (i == 100) kib = rss(), open = fds();
    tu::Spit(in, "1.2.3.4 " + std::to_string(i) + "\n");
    ASSERT_TRUE(TranslateLog(in.c_str()));
  }
  EXPECT_EQ(tu::ReadBack(in + ".gz"), "a.example 999\n");
  EXPECT_EQ(fds(), open);
#if !defined(__SANITIZE_ADDRESS__)  // its quarantine holds freed memory back
  EXPECT_LT(rss() - kib, 2048) << "KiB grown since file 100";
#endif
}

}  // namespace
