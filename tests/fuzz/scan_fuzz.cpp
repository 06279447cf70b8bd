// The lookup pass over arbitrary logs: every address that stands in the text
// is offered once per occurrence, in order, and nothing else is.
#include <cstring>
#include <string>
#include <vector>

#include "src/HostTable.h"
#include "src/Scan.h"
#include "src/Settings.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInit();
  FuzzResetTable();
  std::string text((const char*)data, size);
  std::string path = FuzzPath("log");
  FuzzWrite(path, data, size);
  FUZZ_CHECK(LkScan(path.c_str()));

  std::vector<FuzzRun> runs;
  if (FuzzCompressed(text)) return 0;
  FuzzRuns(text, &runs);
  std::vector<uint32_t> want;
  for (const FuzzRun& r : runs) {
    uint32_t key;
    if (IPParse(text.substr(r.at, r.len).c_str(), &key)) want.push_back(key);
  }
  FUZZ_CHECK(fuzzLookups == want);
  return 0;
}
