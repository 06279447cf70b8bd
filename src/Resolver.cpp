// Reverse lookups through c-ares, driven cooperatively from the scanning pass.
#define ASSERT_MODULE "src/Logvane"
#include "src/Resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <sys/select.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/Assert.h"
#include "common/HashTable.h"
#include "common/Machine.h"
#include "common/MemoryPool.h"
#include "src/FormatCount.h"
#include "src/Host6Table.h"
#include "src/HostTable.h"
#include "src/Settings.h"

#define LK_LIMIT_WAIT_USEC 500000
#define LK_RETRY_CEILING 3
#define LK_OUTSTANDING_FACTOR 10  // bound on all outstanding queries, in in-flight limits
#define LK_DEFAULT_TIMEOUT_MS 2000
#define LK_DEFAULT_TRIES 2
#define LK_RCVBUF_PER_QUERY 4096  // room for a few answers in the kernel's accounting
#define LK_RCVBUF_MIN (256 * 1024)
#define LK_PASSING_SPACING 3600  // seconds before another passing failure counts
#define LK_FORWARD_ADDRS 64

enum { LK_PTR, LK_FORWARD };
enum { LK_NAMED, LK_DEFINITIVE, LK_PASSING, LK_UNCONFIRMED, LK_FAULT, LK_GONE };

// One query handed to the resolver, and its completion's argument.
struct LkQuery {
  LkQuery* prev;     // young list, in issue order
  LkQuery* next;     // young list, forward queue or free list
  uint32_t address;  // the key asked about (IPv4)
  Host6Entry* e6;    // the entry asked about (IPv6); null for IPv4
  const char* name;  // forward: the PTR name to confirm
  int64_t issued;    // microseconds, monotonic clock
  uint8_t kind;      // LK_PTR or LK_FORWARD
  uint8_t retry;     // the entry had failed before
  uint8_t young;     // on the young list: counts toward the in-flight limit
};

static ares_channel achan = nullptr;
static int32_t pending_cnt = 0;
static int32_t next_tick = 0;
static int32_t young_cnt = 0;
static int64_t first_timeout = 0;  // microseconds
static LkQuery young_list;         // sentinel of the young list
static LkQuery* free_queries = nullptr;
static LkQuery* forward_head = nullptr;
static LkQuery** forward_tail = &forward_head;
static uint32_t outcomes[LK_GONE];

int32_t LkPendingCount() { return pending_cnt; }
uint32_t LkFaultCount() { return outcomes[LK_FAULT]; }

static int64_t NowUsec() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// The four octets in network order, whatever the host's byte order.
static void AddressBytes(uint32_t key, unsigned char* out) {
  for (int i = 0; i < 4; i++) out[i] = (unsigned char)(key >> (8 * i));
}

// The address a query asks about, as its bytes in network order; their count.
static int QueryBytes(const LkQuery* q, unsigned char* out) {
  if (q->e6) {
    memcpy(out, q->e6->address.b, 16);
    return 16;
  }
  AddressBytes(q->address, out);
  return 4;
}

// ---------------------------------------------------------------------------
// The channel.

// Time-out (ms) and tries a channel ended up with; -1 when unknown.
static void ChannelTiming(ares_channel c, int* timeout, int* tries) {
  struct ares_options o;
  int mask = 0;
  *timeout = *tries = -1;
  if (ares_save_options(c, &o, &mask) != ARES_SUCCESS) return;
  *timeout = o.timeout;
  *tries = o.tries;
  ares_destroy_options(&o);
}

// What the library takes when no resolver configuration sets anything.
static void LibraryTiming(int* timeout, int* tries) {
  struct ares_options o;
  memset(&o, 0, sizeof o);
  char none[] = "/dev/null";
  char lookups[] = "b";
  o.resolvconf_path = none;
  o.lookups = lookups;
  ares_channel probe;
  *timeout = *tries = -1;
  if (ares_init_options(&probe, &o, ARES_OPT_RESOLVCONF | ARES_OPT_LOOKUPS) != ARES_SUCCESS) return;
  ChannelTiming(probe, timeout, tries);
  ares_destroy(probe);
}

// timeout and tries 0: the system's resolver configuration decides.
static int InitChannel(int timeout, int tries) {
  struct ares_options options;
  memset(&options, 0, sizeof options);
  char lookups[] = "b";  // DNS servers only, never a hosts file
  options.lookups = lookups;
  // Otherwise the library retries a SERVFAIL or REFUSED answer elsewhere and
  // reports it as a refused connection, and the two cannot be told apart.
  options.flags = ARES_FLAG_NOCHECKRESP;
  int rcvbuf = Settings.dns_inflight * LK_RCVBUF_PER_QUERY;
  options.socket_receive_buffer_size = rcvbuf > LK_RCVBUF_MIN ? rcvbuf : LK_RCVBUF_MIN;
  int mask = ARES_OPT_LOOKUPS | ARES_OPT_FLAGS | ARES_OPT_SOCK_RCVBUF;
  if (timeout > 0) {
    options.timeout = timeout;
    mask |= ARES_OPT_TIMEOUTMS;
  }
  if (tries > 0) {
    options.tries = tries;
    mask |= ARES_OPT_TRIES;
  }
  return ares_init_options(&achan, &options, mask);
}

// A batch run gives up on a silent address after seconds, not the library's
// minute and more, unless the configuration or the system says otherwise.
static int InitWithDefaults() {
  int timeout = Settings.dns_timeout, tries = Settings.dns_tries;
  int status = InitChannel(timeout, tries);
  if (status != ARES_SUCCESS || (timeout && tries)) return status;
  int sys_timeout, sys_tries, lib_timeout, lib_tries;
  ChannelTiming(achan, &sys_timeout, &sys_tries);
  LibraryTiming(&lib_timeout, &lib_tries);
  if (!timeout && sys_timeout == lib_timeout) timeout = LK_DEFAULT_TIMEOUT_MS;
  if (!tries && sys_tries == lib_tries) tries = LK_DEFAULT_TRIES;
  if (timeout == Settings.dns_timeout && tries == Settings.dns_tries) return status;
  ares_destroy(achan);
  achan = nullptr;
  return InitChannel(timeout, tries);
}

static void ResetState() {
  pending_cnt = young_cnt = next_tick = 0;
  young_list.next = young_list.prev = &young_list;
  free_queries = forward_head = nullptr;
  forward_tail = &forward_head;
  memset(outcomes, 0, sizeof outcomes);
}

bool LkNetInit() {
  LV_ASSERT(!achan);
  ares_library_init(ARES_LIB_INIT_ALL);
  int status = InitWithDefaults();
  if (status != ARES_SUCCESS) {
    printf("ares_init failed (code %d)\n", status);
    achan = nullptr;
    return false;
  }
  if (Settings.dns_servers_bad) {
    puts("The dns-servers line was refused; not asking any other servers.");
    ares_destroy(achan);
    achan = nullptr;
    return false;
  }
  // Servers must be in place before the first query goes out.
  if (Settings.dns_servers[0] &&
      ares_set_servers_ports_csv(achan, Settings.dns_servers) != ARES_SUCCESS) {
    printf("Invalid DNS server list '%s'!\n", Settings.dns_servers);
    ares_destroy(achan);
    achan = nullptr;
    return false;
  }
  int timeout, tries;
  ChannelTiming(achan, &timeout, &tries);
  first_timeout = (int64_t)(timeout > 0 ? timeout : LK_DEFAULT_TIMEOUT_MS) * 1000;
  ResetState();
  return true;
}

// ---------------------------------------------------------------------------
// Queries and the in-flight window. A query counts toward dns-inflight until
// it is answered or its first time-out passes: one that is late by then will
// most likely never be answered, and dead servers must not hold the window.

static LkQuery* NewQuery(uint8_t kind, uint32_t address) {
  LkQuery* q = free_queries;
  if (q)
    free_queries = q->next;
  else
    q = (LkQuery*)MPAlloc(hostPool, sizeof(LkQuery));
  memset(q, 0, sizeof *q);
  q->kind = kind;
  q->address = address;
  return q;
}

static void FreeQuery(LkQuery* q) {
  q->next = free_queries;
  free_queries = q;
}

static void YoungAdd(LkQuery* q) {
  q->young = 1;
  q->prev = young_list.prev;
  q->next = &young_list;
  young_list.prev->next = q;
  young_list.prev = q;
  young_cnt++;
}

static void YoungDrop(LkQuery* q) {
  if (!q->young) return;
  q->prev->next = q->next;
  q->next->prev = q->prev;
  q->young = 0;
  young_cnt--;
}

static void AgeQueries(int64_t now) {
  while (young_cnt && now - young_list.next->issued >= first_timeout) YoungDrop(young_list.next);
}

// Spaces queries wait_ticks apart; next_tick advances from itself, so a
// quiet stretch lets the following queries catch up back to back.
static void Pace() {
  int32_t w = Settings.wait_ticks;
  if (w == 0) return;
  if (next_tick == 0) {
    next_tick = MachTicks();
    return;
  }
  for (;;) {
    if (MachTicks() >= next_tick) {
      next_tick += w;
      return;
    }
    MachYield();
  }
}

// One select round over the channel's sockets, then ares_process.
static int ServiceOnce(struct timeval* tv) {
  fd_set readers, writers;
  FD_ZERO(&readers);
  FD_ZERO(&writers);
  int nfds = ares_fds(achan, &readers, &writers);
  int ready = select(nfds, &readers, &writers, nullptr, tv);
  ares_process(achan, &readers, &writers);
  return ready;
}

// A round of at most usec that ends no later than the resolver's next
// time-out, so a wait never delays its retransmissions or give-ups.
static int ServiceFor(int64_t usec) {
  struct timeval max = {(time_t)(usec / 1000000), (suseconds_t)(usec % 1000000)};
  struct timeval buf;
  return ServiceOnce(ares_timeout(achan, &max, &buf));
}

// Waits while the window is full. Half a second without any answer lets one
// more query through, though never past the bound on all outstanding ones.
static void WaitBelowLimit() {
  int32_t limit = Settings.dns_inflight;
  int64_t quiet_since = NowUsec();
  for (;;) {
    int64_t now = NowUsec();
    AgeQueries(now);
    bool full = pending_cnt >= limit * LK_OUTSTANDING_FACTOR;
    if (!full && young_cnt < limit) return;
    int64_t wait = quiet_since + LK_LIMIT_WAIT_USEC - now;
    if (wait <= 0) {
      if (!full) return;
      wait = LK_LIMIT_WAIT_USEC;
    }
    if (young_cnt && young_list.next->issued + first_timeout - now < wait)
      wait = young_list.next->issued + first_timeout - now;
    if (ServiceFor(wait) != 0) quiet_since = NowUsec();
  }
}

static void PtrDone(void* arg, int status, int timeouts, unsigned char* abuf, int alen);
static void ForwardDone(void* arg, int status, int timeouts, unsigned char* abuf, int alen);

// The PTR name of the address: in-addr.arpa, or nibbles under ip6.arpa.
static void ReverseName(const LkQuery* q, char* out, size_t size) {
  unsigned char b[16];
  if (QueryBytes(q, b) == 4) {
    snprintf(out, size, "%u.%u.%u.%u.in-addr.arpa", b[3], b[2], b[1], b[0]);
    return;
  }
  static const char HEX[] = "0123456789abcdef";
  char* p = out;
  for (int i = 15; i >= 0; i--) {
    *p++ = HEX[b[i] & 15], *p++ = '.';
    *p++ = HEX[b[i] >> 4], *p++ = '.';
  }
  memcpy(p, "ip6.arpa", 9);
}

static void Send(LkQuery* q) {
  if (q->kind == LK_FORWARD) {
    ares_query(achan, q->name, C_IN, q->e6 ? T_AAAA : T_A, ForwardDone, q);
    return;
  }
  char name[80];  // 64 nibbles and dots, "ip6.arpa"
  ReverseName(q, name, sizeof name);
  ares_query(achan, name, C_IN, T_PTR, PtrDone, q);
}

// Every query goes out here, whatever it asks: paced, then held while the
// window is full.
static void Submit(LkQuery* q) {
  Pace();
  WaitBelowLimit();
  q->issued = NowUsec();
  YoungAdd(q);
  pending_cnt++;  // before the call: the completion may run inside it
  Send(q);
  struct timeval zero = {0, 0};
  ServiceOnce(&zero);
}

// Forward lookups wait here from their PTR answer (inside the library) until
// the scheduler can submit them.
static void QueueForward(LkQuery* q, const char* name) {
  q->kind = LK_FORWARD;
  q->name = name;
  q->next = nullptr;
  *forward_tail = q;
  forward_tail = &q->next;
}

static void SendForwards() {
  while (LkQuery* q = forward_head) {
    forward_head = q->next;
    if (!forward_head) forward_tail = &forward_head;
    Submit(q);
  }
}

// ---------------------------------------------------------------------------
// Completions.

static int StatusOutcome(int status) {
  switch (status) {
    case ARES_SUCCESS: return LK_NAMED;
    case ARES_ENOTFOUND:
    case ARES_ENODATA: return LK_DEFINITIVE;
    // No server would take the query: connection refused, no socket for it,
    // or the server refusing it. Nothing is known about the address.
    case ARES_ECONNREFUSED:
    case ARES_EREFUSED: return LK_FAULT;
    case ARES_EDESTRUCTION:
    case ARES_ECANCELLED:
    case ARES_ENOMEM: return LK_GONE;
    default:  // a time-out, a server failure, a malformed or truncated answer
      return LK_PASSING;
  }
}

// The entry a completion is for; null (after the message) when there is none.
static HostEntry* Finished(LkQuery* q) {
  YoungDrop(q);
  pending_cnt--;
  if (q->e6) return &q->e6->entry;  // lives as long as the run
  HostEntry* e = nullptr;
  if (!HashFind(hostTable, &q->address, (void**)&e) || !e) {
    puts("Unable to locate finished addr (internal error)!");
    return nullptr;
  }
  return e;
}

// Stores a lookup's outcome. A resolver fault leaves the entry as it was, to
// be asked again by the next run.
static void Settle(HostEntry* e, const LkQuery* q, int outcome, const char* name) {
  if (outcome == LK_GONE) return;
  outcomes[outcome]++;
  if (outcome == LK_FAULT) return;
  int32_t now = (int32_t)time(nullptr);
  if (q->retry) e->tries++;
  uint32_t passing = HostPassingCount(e);
  if (outcome == LK_PASSING && passing) {
    // Runs close together all ask again, but count once per spacing, so a
    // short outage never turns into a definitive failure.
    if ((int64_t)now - e->time >= LK_PASSING_SPACING) {
      e->domain = HostPassingMark(passing + 1);
      e->time = now;
    }
    return;
  }
  e->domain = outcome == LK_NAMED         ? name
              : outcome == LK_PASSING     ? HostPassingMark(1)
              : outcome == LK_UNCONFIRMED ? UnconfirmedMark
                                          : FailedMark;
  if (q->retry) e->time = now;
}

static const char* PoolCopy(const char* text) {
  size_t len = strlen(text) + 1;
  char* copy = (char*)MPAlloc(hostPool, (int32_t)len);
  memcpy(copy, text, len);
  return copy;
}

static void PtrDone(void* arg, int status, int /*timeouts*/, unsigned char* abuf, int alen) {
  LkQuery* q = (LkQuery*)arg;
  HostEntry* e = Finished(q);
  const char* name = nullptr;
  if (e && status == ARES_SUCCESS) {
    unsigned char b[16];
    int len = QueryBytes(q, b);
    struct hostent* host = nullptr;
    status = ares_parse_ptr_reply(abuf, alen, b, len, len == 4 ? AF_INET : AF_INET6, &host);
    // A name unfit for a log is as good as no name.
    if (status == ARES_SUCCESS && !HostNameValid(host->h_name)) status = ARES_ENODATA;
    if (status == ARES_SUCCESS) name = PoolCopy(host->h_name);
    if (host) ares_free_hostent(host);
  }
  if (e && name && Settings.verify) {
    QueueForward(q, name);
    return;
  }
  if (e) Settle(e, q, StatusOutcome(status), name);
  FreeQuery(q);
}

// LK_NAMED when the answer gives the address asked about.
static int ForwardOutcome(const LkQuery* q, unsigned char* abuf, int alen) {
  unsigned char b[16];
  int len = QueryBytes(q, b);
  int n = LK_FORWARD_ADDRS;
  int status;
  if (len == 4) {
    struct ares_addrttl addrs[LK_FORWARD_ADDRS];
    status = ares_parse_a_reply(abuf, alen, nullptr, addrs, &n);
    for (int i = 0; status == ARES_SUCCESS && i < n; i++)
      if (memcmp(&addrs[i].ipaddr, b, 4) == 0) return LK_NAMED;
  } else {
    struct ares_addr6ttl addrs[LK_FORWARD_ADDRS];
    status = ares_parse_aaaa_reply(abuf, alen, nullptr, addrs, &n);
    for (int i = 0; status == ARES_SUCCESS && i < n; i++)
      if (memcmp(&addrs[i].ip6addr, b, 16) == 0) return LK_NAMED;
  }
  return status == ARES_SUCCESS ? LK_UNCONFIRMED : StatusOutcome(status);
}

static void ForwardDone(void* arg, int status, int /*timeouts*/, unsigned char* abuf, int alen) {
  LkQuery* q = (LkQuery*)arg;
  if (HostEntry* e = Finished(q)) {
    int outcome = status == ARES_SUCCESS ? ForwardOutcome(q, abuf, alen) : StatusOutcome(status);
    // A name that has no address at all confirms nothing.
    if (outcome == LK_DEFINITIVE) outcome = LK_UNCONFIRMED;
    Settle(e, q, outcome, q->name);
  }
  FreeQuery(q);
}

// ---------------------------------------------------------------------------
// Deciding, the drain and the end.

// A passing failure is asked again by every run that meets it; any other
// failure once retry_failed days have passed, while it has tries left.
static bool RetryDue(const HostEntry* e, int32_t now) {
  if (!HostFailed(e)) return false;
  if (HostPassingCount(e)) return true;
  uint32_t limit = (uint32_t)now - (uint32_t)Settings.retry_failed * LK_DAY;
  return e->tries <= LK_RETRY_CEILING && (uint32_t)e->time < limit;
}

// A known entry met in a log: true when a retry is due. A retry's entry keeps
// its time and tries until the outcome is known.
static bool MeetKnown(HostEntry* e, int32_t now) {
  if (e->status == HOST_CACHED) {
    e->status = HOST_REUSED;
    if (RetryDue(e, now)) return true;
  }
  if (HostNamed(e)) e->time = now;
  return false;
}

// A new entry, about to be asked for the first time.
static void StartEntry(HostEntry* e, int32_t now) {
  e->domain = nullptr;
  e->time = now;
  e->tries = 1;
  e->status = HOST_NEW;
}

// The query address needs, or null.
static LkQuery* NeedsQuery(uint32_t address) {
  HostEntry* e = nullptr;
  int32_t now = (int32_t)time(nullptr);
  if (HashFind(hostTable, &address, (void**)&e) && e) {
    if (!MeetKnown(e, now)) return nullptr;
    LkQuery* q = NewQuery(LK_PTR, address);
    q->retry = 1;
    return q;
  }
  e = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
  e->address = address;
  StartEntry(e, now);
  HashInsert(hostTable, e);
  return NewQuery(LK_PTR, address);
}

static LkQuery* NeedsQuery6(const IP6Key* address) {
  int32_t now = (int32_t)time(nullptr);
  Host6Entry* e6 = Host6Find(address);
  bool known = e6 != nullptr;
  if (known && !MeetKnown(&e6->entry, now)) return nullptr;
  if (!known) StartEntry(&(e6 = Host6Add(address))->entry, now);
  LkQuery* q = NewQuery(LK_PTR, 0);
  q->e6 = e6;
  q->retry = known;
  return q;
}

static void Report() {
  uint32_t faults = outcomes[LK_FAULT];
  if (faults)
    printf("The DNS servers could not be reached; %s %s left unresolved.\n", FormatCount(faults),
           faults == 1 ? "address was" : "addresses were");
  if (!Settings.verbose) return;
  // FormatCount rotates four buffers: at most four counts per call.
  printf("Lookups: %s named, %s not found, %s passing failures, ", FormatCount(outcomes[LK_NAMED]),
         FormatCount(outcomes[LK_DEFINITIVE]), FormatCount(outcomes[LK_PASSING]));
  printf("%s unconfirmed, %s unreachable.\n", FormatCount(outcomes[LK_UNCONFIRMED]),
         FormatCount(faults));
  if (Settings.verify)
    printf("Forward checks: %s confirmed, %s unconfirmed.\n", FormatCount(outcomes[LK_NAMED]),
           FormatCount(outcomes[LK_UNCONFIRMED]));
}

static void Drain() {
  for (;;) {
    SendForwards();
    if (pending_cnt == 0) break;
    struct timeval buf;
    struct timeval* tv = ares_timeout(achan, nullptr, &buf);
    if (!tv) break;
    ServiceOnce(tv);
  }
  Report();
}

bool LkLookup(bool drain, uint32_t address) {
  if (drain) {
    Drain();
    return true;
  }
  SendForwards();
  LkQuery* q = NeedsQuery(address);
  if (!q) return false;
  Submit(q);
  return true;
}

bool LkLookup6(const IP6Key* address) {
  uint32_t v4;
  if (IP6Mapped(address, &v4)) return LkLookup(false, v4);
  SendForwards();
  LkQuery* q = NeedsQuery6(address);
  if (!q) return false;
  Submit(q);
  return true;
}

void LkFini() {
  LV_ASSERT(achan);
  ares_destroy(achan);
  achan = nullptr;
  ResetState();
  HashFini(hostTable);
  if (host6Table) HashFini(host6Table);
  MPDelete(hostPool);
  hostTable = nullptr;
  host6Table = nullptr;
  hostPool = nullptr;
  ares_library_cleanup();
}
