#include "src/Translate.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/input.h"
#include "src/HostTable.h"
#include "src/Settings.h"

namespace {

namespace fs = std::filesystem;
static bool mp_once = (MPInit(), true);

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// What the input reader makes of a file of any kind.
std::string ReadBack(const std::string& path) {
  MemoryPool* pool = MPNew();
  std::string text;
  if (InputFile* in = INOpenPath(path.c_str(), pool)) {
    while (char* b = INGetBuffer(in, nullptr)) {
      text.append(b, in->buff_cnt);
      INConsume(in, in->buff_cnt);
    }
    INClose(in);
  }
  MPDelete(pool);
  return text;
}

std::string Decompress(const std::string& tool, const std::string& path) {
  std::string dec = path + ".dec";
  EXPECT_EQ(system((tool + " -dc '" + path + "' > '" + dec + "'").c_str()), 0);
  std::string text = ReadFile(dec);
  unlink(dec.c_str());
  return text;
}

long VmRSSKiB() {
  std::ifstream f("/proc/self/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

int OpenFds() {
  auto fds = fs::directory_iterator("/proc/self/fd");
  return (int)std::distance(fds, fs::directory_iterator());
}

class TranslateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)mp_once;
    hostPool = MPNew();
    hostTable = HashInit(HOST_TABLE_EXPECTED, hostPool, HostKeyHash, HostKeyEqual);
    SettingsDefaults();
    char tmpl[] = "/tmp/translate_test.XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir = tmpl;
    AddHost("1.2.3.4", "a.example");
    AddHost("10.0.0.1", "b.example");
    AddHost("5.6.7.8", FailedMark);
    AddHost("9.9.9.9", nullptr);  // pending
  }
  void TearDown() override {
    if (!mounted.empty()) umount2(mounted.c_str(), MNT_DETACH);
    fs::remove_all(dir);
    HashFini(hostTable);
    MPDelete(hostPool);
    hostPool = nullptr;
    hostTable = nullptr;
  }

  void AddHost(const char* ip, const char* name) {
    HostEntry* e = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
    ASSERT_TRUE(IPParse(ip, &e->address));
    e->domain = name;
    if (name && name != FailedMark) {
      char* copy = (char*)MPAlloc(hostPool, (int32_t)strlen(name) + 1);
      e->domain = strcpy(copy, name);
    }
    e->time = 0;
    e->tries = 1;
    e->status = HOST_NEW;
    HashInsert(hostTable, e);
  }

  // Runs the pass with its messages captured.
  bool Run(const std::string& path, std::string* said = nullptr) {
    testing::internal::CaptureStdout();
    bool ok = TranslateLog(path.c_str());
    fflush(stdout);
    std::string text = testing::internal::GetCapturedStdout();
    if (said) *said = text;
    return ok;
  }

  // Translates data with no compression and returns the output.
  std::string Plain(const std::string& data, std::string* said = nullptr) {
    Settings.compress = COMPRESS_NONE;
    std::string in = dir + "/log";
    WriteFile(in, data);
    EXPECT_TRUE(Run(in, said));
    return ReadFile(in + ".out");
  }

  // A tiny tmpfs that fills up, or empty when this host refuses the mount.
  std::string FullDisk() {
    std::string m = dir + "/full";
    mkdir(m.c_str(), 0700);
    if (mount("tmpfs", m.c_str(), "tmpfs", 0, "size=64k") != 0) return "";
    return mounted = m;
  }

  std::string dir, mounted;
};

// Straightforward model of the rewriting over the whole text at once.
std::string Reference(const std::string& s, const std::string& nl) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    char c = s[i];
    if (c == '\r' || c == '\n') {
      out += nl;
      i += c == '\r' && i + 1 < s.size() && s[i + 1] == '\n' ? 2 : 1;
    } else if (c >= '0' && c <= '9') {
      size_t j = i;
      while (j < s.size() && ((s[j] >= '0' && s[j] <= '9') || s[j] == '.')) j++;
      std::string run = s.substr(i, j - i);
      uint32_t key;
      void* item = nullptr;
      if (IPParse(run.c_str(), &key) && HashFind(hostTable, &key, &item) &&
          HostNamed((HostEntry*)item))
        out += ((HostEntry*)item)->domain;
      else
        out += run;
      i = j;
    } else {
      out += c;
      i++;
    }
  }
  return out;
}

TEST_F(TranslateTest, ReplacementRules) {
  struct {
    std::string in, out;
  } rows[] = {
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
    SCOPED_TRACE(r.in);
    EXPECT_EQ(Plain(r.in), r.out);
    all_in += r.in;
    all_out += r.out;
  }
  Settings.verbose = 1;
  std::string said;
  EXPECT_EQ(Plain(all_in, &said), all_out);
  // Only whole addresses count: 12, of which the failed, pending and unknown
  // ones are unresolved.
  EXPECT_EQ(said, "Translating '" + dir + "/log'\nTranslated 9 IPs, 3 unresolved, 7 lines in 0:00!\n");
}

TEST_F(TranslateTest, NewlineStyles) {
  const std::string in = "a\r\nb\rc\nd\n\re";
  struct {
    int style;
    std::string out;
  } rows[] = {{NEWLINE_UNIX, "a\nb\nc\nd\n\ne"},
              {NEWLINE_MAC, "a\rb\rc\rd\r\re"},
              {NEWLINE_DOS, "a\r\nb\r\nc\r\nd\r\n\r\ne"}};
  for (auto& r : rows) {
    Settings.newlines = r.style;
    EXPECT_EQ(Plain(in), r.out) << r.style;
  }
}

// Line ends and addresses next to the look-ahead limit and the reader's refills.
TEST_F(TranslateTest, WindowBoundaries) {
  for (int k : {32745, 32746, 32750, 32751, 32752, 32753, 32754, 65530, 65535, 65536, 98290}) {
    SCOPED_TRACE(k);
    std::string pad(k, 'x');
    EXPECT_EQ(Plain(pad + "\r\ny\n"), pad + "\ny\n");
    EXPECT_EQ(Plain(pad + "1.2.3.4\n"), pad + "a.example\n");
    EXPECT_EQ(Plain(pad + "1.2.3.4.5\n"), pad + "1.2.3.4.5\n");
    EXPECT_EQ(Plain(pad + " 1.2.3.4:80"), pad + " a.example:80");
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
  const char* tokens[] = {"1.2.3.4", "10.0.0.1",  "5.6.7.8",   "9.9.9.9",   "1.2.3.4.5",
                          "x",       "abc ",      " ",         ":80",       ".",
                          "\r\n",    "\n",        "\r",        "123",       "0",
                          "..",      "1.",        ".5",        "12345",     "1.2",
                          "001.2.3.4", "256.1.2.3", "0.0.0.0", "Chrome/124.0.0.0 "};
  std::mt19937 rng(7);
  for (int style : {NEWLINE_UNIX, NEWLINE_MAC, NEWLINE_DOS}) {
    std::string text;
    while (text.size() < 1000000) {
      const unsigned n = sizeof tokens / sizeof *tokens;
      unsigned t = rng() % (n + 1);
      if (t == n) text += '\0';
      else if (rng() % 5000 == 0) text += std::string(40000, "y.7"[rng() % 3]);  // long runs
      else text += tokens[t];
    }
    Settings.newlines = style;
    const char* nl = style == NEWLINE_UNIX ? "\n" : style == NEWLINE_MAC ? "\r" : "\r\n";
    EXPECT_TRUE(Plain(text) == Reference(text, nl)) << "newline style " << style;
  }
}

TEST_F(TranslateTest, CompressedOutputs) {
  std::string in = dir + "/access.log";
  WriteFile(in, "1.2.3.4 GET /\r\n10.0.0.1 GET /x\n");
  const std::string want = "a.example GET /\nb.example GET /x\n";
  Settings.compress = COMPRESS_GZIP;
  ASSERT_TRUE(Run(in));
  EXPECT_EQ(Decompress("gzip", in + ".gz"), want);
  Settings.compress = COMPRESS_BZIP2;
  ASSERT_TRUE(Run(in));
  EXPECT_EQ(Decompress("bzip2", in + ".bz2"), want);
  EXPECT_EQ(ReadFile(in), "1.2.3.4 GET /\r\n10.0.0.1 GET /x\n");  // input kept
  // Compressed input is read through the reader.
  ASSERT_EQ(system(("gzip -c '" + in + "' > '" + dir + "/z'").c_str()), 0);
  Settings.compress = COMPRESS_NONE;
  ASSERT_TRUE(Run(dir + "/z"));
  EXPECT_EQ(ReadFile(dir + "/z.out"), want);
}

TEST_F(TranslateTest, LevelReachesTheCompressor) {
  std::string in = dir + "/log", gz = in + ".gz", bz = in + ".bz2";
  WriteFile(in, std::string(5000, 'q') + "\n");
  struct {
    int level;
    int xfl;
    char block;
  } rows[] = {{9, 2, '9'}, {1, 4, '1'}, {0, 0, '1'}, {5, 0, '5'}};
  for (auto& r : rows) {
    SCOPED_TRACE(r.level);
    Settings.level = r.level;
    Settings.compress = COMPRESS_GZIP;
    ASSERT_TRUE(Run(in));
    std::string g = ReadFile(gz);
    ASSERT_GT(g.size(), 11u);
    ASSERT_EQ(g[3], 0);  // no optional header fields: the first block starts at 10
    if (r.level == 0)
      EXPECT_EQ((g[10] >> 1) & 3, 0) << "stored block expected";
    else
      EXPECT_EQ(g[8], r.xfl);
    EXPECT_EQ(Decompress("gzip", gz), std::string(5000, 'q') + "\n");
    Settings.compress = COMPRESS_BZIP2;
    ASSERT_TRUE(Run(in));
    EXPECT_EQ(ReadFile(bz).substr(0, 4), std::string("BZh") + r.block);
  }
}

TEST_F(TranslateTest, ExchangeAndDelete) {
  std::string in = dir + "/log";
  WriteFile(in, "1.2.3.4 x\r\n");
  chmod(in.c_str(), 0640);
  Settings.exchange = 1;
  ASSERT_TRUE(Run(in));
  EXPECT_EQ(ReadFile(in).substr(0, 3), "\x1f\x8b\x08");
  EXPECT_EQ(ReadBack(in), "a.example x\n");
  EXPECT_FALSE(fs::exists(in + ".$$$"));
  struct stat st;
  ASSERT_EQ(stat(in.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  Settings.exchange = 0;
  Settings.delete_input = 1;
  Settings.compress = COMPRESS_NONE;
  WriteFile(in, "10.0.0.1\n");
  ASSERT_TRUE(Run(in));
  EXPECT_FALSE(fs::exists(in));
  EXPECT_EQ(ReadFile(in + ".out"), "b.example\n");
}

TEST_F(TranslateTest, SkippedAndMissingInputs) {
  Settings.verbose = 1;
  std::string said;
  EXPECT_FALSE(Run(dir, &said));
  EXPECT_EQ(said, "'" + dir + "' is not a file, skipping it.\n");
  EXPECT_FALSE(fs::exists(dir + ".gz"));
  std::string missing = dir + "/nope";
  EXPECT_FALSE(Run(missing, &said));
  EXPECT_EQ(said, "Translating '" + missing + "'\nError opening input file '" + missing + "'.\n");
  EXPECT_FALSE(fs::exists(missing + ".gz"));
}

TEST_F(TranslateTest, LongNames) {
  std::string in = dir + "/";
  while (in.size() < 300) in += "./";
  in += "log";
  WriteFile(in, "1.2.3.4\n");
  Settings.compress = COMPRESS_NONE;
  ASSERT_TRUE(Run(in));
  EXPECT_EQ(ReadFile(dir + "/log.out"), "a.example\n");
  // Beyond the path limit: refused, never overflowing.
  std::string huge = dir + "/" + std::string(5000, 'n');
  EXPECT_FALSE(Run(huge));
}

// A full disk, for every output kind, with and without exchange: a failure,
// no output left behind, and the input untouched even with delete_input.
TEST_F(TranslateTest, FullDisk) {
  std::string m = FullDisk();
  if (m.empty()) GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
  std::mt19937 rng(3);
  std::string data(40000, 0);
  for (char& c : data) c = (char)rng();  // incompressible
  std::string in = m + "/log";
  for (int exchange : {0, 1})
    for (int kind : {COMPRESS_NONE, COMPRESS_GZIP, COMPRESS_BZIP2}) {
      SCOPED_TRACE(testing::Message() << "exchange " << exchange << " kind " << kind);
      WriteFile(in, data);
      Settings.compress = kind;
      Settings.exchange = exchange;
      Settings.delete_input = !exchange;
      std::string said;
      EXPECT_FALSE(Run(in, &said));
      EXPECT_EQ(said, "Write error on output file!\n");
      EXPECT_EQ(ReadFile(in), data);
      EXPECT_EQ(std::distance(fs::directory_iterator(m), fs::directory_iterator()), 1);
    }
}

// The same through a file-size limit, which needs no mount.
TEST_F(TranslateTest, WriteErrorLeavesInputAlone) {
  std::string in = dir + "/log";
  std::string data;
  while (data.size() < 200000) data += "1.2.3.4 - - GET /index.html 200\n";
  for (int exchange : {0, 1}) {
    WriteFile(in, data);
    Settings.compress = COMPRESS_NONE;
    Settings.exchange = exchange;
    Settings.delete_input = 1;
    std::string said = dir + "/said";
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      FILE* f = freopen(said.c_str(), "w", stdout);
      signal(SIGXFSZ, SIG_IGN);
      rlimit lim = {100000, 100000};
      setrlimit(RLIMIT_FSIZE, &lim);
      bool ok = TranslateLog(in.c_str());
      fflush(f);
      _exit(ok ? 0 : 1);
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 1) << exchange;
    EXPECT_EQ(ReadFile(said), "Write error on output file!\n");
    EXPECT_EQ(ReadFile(in), data);
    EXPECT_FALSE(fs::exists(in + ".out"));
    EXPECT_FALSE(fs::exists(in + ".$$$"));
  }
}

TEST_F(TranslateTest, PlantedLinksAreNotFollowed) {
  std::string in = dir + "/log", victim = dir + "/victim";
  WriteFile(victim, "precious\n");
  WriteFile(in, "1.2.3.4\n");
  // A stale temporary that is a link: replaced, the victim left alone.
  ASSERT_EQ(symlink(victim.c_str(), (in + ".$$$").c_str()), 0);
  Settings.exchange = 1;
  ASSERT_TRUE(Run(in));
  EXPECT_EQ(ReadFile(victim), "precious\n");
  EXPECT_EQ(ReadBack(in), "a.example\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(in + ".$$$")));
  // A link at an ordinary output name is refused.
  Settings.exchange = 0;
  WriteFile(in, "1.2.3.4\n");
  ASSERT_EQ(symlink(victim.c_str(), (in + ".gz").c_str()), 0);
  std::string said;
  EXPECT_FALSE(Run(in, &said));
  EXPECT_EQ(said, "Error opening output file '" + in + ".gz'.\n");
  EXPECT_EQ(ReadFile(victim), "precious\n");
  Settings.compress = COMPRESS_NONE;
  ASSERT_EQ(symlink("/dev/full", (in + ".out").c_str()), 0);
  EXPECT_FALSE(Run(in, &said));
  EXPECT_EQ(said, "Error opening output file '" + in + ".out'.\n");
  EXPECT_EQ(ReadFile(in), "1.2.3.4\n");
}

// Killed at any moment of an exchange, the log's name always holds the whole
// original or the whole translation, and is never missing.
TEST_F(TranslateTest, KilledDuringExchange) {
  std::string in = dir + "/big.log";
  std::string data;
  std::mt19937 rng(5);
  while (data.size() < 6000000)
    data += (rng() % 2 ? "1.2.3.4" : "10.0.0.1") + std::string(" - - [x] GET /p?") +
            std::to_string(rng()) + " 200\n";
  const std::string want = Reference(data, "\n");
  Settings.exchange = 1;
  Settings.level = 1;
  // Kill ever later, from before the start to past the end, so that both
  // outcomes are met and every stage in between is likely hit.
  int originals = 0, translations = 0;
  for (long delay_us = 0, step = 1000; translations < 3 && delay_us < 20000000; delay_us += step) {
    WriteFile(in, data);
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
    std::string now = ReadBack(in);
    originals += now == data;
    translations += now == want;
    ASSERT_TRUE(now == data || now == want) << "killed at " << delay_us << " us: " << now.size();
    step += step / 4;
  }
  EXPECT_GT(originals, 0);
  EXPECT_EQ(translations, 3);
}

// Every file's pool, reader and writer go before the next: memory and
// descriptors stay flat over many files.
TEST_F(TranslateTest, ManyFilesDoNotGrow) {
  // Memory-backed when the host has one: on a disk this would time metadata.
  char shm[] = "/dev/shm/translate_test.XXXXXX";
  std::string base = mkdtemp(shm) ? shm : dir;
  long rss100 = 0;
  int fds100 = 0;
  for (int i = 0; i < 10000; i++) {
    std::string in = base + "/f" + std::to_string(i);
    WriteFile(in, "1.2.3.4 " + std::to_string(i) + "\n");
    ASSERT_TRUE(TranslateLog(in.c_str()));
    unlink(in.c_str());
    if (i < 9999) unlink((in + ".gz").c_str());
    if (i == 99) {
      rss100 = VmRSSKiB();
      fds100 = OpenFds();
    }
  }
#if !defined(__SANITIZE_ADDRESS__)  // its quarantine holds freed memory back
  EXPECT_LT(VmRSSKiB() - rss100, 2048) << "KiB grown since file 100";
#endif
  EXPECT_EQ(OpenFds(), fds100);
  EXPECT_EQ(ReadBack(base + "/f9999.gz"), "a.example 9999\n");
  if (base != dir) fs::remove_all(base);
}

}  // namespace
