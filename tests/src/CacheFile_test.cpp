#include "src/CacheFile.h"

#include <ctime>
#include <functional>
#include <thread>

#include "common/UnixFileSpec.h"
#include "tests/common/TestUtil.h"

namespace {

const int32_t DAY = 86400;

class CacheFileTest : public tu::HostTableTest {
 protected:
  void SetUp() override { HostTableTest::SetUp(), cachePath = path.c_str(); }
  void TearDown() override { cachePath = Settings.cache_name, HostTableTest::TearDown(); }
  static size_t Count() { return (size_t)(hostTable->count + host6Table->count); }
  static std::string Read() { return tu::Stdout(LkRead); }
  static std::string Write(bool priv) { return tu::Stdout(std::bind(LkWrite, priv)); }
  std::string Text(bool priv) { return priv ? tu::Unpack("gzip", path) : tu::Slurp(path); }  // unpacked
  static std::string Reload() { return DropTable(), NewTable(), Read(); }                    // into a fresh table
  tu::TempDir dir;
  std::string path = dir / "dnscache";
  int32_t now = (int32_t)time(nullptr), minute = now - now % 60;
  std::string m = std::to_string(minute / 60);  // the minute as written
};

// A line as read back (time, tries, address, name), or refused. Failure
// classes are kept; one this build does not know reads as definitive.
TEST_F(CacheFileTest, LineGrammar) {
  auto parsed = [](const char* line) {
    HostEntry e{};
    IP6Key key;
    char text[IP6_TEXT_SIZE];
    bool v6 = strchr(line, ':'), ok = v6 ? DNSFileParse(line, &e, &key) : DNSFileParse(line, &e);
    v6 ? IP6Format(&key, text) : IPFormat(e.address, text);
    EXPECT_TRUE(!ok || e.status == HOST_CACHED) << line;
    return ok ? std::to_string(e.time) + " " + std::to_string(e.tries) + " " + text + " " + e.domain : "refused";
  };
  // clang-format off
  const char* rows[][2] = {
      {"7 $2 10.0.0.1 *", "420 2 10.0.0.1 *"}, {"7 010.000.0.001 host.ex", "420 4 10.0.0.1 host.ex"},
      {"7 1.0.0.1 a name  with blanks", "420 4 1.0.0.1 a name  with blanks"},
      {"7 1.0.0.1  lead", "420 4 1.0.0.1  lead"}, {"12-34 1.0.0.1 h", "720 4 1.0.0.1 h"},
      {"-5 1.0.0.1 h", "-300 4 1.0.0.1 h"}, {"- 1.0.0.1 h", "0 4 1.0.0.1 h"},
      {"7 1.0.0.1 *whatever", "420 4 1.0.0.1 *"}, {"7 1.0.0.1 *t1", "420 4 1.0.0.1 *t1"},
      {"7 $3 1.0.0.1 *t4", "420 3 1.0.0.1 *t4"}, {"7 1.0.0.1 *u", "420 4 1.0.0.1 *u"},
      {"7 1.0.0.1 *t5", "420 4 1.0.0.1 *"}, {"7 1.0.0.1 *t", "420 4 1.0.0.1 *"}, {"7 1.0.0.1 *t12", "420 4 1.0.0.1 *"},
      {"7 1.0.0.1 *u2", "420 4 1.0.0.1 *"}, {"7 $2 2001:DB8:0::1  h", "420 2 2001:db8::1  h"}};
  const char* refused[] = {"7  1.0.0.1 h", "7 $2  1.0.0.1 *", "7\t1.0.0.1 h", "7 1.0.0.1\th", "7 1.0.0.1", "7 1.0.0.1 ",
      "", "7 1.0.0.256 h", "7 1.2.3.4.5 h", "7 1.0.0.1x h", "x 1.0.0.1 h", " 7 1.0.0.1 h", "7 $ 1.0.0.1 h",
      "7 $x 1.0.0.1 h", "7 $2x 1.0.0.1 h", "7 2001:db8:::1 h", "7 [2001:db8::1] h", "7 2001:db8::1", "7 ::1\th"};
  // clang-format on
  for (auto& r : rows) EXPECT_EQ(parsed(r[0]), r[1]) << r[0];
  for (const char* line : refused) EXPECT_EQ(parsed(line), "refused") << "'" << line << "'";
}

// Either format: pending entries and names with line breaks left out, times
// rounded down to the minute, failure classes kept, tries only in the private
// format; IPv4 lines first (keys 1, 2, 6, 7 sit in buckets 1, 2, 6, 7), IPv6
// ones as RFC 5952 text.
TEST_F(CacheFileTest, PlainAndPrivateRoundTrips) {
  Settings.ipv6 = Settings.verbose = 1;
  for (bool priv : {false, true}) {
    SCOPED_TRACE(priv);
    DropTable(), NewTable();
    Add("1.0.0.0", "one.example", minute + 59), Add("2.0.0.0", "*", minute, 2), Add("3.0.0.0", nullptr, minute);
    Add("4.0.0.0", "bad\nname", minute), Add("5.0.0.0", "bad\rname", minute), Add("6.0.0.0", "*t3", minute, 5);
    Add("7.0.0.0", "*u", minute, 2), Add6("2001:DB8:0:0:0:0:0:1", "six.example", minute);
    Add6("::ffff:0:192.0.2.1", "*", minute, 2), Add6("2001:db8::2", nullptr, minute);
    Add6("2001:db8::3", "old.example", minute - 100 * DAY);
    EXPECT_EQ(Write(priv), "Wrote 6 cache entries, 1 expired, 4 (66%) were unresolved.\n");
    std::string text = Text(priv), t = priv ? " $2" : "";
    std::string v4 = m + " 1.0.0.0 one.example\n" + m + t + " 2.0.0.0 *\n" + m + (priv ? " $5" : "") +
                     " 6.0.0.0 *t3\n" + m + t + " 7.0.0.0 *u\n";
    std::string a = m + " 2001:db8::1 six.example\n", b = m + t + " ::ffff:0:192.0.2.1 *\n";
    EXPECT_TRUE(text == v4 + a + b || text == v4 + b + a) << text;
    EXPECT_EQ(Reload(), "Read 6 entries from DNS cache, 4 (66%) were unresolved.\n");
    HostEntry *one = Find("1.0.0.0"), *two = Find("2.0.0.0");
    EXPECT_EQ(std::make_tuple(one->time, one->tries, one->status), std::make_tuple(minute, 4u, (int)HOST_CACHED));
    EXPECT_EQ(two->tries + Find6("::ffff:0:c000:201")->tries, priv ? 4u : 8u);
    EXPECT_EQ(std::make_pair(two->domain, Find("7.0.0.0")->domain), std::make_pair(FailedMark, UnconfirmedMark));
    EXPECT_EQ(HostPassingCount(Find("6.0.0.0")), 3u);
    EXPECT_STREQ(Find6("2001:db8::1")->domain, "six.example");
    EXPECT_TRUE(!Find("3.0.0.0") && !Find("4.0.0.0") && !Find6("2001:db8::2"));
    DropTable(), NewTable();  // an empty table makes an empty file
    EXPECT_EQ(Write(priv), "Wrote 0 cache entries, 0 expired, 0 (0%) were unresolved.\n");
    EXPECT_EQ(Text(priv), "");
  }
}

// Counts and line ends. Line 3 runs past the reader's 64 KiB window, where
// its tail would read as an entry. The first line of an address wins, in any
// spelling; with ipv6 off IPv6 lines are corrupt.
TEST_F(CacheFileTest, ReadingCountsAndLineEnds) {
  std::string data = "21038400 10.0.0.1 first\r\n21038400 10.0.0.2 *\r21038400 10.0.0.3 ";
  data += std::string(65536 - data.size(), 'n') + "21038400 10.0.0.9 tail";
  data += std::string(45 + 70000 - data.size(), 'n') + "\n7 2001:db8::9 first\n7 2001:0db8:0::9 second\n";
  for (int i = 0; i < 1500; i++) data += "21038400 10.0.0.1 again\n";
  for (int i = 0; i < 1234; i++) data += i % 2 ? "\n" : "junk\n";
  tu::Spit(path, data);
  Settings.verbose = Settings.ipv6 = 1;
  EXPECT_EQ(Read(),
            "Line 3 too long 70000/510.\n1501 duplicate IP addresses in the DNS cache file, ignored.\n"
            "1,235 corrupt lines in the DNS cache file, ignored.\nRead 1,504 entries from DNS cache, 1 (0%) were "
            "unresolved.\n");
  EXPECT_EQ(Count(), 3u);
  EXPECT_STREQ(Find("10.0.0.1")->domain, "first");
  EXPECT_STREQ(Find6("2001:db8::9")->domain, "first");
  EXPECT_EQ(Find("10.0.0.2")->domain, FailedMark);
  Settings.ipv6 = 0;
  EXPECT_EQ(Reload().substr(27, 73), "1500 duplicate IP addresses in the DNS cache file, ignored.\n1,237 corrupt");
}

// Ages in days (+1: a second older). Failed entries obey both limits; pending ones are not counted.
TEST_F(CacheFileTest, ExpiryBoundaries) {
  Settings.divisor = Settings.verbose = 1;
  // clang-format off
  std::vector<std::pair<const char*, int32_t>> batches[] = {
      {{"g", 84 * DAY}, {"g", 84 * DAY + 1}, {"*", 84 * DAY}, {"*", 84 * DAY + 1}, {"*", 100 * DAY}, {0, 200 * DAY}},
      {{"g", 150 * DAY}, {"*", 126 * DAY}, {"*", 126 * DAY + 1}}};
  // clang-format on
  for (int attempt = 0; attempt < 5; attempt++) {  // the boundaries need LkWrite to see the test's second
    now = (int32_t)time(nullptr);
    std::string said, edge = std::to_string(now - 84 * DAY);
    for (int b : {0, 1}) {
      DropTable(), NewTable();
      Settings.expire_good = b ? 200 : 84;
      for (auto& e : batches[b]) Add((std::to_string(Count() + 1) + ".0.0.0").c_str(), e.first, now - e.second);
      said += Write(false);
      if (!b) said += tu::Slurp(path);
    }
    if ((int32_t)time(nullptr) != now) continue;
    EXPECT_EQ(said, "Wrote 2 cache entries, 3 expired, 1 (50%) were unresolved.\n" + edge + " 1.0.0.0 g\n" + edge +
                        " 3.0.0.0 *\nWrote 2 cache entries, 1 expired, 1 (50%) were unresolved.\n");
    return;
  }
  FAIL() << "clock kept moving";
}

// As root, the rewritten cache keeps its owner and group, and its mode less
// the write bits of others; names in a file someone else owns are held to the
// test of a DNS answer, the user's own are taken as they stand.
TEST_F(CacheFileTest, ForeignCacheOwnerModeAndNames) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  std::string lines, longest(253, 'n');  // the longest name DNS can carry
  int i = 0;
  for (auto& name : std::vector<std::string>{"ok.example", "has blank", "tab\there", "\x1b[31mred", "q\"uote", "*",
                                             longest, longest + "n"})
    lines += "7 10.0.0." + std::to_string(++i) + " " + name + "\n";
  lines += "7 2001:db8::1 ok.example\n7 2001:db8::2 has blank\n";
  const unsigned rows[][3] = {{65534, 0666, 0644}, {65534, 0600, 0600}, {0, 0664, 0644}};  // owner, mode, new mode
  Settings.ipv6 = 1;
  for (auto& r : rows) {
    SCOPED_TRACE(r[0]);
    tu::Spit(path, lines);
    ASSERT_EQ(chown(path.c_str(), r[0], r[0]) + chmod(path.c_str(), r[1]), 0);
    EXPECT_EQ(Reload(), r[0] ? "6 corrupt lines in the DNS cache file, ignored.\n" : "");
    EXPECT_EQ(Count(), r[0] ? 4u : 10u);
    EXPECT_EQ(Write(false), "");
    for (const std::string& name : {path, path + ".lock"}) {
      struct stat st;
      ASSERT_EQ(stat(name.c_str(), &st), 0);
      EXPECT_EQ(std::make_tuple(st.st_uid, st.st_gid, st.st_mode & 07777),
                std::make_tuple(r[0], r[0], name == path ? r[2] : 0600))
          << name;
    }
    unlink((path + ".lock").c_str());
  }
}

// Runs sharing a cache take turns on its lock (a write that finds it taken
// says so and waits), and a write first takes in what another run wrote
// since this one read the file: later entries win, lookups under way are left be.
TEST_F(CacheFileTest, WriteWaitsAndTakesInAnotherRunsEntries) {
  Settings.divisor = Settings.verbose = Settings.ipv6 = 1;
  std::string old = std::to_string(now - 100), newer = std::to_string(now - 50), t = std::to_string(now);
  tu::Spit(path, old + " 10.0.0.1 old\n" + old + " 10.0.0.2 mine\n" + old + " 2001:db8::1 old\n");
  Read();
  Find("10.0.0.2")->time = now;  // met again in this run
  Add("10.0.0.3", nullptr, now), Add("10.0.0.4", "ours", now), Add6("2001:db8::3", nullptr, now);
  int err, held = FSOpenLock(path.c_str(), (uid_t)-1, (gid_t)-1, &err);
  ASSERT_TRUE(FSLock(held, false));
  std::thread other([&] {
    usleep(500000);
    tu::Spit(path, newer + " 10.0.0.1 newer\n" + newer + " 10.0.0.2 theirs\n" + t + " 10.0.0.3 done\n" + t +
                       " 10.0.0.5 theirs\n" + newer + " 2001:db8::1 newer\n" + t + " 2001:db8::3 done\n" + t +
                       " 2001:db8::5 *t1\n");
    close(held);
  });
  std::string said = Write(false);
  other.join();
  EXPECT_EQ(said, "Waiting for another run to finish writing '" + path + "'.\nTook 4 entries from another run's " +
                      "cache.\nWrote 6 cache entries, 0 expired, 1 (16%) were unresolved.\n");
  EXPECT_EQ(Reload(), "Read 6 entries from DNS cache, 1 (16%) were unresolved.\n");
  std::string names;
  for (HostEntry* e : {Find("10.0.0.1"), Find("10.0.0.2"), Find("10.0.0.3"), Find("10.0.0.4"), Find("10.0.0.5"),
                       Find6("2001:db8::1"), Find6("2001:db8::3"), Find6("2001:db8::5")})
    names += std::string(e ? e->domain : "-") + " ";
  EXPECT_EQ(names, "newer mine - ours theirs newer - *t1 ");
  // Unchanged since this run's own write: nothing to take in.
  EXPECT_EQ(Write(false), "Wrote 6 cache entries, 0 expired, 1 (16%) were unresolved.\n");
}

}  // namespace
