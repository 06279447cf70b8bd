// Buffered reader over plain, gzip, bzip2 and zip input, or memory, read as a
// window of bytes parsed in place, or line by line.
#pragma once
#include <cstdint>
#include <cstdio>

struct MemoryPool;

enum { IN_PLAIN = 0, IN_GZIP = 1, IN_BZIP2 = 2, IN_ZIP = 3, IN_MEMORY = 4 };

#define IN_SNIFF_SIZE 16
#define IN_READ_SIZE 65536
#define IN_KEEP 32767  // refill only when at most this much is unread
#define IN_HISTORY 8   // consumed bytes that stay readable before the window
#define IN_BUFF_SIZE (IN_HISTORY + 98305)

struct InputFile {
  int32_t type;
  FILE* file;
  void* handle;      // decompressor handle
  int32_t line_no;   // lines INReadLine has returned
  int64_t pos;       // bytes consumed so far
  int32_t buff_cnt;  // unconsumed bytes
  int32_t start;     // index of the first unconsumed byte
  bool at_eof;
  bool zip_end;
  bool read_error;
  const char* mem_next;       // IN_MEMORY: next byte not yet copied
  int64_t mem_left;           // IN_MEMORY: bytes not yet copied
  char sniff[IN_SNIFF_SIZE];  // sniffed bytes of an unseekable stream, fed first
  int32_t sniff_len;
  int32_t sniff_used;
  char buff[IN_BUFF_SIZE];
};

// Opens path, a regular file, for reading (OpenFile); null when it cannot.
InputFile* INOpenPath(const char* path, MemoryPool* pool);
// Reader over an open stream (null stream gives null); kind sniffed from the
// first 16 bytes.
InputFile* INFOpen(FILE* stream, MemoryPool* pool);
// Reader over len bytes at data, which must outlive it.
InputFile* INOpenMem(const char* data, int32_t len, MemoryPool* pool);
// The unconsumed bytes (NUL behind them), or null at the end. The IN_HISTORY
// bytes before them are the last ones consumed, NUL before the first byte.
char* INGetBuffer(InputFile* in, int64_t* pos_out);
// 1 <= len <= buff_cnt + 1. Keeps more than 32,767 bytes visible until the end.
void INConsume(InputFile* in, int32_t len);
// Next line into buf (size >= 3), closed by LF; 0 at the end. A line longer
// than size - 2 is reported, its head returned without LF (INLineCut) and
// the rest of it skipped, however long.
int32_t INReadLine(char* buf, int32_t size, int64_t* pos_out, InputFile* in);
// Whether the line INReadLine returned as buf, len was cut.
inline bool INLineCut(const char* buf, int32_t len) { return len > 0 && buf[len - 1] != '\n'; }
// Progress in tenths of a percent, 0..1000; -1 for a gzip reader in error.
int32_t INPercent(InputFile* in);
// Closes decompressor and stream; memory stays in the pool.
int32_t INClose(InputFile* in);
