#pragma once

#include <functional>
#include <string>

#include "os/Error.h"
#include "os/FileHandle.h"
#include "os/FileOpening.h"

// Files that several processes use at once: the transfer file, which the
// payroll side reads, empties, renames and removes while passes append to
// it; the run log, which installations that share a log directory append to
// and rotate; the journal of written bookings. Each is opened by name for
// appending, and writers of this tool take turns on it under the writers'
// lock, which only they take: readers are never held up.
namespace Os {

// What is opened instead when reading and writing is denied.
enum class WhenReadWriteDenied {
  kFail,
  kWriteOnly,  // an appender that does without reading the file
  kReadOnly,   // a taker that does without writing it
};

// How a shared file is opened.
struct SharedFileOptions {
  bool create = true;  // a missing file is created; else kNotFound
  Links links = Links::kFollow;
  Permissions permissions = Permissions::kShared;  // of a file created
  WhenReadWriteDenied whenDenied = WhenReadWriteDenied::kWriteOnly;
  // Anything but a regular file under the name is refused (kNotRegularFile).
  bool regularOnly = false;
  // A FIFO under the name is opened for writing only, and only while a
  // reader is at its other end: a line written into a pipe nobody reads
  // would be lost. (Not with regularOnly.)
  bool acceptFifo = false;
  // A file the writers' lock cannot be taken on is refused (kNotLocked);
  // else it is used without the lock.
  bool lockRequired = false;
  // Called once before waiting for the writers' lock that another process
  // holds; may be empty.
  std::function<void()> beforeWaiting;
};

struct SharedFile {
  FileHandle handle;
  bool readable = false;  // open for reading too
  bool created = false;   // this call made the file (its name is not yet durable)
  bool named = false;     // the name still named the file once the lock was held
};

// Opens path as options say, without the writers' lock. Returns 0, or -1
// with error set and file empty.
int openShared(const std::string& path, const SharedFileOptions& options, SharedFile& file,
               Error& error);

// Results of openForAppending.
inline constexpr int kOpened = 0;
inline constexpr int kNotOpened = -1;
inline constexpr int kNotLocked = -2;

// Opens path for appending and takes the writers' lock on it. Another
// process may take the file away (rename or remove it, or rename another
// over it) while this one waits for the lock; a line then written would go
// to a file nobody reads any more. So once the lock is held, the name must
// still name the file, or the file is closed and the name opened anew, up to
// four times; after the fourth, the file opened last is kept with named
// false. Returns kOpened, kNotOpened with error set, or kNotLocked with
// error set (only with lockRequired).
int openForAppending(const std::string& path, const SharedFileOptions& options, SharedFile& file,
                     Error& error);

// Takes the writers' lock on file for as long as it stays open, waiting for
// another process that holds it (beforeWaiting, if set, is called first).
// Returns 0, or -1 with error set: a file system that cannot lock.
int lockForWriters(const FileHandle& file, const std::function<void()>& beforeWaiting,
                   Error& error);

}  // namespace Os
