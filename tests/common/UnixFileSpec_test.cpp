#include "common/UnixFileSpec.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/MemoryPool.h"
#include "common/input.h"

static bool mp_once = (MPInit(), true);

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class FileSpecTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/lv_filespec_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    char real[PATH_MAX];
    ASSERT_NE(realpath(tmpl, real), nullptr);
    dir = real;
    chmod(dir.c_str(), 0755);
    FILE* f = fopen((dir + "/file.log").c_str(), "w");
    fputs("x\n", f);
    fclose(f);
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  std::string dir;
};

TEST(FileSpec, DefaultAndCut) {
  EXPECT_STREQ(FileSpec().path, "./");
  std::string longp(1100, 'p');
  FileSpec fs(longp.c_str());
  EXPECT_EQ(std::string(fs.path), longp.substr(0, 1023));
  fs.Set("short");
  EXPECT_STREQ(fs.path, "short");
}

TEST(FileSpec, OSErrorTextTable) {
  struct {
    int16_t code;
    const char* text;
  } cases[] = {
      {-33, "Directory full"},       {-34, "Disk full"},
      {-35, "Volume not found"},     {-42, "Too many files open"},
      {-43, "File not found"},       {-45, "File is locked"},
      {-54, "Permissions error"},    {-61, "Permissions don't allow writing"},
      {-124, "Server volume has been disconnected"},
      {-5000, "Permissions error"},  {-36, "OS error code -36"},
      {0, "OS error code 0"},
  };
  for (auto& c : cases) EXPECT_STREQ(OSErrorText(c.code), c.text) << c.code;
}

TEST_F(FileSpecTest, ResolveAliasCanonicalises) {
  ASSERT_EQ(symlink((dir + "/file.log").c_str(), (dir + "/link").c_str()), 0);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  char path[FILESPEC_SIZE];
  strcpy(path, "./sub/../link");
  mkdir("sub", 0755);
  ResolveAlias(path, false);
  EXPECT_EQ(std::string(path), dir + "/file.log");
  strcpy(path, "sub");
  ResolveAlias(path, true);
  EXPECT_EQ(std::string(path), dir + "/sub/");
  strcpy(path, "no/such/file");
  CaptureStderr();
  ResolveAlias(path, false);
  EXPECT_STREQ(path, "no/such/file");
  EXPECT_EQ(GetCapturedStderr(), "");
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(FileSpecTest, OpenFileReportsOnlyRealFailures) {
  char path[FILESPEC_SIZE];
  const char* why = "unset";
  snprintf(path, sizeof path, "%s/missing", dir.c_str());
  CaptureStderr();
  EXPECT_EQ(OpenFile(path, "rb", &why), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_STREQ(why, strerror(ENOENT));

  snprintf(path, sizeof path, "%s/file.log", dir.c_str());
  FILE* f = OpenFile(path, "rb", &why);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(why, nullptr);
  fclose(f);
}

// Run as nobody so the permission bits count even for root.
TEST_F(FileSpecTest, UnreadableFileIsReported) {
  std::string file = dir + "/locked.log";
  ASSERT_EQ(std::system(("echo secret > '" + file + "'").c_str()), 0);
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    dup2(fds[1], 2);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    char path[FILESPEC_SIZE];
    snprintf(path, sizeof path, "%s", file.c_str());
    const char* why = nullptr;
    bool ok = !OpenFile(path, "rb", &why) && why && strcmp(why, strerror(EACCES)) == 0;
    MemoryPool* pool = MPNew();
    ok = ok && !INOpenPath(file.c_str(), pool);
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  std::string said;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 2) << "cannot switch to user nobody";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string line = std::string("Opening file: ") + strerror(EACCES) + "\n";
  EXPECT_EQ(said, line + line);
}

}  // namespace
