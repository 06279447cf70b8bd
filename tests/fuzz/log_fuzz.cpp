// The lookup and translation passes over arbitrary logs, every compression
// and newline style, with and without exchange, against a whole-text model.
#include <unistd.h>

#include <map>

#include "src/Scan.h"
#include "src/Settings.h"
#include "src/Translate.h"
#include "tests/fuzz/FuzzSupport.h"

static uint32_t Key(const char* text) {
  uint32_t key = 0;
  FUZZ_CHECK(IPParse(text, &key));
  return key;
}

// Named, failed, pending and (as any other address) absent. The model keeps
// its own names, not the table under test.
static const std::map<uint32_t, std::string> names = {
    {Key("1.2.3.4"), "a.example"}, {Key("10.0.0.1"), "b"}, {Key("192.168.100.200"), "c.example"}};

// A run of digits and dots from a digit is one address or none, wherever the
// reader's windows cut it: each is offered once, in order, and a named one
// replaced by its name. CR, LF and CR LF each end a line.
static std::string Model(const std::string& s, const char* nl, std::vector<uint32_t>* offered) {
  std::string out;
  for (size_t i = 0, j; i < s.size(); i = j) {
    for (j = i; j < s.size() && ((s[j] >= '0' && s[j] <= '9') || (j > i && s[j] == '.'));) j++;
    std::string run = s.substr(i, j - i);
    uint32_t key;
    if (j > i && IPParse(run.c_str(), &key)) {
      offered->push_back(key);
      if (names.count(key)) run = names.at(key);
    } else if (j == i) {
      run = s[i] == '\r' || s[i] == '\n' ? nl : s.substr(i, 1);
      j += s.compare(i, 2, "\r\n") == 0 ? 2 : 1;
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
  Settings.newlines = pick % 3;
  Settings.compress = (uint8_t)((pick >> 2) % 4 % 3);  // none, gzip, bzip2, none
  Settings.level = (pick >> 4) & 1;
  Settings.exchange = (pick >> 5) & 1;
  Settings.delete_input = Settings.verbose = 0;
  FuzzResetTable();
  for (auto& n : names) FuzzAddHost(n.first, n.second.c_str());
  FuzzAddHost(Key("5.6.7.8"), FailedMark);
  FuzzAddHost(Key("9.9.9.9"), nullptr);
  std::string path = FuzzWrite("log", data + 1, size - 1);
  bool damaged;
  std::vector<uint32_t> offered;
  static const char* const kNewline[] = {"\r", "\n", "\r\n"};
  std::string want = Model(FuzzRead(path, true, &damaged), kNewline[Settings.newlines], &offered);
  FUZZ_CHECK(LkScan(path.c_str()));
  FUZZ_CHECK(damaged || fuzzLookups == offered);
  // A damaged compressed log fails, and leaves nothing behind.
  if (!TranslateLog(path.c_str())) {
    FUZZ_CHECK(damaged && access((path + ".out").c_str(), F_OK) &&
               access((path + ".$$$").c_str(), F_OK));
    return 0;
  }
  static const char* const kSuffix[] = {".out", ".gz", ".bz2"};
  std::string out = Settings.exchange ? path : path + kSuffix[Settings.compress];
  std::string got = FuzzRead(out, Settings.compress != COMPRESS_NONE);
  if (!Settings.exchange) unlink(out.c_str());
  FUZZ_CHECK(!damaged && got == want);
  return 0;
}
