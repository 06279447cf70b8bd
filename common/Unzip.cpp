// The zip reader over a stream the caller has already opened.
#include <minizip/unzip.h>

#include "common/MemoryPool.h"

// The "path" minizip hands to the open callback is the stream itself.
static voidpf UzOpen(voidpf, const void* stream, int) { return const_cast<void*>(stream); }

static uLong UzRead(voidpf, voidpf stream, void* buf, uLong size) {
  return fread(buf, 1, size, static_cast<FILE*>(stream));
}

static uLong UzWrite(voidpf, voidpf stream, const void* buf, uLong size) {
  return fwrite(buf, 1, size, static_cast<FILE*>(stream));
}

static ZPOS64_T UzTell(voidpf, voidpf stream) {
  off_t at = ftello(static_cast<FILE*>(stream));
  return at < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(at);
}

static long UzSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  int whence = origin == ZLIB_FILEFUNC_SEEK_CUR   ? SEEK_CUR
               : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END
                                                  : SEEK_SET;
  return fseeko(static_cast<FILE*>(stream), static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

// The reader's owner closes the stream, not unzClose.
static int UzClose(voidpf, voidpf) { return 0; }

static int UzError(voidpf, voidpf stream) { return ferror(static_cast<FILE*>(stream)); }

// Stock minizip 1.1 inflates members with zlib's default allocator and takes
// no allocation pair, so the reader's memory cannot be drawn from pool; the
// argument stays for callers (null meaning the library default anyway).
void* MPUnzOpen(MemoryPool* pool, FILE* stream) {
  (void)pool;
  if (!stream) return nullptr;
  zlib_filefunc64_def io = {UzOpen, UzRead, UzWrite, UzTell, UzSeek, UzClose, UzError, nullptr};
  return unzOpen2_64(stream, &io);
}
