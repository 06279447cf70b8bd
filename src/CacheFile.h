// The DNS cache file: loaded into hostTable at the start, written back safely.
#pragma once
#include <cstdint>

struct HostEntry;
struct IP6Key;

// One line (no line end) into e; true when well formed. e may change on false.
// A name is left pointing into line. With key6 the address must be IPv6 and
// goes there instead.
bool DNSFileParse(const char* line, HostEntry* e, IP6Key* key6 = nullptr);
void LkRead();
// False (after its message) when the cache could not be written.
bool LkWrite(uint8_t private_cache);
