// The translation pass: a copy of each log in which every resolved address is
// replaced by its host name, compressed and with the chosen newlines.
#define ASSERT_MODULE "src/Logvane"
#include "src/Translate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "common/Assert.h"
#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/UnixFileSpec.h"
#include "common/input.h"
#include "common/zstream.h"
#include "src/Filter.h"
#include "src/FormatCount.h"
#include "src/Host6Table.h"
#include "src/HostTable.h"
#include "src/IPScan.h"
#include "src/Settings.h"

#define TR_REPORT_SECS 10

#define TR_CACHE_BITS 14  // recently met addresses, direct-mapped
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
  const char* nl;  // configured newline text
  int nl_len;
  bool verbose;
  bool failed;  // a write failed; nothing more is written
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

// The name an IPv6 address is written as, or null; an IPv4-mapped one has
// its IPv4 address's.
static const char* NameOf6(const IP6Key* key) {
  uint32_t v4;
  void* item = nullptr;
  const HostEntry* e = nullptr;
  if (IP6Mapped(key, &v4))
    e = HashFind(hostTable, &v4, &item) ? (const HostEntry*)item : nullptr;
  else if (const Host6Entry* e6 = Host6Find(key))
    e = &e6->entry;
  return e && HostNamed(e) ? e->domain : nullptr;
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
    IPWindow(&cur, window, t->in->buff_cnt, t->in->at_eof);
    const char* from = window;  // first byte not yet written
    IPHit hit;
    while (int kind = IPNext(&cur, &hit)) {
      const char* text;
      int len;
      if (kind == IP_ADDRESS) {
        const NameSlot* slot = Lookup(t, hit.key);
        if (slot->len == SLOT_KEEP) continue;
        text = slot->name, len = slot->len;
      } else if (kind == IP_ADDRESS6) {
        t->addresses++;
        text = NameOf6(&hit.key6);
        if (!text) continue;
        t->replaced++;
        len = (int)strlen(text);
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
    case NEWLINE_MAC:
      *text = "\r";
      *len = 1;
      break;
    case NEWLINE_DOS:
      *text = "\r\n";
      *len = 2;
      break;
    default:
      *text = "\n";
      *len = 1;
      break;
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

// The log stays locked until its output is in place, so that two runs never
// translate it at once: the second skips it.
static bool LockLog(const char* name, InputFile* in) {
  int fd = fileno(in->file);
  if (FSLock(fd, false) && FSSameFile(name, fd)) return true;
  printf("'%s' is being translated by another run, skipping it.\n", name);
  return false;
}

// The output is made as "<log>.$$$" and renamed to its name when complete:
// a kill never leaves a cut output under the final name, and a link there is
// replaced, never written through. It gets the log's mode and, as root, its
// owner, so no one reads the copy who could not read the log.
static bool FinishOutput(FSTemp* tmp, const struct stat* log) {
  return FSTempFinish(tmp, log->st_mode & 0777, log->st_uid, log->st_gid) &&
         FSTempInstall(tmp, nullptr);
}

// The writer of the settings' kind over file (null file: null).
static ZSWriter* OpenWriter(MemoryPool* pool, FILE* file) {
  int level = Settings.level < 0 ? 0 : Settings.level > 9 ? 9 : Settings.level;
  int kind = Settings.compress == COMPRESS_GZIP    ? ZS_GZIP
             : Settings.compress == COMPRESS_BZIP2 ? ZS_BZIP2
                                                   : ZS_PLAIN;
  return file ? ZSWriteOpen(pool, file, kind, level, Settings.threads)
              : nullptr;  // closes file on failure
}

static void StartTranslation(Translation* t) {
  memset(t, 0, sizeof *t);
  t->verbose = Settings.verbose != 0;
  t->start = time(nullptr);
  t->last_report = t->start;
}

// Rewrites t->in into t->out, reports and closes the writer; true when all
// of the input was read and written.
static bool RunTranslation(Translation* t, MemoryPool* pool) {
  t->cache = (NameSlot*)MPAlloc(pool, (int32_t)(TR_CACHE_SIZE * sizeof(NameSlot)));
  for (int i = 0; i < TR_CACHE_SIZE; i++) t->cache[i].len = SLOT_UNUSED;
  NewlineText(Settings.newlines, &t->nl, &t->nl_len);
  Rewrite(t);

  if (t->verbose) {
    long secs = (long)(time(nullptr) - t->start);
    printf("Translated %s IPs, %s unresolved, %s lines in %d:%02d!\n", FormatCount(t->replaced),
           FormatCount(t->addresses - t->replaced), FormatCount(t->lines), (int)(secs / 60),
           (int)(secs % 60));
  }
  bool closed = ZSWriteClose(t->out, false);
  if (!closed && !t->failed) puts("Write error on output file!");
  return closed && !t->failed && !t->in->read_error;
}

// "-" in filter mode: standard input as the lookup pass kept it, to standard
// output. Nothing is replaced or deleted.
static bool TranslateStandardInput() {
  if (Settings.verbose) puts("Translating '-'");
  Translation t;
  StartTranslation(&t);
  MemoryPool* pool = MPNew();
  t.in = INFOpen(FLStandardInput(true), pool);
  if (!t.in) {
    puts("Error opening input file '-'.");
    MPDelete(pool);
    return false;
  }
  t.out = OpenWriter(pool, FLStandardOutput());
  if (!t.out) {
    puts("Error opening output file '-'.");
    INClose(t.in);
    MPDelete(pool);
    return false;
  }
  bool ok = RunTranslation(&t, pool);
  INClose(t.in);
  MPDelete(pool);
  return ok;
}

bool TranslateLog(const char* name) {
  if (FLActive() && strcmp(name, "-") == 0) return TranslateStandardInput();
  if (FSNotAFile(name)) {
    if (Settings.verbose) printf("'%s' is not a file, skipping it.\n", name);
    return false;
  }
  if (Settings.verbose) printf("Translating '%s'\n", name);

  Translation t;
  StartTranslation(&t);
  MemoryPool* pool = MPNew();
  t.in = INOpenPath(name, pool);
  if (!t.in) {
    printf("Error opening input file '%s'.\n", name);
    MPDelete(pool);
    return false;
  }
  struct stat st;
  if (fstat(fileno(t.in->file), &st) != 0 || !LockLog(name, t.in)) {
    INClose(t.in);
    MPDelete(pool);
    return false;
  }

  const char* suffix = Suffix();
  const bool exchange = Settings.exchange != 0;
  const std::string temp = std::string(name) + ".$$$";
  const std::string target = exchange ? std::string(name) : name + std::string(suffix);
  FSTemp tmp;
  int err;
  FILE* file =
      FSTempCreate(&tmp, target.c_str(), temp.c_str(), &err) ? FSTempStream(&tmp) : nullptr;
  t.out = OpenWriter(pool, file);
  if (!t.out) {
    printf("Error opening output file '%s%s'.\n", name, suffix);
    FSTempClose(&tmp);
    INClose(t.in);
    MPDelete(pool);
    return false;
  }

  // A copy cut short by a write error or an unreadable input never takes the
  // final name, and never costs the input.
  bool ok = RunTranslation(&t, pool);
  if (ok && !FinishOutput(&tmp, &st)) {
    puts("Write error on output file!");
    ok = false;
  }
  FSTempClose(&tmp);
  if (ok && Settings.delete_input && !exchange) unlink(name);
  INClose(t.in);
  MPDelete(pool);
  return ok;
}
