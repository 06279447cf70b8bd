// Logvane: resolves the IPv4 addresses in web-server logs by reverse DNS,
// keeps a cache of the answers and writes translated copies of the logs.
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/UnixFileSpec.h"
#include "src/CacheFile.h"
#include "src/Filter.h"
#include "src/Host6Table.h"
#include "src/HostTable.h"
#include "src/Resolver.h"
#include "src/Scan.h"
#include "src/Settings.h"
#include "src/Translate.h"

#define DEFAULT_CONFIG "logvane.cfg"
#define DEFAULT_LOG "ZazOVOV.log"

static void PrintBanner(int argc, char** argv) {
  if (argc >= 2 && argv[1][0] == '-' && argv[1][1] == 'v') {
    puts("Starting Logvane Version " LOGVANE_VERSION);
    PrintNotice();
  }
}

// "-settings <file>" is only recognised as the first pair of arguments.
static const char* TakeSettingsOption(int* argc, char*** argv) {
  char** a = *argv;
  if (*argc >= 3 && IsOptionWord(a[1], "settings")) {
    const char* name = a[2];
    *argv += 2;
    *argc -= 2;
    return name;
  }
  return DEFAULT_CONFIG;
}

// Names that exist but are not regular files are skipped by both passes.
static bool SkipNonFile(const char* name) {
  if (FSNotAFile(name)) {
    if (Settings.verbose) printf("'%s' is not a file, skipping it.\n", name);
    return true;
  }
  return false;
}

static int Finish(int status) {
  if (Settings.verbose) puts("Complete.");
  return status;
}

int main(int argc, char** argv) {
  static char default_log[] = DEFAULT_LOG;
  static char* default_list[] = {nullptr, default_log};

  // A reader that went away (`| head`) costs only messages, never the cache
  // or a translation; messages reach a pipe or `tee` as they happen.
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  MPInit();
  SettingsDefaults();
  FLHoldMessages(argc, argv);
  PrintBanner(argc, argv);
  ReadSettingsFile(TakeSettingsOption(&argc, &argv));
  cachePath = Settings.cache_name;

  int outcome = PARSE_PROCEED;
  const char* bad = nullptr;
  if (argc == 0) {
    argc = 2;
    argv = default_list;
  } else {
    outcome = ParseCommandLine(&argc, &argv, &bad);
  }
  FLBegin(outcome == PARSE_PROCEED ? argc : 0, argv);
  if (Settings.exchange) Settings.delete_input = 0;
  if (outcome != PARSE_PROCEED) {
    PrintUsage(outcome == PARSE_INVALID ? bad : nullptr);
    return Finish(1);
  }

  hostPool = MPNew();
  hostTable = HashInit(HOST_TABLE_EXPECTED, hostPool, HostKeyHash, HostKeyEqual);
  if (Settings.ipv6) Host6Init();
  if (!LkNetInit()) return Finish(1);
  LkRead();

  bool anyScanned = false;
  for (int i = 1; i < argc; i++) {
    if (SkipNonFile(argv[i])) continue;
    if (Settings.verbose) printf("Looking up '%s'\n", argv[i]);
    if (LkScan(argv[i])) anyScanned = true;
  }
  if (Settings.verbose) puts("Waiting for the last few lookups to complete.");
  LkLookup(true, 0);
  // A cache that could not be written fails the run: its answers are lost.
  bool cacheSaved = !anyScanned || LkWrite(Settings.private_cache);

  bool lastTranslated = false, streamFailed = false;
  if (Settings.translate) {
    for (int i = 1; i < argc; i++) {
      lastTranslated = TranslateLog(argv[i]);
      // A pipeline's output must not look whole when it is not.
      if (!lastTranslated && FLActive() && !strcmp(argv[i], "-")) streamFailed = true;
    }
  }
  // Unresolved for want of a server is a failed run, translated or not.
  bool reached = LkFaultCount() == 0;
  LkFini();
  return Finish(lastTranslated && !streamFailed && reached && cacheSaved ? 0 : 1);
}
