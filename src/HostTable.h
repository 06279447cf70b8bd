// What the run knows about each IPv4 address, and the address text conversions.
#pragma once
#include <cstdint>

struct HashTable;
struct MemoryPool;

enum { HOST_CACHED = 0, HOST_NEW = 1, HOST_REUSED = 2 };

struct HostEntry {
  uint32_t address;    // the key: octets in text order (network byte order)
  const char* domain;  // null while pending, a failure mark when failed, else the name
  int32_t time;        // seconds since the epoch: last met, or last tried
  uint32_t tries;      // lookups made
  int32_t status;      // HOST_CACHED, HOST_NEW or HOST_REUSED
};

#define LK_DAY 86400  // seconds; entry times are compared in whole days

// Failed entries point at one of these shared marks. Every reader, earlier
// builds included, takes a name beginning with "*" as failed, so the class
// rides after it: "*" a definitive answer (no such name, no PTR data, a name
// unfit for a log), "*t1" to "*t4" a passing failure (time-out, server
// failure, malformed answer) and how many in a row, "*u" a name whose forward
// lookup did not confirm it.
extern const char FailedMark[];
extern const char UnconfirmedMark[];
#define HOST_PASSING_LIMIT 5  // passing failures in a row that make a definitive one

// The mark of the n-th passing failure in a row, n from 1; FailedMark from
// HOST_PASSING_LIMIT on.
const char* HostPassingMark(uint32_t n);
// The shared mark for a failed name as stored in a cache file; a class this
// build does not know reads as definitive.
const char* HostFailMark(const char* name);

// A failed entry is any whose name begins with "*".
inline bool HostFailed(const HostEntry* e) { return e->domain && e->domain[0] == '*'; }
inline bool HostNamed(const HostEntry* e) { return e->domain && e->domain[0] != '*'; }
// Passing failures in a row behind a failed entry; 0 for any other entry.
inline uint32_t HostPassingCount(const HostEntry* e) {
  return HostFailed(e) && e->domain[1] == 't' ? (uint32_t)(e->domain[2] - '0') : 0;
}

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
