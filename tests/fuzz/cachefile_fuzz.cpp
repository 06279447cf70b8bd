// Cache files of arbitrary bytes: loading, writing back and loading again.
// What a load accepts is in the file, and survives a write unchanged (the
// backup and the merge with another run's file are the unit tests' part).
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <map>

#include "common/HashTable.h"
#include "src/CacheFile.h"
#include "src/Settings.h"
#include "tests/fuzz/FuzzSupport.h"

// A fixed clock, so that expiry is the same for both writes of one input.
extern "C" time_t time(time_t* t) { return t ? *t = 1800000000 : 1800000000; }

// Whether name is the whole rest of a line of text (a NUL ends the text the
// parser sees, and strchr finds it too).
static bool EndsLine(const std::string& text, const std::string& name) {
  for (size_t at = 0; (at = text.find(" " + name, at)) != std::string::npos; at++)
    if (at + 1 + name.size() == text.size() || strchr("\r\n", text[at + 1 + name.size()])) return true;
  return false;
}

// address -> name and tries, as loaded from path. A name is the rest of its
// line; a failure is one of the shared marks, its class as written or "*".
static std::map<uint32_t, std::pair<std::string, uint32_t>> Load(const std::string& path) {
  std::string text = FuzzRead(path);
  FuzzResetTable();
  cachePath = path.c_str();
  LkRead();
  std::map<uint32_t, std::pair<std::string, uint32_t>> m;
  for (HashNode* n = HashFirst(hostTable); n; n = HashNext(hostTable)) {
    void* item;
    HashItem(hostTable, n, &item);
    const HostEntry* e = (const HostEntry*)item;
    FUZZ_CHECK(e->domain != nullptr && e->domain[0] != 0 && m.count(e->address) == 0);
    FUZZ_CHECK(!HostFailed(e) || e->domain == HostFailMark(e->domain));
    FUZZ_CHECK(e->domain == FailedMark || EndsLine(text, e->domain));
    m[e->address] = {e->domain, e->tries};
  }
  return m;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  if (size < 1) return 0;
  // The first byte picks the format and the time settings; the rest is the file.
  static const int32_t kDivisor[] = {60, 1, 86400, 7}, kOffset[] = {0, -1000, 12345, INT32_MIN};
  Settings.private_cache = data[0] & 1;
  Settings.divisor = kDivisor[(data[0] >> 1) & 3];
  Settings.offset = kOffset[(data[0] >> 3) & 3];
  std::string first = FuzzWrite("cache-in", data + 1, size - 1), second = first + "-out";
  unlink(second.c_str());
  auto loaded = Load(first);
  cachePath = second.c_str();
  LkWrite(Settings.private_cache);
  // Whatever was written is what had been loaded (some may have expired);
  // only the private format keeps a count, and only for failed lookups.
  for (auto& kv : Load(second)) {
    auto it = loaded.find(kv.first);
    bool counted = Settings.private_cache && kv.second.first[0] == '*';
    FUZZ_CHECK(it != loaded.end() && it->second.first == kv.second.first && (!counted || it->second == kv.second));
  }
  return 0;
}
