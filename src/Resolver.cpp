// Reverse lookups through c-ares, driven cooperatively from the scanning pass.
#define ASSERT_MODULE "src/Logvane"
#include "src/Resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/select.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/Assert.h"
#include "common/HashTable.h"
#include "common/Machine.h"
#include "common/MemoryPool.h"
#include "src/Host6Table.h"
#include "src/HostTable.h"
#include "src/Settings.h"

#define LK_LIMIT_WAIT_USEC 500000
#define LK_RETRY_CEILING 3
#define LK_DAY 86400

static ares_channel achan = nullptr;
static int32_t pending_cnt = 0;
static int32_t next_tick = 0;

int32_t LkPendingCount() { return pending_cnt; }

bool LkNetInit() {
  LV_ASSERT(!achan);
  ares_library_init(ARES_LIB_INIT_ALL);
  struct ares_options options;
  memset(&options, 0, sizeof options);
  char lookups[] = "b";  // DNS servers only, never a hosts file
  options.lookups = lookups;
  int mask = ARES_OPT_LOOKUPS;
  if (Settings.dns_timeout > 0) {
    options.timeout = Settings.dns_timeout;
    mask |= ARES_OPT_TIMEOUTMS;
  }
  if (Settings.dns_tries > 0) {
    options.tries = Settings.dns_tries;
    mask |= ARES_OPT_TRIES;
  }
  int status = ares_init_options(&achan, &options, mask);
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
  pending_cnt = 0;
  next_tick = 0;
  return true;
}

static void StoreAnswer(HostEntry* e, int status, struct hostent* host) {
  if (status == ARES_SUCCESS && host && HostNameValid(host->h_name)) {
    size_t len = strlen(host->h_name) + 1;
    char* copy = (char*)MPAlloc(hostPool, (int32_t)len);
    memcpy(copy, host->h_name, len);
    e->domain = copy;
  } else {
    e->domain = FailedMark;
  }
}

static void callback(void* arg, int status, int /*timeouts*/, struct hostent* host) {
  uint32_t address = (uint32_t)(uintptr_t)arg;
  HostEntry* e = nullptr;
  if (!HashFind(hostTable, &address, (void**)&e) || !e) {
    puts("Unable to locate finished addr (internal error)!");
    pending_cnt--;
    return;
  }
  StoreAnswer(e, status, host);
  pending_cnt--;
}

// An IPv6 query carries its entry, which lives as long as the run.
static void callback6(void* arg, int status, int /*timeouts*/, struct hostent* host) {
  StoreAnswer((HostEntry*)arg, status, host);
  pending_cnt--;
}

// A known entry met in a log; true when a retry is due.
static bool MeetKnown(HostEntry* e, int32_t now) {
  if (e->status == HOST_CACHED) {
    e->status = HOST_REUSED;
    uint32_t limit = (uint32_t)now - (uint32_t)Settings.retry_failed * LK_DAY;
    if (HostFailed(e) && e->tries <= LK_RETRY_CEILING && (uint32_t)e->time < limit) {
      e->tries++;
      e->time = now;
      return true;
    }
  }
  if (HostNamed(e)) e->time = now;
  return false;
}

// A new entry, about to be queried for the first time.
static void StartEntry(HostEntry* e, int32_t now) {
  e->domain = nullptr;
  e->time = now;
  e->tries = 1;
  e->status = HOST_NEW;
}

// Decides whether address needs a query; true when one is due.
static bool NeedsQuery(uint32_t address) {
  HostEntry* e = nullptr;
  int32_t now = (int32_t)time(nullptr);
  if (HashFind(hostTable, &address, (void**)&e) && e) return MeetKnown(e, now);
  e = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
  e->address = address;
  StartEntry(e, now);
  HashInsert(hostTable, e);
  return true;
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

static void WaitBelowLimit() {
  while (pending_cnt >= Settings.dns_inflight) {
    struct timeval tv = {0, LK_LIMIT_WAIT_USEC};
    // Half a second without activity lets one more query through.
    if (ServiceOnce(&tv) == 0) break;
  }
}

static void Drain() {
  fd_set readers, writers;
  FD_ZERO(&readers);
  FD_ZERO(&writers);
  int nfds = ares_fds(achan, &readers, &writers);
  for (;;) {
    struct timeval buf;
    struct timeval* tv = ares_timeout(achan, nullptr, &buf);
    if (!tv || pending_cnt == 0) break;
    select(nfds, &readers, &writers, nullptr, tv);
    ares_process(achan, &readers, &writers);
    FD_ZERO(&readers);
    FD_ZERO(&writers);
    nfds = ares_fds(achan, &readers, &writers);
  }
}

// One reverse query, paced and within the limit.
static void Submit(const void* address, int len, int family, ares_host_callback done, void* arg) {
  Pace();
  WaitBelowLimit();
  pending_cnt++;  // before the call: the completion may run inside it
  ares_gethostbyaddr(achan, address, len, family, done, arg);
  struct timeval zero = {0, 0};
  ServiceOnce(&zero);
}

bool LkLookup(bool drain, uint32_t address) {
  if (drain) {
    Drain();
    return true;
  }
  if (!NeedsQuery(address)) return false;
  Submit(&address, sizeof address, AF_INET, callback, (void*)(uintptr_t)address);
  return true;
}

bool LkLookup6(const IP6Key* address) {
  uint32_t v4;
  if (IP6Mapped(address, &v4)) return LkLookup(false, v4);
  int32_t now = (int32_t)time(nullptr);
  Host6Entry* e6 = Host6Find(address);
  if (e6 && !MeetKnown(&e6->entry, now)) return false;
  if (!e6) StartEntry(&(e6 = Host6Add(address))->entry, now);
  Submit(address->b, sizeof address->b, AF_INET6, callback6, &e6->entry);
  return true;
}

void LkFini() {
  LV_ASSERT(achan);
  ares_destroy(achan);
  achan = nullptr;
  HashFini(hostTable);
  if (host6Table) HashFini(host6Table);
  MPDelete(hostPool);
  hostTable = nullptr;
  host6Table = nullptr;
  hostPool = nullptr;
  ares_library_cleanup();
}
