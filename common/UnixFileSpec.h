// Opening input files by name, with links resolved to the canonical path.
#pragma once
#include <cstdint>
#include <cstdio>

#define FILESPEC_SIZE 1024

class FileSpec {
 public:
  FileSpec();                      // "./"
  explicit FileSpec(const char* p);
  ~FileSpec();
  void Set(const char* p);         // cut at 1,023 characters
  char path[FILESPEC_SIZE];
};

// Text for a file-manager error code; unlisted codes share one static buffer.
const char* OSErrorText(int16_t code);
// Rewrites path (1,024 bytes) to the canonical absolute path of what it names.
void ResolveAlias(char* path, bool add_slash);
// fopen after ResolveAlias; failures other than a missing file go to perror.
FILE* OpenFile(char* path, const char* mode, const char** err_text);
// A private scratch file in $TMPDIR (or /tmp): created exclusively, never
// through a link, mode 0600, and unlinked at once, so that it goes with the
// descriptor however the run ends. The read-write descriptor, or -1 with
// errno set; *dir (if given) names the directory.
int CreatePrivateTemp(const char** dir);
