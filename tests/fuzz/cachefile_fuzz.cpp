// Cache files of arbitrary bytes: the line parser alone, then loading, writing
// back and loading again. What a load accepts survives a write unchanged.
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "src/CacheFile.h"
#include "src/HostTable.h"
#include "src/Settings.h"
#include "tests/fuzz/FuzzSupport.h"

// A fixed clock, so that expiry is the same for both writes of one input.
#define FUZZ_NOW 1800000000
extern "C" time_t time(time_t* t) {
  if (t) *t = FUZZ_NOW;
  return FUZZ_NOW;
}

struct Loaded {
  std::string name;  // "*" for failed
  uint32_t tries;
};

static std::map<uint32_t, Loaded> Table() {
  std::map<uint32_t, Loaded> m;
  for (HashNode* n = HashFirst(hostTable); n; n = HashNext(hostTable)) {
    void* item;
    HashItem(hostTable, n, &item);
    const HostEntry* e = (const HostEntry*)item;
    FUZZ_CHECK(e->domain != nullptr && e->domain[0] != 0);
    FUZZ_CHECK(m.count(e->address) == 0);
    m[e->address] = {HostFailed(e) ? "*" : e->domain, e->tries};
  }
  return m;
}

static std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream s(text);
  std::string line;
  while (std::getline(s, line)) lines.insert(line);
  return lines;
}

// Each line of data on its own through the parser.
static void ParseEachLine(const std::string& data) {
  std::istringstream s(data);
  std::string line;
  while (std::getline(s, line)) {
    HostEntry e;
    memset(&e, 0, sizeof e);
    if (!DNSFileParse(line.c_str(), &e)) continue;
    FUZZ_CHECK(e.domain != nullptr && e.domain[0] != 0);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  if (size < 1) return 0;
  uint8_t pick = data[0];
  static const int32_t kDivisor[] = {60, 1, 86400, 7};
  static const int32_t kOffset[] = {0, -1000, 12345, (int32_t)0x80000000};
  Settings.private_cache = pick & 1;
  Settings.divisor = kDivisor[(pick >> 1) & 3];
  Settings.offset = kOffset[(pick >> 3) & 3];
  Settings.verbose = 0;
  std::string text((const char*)data + 1, size - 1);
  ParseEachLine(text);

  std::string first = FuzzPath("cache-in"), second = FuzzPath("cache-out");
  FuzzWrite(first, text.data(), text.size());
  unlink(second.c_str());
  unlink((second + ".bak").c_str());
  FuzzResetTable();
  cachePath = first.c_str();
  LkRead();
  std::map<uint32_t, Loaded> loaded = Table();

  cachePath = second.c_str();
  LkWrite(Settings.private_cache);
  std::string written = FuzzReadText(second);
  FuzzResetTable();
  LkRead();
  std::map<uint32_t, Loaded> reloaded = Table();
  // Whatever was written is what had been loaded (some may have expired).
  for (auto& kv : reloaded) {
    auto it = loaded.find(kv.first);
    FUZZ_CHECK(it != loaded.end());
    FUZZ_CHECK(it->second.name == kv.second.name);
    // Only the private format keeps a count, and only for failed lookups.
    if (Settings.private_cache && kv.second.name == "*") FUZZ_CHECK(it->second.tries == kv.second.tries);
  }
  // A second write of what was read back adds nothing.
  LkWrite(Settings.private_cache);
  std::set<std::string> once = Lines(written), twice = Lines(FuzzReadText(second));
  for (const std::string& line : twice) FUZZ_CHECK(once.count(line) == 1);
  // And the previous file became the backup.
  FUZZ_CHECK(FuzzReadText(second + ".bak") == written);
  return 0;
}
