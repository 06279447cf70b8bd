// The DNS cache file: loaded into hostTable at the start, written back safely.
#pragma once
#include <cstdint>

struct HostEntry;

// One line (no line end) into e; true when well formed. e may change on false.
// A name is left pointing into line.
bool DNSFileParse(const char* line, HostEntry* e);
void LkRead();
// False (after its message) when the cache could not be written.
bool LkWrite(uint8_t private_cache);
