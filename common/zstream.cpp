// Compressed streams over stdio, built on the stream interfaces of zlib and
// libbz2 (their file layers can neither start on an open FILE* nor take an
// allocator).
#include "common/zstream.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "common/MemoryPool.h"

#define ASSERT_MODULE "common/zstream"
#include "common/Assert.h"

#define ZS_IN_SIZE 65536
#define ZS_OUT_SIZE 65536
#define ZS_PLAIN_BUFFER 262144

// ---- Readers ----

struct ZSReader {
  int32_t kind;
  FILE* file;
  bool file_eof;      // the file gives no more bytes
  bool live;          // decoder initialised
  bool ended;         // compressed data over: reads give 0
  bool error;         // corrupt, truncated or unreadable input
  int32_t pre_len;
  int64_t base;       // file offset at open
  int64_t file_size;  // 0 when unknown (pipe)
  int64_t consumed;   // compressed bytes the decoder has taken, pre included
  unsigned char* in_next;
  uint32_t in_avail;
  union {
    z_stream z;
    bz_stream bz;
  };
  unsigned char in[ZS_IN_SIZE];
};

static ZSReader* NewReader(int kind, FILE* file, const char* pre, int pre_len) {
  LV_ASSERT(pre_len >= 0 && pre_len <= ZS_IN_SIZE && (pre || pre_len == 0));
  if (!file) return nullptr;
  ZSReader* r = (ZSReader*)malloc(sizeof(ZSReader));
  if (!r) return nullptr;
  memset((void*)r, 0, offsetof(ZSReader, in));
  r->kind = kind;
  r->file = file;
  r->pre_len = pre_len;
  if (pre_len) memcpy(r->in, pre, pre_len);
  r->in_next = r->in;
  r->in_avail = pre_len;
  off_t at = ftello(file);
  r->base = at < 0 ? 0 : at;
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) r->file_size = st.st_size;
  return r;
}

static bool StartGz(ZSReader* r) {
  MPZlibHook hook = MPGetZlibHook();
  r->z.zalloc = hook.alloc ? hook.alloc : Z_NULL;
  r->z.zfree = hook.alloc ? hook.release : Z_NULL;
  r->z.opaque = hook.alloc ? hook.opaque : Z_NULL;
  return inflateInit2(&r->z, 15 + 16) == Z_OK;
}

static bool StartBz(ZSReader* r) {
  MPBzip2Hook hook = MPGetBzip2Hook();
  r->bz.bzalloc = hook.alloc;
  r->bz.bzfree = hook.alloc ? hook.release : nullptr;
  r->bz.opaque = hook.alloc ? hook.opaque : nullptr;
  return BZ2_bzDecompressInit(&r->bz, 0, 0) == BZ_OK;
}

ZSReader* ZSGzReadOpen(FILE* file, const char* pre, int pre_len) {
  ZSReader* r = NewReader(ZS_GZIP, file, pre, pre_len);
  if (r && !(r->live = StartGz(r))) {
    free(r);
    return nullptr;
  }
  return r;
}

ZSReader* ZSBzReadOpen(FILE* file, const char* pre, int pre_len) {
  ZSReader* r = NewReader(ZS_BZIP2, file, pre, pre_len);
  if (r && !(r->live = StartBz(r))) {
    free(r);
    return nullptr;
  }
  return r;
}

// Keeps the undecoded bytes and tops the buffer up from the file.
static void Refill(ZSReader* r) {
  if (r->in_avail && r->in_next != r->in) memmove(r->in, r->in_next, r->in_avail);
  r->in_next = r->in;
  size_t want = ZS_IN_SIZE - r->in_avail;
  size_t n = fread(r->in + r->in_avail, 1, want, r->file);
  r->in_avail += (uint32_t)n;
  if (n < want) {
    r->file_eof = true;
    if (ferror(r->file)) r->error = true;
  }
}

enum { DEC_MORE, DEC_MEMBER_END, DEC_FAIL };

// One decoder call into out; *made gets the bytes produced.
static int Decode(ZSReader* r, unsigned char* out, uint32_t room, uint32_t* made) {
  uint32_t avail_out;
  int status;
  if (r->kind == ZS_GZIP) {
    r->z.next_in = r->in_next;
    r->z.avail_in = r->in_avail;
    r->z.next_out = out;
    r->z.avail_out = room;
    int ret = inflate(&r->z, Z_NO_FLUSH);
    r->consumed += r->in_avail - r->z.avail_in;
    r->in_next = r->z.next_in;
    r->in_avail = r->z.avail_in;
    avail_out = r->z.avail_out;
    status = ret == Z_STREAM_END                    ? DEC_MEMBER_END
             : (ret == Z_OK || ret == Z_BUF_ERROR) ? DEC_MORE
                                                    : DEC_FAIL;
  } else {
    r->bz.next_in = (char*)r->in_next;
    r->bz.avail_in = r->in_avail;
    r->bz.next_out = (char*)out;
    r->bz.avail_out = room;
    int ret = BZ2_bzDecompress(&r->bz);
    r->consumed += r->in_avail - r->bz.avail_in;
    r->in_next = (unsigned char*)r->bz.next_in;
    r->in_avail = r->bz.avail_in;
    avail_out = r->bz.avail_out;
    status = ret == BZ_STREAM_END ? DEC_MEMBER_END : ret == BZ_OK ? DEC_MORE : DEC_FAIL;
  }
  *made = room - avail_out;
  // Wanting input that the file no longer has: truncated.
  if (status == DEC_MORE && avail_out > 0 && r->in_avail == 0 && r->file_eof) status = DEC_FAIL;
  return status;
}

// After a member (gzip) or stream (bzip2): go on when another one follows,
// as gzip(1) and bzip2(1) do; anything else behind it ends the data.
static void NextMember(ZSReader* r) {
  static const unsigned char GZ_MAGIC[] = {0x1F, 0x8B};
  const unsigned char* magic = r->kind == ZS_GZIP ? GZ_MAGIC : (const unsigned char*)"BZh";
  uint32_t need = r->kind == ZS_GZIP ? 2 : 3;
  if (r->in_avail < need && !r->file_eof) Refill(r);
  if (r->error) return;
  if (r->in_avail < need || memcmp(r->in_next, magic, need) != 0) {
    r->ended = true;
    return;
  }
  if (r->kind == ZS_GZIP) {
    if (inflateReset(&r->z) != Z_OK) r->error = true;
    return;
  }
  // libbz2 has no reset; the allocator fields survive the end.
  BZ2_bzDecompressEnd(&r->bz);
  r->live = BZ2_bzDecompressInit(&r->bz, 0, 0) == BZ_OK;
  if (!r->live) r->error = true;
}

int ZSRead(ZSReader* r, void* buf, int len) {
  if (!r || len < 0 || r->error) return -1;
  unsigned char* out = (unsigned char*)buf;
  int got = 0;
  // An error found mid-call is reported on the next call, after the bytes
  // decoded before it.
  while (got < len && !r->ended && !r->error) {
    if (r->in_avail == 0 && !r->file_eof) {
      Refill(r);
      if (r->error) break;
    }
    uint32_t made = 0;
    int status = Decode(r, out + got, (uint32_t)(len - got), &made);
    got += (int)made;
    if (status == DEC_FAIL)
      r->error = true;
    else if (status == DEC_MEMBER_END)
      NextMember(r);
  }
  if (got > 0) return got;
  return r->error ? -1 : 0;
}

// Progress through the compressed file in tenths of a percent.
int32_t ZSGzPercent(ZSReader* r) {
  if (!r || r->error) return -1;
  if (r->ended) return 1000;
  int64_t c64 = r->base + r->consumed - r->pre_len;
  int64_t s64 = r->file_size;
  if (c64 < 0) c64 = 0;
  if (s64 <= 0) return 0;
  int64_t p;
  if (s64 > (int64_t)UINT32_MAX || c64 > (int64_t)UINT32_MAX) {
    // Files over 4 GB do not fit the 32-bit stages; 64 bits are exact here.
    p = c64 * 1000 / s64;
  } else {
    // Staged so that the 32-bit product never overflows.
    uint32_t c = (uint32_t)c64, s = (uint32_t)s64, d;
    if (c <= 2147482) {
      d = s;
      p = d ? c * 1000 / d : 0;
    } else if (c <= 21474835) {
      d = s / 10;
      p = d ? c * 100 / d : 0;
    } else if (c <= 214748363) {
      d = s / 100;
      p = d ? c * 10 / d : 0;
    } else {
      d = s / 1000;
      p = d ? c / d : 0;
    }
  }
  return (int32_t)(p > 1000 ? 1000 : p);
}

int64_t ZSConsumed(ZSReader* r) {
  return r ? r->consumed : -1;
}

int ZSReadClose(ZSReader* r) {
  if (!r) return -1;
  if (r->live) {
    if (r->kind == ZS_GZIP)
      inflateEnd(&r->z);
    else
      BZ2_bzDecompressEnd(&r->bz);
  }
  int result = 0;
  if (r->file != stdin && r->file != stdout) result = fclose(r->file) == 0 ? 0 : -1;
  free(r);
  return result;
}

// ---- Writers ----

struct ZSWriter {
  int32_t kind;
  FILE* file;
  bool failed;
  union {
    z_stream z;
    bz_stream bz;
  };
  unsigned char* out;
};

static bool StartDeflate(ZSWriter* w, MemoryPool* pool, int level) {
  MPSetZlibAlloc(pool);
  MPZlibHook hook = MPGetZlibHook();
  memset(&w->z, 0, sizeof w->z);
  w->z.zalloc = hook.alloc ? hook.alloc : Z_NULL;
  w->z.zfree = hook.alloc ? hook.release : Z_NULL;
  w->z.opaque = hook.alloc ? hook.opaque : Z_NULL;
  return deflateInit2(&w->z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

static bool StartBzCompress(ZSWriter* w, MemoryPool* pool, int level) {
  MPSetBzip2Alloc(pool);
  MPBzip2Hook hook = MPGetBzip2Hook();
  memset(&w->bz, 0, sizeof w->bz);
  w->bz.bzalloc = hook.alloc;
  w->bz.bzfree = hook.alloc ? hook.release : nullptr;
  w->bz.opaque = hook.alloc ? hook.opaque : nullptr;
  return BZ2_bzCompressInit(&w->bz, level ? level : 1, 0, 0) == BZ_OK;
}

static void SetOut(ZSWriter* w) {
  if (w->kind == ZS_GZIP) {
    w->z.next_out = w->out;
    w->z.avail_out = ZS_OUT_SIZE;
  } else {
    w->bz.next_out = (char*)w->out;
    w->bz.avail_out = ZS_OUT_SIZE;
  }
}

ZSWriter* ZSWriteOpen(MemoryPool* pool, FILE* file, int kind, int level) {
  LV_ASSERT(kind == ZS_PLAIN || kind == ZS_GZIP || kind == ZS_BZIP2);
  LV_ASSERT(level >= 0 && level <= 9);
  if (!file) return nullptr;
  ZSWriter* w = (ZSWriter*)MPAlloc(pool, sizeof(ZSWriter));
  w->kind = kind;
  w->file = file;
  w->failed = false;
  w->out = nullptr;
  if (kind == ZS_PLAIN) {
    setvbuf(file, (char*)MPAlloc(pool, ZS_PLAIN_BUFFER), _IOFBF, ZS_PLAIN_BUFFER);
    return w;
  }
  bool started = kind == ZS_GZIP ? StartDeflate(w, pool, level) : StartBzCompress(w, pool, level);
  if (!started) {
    fclose(file);
    return nullptr;
  }
  w->out = (unsigned char*)MPAlloc(pool, ZS_OUT_SIZE);
  SetOut(w);
  return w;
}

static uint32_t OutRoom(ZSWriter* w) {
  return w->kind == ZS_GZIP ? w->z.avail_out : w->bz.avail_out;
}

// Writes the compressed bytes gathered so far and empties the buffer.
static void Drain(ZSWriter* w) {
  size_t n = ZS_OUT_SIZE - OutRoom(w);
  if (n && fwrite(w->out, 1, n, w->file) != n) w->failed = true;
  SetOut(w);
}

// Runs the compressor over w's pending input (finish: to the stream's end).
static void Compress(ZSWriter* w, bool finish) {
  for (;;) {
    if (OutRoom(w) == 0) Drain(w);
    if (w->failed) return;
    bool more;
    if (w->kind == ZS_GZIP) {
      int ret = deflate(&w->z, finish ? Z_FINISH : Z_NO_FLUSH);
      if (ret == Z_STREAM_ERROR) w->failed = true;
      more = finish ? ret == Z_OK || ret == Z_BUF_ERROR : w->z.avail_in > 0;
    } else {
      int ret = BZ2_bzCompress(&w->bz, finish ? BZ_FINISH : BZ_RUN);
      if (ret < 0) w->failed = true;
      more = finish ? ret == BZ_FINISH_OK : w->bz.avail_in > 0;
    }
    if (w->failed || !more) return;
  }
}

int ZSWrite(ZSWriter* w, const void* data, int len) {
  if (!w || w->failed) return -1;
  LV_ASSERT(len >= 0 && (data || len == 0));
  if (len == 0) return 0;
  if (w->kind == ZS_PLAIN) {
    size_t n = fwrite(data, 1, (size_t)len, w->file);
    if (n != (size_t)len) w->failed = true;
    return (int)n;
  }
  if (w->kind == ZS_GZIP) {
    w->z.next_in = (Bytef*)data;
    w->z.avail_in = (uInt)len;
  } else {
    w->bz.next_in = (char*)data;
    w->bz.avail_in = (unsigned)len;
  }
  Compress(w, false);
  return w->failed ? -1 : len;
}

bool ZSWriteClose(ZSWriter* w, bool sync) {
  if (!w) return false;
  if (w->kind != ZS_PLAIN && !w->failed) {
    Compress(w, true);
    if (!w->failed) Drain(w);
  }
  if (fflush(w->file) != 0) w->failed = true;
  // A device that cannot sync (EINVAL) has still been given every byte.
  if (sync && !w->failed && fsync(fileno(w->file)) != 0 && errno != EINVAL) w->failed = true;
  if (w->file != stdin && w->file != stdout && fclose(w->file) != 0) w->failed = true;
  if (w->kind == ZS_GZIP)
    deflateEnd(&w->z);
  else if (w->kind == ZS_BZIP2)
    BZ2_bzCompressEnd(&w->bz);
  return !w->failed;
}

FILE* ZSCreateExclusive(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return f;
}
