#include "files/LineArchive.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

#include "files/ErrorOutput.h"
#include "files/RecordFraming.h"
#include "os/AccessCheck.h"
#include "os/DirectoryEntry.h"
#include "os/FileData.h"
#include "os/FileInfo.h"
#include "os/FileOpening.h"
#include "os/SharedFile.h"

namespace LineArchive {

namespace {

using RecordFraming::FieldReader;
using RecordFraming::Found;

static_assert(std::string_view(BookingJournal::kJournalPath).substr(0, sizeof kDirectory - 1) ==
                      kDirectory &&
                  BookingJournal::kJournalPath[sizeof kDirectory - 1] == '/',
              "the archive lies beside the journal");

constexpr char kArchived = 'A';
constexpr std::string_view kMagic(RecordFraming::kMagic, sizeof RecordFraming::kMagic);
// A reader's block; a record may reach one record's length past it.
constexpr size_t kBlockBytes = 64 * 1024;

bool decode(std::string_view payload, ArchivedLine& line) {
  FieldReader reader{payload};
  line.archivedAt = reader.u64();
  line.device = reader.u64();
  line.inode = reader.u64();
  line.offset = reader.u64();
  line.installation = reader.text();
  line.passTime = reader.text();
  line.transferPath = reader.text();
  line.line = reader.text();
  return !reader.failed && reader.atEnd();
}

// Bytes that hold no Archived record are passed over to the next place
// where a record may start. Before the file's end the last bytes may be the
// start of a magic: they wait for the next block.
size_t nextStart(std::string_view bytes, size_t position, bool atEnd) {
  size_t next = bytes.find(kMagic, position + 1);
  if (next != std::string_view::npos) {
    return next;
  }
  if (atEnd) {
    return bytes.size();
  }
  return std::max(position + 1, bytes.size() - std::min(bytes.size(), kMagic.size() - 1));
}

// What starts at position, as RecordFraming::recordAt tells it, but kWhole
// only for an Archived record (line and length set): a whole record of
// another kind is none.
Found archivedRecordAt(std::string_view bytes, size_t position, ArchivedLine& line,
                       size_t& length) {
  char type = 0;
  std::string_view payload;
  Found found = RecordFraming::recordAt(bytes, position, type, payload, length);
  if (found == Found::kWhole && !(type == kArchived && decode(payload, line))) {
    return Found::kNone;
  }
  return found;
}

}  // namespace

std::string encode(const ArchivedLine& line) {
  std::string payload;
  RecordFraming::putU64(payload, line.archivedAt);
  RecordFraming::putU64(payload, line.device);
  RecordFraming::putU64(payload, line.inode);
  RecordFraming::putU64(payload, line.offset);
  RecordFraming::putText(payload, line.installation);
  RecordFraming::putText(payload, line.passTime);
  RecordFraming::putText(payload, line.transferPath);
  RecordFraming::putText(payload, line.line);
  return RecordFraming::frame(kArchived, payload);
}

ArchivedLine fromJournal(const BookingJournal::WrittenBooking& booking) {
  ArchivedLine line;
  line.installation = booking.installation;
  line.passTime = booking.passTime;
  line.transferPath = booking.transferPath;
  line.device = booking.device;
  line.inode = booking.inode;
  line.offset = booking.offset;
  line.line = booking.line;
  return line;
}

size_t takeRecords(std::string_view bytes, bool atEnd, Reading& reading, const EachLine& each) {
  size_t position = 0;
  while (position < bytes.size()) {
    ArchivedLine line;
    size_t length = 0;
    Found found = archivedRecordAt(bytes, position, line, length);
    if (found == Found::kWhole) {
      position += length;
      if (!each(line)) {
        reading.stopped = true;
        return position;
      }
      continue;
    }
    if (found == Found::kCutShort && !atEnd) {
      return position;
    }
    // At the end, a record cut short is torn where nothing follows it; one
    // that a record follows has a damaged length.
    size_t next = nextStart(bytes, position, atEnd);
    if (found == Found::kCutShort && next == bytes.size()) {
      reading.tornBytes += bytes.size() - position;
      return bytes.size();
    }
    reading.damagedBytes += next - position;
    position = next;
  }
  return position;
}

// Only a regular file is read, never through a symbolic link: the archive
// is private to the installations that share the log directory.
int readFile(const std::string& path, const EachLine& each, Reading& reading, std::string& cause) {
  Os::FileHandle file;
  Os::Error error;
  if (Os::openRegularFileForReading(path, Os::Links::kDoNotFollow, file, error) != 0) {
    cause = error.cause;
    return -1;
  }
  std::string buffer;
  int64_t offset = 0;
  for (;;) {
    size_t had = buffer.size();
    buffer.resize(had + kBlockBytes);
    size_t got = 0;
    if (Os::readAt(file, offset, buffer.data() + had, kBlockBytes, got, error) != 0) {
      cause = error.cause;
      return -1;
    }
    buffer.resize(had + got);
    offset += static_cast<int64_t>(got);
    size_t done = takeRecords(buffer, got == 0, reading, each);
    if (got == 0 || reading.stopped) {
      return 0;
    }
    buffer.erase(0, done);
  }
}

std::string describeSkipped(const std::string& path, const Reading& reading) {
  if (reading.damagedBytes == 0 && reading.tornBytes == 0) {
    return std::string();
  }
  char text[512];
  const char* torn =
      "bytes of a record cut short at its end (being written now, or by a pass that died while "
      "writing it)";
  if (reading.tornBytes == 0) {
    std::snprintf(text, sizeof text, "holds %llu damaged bytes",
                  static_cast<unsigned long long>(reading.damagedBytes));
  } else if (reading.damagedBytes == 0) {
    std::snprintf(text, sizeof text, "holds %llu %s",
                  static_cast<unsigned long long>(reading.tornBytes), torn);
  } else {
    std::snprintf(text, sizeof text, "holds %llu damaged bytes and %llu %s",
                  static_cast<unsigned long long>(reading.damagedBytes),
                  static_cast<unsigned long long>(reading.tornBytes), torn);
  }
  return std::string("the archive file ")
      .append(path)
      .append(" ")
      .append(text)
      .append("; they are skipped, and lines recorded there cannot be sent again");
}

std::string monthFileName(int year, int month) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%04d-%02d", kFilePrefix, year, month);
  return name;
}

bool monthOfFileName(std::string_view name, int& year, int& month) {
  std::string_view prefix(kFilePrefix);
  if (name.size() != prefix.size() + 7 || name.substr(0, prefix.size()) != prefix ||
      name[prefix.size() + 4] != '-') {
    return false;
  }
  std::string_view digits = name.substr(prefix.size());
  int values[2] = {0, 0};
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i == 4) {
      continue;
    }
    if (digits[i] < '0' || digits[i] > '9') {
      return false;
    }
    int& value = values[i < 4 ? 0 : 1];
    value = value * 10 + (digits[i] - '0');
  }
  if (values[0] < 1 || values[1] < 1 || values[1] > 12) {
    return false;
  }
  year = values[0];
  month = values[1];
  return true;
}

// The month ends where the next one begins.
bool isExpired(int year, int month, const PassTime::CivilTime& today) {
  int64_t nextMonth = month == 12 ? PassTime::daysFromCivil(year + 1, 1, 1)
                                  : PassTime::daysFromCivil(year, month + 1, 1);
  return PassTime::daysFromCivil(today.year, today.month, today.day) - nextMonth > kKeptDays;
}

int listFiles(const std::string& directory, std::vector<std::string>& paths, std::string& cause) {
  std::vector<std::string> names;
  Os::Error error;
  paths.clear();
  if (Os::listDirectory(directory, names, error) != 0) {
    cause = error.cause;
    return -1;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    int year = 0;
    int month = 0;
    if (monthOfFileName(name, year, month)) {
      paths.push_back(directory + "/" + name);
    }
  }
  return 0;
}

// Judged as a reader judges it, so that a reader of what is kept finds the
// same lines and nothing torn: only what follows the last line it would
// hand on can be cut off.
size_t wholeEnd(std::string_view tail, bool fromStart) {
  size_t position = 0;
  size_t lastEnd = fromStart ? 0 : std::string_view::npos;
  while (position < tail.size()) {
    ArchivedLine line;
    size_t length = 0;
    if (archivedRecordAt(tail, position, line, length) == Found::kWhole) {
      position += length;
      lastEnd = position;
    } else {
      position = nextStart(tail, position, true);
    }
  }
  if (lastEnd == std::string_view::npos || tail.size() - lastEnd > RecordFraming::kLongestRecord) {
    return tail.size();
  }
  return lastEnd;
}

bool inWindow(const Selection& selection, int64_t seconds) {
  return seconds >= selection.from && (!selection.to || seconds < *selection.to);
}

// The first field is what a line's ID is: up to its first comma.
bool selects(const Selection& selection, const ArchivedLine& line, int64_t& passSeconds) {
  PassTime::CivilTime time;
  if (PassTime::parse(line.passTime, time) != 0) {
    return false;
  }
  passSeconds = PassTime::secondsOf(time);
  if (!inWindow(selection, passSeconds)) {
    return false;
  }
  return selection.ids.empty() || selection.ids.count(line.line.substr(0, line.line.find(','))) > 0;
}

namespace {

struct ArchiveState {
  std::string directory;
  std::string installation;
  bool started = false;
  bool inUse = false;  // started, and no append failed
};

ArchiveState archive;

std::string monthFileOf(const std::string& directory, int64_t unixSeconds) {
  PassTime::CivilTime local = PassTime::localTimeAt(unixSeconds);
  return directory + "/" + monthFileName(local.year, local.month);
}

// Appended under the writers' lock, as the journal is; never through a
// symbolic link, readable by its owner only: it holds payroll data.
Os::SharedFileOptions archiveOptions() {
  Os::SharedFileOptions options;
  options.links = Os::Links::kDoNotFollow;
  options.permissions = Os::Permissions::kOwnerOnly;
  options.whenDenied = Os::WhenReadWriteDenied::kFail;
  options.lockRequired = true;
  return options;
}

void reportAppendFailure(const char* what, const std::string& path, const std::string& cause) {
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "cannot %s the archive of sent lines %s: %s; this pass archives no more of "
                      "its lines, and Morlund_Settings replay cannot send them again",
                      what, path.c_str(), cause.c_str());
}

// A writer that died while appending left a record cut short at the end;
// appended after, it would stay there as damage for every reader. Under the
// writers' lock no one else appends. size is updated. Returns 0, or -1 with
// error set.
int cutTornEnd(const Os::FileHandle& file, const std::string& path, int64_t& size,
               Os::Error& error) {
  size_t window = static_cast<size_t>(
      std::min<int64_t>(size, static_cast<int64_t>(2 * RecordFraming::kLongestRecord)));
  std::string tail(window, '\0');
  size_t got = 0;
  int64_t start = size - static_cast<int64_t>(window);
  if (Os::readAt(file, start, tail.data(), window, got, error) != 0) {
    return -1;
  }
  tail.resize(got);
  size_t end = wholeEnd(tail, start == 0);
  if (got != window || end == tail.size()) {
    return 0;
  }
  if (Os::truncate(file, start + static_cast<int64_t>(end), error) != 0) {
    return -1;
  }
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "cut %zu bytes of a record cut short or damaged off the end of the archive "
                      "file %s",
                      tail.size() - end, path.c_str());
  size = start + static_cast<int64_t>(end);
  return 0;
}

// The records go with one write and one sync; a write or sync that fails
// takes them back, so that no reader finds part of them. Returns 0, or -1
// after saying why.
int appendRecords(const std::string& path, const std::string& bytes) {
  Os::SharedFile opened;
  Os::Error error;
  Os::FileInfo info;
  if (Os::openForAppending(path, archiveOptions(), opened, error) != Os::kOpened ||
      Os::examine(opened.handle, info, error) != 0) {
    reportAppendFailure("open", path, error.cause);
    return -1;
  }
  int64_t size = info.size;
  if (opened.readable && cutTornEnd(opened.handle, path, size, error) != 0) {
    reportAppendFailure("repair the end of", path, error.cause);
    return -1;
  }
  size_t written = 0;
  const char* failed = nullptr;
  if (Os::writeAll(opened.handle, bytes, written, error) != 0) {
    failed = "write";
  } else if (Os::syncData(opened.handle, error) != 0) {
    failed = "sync";
  } else if (opened.created && Os::syncDirectoryOf(path, error) != 0) {
    failed = "sync the directory of";
  }
  if (failed != nullptr) {
    Os::Error ignored;
    Os::truncate(opened.handle, size, ignored);
    reportAppendFailure(failed, path, error.cause);
    return -1;
  }
  return 0;
}

using Identity =
    std::tuple<std::string, std::string, std::string, uint64_t, uint64_t, uint64_t, std::string>;

Identity identityOf(const ArchivedLine& line) {
  return {line.installation, line.passTime, line.transferPath, line.device,
          line.inode,        line.offset,   line.line};
}

}  // namespace

void start(const std::string& directory, const std::string& installation) {
  archive = ArchiveState{directory, installation, true, true};
}

bool isInUse() {
  return archive.inUse;
}

int append(std::vector<ArchivedLine> lines) {
  if (!archive.inUse) {
    return -1;
  }
  if (lines.empty()) {
    return 0;
  }
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::string bytes;
  for (ArchivedLine& line : lines) {
    line.installation = archive.installation;
    line.archivedAt = static_cast<uint64_t>(now);
    bytes += encode(line);
  }
  if (appendRecords(monthFileOf(archive.directory, now), bytes) != 0) {
    archive.inUse = false;
    return -1;
  }
  return 0;
}

namespace {

// Marks in found the lines the month files from that of `since` on hold.
// Returns 0, or -1 after saying on standard error why they cannot be told.
int findArchived(const std::map<Identity, size_t>& wanted, int64_t since,
                 std::vector<bool>& found) {
  std::vector<std::string> paths;
  std::string cause;
  std::string first = monthFileOf(archive.directory, since - 86400);
  if (listFiles(archive.directory, paths, cause) != 0) {
    paths.clear();
  }
  for (const std::string& path : paths) {
    if (path < first) {
      continue;
    }
    Reading reading;
    auto look = [&](ArchivedLine& line) {
      auto match = wanted.find(identityOf(line));
      if (match != wanted.end()) {
        found[match->second] = true;
      }
      return true;
    };
    if (readFile(path, look, reading, cause) != 0) {
      ErrorOutput::report(ErrorOutput::Priority::kWarning,
                          "cannot read the archive file %s: %s; lines of an earlier pass that "
                          "it may hold are not archived again",
                          path.c_str(), cause.c_str());
      return -1;
    }
    std::string skipped = describeSkipped(path, reading);
    if (!skipped.empty()) {
      ErrorOutput::report(ErrorOutput::Priority::kWarning, "%s", skipped.c_str());
    }
  }
  return 0;
}

}  // namespace

// A pass that died between the archive's sync and the journal's Durable
// record left its lines archived or not: they are looked for first, so
// that none is archived twice.
std::vector<bool> appendMissing(const std::vector<ArchivedLine>& lines, int64_t since) {
  std::vector<bool> held(lines.size(), false);
  if (!archive.inUse || lines.empty()) {
    return held;
  }
  std::map<Identity, size_t> wanted;
  for (size_t index = 0; index < lines.size(); ++index) {
    ArchivedLine line = lines[index];
    line.installation = archive.installation;
    wanted.emplace(identityOf(line), index);
  }
  if (findArchived(wanted, since, held) != 0) {
    return held;
  }
  std::vector<ArchivedLine> missing;
  for (size_t index = 0; index < lines.size(); ++index) {
    if (!held[index]) {
      missing.push_back(lines[index]);
    }
  }
  if (append(missing) == 0) {
    held.assign(lines.size(), true);
  }
  return held;
}

void prune(int64_t now) {
  if (!archive.started) {
    return;
  }
  PassTime::CivilTime today = PassTime::localTimeAt(now);
  std::vector<std::string> paths;
  std::string cause;
  listFiles(archive.directory, paths, cause);
  for (const std::string& path : paths) {
    int year = 0;
    int month = 0;
    monthOfFileName(path.substr(archive.directory.size() + 1), year, month);
    if (!isExpired(year, month, today)) {
      continue;
    }
    Os::Error error;
    if (Os::removeFile(path, error) == 0) {
      ErrorOutput::report(ErrorOutput::Priority::kNotice,
                          "removed the archive file %s: its month ended more than %d days ago",
                          path.c_str(), kKeptDays);
    } else {
      ErrorOutput::report(ErrorOutput::Priority::kWarning, "cannot remove the archive file %s: %s",
                          path.c_str(), error.cause.c_str());
    }
  }
}

namespace {

int64_t bytesOf(const std::vector<std::string>& paths) {
  int64_t bytes = 0;
  for (const std::string& path : paths) {
    Os::FileInfo info;
    Os::Error error;
    if (Os::examineName(path, Os::Links::kDoNotFollow, info, error) == 0) {
      bytes += info.size;
    }
  }
  return bytes;
}

// Whether a pass could append to the month file of now: create it in
// directory, or write the one there.
bool isWritable(const std::string& directory, std::string& cause) {
  std::string path = monthFileOf(directory, static_cast<int64_t>(std::time(nullptr)));
  Os::FileInfo info;
  Os::Error error;
  if (Os::examineName(path, Os::Links::kDoNotFollow, info, error) != 0) {
    if (Os::checkAccess(directory, Os::Access::kCreateFilesIn, error) == 0) {
      return true;
    }
    cause = "its directory cannot be written: " + error.cause;
    return false;
  }
  if (info.kind != Os::FileKind::kRegular) {
    cause = path + " is not a regular file";
    return false;
  }
  if (Os::checkAccess(path, Os::Access::kReadAndWrite, error) != 0) {
    cause = path + ": " + error.cause;
    return false;
  }
  return true;
}

}  // namespace

// Lines are archived in the order they were written, and passes follow one
// another: the oldest file's first pass is its oldest but where a pass's
// lines were archived by the next pass's recovery a month later, or the
// server's clock was set back. Reading one file's start keeps it cheap.
Figures figures(const std::string& directory, const std::string& installation) {
  Figures found;
  std::vector<std::string> paths;
  std::string cause;
  if (listFiles(directory, paths, cause) != 0) {
    return found;
  }
  found.bytes = bytesOf(paths);
  for (const std::string& path : paths) {
    Reading reading;
    auto first = [&](ArchivedLine& line) {
      PassTime::CivilTime time;
      if (line.installation != installation || PassTime::parse(line.passTime, time) != 0) {
        return true;
      }
      found.oldestPassSeconds = PassTime::localUnixSeconds(time);
      return false;
    };
    if (readFile(path, first, reading, cause) == 0 && reading.stopped) {
      break;
    }
  }
  return found;
}

int inspect(const std::string& directory, const std::string& installation, Inspection& found) {
  found = Inspection();
  std::vector<std::string> paths;
  if (listFiles(directory, paths, found.cause) != 0) {
    return -1;
  }
  found.files = paths.size();
  found.bytes = bytesOf(paths);
  std::set<std::string> passTimes;
  int64_t oldest = 0;
  for (const std::string& path : paths) {
    auto count = [&](ArchivedLine& line) {
      PassTime::CivilTime time;
      if (line.installation != installation) {
        return true;
      }
      ++found.lines;
      if (PassTime::parse(line.passTime, time) == 0 && passTimes.insert(line.passTime).second &&
          (found.oldestPass.empty() || PassTime::secondsOf(time) < oldest)) {
        oldest = PassTime::secondsOf(time);
        found.oldestPass = line.passTime;
      }
      return true;
    };
    if (readFile(path, count, found.skipped, found.cause) != 0) {
      found.cause = path + ": " + found.cause;
      return -1;
    }
  }
  found.passes = passTimes.size();
  found.writable = isWritable(directory, found.cause);
  return 0;
}

}  // namespace LineArchive
