// The DNS cache file: one line per address, plain or gzip ("private", with the
// tries count of failed lookups), loaded at the start of a run and written
// back with the previous file kept as "<cache>.bak".
#include "src/CacheFile.h"

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
#include "common/UnixFileSpec.h"
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
    e->domain = HostFailMark(p);
    return true;
  }
  e->domain = p;
  return true;
}

static int32_t Percent(uint32_t part, uint32_t whole) {
  return whole ? (int32_t)((uint64_t)part * 100u / whole) : 0;
}

// What this run knows of its cache file, so that a write can tell whether
// another run has replaced the file since this one read or wrote it.
struct CacheSeen {
  std::string path;  // cachePath when read
  bool unreadable;   // it exists but could not be read: never overwritten
  bool known;        // the fields below describe the file (none: absent)
  bool present;
  dev_t dev;
  ino_t ino;
  off_t size;
  struct timespec mtime;
};
static CacheSeen seen;

static void Remember(const struct stat* st) {
  seen.known = true;
  seen.present = st != nullptr;
  if (!st) return;
  seen.dev = st->st_dev, seen.ino = st->st_ino, seen.size = st->st_size, seen.mtime = st->st_mtim;
}

static bool Unchanged(const struct stat* st) {
  return seen.known && seen.present && st->st_dev == seen.dev && st->st_ino == seen.ino &&
         st->st_size == seen.size && st->st_mtim.tv_sec == seen.mtime.tv_sec &&
         st->st_mtim.tv_nsec == seen.mtime.tv_nsec;
}

static const char* KeepName(const char* name) {
  size_t len = strlen(name) + 1;
  return (const char*)memcpy(MPAlloc(hostPool, (int32_t)len), name, len);
}

struct LoadCounts {
  uint32_t entries, corrupt, duplicates, unresolved, merged;
};

// A later line of another run's file wins over what the table holds; an
// entry whose lookup is under way is left to it.
static void Refresh(HostEntry* e, const HostEntry* line, uint32_t* merged) {
  if (!e->domain || line->time <= e->time) return;
  e->domain = HostNamed(line) ? KeepName(line->domain) : line->domain;  // a static mark
  e->time = line->time;
  e->tries = line->tries;
  (*merged)++;
}

// A line that is no IPv4 line, as an IPv6 one into *spare6 (allocated when
// null); its entry, or null when it is neither.
static HostEntry* ParseLine6(const char* line, Host6Entry** spare6) {
  if (!host6Table || !Settings.ipv6) return nullptr;
  if (!*spare6) *spare6 = (Host6Entry*)MPAlloc(hostPool, sizeof(Host6Entry));
  HostEntry* e = &(*spare6)->entry;
  if (!DNSFileParse(line, e, &(*spare6)->address)) return nullptr;
  e->address = 0;
  return e;
}

// The entry already held for the line just parsed into e, or null.
static HostEntry* Held(const HostEntry* e, const Host6Entry* spare6, bool v6) {
  if (v6) {
    Host6Entry* e6 = Host6Find(&spare6->address);
    return e6 ? &e6->entry : nullptr;
  }
  void* found;
  return HashFind(hostTable, &e->address, &found) ? (HostEntry*)found : nullptr;
}

// Names in a file that another user could have written are held to the test
// of a DNS answer; the user's own file is taken as it stands.
static void LoadLines(InputFile* in, bool own, bool merge, LoadCounts* c) {
  // Rejected and duplicate lines leave the spare for the next line, and a
  // name is copied only for an entry that is kept.
  HostEntry* spare = nullptr;
  Host6Entry* spare6 = nullptr;
  char line[CACHE_LINE_SIZE];
  int32_t len;
  while ((len = INReadLine(line, CACHE_LINE_SIZE, nullptr, in)) > 0) {
    if (INLineCut(line, len)) {  // already reported; no entry is that long
      c->corrupt++;
      continue;
    }
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = 0;
    if (!spare) spare = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
    HostEntry* e = spare;
    bool v6 = !DNSFileParse(line, e);
    if (v6) e = ParseLine6(line, &spare6);
    if (!e || (!own && HostNamed(e) && !HostNameValid(e->domain))) {
      c->corrupt++;
      continue;
    }
    c->entries++;
    if (HostFailed(e)) c->unresolved++;
    if (HostEntry* found = Held(e, spare6, v6)) {
      c->duplicates++;
      if (merge) Refresh(found, e, &c->merged);
      continue;
    }
    if (HostNamed(e)) e->domain = KeepName(e->domain);
    if (v6) {
      HashInsert(host6Table, spare6);
      spare6 = nullptr;
    } else {
      HashInsert(hostTable, spare);
      spare = nullptr;
    }
    if (merge) c->merged++;
  }
}

static void LoadFile(FILE* f, const struct stat* st, bool merge, LoadCounts* c) {
  MemoryPool* pool = MPNew();
  InputFile* in = INFOpen(f, pool);
  LoadLines(in, st->st_uid == geteuid(), merge, c);
  INClose(in);
  MPDelete(pool);
}

// The file a cache name stands for: a link is followed only when it belongs
// to the user running.
static FILE* OpenCache(std::string* target, struct stat* st, int* err) {
  return FSResolveOwnLinks(cachePath, target, err) ? FSOpenRead(target->c_str(), true, st, err)
                                                   : nullptr;
}

void LkRead() {
  seen = CacheSeen();
  seen.path = cachePath;
  std::string target;
  struct stat st;
  int err = 0;
  FILE* f = OpenCache(&target, &st, &err);
  if (!f) {
    if (err == ENOENT) {
      printf("'%s' not found, creating it.\n", cachePath);
      Remember(nullptr);
    } else {
      printf("Unable to read '%s': %s\n", cachePath, FSErrorText(err));
      seen.unreadable = true;
    }
    return;
  }
  Remember(&st);
  LoadCounts c = {0, 0, 0, 0, 0};
  LoadFile(f, &st, false, &c);

  if (c.duplicates)
    printf("%ld duplicate IP addresses in the DNS cache file, ignored.\n", (long)c.duplicates);
  if (c.corrupt)
    printf("%s corrupt lines in the DNS cache file, ignored.\n", FormatCount(c.corrupt));
  if (Settings.verbose)
    printf("Read %s entries from DNS cache, %s (%ld%%) were unresolved.\n", FormatCount(c.entries),
           FormatCount(c.unresolved), (long)Percent(c.unresolved, c.entries));
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
  int32_t limit = (int32_t)((uint32_t)now - (uint32_t)days * (uint32_t)LK_DAY);
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
  // A failed entry's name is its shared mark, class included.
  OutPut(o, head, (size_t)(p - head));
  OutPut(o, e->domain, strlen(e->domain));
  OutPut(o, "\n", 1);
  if (failed) c->unresolved++;
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
// Writes of runs that share the cache take turns on "<cache>.lock", and each
// first takes in what another run wrote since this one read the file.

static bool WriteTemp(FILE* f, MemoryPool* pool, uint8_t private_cache, CacheCounts* c) {
  int kind = private_cache ? ZS_GZIP : ZS_PLAIN;
  ZSWriter* w = ZSWriteOpen(pool, f, kind, private_cache ? CACHE_GZIP_LEVEL : 0);
  if (!w) return false;
  CacheOut out = {w, (char*)MPAlloc(pool, CACHE_OUT_SIZE), 0, true};
  WriteTable(&out, private_cache, c);
  bool closed = ZSWriteClose(w, false);
  return out.ok && closed;
}

// The lock's descriptor, held; -1 when it cannot be had.
static int TakeLock(const std::string& target) {
  struct stat st;
  bool had = lstat(target.c_str(), &st) == 0;
  int err;
  int fd =
      FSOpenLock(target.c_str(), had ? st.st_uid : (uid_t)-1, had ? st.st_gid : (gid_t)-1, &err);
  if (fd < 0 || FSLock(fd, false)) return fd;
  if (Settings.verbose) printf("Waiting for another run to finish writing '%s'.\n", cachePath);
  fflush(stdout);
  if (FSLock(fd, true)) return fd;
  close(fd);
  return -1;
}

// The previous file (absent: *had false), merged into the table when another
// run has replaced it since. False when it exists but cannot be read.
static bool TakeInPrevious(const std::string& target, struct stat* st, bool* had) {
  int err = 0;
  FILE* f = FSOpenRead(target.c_str(), true, st, &err);
  *had = f != nullptr;
  if (!f) return err == ENOENT;
  if (seen.path != cachePath || !seen.known || Unchanged(st)) {
    fclose(f);
    return true;
  }
  LoadCounts c = {0, 0, 0, 0, 0};
  LoadFile(f, st, true, &c);
  if (Settings.verbose && c.merged)
    printf("Took %s entries from another run's cache.\n", FormatCount(c.merged));
  return true;
}

enum { CACHE_DONE, CACHE_NO_OUTPUT, CACHE_FAILED };

// The new file keeps the previous one's owner and group (as root) and its
// mode, less any write bit for others.
static int WriteLocked(const std::string& target, uint8_t private_cache, CacheCounts* c) {
  struct stat prev;
  bool had;
  if (!TakeInPrevious(target, &prev, &had)) return CACHE_FAILED;
  FSTemp t;
  int err;
  if (!FSTempCreate(&t, target.c_str(), nullptr, &err)) {
    FSTempClose(&t);
    return err == FS_NOT_REGULAR ? CACHE_FAILED : CACHE_NO_OUTPUT;
  }
  FILE* f = FSTempStream(&t);
  MemoryPool* pool = MPNew();
  bool ok = f && WriteTemp(f, pool, private_cache, c);
  // The compressor's memory goes with the pool; no stream may reach it later.
  if (private_cache) MPSetZlibAlloc(nullptr);
  MPDelete(pool);
  mode_t mode = (had ? prev.st_mode : FSNewFileMode()) & 0755;
  ok = ok && FSTempFinish(&t, mode, had ? prev.st_uid : (uid_t)-1, had ? prev.st_gid : (gid_t)-1) &&
       FSTempInstall(&t, ".bak");
  struct stat now;
  if (ok && fstat(t.fd, &now) == 0) Remember(&now);
  FSTempClose(&t);
  return ok ? CACHE_DONE : CACHE_FAILED;
}

bool LkWrite(uint8_t private_cache) {
  std::string target;
  int err = 0, outcome = CACHE_FAILED, lock = -1;
  CacheCounts c = {0, 0, 0};
  bool refused =
      (seen.path == cachePath && seen.unreadable) || !FSResolveOwnLinks(cachePath, &target, &err);
  if (!refused) lock = TakeLock(target);
  if (lock >= 0) {
    outcome = WriteLocked(target, private_cache, &c);
    close(lock);
  } else if (!refused) {
    outcome = CACHE_NO_OUTPUT;
  }
  if (outcome == CACHE_NO_OUTPUT) printf("Unable to open '%s' for output.\n", cachePath);
  if (outcome == CACHE_FAILED) printf("Unable to write '%s'!\n", cachePath);
  if (outcome != CACHE_DONE) return false;
  if (Settings.verbose)
    printf("Wrote %s cache entries, %s expired, %s (%ld%%) were unresolved.\n",
           FormatCount(c.written), FormatCount(c.expired), FormatCount(c.unresolved),
           (long)Percent(c.unresolved, c.written));
  return true;
}
