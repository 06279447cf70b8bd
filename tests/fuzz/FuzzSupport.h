// Shared by the fuzz targets: scratch files, a fresh host table per input, and
// lookups answered from memory instead of the network.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "src/HostTable.h"

// Once per process: default settings, stdout to /dev/null (the program's
// messages would only slow the fuzzer), a private scratch directory.
void FuzzInit();
// The path of name in the scratch directory, after writing size bytes there.
std::string FuzzWrite(const char* name, const void* data, size_t size);
// FuzzRaw: the file's bytes as stored. FuzzRead: its text through the program's own reader (plain,
// gzip, bzip2 or zip), checking the reader's promises on the way; damaged: whether it met a read
// error. Consumed in steps a small generator draws from seed (0: each window whole), or with size,
// as lines of that buffer size ("|" after a cut one).
std::string FuzzRaw(const std::string& path);
std::string FuzzRead(const std::string& path, bool* damaged = nullptr, uint32_t seed = 0, int32_t size = 0);
// An empty host table, and entries in it as if from the cache file (name
// null: pending). fuzzLookups: every address LkLookup was asked about since.
void FuzzResetTable();
void FuzzAddHost(uint32_t address, const char* name);
extern std::vector<uint32_t> fuzzLookups;

// Stops the process on a failed check, so that libFuzzer keeps the input.
#define FUZZ_CHECK(c) ((c) ? (void)0 : (fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c), abort()))
