/* Preloaded into Morlund_MSSQL by tests: the n-th write to a file named
 * BEWDATA.dat puts half of its bytes on disk, waits (a slow, failing disk,
 * while other writers may run), then fails with EIO.
 *
 *   MORLUND_FAULT_WRITE_NUMBER    n, counted over writes to BEWDATA.dat
 *   MORLUND_FAULT_WRITE_STALL_MS  the wait before the failure
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*realWrite)(int, const void*, size_t);
  if (realWrite == NULL) {
    realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  }
  if (fd > 2 && isTransferFile(fd) && ++transferWrites == setting("MORLUND_FAULT_WRITE_NUMBER")) {
    realWrite(fd, buffer, count / 2);
    long stall = setting("MORLUND_FAULT_WRITE_STALL_MS");
    if (stall > 0) {
      struct timespec wait = {stall / 1000, (stall % 1000) * 1000000L};
      nanosleep(&wait, NULL);
    }
    errno = EIO;
    return -1;
  }
  return realWrite(fd, buffer, count);
}
