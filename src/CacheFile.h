// The DNS cache file: loaded into hostTable at the start, written back safely.
#pragma once
#include <cstdint>

struct HostEntry;

// One line (no line end) into e; true when well formed. e may change on false.
bool DNSFileParse(const char* line, HostEntry* e);
void LkRead();
void LkWrite(uint8_t private_cache);
