// The DNS cache file: one line per address, plain or gzip ("private", with the
// tries count of failed lookups), loaded at the start of a run and written
// back with the previous file kept as "<cache>.bak".
#include "src/CacheFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/input.h"
#include "common/zstream.h"
#include "src/FormatCount.h"
#include "src/Host6Table.h"
#include "src/HostTable.h"
#include "src/Settings.h"

#define ASSERT_MODULE "src/Logvane"
#include "common/Assert.h"

#define CACHE_LINE_SIZE 512
#define CACHE_OUT_SIZE 65536
#define CACHE_DEFAULT_TRIES 4
#define CACHE_GZIP_LEVEL 6
#define CACHE_DAY 86400
#define CACHE_NAME_TRIES 100
#define CACHE_TMP_LETTERS 6
#define CACHE_STALE_SECS 3600  // far longer than any write of the table takes

// ---------------------------------------------------------------------------
// Times. The file stores time / divisor + offset; all of it wraps like the
// signed 32-bit arithmetic of the format, done unsigned so it is defined.

static int32_t CacheTimeOut(int32_t time) {
  LV_ASSERT(Settings.divisor>0);
  return (int32_t)((uint32_t)(time / Settings.divisor) + (uint32_t)Settings.offset);
}

static int32_t CacheTimeIn(int32_t t) {
  return (int32_t)(((uint32_t)t - (uint32_t)Settings.offset) * (uint32_t)Settings.divisor);
}

// ---------------------------------------------------------------------------
// Reading.

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Wraps on absurdly long digit runs instead of overflowing.
static uint32_t ReadNumber(const char** p) {
  uint32_t v = 0;
  while (IsDigit(**p)) v = v * 10u + (uint32_t)(*(*p)++ - '0');
  return v;
}

// The optionally signed number at the start of the time field; 0 when none.
static int32_t ReadTimeField(const char* p) {
  bool negative = *p == '-';
  if (negative) p++;
  uint32_t v = ReadNumber(&p);
  return (int32_t)(negative ? 0u - v : v);
}

bool DNSFileParse(const char* line, HostEntry* e, IP6Key* key6) {
  const char* p = line;
  if (*p != '-' && !IsDigit(*p)) return false;
  e->time = CacheTimeIn(ReadTimeField(p));
  e->status = HOST_CACHED;
  while (*p == '-' || IsDigit(*p)) p++;
  if (*p++ != ' ') return false;

  e->tries = CACHE_DEFAULT_TRIES;
  if (*p == '$') {
    p++;
    if (!IsDigit(*p)) return false;
    e->tries = ReadNumber(&p);
    if (*p++ != ' ') return false;
  }

  if (key6) {
    const char* address = p;
    while (*p && *p != ' ') p++;
    if (!IP6Parse(address, p, key6)) return false;
  } else {
    if (!IPParse(p, &e->address)) return false;
    while (*p == '.' || IsDigit(*p)) p++;
  }
  if (*p++ != ' ') return false;

  if (*p == 0) return false;
  if (*p == '*') {
    e->domain = FailedMark;
    return true;
  }
  size_t len = strlen(p);
  char* name = (char*)MPAlloc(hostPool, (int32_t)len + 1);
  memcpy(name, p, len + 1);
  e->domain = name;
  return true;
}

static int32_t Percent(uint32_t part, uint32_t whole) {
  return whole ? (int32_t)((uint64_t)part * 100u / whole) : 0;
}

// A line with an IPv6 address, into host6Table; the entry read, or null when
// the line is no such line. *dup: the address was there already.
static HostEntry* ReadLine6(const char* line, Host6Entry** spare, bool* dup) {
  if (!*spare) *spare = (Host6Entry*)MPAlloc(hostPool, sizeof(Host6Entry));
  Host6Entry* e = *spare;
  if (!DNSFileParse(line, &e->entry, &e->address)) return nullptr;
  e->entry.address = 0;
  *dup = Host6Find(&e->address) != nullptr;
  if (!*dup) HashInsert(host6Table, e), *spare = nullptr;
  return &e->entry;
}

void LkRead() {
  MemoryPool* pool = MPNew();
  InputFile* in = INOpenPath(cachePath, pool);
  if (!in) {
    MPDelete(pool);
    printf("'%s' not found, creating it.\n", cachePath);
    return;
  }

  uint32_t entries = 0, corrupt = 0, duplicates = 0, unresolved = 0;
  // Rejected and duplicate lines leave the spare for the next line.
  HostEntry* spare = nullptr;
  Host6Entry* spare6 = nullptr;
  char line[CACHE_LINE_SIZE];
  int32_t len;
  while ((len = INReadLine(line, CACHE_LINE_SIZE, nullptr, in)) > 0) {
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = 0;
    if (!spare) spare = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
    if (!DNSFileParse(line, spare)) {
      HostEntry* e6 = nullptr;
      bool dup = false;
      if (host6Table && Settings.ipv6 && (e6 = ReadLine6(line, &spare6, &dup))) {
        entries++;
        unresolved += e6->domain == FailedMark;
        duplicates += dup;
      } else {
        corrupt++;
      }
      continue;
    }
    entries++;
    if (spare->domain == FailedMark) unresolved++;
    void* found;
    if (HashFind(hostTable, &spare->address, &found)) {
      duplicates++;
      continue;
    }
    HashInsert(hostTable, spare);
    spare = nullptr;
  }
  INClose(in);
  MPDelete(pool);

  if (duplicates) printf("%ld duplicate IP addresses in the DNS cache file, ignored.\n", (long)duplicates);
  if (corrupt) printf("%s corrupt lines in the DNS cache file, ignored.\n", FormatCount(corrupt));
  if (Settings.verbose)
    printf("Read %s entries from DNS cache, %s (%ld%%) were unresolved.\n", FormatCount(entries),
           FormatCount(unresolved), (long)Percent(unresolved, entries));
}

// ---------------------------------------------------------------------------
// Writing: lines gathered into one large buffer, handed to the writer in
// chunks.

struct CacheOut {
  ZSWriter* writer;
  char* buff;
  int32_t used;
  bool ok;
};

static void OutFlush(CacheOut* o) {
  if (o->used && ZSWrite(o->writer, o->buff, o->used) != o->used) o->ok = false;
  o->used = 0;
}

static void OutPut(CacheOut* o, const char* data, size_t len) {
  while (len > 0) {
    if (o->used == CACHE_OUT_SIZE) OutFlush(o);
    size_t room = (size_t)(CACHE_OUT_SIZE - o->used);
    size_t n = len < room ? len : room;
    memcpy(o->buff + o->used, data, n);
    o->used += (int32_t)n;
    data += n;
    len -= n;
  }
}

static char* PutUnsigned(char* p, uint32_t v) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = (char)('0' + v % 10);
    v /= 10;
  } while (v);
  while (n) *p++ = digits[--n];
  return p;
}

static char* PutSigned(char* p, int32_t v) {
  if (v >= 0) return PutUnsigned(p, (uint32_t)v);
  *p++ = '-';
  return PutUnsigned(p, 0u - (uint32_t)v);
}

struct CacheCounts {
  uint32_t written;
  uint32_t expired;
  uint32_t unresolved;
};

// Older than the limit: strictly before now minus that many days.
static bool Older(int32_t time, int32_t now, int32_t days) {
  int32_t limit = (int32_t)((uint32_t)now - (uint32_t)days * (uint32_t)CACHE_DAY);
  return time < limit;
}

// key6: the entry's IPv6 address; null for an IPv4 entry.
static void WriteEntry(CacheOut* o, const HostEntry* e, const IP6Key* key6, uint8_t private_cache,
                       CacheCounts* c) {
  bool failed = HostFailed(e);
  // A line break inside a name would split the line and corrupt the file.
  if (!failed && strpbrk(e->domain, "\r\n")) return;
  char head[32 + IP6_TEXT_SIZE];
  char* p = PutSigned(head, CacheTimeOut(e->time));
  *p++ = ' ';
  if (private_cache && failed) {
    *p++ = '$';
    p = PutUnsigned(p, e->tries);
    *p++ = ' ';
  }
  if (key6)
    IP6Format(key6, p);
  else
    IPFormat(e->address, p);
  p += strlen(p);
  *p++ = ' ';
  if (failed) {
    *p++ = '*';
    *p++ = '\n';
    OutPut(o, head, (size_t)(p - head));
    c->unresolved++;
  } else {
    OutPut(o, head, (size_t)(p - head));
    OutPut(o, e->domain, strlen(e->domain));
    OutPut(o, "\n", 1);
  }
  c->written++;
}

// Pending entries are left out, expired ones counted and dropped.
static void WriteLive(CacheOut* o, const HostEntry* e, const IP6Key* key6, int32_t now,
                      uint8_t private_cache, CacheCounts* c) {
  if (!e->domain) return;
  if ((HostFailed(e) && Older(e->time, now, Settings.expire_failed)) ||
      Older(e->time, now, Settings.expire_good)) {
    c->expired++;
    return;
  }
  WriteEntry(o, e, key6, private_cache, c);
}

// IPv4 entries in the table's order, then the IPv6 ones.
static void WriteTable(CacheOut* o, uint8_t private_cache, CacheCounts* c) {
  int32_t now = (int32_t)time(nullptr);
  void* item;
  for (HashNode* node = HashFirst(hostTable); node; node = HashNext(hostTable)) {
    HashItem(hostTable, node, &item);
    WriteLive(o, (const HostEntry*)item, nullptr, now, private_cache, c);
  }
  HashNode* node6 = host6Table ? HashFirst(host6Table) : nullptr;
  for (HashNode* node = node6; node; node = HashNext(host6Table)) {
    HashItem(host6Table, node, &item);
    const Host6Entry* e6 = (const Host6Entry*)item;
    WriteLive(o, &e6->entry, &e6->address, now, private_cache, c);
  }
  OutFlush(o);
}

// ---------------------------------------------------------------------------
// Putting the new file in place. The new table goes to a fresh temporary file
// beside the cache, which is only renamed over the cache once it is complete
// and on disk, so neither a full disk nor a kill during the write can leave a
// truncated cache (which the next run would rotate over the good backup).

// A symbolic link to the cache is followed: the file it points at is
// replaced, its backup sits beside it, and the link stays a link.
static std::string CacheTarget(const char* path) {
  std::string target = path;
  if (char* real = realpath(path, nullptr)) {
    target = real;
    free(real);
  }
  return target;
}

static std::string UniqueName(const std::string& base) {
  static const char ALPHABET[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static uint64_t state;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  state ^= ((uint64_t)getpid() << 32) ^ (uint64_t)ts.tv_nsec ^ ((uint64_t)ts.tv_sec << 20);
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  std::string name = base + ".tmp";
  uint64_t v = state >> 16;
  for (int i = 0; i < CACHE_TMP_LETTERS; i++) {
    name += ALPHABET[v % 62];
    v /= 62;
  }
  return name;
}

// Created exclusively (no following of links) under an unused name.
static FILE* CreateTemp(const std::string& target, std::string* name) {
  for (int i = 0; i < CACHE_NAME_TRIES; i++) {
    *name = UniqueName(target);
    if (FILE* f = ZSCreateExclusive(name->c_str())) return f;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// Keep the permissions the user gave the cache.
static void CopyMode(FILE* f, const std::string& target) {
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) fchmod(fileno(f), st.st_mode & 07777);
}

// Where the file system (or its link protection) refuses a hard link, a
// complete copy of the previous cache stands in for it.
static bool CopyUnique(const std::string& target, std::string* name) {
  FILE* in = fopen(target.c_str(), "rb");
  if (!in) return false;
  FILE* out = CreateTemp(target, name);
  bool ok = out != nullptr;
  if (ok) CopyMode(out, target);
  char buff[CACHE_OUT_SIZE];
  size_t n;
  while (ok && (n = fread(buff, 1, sizeof buff, in)) > 0) ok = fwrite(buff, 1, n, out) == n;
  ok = ok && !ferror(in);
  fclose(in);
  if (!out) return false;
  ok = fflush(out) == 0 && ok;
  ok = ok && fsync(fileno(out)) == 0;
  ok = fclose(out) == 0 && ok;
  if (!ok) unlink(name->c_str());
  return ok;
}

// A second name for the current cache, under an unused name.
static bool LinkUnique(const std::string& target, std::string* name) {
  for (int i = 0; i < CACHE_NAME_TRIES; i++) {
    *name = UniqueName(target);
    if (link(target.c_str(), name->c_str()) == 0) return true;
    if (errno != EEXIST) return CopyUnique(target, name);
  }
  return false;
}

static std::string DirOf(const std::string& target) {
  size_t slash = target.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
}

// A write killed half way leaves its temporary file behind under a unique
// name; without this they would pile up over the years. One untouched for an
// hour belongs to no live write.
static void RemoveStaleTemps(const std::string& target) {
  std::string dir = DirOf(target);
  std::string prefix = target.substr(target.rfind('/') + 1) + ".tmp";
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  time_t now = time(nullptr);
  while (struct dirent* de = readdir(d)) {
    std::string name = de->d_name;
    if (name.size() != prefix.size() + CACHE_TMP_LETTERS || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", prefix.size()) !=
        std::string::npos)
      continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && now - st.st_mtime > CACHE_STALE_SECS)
      unlink(path.c_str());
  }
  closedir(d);
}

static void SyncDir(const std::string& target) {
  std::string dir = DirOf(target);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Replaces target by the complete file tmp and makes the previous target the
// backup. Order: previous file linked (or copied) to a spare name, tmp renamed over the
// target, the spare renamed over the backup; a complete cache stays under the
// target's name throughout, and any failure puts everything back.
static bool Install(const std::string& target, const std::string& tmp) {
  std::string bak = target + ".bak";
  struct stat st;
  bool had_old = lstat(target.c_str(), &st) == 0;
  std::string old;
  if (had_old && !LinkUnique(target, &old)) return false;
  if (rename(tmp.c_str(), target.c_str()) != 0) {
    if (had_old) unlink(old.c_str());
    return false;
  }
  if (had_old && rename(old.c_str(), bak.c_str()) != 0) {
    rename(old.c_str(), target.c_str());
    return false;
  }
  SyncDir(target);
  return true;
}

static bool WriteTemp(FILE* f, MemoryPool* pool, uint8_t private_cache, CacheCounts* c) {
  int kind = private_cache ? ZS_GZIP : ZS_PLAIN;
  ZSWriter* w = ZSWriteOpen(pool, f, kind, private_cache ? CACHE_GZIP_LEVEL : 0);
  if (!w) return false;
  CacheOut out = {w, (char*)MPAlloc(pool, CACHE_OUT_SIZE), 0, true};
  WriteTable(&out, private_cache, c);
  bool closed = ZSWriteClose(w, true);
  return out.ok && closed;
}

void LkWrite(uint8_t private_cache) {
  std::string target = CacheTarget(cachePath);
  RemoveStaleTemps(target);
  std::string tmp;
  FILE* f = CreateTemp(target, &tmp);
  if (!f) {
    printf("Unable to open '%s' for output.\n", cachePath);
    return;
  }
  CopyMode(f, target);

  MemoryPool* pool = MPNew();
  CacheCounts c = {0, 0, 0};
  bool ok = WriteTemp(f, pool, private_cache, &c);
  // The compressor's memory goes with the pool; no stream may reach it later.
  if (private_cache) MPSetZlibAlloc(nullptr);
  MPDelete(pool);

  if (!ok || !Install(target, tmp)) {
    unlink(tmp.c_str());
    printf("Unable to write '%s'!\n", cachePath);
    return;
  }
  if (Settings.verbose)
    printf("Wrote %s cache entries, %s expired, %s (%ld%%) were unresolved.\n", FormatCount(c.written),
           FormatCount(c.expired), FormatCount(c.unresolved), (long)Percent(c.unresolved, c.written));
}
