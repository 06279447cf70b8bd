// The translation pass over arbitrary logs, every compression and newline
// style, with and without exchange, against a whole-text model.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/HashTable.h"
#include "src/HostTable.h"
#include "src/Settings.h"
#include "src/Translate.h"
#include "tests/fuzz/FuzzSupport.h"

// Addresses the seeds and dictionary use: named, failed, pending, absent.
static void FillTable() {
  static const struct { const char* text; const char* name; } hosts[] = {
      {"1.2.3.4", "a.example"}, {"10.0.0.1", "b"}, {"192.168.100.200", "long-name.example.org"},
      {"127.0.0.1", "localhost"}, {"5.6.7.8", FailedMark}, {"9.9.9.9", nullptr},
  };
  for (auto& h : hosts) {
    uint32_t key;
    IPParse(h.text, &key);
    FuzzAddHost(key, h.name);
  }
}

static std::string Model(const std::string& s, const char* nl) {
  std::vector<FuzzRun> runs;
  FuzzRuns(s, &runs);
  std::string out;
  size_t next_run = 0;
  for (size_t i = 0; i < s.size();) {
    if (next_run < runs.size() && runs[next_run].at == i) {
      std::string run = s.substr(i, runs[next_run].len);
      uint32_t key;
      void* item = nullptr;
      bool named = IPParse(run.c_str(), &key) && HashFind(hostTable, &key, &item) &&
                   HostNamed((HostEntry*)item);
      out += named ? ((HostEntry*)item)->domain : run;
      i += run.size();
      next_run++;
    } else if (s[i] == '\r' || s[i] == '\n') {
      out += nl;
      i += s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n' ? 2 : 1;
    } else {
      out += s[i++];
    }
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  if (size < 1) return 0;
  // The first byte picks the run's choices; the rest is the log.
  uint8_t pick = data[0];
  std::string text((const char*)data + 1, size - 1);
  static const char* const kNewline[] = {"\r", "\n", "\r\n"};
  Settings.newlines = pick % 3;
  Settings.compress = (pick >> 2) % 4 == 1 ? COMPRESS_GZIP : (pick >> 2) % 4 == 2 ? COMPRESS_BZIP2 : COMPRESS_NONE;
  Settings.level = (pick >> 4) & 1 ? 1 : 0;
  Settings.exchange = (pick >> 5) & 1;
  Settings.delete_input = 0;
  Settings.verbose = 0;
  FuzzResetTable();
  FillTable();

  std::string path = FuzzPath("log");
  FuzzWrite(path, text.data(), text.size());
  // Only a damaged compressed log may fail; nothing is left behind then.
  if (!TranslateLog(path.c_str())) {
    FUZZ_CHECK(FuzzCompressed(text));
    FUZZ_CHECK(access((path + ".out").c_str(), F_OK) != 0 && access((path + ".$$$").c_str(), F_OK) != 0);
    return 0;
  }
  static const char* const kSuffix[] = {".out", ".gz", ".bz2"};
  std::string out = Settings.exchange ? path : path + kSuffix[Settings.compress];
  std::string got = Settings.compress == COMPRESS_NONE ? FuzzReadRaw(out) : FuzzReadText(out);
  if (!Settings.exchange) unlink(out.c_str());

  if (FuzzCompressed(text)) return 0;
  std::string want = Model(text, kNewline[Settings.newlines]);
  FUZZ_CHECK(got == want);
  return 0;
}
