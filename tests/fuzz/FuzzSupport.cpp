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
  std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  FUZZ_CHECK(mkdtemp(&(dir += "/logvane-fuzz-XXXXXX")[0]) != nullptr);
  scratch = dir;
  atexit([] { std::filesystem::remove_all(scratch); });
  FuzzResetTable();
}

std::string FuzzWrite(const char* name, const void* data, size_t size) {
  std::string path = scratch + "/" + name;
  std::ofstream out(path, std::ios::binary);
  FUZZ_CHECK(out.write((const char*)data, (std::streamsize)size).flush().good());
  return path;
}

std::string FuzzRead(const std::string& path, bool decode, bool* damaged) {
  std::ifstream raw(path, std::ios::binary);
  if (!decode) return {std::istreambuf_iterator<char>(raw), std::istreambuf_iterator<char>()};
  std::string out;
  MemoryPool* pool = MPNew();
  if (InputFile* in = INOpenPath(path.c_str(), pool)) {
    for (char* p; (p = INGetBuffer(in, nullptr)); INConsume(in, in->buff_cnt))
      out.append(p, (size_t)in->buff_cnt);
    if (damaged) *damaged = in->read_error;
    INClose(in);
  }
  MPDelete(pool);
  return out;
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
