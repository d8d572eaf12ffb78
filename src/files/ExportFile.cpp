#include "files/ExportFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "files/DirectoryEntry.h"
#include "files/ErrorOutput.h"

namespace ExportFile {

namespace {

// Closes the descriptor when the append is done, whichever way it ends.
struct OpenFile {
  int fd = -1;
  bool created = false;  // this call made the file's directory entry
  bool readable = false;
  void close() {
    if (fd >= 0) {
      ::close(fd);
    }
    fd = -1;
    created = false;
    readable = false;
  }
  ~OpenFile() { close(); }
};

int openWith(const std::string& path, int flags) {
  return ::open(path.c_str(), flags | O_APPEND | O_CLOEXEC, 0666);
}

// A FIFO is only taken with a reader at its other end: a line written into a
// pipe nobody reads would be counted and lost. Only here is O_NONBLOCK used;
// on a regular file it would turn a lease that another program holds into
// a failure instead of a short wait.
bool openFifo(const std::string& path, OpenFile& file) {
  file.readable = false;
  file.fd = openWith(path, O_WRONLY | O_NONBLOCK);
  if (file.fd < 0) {
    return false;
  }
  int flags = ::fcntl(file.fd, F_GETFL);
  return flags >= 0 && ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Opens for appending, and for reading where allowed so that a torn end can
// be found. Whether the file was created here decides whether its directory
// must be synced. A symbolic link to a missing file creates that file, as an
// append always did.
bool openTransferFile(const std::string& path, OpenFile& file) {
  struct stat named {};
  if (::stat(path.c_str(), &named) == 0 && S_ISFIFO(named.st_mode)) {
    return openFifo(path, file);
  }
  for (int attempt = 0; attempt < 4 && file.fd < 0; ++attempt) {
    file.readable = true;
    file.fd = openWith(path, O_RDWR);
    if (file.fd < 0 && errno == EACCES) {
      file.readable = false;
      file.fd = openWith(path, O_WRONLY);
    }
    if (file.fd >= 0 || errno != ENOENT) {
      break;
    }
    file.fd = openWith(path, O_RDWR | O_CREAT | O_EXCL);
    struct stat link {};
    if (file.fd < 0 && errno == EEXIST && ::lstat(path.c_str(), &link) == 0 &&
        S_ISLNK(link.st_mode)) {
      file.fd = openWith(path, O_RDWR | O_CREAT);
    }
    file.created = file.fd >= 0;
    if (file.fd < 0 && errno != EEXIST) {
      break;
    }
  }
  struct stat opened {};
  if (file.fd >= 0 && ::fstat(file.fd, &opened) == 0 && S_ISFIFO(opened.st_mode)) {
    file.close();
    return openFifo(path, file);
  }
  return file.fd >= 0;
}

// A new file's name is durable only once the directory that holds it (the
// one a symbolic link leads to) is synced. A file system that cannot sync a
// directory has done all it can.
int syncNewName(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  int result = DirectoryEntry::syncDirectoryOf(resolved != nullptr ? resolved : path);
  int savedErrno = errno;
  std::free(resolved);
  errno = savedErrno;
  return result == 0 || errno == EINVAL || errno == ENOTSUP ? 0 : -1;
}

// Other writers of this tool (a second pass, a second installation with the
// same target) wait for their turn; the payroll side does not lock and is
// not held up. A file system that cannot lock is written without.
void takeTurn(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      return;
    }
  }
}

// A last line without its line feed was being written when its writer died
// (or its cut-back failed); its booking was never marked, so the line goes
// and the next pass writes it again. Without a line feed within the longest
// line's reach the text is not ours: it is closed with a line feed instead.
// size is the file's size, updated. Returns 0, or -1 with errno set.
int repairTornEnd(int fd, off_t& size) {
  std::string tail;
  off_t start = 0;
  // The payroll side may empty the file meanwhile; then look again.
  for (int attempt = 0;; ++attempt) {
    if (size == 0) {
      return 0;
    }
    size_t window = static_cast<size_t>(std::min<off_t>(size, kLongestLineBytes));
    tail.assign(window, '\0');
    start = size - static_cast<off_t>(window);
    if (::pread(fd, tail.data(), window, start) == static_cast<ssize_t>(window)) {
      break;
    }
    struct stat now {};
    if (attempt == 2 || ::fstat(fd, &now) != 0) {
      return -1;
    }
    size = now.st_size;
  }
  if (tail.back() == '\n') {
    return 0;
  }
  size_t lineFeed = tail.rfind('\n');
  if (lineFeed != std::string::npos || size < static_cast<off_t>(kLongestLineBytes)) {
    off_t kept = lineFeed == std::string::npos ? 0 : start + static_cast<off_t>(lineFeed) + 1;
    if (::ftruncate(fd, kept) != 0) {
      return -1;
    }
    size = kept;
    return 0;
  }
  if (::write(fd, "\n", 1) != 1) {
    return -1;
  }
  ++size;
  return 0;
}

// Takes back what reached the file of a line that failed, but never more
// than that line and never by making the file longer: the payroll side may
// have emptied the file meanwhile.
void cutBack(int fd, off_t sizeBefore) {
  struct stat now {};
  if (::fstat(fd, &now) == 0 && now.st_size > sizeBefore && ::ftruncate(fd, sizeBefore) == 0) {
    ::fdatasync(fd);
  }
}

}  // namespace

// A booking is marked transferred only after its line is here, so the line
// must be on disk, under a durable name, before this returns success.
int appendLine(const std::string& path, std::string_view text) {
  OpenFile file;
  for (int attempt = 0;; ++attempt) {
    if (!openTransferFile(path, file)) {
      ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot open the transfer file %s: %s",
                          path.c_str(), std::strerror(errno));
      return -1;
    }
    takeTurn(file.fd);
    // The payroll side may have taken the file away (deleted or renamed it)
    // during the wait; a line written into the file it took could go unread.
    if (DirectoryEntry::namesOpenFile(path, file.fd) || attempt == 3) {
      break;
    }
    file.close();
  }
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot examine the transfer file %s: %s",
                        path.c_str(), std::strerror(errno));
    return -1;
  }
  bool regular = S_ISREG(info.st_mode);
  off_t sizeBefore = info.st_size;
  if (regular && file.readable && repairTornEnd(file.fd, sizeBefore) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "cannot repair the torn last line of the transfer file %s: %s",
                        path.c_str(), std::strerror(errno));
    return -1;
  }

  ssize_t written;
  do {
    written = ::write(file.fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  const char* failure = nullptr;
  int failureErrno = errno;
  if (written != static_cast<ssize_t>(text.size())) {
    failure = "write";
    if (written >= 0) {
      failureErrno = ENOSPC;
    }
  } else if (::fdatasync(file.fd) != 0 && !(errno == EINVAL && !regular)) {
    // A device or pipe that cannot sync has taken the whole line.
    failure = "fdatasync";
    failureErrno = errno;
  } else if (file.created && syncNewName(path) != 0) {
    failure = "sync of the directory of";
    failureErrno = errno;
  }
  if (failure != nullptr) {
    if (regular) {
      cutBack(file.fd, sizeBefore);
    }
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "%s failed on the transfer file %s: %s (%zd of %zu bytes written)", failure,
                        path.c_str(), std::strerror(failureErrno), written < 0 ? 0 : written,
                        text.size());
    return -1;
  }
  return 0;
}

// A file created here gets a durable name at once: the lines that follow
// count as written only once their file cannot vanish with a power loss.
int testAppend(const std::string& path) {
  OpenFile file;
  if (!openTransferFile(path, file)) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot create the transfer file %s: %s",
                        path.c_str(), std::strerror(errno));
    return -1;
  }
  if (file.created && syncNewName(path) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "cannot sync the directory of the transfer file %s: %s", path.c_str(),
                        std::strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace ExportFile
