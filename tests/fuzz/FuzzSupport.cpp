// Stand-ins for the resolver, so the scanning pass can run without a network:
// a new address becomes a pending entry, as a started query would leave it.
#include "tests/fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/input.h"
#include "src/HostTable.h"
#include "src/Resolver.h"
#include "src/Settings.h"

std::vector<uint32_t> fuzzLookups;
static std::string scratch;

void FuzzFail(const char* file, int line, const char* what) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  abort();
}

static void RemoveScratch() {
  std::string cmd = "rm -rf '" + scratch + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", scratch.c_str());
}

void FuzzInit() {
  static bool done = false;
  if (done) return;
  done = true;
  MPInit();
  SettingsDefaults();
  if (!freopen("/dev/null", "w", stdout)) FuzzFail(__FILE__, __LINE__, "stdout to /dev/null");
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  char dir[256];
  snprintf(dir, sizeof dir, "%s/logvane-fuzz-XXXXXX", base);
  if (!mkdtemp(dir)) FuzzFail(__FILE__, __LINE__, "mkdtemp");
  scratch = dir;
  atexit(RemoveScratch);
  FuzzResetTable();
}

std::string FuzzPath(const char* name) { return scratch + "/" + name; }

void FuzzWrite(const std::string& path, const void* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(fclose(f) == 0);
}

std::string FuzzReadRaw(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

std::string FuzzReadText(const std::string& path) {
  std::string out;
  MemoryPool* pool = MPNew();
  if (InputFile* in = INOpenPath(path.c_str(), pool)) {
    while (char* p = INGetBuffer(in, nullptr)) {
      out.append(p, (size_t)in->buff_cnt);
      INConsume(in, in->buff_cnt);
    }
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
  e->address = address;
  e->domain = name;
  e->time = (int32_t)time(nullptr);
  e->tries = 0;
  e->status = HOST_CACHED;
  HashInsert(hostTable, e);
}

bool LkNetInit() { return true; }

bool LkLookup(bool drain, uint32_t address) {
  if (drain) return true;
  fuzzLookups.push_back(address);
  void* found;
  if (HashFind(hostTable, &address, &found)) {
    HostEntry* e = (HostEntry*)found;
    if (e->status == HOST_CACHED) e->status = HOST_REUSED;
    return false;
  }
  FuzzAddHost(address, nullptr);
  HashFind(hostTable, &address, &found);
  ((HostEntry*)found)->status = HOST_NEW;
  return true;
}

// The fuzzed passes look for IPv4 addresses only.
bool LkLookup6(const IP6Key*) { return false; }

void LkFini() {}

int32_t LkPendingCount() { return 0; }

static bool RunByte(char c) { return (c >= '0' && c <= '9') || c == '.'; }

void FuzzRuns(const std::string& text, std::vector<FuzzRun>* runs) {
  runs->clear();
  for (size_t i = 0; i < text.size();) {
    if (text[i] < '0' || text[i] > '9') {
      i++;
      continue;
    }
    size_t j = i;
    while (j < text.size() && RunByte(text[j])) j++;
    runs->push_back({i, j - i});
    i = j;
  }
}

bool FuzzCompressed(const std::string& data) {
  auto starts = [&](const char* magic, size_t n) { return data.compare(0, n, magic, n) == 0; };
  return data.size() >= 2 && (starts("\x1f\x8b", 2) || starts("BZh", 3) || starts("PK\x03\x04", 4));
}
