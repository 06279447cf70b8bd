// Shared by the fuzz targets: scratch files, a fresh host table per input, and
// lookups answered from memory instead of the network.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Once per process: pool mutex, default settings, stdout to /dev/null (the
// program's messages would only slow the fuzzer), a private scratch directory.
void FuzzInit();
// name inside this process's scratch directory.
std::string FuzzPath(const char* name);
void FuzzWrite(const std::string& path, const void* data, size_t size);
// The file's bytes as stored; "" when it cannot be read.
std::string FuzzReadRaw(const std::string& path);
// The file's text through the program's own reader (plain, gzip, bzip2 or zip).
std::string FuzzReadText(const std::string& path);
// Deletes the host table and its pool, and starts an empty one.
void FuzzResetTable();
// Adds an entry as if it came from the cache file (name null: pending).
void FuzzAddHost(uint32_t address, const char* name);
// Every address LkLookup was asked about since the last FuzzResetTable.
extern std::vector<uint32_t> fuzzLookups;

// A run of digits and dots starting at a digit: where an address may stand.
struct FuzzRun {
  size_t at, len;
};
// Every run of text in order, however long (a run may cross the reader's window).
void FuzzRuns(const std::string& text, std::vector<FuzzRun>* runs);
// True when the reader would take data for gzip, bzip2 or zip.
bool FuzzCompressed(const std::string& data);

// Stops the process with msg, so that libFuzzer keeps the input as a crash.
[[noreturn]] void FuzzFail(const char* file, int line, const char* what);
#define FUZZ_CHECK(cond) \
  do {                   \
    if (!(cond)) FuzzFail(__FILE__, __LINE__, #cond); \
  } while (0)
