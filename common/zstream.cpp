// Compressed streams over stdio, built on the stream interfaces of zlib and
// libbz2 (their file layers can neither start on an open FILE* nor take an
// allocator) and on libdeflate's whole-buffer compressor.
#include "common/zstream.h"

#include <bzlib.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <pthread.h>
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
#define ZS_PLAIN_BUFFER 262144

// ---- Readers ----

struct ZSReader {
  int32_t kind;
  FILE* file;
  bool file_eof;  // the file gives no more bytes
  bool live;      // decoder initialised
  bool ended;     // compressed data over: reads give 0
  bool error;     // corrupt, truncated or unreadable input
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
    status = ret == Z_STREAM_END                   ? DEC_MEMBER_END
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

int64_t ZSConsumed(ZSReader* r) { return r ? r->consumed : -1; }

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
//
// gzip and bzip2 output is cut into blocks where the input alone decides
// (4 MiB for gzip, one libbz2 block for bzip2), each compressed on its own
// into a whole gzip member or bzip2 stream; gzip, bzip2, zlib and our reader
// take the concatenation as one file. Blocks may so be compressed on worker
// threads and still give the same bytes whatever their number. The workers
// see only their blocks and compressors: filling, writing and every
// allocation stay on the thread that owns the writer.

#define ZS_GZ_BLOCK (4 << 20)  // input bytes per gzip member
#define ZS_GZ_HEADER 10
#define ZS_GZ_TRAILER 8
#define ZS_BZ_MARGIN 19  // libbz2 fills a block to 100,000 x level less this
#define ZS_BZ_NO_RUN 256

// libdeflate level for each level digit: the fastest whose output on the
// benchmark log, in 4 MiB members, is no larger than zlib's at that digit.
static const int ZS_DEFLATE_LEVEL[10] = {0, 1, 2, 3, 4, 6, 6, 7, 8, 8};

struct ZSBlock {
  unsigned char* in;
  unsigned char* out;
  uint32_t in_len;
  uint32_t out_len;
  bool ok;    // compressed whole into out
  bool done;  // compressed (guarded by the writer's lock once workers run)
};

// One compressor; used by one thread at a time.
struct ZSWorker {
  ZSWriter* w;
  libdeflate_compressor* deflate;
  bz_stream bz;
  bool bz_live;
  pthread_t thread;
};

struct ZSWriter {
  int32_t kind;
  int32_t level;
  FILE* file;
  MemoryPool* pool;
  bool failed;
  uint32_t block_size;  // input bytes a block can hold
  uint32_t out_size;
  // bzip2: libbz2's count of the block being filled (see BzTake).
  uint32_t bz_symbols;
  uint32_t bz_max;
  int32_t bz_ch;
  int32_t bz_run;
  int32_t threads;     // asked for
  int32_t started;     // running; 0: each block is compressed here when full
  int32_t slot_count;  // blocks in the ring
  ZSBlock* slots;
  ZSWorker* workers;
  // Block sequence numbers: block n lives in slots[n % slot_count].
  uint64_t queued;   // blocks handed over; the next one is being filled
  uint64_t taken;    // blocks a worker has begun
  uint64_t written;  // blocks written to the file
  bool stop;
  pthread_mutex_t lock;
  pthread_cond_t work;   // a block queued, or stop
  pthread_cond_t ready;  // a block done
};

static void PutLE32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}

static void NewBlock(ZSWriter* w, ZSBlock* b) {
  b->in = (unsigned char*)MPAllocLarge(w->pool, w->block_size);
  b->out = (unsigned char*)MPAllocLarge(w->pool, w->out_size);
}

// A compressor for k, memory from the pool through the hooks.
static bool NewCompressor(ZSWriter* w, ZSWorker* k) {
  k->w = w;
  if (w->kind == ZS_GZIP) {
    MPSetDeflateAlloc(w->pool);
    k->deflate = libdeflate_alloc_compressor(ZS_DEFLATE_LEVEL[w->level]);
    MPSetDeflateAlloc(nullptr);
    return k->deflate != nullptr;
  }
  // Each compressor gets a slot cache of its own: a worker that sets up its
  // next stream then takes back its own slot and never reaches the pool.
  MPSetBzip2Alloc(w->pool);
  MPBzip2Hook hook = MPGetBzip2Hook();
  memset(&k->bz, 0, sizeof k->bz);
  k->bz.bzalloc = hook.alloc;
  k->bz.bzfree = hook.alloc ? hook.release : nullptr;
  k->bz.opaque = hook.alloc ? hook.opaque : nullptr;
  k->bz_live = BZ2_bzCompressInit(&k->bz, w->level, 0, 0) == BZ_OK;
  return k->bz_live;
}

static void FreeCompressor(ZSWorker* k) {
  if (k->deflate) libdeflate_free_compressor(k->deflate);
  if (k->bz_live) BZ2_bzCompressEnd(&k->bz);
  k->deflate = nullptr;
  k->bz_live = false;
}

// One gzip member: header (the extra flags follow the level as zlib sets
// them), deflate data, CRC and length.
static bool DeflateBlock(ZSWriter* w, ZSWorker* k, ZSBlock* b) {
  static const unsigned char HEADER[ZS_GZ_HEADER] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
  memcpy(b->out, HEADER, ZS_GZ_HEADER);
  b->out[8] = w->level == 9 ? 2 : w->level < 2 ? 4 : 0;
  size_t n = libdeflate_deflate_compress(k->deflate, b->in, b->in_len, b->out + ZS_GZ_HEADER,
                                         w->out_size - ZS_GZ_HEADER - ZS_GZ_TRAILER);
  unsigned char* tail = b->out + ZS_GZ_HEADER + n;
  PutLE32(tail, libdeflate_crc32(0, b->in, b->in_len));
  PutLE32(tail + 4, b->in_len);
  b->out_len = (uint32_t)(n + ZS_GZ_HEADER + ZS_GZ_TRAILER);
  return n > 0;
}

// One bzip2 stream; the compressor is then set up for the next.
static bool BzBlock(ZSWriter* w, ZSWorker* k, ZSBlock* b) {
  if (!k->bz_live) return false;
  k->bz.next_in = (char*)b->in;
  k->bz.avail_in = b->in_len;
  k->bz.next_out = (char*)b->out;
  k->bz.avail_out = w->out_size;
  int ret = BZ2_bzCompress(&k->bz, BZ_FINISH);
  while (ret == BZ_FINISH_OK && k->bz.avail_out > 0) ret = BZ2_bzCompress(&k->bz, BZ_FINISH);
  b->out_len = w->out_size - k->bz.avail_out;
  // libbz2 has no reset; the allocator fields survive the end.
  BZ2_bzCompressEnd(&k->bz);
  k->bz_live = BZ2_bzCompressInit(&k->bz, w->level, 0, 0) == BZ_OK;
  return ret == BZ_STREAM_END;
}

static void CompressBlock(ZSWriter* w, ZSWorker* k, ZSBlock* b) {
  b->ok = w->kind == ZS_GZIP ? DeflateBlock(w, k, b) : BzBlock(w, k, b);
}

// How many of the n bytes at p the bzip2 block being filled takes before
// libbz2 would find it full, counting as its first run-length stage does, so
// that each stream holds one whole block, where bzip2 itself would cut.
static uint32_t BzTake(ZSWriter* w, const unsigned char* p, uint32_t n) {
  uint32_t i = 0;
  for (; i < n && w->bz_symbols < w->bz_max; i++) {
    if (p[i] != w->bz_ch || w->bz_run == 255) {
      if (w->bz_ch != ZS_BZ_NO_RUN) w->bz_symbols += w->bz_run < 4 ? w->bz_run : 5;
      w->bz_ch = p[i];
      w->bz_run = 1;
    } else {
      w->bz_run++;
    }
  }
  return i;
}

static bool BlockFull(ZSWriter* w, const ZSBlock* b) {
  return b->in_len == w->block_size || (w->kind == ZS_BZIP2 && w->bz_symbols >= w->bz_max);
}

static void* WorkerMain(void* arg) {
  ZSWorker* k = (ZSWorker*)arg;
  ZSWriter* w = k->w;
  pthread_mutex_lock(&w->lock);
  for (;;) {
    while (!w->stop && w->taken == w->queued) pthread_cond_wait(&w->work, &w->lock);
    if (w->stop) break;
    ZSBlock* b = &w->slots[w->taken++ % w->slot_count];
    pthread_mutex_unlock(&w->lock);
    CompressBlock(w, k, b);
    pthread_mutex_lock(&w->lock);
    b->done = true;
    pthread_cond_signal(&w->ready);
  }
  pthread_mutex_unlock(&w->lock);
  return nullptr;
}

// Called when the first block is full: the other blocks, compressors and
// threads. Whatever cannot be had leaves fewer workers, or none.
static void StartWorkers(ZSWriter* w) {
  w->slot_count = w->threads + 2;  // one filling, one queued beside each worker's
  for (int32_t i = 1; i < w->slot_count; i++) NewBlock(w, &w->slots[i]);
  pthread_mutex_init(&w->lock, nullptr);
  pthread_cond_init(&w->work, nullptr);
  pthread_cond_init(&w->ready, nullptr);
  for (int32_t i = 0; i < w->threads; i++) {
    ZSWorker* k = &w->workers[i];
    if (i > 0 && !NewCompressor(w, k)) break;
    if (pthread_create(&k->thread, nullptr, WorkerMain, k) != 0) break;
    w->started++;
  }
}

// Writes block n (the oldest unwritten), once it is done.
static void WriteBlock(ZSWriter* w, uint64_t n) {
  ZSBlock* b = &w->slots[n % w->slot_count];
  if (w->started) {
    pthread_mutex_lock(&w->lock);
    while (!b->done) pthread_cond_wait(&w->ready, &w->lock);
    pthread_mutex_unlock(&w->lock);
  }
  if (!w->failed && (!b->ok || fwrite(b->out, 1, b->out_len, w->file) != b->out_len))
    w->failed = true;
  b->in_len = 0;
  w->written = n + 1;
}

// Hands over the block being filled and makes the next one ready to fill.
static void Hand(ZSWriter* w) {
  w->bz_symbols = 0;
  w->bz_ch = ZS_BZ_NO_RUN;
  uint64_t n = w->queued;
  ZSBlock* b = &w->slots[n % w->slot_count];
  if (!w->started) {
    CompressBlock(w, &w->workers[0], b);
    w->queued = n + 1;
    WriteBlock(w, n);
    return;
  }
  pthread_mutex_lock(&w->lock);
  b->done = false;
  w->queued = n + 1;
  pthread_cond_signal(&w->work);
  pthread_mutex_unlock(&w->lock);
  // The next block's slot is free once the block that last used it is written.
  if (w->queued >= (uint64_t)w->slot_count) WriteBlock(w, w->queued - w->slot_count);
}

ZSWriter* ZSWriteOpen(MemoryPool* pool, FILE* file, int kind, int level, int threads) {
  LV_ASSERT(kind == ZS_PLAIN || kind == ZS_GZIP || kind == ZS_BZIP2);
  LV_ASSERT(level >= 0 && level <= 9 && threads >= 1);
  if (!file) return nullptr;
  ZSWriter* w = (ZSWriter*)MPAlloc(pool, sizeof(ZSWriter));
  memset((void*)w, 0, sizeof *w);
  w->kind = kind;
  w->level = kind == ZS_BZIP2 && level == 0 ? 1 : level;
  w->file = file;
  w->pool = pool;
  w->threads = threads;
  if (kind == ZS_PLAIN) {
    setvbuf(file, (char*)MPAlloc(pool, ZS_PLAIN_BUFFER), _IOFBF, ZS_PLAIN_BUFFER);
    return w;
  }
  if (kind == ZS_GZIP) {
    w->block_size = ZS_GZ_BLOCK;
    w->out_size = (uint32_t)libdeflate_deflate_compress_bound(nullptr, ZS_GZ_BLOCK) + ZS_GZ_HEADER +
                  ZS_GZ_TRAILER;
  } else {
    // Room for text that its run-length stage shrinks; past that, a block
    // ends short.
    w->bz_max = 100000 * w->level - ZS_BZ_MARGIN;
    w->bz_ch = ZS_BZ_NO_RUN;
    w->block_size = 2 * 100000 * w->level;
    w->out_size = w->block_size + w->block_size / 100 + 600;  // libbz2's own bound
  }
  // Records for every worker now, buffers and compressors when first needed:
  // a file of one block starts no thread.
  int32_t slots = threads > 1 ? threads + 2 : 1;
  w->slot_count = 1;
  w->slots = (ZSBlock*)MPAlloc(pool, (int32_t)(slots * sizeof(ZSBlock)));
  w->workers = (ZSWorker*)MPAlloc(pool, (int32_t)(threads * sizeof(ZSWorker)));
  memset((void*)w->slots, 0, slots * sizeof(ZSBlock));
  memset((void*)w->workers, 0, threads * sizeof(ZSWorker));
  if (!NewCompressor(w, &w->workers[0])) {
    fclose(file);
    return nullptr;
  }
  NewBlock(w, &w->slots[0]);
  return w;
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
  const unsigned char* p = (const unsigned char*)data;
  for (uint32_t left = (uint32_t)len; left > 0 && !w->failed;) {
    ZSBlock* b = &w->slots[w->queued % w->slot_count];
    uint32_t n = w->block_size - b->in_len;
    if (n > left) n = left;
    if (w->kind == ZS_BZIP2) n = BzTake(w, p, n);
    memcpy(b->in + b->in_len, p, n);
    b->in_len += n;
    p += n;
    left -= n;
    if (!BlockFull(w, b)) continue;
    if (w->threads > 1 && w->slot_count == 1) StartWorkers(w);  // once
    Hand(w);
  }
  return w->failed ? -1 : len;
}

// The last block (an empty one when nothing came, so that the file is whole),
// every block still unwritten, then the workers stop.
static void Finish(ZSWriter* w) {
  if (!w->failed && (w->slots[w->queued % w->slot_count].in_len > 0 || w->queued == 0)) Hand(w);
  while (!w->failed && w->written < w->queued) WriteBlock(w, w->written);
  if (w->started) {
    pthread_mutex_lock(&w->lock);
    w->stop = true;
    pthread_cond_broadcast(&w->work);
    pthread_mutex_unlock(&w->lock);
    for (int32_t i = 0; i < w->started; i++) pthread_join(w->workers[i].thread, nullptr);
  }
  if (w->slot_count > 1) {
    pthread_mutex_destroy(&w->lock);
    pthread_cond_destroy(&w->work);
    pthread_cond_destroy(&w->ready);
  }
  for (int32_t i = 0; i < w->threads; i++) FreeCompressor(&w->workers[i]);
}

bool ZSWriteClose(ZSWriter* w, bool sync) {
  if (!w) return false;
  if (w->kind != ZS_PLAIN) Finish(w);
  if (fflush(w->file) != 0) w->failed = true;
  // A device that cannot sync (EINVAL) has still been given every byte.
  if (sync && !w->failed && fsync(fileno(w->file)) != 0 && errno != EINVAL) w->failed = true;
  if (w->file != stdin && w->file != stdout && fclose(w->file) != 0) w->failed = true;
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
