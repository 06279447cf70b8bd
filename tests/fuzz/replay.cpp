// Feeds each file named, or each file in each directory named, to the
// target once: the seed corpus replayed in ordinary test runs, no libFuzzer.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void Collect(const std::string& path, std::vector<std::string>* files) {
  DIR* d = opendir(path.c_str());
  if (!d) return files->push_back(path);
  std::vector<std::string> names;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(path + "/" + e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) Collect(n, files);
}

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++) Collect(argv[i], &files);
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    if (!in) return fprintf(stderr, "replay: cannot read %s\n", f.c_str()), 1;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fprintf(stderr, "replay: %s\n", f.c_str());
    LLVMFuzzerTestOneInput((const uint8_t*)data.data(), data.size());
  }
  fprintf(stderr, "replay: %zu inputs\n", files.size());
  return files.empty() ? 1 : 0;
}
