/* Preloaded into the programs by tests: faults of disk and file system that
 * only a real process can meet. Each is off unless its variable is set.
 *
 *   MORLUND_FAULT_WRITE_NUMBER    the n-th write to a file named BEWDATA.dat
 *                                 puts half of its bytes on disk, waits, then
 *                                 fails with EIO (a slow, failing disk)
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

static long transferWrites;

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

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*realWrite)(int, const void*, size_t);
  if (realWrite == NULL) {
    realWrite = (ssize_t(*)(int, const void*, size_t))real("write");
  }
  if (fd > 2 && isTransferFile(fd) && ++transferWrites == setting("MORLUND_FAULT_WRITE_NUMBER")) {
    realWrite(fd, buffer, count / 2);
    stall(setting("MORLUND_FAULT_WRITE_STALL_MS"));
    errno = EIO;
    return -1;
  }
  return realWrite(fd, buffer, count);
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
