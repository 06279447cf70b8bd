// Run settings: defaults, the configuration file and the command line.
#pragma once
#include <cstdint>

enum { COMPRESS_NONE = 0, COMPRESS_GZIP = 1, COMPRESS_BZIP2 = 2 };
enum { NEWLINE_MAC = 0, NEWLINE_UNIX = 1, NEWLINE_DOS = 2 };

// LOGVANE_VERSION comes from the build (the project version in CMakeLists.txt).
#define DEFAULT_INFLIGHT 100
#define DEFAULT_THREADS_MAX 8  // the default: online processors, at most this

struct SettingsRecord {
  int32_t compress;
  int32_t level;
  int32_t interrupt;
  int32_t offset;
  int32_t divisor;
  char cache_name[256];
  uint8_t translate;
  uint8_t verbose;
  uint8_t private_cache;
  uint8_t delete_input;
  uint8_t exchange;
  int32_t newlines;
  int32_t expire_good;
  int32_t expire_failed;
  int32_t retry_failed;
  int32_t wait_ticks;
  // Resolver choices, from the configuration file only.
  char dns_servers[256];    // empty: the system's servers
  uint8_t dns_servers_bad;  // a list was given but refused: never fall back
  int32_t dns_timeout;      // milliseconds; 0: the system's, else the resolver's default
  int32_t dns_tries;        // 0: the system's, else the resolver's default
  int32_t dns_inflight;     // soft limit of outstanding queries
  uint8_t verify;           // use a PTR name only when its forward lookup gives the address
  // Address finding, from the configuration file only.
  uint8_t ipv6;           // IPv6 addresses too
  uint8_t skip_versions;  // dotted quads that are versions are no addresses
  int32_t threads;        // compression threads, 1 to 64 (1: none started)
};

extern SettingsRecord Settings;
extern const char* cachePath;

enum { PARSE_PROCEED, PARSE_USAGE, PARSE_INVALID };

void SettingsDefaults();
void ReadSettingsFile(const char* name);
bool ParseFlag(const char* value, uint8_t* field);
// Whether arg is a dash and then a prefix of name, the option's name in the
// usage, in either case ("-Tr" for "translate").
bool IsOptionWord(const char* arg, const char* name);
// argv[0] is the program-name slot; consumed options are removed from the
// front, leaving the log names in argv[1..argc-1]. On PARSE_INVALID *bad names
// the option argument at fault.
int ParseCommandLine(int* argc, char*** argv, const char** bad);
void PrintNotice();
// The usage text, preceded by the invalid-argument line when bad is given.
void PrintUsage(const char* bad);
