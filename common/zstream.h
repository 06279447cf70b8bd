// Compressed streams over stdio: gzip and bzip2 readers over an already open
// stream, and plain, gzip and bzip2 writers. Their compressor memory comes
// through the pool hooks (MPSetZlibAlloc / MPSetBzip2Alloc / MPSetDeflateAlloc).
#pragma once
#include <cstdint>
#include <cstdio>

struct MemoryPool;

enum { ZS_PLAIN = 0, ZS_GZIP = 1, ZS_BZIP2 = 2 };  // as COMPRESS_*

struct ZSReader;

// Reads gzip (concatenated members too) from file's current position, with
// `pre` bytes fed first (sniffed from a pipe). Memory: the zlib hook.
// Null when the decoder cannot be set up.
ZSReader* ZSGzReadOpen(FILE* file, const char* pre, int pre_len);
// Same for bzip2, memory through the bzip2 hook.
ZSReader* ZSBzReadOpen(FILE* file, const char* pre, int pre_len);
// Bytes delivered, 0 at the end, negative on error (corrupt, truncated, null).
int ZSRead(ZSReader* r, void* buf, int len);
// gzip progress as the input reader reports it: -1 in error, 1000 at the end.
int32_t ZSGzPercent(ZSReader* r);
// Compressed bytes consumed so far.
int64_t ZSConsumed(ZSReader* r);
// Ends the decoder and closes the file (but never stdin/stdout); 0 on success.
int ZSReadClose(ZSReader* r);

struct ZSWriter;

// Takes over file, opened for writing by the caller. Compressor memory comes
// from pool through the hooks. level: gzip level 0..9, bzip2 block size 1..9
// (0 -> 1). gzip is written as members of 4 MiB of input, bzip2 as one stream
// per libbz2 block; with threads > 1 up to that many threads compress them
// once the first is full (the bytes are the same). Null (file closed) when the
// compressor cannot be set up.
ZSWriter* ZSWriteOpen(MemoryPool* pool, FILE* file, int kind, int level, int threads = 1);
// len, or fewer once a write has failed (the writer then stays failed); a
// failure may show a few blocks after the bytes that caused it.
int ZSWrite(ZSWriter* w, const void* data, int len);
// Finishes, flushes, fsyncs when asked, closes; true only when every byte
// reached the file.
bool ZSWriteClose(ZSWriter* w, bool sync);

// Creates path for writing, failing if anything exists there (links included).
FILE* ZSCreateExclusive(const char* path);
