#include "src/CacheFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>

#include "common/UnixFileSpec.h"
#include "tests/common/TestUtil.h"

namespace {

namespace fs = std::filesystem;
using tu::ListDir;
using tu::Slurp;
using tu::Spit;
const int32_t DAY = 86400;

const std::vector<std::string> kPair = {"dnscache", "dnscache.bak", "dnscache.lock"};

class CacheFileTest : public tu::HostTableTest {
 protected:
  void SetUp() override { HostTableTest::SetUp(), Use(path); }
  void TearDown() override { cachePath = Settings.cache_name, HostTableTest::TearDown(); }
  void Use(const std::string& p) { cachePath = (cache = p).c_str(); }
  // Entries in both tables.
  static size_t Count() {
    size_t n = 0;
    for (HashTable* t : {hostTable, host6Table})
      for (HashNode* p = HashFirst(t); p; p = HashNext(t)) n++;
    return n;
  }
  static std::string Read() { return tu::Stdout(LkRead); }
  static std::string Write(bool private_cache) { return tu::Stdout([=] { LkWrite(private_cache); }); }
  // Loads the file into a fresh table.
  static std::string Reload() { return DropTable(), NewTable(), Read(); }
  tu::TempDir dir;
  std::string path = dir / "dnscache", cache;
  int32_t now = (int32_t)time(nullptr);
};

TEST_F(CacheFileTest, LineGrammar) {
  struct { const char* line; int32_t time; uint32_t tries; const char* name; } cases[] = {
      {"21038400 $2 10.0.0.1 *", 1262304000, 2, "*"},      {"21038400 10.0.0.1 host.ex", 1262304000, 4, "host.ex"},
      {"21038400 $7 10.0.0.1 host", 1262304000, 7, "host"}, {"21038400 10.0.0.1 *whatever", 1262304000, 4, "*"},
      {"21038400 10.0.0.1 a name with blanks", 1262304000, 4, "a name with blanks"},
      {"21038400 10.0.0.1  lead", 1262304000, 4, " lead"}, {"21038400 010.000.0.001 h", 1262304000, 4, "h"},
      {"12-34 10.0.0.1 h", 720, 4, "h"}, {"-5 10.0.0.1 h", -300, 4, "h"}, {"- 10.0.0.1 h", 0, 4, "h"},
      // Failure classes; one this build does not know reads as definitive.
      {"21038400 10.0.0.1 *t1", 1262304000, 4, "*t1"}, {"21038400 $3 10.0.0.1 *t4", 1262304000, 3, "*t4"},
      {"21038400 10.0.0.1 *u", 1262304000, 4, "*u"},   {"21038400 10.0.0.1 *t5", 1262304000, 4, "*"},
      {"21038400 10.0.0.1 *t", 1262304000, 4, "*"},    {"21038400 10.0.0.1 *t12", 1262304000, 4, "*"},
      {"21038400 10.0.0.1 *u2", 1262304000, 4, "*"}};
  const char* refused[] = {
      "21038400  10.0.0.1 h",  "21038400 $2  10.0.0.1 *", "21038400\t10.0.0.1 h", "21038400 10.0.0.1\th",
      "21038400 10.0.0.1",     "21038400 10.0.0.1 ",      "",                      "21038400 10.0.0.256 h",
      "21038400 1.2.3.4.5 h",  "21038400 10.0.0.1x h",    "x 10.0.0.1 h",          " 21038400 10.0.0.1 h",
      "21038400 $ 10.0.0.1 h", "21038400 $x 10.0.0.1 h",  "21038400 $2x 10.0.0.1 h"};
  for (const char* line : refused) {
    HostEntry e{};
    EXPECT_FALSE(DNSFileParse(line, &e)) << "'" << line << "'";
  }
  for (auto& c : cases) {
    HostEntry e{};
    ASSERT_TRUE(DNSFileParse(c.line, &e)) << "'" << c.line << "'";
    EXPECT_EQ(std::make_tuple(e.time, e.tries, e.address, e.status), std::make_tuple(c.time, c.tries, Key("10.0.0.1"), 0))
        << c.line;
    EXPECT_STREQ(e.domain, c.name) << c.line;
    EXPECT_EQ(HostFailed(&e), *c.name == '*') << c.line;
  }
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  std::sort(lines.begin(), lines.end());
  return lines;
}

// IPv6 lines: the same grammar, RFC 5952 text written, any spelling read, the
// first line of an address winning; with ipv6 off they are corrupt lines.
TEST_F(CacheFileTest, IPv6Entries) {
  IP6Key key;
  HostEntry e{};
  const char* refused[] = {"21038400 2001:db8:::1 h", "21038400 10.0.0.1 h", "21038400 [2001:db8::1] h",
                           "21038400 2001:db8::1", "21038400 2001:db8::1\th", "21038400 $x 2001:db8::1 h"};
  for (const char* line : refused) EXPECT_FALSE(DNSFileParse(line, &e, &key)) << line;
  ASSERT_TRUE(DNSFileParse("21038400 $2 2001:DB8:0::1  h", &e, &key));
  EXPECT_EQ(std::make_tuple(e.time, e.tries, std::string(e.domain)), std::make_tuple(1262304000, 2u, std::string(" h")));
  IP6Key want = Key6("2001:db8::1");
  EXPECT_EQ(memcmp(&key, &want, sizeof key), 0);

  Settings.ipv6 = Settings.verbose = 1;
  int32_t t = now - now % 60;
  std::string f = std::to_string(t / 60);
  for (bool priv : {false, true}) {
    DropTable(), NewTable();
    Add("1.0.0.0", "one.example", t);
    Add6("2001:DB8:0:0:0:0:0:1", "six.example", t);
    Add6("::ffff:0:192.0.2.1", "*", t, 2);
    Add6("2001:db8::4", "*t2", t);
    Add6("2001:db8::2", nullptr, t);                    // pending: left out
    Add6("2001:db8::3", "old.example", t - 100 * DAY);  // expired
    EXPECT_EQ(Write(priv), "Wrote 4 cache entries, 1 expired, 2 (50%) were unresolved.\n");
    std::string text = priv ? tu::Unpack("gzip", path) : Slurp(path);
    EXPECT_EQ(SortedLines(text), SortedLines(f + " 1.0.0.0 one.example\n" + f + " 2001:db8::1 six.example\n" + f +
                                             (priv ? " $2" : "") + " ::ffff:0:192.0.2.1 *\n" + f +
                                             (priv ? " $1" : "") + " 2001:db8::4 *t2\n"));
    EXPECT_EQ(text.substr(0, f.size() + 9), f + " 1.0.0.0 ");  // IPv4 lines first
    EXPECT_EQ(Reload(), "Read 4 entries from DNS cache, 2 (50%) were unresolved.\n");
    EXPECT_EQ(HostPassingCount(Find6("2001:db8::4")), 2u);
    EXPECT_EQ(std::make_tuple(Find6("2001:db8::1")->time, Find6("2001:db8::1")->status), std::make_tuple(t, 0));
    EXPECT_EQ(Find6("::ffff:0:c000:201")->tries, priv ? 2u : 4u);
    EXPECT_EQ(Find6("2001:db8::2"), nullptr);
  }
  Spit(path, f + " 2001:db8::9 first\n" + f + " 2001:0db8:0::9 second\n" + f + " 2001:db8::9:: x\n");
  EXPECT_EQ(Reload(), "1 duplicate IP addresses in the DNS cache file, ignored.\n"
                      "1 corrupt lines in the DNS cache file, ignored.\n"
                      "Read 2 entries from DNS cache, 0 (0%) were unresolved.\n");
  EXPECT_STREQ(Find6("2001:db8::9")->domain, "first");
  // A run with ipv6 off reads like a build without it: the lines are dropped.
  Spit(path, f + " 1.0.0.0 one.example\n" + f + " 2001:db8::1 six.example\n" + f + " $2 ::ffff:0:c000:201 *\n");
  Settings.ipv6 = Settings.verbose = 0;
  EXPECT_EQ(Reload(), "2 corrupt lines in the DNS cache file, ignored.\n");
  EXPECT_EQ(Count(), 1u);
  Write(false);
  EXPECT_EQ(Slurp(path), f + " 1.0.0.0 one.example\n");
}

TEST_F(CacheFileTest, ReadingCountsAndLineEnds) {
  // Line 3 runs past the reader's 64 KiB window; where the window ends, its
  // tail would read as an entry.
  std::string data = "21038400 10.0.0.1 first\r\n21038400 10.0.0.2 *\r21038400 10.0.0.3 ";
  data += std::string(65536 - data.size(), 'n') + "21038400 10.0.0.9 tail";
  data += std::string(45 + 70000 - data.size(), 'n') + "\n";
  for (int i = 0; i < 1500; i++) data += "21038400 10.0.0.1 again\n";
  for (int i = 0; i < 1234; i++) data += i % 2 ? "\n" : "junk\n";
  Spit(path, data);
  Settings.verbose = 1;
  Settings.expire_good = Settings.expire_failed = 30000;
  EXPECT_EQ(Read(),
            "Line 3 too long 70000/510.\n"
            "1500 duplicate IP addresses in the DNS cache file, ignored.\n"
            "1,235 corrupt lines in the DNS cache file, ignored.\n"
            "Read 1,502 entries from DNS cache, 1 (0%) were unresolved.\n");
  EXPECT_EQ(Count(), 2u);
  EXPECT_STREQ(Find("10.0.0.1")->domain, "first");
  EXPECT_EQ(Find("10.0.0.2")->domain, FailedMark);
}

TEST_F(CacheFileTest, PlainAndPrivateRoundTrips) {
  int32_t t = now - now % 60;
  // Keys 1, 2, 3 sit in buckets 1, 2, 3, so the file order is known.
  Add("1.0.0.0", "one.example", t + 59);
  Add("2.0.0.0", "*", t, 2);
  Add("3.0.0.0", nullptr, t);
  Add(1 + 61631, "later.example", t);  // same bucket as key 1, inserted later
  Add("4.0.0.0", "bad\nname", t);      // names with line breaks are left out
  Add("5.0.0.0", "bad\rname", t);
  std::string f = std::to_string(t / 60);
  EXPECT_EQ(Write(false), "");
  EXPECT_EQ(Slurp(path), f + " 192.240.0.0 later.example\n" + f + " 1.0.0.0 one.example\n" + f + " 2.0.0.0 *\n");
  EXPECT_EQ(Reload(), "");
  ASSERT_EQ(Count(), 3u);
  EXPECT_EQ(Find("1.0.0.0")->time, t);  // rounded down to the minute
  EXPECT_EQ(Find("2.0.0.0")->tries, 4u);
  EXPECT_EQ(Find("2.0.0.0")->domain, FailedMark);
  EXPECT_EQ(Find("3.0.0.0"), nullptr);

  DropTable(), NewTable();
  Add("1.0.0.0", "one.example", t);
  Add("2.0.0.0", "*", t, 2);
  EXPECT_EQ(Write(true), "");
  EXPECT_EQ(tu::Unpack("gzip", path), f + " 1.0.0.0 one.example\n" + f + " $2 2.0.0.0 *\n");
  EXPECT_EQ(Reload(), "");
  EXPECT_EQ(Find("2.0.0.0")->tries, 2u);
  EXPECT_EQ(Find("1.0.0.0")->tries, 4u);
  EXPECT_EQ(Find("1.0.0.0")->status, HOST_CACHED);

  DropTable(), NewTable();  // failure classes survive either format
  Add("1.0.0.0", "*t3", t, 5);
  Add("2.0.0.0", "*u", t, 2);
  for (bool priv : {false, true}) {
    EXPECT_EQ(Write(priv), "");
    EXPECT_EQ(priv ? tu::Unpack("gzip", path) : Slurp(path),
              f + " " + (priv ? "$5 " : "") + "1.0.0.0 *t3\n" + f + " " + (priv ? "$2 " : "") + "2.0.0.0 *u\n");
  }
  EXPECT_EQ(Reload(), "");
  EXPECT_EQ(HostPassingCount(Find("1.0.0.0")), 3u);
  EXPECT_EQ(Find("2.0.0.0")->domain, UnconfirmedMark);

  DropTable(), NewTable();  // an empty table makes an empty file of either kind
  Settings.verbose = 1;
  for (bool priv : {false, true}) {
    EXPECT_EQ(Write(priv), "Wrote 0 cache entries, 0 expired, 0 (0%) were unresolved.\n");
    EXPECT_EQ(priv ? tu::Unpack("gzip", path) : Slurp(path), "");
    EXPECT_EQ(Reload(), "Read 0 entries from DNS cache, 0 (0%) were unresolved.\n");
  }
}

TEST_F(CacheFileTest, TimeScaling) {
  Settings.expire_good = Settings.expire_failed = 30000;
  Add("10.0.0.1", "h", 1262304000), Add("10.0.0.2", "h", 1262304059), Add("10.0.0.3", "h", -59);
  Write(false);
  EXPECT_EQ(Slurp(path), "21038400 10.0.0.1 h\n21038400 10.0.0.2 h\n0 10.0.0.3 h\n");  // toward zero
  // Offset and divisor; the sum wraps like 32-bit arithmetic, and so does reading back.
  DropTable(), NewTable();
  Settings.offset = 100;
  Settings.divisor = 1;
  Add("10.0.0.1", "h", now);
  Add("10.0.0.2", "h", INT32_MAX);
  Write(false);
  EXPECT_EQ(Slurp(path), std::to_string((long)now + 100) + " 10.0.0.1 h\n-2147483549 10.0.0.2 h\n");
  Reload();
  EXPECT_EQ(std::make_pair(Find("10.0.0.1")->time, Find("10.0.0.2")->time), std::make_pair(now, INT32_MAX));
  Settings.offset = 0;
  Settings.divisor = 86400;
  HostEntry e;
  ASSERT_TRUE(DNSFileParse("99999999999 10.0.0.1 h", &e) && DNSFileParse("-2147483648 10.0.0.1 h", &e));
  EXPECT_EQ(e.time, 0);
}

// Ages in days (+1: a second older). Failed entries obey both limits; pending ones are not counted.
TEST_F(CacheFileTest, ExpiryBoundaries) {
  Settings.divisor = 1;
  Settings.verbose = 1;
  struct { int32_t good; std::vector<std::pair<const char*, int32_t>> entries; } batches[] = {
      {84, {{"g", 84 * DAY}, {"g", 84 * DAY + 1}, {"*", 84 * DAY}, {"*", 84 * DAY + 1}, {"*", 100 * DAY}, {0, 200 * DAY}}},
      {200, {{"g", 150 * DAY}, {"*", 126 * DAY}, {"*", 126 * DAY + 1}}}};
  // The boundary cases need LkWrite to see the same second as the test.
  for (int attempt = 0; attempt < 5; attempt++) {
    now = (int32_t)time(nullptr);
    std::string said, edge = std::to_string(now - 84 * DAY);
    for (auto& b : batches) {
      DropTable(), NewTable();
      Settings.expire_good = b.good;
      for (auto& e : b.entries) Add(Count() + 1, e.first, now - e.second);
      said += Write(false);
      if (b.good == 84) said += Slurp(path);
    }
    if ((int32_t)time(nullptr) != now) continue;
    EXPECT_EQ(said, "Wrote 2 cache entries, 3 expired, 1 (50%) were unresolved.\n" + edge + " 1.0.0.0 g\n" + edge +
                        " 3.0.0.0 *\nWrote 2 cache entries, 1 expired, 1 (50%) were unresolved.\n");
    return;
  }
  FAIL() << "clock kept moving";
}

TEST_F(CacheFileTest, BackupRotation) {
  Spit(path + ".bak", "stale\n");
  Add("10.0.0.1", "a", now);
  Write(false);
  EXPECT_EQ(Slurp(path + ".bak"), "stale\n");  // no previous cache: the old backup is kept
  // Now through a link: the file it points at is replaced, its mode kept, its backup beside it.
  ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
  std::string target = dir / "real/cache", a = Slurp(path);
  ASSERT_EQ(rename(path.c_str(), target.c_str()) + symlink(target.c_str(), path.c_str()), 0);
  chmod(target.c_str(), 0640);
  Add("10.0.0.2", "b", now);
  Write(false);
  std::string b = Slurp(path);
  EXPECT_EQ(Slurp(target + ".bak"), a);
  Add("10.0.0.3", "c", now);
  Write(true);
  EXPECT_EQ(Slurp(target + ".bak"), b);
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ListDir(dir / "real"), (std::vector<std::string>{"cache", "cache.bak", "cache.lock"}));  // no temporary files
  // A name as long as the directory takes keeps its backup and lock beside it.
  Use(dir / std::string(250, 'c'));
  Write(false), Write(false);
  EXPECT_EQ(Slurp(cache + ".bak"), Slurp(cache));
  EXPECT_TRUE(fs::exists(cache + ".lock"));
}

// As root, the rewritten cache keeps its owner and group, and its mode
// less the write bits of others; names in a file someone else owns are held
// to the test of a DNS answer, the user's own are taken as they stand.
TEST_F(CacheFileTest, ForeignCacheOwnerModeAndNames) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  const std::string lines = "21038400 10.0.0.1 ok.example\n21038400 10.0.0.2 has blank\n21038400 10.0.0.3 tab\there\n"
                            "21038400 10.0.0.4 \x1b[31mred\n21038400 10.0.0.5 q\"uote\n21038400 10.0.0.6 *\n"
                            "21038400 2001:db8::1 ok.example\n21038400 2001:db8::2 has blank\n";
  struct { uid_t owner; mode_t mode; mode_t want; const char* said; size_t loaded; } rows[] = {
      {65534, 0666, 0644, "5 corrupt lines in the DNS cache file, ignored.\n", 3},
      {65534, 0600, 0600, "5 corrupt lines in the DNS cache file, ignored.\n", 3},
      {0, 0664, 0644, "", 8}};
  Settings.ipv6 = 1;
  for (auto& r : rows) {
    SCOPED_TRACE(r.owner);
    Spit(path, lines);
    ASSERT_EQ(chown(path.c_str(), r.owner, r.owner) + chmod(path.c_str(), r.mode), 0);
    std::string said = Reload();
    EXPECT_EQ(said, r.said);
    EXPECT_EQ(Count(), r.loaded);
    EXPECT_EQ(Write(false), "");
    for (const std::string& name : {path, path + ".lock"}) {
      struct stat st;
      ASSERT_EQ(stat(name.c_str(), &st), 0);
      EXPECT_EQ(std::make_tuple(st.st_uid, st.st_gid), std::make_tuple(r.owner, r.owner)) << name;
      EXPECT_EQ(st.st_mode & 07777, name == path ? r.want : 0600);
    }
    unlink((path + ".lock").c_str());
  }
}

// Runs sharing a cache: a write first takes in what another run wrote since
// this one read the file (later entries win, lookups under way are left be).
TEST_F(CacheFileTest, WriteTakesInAnotherRunsEntries) {
  Settings.divisor = 1;
  Settings.verbose = Settings.ipv6 = 1;
  std::string old = std::to_string(now - 100), newer = std::to_string(now - 50), t = std::to_string(now);
  Spit(path, old + " 10.0.0.1 old\n" + old + " 10.0.0.2 mine\n" + old + " 2001:db8::1 old\n");
  Read();
  Find("10.0.0.2")->time = now;  // met again in this run
  Add("10.0.0.3", nullptr, now);  // still being looked up
  Add("10.0.0.4", "ours", now);
  Add6("2001:db8::3", nullptr, now);
  Spit(path, newer + " 10.0.0.1 newer\n" + newer + " 10.0.0.2 theirs\n" + t + " 10.0.0.3 done\n" + t +
                 " 10.0.0.5 theirs\n" + newer + " 2001:db8::1 newer\n" + t + " 2001:db8::3 done\n" + t +
                 " 2001:db8::5 *t1\n");
  EXPECT_EQ(Write(false), "Took 4 entries from another run's cache.\nWrote 6 cache entries, 0 expired, 1 (16%) were unresolved.\n");
  EXPECT_EQ(Reload(), "Read 6 entries from DNS cache, 1 (16%) were unresolved.\n");
  EXPECT_STREQ(Find("10.0.0.1")->domain, "newer");
  EXPECT_STREQ(Find("10.0.0.2")->domain, "mine");
  EXPECT_EQ(Find("10.0.0.3"), nullptr);
  EXPECT_STREQ(Find("10.0.0.5")->domain, "theirs");
  EXPECT_STREQ(Find6("2001:db8::1")->domain, "newer");
  EXPECT_EQ(Find6("2001:db8::3"), nullptr);
  EXPECT_EQ(HostPassingCount(Find6("2001:db8::5")), 1u);
  // Unchanged since this run's own write: nothing to take in.
  EXPECT_EQ(Write(false), "Wrote 6 cache entries, 0 expired, 1 (16%) were unresolved.\n");
}

// Many runs writing one cache at once lose nothing; one that finds the lock
// taken says so when verbose, and waits.
TEST_F(CacheFileTest, ConcurrentRunsLoseNoEntry) {
  const int RUNS = 4, ROUNDS = 15, EACH = 40;
  int err;
  int held = FSOpenLock(path.c_str(), (uid_t)-1, (gid_t)-1, &err);
  ASSERT_TRUE(FSLock(held, false));
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  fflush(stdout);
  std::vector<pid_t> kids;
  for (int k = 0; k < RUNS; k++) {
    pid_t pid = fork();
    if (pid == 0) {
      close(held);
      int quiet = open("/dev/null", O_WRONLY);
      dup2(k == 0 ? out[1] : quiet, 1);
      Settings.verbose = k == 0;
      for (int round = 0; round < ROUNDS; round++) {
        DropTable(), NewTable();
        LkRead();
        for (int i = 0; i < EACH; i++) Add(0x0a000000u + (uint32_t)((k * ROUNDS + round) * EACH + i), "h.example", now);
        if (!LkWrite(0)) _exit(1);
      }
      fflush(stdout);
      _exit(0);
    }
    kids.push_back(pid);
  }
  close(out[1]);
  usleep(300000);
  close(held);
  for (pid_t pid : kids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  std::string said;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) said.append(buf, (size_t)n);
  close(out[0]);
  EXPECT_EQ(said.rfind("'" + path + "' not found, creating it.\nWaiting for another run to finish writing '" + path + "'.\n", 0), 0u) << said;
  Reload();
  EXPECT_EQ(Count(), (size_t)(RUNS * ROUNDS * EACH));
}

// Temporary files of killed writes are cleared once they are an hour old;
// anything else, or a younger one (a write under way), is left alone.
TEST_F(CacheFileTest, StaleTemporaryFilesAreRemoved) {
  const char* names[] = {"dnscache.tmpAb12Cd", "dnscache.tmpXyZ789", "dnscache.tmpshort", "dnscache.tmpAb12C-",
                         "other.tmpAb12Cd", "dnscache.tmpQwErTy"};
  for (const char* n : names) Spit(dir / n, "x\n");
  struct timeval old[2] = {{now - 3700, 0}, {now - 3700, 0}};
  for (int i = 0; i < 5; i++) ASSERT_EQ(utimes((dir / names[i]).c_str(), old), 0);
  ASSERT_EQ(unlink((dir / names[1]).c_str()) + mkdir((dir / names[1]).c_str(), 0755), 0);  // not a file
  Add("10.0.0.1", "a", now);
  Write(false);
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"dnscache", "dnscache.lock", "dnscache.tmpAb12C-", "dnscache.tmpQwErTy",
                                                    "dnscache.tmpXyZ789", "dnscache.tmpshort", "other.tmpAb12Cd"}));
}

// Link protection refuses a hard link to a file the writer does not own; the
// backup is then made by copying.
TEST_F(CacheFileTest, BackupByCopyWhereLinksAreRefused) {
  if (geteuid() != 0 || Slurp("/proc/sys/fs/protected_hardlinks") != "1\n")
    GTEST_SKIP() << "needs root and fs.protected_hardlinks=1";
  ASSERT_EQ(mkdir((dir / "shared").c_str(), 0777), 0);
  ASSERT_EQ(chmod((dir / "shared").c_str(), 0777) + chmod(dir.path.c_str(), 0755), 0);
  Use(dir / "shared/dnscache");
  Add("10.0.0.1", "old", now);
  Write(false);
  ASSERT_EQ(chmod(cache.c_str(), 0644), 0);
  std::string before = Slurp(cache);
  Add("10.0.0.2", "new", now);
  unlink((cache + ".lock").c_str());  // root's lock is for root's runs
  fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    if (link(cache.c_str(), (cache + ".probe").c_str()) == 0) _exit(3);
    LkWrite(0);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "links were not refused";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Slurp(cache + ".bak"), before);
  EXPECT_NE(Slurp(cache).find("10.0.0.2 new"), std::string::npos);
  EXPECT_EQ(ListDir(dir / "shared"), kPair);
}

// Every prefix of a file loads without harm, and every complete line counts.
TEST_F(CacheFileTest, TruncatedFiles) {
  for (int priv = 0; priv < 2; priv++) {
    DropTable(), NewTable();
    for (uint32_t i = 1; i <= 20; i++) Add(0x0a000000u + i * 77, i % 4 ? "host.example.org" : "*", now, 2);
    Write(priv);
    std::string full = Slurp(path);
    for (size_t len = 0; len <= full.size(); len++) {
      Spit(path, full.substr(0, len));
      std::string out = Reload();
      size_t n = Count(), complete = (size_t)std::count(full.begin(), full.begin() + len, '\n');
      // A cut last line may still parse (a shortened name) or be corrupt.
      EXPECT_TRUE(priv || n == complete || n == complete + 1) << len;
      EXPECT_LE(n, 20u) << len;
      EXPECT_TRUE(len < full.size() || (out == "" && n == 20)) << out;
    }
  }
}

// ---------------------------------------------------------------------------
// Safe writing under faults: the old cache and backup stay whole.

TEST_F(CacheFileTest, DiskFullKeepsCacheAndBackup) {
  tu::Tmpfs fs(dir / "small", "size=64k");
  if (!fs.mounted) GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
  Use(dir / "small/dnscache");
  Add("10.0.0.1", "first", now);
  Write(false);
  Add("10.0.0.2", "second", now);
  Write(false);
  std::string before = Slurp(cache), bak = Slurp(cache + ".bak");
  // Names that do not compress away, so the private format overflows too.
  for (uint64_t i = 0, x = 1; i < 20000; i++, x = x * 6364136223846793005ull + 1)
    Add(0x0b000000u + (uint32_t)i, ("h" + std::to_string(x) + ".example.org").c_str(), now);
  for (int priv = 0; priv < 2; priv++) {
    EXPECT_EQ(Write(priv), "Unable to write '" + cache + "'!\n");
    EXPECT_EQ(Slurp(cache), before);
    EXPECT_EQ(Slurp(cache + ".bak"), bak);
    EXPECT_EQ(ListDir(fs.dir), kPair);
  }
  EXPECT_EQ(Reload(), "");
  EXPECT_EQ(Count(), 2u);
}

// Root ignores directory permissions; a read-only mount stops it.
TEST_F(CacheFileTest, ReadOnlyDirectoryKeepsCache) {
  tu::Tmpfs fs(dir / "ro", "size=1m");
  if (!fs.mounted) GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
  Use(dir / "ro/dnscache");
  Add("10.0.0.1", "first", now);
  Write(false);
  if (mount(nullptr, fs.dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
    GTEST_SKIP() << "cannot remount read-only: " << strerror(errno);
  std::string before = Slurp(cache);
  Add("10.0.0.2", "second", now);
  EXPECT_EQ(Write(false), "Unable to open '" + cache + "' for output.\n");
  EXPECT_EQ(Slurp(cache), before);
  EXPECT_EQ(ListDir(fs.dir), (std::vector<std::string>{"dnscache", "dnscache.lock"}));
}

// A write killed at any moment leaves the old or the new cache whole.
TEST_F(CacheFileTest, KillDuringWriteLeavesCompleteCache) {
  const long N = 500000;
  for (uint32_t i = 0; i < N; i++) Add(0x0a000000u + i, "host-name.example.net", now);
  HostEntry* marker = Add("192.0.2.1", "gen-1", now);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Write(false), "");
  long write_us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  int last_gen = -1;
  for (int k = 0; k < 8; k++) {
    marker->domain = strcpy((char*)MPAlloc(hostPool, 16), ("gen" + std::to_string(k)).c_str());
    fflush(stdout);
    pid_t child = fork();
    if (child == 0)
      for (;;) LkWrite(k % 2);
    // Kills spread over one to two write times; meanwhile the cache is never missing.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(write_us / 2 + write_us * (k * 3 % 8) / 8);
    bool missing = false;
    for (struct stat st; std::chrono::steady_clock::now() < until;) missing |= lstat(path.c_str(), &st) != 0;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(missing) << "round " << k;
    std::string text = tu::ReadBack(path);
    size_t at = text.find(" 192.0.2.1 gen");
    int g = at == std::string::npos ? -2 : atoi(text.c_str() + at + 14);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), N + 1) << "round " << k;
    EXPECT_TRUE(g >= last_gen && g <= k) << "round " << k << ": gen" << g;
    last_gen = g;
  }
  // Killed writes leave their temporary files behind: the kills did land in the middle of writes.
  size_t leftovers = 0;
  for (const std::string& name : ListDir(dir.path)) leftovers += name.rfind("dnscache.tmp", 0) == 0;
  EXPECT_GT(leftovers, 0u);
}

}  // namespace
