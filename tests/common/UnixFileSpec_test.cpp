#include "common/UnixFileSpec.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/common/TestUtil.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// A missing file is silent; any other failure is reported on standard error.
TEST(FileSpec, OpenFileReportsOnlyRealFailures) {
  tu::TempDir tmp;
  tu::Spit(tmp / "file.log", "x\n");
  char path[FILESPEC_SIZE];
  const char* why = "unset";
  MemoryPool* pool = MPNew();
  struct { std::string name; int err; } cases[] = {{tmp / "missing", ENOENT}, {tmp / "file.log/x", ENOTDIR}};
  for (auto& c : cases) {
    CaptureStderr();
    EXPECT_EQ(OpenFile(strcpy(path, c.name.c_str()), "rb", &why), nullptr);
    EXPECT_EQ(INOpenPath(c.name.c_str(), pool), nullptr);
    std::string said = c.err == ENOENT ? "" : std::string("Opening file: ") + strerror(c.err) + "\n";
    EXPECT_EQ(GetCapturedStderr(), said + said);
    EXPECT_STREQ(why, strerror(c.err));
    EXPECT_EQ(path, c.name);  // left as it was
  }
  FILE* f = OpenFile(strcpy(path, (tmp / "file.log").c_str()), "rb", &why);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(why, nullptr);
  fclose(f);
  MPDelete(pool);
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
    int fd = CreatePrivateTemp(&used);
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
