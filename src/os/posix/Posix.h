#pragma once

#include <sys/types.h>

#include "os/Error.h"
#include "os/FileHandle.h"
#include "os/FileOpening.h"

// What the POSIX implementation of the layer shares among its files.
namespace Os {

// The Error of a failed system call from its errno value: its kind, and
// strerror's text as its cause.
Error systemError(int errorNumber);

// The Error of the system call that failed last (errno now).
Error lastSystemError();

// The descriptor a handle holds.
inline int descriptorOf(const FileHandle& file) {
  return static_cast<int>(file.native());
}

inline FileHandle handleOf(int descriptor) {
  return FileHandle(descriptor);
}

// The mode bits that give a file created these permissions.
mode_t modeOf(Permissions permissions);

}  // namespace Os
