#define ASSERT_MODULE "common/input"
#include "common/input.h"

#include <minizip/unzip.h>
#include <sys/stat.h>

#include <cstring>

#include "common/Assert.h"
#include "common/MemoryPool.h"
#include "common/UnixFileSpec.h"
#include "common/zstream.h"

static InputFile* NewInput(MemoryPool* pool, int32_t type, FILE* stream) {
  InputFile* in = static_cast<InputFile*>(MPAlloc(pool, sizeof(InputFile)));
  in->type = type;
  in->file = stream;
  in->handle = nullptr;
  in->line_no = 0;
  in->pos = 0;
  in->buff_cnt = 0;
  in->start = IN_HISTORY;
  in->at_eof = false;
  in->zip_end = false;
  in->read_error = false;
  in->mem_next = nullptr;
  in->mem_left = 0;
  in->sniff_len = 0;
  in->sniff_used = 0;
  memset(in->buff, 0, IN_HISTORY + 1);
  return in;
}

// Size of a regular file behind the stream; 0 when it cannot be known.
static int64_t StreamSize(FILE* f) {
  struct stat st;
  if (!f || fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return st.st_size;
}

static int32_t Permille(int64_t done, int64_t total) {
  if (total <= 0) return 0;
  int64_t r = done * 1000 / total;
  return static_cast<int32_t>(r < 0 ? 0 : r > 1000 ? 1000 : r);
}

static bool IsGzip(const unsigned char* b) { return b[0] == 0x1F && b[1] == 0x8B && b[2] == 0x08; }

// A block header, or the end-of-stream mark right away: bzip2 writes an empty
// input as a header, that mark and a zero checksum, 14 bytes in all. Any other
// file shorter than 16 bytes is text, whatever it begins with.
static bool IsBzip2(const unsigned char* b, int32_t n) {
  if (n < 14 || b[0] != 'B' || b[1] != 'Z' || b[2] != 'h' || b[3] < '0' || b[3] > '9') return false;
  bool end_mark = memcmp(b + 4, "\x17\x72\x45\x38\x50\x90", 6) == 0;
  if (n == 14) return end_mark && memcmp(b + 10, "\0\0\0\0", 4) == 0;
  return n == IN_SNIFF_SIZE && (end_mark || memcmp(b + 4, "1AY&SY", 6) == 0);
}

static bool IsZip(const unsigned char* b) {
  return b[0] == 'P' && b[1] == 'K' && b[2] == 3 && b[3] == 4;
}

// Opens the first member, or gives up with the archive closed.
static bool OpenZip(InputFile* in, MemoryPool* pool) {
  unzFile z = MPUnzOpen(pool, in->file);
  if (!z) return false;
  if (unzGoToFirstFile(z) != UNZ_OK || unzOpenCurrentFile(z) != UNZ_OK) {
    unzClose(z);
    return false;
  }
  in->handle = z;
  in->type = IN_ZIP;
  in->zip_end = false;
  return true;
}

// Zip members in turn, with a newline between members so their edge lines
// never merge. A failed read drops what this refill gathered.
static int32_t ReadZip(InputFile* in, char* dst) {
  int32_t got = 0;
  while (!in->zip_end && got <= IN_READ_SIZE - 1) {
    int r = unzReadCurrentFile(in->handle, dst + got, IN_READ_SIZE - got);
    if (r < 0) {
      unzCloseCurrentFile(in->handle);
      in->zip_end = true;
      return r;
    }
    if (r > 0) {
      got += r;
      continue;
    }
    unzCloseCurrentFile(in->handle);
    if (unzGoToNextFile(in->handle) != UNZ_OK || unzOpenCurrentFile(in->handle) != UNZ_OK) {
      in->zip_end = true;
      break;
    }
    dst[got++] = '\n';
  }
  return got;
}

// Bytes of the stream itself, those kept from sniffing a pipe first.
static int32_t ReadPlain(InputFile* in, char* dst, int32_t len) {
  int32_t got = 0;
  if (in->sniff_used < in->sniff_len) {
    got = in->sniff_len - in->sniff_used;
    if (got > len) got = len;
    memcpy(dst, in->sniff + in->sniff_used, got);
    in->sniff_used += got;
  }
  return got + static_cast<int32_t>(fread(dst + got, 1, len - got, in->file));
}

// One read from the source: bytes delivered, 0 at the end, negative on error.
static int32_t ReadSome(InputFile* in, char* dst, int32_t len) {
  switch (in->type) {
    case IN_PLAIN: return ReadPlain(in, dst, len);
    case IN_GZIP:
    case IN_BZIP2: return in->handle ? ZSRead(static_cast<ZSReader*>(in->handle), dst, len) : -1;
    case IN_MEMORY: {
      int32_t n = in->mem_left < len ? static_cast<int32_t>(in->mem_left) : len;
      memcpy(dst, in->mem_next, n);
      in->mem_next += n;
      in->mem_left -= n;
      return n;
    }
  }
  return 0;
}

// Takes `used` bytes off the window; once 32,767 or fewer are left, moves them
// to the front, with the IN_HISTORY bytes before them, and reads up to 64 KiB
// behind them. Reads repeat until the
// 64 KiB are there or the source ends, so the window stays above 32,767 bytes
// while input remains.
static void INFill(InputFile* in, int32_t used) {
  in->pos += used;
  in->start += used;
  in->buff_cnt -= used;
  if (in->buff_cnt > IN_KEEP || in->at_eof) return;
  if (in->start != IN_HISTORY) {
    memmove(in->buff, in->buff + in->start - IN_HISTORY, IN_HISTORY + in->buff_cnt);
    in->start = IN_HISTORY;
  }
  if (in->type < IN_PLAIN || in->type > IN_MEMORY) {
    printf("Invalid file type in fill input buffer (%d)!\n", in->type);
    in->at_eof = true;
    in->buff[in->start + in->buff_cnt] = 0;
    return;
  }
  char* dst = in->buff + in->start + in->buff_cnt;
  int32_t got = 0, r = 0;
  if (in->type == IN_ZIP) {
    r = ReadZip(in, dst);
    if (r > 0) got = r;
    if (in->zip_end && r >= 0) r = 0;
  } else {
    while (got < IN_READ_SIZE && (r = ReadSome(in, dst + got, IN_READ_SIZE - got)) > 0) got += r;
  }
  in->buff_cnt += got;
  if (r <= 0) {
    if (r < 0) {
      puts("Read error on input!");
      in->read_error = true;
    }
    in->at_eof = true;
  }
  in->buff[in->start + in->buff_cnt] = 0;
}

InputFile* INFOpen(FILE* stream, MemoryPool* pool) {
  if (!stream) return nullptr;
  InputFile* in = NewInput(pool, IN_PLAIN, stream);
  off_t origin = ftello(stream);
  unsigned char* b = reinterpret_cast<unsigned char*>(in->sniff);
  int32_t n = static_cast<int32_t>(fread(b, 1, IN_SNIFF_SIZE, stream));
  bool seekable = n > 0 && fseeko(stream, -n, SEEK_CUR) == 0;
  if (n > 0 && !seekable) in->sniff_len = n;  // a pipe: fed back from here
  const char* pre = seekable ? nullptr : in->sniff;
  int pre_len = seekable ? 0 : in->sniff_len;
  bool whole = n == IN_SNIFF_SIZE;
  if (whole && IsGzip(b)) {
    MPSetZlibAlloc(pool);
    in->handle = ZSGzReadOpen(stream, pre, pre_len);
    in->type = IN_GZIP;
    in->sniff_used = in->sniff_len;
  } else if (IsBzip2(b, n)) {
    MPSetBzip2Alloc(pool);
    in->handle = ZSBzReadOpen(stream, pre, pre_len);
    in->type = IN_BZIP2;
    in->sniff_used = in->sniff_len;
  } else if (whole && IsZip(b) && seekable && !OpenZip(in, pool)) {
    fseeko(stream, origin < 0 ? 0 : origin, SEEK_SET);
  }
  INFill(in, 0);
  return in;
}

InputFile* INOpenPath(const char* path, MemoryPool* pool) {
  FILE* f = OpenFile(path, "rb", nullptr);
  if (!f) return nullptr;
  InputFile* in = INFOpen(f, pool);
  if (!in) fclose(f);
  return in;
}

InputFile* INOpenMem(const char* data, int32_t len, MemoryPool* pool) {
  LV_ASSERT(len>=0 && (data || len==0));
  InputFile* in = NewInput(pool, IN_MEMORY, nullptr);
  in->mem_next = data;
  in->mem_left = len;
  INFill(in, 0);
  return in;
}

char* INGetBuffer(InputFile* in, int64_t* pos_out) {
  if (pos_out) *pos_out = in->pos;
  return in->buff_cnt > 0 ? in->buff + in->start : nullptr;
}

void INConsume(InputFile* in, int32_t len) {
  LV_ASSERT(len>0 && len<=in->buff_cnt+1);
  INFill(in, len > in->buff_cnt ? in->buff_cnt : len);
}

// Drops the rest of a line that ran past the window, however long, leaving
// its terminator at the front; the line's whole length.
static int64_t SkipLineRest(InputFile* in) {
  int64_t len = 0;
  for (;;) {
    const char* p = in->buff + in->start;
    int32_t cnt = in->buff_cnt, n = 0;
    while (n < cnt && p[n] != '\r' && p[n] != '\n') n++;
    len += n;
    if (n > 0) INFill(in, n);
    if (n < cnt || in->buff_cnt == 0) return len;
  }
}

int32_t INReadLine(char* buf, int32_t size, int64_t* pos_out, InputFile* in) {
  // size 2 would leave no room for a byte of a cut line, and 0 means the end.
  LV_ASSERT(buf && size>=3);
  if (pos_out) *pos_out = in->pos;
  if (in->buff_cnt <= 0) return 0;
  const char* p = in->buff + in->start;
  int32_t cnt = in->buff_cnt, len = 0;
  while (len < cnt && p[len] != '\r' && p[len] != '\n') len++;
  int32_t max = size - 2, result;
  if (len <= max) {
    memcpy(buf, p, len);
    buf[len] = '\n';
    buf[len + 1] = 0;
    result = len + 1;
  } else {
    memcpy(buf, p, max);
    buf[max] = 0;
    result = max;
    // The tail is never handed out as a line of its own.
    printf("Line %ld too long %lld/%d.\n", static_cast<long>(in->line_no) + 1,
           static_cast<long long>(SkipLineRest(in)), max);
    p = in->buff + in->start;
    cnt = in->buff_cnt;
    len = 0;
  }
  int32_t used = len;
  if (len < cnt) used += (p[len] == '\r' && len + 1 < cnt && p[len + 1] == '\n') ? 2 : 1;
  if (used > 0) INFill(in, used);
  in->line_no++;
  return result;
}

int32_t INPercent(InputFile* in) {
  switch (in->type) {
    case IN_PLAIN: return Permille(in->pos, StreamSize(in->file));
    case IN_GZIP: return in->handle ? ZSGzPercent(static_cast<ZSReader*>(in->handle)) : -1;
    case IN_BZIP2:
      if (!in->handle) return 0;
      return Permille(ZSConsumed(static_cast<ZSReader*>(in->handle)), StreamSize(in->file));
    case IN_ZIP: {
      unz_file_info64 info;
      if (in->zip_end ||
          unzGetCurrentFileInfo64(in->handle, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return 0;
      return Permille(static_cast<int64_t>(unztell64(in->handle)),
                      static_cast<int64_t>(info.uncompressed_size));
    }
    case IN_MEMORY: return Permille(in->pos, in->pos + in->buff_cnt + in->mem_left);
  }
  printf("INPercent: Invalid file type on input (%d)!\n", in->type);
  return 0;
}

// A decoder that never came up still leaves the stream to close.
static int32_t CloseUndecoded(InputFile* in) {
  if (in->file != stdin && in->file != stdout) fclose(in->file);
  return -1;
}

int32_t INClose(InputFile* in) {
  switch (in->type) {
    case IN_PLAIN: return fclose(in->file);
    case IN_GZIP:
      return in->handle ? ZSReadClose(static_cast<ZSReader*>(in->handle)) : CloseUndecoded(in);
    case IN_BZIP2:
      if (in->handle)
        ZSReadClose(static_cast<ZSReader*>(in->handle));
      else
        CloseUndecoded(in);
      return 0;
    case IN_ZIP:
      if (!in->zip_end) unzCloseCurrentFile(in->handle);
      unzClose(in->handle);
      return fclose(in->file);
    case IN_MEMORY: return 0;
  }
  puts("Invalid file type in INClose!");
  return -1;
}
