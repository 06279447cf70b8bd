// Small helpers shared by the module tests.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/input.h"
#include "src/Host6Table.h"  // and HostTable.h
#include "src/Settings.h"

namespace tu {

inline const bool mp_ready = (MPInit(), true);

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// A new file each time: rewriting in place makes ext4 wait for writeback.
inline void Spit(const std::string& path, const std::string& data) {
  unlink(path.c_str());
  std::ofstream(path, std::ios::binary) << data;
}

// Runs cmd in dir; true on success.
inline bool Sh(const std::string& dir, const std::string& cmd) {
  return std::system(("cd '" + dir + "' && " + cmd).c_str()) == 0;
}

// The file decompressed by the real tool (gzip or bzip2).
inline std::string Unpack(const std::string& tool, const std::string& path) {
  EXPECT_TRUE(Sh("/", tool + " -dc '" + path + "' > '" + path + ".dec'"));
  return Slurp(path + ".dec");
}

// A fresh directory, removed with everything in it.
struct TempDir {
  std::string path = mkdtemp(std::string("/tmp/lvtest_XXXXXX").data());
  ~TempDir() { Sh("/", "chmod -R u+w '" + path + "' 2>/dev/null; rm -rf '" + path + "'"); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// What an attack may change of a file: its bytes, inode, mode and owner.
inline std::string State(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return Slurp(path) + "|" + std::to_string(st.st_ino) + " " + std::to_string(st.st_mode) + " " +
         std::to_string(st.st_uid) + " " + std::to_string(st.st_gid);
}

// Plants at path: "symlink" or "hardlink" to target, "fifo", "dir", or
// "none"; 0 when done.
inline int Plant(const std::string& kind, const std::string& path, const std::string& target) {
  if (kind == "symlink") return symlink(target.c_str(), path.c_str());
  if (kind == "hardlink") return link(target.c_str(), path.c_str());
  if (kind == "fifo") return mkfifo(path.c_str(), 0666);
  if (kind == "dir") return mkdir(path.c_str(), 0777);
  return kind == "none" ? 0 : -1;
}

// What f printed on standard output.
template <class F>
std::string Stdout(F f) {
  return testing::internal::CaptureStdout(), f(), fflush(stdout), testing::internal::GetCapturedStdout();
}

// About size bytes of the benchmarks' access log, which compresses as real
// logs do.
inline std::string LogText(size_t size) {
  TempDir d;
  EXPECT_TRUE(
      Sh(d.path, "python3 " LOGVANE_SOURCE_DIR "/bench/genlog.py -d 1000 -o log -n " + std::to_string(size / 150 + 1)));
  return Slurp(d / "log").substr(0, size);
}

// Bytes no compressor can shrink.
inline std::string Noise(size_t size) {
  std::string s(size, 0);
  uint64_t x = 88172645463325252ull;
  for (char& c : s) x ^= x << 13, x ^= x >> 7, x ^= x << 17, c = (char)(x >> 32);
  return s;
}

// What the input reader makes of a file of any kind.
inline std::string ReadBack(const std::string& path) {
  MemoryPool* pool = MPNew();
  std::string text;
  InputFile* in = INOpenPath(path.c_str(), pool);
  for (char* p; in && (p = INGetBuffer(in, nullptr)); INConsume(in, in->buff_cnt + 1)) text.append(p, in->buff_cnt);
  if (in) INClose(in);
  MPDelete(pool);
  return text;
}

// A fresh hostTable and default settings for each test; entries added by hand.
struct HostTableTest : testing::Test {
  void SetUp() override { SettingsDefaults(), NewTable(); }
  void TearDown() override { DropTable(); }
  static void NewTable() {
    hostTable = HashInit(HOST_TABLE_EXPECTED, hostPool = MPNew(), HostKeyHash, HostKeyEqual);
    Host6Init();
  }
  static void DropTable() {
    HashFini(hostTable), MPDelete(hostPool), hostTable = host6Table = nullptr, hostPool = nullptr;
  }
  static uint32_t Key(const char* ip) {
    uint32_t k = 0;
    EXPECT_TRUE(IPParse(ip, &k)) << ip;
    return k;
  }
  // name: null for pending, "*" or another failure mark for failed.
  static HostEntry* Fill(HostEntry* e, uint32_t key, const char* name, int32_t time, uint32_t tries) {
    *e = HostEntry{key, name && name[0] == '*' ? HostFailMark(name) : nullptr, time, tries, HOST_NEW};
    if (name && name[0] != '*') e->domain = strcpy((char*)MPAlloc(hostPool, (int32_t)strlen(name) + 1), name);
    return e;
  }
  static HostEntry* Add(const char* ip, const char* name, int32_t time = 0, uint32_t tries = 1) {
    HostEntry* e = Fill((HostEntry*)MPAlloc(hostPool, sizeof(HostEntry)), Key(ip), name, time, tries);
    return HashInsert(hostTable, e), e;
  }
  // The key of ip, valid until the next call.
  static IP6Key* Key6(const char* ip) {
    static IP6Key k;
    EXPECT_TRUE(IP6Parse(ip, ip + strlen(ip), &(k = {}))) << ip;
    return &k;
  }
  static HostEntry* Add6(const char* ip, const char* name, int32_t time = 0, uint32_t tries = 1) {
    return Fill(&Host6Add(Key6(ip))->entry, 0, name, time, tries);
  }
  static HostEntry* Find6(const char* ip) {
    Host6Entry* e = Host6Find(Key6(ip));
    return e ? &e->entry : nullptr;
  }
  static HostEntry* Find(const char* ip) {
    uint32_t k = Key(ip);
    void* item = nullptr;
    return HashFind(hostTable, &k, &item) ? (HostEntry*)item : nullptr;
  }
};

}  // namespace tu
