// Configuration files and command lines of arbitrary bytes: every setting
// stays within its range and every text stays terminated.
#include <cstring>
#include <string>
#include <vector>

#include "src/Settings.h"
#include "tests/fuzz/FuzzSupport.h"

static bool Terminated(const char* s, size_t size) { return memchr(s, 0, size) != nullptr; }

static void CheckSettings() {
  const SettingsRecord& s = Settings;
  FUZZ_CHECK(s.compress >= COMPRESS_NONE && s.compress <= COMPRESS_BZIP2);
  FUZZ_CHECK(s.level >= 0 && s.level <= 9);
  FUZZ_CHECK(s.newlines >= NEWLINE_MAC && s.newlines <= NEWLINE_DOS);
  FUZZ_CHECK(s.interrupt >= 0 && s.interrupt <= 120);
  FUZZ_CHECK(s.divisor >= 1 && s.divisor <= 86400);
  FUZZ_CHECK(s.expire_good >= 1 && s.expire_good <= 365);
  FUZZ_CHECK(s.expire_failed >= 0 && s.expire_failed <= 365);
  FUZZ_CHECK(s.retry_failed >= 1 && s.retry_failed <= 35);
  FUZZ_CHECK(s.wait_ticks >= 0 && s.wait_ticks <= 120);
  FUZZ_CHECK(s.dns_timeout >= 0 && s.dns_timeout <= 60000);
  FUZZ_CHECK(s.dns_tries >= 0 && s.dns_tries <= 10);
  FUZZ_CHECK(s.dns_inflight >= 1 && s.dns_inflight <= 10000);
  for (uint8_t f : {s.translate, s.verbose, s.private_cache, s.delete_input, s.exchange, s.dns_servers_bad})
    FUZZ_CHECK(f <= 1);
  FUZZ_CHECK(Terminated(s.cache_name, sizeof s.cache_name));
  FUZZ_CHECK(Terminated(s.dns_servers, sizeof s.dns_servers));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  // The whole input as a configuration file...
  SettingsDefaults();
  std::string path = FuzzPath("logvane.cfg");
  FuzzWrite(path, data, size);
  ReadSettingsFile(path.c_str());
  CheckSettings();

  // ...and, split at NULs and line ends, as a command line after it.
  std::vector<std::string> words(1, "logvane");
  std::string word;
  for (size_t i = 0; i < size; i++) {
    char c = (char)data[i];
    if (c == 0 || c == '\n') {
      words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int argc = (int)words.size();
  char** args = argv.data();
  const char* bad = nullptr;
  int outcome = ParseCommandLine(&argc, &args, &bad);
  FUZZ_CHECK(argc >= 1 && argc <= (int)words.size());
  FUZZ_CHECK(outcome != PARSE_INVALID || bad != nullptr);
  if (outcome == PARSE_PROCEED) CheckSettings();
  return 0;
}
