// What the lookup and the translation pass look for in log text: line ends,
// addresses standing as a whole run of digits and dots, and, with ipv6 on,
// IPv6 addresses (as IP6Find tells them). Both passes walk
// the reader's window with this one cursor, so the address the first asks
// about is the one the second replaces, wherever a window happens to end.
#pragma once
#include <cstdint>

#include "common/input.h"
#include "src/IPText.h"

#define IP_TEXT_MIN 7   // "0.0.0.0"
#define IP_TEXT_MAX 15  // "255.255.255.255"
// Hits start at most this far into a window: an address and the byte after
// it, or a CR and its LF, then lie within the more than IN_KEEP bytes the
// reader keeps buffered, and no refill ever splits them.
#define IP_LOOKAHEAD (IN_KEEP - IP_TEXT_MAX + 1)

enum { IP_NONE = 0, IP_ADDRESS = 1, IP_LINE_END = 2, IP_ADDRESS6 = 3 };

struct IPHit {
  const char* at;   // first byte of the address or the line end
  const char* end;  // one past it; CR LF is one line end
  uint32_t key;     // IP_ADDRESS: the address key
  IP6Key key6;      // IP_ADDRESS6: the address
};

// A pass's place in its text. Only in_run lives on from window to window.
struct IPCursor {
  const uint8_t* base;     // the window
  const uint8_t* p;        // next byte to examine
  const uint8_t* lim;      // hits start before this
  const uint8_t* end;      // the window's end, where a NUL stands
  const uint8_t* scanned;  // marks before this are known: in mask, or passed
  const uint8_t* block;    // where mask's bit 0 stands
  uint64_t mask;           // candidate marks in block not yet handed out
  const uint8_t* floor;    // the end of the last hit handed out, or base
  bool in_run;             // the bytes before base end inside a run
  bool final;              // no input follows the window
  bool ipv6;               // Settings.ipv6, as the text began
  bool skip_versions;      // Settings.skip_versions, likewise
};

// A cursor at the start of a text, under the current settings.
void IPStart(IPCursor* c);
// The reader's unconsumed bytes (cnt of them at window, NUL behind, the
// reader's history before) as the next window; a null window is an empty
// one. final: the input ends with it.
void IPWindow(IPCursor* c, const char* window, int32_t cnt, bool final);
// The next hit in the window, in text order; IP_NONE when no more start
// within its look-ahead.
int IPNext(IPCursor* c, IPHit* hit);
// Takes the cursor back to at, the end of a hit it handed out, as though
// nothing past that hit had been examined.
void IPRewind(IPCursor* c, const char* at);
// How many bytes of the window the cursor is past: what to consume next.
// The next window must start there. Hex digits at the cut that may begin an
// IPv6 address are left for it.
int32_t IPTake(IPCursor* c);
