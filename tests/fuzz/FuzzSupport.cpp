// Stand-ins for the resolver, so the scanning pass can run without a network:
// a new address becomes a pending entry, as a started query would leave it.
#include "tests/fuzz/FuzzSupport.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/input.h"
#include "src/Resolver.h"
#include "src/Settings.h"

std::vector<uint32_t> fuzzLookups;
static std::string scratch;

void FuzzInit() {
  if (!scratch.empty()) return;
  MPInit();
  SettingsDefaults();
  FUZZ_CHECK(freopen("/dev/null", "w", stdout) != nullptr);
  scratch = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  FUZZ_CHECK(mkdtemp(&(scratch += "/logvane-fuzz-XXXXXX")[0]) != nullptr);
  atexit([] { std::filesystem::remove_all(scratch); });
  FuzzResetTable();
}

std::string FuzzWrite(const char* name, const void* data, size_t size) {
  std::string path = scratch + "/" + name;
  std::ofstream out(path, std::ios::binary);
  FUZZ_CHECK(out.write((const char*)data, (std::streamsize)size).flush().good());
  return path;
}

std::string FuzzRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string FuzzRead(const std::string& path, bool* damaged, uint32_t seed, int32_t size) {
  std::string text;
  std::vector<char> line((size_t)size);
  MemoryPool* pool = MPNew();
  InputFile* in = INOpenPath(path.c_str(), pool);
  if (!in) return MPDelete(pool), text;
  for (int32_t n; size && (n = INReadLine(line.data(), size, nullptr, in)) > 0;) {
    FUZZ_CHECK(n <= size - 1 && line[(size_t)n] == 0);
    text.append(line.data(), (size_t)n).append(INLineCut(line.data(), n) ? "|" : "");
  }
  while (char* p = size ? nullptr : INGetBuffer(in, nullptr)) {
    // More than the reader promised to keep visible stays visible.
    FUZZ_CHECK(in->buff_cnt > 0 && p[in->buff_cnt] == 0 && (in->buff_cnt > IN_KEEP || in->at_eof || in->read_error));
    FUZZ_CHECK(INPercent(in) >= -1 && INPercent(in) <= 1000);
    int32_t n = in->buff_cnt;
    seed = seed ? seed * 1103515245u + 12345u : 0;
    if (seed) n = 1 + (int32_t)((seed >> 8) % (uint32_t)(seed & 256 || n < 40 ? n : 40));
    text.append(p, (size_t)n);
    INConsume(in, n);
  }
  if (damaged) *damaged = in->read_error;
  INClose(in);
  MPDelete(pool);
  return text;
}

void FuzzResetTable() {
  if (hostPool) MPDelete(hostPool);
  hostPool = MPNew();
  // A small table keeps each input cheap and its chains long.
  hostTable = HashInit(64, hostPool, HostKeyHash, HostKeyEqual);
  fuzzLookups.clear();
}

void FuzzAddHost(uint32_t address, const char* name) {
  HostEntry* e = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
  *e = {address, name, (int32_t)time(nullptr), 0, HOST_CACHED};
  HashInsert(hostTable, e);
}

bool LkLookup(bool drain, uint32_t address) {
  if (drain) return true;
  fuzzLookups.push_back(address);
  void* found;
  if (HashFind(hostTable, &address, &found)) return false;
  FuzzAddHost(address, nullptr);
  return true;
}

// The fuzzed passes look for IPv4 addresses only.
bool LkLookup6(const IP6Key*) { return false; }
bool LkNetInit() { return true; }
void LkFini() {}
int32_t LkPendingCount() { return 0; }
