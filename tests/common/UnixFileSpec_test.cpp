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

}  // namespace
