#pragma once

#include <cstdint>

#include "os/Error.h"

namespace Os {

// An open file of the layer, closed when the handle goes. What it holds is
// the system's own handle (a descriptor on POSIX, a HANDLE on Windows), which
// only the layer's implementation looks at.
class FileHandle {
 public:
  static constexpr intptr_t kNone = -1;

  FileHandle() = default;
  explicit FileHandle(intptr_t native) : native_(native) {}
  FileHandle(FileHandle&& other) noexcept : native_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      close();
      native_ = other.release();
    }
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { close(); }

  bool isOpen() const { return native_ != kNone; }
  intptr_t native() const { return native_; }

  // Closes the file, if open; a failure is dropped (see closeFile).
  void close();

  // Hands the system's handle over without closing it; the handle is then
  // empty.
  intptr_t release() {
    intptr_t native = native_;
    native_ = kNone;
    return native;
  }

 private:
  intptr_t native_ = kNone;
};

// Closes the file and says whether that worked: on some file systems the
// close is where a failed write shows. Returns 0, or -1 with error set; the
// handle is closed either way.
int closeFile(FileHandle& file, Error& error);

}  // namespace Os
