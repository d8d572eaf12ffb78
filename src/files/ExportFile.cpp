#include "files/ExportFile.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "files/ErrorOutput.h"
#include "os/DirectoryEntry.h"
#include "os/FileData.h"
#include "os/FileInfo.h"
#include "os/FileOpening.h"
#include "os/Paths.h"
#include "os/SharedFile.h"

namespace ExportFile {

namespace {

// Opened for appending, and for reading where allowed so that a torn end can
// be found. A FIFO is only taken with a reader at its other end: a line
// written into a pipe nobody reads would be counted and lost.
Os::SharedFileOptions writerOptions() {
  Os::SharedFileOptions options;
  options.acceptFifo = true;
  return options;
}

// The payroll side's taker moves only a regular file, never through a
// symbolic link, and needs no write access to the file to move it.
Os::SharedFileOptions takerOptions() {
  Os::SharedFileOptions options;
  options.create = false;
  options.links = Os::Links::kDoNotFollow;
  options.whenDenied = Os::WhenReadWriteDenied::kReadOnly;
  options.regularOnly = true;
  return options;
}

// A new file's name is durable only once the directory that holds it (the
// one a symbolic link leads to) is synced. Returns 0, or -1 with error set.
int syncNewName(const std::string& path, Os::Error& error) {
  std::string resolved;
  Os::Error unresolved;
  if (Os::resolvePath(path, resolved, unresolved) != 0) {
    resolved = path;
  }
  return Os::syncDirectoryOf(resolved, error);
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
bool onlyZeroBytes(const Os::FileHandle& file, int64_t length) {
  char block[4096];
  Os::Error error;
  for (int64_t at = 0; at < length;) {
    size_t wanted = static_cast<size_t>(std::min<int64_t>(length - at, sizeof block));
    size_t got = 0;
    if (Os::readAt(file, at, block, wanted, got, error) != 0 || got == 0) {
      return false;
    }
    for (size_t i = 0; i < got; ++i) {
      if (block[i] != '\0') {
        return false;
      }
    }
    at += static_cast<int64_t>(got);
  }
  return true;
}

// The payroll side may empty the file between the size check and the
// truncation, which then makes the emptied file `kept` bytes of zeros. The
// bytes kept of the tail tell: if they are gone, the file goes back to empty.
void undoPadding(const Os::FileHandle& file, int64_t start, std::string_view keptOfTail) {
  if (keptOfTail.empty()) {
    return;
  }
  std::string now(keptOfTail.size(), '\0');
  size_t got = 0;
  Os::Error error;
  int64_t kept = start + static_cast<int64_t>(keptOfTail.size());
  if (Os::readAt(file, start, now.data(), now.size(), got, error) == 0 && got == now.size() &&
      now != keptOfTail && onlyZeroBytes(file, kept)) {
    Os::truncate(file, 0, error);
  }
}

// The last bytes of the transfer file, as the repair read them.
struct FileEnd {
  std::string tail;   // up to the longest line
  int64_t start = 0;  // where tail starts in the file
};

// Reads the file's end while it is still size bytes long. Returns 1 when
// read, 0 when the size changed meanwhile (size is then the new one), or -1
// with cause set.
int readEnd(const Os::FileHandle& file, int64_t& size, FileEnd& end, std::string& cause) {
  size_t window = static_cast<size_t>(std::min<int64_t>(size, kLongestLineBytes));
  end.tail.assign(window, '\0');
  end.start = size - static_cast<int64_t>(window);
  size_t got = 0;
  Os::FileInfo now;
  Os::Error error;
  if (Os::readAt(file, end.start, end.tail.data(), window, got, error) != 0 ||
      Os::examine(file, now, error) != 0) {
    cause = error.cause;
    return -1;
  }
  if (got != window || now.size != size) {
    size = now.size;
    return 0;
  }
  return 1;
}

// Cuts the last line back to the line feed before it (cut bytes of the tail
// stay). size is updated. Returns 0, or -1 with cause set.
int cutFragment(const Os::FileHandle& file, const std::string& path, const FileEnd& end, size_t cut,
                int64_t& size, std::string& cause) {
  int64_t kept = end.start + static_cast<int64_t>(cut);
  Os::Error error;
  if (Os::truncate(file, kept, error) != 0) {
    cause = error.cause;
    return -1;
  }
  std::string_view tail = end.tail;
  undoPadding(file, end.start, tail.substr(0, cut));
  Os::FileInfo now;
  size = Os::examine(file, now, error) == 0 ? now.size : kept;
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "removed an unfinished last line from the transfer file %s: %zu bytes "
                      "without a line feed, %s",
                      path.c_str(), tail.size() - cut, excerpt(tail.substr(cut)).c_str());
  return 0;
}

// Closes foreign text at the end with a line feed. size is updated. Returns
// 0, or -1 with cause set.
int closeForeignText(const Os::FileHandle& file, const std::string& path, const FileEnd& end,
                     int64_t& size, std::string& cause) {
  size_t written = 0;
  Os::Error error;
  if (Os::writeAll(file, "\n", written, error) != 0) {
    cause = error.cause;
    return -1;
  }
  ++size;
  Os::FileInfo now;
  if (Os::examine(file, now, error) == 0 && now.size == 1) {
    Os::truncate(file, 0, error);  // emptied meanwhile: the line feed began a new file
    size = 0;
  }
  std::string_view tail = end.tail;
  ErrorOutput::report(
      ErrorOutput::Priority::kWarning,
      "closed the last line of the transfer file %s with a line feed: its last "
      "%zu bytes held none, ending %s",
      path.c_str(), tail.size(),
      excerpt(tail.substr(tail.size() - std::min<size_t>(tail.size(), 48))).c_str());
  return 0;
}

}  // namespace

TornEnd judgeTornEnd(std::string_view tail, int64_t size) {
  TornEnd judged;
  if (tail.empty() || tail.back() == '\n') {
    return judged;
  }
  size_t lineFeed = tail.rfind('\n');
  if (lineFeed != std::string_view::npos || size < static_cast<int64_t>(kLongestLineBytes)) {
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
int repairTornEnd(const Os::FileHandle& file, const std::string& path, int64_t& size,
                  std::string& cause) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (size == 0) {
      return 0;
    }
    FileEnd end;
    int read = readEnd(file, size, end, cause);
    if (read < 0) {
      return -1;
    }
    if (read == 0) {
      continue;
    }
    TornEnd judged = judgeTornEnd(end.tail, size);
    if (judged.kind == TornEnd::kWhole) {
      return 0;
    }
    if (judged.kind == TornEnd::kCutFragment) {
      return cutFragment(file, path, end, judged.keptTailBytes, size, cause);
    }
    return closeForeignText(file, path, end, size, cause);
  }
  cause = "the file kept changing size while its end was read";
  return -1;
}

// Takes back what reached the file of a line that failed, but never more
// than that line and never by making the file longer: the payroll side may
// have emptied the file meanwhile.
void cutBack(const Os::FileHandle& file, int64_t sizeBefore) {
  Os::FileInfo now;
  Os::Error error;
  if (Os::examine(file, now, error) == 0 && now.size > sizeBefore &&
      Os::truncate(file, sizeBefore, error) == 0) {
    Os::syncData(file, error);
  }
}

// Opens the transfer file under the writers' turn. Other writers of this
// tool (a second pass, a second installation with the same target) wait for
// their turn; the payroll side does not lock and is not held up. It may take
// the file away (delete or rename it) during the wait; a line written into
// the file it took could go unread, so the name is opened anew. A file
// system that cannot lock is written without. Returns whether the file is
// open, said on standard error when not.
bool openForLines(const std::string& path, Os::SharedFile& file, Os::FileInfo& info) {
  Os::Error error;
  if (Os::openForAppending(path, writerOptions(), file, error) != Os::kOpened) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot open the transfer file %s: %s",
                        path.c_str(), error.cause.c_str());
    return false;
  }
  if (Os::examine(file.handle, info, error) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot examine the transfer file %s: %s",
                        path.c_str(), error.cause.c_str());
    return false;
  }
  return true;
}

// Writes the lines with one write, and one for the rest should the system
// take only part: it either completes the lines or fails with the real
// cause. Returns how many lines, from the first, went out whole (wholeBytes
// their bytes); a failure is said on standard error, and what reached a
// regular file of the first line that did not go out whole is taken back.
size_t writeLines(const Os::FileHandle& file, const std::string& path,
                  const std::vector<std::string>& lines, bool regular, int64_t sizeBefore,
                  size_t& wholeBytes) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
  }
  size_t written = 0;
  Os::Error error;
  bool failed = Os::writeAll(file, text, written, error) != 0;
  size_t whole = 0;
  wholeBytes = 0;
  while (whole < lines.size() && wholeBytes + lines[whole].size() <= written) {
    wholeBytes += lines[whole++].size();
  }
  if (failed) {
    size_t partBytes = whole < lines.size() ? lines[whole].size() : 0;
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "write failed on the transfer file %s: %s (%zu of %zu bytes written)",
                        path.c_str(), error.cause.c_str(), written - wholeBytes, partBytes);
    if (regular) {
      cutBack(file, sizeBefore + static_cast<int64_t>(wholeBytes));
    }
  }
  return whole;
}

// Makes the lines written durable: the file's data, and the name of a file
// created here. A device or pipe that cannot sync has taken the lines
// whole. Returns 0, or -1 after saying why on standard error and taking
// back all the lines from a regular file.
int syncLines(const Os::SharedFile& file, const std::string& path, bool regular, int64_t sizeBefore,
              size_t wholeBytes) {
  const char* failure = nullptr;
  Os::Error error;
  if (Os::syncData(file.handle, error) != 0 &&
      !(error.kind == Os::ErrorKind::kUnsupported && !regular)) {
    failure = "fdatasync";
  } else if (file.created && syncNewName(path, error) != 0) {
    failure = "sync of the directory of";
  }
  if (failure == nullptr) {
    return 0;
  }
  if (regular) {
    cutBack(file.handle, sizeBefore);
  }
  ErrorOutput::report(ErrorOutput::Priority::kFailure,
                      "%s failed on the transfer file %s: %s (%zu of %zu bytes written)", failure,
                      path.c_str(), error.cause.c_str(), wholeBytes, wholeBytes);
  return -1;
}

// Gives the taken file its new name, never over an existing one, and syncs
// both directories. Returns kTaken, kDestinationExists, or -1 with cause set.
int moveTaken(const std::string& path, const std::string& destination, std::string& cause) {
  Os::Error error;
  int moved = Os::moveWithoutReplacing(path, destination, error);
  if (moved < 0) {
    if (error.kind == Os::ErrorKind::kExists) {
      return kDestinationExists;
    }
    cause = error.cause;
    return -1;
  }
  if (moved == Os::kMovedKeepingOldName) {
    cause =
        "it is now also " + destination + ", but its old name could not be removed: " + error.cause;
    return -1;
  }
  for (const std::string& name : {destination, path}) {
    if (Os::syncDirectoryOf(name, error) != 0) {
      cause = "it is now " + destination + ", but the directory of " + name +
              " could not be synced: " + error.cause;
      return -1;
    }
  }
  return kTaken;
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
  Os::SharedFile file;
  Os::FileInfo info;
  if (!openForLines(path, file, info)) {
    return 0;
  }
  bool regular = info.kind == Os::FileKind::kRegular;
  int64_t sizeBefore = info.size;
  std::string cause;
  if (regular && file.readable && repairTornEnd(file.handle, path, sizeBefore, cause) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "cannot repair the torn last line of the transfer file %s: %s",
                        path.c_str(), cause.c_str());
    return 0;
  }
  if (beforeAppend && beforeAppend(info.identity, sizeBefore) != 0) {
    return 0;
  }
  size_t wholeBytes = 0;
  size_t whole = writeLines(file.handle, path, lines, regular, sizeBefore, wholeBytes);
  if (whole == 0 || syncLines(file, path, regular, sizeBefore, wholeBytes) != 0) {
    return 0;
  }
  return whole;
}

int syncWrittenFile(const std::string& path, const Os::FileIdentity& written, Os::Error& error) {
  Os::FileHandle file;
  Os::FileInfo info;
  if (Os::openForReading(path, Os::Links::kFollow, file, error) != 0 ||
      Os::examine(file, info, error) != 0) {
    return -1;
  }
  if (!(info.identity == written)) {
    error = Os::Error{Os::ErrorKind::kAnotherFileNow, "the name names another file now"};
    return -1;
  }
  if (Os::syncData(file, error) != 0) {
    return -1;
  }
  return syncNewName(path, error);
}

// A file created here gets a durable name at once: the lines that follow
// count as written only once their file cannot vanish with a power loss.
int testAppend(const std::string& path) {
  Os::SharedFile file;
  Os::Error error;
  if (Os::openShared(path, writerOptions(), file, error) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot create the transfer file %s: %s",
                        path.c_str(), error.cause.c_str());
    return -1;
  }
  if (file.created && syncNewName(path, error) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "cannot sync the directory of the transfer file %s: %s", path.c_str(),
                        error.cause.c_str());
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
  Os::SharedFile file;
  Os::Error error;
  if (Os::openForAppending(path, takerOptions(), file, error) != Os::kOpened) {
    if (error.kind == Os::ErrorKind::kNotFound) {
      return kNothingToTake;
    }
    cause = error.cause;
    return -1;
  }
  if (!file.named) {
    cause = "it was replaced again and again while waiting for the writers' turn";
    return -1;
  }
  Os::FileInfo info;
  if (Os::examine(file.handle, info, error) != 0) {
    cause = error.cause;
    return -1;
  }
  int64_t size = info.size;
  if (file.readable && repairTornEnd(file.handle, path, size, cause) != 0) {
    cause = "cannot repair its torn last line: " + cause;
    return -1;
  }
  return moveTaken(path, destination, cause);
}

}  // namespace ExportFile
