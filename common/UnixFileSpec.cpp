#include "common/UnixFileSpec.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#define FS_NAME_MAX 255  // where the file system does not say
#define FS_LINK_HOPS 40  // as the kernel allows
#define FS_NAME_TRIES 100
#define FS_TMP_LETTERS 6
#define FS_STALE_SECS 3600  // far longer than any write takes

const char* FSErrorText(int err) {
  return err == FS_NOT_REGULAR ? "Not a regular file" : strerror(err);
}

bool FSNotAFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && !S_ISREG(st.st_mode);
}

// ---------------------------------------------------------------------------
// Reading.

// O_NONBLOCK: a FIFO or device swapped in after the check cannot stall the
// open; fstat then refuses it. A device is never opened when the check sees it.
static int OpenRegular(int dir, const char* name, int flags, struct stat* st, int* err) {
  struct stat pre;
  int at = flags & O_NOFOLLOW ? AT_SYMLINK_NOFOLLOW : 0;
  if (fstatat(dir, name, &pre, at) == 0 && !S_ISREG(pre.st_mode) && !S_ISLNK(pre.st_mode)) {
    *err = FS_NOT_REGULAR;
    return -1;
  }
  int fd = openat(dir, name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  *err = 0;
  if (fstat(fd, st) != 0)
    *err = errno;
  else if (!S_ISREG(st->st_mode))
    *err = FS_NOT_REGULAR;
  else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
    *err = errno;
  if (*err) close(fd), fd = -1;
  return fd;
}

FILE* FSOpenRead(const char* path, bool nofollow, struct stat* st, int* err) {
  struct stat own;
  int fd = OpenRegular(AT_FDCWD, path, O_RDONLY | (nofollow ? O_NOFOLLOW : 0), st ? st : &own, err);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "rb");
  if (!f) *err = errno, close(fd);
  return f;
}

FILE* OpenFile(const char* path, const char* mode, const char** err_text) {
  int err = 0;
  FILE* f = mode[0] == 'r' ? FSOpenRead(path, false, nullptr, &err) : (err = EINVAL, nullptr);
  if (!f && err != ENOENT) fprintf(stderr, "Opening file: %s\n", FSErrorText(err));
  if (err_text) *err_text = f ? nullptr : FSErrorText(err);
  return f;
}

bool FSResolveOwnLinks(const char* path, std::string* out, int* err) {
  std::string p = path;
  for (int hop = 0; hop < FS_LINK_HOPS; hop++) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *out = p;
      return true;
    }
    if (st.st_uid != geteuid()) {
      *err = EACCES;
      return false;
    }
    std::vector<char> buf((size_t)st.st_size + 2);
    ssize_t n = readlink(p.c_str(), buf.data(), buf.size());
    if (n < 0 || (size_t)n >= buf.size()) {
      *err = n < 0 ? errno : EAGAIN;
      return false;
    }
    std::string to(buf.data(), (size_t)n);
    size_t slash = p.rfind('/');
    p = to[0] == '/' || slash == std::string::npos ? to : p.substr(0, slash + 1) + to;
  }
  *err = ELOOP;
  return false;
}

bool FSSameFile(const char* path, int fd) {
  struct stat a, b;
  return stat(path, &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool FSLock(int fd, bool wait) {
  while (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0)
    if (errno != EINTR) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Names beside a target, all in the target's directory, opened once.

// The directory of path, and the last component in *base.
static int OpenDirOf(const char* path, std::string* base, int* err) {
  const char* slash = strrchr(path, '/');
  *base = slash ? slash + 1 : path;
  if (base->empty() || *base == "." || *base == "..") {
    *err = EISDIR;
    return -1;
  }
  std::string dir = !slash ? "." : slash == path ? "/" : std::string(path, (size_t)(slash - path));
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) *err = errno;
  return fd;
}

// base followed by suffix, base shortened where the whole would not fit the
// directory's name limit, so that any name that fits has its side names.
static std::string SideName(int dir, const std::string& base, const char* suffix) {
  long max = fpathconf(dir, _PC_NAME_MAX);
  size_t room = (size_t)(max > 0 ? max : FS_NAME_MAX) - strlen(suffix);
  return base.substr(0, room) + suffix;
}

static std::string UniqueName(int dir, const std::string& base) {
  static const char ALPHABET[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static uint64_t state;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  state ^= ((uint64_t)getpid() << 32) ^ (uint64_t)ts.tv_nsec ^ ((uint64_t)ts.tv_sec << 20);
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  std::string name = SideName(dir, base, ".tmpXXXXXX");
  uint64_t v = state >> 16;
  for (size_t i = name.size() - FS_TMP_LETTERS; i < name.size(); i++, v /= 62)
    name[i] = ALPHABET[v % 62];
  return name;
}

// A write killed half way leaves its temporary behind under a unique name;
// without this they would pile up over the years. One untouched for an hour
// belongs to no live write.
static void RemoveStaleTemps(int dir, const std::string& base) {
  std::string prefix = SideName(dir, base, ".tmpXXXXXX");
  prefix.resize(prefix.size() - FS_TMP_LETTERS);
  int fd = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  DIR* d = fd < 0 ? nullptr : fdopendir(fd);
  if (!d) {
    if (fd >= 0) close(fd);
    return;
  }
  time_t now = time(nullptr);
  while (struct dirent* de = readdir(d)) {
    std::string name = de->d_name;
    if (name.size() != prefix.size() + FS_TMP_LETTERS ||
        name.compare(0, prefix.size(), prefix) != 0)
      continue;
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
                               prefix.size()) != std::string::npos)
      continue;
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        now - st.st_mtime > FS_STALE_SECS)
      unlinkat(dir, name.c_str(), 0);
  }
  closedir(d);
}

static int CreateAt(int dir, const std::string& name) {
  return openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int FSOpenLock(const char* target, uid_t owner, gid_t group, int* err) {
  std::string base;
  int dir = OpenDirOf(target, &base, err);
  if (dir < 0) return -1;
  std::string name = SideName(dir, base, ".lock");
  int fd = -1;
  for (int i = 0; i < FS_NAME_TRIES && fd < 0; i++) {
    struct stat st;
    fd = OpenRegular(dir, name.c_str(), O_RDONLY | O_NOFOLLOW, &st, err);
    if (fd >= 0 && st.st_uid != geteuid() && st.st_uid != owner) close(fd), fd = -1, *err = EPERM;
    if (fd >= 0 || *err == EACCES) break;
    if (*err != ENOENT && unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) {
      *err = errno;
      break;
    }
    fd = CreateAt(dir, name);
    if (fd >= 0 && geteuid() == 0) (void)!fchown(fd, owner, group);
    if (fd < 0 && (*err = errno) != EEXIST) break;
  }
  close(dir);
  return fd;
}

// ---------------------------------------------------------------------------
// Temporaries.

static void TempInit(FSTemp* t) {
  t->dir = t->fd = -1;
  t->target.clear();
  t->name.clear();
  t->installed = false;
}

bool FSTempCreate(FSTemp* t, const char* target, const char* fixed, int* err) {
  TempInit(t);
  if ((t->dir = OpenDirOf(target, &t->target, err)) < 0) return false;
  struct stat st;
  if (fstatat(t->dir, t->target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) &&
      !S_ISLNK(st.st_mode)) {
    *err = FS_NOT_REGULAR;
    return false;
  }
  if (fixed) {
    size_t dir_len = strlen(target) - t->target.size();
    const char* slash = strrchr(fixed, '/');
    if ((size_t)(slash ? slash + 1 - fixed : 0) != dir_len ||
        strncmp(fixed, target, dir_len) != 0) {
      *err = EXDEV;
      return false;
    }
    t->name = slash ? slash + 1 : fixed;
    unlinkat(t->dir, t->name.c_str(), 0);
    t->fd = CreateAt(t->dir, t->name);
  } else {
    RemoveStaleTemps(t->dir, t->target);
    for (int i = 0; i < FS_NAME_TRIES && t->fd < 0; i++) {
      t->name = UniqueName(t->dir, t->target);
      t->fd = CreateAt(t->dir, t->name);
      if (t->fd < 0 && errno != EEXIST) break;
    }
  }
  if (t->fd < 0) {
    *err = errno;
    t->name.clear();
    return false;
  }
  return true;
}

FILE* FSTempStream(FSTemp* t) {
  int fd = fcntl(t->fd, F_DUPFD_CLOEXEC, 0);
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (!f && fd >= 0) close(fd);
  return f;
}

bool FSTempFinish(FSTemp* t, mode_t mode, uid_t uid, gid_t gid) {
  struct stat st;
  if (fstat(t->fd, &st) != 0) return false;
  if (geteuid() == 0) {
    if (fchown(t->fd, uid, gid) != 0) mode &= 0700;
  } else if (gid != (gid_t)-1 && gid != st.st_gid && fchown(t->fd, (uid_t)-1, gid) != 0) {
    mode &= ~(mode_t)070;
  }
  return fchmod(t->fd, mode & 0777) == 0;
}

// EINVAL: a file system that cannot sync has still been given everything.
static bool Sync(int fd) { return fsync(fd) == 0 || errno == EINVAL; }

// Where the file system (or its link protection) refuses a second name for
// the previous target, a complete copy of it stands in.
static bool CopyAside(FSTemp* t, std::string* spare) {
  int err;
  struct stat st;
  int in = OpenRegular(t->dir, t->target.c_str(), O_RDONLY | O_NOFOLLOW, &st, &err);
  if (in < 0) return false;
  FSTemp copy;
  TempInit(&copy);
  copy.dir = t->dir;
  copy.target = t->target;
  bool ok = false;
  for (int i = 0; i < FS_NAME_TRIES && copy.fd < 0; i++) {
    copy.name = UniqueName(t->dir, t->target);
    copy.fd = CreateAt(t->dir, copy.name);
    if (copy.fd < 0 && errno != EEXIST) break;
  }
  if (copy.fd >= 0) {
    char buff[65536];
    ssize_t n;
    ok = true;
    while (ok && (n = read(in, buff, sizeof buff)) > 0) ok = write(copy.fd, buff, (size_t)n) == n;
    ok = ok && n == 0 && FSTempFinish(&copy, st.st_mode, st.st_uid, st.st_gid) && Sync(copy.fd);
    *spare = copy.name;
    if (!ok) unlinkat(t->dir, copy.name.c_str(), 0);
    close(copy.fd);
  }
  close(in);
  return ok;
}

// A second name for the previous target, under an unused name.
static bool SetAside(FSTemp* t, std::string* spare) {
  for (int i = 0; i < FS_NAME_TRIES; i++) {
    *spare = UniqueName(t->dir, t->target);
    if (linkat(t->dir, t->target.c_str(), t->dir, spare->c_str(), 0) == 0) return true;
    if (errno != EEXIST) return CopyAside(t, spare);
  }
  return false;
}

// Order with a backup: the previous target gets a spare name, the temporary
// is renamed over the target, the spare over the backup; any failure puts
// everything back.
bool FSTempInstall(FSTemp* t, const char* backup) {
  if (t->fd < 0 || !Sync(t->fd)) return false;
  struct stat st;
  bool had_old = backup && fstatat(t->dir, t->target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISREG(st.st_mode);
  std::string spare;
  if (had_old && !SetAside(t, &spare)) return false;
  if (renameat(t->dir, t->name.c_str(), t->dir, t->target.c_str()) != 0) {
    if (had_old) unlinkat(t->dir, spare.c_str(), 0);
    return false;
  }
  t->installed = true;
  if (had_old &&
      renameat(t->dir, spare.c_str(), t->dir, SideName(t->dir, t->target, backup).c_str()) != 0) {
    renameat(t->dir, spare.c_str(), t->dir, t->target.c_str());
    return false;
  }
  return Sync(t->dir);
}

void FSTempClose(FSTemp* t) {
  if (t->fd >= 0) close(t->fd);
  if (!t->installed && !t->name.empty()) unlinkat(t->dir, t->name.c_str(), 0);
  if (t->dir >= 0) close(t->dir);
  TempInit(t);
}

mode_t FSNewFileMode() {
  mode_t mask = umask(022);
  umask(mask);
  return 0666 & ~mask;
}

// ---------------------------------------------------------------------------

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

int FSPrivateTemp(const char** dir_out) {
  const char* dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  if (dir_out) *dir_out = dir;
  for (int i = 0; i < FS_NAME_TRIES; i++) {
    // Unguessable, so that names planted in a shared directory cannot stop us.
    unsigned char r[8];
    if (getentropy(r, sizeof r) != 0) return -1;
    std::string path = std::string(dir) + "/logvane.";
    for (unsigned char c : r) path += "abcdefghijklmnopqrstuvwxyz012345"[c % 32];
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      unlink(path.c_str());
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}
