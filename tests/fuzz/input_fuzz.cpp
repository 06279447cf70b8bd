// The reader on arbitrary bytes of every kind: whatever the consumption
// pattern, the same text comes out, and line reading agrees with it.
#include <cstring>
#include <string>
#include <vector>

#include "common/MemoryPool.h"
#include "common/input.h"
#include "tests/fuzz/FuzzSupport.h"

struct Reading {
  std::string text;
  bool read_error;
};

// Consumes in steps chosen by a small generator seeded from the input; step 0
// takes the whole window at once.
static Reading ReadWindows(const std::string& path, uint32_t seed) {
  Reading r;
  MemoryPool* pool = MPNew();
  InputFile* in = INOpenPath(path.c_str(), pool);
  FUZZ_CHECK(in != nullptr);
  while (char* p = INGetBuffer(in, nullptr)) {
    FUZZ_CHECK(in->buff_cnt > 0 && p[in->buff_cnt] == 0);
    int32_t pct = INPercent(in);
    FUZZ_CHECK(pct >= -1 && pct <= 1000);
    int32_t n = in->buff_cnt;
    if (seed) {
      seed = seed * 1103515245u + 12345u;
      n = 1 + (int32_t)((seed >> 8) % (uint32_t)(seed & 256 ? n : (n < 40 ? n : 40)));
    }
    // More than the reader promised to keep visible stays visible.
    FUZZ_CHECK(in->buff_cnt > IN_KEEP || in->at_eof || in->read_error);
    r.text.append(p, (size_t)n);
    INConsume(in, n);
  }
  r.read_error = in->read_error;
  INClose(in);
  MPDelete(pool);
  return r;
}

// Lines of at most size - 2 bytes, each closed by LF unless cut.
static std::vector<std::string> ReadLines(const std::string& path, int32_t size) {
  std::vector<std::string> lines;
  std::vector<char> buf((size_t)size);
  MemoryPool* pool = MPNew();
  InputFile* in = INOpenPath(path.c_str(), pool);
  FUZZ_CHECK(in != nullptr);
  int32_t len;
  while ((len = INReadLine(buf.data(), size, nullptr, in)) > 0) {
    FUZZ_CHECK(len <= size - 1 && buf[(size_t)len] == 0);
    lines.emplace_back(buf.data(), (size_t)len);
  }
  INClose(in);
  MPDelete(pool);
  return lines;
}

// The same split done on the whole text: CR, LF and CR LF end lines, and a
// cut line never leaves its tail behind as a line.
static std::vector<std::string> SplitLines(const std::string& s, int32_t size) {
  std::vector<std::string> lines;
  size_t max = (size_t)size - 2;
  for (size_t i = 0; i < s.size();) {
    size_t j = i;
    while (j < s.size() && s[j] != '\r' && s[j] != '\n') j++;
    std::string line = s.substr(i, j - i);
    lines.push_back(line.size() <= max ? line + "\n" : line.substr(0, max));
    i = j;
    if (j < s.size()) i += s[j] == '\r' && j + 1 < s.size() && s[j + 1] == '\n' ? 2 : 1;
  }
  return lines;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  std::string path = FuzzPath("input");
  FuzzWrite(path, data, size);
  uint32_t seed = 0x9e3779b9u;
  for (size_t i = 0; i < size && i < 64; i++) seed = seed * 31u + data[i];

  Reading whole = ReadWindows(path, 0);
  Reading steps = ReadWindows(path, seed | 1u);
  FUZZ_CHECK(whole.read_error == steps.read_error);
  if (whole.read_error) {
    // Damage ends the text where a refill meets it; both are the same prefix
    // of the decoded data, cut at different refills.
    const std::string& a = whole.text.size() < steps.text.size() ? whole.text : steps.text;
    const std::string& b = whole.text.size() < steps.text.size() ? steps.text : whole.text;
    FUZZ_CHECK(b.compare(0, a.size(), a) == 0);
    return 0;
  }
  FUZZ_CHECK(whole.text == steps.text);
  std::string raw((const char*)data, size);
  if (!FuzzCompressed(raw)) FUZZ_CHECK(whole.text == raw && !whole.read_error);

  int32_t line_size = 3 + (int32_t)(seed % 600);
  std::vector<std::string> lines = ReadLines(path, line_size);
  FUZZ_CHECK(lines == SplitLines(whole.text, line_size));
  return 0;
}
