// Reverse lookups through c-ares on the main thread, with pacing and a soft
// limit on outstanding queries.
#pragma once
#include <cstdint>

struct IP6Key;

bool LkNetInit();
// drain false: looks address up, true when a query was issued.
// drain true: waits until no query is outstanding; always true.
bool LkLookup(bool drain, uint32_t address);
// The same for an IPv6 address (an IPv4-mapped one is looked up as IPv4).
bool LkLookup6(const IP6Key* address);
void LkFini();
// Queries issued whose completion has not run yet.
int32_t LkPendingCount();
