// The lookup and translation passes over arbitrary logs, every compression
// and newline style, with and without exchange, against a whole-text model.
#include <arpa/inet.h>
#include <unistd.h>

#include <map>

#include "src/Scan.h"
#include "src/Settings.h"
#include "src/Translate.h"
#include "tests/fuzz/FuzzSupport.h"

// 1.2.3.4, 10.0.0.1 and 192.168.100.200 are named (in the model's own map, not
// the table under test), 5.6.7.8 failed, 9.9.9.9 pending, the others absent.
static const std::map<uint32_t, std::string> names = {
    {htonl(0x01020304), "a.example"}, {htonl(0x0a000001), "b"}, {htonl(0xc0a864c8), "c.example"}};

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
  const uint8_t pick = data[0];
  Settings.newlines = pick % 3, Settings.level = (pick >> 4) & 1, Settings.exchange = (pick >> 5) & 1;
  Settings.compress = (uint8_t)((pick >> 2) % 4 % 3);  // none, gzip, bzip2, none
  FuzzResetTable();
  for (auto& n : names) FuzzAddHost(n.first, n.second.c_str());
  FuzzAddHost(htonl(0x05060708), FailedMark), FuzzAddHost(htonl(0x09090909), nullptr);
  std::string path = FuzzWrite("log", data + 1, size - 1);
  bool damaged;
  std::vector<uint32_t> offered;
  static const char* const kNewline[] = {"\r", "\n", "\r\n"};
  std::string want = Model(FuzzRead(path, &damaged), kNewline[Settings.newlines], &offered);
  FUZZ_CHECK(LkScan(path.c_str()));
  FUZZ_CHECK(damaged || fuzzLookups == offered);
  // Only a damaged log fails, and it leaves nothing behind.
  bool done = TranslateLog(path.c_str());
  FUZZ_CHECK(done != damaged && access((path + ".$$$").c_str(), F_OK) != 0);
  FUZZ_CHECK(done || access((path + ".out").c_str(), F_OK) != 0);
  if (!done) return 0;
  static const char* const kSuffix[] = {".out", ".gz", ".bz2"};
  std::string out = Settings.exchange ? path : path + kSuffix[Settings.compress];
  std::string got = Settings.compress ? FuzzRead(out) : FuzzRaw(out);
  if (!Settings.exchange) unlink(out.c_str());
  FUZZ_CHECK(got == want);
  return 0;
}
