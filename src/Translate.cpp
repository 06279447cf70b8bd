// The translation pass: a copy of each log in which every resolved address is
// replaced by its host name, compressed and with the chosen newlines.
#define ASSERT_MODULE "src/Logvane"
#include "src/Translate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/Assert.h"
#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/input.h"
#include "common/zstream.h"
#include "src/FormatCount.h"
#include "src/HostTable.h"
#include "src/IPScan.h"
#include "src/Settings.h"

#define TR_NAME_SIZE 4096      // the system's path limit, terminator included
#define TR_REPORT_SECS 10

#define TR_CACHE_BITS 14        // recently met addresses, direct-mapped
#define TR_CACHE_SIZE (1 << TR_CACHE_BITS)

enum { SLOT_KEEP = -1, SLOT_UNUSED = -2 };  // NameSlot.len besides a name's length

// A log names the same few addresses over and over; this spares the table
// walk, which costs cache misses, and the name's strlen.
struct NameSlot {
  uint32_t key;
  int32_t len;  // SLOT_KEEP: the address stays as it is
  const char* name;
};

struct Translation {
  NameSlot* cache;
  InputFile* in;
  ZSWriter* out;
  const char* nl;        // configured newline text
  int nl_len;
  bool verbose;
  bool failed;           // a write failed; nothing more is written
  uint32_t lines;
  uint32_t addresses;
  uint32_t replaced;
  time_t start;
  time_t last_report;
};

// Writes n bytes; the first failure is reported once and ends the rewriting.
static void Put(Translation* t, const void* data, long n) {
  if (n <= 0 || t->failed) return;
  if (ZSWrite(t->out, data, (int)n) != (int)n) {
    puts("Write error on output file!");
    t->failed = true;
  }
}

// Reports in 10-second slots; after a stall it catches up a slot per call.
static void Progress(Translation* t) {
  time_t due = t->last_report + TR_REPORT_SECS;
  if (due >= time(nullptr)) return;
  printf("Read %s lines (%d%%), %s replacements, %s lines/sec.\n", FormatCount(t->lines),
         (int)(INPercent(t->in) / 10), FormatCount(t->replaced),
         FormatCount((uint32_t)(t->lines / (uint32_t)(due - t->start))));
  t->last_report = due;
}

static inline void CountLine(Translation* t) {
  if ((++t->lines & 0xFF) == 0 && t->verbose) Progress(t);
}

// The slot that tells what becomes of the address key.
static const NameSlot* Lookup(Translation* t, uint32_t key) {
  t->addresses++;
  NameSlot* slot = &t->cache[(key * 2654435761u) >> (32 - TR_CACHE_BITS)];
  if (slot->len == SLOT_UNUSED || slot->key != key) {
    void* item = nullptr;
    HashFind(hostTable, &key, &item);
    const HostEntry* entry = (const HostEntry*)item;
    slot->key = key;
    slot->name = entry && HostNamed(entry) ? entry->domain : nullptr;
    slot->len = slot->name ? (int32_t)strlen(slot->name) : SLOT_KEEP;
  }
  if (slot->len != SLOT_KEEP) t->replaced++;
  return slot;
}

// Rewrites the whole input in place on the reader's window. Bytes that come
// out unchanged are gathered into one write, so a window is cut only where a
// name or a different newline goes in, and at the look-ahead limit.
static void Rewrite(Translation* t) {
  const bool keep_lf = t->nl_len == 1 && t->nl[0] == '\n';
  const bool keep_cr = t->nl_len == 1 && t->nl[0] == '\r';
  const bool keep_crlf = t->nl_len == 2;
  IPCursor cur;
  IPStart(&cur);
  while (!t->failed) {
    char* window = INGetBuffer(t->in, nullptr);
    if (!window) return;
    IPWindow(&cur, window, t->in->buff_cnt);
    const char* from = window;  // first byte not yet written
    IPHit hit;
    while (int kind = IPNext(&cur, &hit)) {
      const char* text;
      int len;
      if (kind == IP_ADDRESS) {
        const NameSlot* slot = Lookup(t, hit.key);
        if (slot->len == SLOT_KEEP) continue;
        text = slot->name, len = slot->len;
      } else {
        CountLine(t);
        bool keep = *hit.at == '\n' ? keep_lf : hit.end - hit.at == 2 ? keep_crlf : keep_cr;
        if (keep) continue;
        text = t->nl, len = t->nl_len;
      }
      Put(t, from, hit.at - from);
      Put(t, text, len);
      from = hit.end;
    }
    int32_t used = IPTake(&cur);
    Put(t, from, window + used - from);
    INConsume(t->in, used);
  }
}

static void NewlineText(int32_t style, const char** text, int* len) {
  switch (style) {
    case NEWLINE_MAC: *text = "\r"; *len = 1; break;
    case NEWLINE_DOS: *text = "\r\n"; *len = 2; break;
    default: *text = "\n"; *len = 1; break;
  }
}

static const char* Suffix() {
  if (Settings.exchange) return ".$$$";
  switch (Settings.compress) {
    case COMPRESS_GZIP: return ".gz";
    case COMPRESS_BZIP2: return ".bz2";
    default: return ".out";
  }
}

// The user's own output name: opened without following a link planted there,
// and only when it is (or becomes) a regular file.
static FILE* OpenPlainOutput(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "wb");
  if (!f) close(fd);
  return f;
}

// The temporary that will take the input's place: a leftover of a crashed run
// is removed (a link itself, never its target), then the name is created anew.
static FILE* OpenTempOutput(const char* path, const struct stat* input) {
  unlink(path);
  FILE* f = ZSCreateExclusive(path);
  if (f) {
    // The replacement keeps the log's owner and permissions where we may.
    (void)!fchown(fileno(f), input->st_uid, input->st_gid);
    (void)!fchmod(fileno(f), input->st_mode & 07777);
  }
  return f;
}

// Makes a rename in the input's directory survive a crash.
static void SyncDirectory(const char* path) {
  char dir[TR_NAME_SIZE];
  const char* slash = strrchr(path, '/');
  if (!slash) {
    strcpy(dir, ".");
  } else {
    size_t n = slash == path ? 1 : (size_t)(slash - path);
    memcpy(dir, path, n);
    dir[n] = 0;
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool TranslateLog(const char* name) {
  struct stat st;
  bool have_stat = stat(name, &st) == 0;
  if (have_stat && !S_ISREG(st.st_mode)) {
    if (Settings.verbose) printf("'%s' is not a file, skipping it.\n", name);
    return false;
  }
  if (Settings.verbose) printf("Translating '%s'\n", name);

  Translation t;
  memset(&t, 0, sizeof t);
  t.verbose = Settings.verbose != 0;
  t.start = time(nullptr);
  t.last_report = t.start;
  MemoryPool* pool = MPNew();

  t.in = INOpenPath(name, pool);
  if (!t.in) {
    printf("Error opening input file '%s'.\n", name);
    MPDelete(pool);
    return false;
  }

  const char* suffix = Suffix();
  const bool exchange = Settings.exchange != 0;
  char out_name[TR_NAME_SIZE];
  size_t name_len = strlen(name);
  FILE* file = nullptr;
  if (name_len + strlen(suffix) < sizeof out_name) {
    memcpy(out_name, name, name_len);
    strcpy(out_name + name_len, suffix);
    if (exchange && have_stat)
      file = OpenTempOutput(out_name, &st);
    else if (!exchange)
      file = OpenPlainOutput(out_name);
  }
  int level = Settings.level < 0 ? 0 : Settings.level > 9 ? 9 : Settings.level;
  int kind = Settings.compress == COMPRESS_GZIP    ? ZS_GZIP
             : Settings.compress == COMPRESS_BZIP2 ? ZS_BZIP2
                                                    : ZS_PLAIN;
  if (file) t.out = ZSWriteOpen(pool, file, kind, level);  // closes file on failure
  if (!t.out) {
    printf("Error opening output file '%s%s'.\n", name, suffix);
    if (file) unlink(out_name);
    INClose(t.in);
    MPDelete(pool);
    return false;
  }

  t.cache = (NameSlot*)MPAlloc(pool, (int32_t)(TR_CACHE_SIZE * sizeof(NameSlot)));
  for (int i = 0; i < TR_CACHE_SIZE; i++) t.cache[i].len = SLOT_UNUSED;
  NewlineText(Settings.newlines, &t.nl, &t.nl_len);
  Rewrite(&t);

  if (t.verbose) {
    long secs = (long)(time(nullptr) - t.start);
    printf("Translated %s IPs, %s unresolved, %s lines in %d:%02d!\n", FormatCount(t.replaced),
           FormatCount(t.addresses - t.replaced), FormatCount(t.lines), (int)(secs / 60),
           (int)(secs % 60));
  }
  // The input is about to go: its replacement must be on the disk first.
  const bool sync = exchange || Settings.delete_input;
  bool closed = ZSWriteClose(t.out, sync);
  if (!closed && !t.failed) puts("Write error on output file!");
  bool ok = closed && !t.failed;
  bool read_error = t.in->read_error;
  INClose(t.in);
  MPDelete(pool);

  // A copy cut short by a write error or an unreadable input never stays
  // behind looking complete, and never costs the input.
  if (!ok || read_error) {
    unlink(out_name);
    return false;
  }
  if (exchange) {
    // rename(2) swaps the names at once: the log is never missing.
    if (rename(out_name, name) != 0) return false;
    SyncDirectory(name);
  } else if (Settings.delete_input) {
    unlink(name);
  }
  return true;
}
