// The reader on arbitrary bytes of every kind: whatever the consumption
// pattern, the same text comes out, and line reading agrees with it.
#include <algorithm>

#include "tests/fuzz/FuzzSupport.h"

// Whether the reader may take d for gzip, bzip2 or zip: it sniffs 16 bytes
// (14 for bzip2's empty stream), and a shorter file is text.
static bool Compressed(const std::string& d) {
  if (d.size() < 16 && !(d.size() == 14 && d[0] == 'B')) return false;
  return d.compare(0, 2, "\x1f\x8b") == 0 || d.compare(0, 3, "BZh") == 0 || d.compare(0, 4, "PK\3\4") == 0;
}

// The same split done on the whole text: CR, LF and CR LF end lines, and a
// line cut to size - 2 bytes (marked "|" as FuzzRead does) leaves no tail behind.
static std::string Lines(const std::string& s, int32_t size) {
  std::string out;
  for (size_t i = 0, j; i < s.size(); i = j + (s.compare(j, 2, "\r\n") == 0 ? 2 : 1)) {
    j = std::min(s.find_first_of("\r\n", i), s.size());
    out += j - i <= (size_t)size - 2 ? s.substr(i, j - i) + "\n" : s.substr(i, (size_t)size - 2) + "|";
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  std::string raw((const char*)data, size), path = FuzzWrite("input", data, size);
  uint32_t seed = 0x9e3779b9u;
  for (size_t i = 0; i < size && i < 64; i++) seed = seed * 31u + data[i];
  bool error, steps_error;
  std::string whole = FuzzRead(path, &error), steps = FuzzRead(path, &steps_error, seed | 1u);
  FUZZ_CHECK(error == steps_error && (!error || Compressed(raw)));
  // Damage ends the text where a refill meets it: the same prefix of the
  // decoded data, cut at different refills.
  FUZZ_CHECK(whole.substr(0, steps.size()) == steps.substr(0, whole.size()));
  if (error) return 0;
  FUZZ_CHECK(whole == steps && (Compressed(raw) || whole == raw));
  for (int32_t line_size : {3 + (int32_t)(seed % 13), 3 + (int32_t)(seed % 600)})
    FUZZ_CHECK(FuzzRead(path, &error, 0, line_size) == Lines(whole, line_size));
  return 0;
}
