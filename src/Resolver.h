// Reverse lookups through c-ares on the main thread, with pacing and a soft
// limit on outstanding queries; with "verify", forward confirmation of names.
#pragma once
#include <cstdint>

struct IP6Key;

bool LkNetInit();
// drain false: looks address up, true when a query was issued.
// drain true: waits until no query is outstanding, then reports (the
// unreachable servers always, the run's outcomes when verbose); always true.
bool LkLookup(bool drain, uint32_t address);
// The same for an IPv6 address (an IPv4-mapped one is looked up as IPv4).
bool LkLookup6(const IP6Key* address);
void LkFini();
// Queries issued whose completion has not run yet.
int32_t LkPendingCount();
// Addresses left unresolved because no DNS server would take their query.
uint32_t LkFaultCount();
