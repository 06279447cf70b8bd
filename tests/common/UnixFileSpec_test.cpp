#include "common/UnixFileSpec.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>
#include <functional>

#include "tests/common/TestUtil.h"

// Run once just before the next openat: what an attacker does between a check
// (or a removal) and the open.
static std::function<void()> before_open;

extern "C" int openat(int dir, const char* path, int flags, ...) {
  static auto real = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
  va_list ap;
  va_start(ap, flags);
  mode_t mode = flags & O_CREAT ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  if (auto f = std::move(before_open)) before_open = nullptr, f();
  return real(dir, path, flags, mode);
}

namespace {

using tu::Plant;

const uid_t OTHER = 65534;  // someone else: nobody

// Only a regular file is opened, never blocking, also when a FIFO takes its
// name after the check. Links are followed while they are the running
// user's.
TEST(FileSafety, ReadsAndLinks) {
  tu::TempDir tmp;
  std::string file = tmp / "file";
  tu::Spit(file, "x\n");
  bool root = geteuid() == 0;
  ASSERT_EQ(Plant("fifo", tmp / "fifo", "") + Plant("symlink", tmp / "link", "file") + Plant("dir", tmp / "d", "") +
                Plant("symlink", tmp / "tofifo", "fifo") + Plant("symlink", tmp / "d/rel", "../real") +
                Plant("symlink", tmp / "abs", tmp / "d/rel") + Plant("symlink", tmp / "loop", "loop") +
                Plant("symlink", tmp / "theirs", "real") + (root ? lchown((tmp / "theirs").c_str(), OTHER, OTHER) : 0),
            0);
  // clang-format off
  struct { std::string name; int err; bool nofollow, swap; } rows[] = {
      {tmp / "missing", ENOENT, 0, 0}, {tmp / "fifo", FS_NOT_REGULAR, 0, 0}, {tmp / "tofifo", FS_NOT_REGULAR, 0, 0},
      {tmp / "d", FS_NOT_REGULAR, 0, 0}, {"/dev/zero", FS_NOT_REGULAR, 0, 0}, {tmp / "link", ELOOP, 1, 0},
      {tmp / "link", 0, 0, 0}, {file, 0, 1, 0}, {file, FS_NOT_REGULAR, 0, 1}};  // the FIFO takes the file's name: last
  // clang-format on
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.swap) before_open = [&] { rename((tmp / "fifo").c_str(), file.c_str()); };
    int err = 0;
    struct stat st;
    FILE* f = FSOpenRead(r.name.c_str(), r.nofollow, &st, &err);
    EXPECT_EQ(f ? 0 : err, r.err);
    EXPECT_TRUE(!f || (S_ISREG(st.st_mode) && (fcntl(fileno(f), F_GETFL) & O_NONBLOCK) == 0));
    if (f) fclose(f);
  }
  const std::pair<std::string, std::string> links[] = {
      {"abs", tmp / "d/../real"}, {"loop", "ELOOP"}, {"theirs", root ? "EACCES" : tmp / "real"}};
  for (auto& [name, want] : links) {
    std::string out;
    int err = 0;
    bool ok = FSResolveOwnLinks((tmp / name).c_str(), &out, &err);
    EXPECT_EQ(ok ? out : err == ELOOP ? "ELOOP" : err == EACCES ? "EACCES" : strerror(err), want);
  }
}

// What stands at a temporary's fixed name goes, never written through, also
// when planted between its removal and the create; the target decides
// whether it may be replaced. The temporary is 0600 until finished, whatever
// the umask, then takes the mode given and, as root, the owner. A scratch
// file in TMPDIR is private and already gone from its directory.
TEST(FileSafety, Temporaries) {
  tu::TempDir tmp;
  std::string victim = tmp / "victim";
  tu::Spit(victim, "precious\n");
  const std::string before = tu::State(victim);
  std::string out = tmp / "out", fixed = tmp / "out.$$$";
  ASSERT_EQ(Plant("dir", tmp / "dir", ""), 0);
  bool root = geteuid() == 0;
  mode_t mask = umask(0);
  // clang-format off
  struct { std::string target, fixed, leftover; int err; bool race; } rows[] = {
      {out, fixed, "symlink", 0, 0}, {out, fixed, "hardlink", 0, 0}, {out, fixed, "symlink", EEXIST, 1}, {out, "", "none", 0, 0},
      {tmp / "dir", "", "none", FS_NOT_REGULAR, 0}, {out, tmp / "dir/x.$$$", "none", EXDEV, 0}};
  // clang-format on
  for (auto& r : rows) {
    SCOPED_TRACE(r.target + " " + r.fixed + " " + r.leftover);
    ASSERT_EQ(Plant(r.leftover, fixed, victim), 0);
    if (r.race) before_open = [&] { Plant(r.leftover, fixed, victim); };
    FSTemp t;
    int err = 0;
    bool made = FSTempCreate(&t, r.target.c_str(), r.fixed.empty() ? nullptr : r.fixed.c_str(), &err);
    EXPECT_EQ(made ? 0 : err, r.err);
    struct stat st;
    if (made && fstat(t.fd, &st) == 0) {
      EXPECT_EQ(st.st_mode & 07777, 0600u);
      FILE* f = FSTempStream(&t);
      fputs("new\n", f), fclose(f);
      EXPECT_TRUE(FSTempFinish(&t, 0640, root ? OTHER : -1, root ? OTHER : -1) && FSTempInstall(&t, nullptr));
      EXPECT_EQ(stat(out.c_str(), &st), 0);
      EXPECT_EQ(std::make_tuple(tu::Slurp(out), st.st_mode & 07777, st.st_uid),
                std::make_tuple("new\n", 0640u, root ? OTHER : geteuid()));
    }
    FSTempClose(&t);
    EXPECT_EQ(tu::State(victim), before);
    unlink(fixed.c_str());
  }
  setenv("TMPDIR", (tmp / "dir").c_str(), 1);
  const char* used = nullptr;
  int fd = FSPrivateTemp(&used);
  umask(mask);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(std::make_tuple(std::string(used), st.st_mode & 07777, st.st_nlink),
            std::make_tuple(tmp / "dir", 0600u, 0u));
  close(fd);
  EXPECT_EQ(tu::ListDir(tmp.path), (std::vector<std::string>{"dir", "out", "victim"}));
  EXPECT_TRUE(tu::ListDir(tmp / "dir").empty());
}

}  // namespace
