// File safety: every file the program opens by name, creates or replaces goes
// through here. Reads take only regular files and never block; new files are
// made beside their target, exclusively, never through a link, private until
// finished, and put in place by one rename. Paths are used as given, never cut.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

// An error code beside the errno values: the name is no regular file.
#define FS_NOT_REGULAR (-1)
// strerror, or a text for FS_NOT_REGULAR.
const char* FSErrorText(int err);

// Whether path names something other than a regular file (directory, FIFO,
// device, socket); false for a missing name.
bool FSNotAFile(const char* path);

// Opens an existing regular file for reading without blocking at any step,
// also when the name is swapped between the check and the open. nofollow: a
// link at the name is refused. Null with *err set otherwise; st (if given)
// describes what was opened.
FILE* FSOpenRead(const char* path, bool nofollow, struct stat* st, int* err);

// fopen-like reading open: failures other than a missing file go to perror.
FILE* OpenFile(const char* path, const char* mode, const char** err_text);

// Follows links at path while they belong to the running user; the name that
// is no link (or is missing) goes to *out. False (EACCES) at another's link.
bool FSResolveOwnLinks(const char* path, std::string* out, int* err);

// Whether path still names the file open at fd.
bool FSSameFile(const char* path, int fd);

// An exclusive lock on an open file; wait false gives up at once when taken.
bool FSLock(int fd, bool wait);

// The lock file "<target>.lock", made when missing (mode 0600; as root
// owned by owner/group). One owned by someone else than the running user or
// owner is replaced, not used. The descriptor, or -1 with *err set.
int FSOpenLock(const char* target, uid_t owner, gid_t group, int* err);

// A file being made beside its target.
struct FSTemp {
  int dir;             // the target's directory
  std::string target;  // the target's name in dir
  std::string name;    // the temporary's name in dir
  int fd;              // the temporary, open for writing
  bool installed;
};

// Creates the temporary: fixed (a path beside target) replaces a leftover of
// that name; null makes a unique name, clearing those killed writes left an
// hour ago. Mode 0600 until FSTempFinish. Fails when target exists as
// anything but a regular file or a link (FS_NOT_REGULAR in errno's place).
bool FSTempCreate(FSTemp* t, const char* target, const char* fixed, int* err);
// A stream writing to the temporary (its own descriptor, to close).
FILE* FSTempStream(FSTemp* t);
// Final mode and, as root, owner (-1: keep). A group or owner that cannot be
// given takes the group's (or group's and other's) bits off the mode.
bool FSTempFinish(FSTemp* t, mode_t mode, uid_t uid, gid_t gid);
// Syncs the temporary, renames it over the target and syncs the directory.
// backup: the previous target moves to "<target><backup>", a complete file
// standing under the target's name throughout.
bool FSTempInstall(FSTemp* t, const char* backup);
// Closes (after every FSTempCreate, failed or not); a temporary not installed
// is removed.
void FSTempClose(FSTemp* t);

// A private scratch file in $TMPDIR (or /tmp): created exclusively, never
// through a link, mode 0600, and unlinked at once, so that it goes with the
// descriptor however the run ends. The read-write descriptor, or -1 with
// errno set; *dir (if given) names the directory.
int FSPrivateTemp(const char** dir);

// Mode for a new file under the process's umask.
mode_t FSNewFileMode();

// Text for a file-manager error code; unlisted codes share one static buffer.
const char* OSErrorText(int16_t code);
