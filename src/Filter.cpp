// Filter mode: standard input copied to a private scratch file as the lookup
// pass reads it, standard output kept for the translation, messages moved
// aside.
#include "src/Filter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/MemoryPool.h"
#include "common/UnixFileSpec.h"
#include "src/Settings.h"

#define FL_COPY_SIZE MP_BLOCK_SIZE
#define FL_PIPE_SIZE (1 << 20)

static bool active = false;
static int held = -1;         // messages printed before FLBegin
static int shown = -1;        // standard output while messages are held
static int translation = -1;  // standard output while it carries a translation
static int copy = -1;         // the kept copy of standard input
static int uses[2];           // "-" met by each pass

static bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= (size_t)n;
  }
  return true;
}

// Copies what remains of from to to; errno of the first failure, or 0.
static int CopyAll(int from, int to) {
  MemoryPool* pool = MPNew();
  char* buf = (char*)MPAlloc(pool, FL_COPY_SIZE);
  int err = 0;
  for (;;) {
    ssize_t n = read(from, buf, FL_COPY_SIZE);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) err = errno;
      break;
    }
    if (!WriteAll(to, buf, (size_t)n)) {
      err = errno ? errno : EIO;
      break;
    }
  }
  MPDelete(pool);
  return err;
}

void FLHoldMessages(int argc, char** argv) {
  bool dash = false;
  for (int i = 1; i < argc; i++) dash = dash || !strcmp(argv[i], "-");
  if (!dash || (held = FSPrivateTemp(nullptr)) < 0) return;
  fflush(stdout);
  shown = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (shown < 0 || dup2(held, STDOUT_FILENO) < 0) {
    if (shown >= 0) close(shown);
    close(held);
    held = shown = -1;
  }
}

void FLBegin(int argc, char** argv) {
  for (int i = 1; i < argc; i++) active = active || !strcmp(argv[i], "-");
  active = active && Settings.translate;
  fflush(stdout);
  if (held >= 0) {
    dup2(shown, STDOUT_FILENO);
    close(shown);
  }
  if (active) {
    translation = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  if (held >= 0 && lseek(held, 0, SEEK_SET) == 0) CopyAll(held, STDOUT_FILENO);
  if (held >= 0) close(held);
  held = -1;
}

bool FLActive() { return active; }

// Standard input for the lookup pass: every byte the reader takes is also
// written to the copy, so that the pass runs while the input still arrives.
static int copy_err;
static const char* copy_dir;

// Fills buf to the end of the input (a pipe hands over a page at a time to a
// reader that waits on it), so the copy takes few large writes.
static ssize_t TeeRead(void*, char* buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(STDIN_FILENO, buf + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && got == 0) return -1;
    if (n <= 0) break;
    got += (size_t)n;
  }
  // A copy that cannot be kept whole fails the translation, not the lookups.
  if (got > 0 && !copy_err && !WriteAll(copy, buf, got)) copy_err = errno ? errno : EIO;
  return (ssize_t)got;
}

// The reader may stop short of the end (damaged data): the rest still
// belongs to the copy.
static int TeeClose(void*) {
  if (!copy_err) copy_err = CopyAll(STDIN_FILENO, copy);
  if (copy_err) {
    printf("Unable to keep a copy of standard input in '%s': %s.\n", copy_dir, strerror(copy_err));
    close(copy);
    copy = -1;
  }
  return 0;
}

static FILE* OpenTee() {
  copy = FSPrivateTemp(&copy_dir);
  if (copy < 0) {
    printf("Unable to keep a copy of standard input in '%s': %s.\n", copy_dir, strerror(errno));
    return nullptr;
  }
  cookie_io_functions_t io = {TeeRead, nullptr, nullptr, TeeClose};
  FILE* f = fopencookie(nullptr, "rb", io);
  // The stream's buffer sets the size of each read and of each write to the
  // copy; stdio ignores a size given without the buffer.
  static char buffer[FL_COPY_SIZE];
  if (f) {
    setvbuf(f, buffer, _IOFBF, sizeof buffer);
  } else {
    close(copy);
    copy = -1;
  }
#ifdef F_SETPIPE_SZ
  // A writer that may run a megabyte ahead keeps both ends of a pipe busy
  // (where it is refused, or standard input is no pipe, nothing changes).
  fcntl(STDIN_FILENO, F_SETPIPE_SZ, FL_PIPE_SIZE);
#endif
  return f;
}

FILE* FLStandardInput(bool translating) {
  int fd;
  if (active && uses[translating]++ == 0) {
    if (!translating) return OpenTee();
    fd = copy < 0 ? -1 : fcntl(copy, F_DUPFD_CLOEXEC, 3);
    if (fd >= 0) lseek(fd, 0, SEEK_SET);
  } else {
    // A duplicate, so closing the reader leaves descriptor 0 alone and a
    // second "-" finds it at its end.
    fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  }
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "rb");
  if (!f && fd >= 0) close(fd);
  return f;
}

FILE* FLStandardOutput() {
  int fd = translation < 0 ? -1 : fcntl(translation, F_DUPFD_CLOEXEC, 3);
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (!f && fd >= 0) close(fd);
  return f;
}
