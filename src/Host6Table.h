// The IPv6 addresses a run knows, in a table of their own keyed by the 128-bit
// address; each record is an ordinary HostEntry behind its key.
#pragma once
#include <cstdint>

#include "src/HostTable.h"
#include "src/IPText.h"

struct HashTable;

struct Host6Entry {
  IP6Key address;   // the key
  HostEntry entry;  // entry.address is unused (0)
};

// Null unless the run looks for IPv6 addresses; from hostPool, gone with it.
extern HashTable* host6Table;

#define HOST6_TABLE_EXPECTED 46080

// Makes host6Table from hostPool.
void Host6Init();
Host6Entry* Host6Find(const IP6Key* key);
// A new entry from hostPool, zeroed but for its key, inserted.
Host6Entry* Host6Add(const IP6Key* key);
// Adds the entries to *total and those met again from the cache to *reused.
void Host6Count(uint32_t* total, uint32_t* reused);

uint32_t Host6KeyHash(const void* key);
bool Host6KeyEqual(const void* key, const void* item);
