// The reader on arbitrary bytes of every kind: whatever the consumption
// pattern, the same text comes out, and line reading agrees with it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/MemoryPool.h"
#include "common/input.h"
#include "tests/fuzz/FuzzSupport.h"

// Whether the reader may take data for gzip, bzip2 or zip: it sniffs 16 bytes
// (14 for bzip2's empty stream), and a shorter file is text.
static bool Compressed(const std::string& d) {
  if (d.size() < 16 && !(d.size() == 14 && d[0] == 'B')) return false;
  for (const char* magic : {"\x1f\x8b", "BZh", "PK\x03\x04"})
    if (d.compare(0, strlen(magic), magic) == 0) return true;
  return false;
}

// The text of path, consumed in steps chosen by a small generator from seed;
// seed 0 takes each window whole. size > 0: lines of that buffer size instead.
static std::string Read(const std::string& path, uint32_t seed, int32_t size, bool* read_error) {
  std::string text;
  std::vector<char> line((size_t)size);
  MemoryPool* pool = MPNew();
  InputFile* in = INOpenPath(path.c_str(), pool);
  FUZZ_CHECK(in != nullptr);
  for (int32_t n; size && (n = INReadLine(line.data(), size, nullptr, in)) > 0;) {
    FUZZ_CHECK(n <= size - 1 && line[(size_t)n] == 0);
    text.append(line.data(), (size_t)n).append(INLineCut(line.data(), n) ? "|" : "");
  }
  while (char* p = size ? nullptr : INGetBuffer(in, nullptr)) {
    FUZZ_CHECK(in->buff_cnt > 0 && p[in->buff_cnt] == 0);
    FUZZ_CHECK(INPercent(in) >= -1 && INPercent(in) <= 1000);
    // More than the reader promised to keep visible stays visible.
    FUZZ_CHECK(in->buff_cnt > IN_KEEP || in->at_eof || in->read_error);
    int32_t n = in->buff_cnt;
    if (seed) {
      seed = seed * 1103515245u + 12345u;
      n = 1 + (int32_t)((seed >> 8) % (uint32_t)(seed & 256 || n < 40 ? n : 40));
    }
    text.append(p, (size_t)n);
    INConsume(in, n);
  }
  *read_error = in->read_error;
  INClose(in);
  MPDelete(pool);
  return text;
}

// The same split done on the whole text: CR, LF and CR LF end lines, and a
// line cut to size - 2 bytes ("|" here) never leaves its tail as a line.
static std::string Lines(const std::string& s, int32_t size) {
  std::string out;
  for (size_t i = 0, j; i < s.size(); i = j + (s.compare(j, 2, "\r\n") == 0 ? 2 : 1)) {
    j = s.find_first_of("\r\n", i);
    j = j == std::string::npos ? s.size() : j;
    out += j - i <= (size_t)size - 2 ? s.substr(i, j - i) + "\n" : s.substr(i, (size_t)size - 2) + "|";
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  std::string raw((const char*)data, size), path = FuzzWrite("input", data, size);
  uint32_t seed = 0x9e3779b9u;
  for (size_t i = 0; i < size && i < 64; i++) seed = seed * 31u + data[i];
  bool whole_error, steps_error, lines_error;
  std::string whole = Read(path, 0, 0, &whole_error), steps = Read(path, seed | 1u, 0, &steps_error);
  FUZZ_CHECK(whole_error == steps_error);
  if (whole_error) {
    // Damage ends the text where a refill meets it: the same prefix of the
    // decoded data, cut at different refills.
    size_t n = std::min(whole.size(), steps.size());
    FUZZ_CHECK(whole.compare(0, n, steps, 0, n) == 0);
    return 0;
  }
  FUZZ_CHECK(whole == steps && (Compressed(raw) || whole == raw));
  int32_t line_size = 3 + (int32_t)(seed % 600);
  FUZZ_CHECK(Read(path, 0, line_size, &lines_error) == Lines(whole, line_size));
  return 0;
}
