#include "src/Translate.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <random>

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
  tu::TempDir dir;
  std::string in = dir / "log", said;
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
      bool named = IPParse(run.c_str(), &key) && HashFind(hostTable, &key, &item) && HostNamed((HostEntry*)item);
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
  const char* tokens[] = {"1.2.3.4", "10.0.0.1", "5.6.7.8", "9.9.9.9", "1.2.3.4.5", "x",         "abc ",
                          " ",       ":80",      ".",       "\r\n",    "\n",        "\r",        "123",
                          "0",       "..",       "1.",      ".5",      "12345",     "1.2",       "001.2.3.4",
                          "256.1.2.3", "0.0.0.0", "Chrome/124.0.0.0 "};
  const unsigned n = sizeof tokens / sizeof *tokens;
  std::mt19937 rng(7);
  for (int style : {NEWLINE_UNIX, NEWLINE_MAC, NEWLINE_DOS}) {
    std::string text;
    while (text.size() < 1000000) {
      unsigned t = rng() % (n + 1);
      if (t == n) text += '\0';
      else if (rng() % 5000 == 0) text += std::string(40000, "y.7"[rng() % 3]);  // long runs
      else text += tokens[t];
    }
    Settings.newlines = style;
    EXPECT_TRUE(Plain(text) == Reference(text, style == NEWLINE_UNIX ? "\n" : style == NEWLINE_MAC ? "\r" : "\r\n"))
        << "newline style " << style;
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

TEST_F(TranslateTest, PlantedLinksAreNotFollowed) {
  std::string victim = dir / "victim";
  Spit(victim, "precious\n");
  Spit(in, "1.2.3.4\n");
  // A stale temporary that is a link: replaced, the victim left alone.
  ASSERT_EQ(symlink(victim.c_str(), (in + ".$$$").c_str()), 0);
  Settings.exchange = 1;
  ASSERT_TRUE(Run(in));
  EXPECT_EQ(Slurp(victim), "precious\n");
  EXPECT_EQ(ReadBack(in), "a.example\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(in + ".$$$")));
  // A link at an ordinary output name is refused.
  Settings.exchange = 0;
  Spit(in, "1.2.3.4\n");
  ASSERT_EQ(symlink(victim.c_str(), (in + ".gz").c_str()), 0);
  EXPECT_FALSE(Run(in));
  EXPECT_EQ(said, "Error opening output file '" + in + ".gz'.\n");
  EXPECT_EQ(Slurp(victim), "precious\n");
  Settings.compress = COMPRESS_NONE;
  ASSERT_EQ(symlink("/dev/full", (in + ".out").c_str()), 0);
  EXPECT_FALSE(Run(in));
  EXPECT_EQ(said, "Error opening output file '" + in + ".out'.\n");
  EXPECT_EQ(Slurp(in), "1.2.3.4\n");
}

// Killed at any moment of an exchange, the log's name always holds the whole
// original or the whole translation, and is never missing.
TEST_F(TranslateTest, KilledDuringExchange) {
  std::string data;
  std::mt19937 rng(5);
  while (data.size() < 6000000)
    data += (rng() % 2 ? "1.2.3.4" : "10.0.0.1") + std::string(" - - [x] GET /p?") + std::to_string(rng()) + " 200\n";
  const std::string want = Reference(data, "\n");
  Settings.exchange = 1;
  Settings.level = 1;
  // Kill ever later, from before the start to past the end, so that both
  // outcomes are met and every stage in between is likely hit.
  int originals = 0, translations = 0;
  for (long delay_us = 0, step = 1000; translations < 3 && delay_us < 20000000; delay_us += step) {
    Spit(in, data);
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
