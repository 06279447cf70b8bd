// Address text beyond the plain dotted quad: IPv6 addresses (reading every
// RFC 4291 form, writing RFC 5952 text, finding them in log text) and dotted
// quads that are version numbers rather than addresses.
#pragma once
#include <cstdint>

#define IP6_TEXT_MAX 45   // "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"
#define IP6_TEXT_SIZE 46  // IP6Format's output, terminator included

struct IP6Key {
  uint8_t b[16];  // network byte order
};

// The whole of [text, end) as an IPv6 address: groups of one to four hex
// digits, at most one "::", the last 32 bits optionally a dotted quad (as
// IPParse reads it). No zone index, no brackets.
bool IP6Parse(const char* text, const char* end, IP6Key* key);
// RFC 5952 text: lower case, no leading zeros, the longest zero run (two
// groups or more, the first of equals) as "::"; IPv4-mapped (::ffff:0:0/96)
// and IPv4-translated (::ffff:0:0:0/96) addresses end in a dotted quad.
void IP6Format(const IP6Key* key, char* out);
// An IPv4-mapped address (::ffff:a.b.c.d): its IPv4 key.
bool IP6Mapped(const IP6Key* key, uint32_t* address);

enum { IP6_NONE, IP6_FOUND, IP6_MORE };

struct IP6Match {
  const char* start;  // the address text, brackets and port excluded
  const char* end;    // without an address: where to go on, past the run
                      // when it holds no dot (and so no IPv4 address either)
  IP6Key key;
};

// Whether the colon at colon is the first of an IPv6 address in log text:
// the maximal run of hex digits, colons and dots around it, at most four hex
// digits before it, holds two colons or more, is glued to no letter or digit
// on either side, parses, and is not the unspecified address. Reads up to five
// bytes before colon, and forward to end (the window's end, a NUL). IP6_MORE:
// the run reaches end and more input may follow, so it cannot be judged yet.
int IP6Find(const char* colon, const char* end, bool final, IP6Match* m);

// Where a window of log text may be cut, bytes after p that might begin an
// IPv6 address must stay for the next one: p, or the start of the run of
// one to four hex digits that ends at p when it stands clear of any letter,
// digit, colon or dot before it. Never below floor. Reads p[-5] at most.
const char* IP6Hold(const char* p, const char* floor);

// A dotted quad at text that is a version, not an address: right after a "/"
// that follows a letter or digit (a product token such as "Chrome/120.0.0.0")
// or after a "v" or "V" that follows no letter ("v1.2.3.4"). Reads the two
// bytes before text.
bool IPVersionQuad(const char* text);
