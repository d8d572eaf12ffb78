#include "files/ExportFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// Bytes the repair touched, for the operator: printable ASCII as it is,
// anything else as \xNN, and a long text by its two ends.
std::string excerpt(std::string_view bytes) {
  const size_t kEnd = 24;
  auto escaped = [](std::string_view part) {
    std::string text;
    for (unsigned char c : part) {
      if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
        text += static_cast<char>(c);
      } else {
        char code[5];
        std::snprintf(code, sizeof code, "\\x%02X", c);
        text += code;
      }
    }
    return text;
  };
  if (bytes.size() <= 2 * kEnd) {
    return '"' + escaped(bytes) + '"';
  }
  return '"' + escaped(bytes.substr(0, kEnd)) + "\"...\"" +
         escaped(bytes.substr(bytes.size() - kEnd)) + '"';
}

// Whether bytes [0, length) of the file are all zero: what a truncation
// that extended an emptied file leaves.
bool onlyZeroBytes(int fd, off_t length) {
  char block[4096];
  for (off_t at = 0; at < length;) {
    size_t wanted = static_cast<size_t>(std::min<off_t>(length - at, sizeof block));
    ssize_t got = ::pread(fd, block, wanted, at);
    if (got <= 0) {
      return false;
    }
    for (ssize_t i = 0; i < got; ++i) {
      if (block[i] != '\0') {
        return false;
      }
    }
    at += got;
  }
  return true;
}

// The payroll side may empty the file between the size check and the
// truncation, which then makes the emptied file `kept` bytes of zeros. The
// bytes kept of the tail tell: if they are gone, the file goes back to empty.
void undoPadding(int fd, off_t start, std::string_view keptOfTail) {
  if (keptOfTail.empty()) {
    return;
  }
  std::string now(keptOfTail.size(), '\0');
  ssize_t got = ::pread(fd, now.data(), now.size(), start);
  off_t kept = start + static_cast<off_t>(keptOfTail.size());
  if (got == static_cast<ssize_t>(now.size()) && now != keptOfTail && onlyZeroBytes(fd, kept)) {
    ::ftruncate(fd, 0);
  }
}

}  // namespace

TornEnd judgeTornEnd(std::string_view tail, off_t size) {
  TornEnd judged;
  if (tail.empty() || tail.back() == '\n') {
    return judged;
  }
  size_t lineFeed = tail.rfind('\n');
  if (lineFeed != std::string_view::npos || size < static_cast<off_t>(kLongestLineBytes)) {
    judged.kind = TornEnd::kCutFragment;
    judged.keptTailBytes = lineFeed == std::string_view::npos ? 0 : lineFeed + 1;
  } else {
    judged.kind = TornEnd::kCloseForeignText;
  }
  return judged;
}

namespace {

// A last line without its line feed was being written when its writer died
// (or its cut-back failed); its booking was never marked, so the line goes
// and the next pass writes it again. Without a line feed within the longest
// line's reach the text is not ours: it is closed with a line feed instead.
// Either is said on standard error, with the bytes concerned.
//
// The payroll side does not lock: it may empty the file while its end is
// read. The file is acted on only while it is still the size that was read,
// and what the truncation or the closing line feed left is checked after:
// an emptied file stays empty, never zero bytes or a lone line feed.
//
// size is the file's size, updated. Returns 0, or -1 with cause set.
int repairTornEnd(int fd, const std::string& path, off_t& size, std::string& cause) {
  std::string tail;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (size == 0) {
      return 0;
    }
    size_t window = static_cast<size_t>(std::min<off_t>(size, kLongestLineBytes));
    tail.assign(window, '\0');
    off_t start = size - static_cast<off_t>(window);
    ssize_t got = ::pread(fd, tail.data(), window, start);
    if (got < 0) {
      cause = std::strerror(errno);
      return -1;
    }
    struct stat now {};
    if (::fstat(fd, &now) != 0) {
      cause = std::strerror(errno);
      return -1;
    }
    if (got != static_cast<ssize_t>(window) || now.st_size != size) {
      size = now.st_size;
      continue;
    }
    TornEnd judged = judgeTornEnd(tail, size);
    if (judged.kind == TornEnd::kWhole) {
      return 0;
    }
    if (judged.kind == TornEnd::kCutFragment) {
      size_t cut = judged.keptTailBytes;
      off_t kept = start + static_cast<off_t>(cut);
      if (::ftruncate(fd, kept) != 0) {
        cause = std::strerror(errno);
        return -1;
      }
      undoPadding(fd, start, std::string_view(tail).substr(0, cut));
      size = ::fstat(fd, &now) == 0 ? now.st_size : kept;
      ErrorOutput::report(ErrorOutput::Priority::kWarning,
                          "removed an unfinished last line from the transfer file %s: %zu bytes "
                          "without a line feed, %s",
                          path.c_str(), window - cut,
                          excerpt(std::string_view(tail).substr(cut)).c_str());
      return 0;
    }
    if (::write(fd, "\n", 1) != 1) {
      cause = std::strerror(errno);
      return -1;
    }
    ++size;
    if (::fstat(fd, &now) == 0 && now.st_size == 1) {
      ::ftruncate(fd, 0);  // emptied meanwhile: the line feed began a new file
      size = 0;
    }
    ErrorOutput::report(
        ErrorOutput::Priority::kWarning,
        "closed the last line of the transfer file %s with a line feed: its last "
        "%zu bytes held none, ending %s",
        path.c_str(), window,
        excerpt(std::string_view(tail).substr(window - std::min<size_t>(window, 48))).c_str());
    return 0;
  }
  cause = "the file kept changing size while its end was read";
  return -1;
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
  std::vector<std::string> lines = {std::string(text)};
  return appendLines(path, lines, nullptr) == 1 ? 0 : -1;
}

// All lines go out with one write and one sync under one turn. A write that
// stops part-way keeps the lines it completed, once they are synced, and
// takes back the rest: the caller marks what came back as durable, and the
// first line it did not get stops the pass. A failed sync takes back all.
size_t appendLines(const std::string& path, const std::vector<std::string>& lines,
                   const BeforeAppend& beforeAppend) {
  if (lines.empty()) {
    return 0;
  }
  OpenFile file;
  for (int attempt = 0;; ++attempt) {
    if (!openTransferFile(path, file)) {
      ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot open the transfer file %s: %s",
                          path.c_str(), std::strerror(errno));
      return 0;
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
    return 0;
  }
  bool regular = S_ISREG(info.st_mode);
  off_t sizeBefore = info.st_size;
  std::string cause;
  if (regular && file.readable && repairTornEnd(file.fd, path, sizeBefore, cause) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "cannot repair the torn last line of the transfer file %s: %s",
                        path.c_str(), cause.c_str());
    return 0;
  }
  if (beforeAppend && beforeAppend(info, sizeBefore) != 0) {
    return 0;
  }

  std::string text;
  for (const std::string& line : lines) {
    text += line;
  }
  // A short write is followed by one for the rest: it either completes the
  // lines or fails with the real cause.
  size_t written = 0;
  const char* failure = nullptr;
  while (written < text.size()) {
    ssize_t result = ::write(file.fd, text.data() + written, text.size() - written);
    if (result > 0) {
      written += static_cast<size_t>(result);
    } else if (result == 0 || errno != EINTR) {
      failure = "write";
      cause = result == 0 ? "the file took no more bytes" : std::strerror(errno);
      break;
    }
  }
  // The lines the write completed, and the bytes they take.
  size_t whole = 0;
  size_t wholeBytes = 0;
  while (whole < lines.size() && wholeBytes + lines[whole].size() <= written) {
    wholeBytes += lines[whole++].size();
  }
  if (failure != nullptr) {
    size_t partBytes = whole < lines.size() ? lines[whole].size() : 0;
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "%s failed on the transfer file %s: %s (%zu of %zu bytes written)", failure,
                        path.c_str(), cause.c_str(), written - wholeBytes, partBytes);
    if (regular) {
      cutBack(file.fd, sizeBefore + static_cast<off_t>(wholeBytes));
    }
    if (whole == 0) {
      return 0;
    }
  }
  failure = nullptr;
  if (::fdatasync(file.fd) != 0 && !(errno == EINVAL && !regular)) {
    // A device or pipe that cannot sync has taken the whole line.
    failure = "fdatasync";
    cause = std::strerror(errno);
  } else if (file.created && syncNewName(path) != 0) {
    failure = "sync of the directory of";
    cause = std::strerror(errno);
  }
  if (failure != nullptr) {
    if (regular) {
      cutBack(file.fd, sizeBefore);
    }
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "%s failed on the transfer file %s: %s (%zu of %zu bytes written)", failure,
                        path.c_str(), cause.c_str(), wholeBytes, wholeBytes);
    return 0;
  }
  return whole;
}

int syncWrittenFile(const std::string& path, uint64_t device, uint64_t inode) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    return -1;
  }
  struct stat opened {};
  int result = ::fstat(fd, &opened);
  if (result == 0 && (static_cast<uint64_t>(opened.st_dev) != device ||
                      static_cast<uint64_t>(opened.st_ino) != inode)) {
    errno = ESTALE;
    result = -1;
  }
  if (result == 0) {
    result = ::fdatasync(fd) == 0 ? syncNewName(path) : -1;
  }
  int savedErrno = errno;
  ::close(fd);
  errno = savedErrno;
  return result;
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

// The payroll side takes the file whole: under the writers' turn no line
// is half-written, and a writer that waited for the turn finds the name
// gone and starts a new file. The name must not replace a file taken
// earlier and not yet read. A torn end left by a writer that died is
// repaired first, as a pass would, so the file taken holds whole lines.
int takeFile(const std::string& path, const std::string& destination, std::string& cause) {
  OpenFile file;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 4) {
      cause = "it was replaced again and again while waiting for the writers' turn";
      return -1;
    }
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0) {
      if (errno == ENOENT) {
        return kNothingToTake;
      }
      cause = std::strerror(errno);
      return -1;
    }
    if (!S_ISREG(named.st_mode)) {
      cause = "not a regular file";
      return -1;
    }
    file.readable = true;
    file.fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (file.fd < 0 && errno == EACCES) {
      file.readable = false;
      file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (file.fd < 0) {
      if (errno == ENOENT) {
        continue;
      }
      cause = std::strerror(errno);
      return -1;
    }
    takeTurn(file.fd);
    if (DirectoryEntry::namesOpenFile(path, file.fd)) {
      break;
    }
    file.close();
  }
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) {
    cause = std::strerror(errno);
    return -1;
  }
  off_t size = info.st_size;
  if (file.readable && repairTornEnd(file.fd, path, size, cause) != 0) {
    cause = "cannot repair its torn last line: " + cause;
    return -1;
  }
  if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) != 0) {
    // A file system without that flag: a link never replaces either.
    if (errno != EINVAL && errno != ENOSYS) {
      if (errno == EEXIST) {
        return kDestinationExists;
      }
      cause = std::strerror(errno);
      return -1;
    }
    if (::link(path.c_str(), destination.c_str()) != 0) {
      if (errno == EEXIST) {
        return kDestinationExists;
      }
      cause = std::strerror(errno);
      return -1;
    }
    if (::unlink(path.c_str()) != 0) {
      cause = std::string("it is now also ") + destination +
              ", but its old name could not be removed: " + std::strerror(errno);
      return -1;
    }
  }
  for (const std::string& name : {destination, path}) {
    if (DirectoryEntry::syncDirectoryOf(name) != 0 && errno != EINVAL && errno != ENOTSUP) {
      cause = std::string("it is now ") + destination + ", but the directory of " + name +
              " could not be synced: " + std::strerror(errno);
      return -1;
    }
  }
  return kTaken;
}

}  // namespace ExportFile
