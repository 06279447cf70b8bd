#include "common/UnixFileSpec.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <thread>

#include "tests/common/TestUtil.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using tu::Slurp;
using tu::Spit;

const uid_t OTHER = 65534;  // someone else: nobody

mode_t ModeOf(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Only a regular file is opened, never blocking; a missing one is silent,
// any other failure is reported on standard error.
TEST(FileSafety, ReadOpensOnlyRegularFiles) {
  tu::TempDir tmp;
  Spit(tmp / "file.log", "x\n");
  ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0644) + symlink("file.log", (tmp / "link").c_str()), 0);
  ASSERT_EQ(symlink("fifo", (tmp / "tofifo").c_str()) + mkdir((tmp / "dir").c_str(), 0755), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, (tmp / "sock").c_str());
  ASSERT_EQ(bind(sock, (sockaddr*)&addr, sizeof addr), 0);
  MemoryPool* pool = MPNew();
  struct { std::string name; int err; bool nofollow; } cases[] = {
      {tmp / "missing", ENOENT, false}, {tmp / "file.log/x", ENOTDIR, false}, {tmp / "fifo", FS_NOT_REGULAR, false},
      {tmp / "tofifo", FS_NOT_REGULAR, false}, {tmp / "dir", FS_NOT_REGULAR, false}, {"/dev/zero", FS_NOT_REGULAR, false},
      {tmp / "sock", FS_NOT_REGULAR, false}, {tmp / "link", ELOOP, true}, {tmp / "file.log", 0, false},
      {tmp / "link", 0, false}, {tmp / "file.log", 0, true}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    int err = 0;
    struct stat st;
    FILE* f = FSOpenRead(c.name.c_str(), c.nofollow, &st, &err);
    EXPECT_EQ(f != nullptr, c.err == 0);
    if (f) {
      EXPECT_TRUE(S_ISREG(st.st_mode) && (fcntl(fileno(f), F_GETFL) & O_NONBLOCK) == 0);
      fclose(f);
    } else {
      EXPECT_EQ(err, c.err);
    }
    if (c.nofollow) continue;
    const char* why = "unset";
    CaptureStderr();
    f = OpenFile(c.name.c_str(), "rb", &why);
    InputFile* in = INOpenPath(c.name.c_str(), pool);
    std::string said = c.err == 0 || c.err == ENOENT ? "" : "Opening file: " + std::string(FSErrorText(c.err)) + "\n";
    EXPECT_EQ(GetCapturedStderr(), said + said);
    EXPECT_EQ(f != nullptr && in != nullptr, c.err == 0);
    if (f) fclose(f);
    if (in) INClose(in);
    EXPECT_STREQ(why, c.err ? FSErrorText(c.err) : nullptr);
  }
  EXPECT_STREQ(FSErrorText(FS_NOT_REGULAR), "Not a regular file");
  EXPECT_TRUE(FSNotAFile((tmp / "fifo").c_str()) && FSNotAFile((tmp / "dir").c_str()));
  EXPECT_FALSE(FSNotAFile((tmp / "missing").c_str()) || FSNotAFile((tmp / "link").c_str()));
  close(sock);
  MPDelete(pool);
}

// A name that flips between a file and a FIFO, or a link to /dev/zero, as
// fast as it can: every open returns at once, with the file or a refusal.
TEST(FileSafety, SwappedNameNeverBlocks) {
  tu::TempDir tmp;
  std::string name = tmp / "log", file = tmp / "file", fifo = tmp / "fifo", dev = tmp / "dev";
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    for (int i = 0; !stop; i++) {
      Spit(file, "data\n");
      mkfifo(fifo.c_str(), 0644);
      symlink("/dev/zero", dev.c_str());
      rename((i % 3 == 0 ? file : i % 3 == 1 ? fifo : dev).c_str(), name.c_str());
    }
  });
  int opened = 0, refused = 0;
  // At least 20,000 opens, and on until both outcomes were seen: a loaded
  // machine may run the flipper rarely.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < 20000 || ((!opened || !refused) && std::chrono::steady_clock::now() < until); i++) {
    int err = 0;
    FILE* f = FSOpenRead(name.c_str(), false, nullptr, &err);
    if (f) {
      char b[8] = {};
      EXPECT_EQ(fread(b, 1, sizeof b, f), 5u);
      fclose(f), opened++;
    }
    refused += err == FS_NOT_REGULAR;
  }
  stop = true;
  flipper.join();
  EXPECT_GT(opened, 0);
  EXPECT_GT(refused, 0);
}

TEST(FileSafety, OwnLinksOnly) {
  tu::TempDir tmp;
  Spit(tmp / "real", "x");
  ASSERT_EQ(mkdir((tmp / "d").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../real", (tmp / "d/rel").c_str()) + symlink((tmp / "d/rel").c_str(), (tmp / "abs").c_str()), 0);
  ASSERT_EQ(symlink("loop", (tmp / "loop").c_str()) + symlink("real", (tmp / "theirs").c_str()), 0);
  bool root = geteuid() == 0;
  ASSERT_EQ(root ? lchown((tmp / "theirs").c_str(), OTHER, OTHER) : 0, 0);
  struct { std::string name, out; int err; } cases[] = {
      {tmp / "abs", tmp / "d/../real", 0}, {tmp / "real", tmp / "real", 0}, {tmp / "none", tmp / "none", 0},
      {tmp / "loop", "", ELOOP}, {tmp / "theirs", root ? "" : tmp / "real", root ? EACCES : 0}};
  for (auto& c : cases) {
    std::string out;
    int err = 0;
    EXPECT_EQ(FSResolveOwnLinks(c.name.c_str(), &out, &err), c.err == 0) << c.name;
    EXPECT_EQ(c.err ? err : 0, c.err) << c.name;
    EXPECT_EQ(!c.err ? out : c.out, c.out);
  }
}

// What stands at a temporary's fixed name (a leftover, a link to a victim)
// goes, never written through; what stands at the target decides whether it
// may be replaced. The temporary is 0600 until finished, whatever the umask.
TEST(FileSafety, TemporariesBesideTheTarget) {
  tu::TempDir tmp;
  std::string victim = tmp / "victim", target = tmp / "out";
  Spit(victim, "precious\n");
  chmod(victim.c_str(), 0644);
  ASSERT_EQ(mkdir((tmp / "dir").c_str(), 0755) + mkfifo((tmp / "fifo").c_str(), 0644), 0);
  mode_t mask = umask(0);
  struct { std::string target, fixed; std::string leftover; int err; } cases[] = {
      {target, tmp / "out.$$$", "link", 0},  {target, tmp / "out.$$$", "hard", 0},
      {target, tmp / "out.$$$", "file", 0},  {target, "", "", 0},
      {tmp / "dir", "", "", FS_NOT_REGULAR}, {tmp / "fifo", "", "", FS_NOT_REGULAR},
      {target, tmp / "dir/x.$$$", "", EXDEV}, {tmp / "dir/", "", "", EISDIR},
      {tmp / "nodir/out", "", "", ENOENT}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.target + " " + c.fixed + " " + c.leftover);
    ASSERT_EQ(c.leftover == "link" ? symlink(victim.c_str(), c.fixed.c_str()) : 0, 0);
    ASSERT_EQ(c.leftover == "hard" ? link(victim.c_str(), c.fixed.c_str()) : 0, 0);
    if (c.leftover == "file") Spit(c.fixed, "stale");
    FSTemp t;
    int err = 0;
    bool made = FSTempCreate(&t, c.target.c_str(), c.fixed.empty() ? nullptr : c.fixed.c_str(), &err);
    EXPECT_EQ(made, c.err == 0);
    if (!made) {
      EXPECT_EQ(err, c.err);
      FSTempClose(&t);
      continue;
    }
    std::string temp = tmp / t.name;
    EXPECT_EQ(ModeOf(temp), 0600u);
    FILE* f = FSTempStream(&t);
    fputs("new\n", f), fclose(f);
    EXPECT_TRUE(FSTempFinish(&t, 0640, (uid_t)-1, (gid_t)-1));
    EXPECT_TRUE(FSTempInstall(&t, nullptr));
    FSTempClose(&t);
    EXPECT_EQ(Slurp(target), "new\n");
    EXPECT_EQ(ModeOf(target), 0640u);
    EXPECT_EQ(Slurp(victim), "precious\n");
    EXPECT_EQ(ModeOf(victim), 0644u);
  }
  umask(mask);
  EXPECT_EQ(tu::ListDir(tmp.path), (std::vector<std::string>{"dir", "fifo", "out", "victim"}));
  // Not installed: the temporary goes, the target stays.
  FSTemp t;
  int err;
  ASSERT_TRUE(FSTempCreate(&t, target.c_str(), nullptr, &err));
  FSTempClose(&t);
  EXPECT_EQ(tu::ListDir(tmp.path), (std::vector<std::string>{"dir", "fifo", "out", "victim"}));
}

// Owner and mode of a finished file, as root: the owner and group given; a
// group that cannot be given (not root) takes the group's bits away.
TEST(FileSafety, FinishedOwnerAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  tu::TempDir tmp;
  std::string target = tmp / "out";
  struct { bool as_root; mode_t mode; gid_t gid; mode_t want_mode; uid_t want_uid; gid_t want_gid; } cases[] = {
      {true, 0640, OTHER, 0640, OTHER, OTHER}, {true, 0604, 0, 0604, OTHER, 0},
      {false, 0640, 0, 0600, OTHER, OTHER}, {false, 0644, OTHER, 0644, OTHER, OTHER}};
  chmod(tmp.path.c_str(), 0777);
  for (auto& c : cases) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      if (!c.as_root && (setgid(OTHER) != 0 || setuid(OTHER) != 0)) _exit(2);
      FSTemp t;
      int err;
      bool ok = FSTempCreate(&t, target.c_str(), nullptr, &err) && FSTempFinish(&t, c.mode, OTHER, c.gid) &&
                FSTempInstall(&t, nullptr);
      FSTempClose(&t);
      _exit(ok ? 0 : 1);
    }
    int status;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(std::make_tuple(st.st_mode & 07777, st.st_uid, st.st_gid),
              std::make_tuple(c.want_mode, c.want_uid, c.want_gid))
        << c.as_root << " " << std::oct << c.mode;
  }
}

// The scratch file is private and already gone from its directory, even
// under a umask that would open it up; a directory that cannot take it fails.
TEST(FileSpec, PrivateTempIsUnlinkedAndOwnerOnly) {
  tu::TempDir tmp;
  const char* old = getenv("TMPDIR");
  std::string saved = old ? old : "";
  mode_t mask = umask(0);
  for (std::string dir : {tmp.path, tmp / "missing"}) {
    setenv("TMPDIR", dir.c_str(), 1);
    const char* used = nullptr;
    int fd = FSPrivateTemp(&used);
    EXPECT_EQ(used, dir);
    struct stat st;
    if (dir == tmp.path) {
      ASSERT_GE(fd, 0);
      ASSERT_EQ(fstat(fd, &st), 0);
      EXPECT_EQ(std::make_tuple(st.st_mode & 07777, st.st_nlink, write(fd, "x", 1)), std::make_tuple(0600u, 0u, 1L));
      EXPECT_TRUE(tu::ListDir(tmp.path).empty());
      close(fd);
    } else {
      EXPECT_EQ(std::make_pair(fd, errno), std::make_pair(-1, ENOENT));
    }
  }
  umask(mask);
  if (old) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
}

}  // namespace
