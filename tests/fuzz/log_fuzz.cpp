// The lookup and translation passes over arbitrary logs, every compression
// and newline style, with and without exchange, against a whole-text model.
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "src/HostTable.h"
#include "src/Scan.h"
#include "src/Settings.h"
#include "src/Translate.h"
#include "tests/fuzz/FuzzSupport.h"

static bool Digit(char c) { return c >= '0' && c <= '9'; }

// A run of digits and dots from a digit is one address or none, wherever the
// reader's windows cut it: each one is offered once, in order, and a named one
// replaced by its name in names. CR, LF and CR LF each end a line.
static std::string Model(const std::string& s, const char* nl, const std::map<uint32_t, std::string>& names,
                         std::vector<uint32_t>* offered) {
  std::string out;
  for (size_t i = 0, j; i < s.size(); i = j) {
    for (j = i; j < s.size() && (Digit(s[j]) || (j > i && s[j] == '.'));) j++;
    std::string run = s.substr(i, j - i);
    uint32_t key;
    if (j > i && IPParse(run.c_str(), &key)) {
      offered->push_back(key);
      if (names.count(key)) run = names.at(key);
    } else if (j == i && (s[i] == '\r' || s[i] == '\n')) {
      run = nl;
      j += s.compare(i, 2, "\r\n") == 0 ? 2 : 1;
    } else if (j == i) {
      run = s[j++];
    }
    out += run;
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  if (size < 1) return 0;
  // The first byte picks the run's choices; the rest is the log.
  uint8_t pick = data[0];
  std::string text((const char*)data + 1, size - 1);
  Settings.newlines = pick % 3;
  Settings.compress = (pick >> 2) % 4 == 1 ? COMPRESS_GZIP : (pick >> 2) % 4 == 2 ? COMPRESS_BZIP2 : COMPRESS_NONE;
  Settings.level = (pick >> 4) & 1;
  Settings.exchange = (pick >> 5) & 1;
  Settings.delete_input = Settings.verbose = 0;
  FuzzResetTable();
  // Named, failed, pending and (as every other address) absent.
  static const struct { const char* text; const char* name; } hosts[] = {
      {"1.2.3.4", "a.example"}, {"10.0.0.1", "b"}, {"192.168.100.200", "long-name.example.org"},
      {"5.6.7.8", FailedMark}, {"9.9.9.9", nullptr}};
  std::map<uint32_t, std::string> names;
  for (auto& h : hosts) {
    uint32_t key;
    FUZZ_CHECK(IPParse(h.text, &key));
    FuzzAddHost(key, h.name);
    if (h.name && h.name != FailedMark) names[key] = h.name;
  }

  std::string path = FuzzWrite("log", text.data(), text.size());
  bool damaged;
  std::string plain = FuzzRead(path, true, &damaged);
  std::vector<uint32_t> offered;
  static const char* const kNewline[] = {"\r", "\n", "\r\n"};
  std::string want = Model(plain, kNewline[Settings.newlines], names, &offered);
  FUZZ_CHECK(LkScan(path.c_str()));
  FUZZ_CHECK(damaged || fuzzLookups == offered);
  // A damaged compressed log fails, and leaves nothing behind.
  if (!TranslateLog(path.c_str())) {
    FUZZ_CHECK(damaged && access((path + ".out").c_str(), F_OK) != 0);
    FUZZ_CHECK(access((path + ".$$$").c_str(), F_OK) != 0);
    return 0;
  }
  FUZZ_CHECK(!damaged);
  static const char* const kSuffix[] = {".out", ".gz", ".bz2"};
  std::string out = Settings.exchange ? path : path + kSuffix[Settings.compress];
  std::string got = FuzzRead(out, Settings.compress != COMPRESS_NONE);
  if (!Settings.exchange) unlink(out.c_str());
  FUZZ_CHECK(got == want);
  return 0;
}
