#include "common/UnixFileSpec.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

static void CopyPath(char* dst, const char* src) {
  size_t n = strnlen(src, FILESPEC_SIZE - 1);
  memcpy(dst, src, n);
  dst[n] = 0;
}

FileSpec::FileSpec() { Set(nullptr); }

FileSpec::FileSpec(const char* p) { Set(p); }

FileSpec::~FileSpec() {}

void FileSpec::Set(const char* p) { CopyPath(path, p ? p : "./"); }

struct OSErrorEntry {
  int16_t code;
  const char* text;
};

static const OSErrorEntry kOSErrors[] = {
    {-33, "Directory full"},
    {-34, "Disk full"},
    {-35, "Volume not found"},
    {-42, "Too many files open"},
    {-43, "File not found"},
    {-45, "File is locked"},
    {-54, "Permissions error"},
    {-61, "Permissions don't allow writing"},
    {-124, "Server volume has been disconnected"},
    {-5000, "Permissions error"},
};

const char* OSErrorText(int16_t code) {
  static char other[32];
  for (const OSErrorEntry& e : kOSErrors)
    if (e.code == code) return e.text;
  snprintf(other, sizeof other, "OS error code %d", code);
  return other;
}

// Linux has no Finder aliases: realpath stands in, following symbolic links
// to the canonical absolute path; a path that does not resolve (a missing
// file among others) is left as it is, silently, for fopen to judge.
void ResolveAlias(char* path, bool add_slash) {
  char resolved[PATH_MAX];
  if (!realpath(path, resolved)) return;
  CopyPath(path, resolved);
  size_t n = strlen(path);
  if (add_slash && n < FILESPEC_SIZE - 1) {
    path[n] = '/';
    path[n + 1] = 0;
  }
}

FILE* OpenFile(char* path, const char* mode, const char** err_text) {
  ResolveAlias(path, false);
  FILE* f = fopen(path, mode);
  int err = f ? 0 : errno;
  if (!f && err != ENOENT) {
    errno = err;
    perror("Opening file");
  }
  if (err_text) *err_text = f ? nullptr : strerror(err);
  return f;
}

#define TEMP_TRIES 100

int CreatePrivateTemp(const char** dir_out) {
  const char* dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  if (dir_out) *dir_out = dir;
  char path[PATH_MAX];
  for (int i = 0; i < TEMP_TRIES; i++) {
    // Unguessable, so that names planted in a shared directory cannot stop us.
    unsigned char r[8];
    if (getentropy(r, sizeof r) != 0) return -1;
    int n = snprintf(path, sizeof path, "%s/logvane.", dir);
    if (n < 0 || n + (int)sizeof r >= (int)sizeof path) {
      errno = ENAMETOOLONG;
      return -1;
    }
    for (unsigned char c : r) path[n++] = "abcdefghijklmnopqrstuvwxyz012345"[c % 32];
    path[n] = 0;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      unlink(path);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}
