// The reader on arbitrary bytes of every kind: whatever the consumption
// pattern, the same text comes out, and line reading agrees with it.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/MemoryPool.h"
#include "common/input.h"
#include "tests/fuzz/FuzzSupport.h"

// Whether the reader may take d for gzip, bzip2 or zip: it sniffs 16 bytes
// (14 for bzip2's empty stream), and a shorter file is text.
static bool Compressed(const std::string& d) {
  if (d.size() < 16 && !(d.size() == 14 && d[0] == 'B')) return false;
  return d.compare(0, 2, "\x1f\x8b") == 0 || d.compare(0, 3, "BZh") == 0 ||
         d.compare(0, 4, "PK\3\4") == 0;
}

// The text of path, in steps chosen by a small generator from seed (0: each
// window whole), or with size, as lines of a buffer of that size.
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
    // More than the reader promised to keep visible stays visible.
    FUZZ_CHECK(in->buff_cnt > 0 && p[in->buff_cnt] == 0 &&
               (in->buff_cnt > IN_KEEP || in->at_eof || in->read_error));
    FUZZ_CHECK(INPercent(in) >= -1 && INPercent(in) <= 1000);
    int32_t n = in->buff_cnt;
    seed = seed ? seed * 1103515245u + 12345u : 0;
    if (seed) n = 1 + (int32_t)((seed >> 8) % (uint32_t)(seed & 256 || n < 40 ? n : 40));
    text.append(p, (size_t)n);
    INConsume(in, n);
  }
  *read_error = in->read_error;
  INClose(in);
  MPDelete(pool);
  return text;
}

// The same split done on the whole text: CR, LF and CR LF end lines, and a
// line cut to size - 2 bytes ("|" above) never leaves its tail as a line.
static std::string Lines(const std::string& s, int32_t size) {
  std::string out;
  for (size_t i = 0, j; i < s.size(); i = j + (s.compare(j, 2, "\r\n") == 0 ? 2 : 1)) {
    j = std::min(s.find_first_of("\r\n", i), s.size());
    out +=
        j - i <= (size_t)size - 2 ? s.substr(i, j - i) + "\n" : s.substr(i, (size_t)size - 2) + "|";
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  std::string raw((const char*)data, size), path = FuzzWrite("input", data, size);
  uint32_t seed = 0x9e3779b9u;
  for (size_t i = 0; i < size && i < 64; i++) seed = seed * 31u + data[i];
  bool error, steps_error;
  std::string whole = Read(path, 0, 0, &error), steps = Read(path, seed | 1u, 0, &steps_error);
  FUZZ_CHECK(error == steps_error && (!error || Compressed(raw)));
  // Damage ends the text where a refill meets it: the same prefix of the
  // decoded data, cut at different refills.
  size_t n = std::min(whole.size(), steps.size());
  FUZZ_CHECK(whole.compare(0, n, steps, 0, n) == 0);
  if (error) return 0;
  FUZZ_CHECK(whole == steps && (Compressed(raw) || whole == raw));
  for (int32_t line_size : {3 + (int32_t)(seed % 13), 3 + (int32_t)(seed % 600)})
    FUZZ_CHECK(Read(path, 0, line_size, &error) == Lines(whole, line_size));
  return 0;
}
