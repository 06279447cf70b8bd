// Feeds each file named, or each file in a directory named, to the target
// once: the seeds replayed by ordinary test runs, without libFuzzer.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; i++) {
    if (!std::filesystem::is_directory(argv[i]))
      files.push_back(argv[i]);
    else
      for (auto& e : std::filesystem::directory_iterator(argv[i])) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  for (auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    if (!in) return fprintf(stderr, "replay: cannot read %s\n", f.c_str()), 1;
    std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    fprintf(stderr, "replay: %s\n", f.c_str());
    LLVMFuzzerTestOneInput((const uint8_t*)data.data(), data.size());
  }
  fprintf(stderr, "replay: %zu inputs\n", files.size());
  return files.empty();
}
