#include "src/CacheFile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "src/HostTable.h"
#include "src/Settings.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

static bool mp_once = (MPInit(), true);

static const int32_t DAY = 86400;

static std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A new file each time: rewriting in place makes ext4 wait for writeback.
static void Spit(const std::string& path, const std::string& data) {
  unlink(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

static bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

static std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

static std::string Gunzip(const std::string& path, int* status) {
  std::string cmd = "gzip -dc '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = pclose(p);
  return out;
}

static uint32_t Key(const char* ip) {
  uint32_t k = 0;
  EXPECT_TRUE(IPParse(ip, &k)) << ip;
  return k;
}

class CacheFileTest : public testing::Test {
 protected:
  std::string dir, path;

  void SetUp() override {
    NewTable();
    SettingsDefaults();
    char tmpl[] = "/tmp/lvcacheXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/dnscache";
    cachePath = path.c_str();
  }

  void TearDown() override {
    DropTable();
    cachePath = Settings.cache_name;
    std::string cmd = "chmod -R u+w '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  static void NewTable() {
    hostPool = MPNew();
    hostTable = HashInit(HOST_TABLE_EXPECTED, hostPool, HostKeyHash, HostKeyEqual);
  }
  static void DropTable() {
    HashFini(hostTable);
    MPDelete(hostPool);
    hostTable = nullptr;
    hostPool = nullptr;
  }
  static void Reset() {
    DropTable();
    NewTable();
  }

  // name: null for pending, "*" for failed.
  static HostEntry* AddKey(uint32_t key, const char* name, int32_t time, uint32_t tries = 1) {
    HostEntry* e = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
    e->address = key;
    e->time = time;
    e->tries = tries;
    e->status = HOST_NEW;
    e->domain = nullptr;
    if (name && name[0] == '*') {
      e->domain = FailedMark;
    } else if (name) {
      char* copy = (char*)MPAlloc(hostPool, (int32_t)strlen(name) + 1);
      strcpy(copy, name);
      e->domain = copy;
    }
    HashInsert(hostTable, e);
    return e;
  }
  static HostEntry* Add(const char* ip, const char* name, int32_t time, uint32_t tries = 1) {
    return AddKey(Key(ip), name, time, tries);
  }

  static HostEntry* Find(const char* ip) {
    uint32_t k = Key(ip);
    void* item = nullptr;
    return HashFind(hostTable, &k, &item) ? (HostEntry*)item : nullptr;
  }

  static size_t Count() {
    size_t n = 0;
    for (HashNode* node = HashFirst(hostTable); node; node = HashNext(hostTable)) n++;
    return n;
  }

  static std::string Read() {
    CaptureStdout();
    LkRead();
    return GetCapturedStdout();
  }
  static std::string Write(bool private_cache) {
    CaptureStdout();
    LkWrite(private_cache);
    return GetCapturedStdout();
  }
  // Loads the file into a fresh table.
  static std::string Reload() {
    Reset();
    return Read();
  }
};

// ---------------------------------------------------------------------------
// Line grammar

struct ParseCase {
  const char* line;
  bool ok;
  int32_t time;
  uint32_t tries;
  const char* ip;
  const char* name;  // "*" for failed
};

TEST_F(CacheFileTest, LineGrammar) {
  const ParseCase cases[] = {
      {"21038400 $2 10.0.0.1 *", true, 1262304000, 2, "10.0.0.1", "*"},
      {"21038400 10.0.0.1 host.example.com", true, 1262304000, 4, "10.0.0.1", "host.example.com"},
      {"21038400 $7 10.0.0.1 host", true, 1262304000, 7, "10.0.0.1", "host"},
      {"21038400 10.0.0.1 *whatever", true, 1262304000, 4, "10.0.0.1", "*"},
      {"21038400 10.0.0.1 a name with blanks", true, 1262304000, 4, "10.0.0.1", "a name with blanks"},
      {"21038400 10.0.0.1  lead", true, 1262304000, 4, "10.0.0.1", " lead"},
      {"21038400 010.000.0.001 h", true, 1262304000, 4, "10.0.0.1", "h"},
      {"12-34 10.0.0.1 h", true, 720, 4, "10.0.0.1", "h"},
      {"-5 10.0.0.1 h", true, -300, 4, "10.0.0.1", "h"},
      {"- 10.0.0.1 h", true, 0, 4, "10.0.0.1", "h"},
      {"21038400  10.0.0.1 h", false, 0, 0, nullptr, nullptr},
      {"21038400 $2  10.0.0.1 *", false, 0, 0, nullptr, nullptr},
      {"21038400\t10.0.0.1 h", false, 0, 0, nullptr, nullptr},
      {"21038400 10.0.0.1\th", false, 0, 0, nullptr, nullptr},
      {"21038400 10.0.0.1", false, 0, 0, nullptr, nullptr},
      {"21038400 10.0.0.1 ", false, 0, 0, nullptr, nullptr},
      {"", false, 0, 0, nullptr, nullptr},
      {"21038400 10.0.0.256 h", false, 0, 0, nullptr, nullptr},
      {"21038400 1.2.3.4.5 h", false, 0, 0, nullptr, nullptr},
      {"21038400 10.0.0.1x h", false, 0, 0, nullptr, nullptr},
      {"x 10.0.0.1 h", false, 0, 0, nullptr, nullptr},
      {" 21038400 10.0.0.1 h", false, 0, 0, nullptr, nullptr},
      {"21038400 $ 10.0.0.1 h", false, 0, 0, nullptr, nullptr},
      {"21038400 $x 10.0.0.1 h", false, 0, 0, nullptr, nullptr},
      {"21038400 $2x 10.0.0.1 h", false, 0, 0, nullptr, nullptr},
  };
  for (const ParseCase& c : cases) {
    HostEntry e;
    memset(&e, 0, sizeof e);
    ASSERT_EQ(DNSFileParse(c.line, &e), c.ok) << "'" << c.line << "'";
    if (!c.ok) continue;
    EXPECT_EQ(e.time, c.time) << c.line;
    EXPECT_EQ(e.tries, c.tries) << c.line;
    EXPECT_EQ(e.address, Key(c.ip)) << c.line;
    EXPECT_EQ(e.status, HOST_CACHED) << c.line;
    if (c.name[0] == '*')
      EXPECT_EQ(e.domain, FailedMark) << c.line;
    else
      EXPECT_STREQ(e.domain, c.name) << c.line;
  }
}

TEST_F(CacheFileTest, LinesEndingInCrLfAndTooLongLines) {
  std::string longname(600, 'n');
  Spit(path, "21038400 10.0.0.1 a\r\n21038400 10.0.0.2 b\r21038400 10.0.0.3 " + longname + "\n");
  Settings.expire_good = Settings.expire_failed = 30000;
  EXPECT_EQ(Read(), "Line 3 too long 618/510.\n");
  ASSERT_EQ(Count(), 3u);
  EXPECT_STREQ(Find("10.0.0.1")->domain, "a");
  EXPECT_STREQ(Find("10.0.0.2")->domain, "b");
  EXPECT_EQ(std::string(Find("10.0.0.3")->domain), longname.substr(0, 510 - 18));
}

// ---------------------------------------------------------------------------
// Round trips

TEST_F(CacheFileTest, PlainAndPrivateFormats) {
  int32_t now = (int32_t)time(nullptr);
  int32_t t = now - now % 60;
  // Keys 1, 2, 3 sit in buckets 1, 2, 3, so the file order is known.
  Add("1.0.0.0", "one.example", t + 59);
  Add("2.0.0.0", "*", t, 2);
  Add("3.0.0.0", nullptr, t);
  AddKey(1 + 61631, "later.example", t);  // same bucket as key 1, inserted later
  std::string field = std::to_string(t / 60);
  std::string later;
  {
    char ip[16];
    IPFormat(1 + 61631, ip);
    later = ip;
  }

  EXPECT_EQ(Write(false), "");
  EXPECT_EQ(Slurp(path), field + " " + later + " later.example\n" + field + " 1.0.0.0 one.example\n" +
                             field + " 2.0.0.0 *\n");
  EXPECT_EQ(Reload(), "");
  ASSERT_EQ(Count(), 3u);
  EXPECT_EQ(Find("1.0.0.0")->time, t);  // rounded down to the minute
  EXPECT_EQ(Find("2.0.0.0")->tries, 4u);
  EXPECT_EQ(Find("2.0.0.0")->domain, FailedMark);
  EXPECT_EQ(Find("3.0.0.0"), nullptr);

  Reset();
  Add("1.0.0.0", "one.example", t);
  Add("2.0.0.0", "*", t, 2);
  EXPECT_EQ(Write(true), "");
  int status = -1;
  EXPECT_EQ(Gunzip(path, &status), field + " 1.0.0.0 one.example\n" + field + " $2 2.0.0.0 *\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Reload(), "");
  EXPECT_EQ(Find("2.0.0.0")->tries, 2u);
  EXPECT_EQ(Find("1.0.0.0")->tries, 4u);
  EXPECT_EQ(Find("1.0.0.0")->status, HOST_CACHED);
}

TEST_F(CacheFileTest, TimeScaling) {
  Settings.expire_good = Settings.expire_failed = 30000;
  Add("10.0.0.1", "h", 1262304000);
  Add("10.0.0.2", "h", 1262304059);
  Add("10.0.0.3", "h", -59);  // truncates toward zero
  Write(false);
  std::string file = Slurp(path);
  EXPECT_NE(file.find("21038400 10.0.0.1 h\n"), std::string::npos);
  EXPECT_NE(file.find("21038400 10.0.0.2 h\n"), std::string::npos);
  EXPECT_NE(("\n" + file).find("\n0 10.0.0.3 h\n"), std::string::npos);
  Reload();
  EXPECT_EQ(Find("10.0.0.2")->time, 1262304000);

  // Offset and divisor; the sum wraps like 32-bit arithmetic.
  Reset();
  Settings.offset = 100;
  Settings.divisor = 1;
  int32_t now = (int32_t)time(nullptr);
  Add("10.0.0.1", "h", now);
  Add("10.0.0.2", "h", INT32_MAX);
  Write(false);
  file = Slurp(path);
  EXPECT_NE(file.find(std::to_string((long)now + 100) + " 10.0.0.1 h\n"), std::string::npos);
  EXPECT_NE(file.find("-2147483549 10.0.0.2 h\n"), std::string::npos);
  Reload();
  EXPECT_EQ(Find("10.0.0.1")->time, now);
  EXPECT_EQ(Find("10.0.0.2")->time, INT32_MAX);

  // Reading multiplies back with wrapping too.
  Settings.offset = 0;
  Settings.divisor = 86400;
  HostEntry e;
  ASSERT_TRUE(DNSFileParse("99999999999 10.0.0.1 h", &e));
  ASSERT_TRUE(DNSFileParse("-2147483648 10.0.0.1 h", &e));
  EXPECT_EQ(e.time, 0);
}

TEST_F(CacheFileTest, NamesWithLineBreaksAreNotWritten) {
  int32_t now = (int32_t)time(nullptr);
  Add("10.0.0.1", "good", now);
  Add("10.0.0.2", "bad\nname", now);
  Add("10.0.0.3", "bad\rname", now);
  Settings.verbose = 1;
  EXPECT_EQ(Write(false), "Wrote 1 cache entries, 0 expired, 0 (0%) were unresolved.\n");
  EXPECT_EQ(Reload(), "Read 1 entries from DNS cache, 0 (0%) were unresolved.\n");
}

// ---------------------------------------------------------------------------
// Reading: counts and messages

TEST_F(CacheFileTest, MissingFile) {
  Settings.verbose = 1;
  EXPECT_EQ(Read(), "'" + path + "' not found, creating it.\n");
  EXPECT_EQ(Count(), 0u);
  EXPECT_FALSE(Exists(path));
}

TEST_F(CacheFileTest, DuplicatesAndCorruptLines) {
  std::string data = "21038400 10.0.0.1 first\n21038400 10.0.0.2 *\n";
  for (int i = 0; i < 1500; i++) data += "21038400 10.0.0.1 again\n";
  for (int i = 0; i < 1234; i++) data += i % 2 ? "\n" : "junk\n";
  Spit(path, data);
  Settings.verbose = 1;
  EXPECT_EQ(Read(),
            "1500 duplicate IP addresses in the DNS cache file, ignored.\n"
            "1,234 corrupt lines in the DNS cache file, ignored.\n"
            "Read 1,502 entries from DNS cache, 1 (0%) were unresolved.\n");
  EXPECT_EQ(Count(), 2u);
  EXPECT_STREQ(Find("10.0.0.1")->domain, "first");

  Spit(path, "1 10.0.0.1 *\n1 10.0.0.2 *\n1 10.0.0.3 x\n");
  EXPECT_EQ(Reload(), "Read 3 entries from DNS cache, 2 (66%) were unresolved.\n");
  Spit(path, "");
  EXPECT_EQ(Reload(), "Read 0 entries from DNS cache, 0 (0%) were unresolved.\n");
}

// ---------------------------------------------------------------------------
// Writing: expiry and formats

TEST_F(CacheFileTest, ExpiryBoundaries) {
  Settings.divisor = 1;
  Settings.verbose = 1;
  Settings.expire_good = 84;
  Settings.expire_failed = 126;
  // The boundary cases need LkWrite to see the same second as the test.
  for (int attempt = 0; attempt < 5; attempt++) {
    Reset();
    int32_t now = (int32_t)time(nullptr);
    Add("10.0.0.1", "good-edge", now - 84 * DAY);
    Add("10.0.0.2", "good-old", now - 84 * DAY - 1);
    Add("10.0.0.3", "*", now - 84 * DAY);
    Add("10.0.0.4", "*", now - 84 * DAY - 1);  // failed, older than the good limit
    Add("10.0.0.5", "*", now - 100 * DAY);
    Add("10.0.0.6", nullptr, now - 200 * DAY);  // pending: not counted
    std::string out = Write(false);
    if ((int32_t)time(nullptr) != now) continue;
    EXPECT_EQ(out, "Wrote 2 cache entries, 3 expired, 1 (50%) were unresolved.\n");
    Reload();
    EXPECT_NE(Find("10.0.0.1"), nullptr);
    EXPECT_NE(Find("10.0.0.3"), nullptr);
    EXPECT_EQ(Count(), 2u);

    Reset();
    Settings.expire_good = 200;
    Add("10.0.0.1", "good", now - 150 * DAY);
    Add("10.0.0.2", "*", now - 126 * DAY);
    Add("10.0.0.3", "*", now - 126 * DAY - 1);
    out = Write(false);
    if ((int32_t)time(nullptr) != now) {
      Settings.expire_good = 84;
      continue;
    }
    EXPECT_EQ(out, "Wrote 2 cache entries, 1 expired, 1 (50%) were unresolved.\n");
    return;
  }
  FAIL() << "clock kept moving";
}

TEST_F(CacheFileTest, EmptyTable) {
  Settings.verbose = 1;
  EXPECT_EQ(Write(false), "Wrote 0 cache entries, 0 expired, 0 (0%) were unresolved.\n");
  ASSERT_TRUE(Exists(path));
  EXPECT_EQ(Slurp(path), "");
  EXPECT_EQ(Write(true), "Wrote 0 cache entries, 0 expired, 0 (0%) were unresolved.\n");
  std::string gz = Slurp(path);
  ASSERT_GE(gz.size(), 2u);
  EXPECT_EQ((unsigned char)gz[0], 0x1f);
  EXPECT_EQ((unsigned char)gz[1], 0x8b);
  int status = -1;
  EXPECT_EQ(Gunzip(path, &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Reload(), "Read 0 entries from DNS cache, 0 (0%) were unresolved.\n");
}

TEST_F(CacheFileTest, SwitchingFormatConvertsTheFile) {
  int32_t now = (int32_t)time(nullptr);
  Add("10.0.0.1", "a", now);
  Add("10.0.0.2", "*", now, 3);
  Write(false);
  std::string plain = Slurp(path);
  Reload();
  Write(true);
  EXPECT_EQ((unsigned char)Slurp(path)[0], 0x1f);
  Reload();
  EXPECT_EQ(Count(), 2u);
  EXPECT_EQ(Find("10.0.0.2")->tries, 4u);  // the plain file had no count
  Write(false);
  EXPECT_EQ(Slurp(path), plain);
}

TEST_F(CacheFileTest, BackupRotation) {
  int32_t now = (int32_t)time(nullptr);
  std::string bak = path + ".bak";
  Spit(bak, "stale\n");
  Add("10.0.0.1", "a", now);
  Write(false);
  std::string a = Slurp(path);
  EXPECT_EQ(Slurp(bak), "stale\n");  // no previous cache: the old backup is kept
  Add("10.0.0.2", "b", now);
  Write(false);
  std::string b = Slurp(path);
  EXPECT_EQ(Slurp(bak), a);
  Add("10.0.0.3", "c", now);
  Write(true);
  EXPECT_EQ(Slurp(bak), b);
  // Only the cache and its backup are left: no temporary files.
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"dnscache", "dnscache.bak"}));
}

TEST_F(CacheFileTest, SymlinkedCacheAndPermissions) {
  int32_t now = (int32_t)time(nullptr);
  ASSERT_EQ(mkdir((dir + "/real").c_str(), 0755), 0);
  std::string target = dir + "/real/cache";
  Spit(target, "1 10.0.0.9 old\n");
  chmod(target.c_str(), 0640);
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  Add("10.0.0.1", "a", now);
  EXPECT_EQ(Write(false), "");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(Slurp(path).find("10.0.0.1 a"), std::string::npos);
  EXPECT_EQ(Slurp(target + ".bak"), "1 10.0.0.9 old\n");
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// Link protection refuses a hard link to a file the writer does not own; the
// backup is then made by copying.
TEST_F(CacheFileTest, BackupByCopyWhereLinksAreRefused) {
  std::ifstream prot("/proc/sys/fs/protected_hardlinks");
  int protect = 0;
  prot >> protect;
  if (geteuid() != 0 || protect != 1) GTEST_SKIP() << "needs root and fs.protected_hardlinks=1";
  std::string shared = dir + "/shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  std::string cache = shared + "/dnscache";
  cachePath = cache.c_str();
  int32_t now = (int32_t)time(nullptr);
  Add("10.0.0.1", "old", now);
  Write(false);
  ASSERT_EQ(chmod(cache.c_str(), 0644), 0);
  std::string before = Slurp(cache);
  Add("10.0.0.2", "new", now);
  fflush(stdout);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    if (link(cache.c_str(), (cache + ".probe").c_str()) == 0) _exit(3);
    LkWrite(0);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "links were not refused";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Slurp(cache + ".bak"), before);
  EXPECT_NE(Slurp(cache).find("10.0.0.2 new"), std::string::npos);
  EXPECT_EQ(ListDir(shared), (std::vector<std::string>{"dnscache", "dnscache.bak"}));
  cachePath = path.c_str();
}

// Every prefix of a file loads without harm, and every complete line counts.
TEST_F(CacheFileTest, TruncatedFiles) {
  int32_t now = (int32_t)time(nullptr);
  for (int priv = 0; priv < 2; priv++) {
    Reset();
    for (uint32_t i = 1; i <= 20; i++) AddKey(0x0a000000u + i * 77, i % 4 ? "host.example.org" : "*", now, 2);
    Write(priv);
    std::string full = Slurp(path);
    std::string text = full;
    if (priv) {
      int status;
      text = Gunzip(path, &status);
    }
    size_t lines = (size_t)std::count(text.begin(), text.end(), '\n');
    ASSERT_EQ(lines, 20u);
    for (size_t len = 0; len <= full.size(); len++) {
      Spit(path, full.substr(0, len));
      Reset();
      std::string out = Read();
      size_t n = Count();
      if (!priv) {
        std::string part = full.substr(0, len);
        size_t complete = (size_t)std::count(part.begin(), part.end(), '\n');
        // A cut last line may still parse (a shortened name) or be corrupt.
        EXPECT_GE(n, complete) << len;
        EXPECT_LE(n, complete + 1) << len;
      } else {
        EXPECT_LE(n, 20u) << len;
      }
      if (len == full.size()) {
        EXPECT_EQ(out, "");
        EXPECT_EQ(n, 20u);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Safe writing under faults

class TmpfsDir {
 public:
  explicit TmpfsDir(const std::string& dir, const char* opts) : dir_(dir) {
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, opts) == 0;
    if (!mounted_) error_ = strerror(errno);
  }
  ~TmpfsDir() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool Remount(unsigned long flags, const char* opts) {
    return mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | flags, opts) == 0;
  }
  bool mounted_;
  std::string error_;

 private:
  std::string dir_;
};

TEST_F(CacheFileTest, DiskFullKeepsCacheAndBackup) {
  std::string small = dir + "/small";
  ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
  TmpfsDir fs(small, "size=64k");
  if (!fs.mounted_) GTEST_SKIP() << "cannot mount a tmpfs: " << fs.error_;
  std::string cache = small + "/dnscache";
  cachePath = cache.c_str();
  int32_t now = (int32_t)time(nullptr);
  Add("10.0.0.1", "first", now);
  Write(false);
  Add("10.0.0.2", "second", now);
  Write(false);
  std::string before = Slurp(cache), bak = Slurp(cache + ".bak");
  // Names that do not compress away, so the private format overflows too.
  uint64_t x = 88172645463325252ull;
  for (uint32_t i = 0; i < 20000; i++) {
    char name[40];
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    snprintf(name, sizeof name, "h%016llx.example.org", (unsigned long long)x);
    AddKey(0x0b000000u + i, name, now);
  }
  for (int priv = 0; priv < 2; priv++) {
    EXPECT_EQ(Write(priv), "Unable to write '" + cache + "'!\n");
    EXPECT_EQ(Slurp(cache), before);
    EXPECT_EQ(Slurp(cache + ".bak"), bak);
    EXPECT_EQ(ListDir(small), (std::vector<std::string>{"dnscache", "dnscache.bak"}));
  }
  EXPECT_EQ(Reload(), "");
  EXPECT_EQ(Count(), 2u);
  cachePath = path.c_str();
}

TEST_F(CacheFileTest, ReadOnlyDirectoryKeepsCache) {
  std::string ro = dir + "/ro";
  ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
  std::string cache = ro + "/dnscache";
  cachePath = cache.c_str();
  int32_t now = (int32_t)time(nullptr);
  Add("10.0.0.1", "first", now);
  // Root ignores directory permissions; a read-only mount stops it.
  std::unique_ptr<TmpfsDir> fs;
  if (geteuid() == 0) {
    fs.reset(new TmpfsDir(ro, "size=1m"));
    if (!fs->mounted_) GTEST_SKIP() << "root, and cannot mount a tmpfs: " << fs->error_;
    Write(false);
    if (!fs->Remount(MS_RDONLY, nullptr)) {
      GTEST_SKIP() << "cannot remount read-only: " << strerror(errno);
    }
  } else {
    Write(false);
    ASSERT_EQ(chmod(ro.c_str(), 0555), 0);
  }
  std::string before = Slurp(cache);
  Add("10.0.0.2", "second", now);
  EXPECT_EQ(Write(false), "Unable to open '" + cache + "' for output.\n");
  EXPECT_EQ(Slurp(cache), before);
  EXPECT_FALSE(Exists(cache + ".bak"));
  chmod(ro.c_str(), 0755);
  cachePath = path.c_str();
}

// A write killed at any moment leaves the old or the new cache whole.
TEST_F(CacheFileTest, KillDuringWriteLeavesCompleteCache) {
  const uint32_t N = 500000;
  int32_t now = (int32_t)time(nullptr);
  for (uint32_t i = 0; i < N; i++) AddKey(0x0a000000u + i, "host-name.example.net", now);
  HostEntry* marker = Add("192.0.2.1", "gen-1", now);

  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  EXPECT_EQ(Write(false), "");
  clock_gettime(CLOCK_MONOTONIC, &t1);
  long write_us = (t1.tv_sec - t0.tv_sec) * 1000000L + (t1.tv_nsec - t0.tv_nsec) / 1000;

  const int ROUNDS = 8;
  int last_gen = -1;
  for (int k = 0; k < ROUNDS; k++) {
    char gen[16];
    snprintf(gen, sizeof gen, "gen%d", k);
    char* copy = (char*)MPAlloc(hostPool, 16);
    strcpy(copy, gen);
    marker->domain = copy;
    fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) LkWrite(k % 2);
    }
    // Spread the kills over one to two write times.
    usleep((useconds_t)(write_us / 2 + write_us * (k * 3 % ROUNDS) / ROUNDS));
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);

    MemoryPool* pool = hostPool;
    HashTable* table = hostTable;
    NewTable();
    std::string out = Read();
    size_t n = Count();
    uint32_t mk = Key("192.0.2.1");
    void* item = nullptr;
    std::string seen = HashFind(hostTable, &mk, &item) ? ((HostEntry*)item)->domain : "";
    DropTable();
    hostPool = pool;
    hostTable = table;

    EXPECT_EQ(out, "") << "round " << k;
    EXPECT_EQ(n, N + 1) << "round " << k;
    int g = -2;
    ASSERT_EQ(sscanf(seen.c_str(), "gen%d", &g), 1) << seen;
    EXPECT_GE(g, last_gen) << "round " << k;
    EXPECT_LE(g, k) << "round " << k;
    last_gen = g;
  }
  // Killed writes leave their temporary files behind: the kills did land
  // in the middle of writes.
  size_t leftovers = 0;
  for (const std::string& name : ListDir(dir)) leftovers += name.rfind("dnscache.tmp", 0) == 0;
  EXPECT_GT(leftovers, 0u);
}
