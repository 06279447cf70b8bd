// Run settings: built-in defaults, then the configuration file, then the
// command line, each layer overriding the one before.
#include "src/Settings.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/MemoryPool.h"
#include "common/input.h"

SettingsRecord Settings;
const char* cachePath = Settings.cache_name;

#define SETTINGS_LINE_SIZE 256

// Number settings shared by the configuration file and the command line.
enum {
  NUM_SIGNED = 1,     // the file value may begin with '-'
  NUM_KEEP = 2,       // out of range leaves the field as it was
  NUM_CMD_ERROR = 4,  // out of range is an error on the command line
};

struct NumberSetting {
  const char* keyword;
  char letter;  // command-line letter; 0 for file-only settings
  int32_t* field;
  uint32_t lo, hi;
  int32_t fallback;
  uint8_t mode;
};

static const NumberSetting NUMBERS[] = {
    {"interrupt", 'i', &Settings.interrupt, 0, 120, 30, NUM_CMD_ERROR},
    {"offset", 'o', &Settings.offset, 0, UINT32_MAX, 0, NUM_SIGNED},
    {"divisor", 'd', &Settings.divisor, 1, 86400, 60, NUM_CMD_ERROR},
    {"expire-good", 'g', &Settings.expire_good, 1, 365, 126, 0},
    {"expire-failed", 'f', &Settings.expire_failed, 0, 365, 42, 0},
    {"retry-failed", 'r', &Settings.retry_failed, 1, 35, 4, 0},
    {"wait-ticks", 'z', &Settings.wait_ticks, 0, 120, 120, 0},
    {"dns-timeout", 0, &Settings.dns_timeout, 1, 60000, 0, NUM_KEEP},
    {"dns-tries", 0, &Settings.dns_tries, 1, 10, 0, NUM_KEEP},
    {"dns-inflight", 0, &Settings.dns_inflight, 1, 10000, 0, NUM_KEEP},
    {"threads", 0, &Settings.threads, 1, 64, 0, NUM_KEEP},
};

struct FlagSetting {
  const char* keyword;
  uint8_t* field;
};

static const FlagSetting FLAGS[] = {
    {"translate", &Settings.translate},
    {"verbose", &Settings.verbose},
    {"private", &Settings.private_cache},
    {"exchange", &Settings.exchange},
    {"delete-input", &Settings.delete_input},
    {"verify", &Settings.verify},
    {"ipv6", &Settings.ipv6},
    {"skip-versions", &Settings.skip_versions},
};

struct Word {
  const char* text;
  int32_t value;
};

static const Word COMPRESS_WORDS[] = {
    {"yes", COMPRESS_GZIP}, {"on", COMPRESS_GZIP},  {"gzip", COMPRESS_GZIP},
    {"no", COMPRESS_NONE},  {"off", COMPRESS_NONE}, {"bzip2", COMPRESS_BZIP2},
    {nullptr, 0},
};

static const Word NEWLINE_WORDS[] = {
    {"mac", NEWLINE_MAC},
    {"unix", NEWLINE_UNIX},
    {"dos", NEWLINE_DOS},
    {nullptr, 0},
};

static const char* const USAGE_LINES[] = {
    "Usage 'Logvane <options> <log-file-list>'",
    "where <options> may include:",
    "  -help - display this message",
    "  -settings <config-file> - use the specified file as the config file.",
    "       This must be the first argument if used.",
    "  -translate - translate the log file",
    "  -verbose - display progress messages",
    "  -cache - <cache-file> specify where to save the DNS name cache file",
    "  -level <digit> - specify the compression level",
    "  -offset <amount> - offset times in the dnscache file by this amount",
    "  -divisor <amount> - divide times by this in the dnscache file",
    "  -good <days> - expire good lookups after N days",
    "  -failed <days> - expire failed lookups after N days",
    "  -retry <days> - retry failed lookups after N days",
    "  -normal - don't compress translated log files (default is GZip)",
    "  -bzip2 - compress translated log files using BZip2",
    "  -private - use a compressed dns cache file with extra information",
    "  -exchange - replace original log with translated result",
    "  -z <ticks> - Number of 1/60th secs between lookups",
    "  -mac - Macintosh style newlines",
    "  -unix - Unix (Linux, Sun) style newlines",
    "  -windows - Windows/DOS style newlines",
    "  -kill - delete input file after translation",
    "and <log-file-list> is a set of text files to lookup IP addresses from.",
};

void SettingsDefaults() {
  memset(&Settings, 0, sizeof Settings);
  Settings.compress = COMPRESS_GZIP;
  Settings.level = 9;
  Settings.interrupt = 30;
  Settings.divisor = 60;
  strcpy(Settings.cache_name, "dnscache");
  Settings.newlines = NEWLINE_UNIX;
  Settings.expire_good = 84;
  Settings.expire_failed = 126;
  Settings.retry_failed = 4;
  Settings.dns_inflight = DEFAULT_INFLIGHT;
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  Settings.threads = cpus < 1                     ? 1
                     : cpus > DEFAULT_THREADS_MAX ? DEFAULT_THREADS_MAX
                                                  : (int32_t)cpus;
  cachePath = Settings.cache_name;
}

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Optional '-', then digits up to the first non-digit. Saturates at the 32-bit
// limits, so that an overflow falls outside every range.
static int32_t ParseNumber(const char* text) {
  bool negative = *text == '-';
  if (negative) text++;
  int64_t n = 0;
  for (; IsDigit(*text); text++) {
    n = n * 10 + (*text - '0');
    if (n > (int64_t)INT32_MAX + 1) n = (int64_t)INT32_MAX + 1;
  }
  if (negative) return (int32_t)-n;
  return n > INT32_MAX ? INT32_MAX : (int32_t)n;
}

static bool InRange(int32_t n, const NumberSetting& s) {
  return (uint32_t)n >= s.lo && (uint32_t)n <= s.hi;
}

bool ParseFlag(const char* value, uint8_t* field) {
  if (!strcmp(value, "yes") || !strcmp(value, "on")) {
    *field = 1;
  } else if (!strcmp(value, "no") || !strcmp(value, "off")) {
    *field = 0;
  } else {
    return false;
  }
  return true;
}

static bool ParseWord(const char* value, const Word* words, int32_t* field) {
  for (; words->text; words++) {
    if (!strcmp(value, words->text)) {
      *field = words->value;
      return true;
    }
  }
  return false;
}

static bool FileNumber(const NumberSetting& s, const char* value) {
  if (!IsDigit(value[0]) && !(value[0] == '-' && (s.mode & NUM_SIGNED))) return false;
  int32_t n = ParseNumber(value);
  if (InRange(n, s)) {
    *s.field = n;
    return true;
  }
  if (!(s.mode & NUM_KEEP)) *s.field = s.fallback;
  return false;
}

// A list that does not fit is refused; a partial list is worse than none, and
// so is quietly asking other servers instead: the resolver refuses to start.
static bool DnsServers(const char* value) {
  Settings.dns_servers_bad = strlen(value) >= sizeof Settings.dns_servers;
  if (Settings.dns_servers_bad) return false;
  strcpy(Settings.dns_servers, value);
  return true;
}

// Stores one keyword's value; false when the line is invalid.
static bool ApplyKeyword(const char* keyword, const char* value) {
  for (const FlagSetting& f : FLAGS) {
    if (!strcmp(keyword, f.keyword)) return ParseFlag(value, f.field);
  }
  for (const NumberSetting& s : NUMBERS) {
    if (!strcmp(keyword, s.keyword)) return FileNumber(s, value);
  }
  if (!strcmp(keyword, "compress")) return ParseWord(value, COMPRESS_WORDS, &Settings.compress);
  if (!strcmp(keyword, "newlines")) return ParseWord(value, NEWLINE_WORDS, &Settings.newlines);
  if (!strcmp(keyword, "level")) {
    if (!IsDigit(value[0])) return false;
    Settings.level = value[0] - '0';
    return true;
  }
  if (!strcmp(keyword, "cache")) {
    snprintf(Settings.cache_name, sizeof Settings.cache_name, "%s", value);
    return true;
  }
  if (!strcmp(keyword, "dns-servers")) return DnsServers(value);
  return false;
}

// "keyword<blanks>value"; the value is kept verbatim, trailing blanks included.
static void ProcessLine(char* line) {
  size_t len = strlen(line);
  while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n')) line[--len] = 0;
  char* value = line + strcspn(line, " \t");
  if (*value) {
    *value++ = 0;
    value += strspn(value, " \t");
  }
  if (!*value || !ApplyKeyword(line, value)) {
    printf("Invalid configuration line '%s %s'!\n", line, value);
  }
}

void ReadSettingsFile(const char* name) {
  MemoryPool* pool = MPNew();
  InputFile* in = INOpenPath(name, pool);
  if (in) {
    char line[SETTINGS_LINE_SIZE];
    int32_t len;
    while ((len = INReadLine(line, sizeof line, nullptr, in)) > 0) {
      if (line[0] == '#') continue;
      // The reader has reported a cut line; none of it is taken, but a server
      // list that did not fit still counts as refused.
      if (INLineCut(line, len)) {
        if (!strncmp(line, "dns-servers", 11) && (line[11] == ' ' || line[11] == '\t'))
          Settings.dns_servers_bad = 1;
        continue;
      }
      ProcessLine(line);
    }
    INClose(in);
  }
  MPDelete(pool);
}

// Option letters without a value; false for any other letter.
static bool ApplySwitch(int letter) {
  switch (letter) {
    case 'b': Settings.compress = COMPRESS_BZIP2; return true;
    case 'e': Settings.exchange = 1; return true;
    case 'k': Settings.delete_input = 1; return true;
    case 'm': Settings.newlines = NEWLINE_MAC; return true;
    case 'n': Settings.compress = COMPRESS_NONE; return true;
    case 'p': Settings.private_cache = 1; return true;
    case 't': Settings.translate = 1; return true;
    case 'u': Settings.newlines = NEWLINE_UNIX; return true;
    case 'v': Settings.verbose = 1; return true;
    case 'w': Settings.newlines = NEWLINE_DOS; return true;
  }
  return false;
}

static const NumberSetting* NumberOption(int letter) {
  for (const NumberSetting& s : NUMBERS) {
    if (s.letter && s.letter == letter) return &s;
  }
  return nullptr;
}

// Number options take digits only: no negative values on the command line.
static bool OptionNumber(const NumberSetting& s, const char* value) {
  if (!IsDigit(value[0])) return false;
  int32_t n = ParseNumber(value);
  if (InRange(n, s)) {
    *s.field = n;
    return true;
  }
  *s.field = s.fallback;
  return !(s.mode & NUM_CMD_ERROR);
}

// Every option word by its name in the usage ("interrupt" is the unlisted i).
static const char* const OPTION_NAMES[] = {
    "help",    "?",    "settings", "translate", "verbose", "cache",     "level",   "offset",
    "divisor", "good", "failed",   "retry",     "normal",  "bzip2",     "private", "exchange",
    "z",       "mac",  "unix",     "windows",   "kill",    "interrupt",
};

bool IsOptionWord(const char* arg, const char* name) {
  if (arg[0] != '-' || arg[1] == 0) return false;
  for (arg++; *arg; arg++, name++) {
    if (*name == 0 || tolower((unsigned char)*arg) != *name) return false;
  }
  return true;
}

// The letter that names the option word arg; 0 for any other word.
static int OptionLetter(const char* arg) {
  for (const char* name : OPTION_NAMES) {
    if (IsOptionWord(arg, name)) return name[0];
  }
  return 0;
}

enum { OPTION_USAGE = -1, OPTION_INVALID = -2 };

// Applies one option; the count of arguments it used, or OPTION_USAGE or
// OPTION_INVALID. value is null when no argument follows.
static int ApplyOption(const char* option, const char* value) {
  int letter = OptionLetter(option);
  if (letter == 'h' || letter == '?') return OPTION_USAGE;
  if (ApplySwitch(letter)) return 1;
  const NumberSetting* number = NumberOption(letter);
  if ((!number && letter != 'c' && letter != 'l') || !value) return OPTION_INVALID;
  if (letter == 'c') {
    cachePath = value;
  } else if (letter == 'l') {
    if (!IsDigit(value[0]) || value[1]) return OPTION_INVALID;
    Settings.level = value[0] - '0';
  } else if (!OptionNumber(*number, value)) {
    return OPTION_INVALID;
  }
  return 2;
}

int ParseCommandLine(int* argc, char*** argv, const char** bad) {
  while (*argc > 1) {
    const char* option = (*argv)[1];
    if (option[0] != '-' || option[1] == 0) break;
    int used = ApplyOption(option, *argc > 2 ? (*argv)[2] : nullptr);
    if (used == OPTION_USAGE) return PARSE_USAGE;
    if (used == OPTION_INVALID) {
      *bad = option;
      return PARSE_INVALID;
    }
    *argv += used;
    *argc -= used;
  }
  return *argc > 1 ? PARSE_PROCEED : PARSE_USAGE;
}

void PrintNotice() {
  puts("Copyright (c) the Logvane authors.");
  puts("Resolves IP addresses in web-server logs to host names. Provided as is, without warranty.");
}

void PrintUsage(const char* bad) {
  if (bad) printf("Command line argument '%s' is invalid!\n", bad);
  puts("Logvane version " LOGVANE_VERSION);
  PrintNotice();
  for (const char* line : USAGE_LINES) puts(line);
}
