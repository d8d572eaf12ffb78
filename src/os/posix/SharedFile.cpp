#include "os/SharedFile.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "os/FileInfo.h"
#include "os/posix/Posix.h"

namespace Os {

namespace {

int openFlags(const SharedFileOptions& options) {
  return O_APPEND | O_CLOEXEC | (options.links == Links::kFollow ? 0 : O_NOFOLLOW);
}

// Opened with O_NONBLOCK, so that a FIFO without a reader fails at once
// instead of waiting for one; cleared once it is open, so that a write waits
// for the reader. The other opens here go without it: on a regular file it
// would turn a lease that another program holds into a failure instead of a
// short wait.
int openFifo(const std::string& path, const SharedFileOptions& options, SharedFile& file,
             Error& error) {
  file.readable = false;
  int descriptor = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | openFlags(options));
  if (descriptor < 0) {
    error = lastSystemError();
    return -1;
  }
  file.handle = handleOf(descriptor);
  int flags = ::fcntl(descriptor, F_GETFL);
  if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = lastSystemError();
    file.handle.close();
    return -1;
  }
  return 0;
}

bool isSymbolicLink(const std::string& path) {
  FileInfo info;
  Error ignored;
  return examineName(path, Links::kDoNotFollow, info, ignored) == 0 &&
         info.kind == FileKind::kSymbolicLink;
}

// Opens an existing file for reading and writing, or for what options allow
// instead. Returns the descriptor, or -1 with errno set.
int openExisting(const std::string& path, const SharedFileOptions& options, SharedFile& file) {
  file.readable = true;
  int descriptor = ::open(path.c_str(), O_RDWR | openFlags(options));
  if (descriptor < 0 && errno == EACCES && options.whenDenied != WhenReadWriteDenied::kFail) {
    file.readable = false;
    int access = options.whenDenied == WhenReadWriteDenied::kWriteOnly ? O_WRONLY : O_RDONLY;
    descriptor = ::open(path.c_str(), access | openFlags(options));
  }
  return descriptor;
}

// Creates the file, so that created tells whether this call made it. A
// symbolic link to a missing file creates that file, as an append always
// did. Returns the descriptor, or -1 with errno set.
int create(const std::string& path, const SharedFileOptions& options) {
  mode_t mode = modeOf(options.permissions);
  int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | openFlags(options), mode);
  if (descriptor < 0 && errno == EEXIST && options.links == Links::kFollow &&
      isSymbolicLink(path)) {
    descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | openFlags(options), mode);
  }
  return descriptor;
}

// The file under the name, created if options say so. The name may vanish
// and reappear between the attempts to open and to create it.
int openOrCreate(const std::string& path, const SharedFileOptions& options, SharedFile& file,
                 Error& error) {
  int descriptor = -1;
  for (int attempt = 0; attempt < 4 && descriptor < 0; ++attempt) {
    descriptor = openExisting(path, options, file);
    if (descriptor >= 0 || errno != ENOENT || !options.create) {
      break;
    }
    descriptor = create(path, options);
    file.created = descriptor >= 0;
    if (descriptor < 0 && errno != EEXIST) {
      break;
    }
  }
  if (descriptor < 0) {
    error = lastSystemError();
    return -1;
  }
  file.handle = handleOf(descriptor);
  return 0;
}

bool lockWaiting(int descriptor, int operation) {
  while (::flock(descriptor, operation) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

// What the name is decides how it is opened, where options ask for that: a
// FIFO is opened as one, anything but a regular file may be refused. A FIFO
// put under the name meanwhile is opened anew as one.
int openByKind(const std::string& path, const SharedFileOptions& options, SharedFile& file,
               Error& error) {
  FileInfo info;
  if (options.acceptFifo || options.regularOnly) {
    Error examined;
    if (examineName(path, options.links, info, examined) == 0) {
      if (options.acceptFifo && info.kind == FileKind::kFifo) {
        return openFifo(path, options, file, error);
      }
      if (options.regularOnly && info.kind != FileKind::kRegular) {
        error = Error{ErrorKind::kNotRegularFile, "not a regular file"};
        return -1;
      }
    } else if (options.regularOnly) {
      error = examined;
      return -1;
    }
  }
  if (openOrCreate(path, options, file, error) != 0) {
    return -1;
  }
  Error ignored;
  if (options.acceptFifo && examine(file.handle, info, ignored) == 0 &&
      info.kind == FileKind::kFifo) {
    file = SharedFile();
    return openFifo(path, options, file, error);
  }
  return 0;
}

}  // namespace

int openShared(const std::string& path, const SharedFileOptions& options, SharedFile& file,
               Error& error) {
  file = SharedFile();
  if (openByKind(path, options, file, error) != 0) {
    file = SharedFile();
    return -1;
  }
  return 0;
}

// flock, not fcntl: a lock of fcntl would be released by the close of any
// other descriptor of the file in this process, such as a reader's.
int lockForWriters(const FileHandle& file, const std::function<void()>& beforeWaiting,
                   Error& error) {
  int descriptor = descriptorOf(file);
  if (lockWaiting(descriptor, LOCK_EX | LOCK_NB)) {
    return 0;
  }
  if (errno == EWOULDBLOCK) {
    if (beforeWaiting) {
      beforeWaiting();
    }
    if (lockWaiting(descriptor, LOCK_EX)) {
      return 0;
    }
  }
  error = lastSystemError();
  return -1;
}

}  // namespace Os
