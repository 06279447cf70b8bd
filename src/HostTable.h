// What the run knows about each IPv4 address, and the address text conversions.
#pragma once
#include <cstdint>

struct HashTable;
struct MemoryPool;

enum { HOST_CACHED = 0, HOST_NEW = 1, HOST_REUSED = 2 };

struct HostEntry {
  uint32_t address;    // the key: octets in text order (network byte order)
  const char* domain;  // null while pending, FailedMark when failed, else the name
  int32_t time;        // seconds since the epoch: last met, or last tried
  uint32_t tries;      // lookups made
  int32_t status;      // HOST_CACHED, HOST_NEW or HOST_REUSED
};

// The one shared "*" every failed entry points at.
extern const char FailedMark[];

// A failed entry is any whose name begins with "*".
inline bool HostFailed(const HostEntry* e) { return e->domain && e->domain[0] == '*'; }
inline bool HostNamed(const HostEntry* e) { return e->domain && e->domain[0] != '*'; }

extern MemoryPool* hostPool;
extern HashTable* hostTable;

#define HOST_TABLE_EXPECTED 184320

// Dotted quad starting exactly at text; stores the key when given. Does not
// report where the address ends.
bool IPParse(const char* text, uint32_t* key);
// Dotted text of key into out (at least 16 bytes).
void IPFormat(uint32_t key, char* out);

// Whether name may stand for an address in the cache and in translated logs:
// a host name's characters only, no longer than DNS allows, and not itself a
// dotted quad (which would attribute the line to another address).
bool HostNameValid(const char* name);

uint32_t HostKeyHash(const void* key);
bool HostKeyEqual(const void* key, const void* item);
