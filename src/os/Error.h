#pragma once

#include <string>

// How a call of the operating-system layer failed. Every function of the
// layer that can fail returns a negative status and fills an Error: its kind
// for the caller's decisions, its cause as the text an operator reads (the
// system's own text, as strerror gives it on POSIX). Nothing of the system's
// error numbers leaves the layer.
namespace Os {

enum class ErrorKind {
  kNone,            // no failure
  kNotFound,        // no file (or directory on the way) by that name
  kExists,          // a file of that name exists already
  kAccessDenied,    // the permissions refuse it
  kNotRegularFile,  // a directory, FIFO, device or link where a regular file is needed
  kAnotherFileNow,  // the name no longer names the file meant (it was taken away)
  kUnsupported,     // the file or its file system cannot do it
  kWouldBlock,      // another process holds it
  kOther,
};

struct Error {
  ErrorKind kind = ErrorKind::kNone;
  std::string cause;
};

}  // namespace Os
