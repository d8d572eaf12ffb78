/* Preloaded into the programs by tests: faults of disk and file system that
 * only a real process can meet. Each is off unless its variable is set.
 *
 *   MORLUND_FAULT_WRITE_NUMBER    the write that carries the n-th line to a
 *                                 file named BEWDATA.dat puts the lines before
 *                                 it and half of that line on disk, waits,
 *                                 then fails with EIO (a slow, failing disk)
 *   MORLUND_FAULT_WRITE_STALL_MS  that wait
 *   MORLUND_FAULT_READ_STALL_MS   the first read of BEWDATA.dat by position
 *                                 waits this long after reading (another
 *                                 program may change the file meanwhile)
 *   MORLUND_FAULT_READ_STALL_SIGNAL  a file created when that wait begins
 *   MORLUND_FAULT_TRUNCATE_STALL_MS  the first ftruncate of BEWDATA.dat to a
 *                                 length other than 0 waits this long before
 *                                 truncating
 *   MORLUND_FAULT_TRUNCATE_STALL_SIGNAL  a file created when that wait begins
 *   MORLUND_FAULT_DIRECTORY_LOCK  flock on a directory fails with EBADF, as
 *                                 on NFS
 *   MORLUND_FAULT_SYNC_NUMBER     the n-th fdatasync of BEWDATA.dat fails
 *                                 with EIO (a disk that fails on writeback)
 *   MORLUND_FAULT_ARCHIVE_WRITE   every write to a file of the archive of sent
 *                                 lines (Morlund_MSSQL.archive.*) fails with
 *                                 ENOSPC (a full disk)
 *   MORLUND_FAULT_ARCHIVE_STALL   "write": the first write to an archive file
 *                                 waits before it writes; "sync": the first
 *                                 fdatasync of one waits after it synced
 *   MORLUND_FAULT_ARCHIVE_STALL_MS      that wait
 *   MORLUND_FAULT_ARCHIVE_STALL_SIGNAL  a file created when that wait begins
 *
 * Not a fault: with MORLUND_COUNT_SYNCS set to a file, the process appends
 * the number of its fsync and fdatasync calls to it as it exits.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static long transferLines;

static int isTransferFile(int fd) {
  char link[64];
  char target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) {
    return 0;
  }
  target[length] = '\0';
  const char* name = "/BEWDATA.dat";
  size_t nameLength = strlen(name);
  return (size_t)length >= nameLength && strcmp(target + length - nameLength, name) == 0;
}

// Whether fd is a file of the archive of sent lines.
static int isArchiveFile(int fd) {
  char link[64];
  char target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) {
    return 0;
  }
  target[length] = '\0';
  return strstr(target, "/Morlund_MSSQL.archive.") != NULL;
}

static long setting(const char* name) {
  const char* value = getenv(name);
  return value == NULL ? -1 : strtol(value, NULL, 10);
}

static void stall(long milliseconds) {
  if (milliseconds > 0) {
    struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&wait, NULL);
  }
}

static void* real(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

// Creates the signal file named by a variable, if set, and waits.
static void signalAndStall(const char* signalVariable, const char* stallVariable) {
  int savedErrno = errno;
  const char* signal = getenv(signalVariable);
  if (signal != NULL) {
    close(open(signal, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  }
  stall(setting(stallVariable));
  errno = savedErrno;
}

static size_t lineEnds(const char* bytes, size_t count) {
  size_t ends = 0;
  for (size_t i = 0; i < count; ++i) {
    ends += bytes[i] == '\n';
  }
  return ends;
}

// Where the n-th line starts in a write of count bytes, or -1 when it does
// not start there. Writes before this one ended with whole lines.
static ssize_t failingLineStart(const char* bytes, size_t count) {
  long failing = setting("MORLUND_FAULT_WRITE_NUMBER");
  long line = transferLines + 1;
  size_t lineStart = 0;
  for (size_t i = 0; i < count; ++i) {
    if (line == failing) {
      return (ssize_t)lineStart;
    }
    if (bytes[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  return -1;
}

// Whether the stall of MORLUND_FAULT_ARCHIVE_STALL is at this step, the
// first time.
static int archiveStallAt(const char* step) {
  static int stalled;
  const char* at = getenv("MORLUND_FAULT_ARCHIVE_STALL");
  if (stalled || at == NULL || strcmp(at, step) != 0) {
    return 0;
  }
  stalled = 1;
  return 1;
}

static ssize_t archiveWrite(ssize_t (*realWrite)(int, const void*, size_t), int fd,
                            const void* buffer, size_t count) {
  if (getenv("MORLUND_FAULT_ARCHIVE_WRITE") != NULL) {
    errno = ENOSPC;
    return -1;
  }
  if (archiveStallAt("write")) {
    signalAndStall("MORLUND_FAULT_ARCHIVE_STALL_SIGNAL", "MORLUND_FAULT_ARCHIVE_STALL_MS");
  }
  return realWrite(fd, buffer, count);
}

// As a disk that fails at the n-th line: the lines before it go out whole
// (a short write), then half of it, and the write fails after a wait.
ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*realWrite)(int, const void*, size_t);
  static int failed;
  if (realWrite == NULL) {
    realWrite = (ssize_t(*)(int, const void*, size_t))real("write");
  }
  if (fd > 2 && isArchiveFile(fd)) {
    return archiveWrite(realWrite, fd, buffer, count);
  }
  if (fd <= 2 || failed || !isTransferFile(fd)) {
    return realWrite(fd, buffer, count);
  }
  const char* bytes = buffer;
  ssize_t start = failingLineStart(bytes, count);
  if (start > 0) {
    count = (size_t)start;
  } else if (start == 0) {
    size_t length = 0;
    while (length < count && bytes[length] != '\n') {
      ++length;
    }
    realWrite(fd, buffer, (length + 1) / 2);
    stall(setting("MORLUND_FAULT_WRITE_STALL_MS"));
    failed = 1;
    errno = EIO;
    return -1;
  }
  ssize_t written = realWrite(fd, buffer, count);
  if (written > 0) {
    transferLines += (long)lineEnds(bytes, (size_t)written);
  }
  return written;
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  static ssize_t (*realPread)(int, void*, size_t, off_t);
  if (realPread == NULL) {
    realPread = (ssize_t(*)(int, void*, size_t, off_t))real("pread");
  }
  ssize_t result = realPread(fd, buffer, count, offset);
  static int stalled;
  if (!stalled && setting("MORLUND_FAULT_READ_STALL_MS") > 0 && isTransferFile(fd)) {
    stalled = 1;
    signalAndStall("MORLUND_FAULT_READ_STALL_SIGNAL", "MORLUND_FAULT_READ_STALL_MS");
  }
  return result;
}

int ftruncate(int fd, off_t length) {
  static int (*realFtruncate)(int, off_t);
  if (realFtruncate == NULL) {
    realFtruncate = (int (*)(int, off_t))real("ftruncate");
  }
  static int stalled;
  if (!stalled && length != 0 && setting("MORLUND_FAULT_TRUNCATE_STALL_MS") > 0 &&
      isTransferFile(fd)) {
    stalled = 1;
    signalAndStall("MORLUND_FAULT_TRUNCATE_STALL_SIGNAL", "MORLUND_FAULT_TRUNCATE_STALL_MS");
  }
  return realFtruncate(fd, length);
}

int ftruncate64(int fd, off_t length) {
  return ftruncate(fd, length);
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
  return pread(fd, buffer, count, offset);
}

static long syncCalls;

static void reportSyncs(void) {
  const char* path = getenv("MORLUND_COUNT_SYNCS");
  if (path == NULL) {
    return;
  }
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    char line[32];
    int length = snprintf(line, sizeof line, "%ld\n", syncCalls);
    if (length > 0) {
      ssize_t (*realWrite)(int, const void*, size_t) =
          (ssize_t(*)(int, const void*, size_t))real("write");
      realWrite(fd, line, (size_t)length);
    }
    close(fd);
  }
}

__attribute__((constructor)) static void countSyncsAtExit(void) {
  if (getenv("MORLUND_COUNT_SYNCS") != NULL) {
    atexit(reportSyncs);
  }
}

int fdatasync(int fd) {
  static int (*realFdatasync)(int);
  static long transferSyncs;
  if (realFdatasync == NULL) {
    realFdatasync = (int (*)(int))real("fdatasync");
  }
  ++syncCalls;
  if (setting("MORLUND_FAULT_SYNC_NUMBER") > 0 && isTransferFile(fd) &&
      ++transferSyncs == setting("MORLUND_FAULT_SYNC_NUMBER")) {
    errno = EIO;
    return -1;
  }
  int result = realFdatasync(fd);
  if (result == 0 && isArchiveFile(fd) && archiveStallAt("sync")) {
    signalAndStall("MORLUND_FAULT_ARCHIVE_STALL_SIGNAL", "MORLUND_FAULT_ARCHIVE_STALL_MS");
  }
  return result;
}

int fsync(int fd) {
  static int (*realFsync)(int);
  if (realFsync == NULL) {
    realFsync = (int (*)(int))real("fsync");
  }
  ++syncCalls;
  return realFsync(fd);
}

int flock(int fd, int operation) {
  static int (*realFlock)(int, int);
  if (realFlock == NULL) {
    realFlock = (int (*)(int, int))real("flock");
  }
  struct stat info;
  if (getenv("MORLUND_FAULT_DIRECTORY_LOCK") != NULL && fstat(fd, &info) == 0 &&
      S_ISDIR(info.st_mode)) {
    errno = EBADF;
    return -1;
  }
  return realFlock(fd, operation);
}
