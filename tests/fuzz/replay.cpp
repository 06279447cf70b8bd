// Feeds each file named, or each file in a directory named, to the target
// once: the seeds replayed by ordinary test runs, without libFuzzer.
#include <algorithm>
#include <filesystem>

#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; i++) {
    if (!fs::is_directory(argv[i]))
      files.push_back(argv[i]);
    else
      for (auto& e : fs::directory_iterator(argv[i])) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  for (auto& f : files) {
    if (!fs::is_regular_file(f)) return fprintf(stderr, "replay: no file %s\n", f.c_str()), 1;
    std::string data = FuzzRaw(f);
    fprintf(stderr, "replay: %s\n", f.c_str());
    LLVMFuzzerTestOneInput((const uint8_t*)data.data(), data.size());
  }
  fprintf(stderr, "replay: %zu inputs\n", files.size());
  return files.empty();
}
