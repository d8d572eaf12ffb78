#include "files/BookingJournal.h"

#include <cstdint>
#include <ctime>
#include <map>

#include "files/ErrorOutput.h"
#include "files/RecordFraming.h"
#include "os/AccessCheck.h"
#include "os/DirectoryEntry.h"
#include "os/FileData.h"
#include "os/FileInfo.h"
#include "os/FileOpening.h"
#include "os/Paths.h"
#include "os/SharedFile.h"

namespace BookingJournal {

namespace {

using RecordFraming::endIsDamaged;
using RecordFraming::FieldReader;
using RecordFraming::frame;
using RecordFraming::putText;
using RecordFraming::putU32;
using RecordFraming::putU64;

constexpr char kWritten = 'W';
constexpr char kDurable = 'D';
constexpr char kRetired = 'R';

// A journal this large with few live records left is written anew.
constexpr int64_t kCompactionBytes = 1024 * 1024;

std::vector<uint64_t> readSequences(FieldReader& reader) {
  std::vector<uint64_t> sequences;
  uint32_t count = reader.u32();
  if (!reader.has(static_cast<size_t>(count) * 8)) {
    return sequences;
  }
  for (uint32_t i = 0; i < count; ++i) {
    sequences.push_back(reader.u64());
  }
  return sequences;
}

std::string sequencesPayload(const std::vector<uint64_t>& sequences) {
  std::string payload;
  putU32(payload, static_cast<uint32_t>(sequences.size()));
  for (uint64_t sequence : sequences) {
    putU64(payload, sequence);
  }
  return payload;
}

// The whole record at position, if one starts there: its type and payload.
bool wholeRecordAt(std::string_view bytes, size_t position, char& type, std::string_view& payload,
                   size_t& length) {
  return RecordFraming::recordAt(bytes, position, type, payload, length) ==
         RecordFraming::Found::kWhole;
}

// Applies one record; false when its payload does not read as its type.
bool apply(char type, std::string_view payload, std::map<uint64_t, WrittenBooking>& live,
           uint64_t& lastSequence) {
  FieldReader reader{payload};
  if (type == kWritten) {
    WrittenBooking booking;
    booking.sequence = reader.u64();
    booking.device = reader.u64();
    booking.inode = reader.u64();
    booking.offset = reader.u64();
    booking.recordedAt = reader.u64();
    booking.installation = reader.text();
    booking.transferPath = reader.text();
    booking.key.BewIDN = reader.text();
    booking.key.BewSto = reader.text();
    booking.key.BewDtm = reader.text();
    booking.key.BewUhr = reader.text();
    booking.key.BewLfn = reader.text();
    booking.line = reader.text();
    // Records of the version before the archive end with the line.
    if (!reader.failed && !reader.atEnd()) {
      booking.passTime = reader.text();
    }
    if (reader.failed || !reader.atEnd() || booking.sequence == 0) {
      return false;
    }
    lastSequence = std::max(lastSequence, booking.sequence);
    live.emplace(booking.sequence, std::move(booking));
    return true;
  }
  if (type != kDurable && type != kRetired) {
    return false;
  }
  std::vector<uint64_t> sequences = readSequences(reader);
  if (reader.failed || reader.position != payload.size()) {
    return false;
  }
  for (uint64_t sequence : sequences) {
    lastSequence = std::max(lastSequence, sequence);
    auto found = live.find(sequence);
    if (found == live.end()) {
      continue;
    }
    if (type == kRetired) {
      live.erase(found);
    } else {
      found->second.durable = true;
    }
  }
  return true;
}

std::map<uint64_t, WrittenBooking> parseLive(std::string_view bytes, Contents& contents) {
  std::map<uint64_t, WrittenBooking> live;
  size_t position = 0;
  size_t unread = 0;  // bytes passed over since the last whole record
  while (position < bytes.size()) {
    char type = 0;
    std::string_view payload;
    size_t length = 0;
    if (wholeRecordAt(bytes, position, type, payload, length) &&
        apply(type, payload, live, contents.lastSequence)) {
      position += length;
      contents.skippedBytes += unread;
      unread = 0;
      contents.validEnd = position;
    } else {
      ++position;
      ++unread;
    }
  }
  return live;
}

// What this pass learns of a booking held from an earlier pass.
struct EarlierPassState {
  bool returnedByCursor = false;
  bool markingFoundNoRow = false;
};

struct JournalState {
  Os::FileHandle file;  // open for appending, under the writers' lock
  std::string path;
  std::string installation;
  std::map<uint64_t, WrittenBooking> live;
  uint64_t lastSequence = 0;
  int64_t size = 0;
  // The bookings of this installation that were live when the journal was
  // opened, by key, with what this pass learned of them; retiring one
  // drops it here too.
  std::map<MarkingKey, uint64_t> earlierPassByKey;
  std::map<uint64_t, EarlierPassState> earlierPass;
};

JournalState journal;

void closeAfterFailure(const char* what, const Os::Error& error) {
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "cannot %s the journal of written bookings %s: %s; the rest of this pass "
                      "marks booking by booking, and a failure may export a booking twice; nor "
                      "does it archive its lines",
                      what, journal.path.c_str(), error.cause.c_str());
  journal.file.close();
}

// Appends records at the journal's end; a write that fails leaves nothing
// of them behind that the reader would take for whole.
int append(const std::string& bytes, bool sync) {
  if (!journal.file.isOpen()) {
    return -1;
  }
  size_t written = 0;
  Os::Error error;
  Os::Error ignored;
  if (Os::writeAll(journal.file, bytes, written, error) != 0) {
    Os::truncate(journal.file, journal.size, ignored);
    closeAfterFailure("write", error);
    return -1;
  }
  if (sync && Os::syncData(journal.file, error) != 0) {
    Os::truncate(journal.file, journal.size, ignored);
    closeAfterFailure("sync", error);
    return -1;
  }
  journal.size += static_cast<int64_t>(bytes.size());
  return 0;
}

// Opened by name as the transfer file is, for appending under the writers'
// lock: a pass waiting for the lock of a journal that the pass holding it
// writes anew (compact) finds the name gone and opens the new one. The
// journal is private to the installations that share the log directory,
// never reached through a symbolic link, and useless unless it is read too.
Os::SharedFileOptions journalOptions(const std::string& path) {
  Os::SharedFileOptions options;
  options.links = Os::Links::kDoNotFollow;
  options.permissions = Os::Permissions::kOwnerOnly;
  options.whenDenied = Os::WhenReadWriteDenied::kFail;
  options.lockRequired = true;
  options.beforeWaiting = [path] {
    ErrorOutput::report(ErrorOutput::Priority::kNotice,
                        "another pass holds the journal of written bookings %s; waiting for it "
                        "to end",
                        path.c_str());
  };
  return options;
}

void indexEarlierPass() {
  for (const auto& [sequence, booking] : journal.live) {
    if (booking.installation == journal.installation) {
      journal.earlierPassByKey[booking.key] = sequence;
      journal.earlierPass[sequence] = EarlierPassState();
    }
  }
}

// Writes the live records to a new file and renames it over the journal,
// which closes the journal for the rest of the pass. A pass waiting for the
// old file's lock finds its name gone and opens the new.
void compact() {
  std::string fresh;
  std::vector<uint64_t> durable;
  for (const auto& [sequence, booking] : journal.live) {
    fresh += encodeWritten(booking);
    if (booking.durable) {
      durable.push_back(sequence);
    }
  }
  if (!durable.empty()) {
    fresh += encodeDurable(durable);
  }
  std::string temporary = journal.path + ".new";
  Os::FileHandle file;
  Os::Error error;
  size_t written = 0;
  bool done = Os::createOrEmpty(temporary, Os::Permissions::kOwnerOnly, file, error) == 0 &&
              Os::writeAll(file, fresh, written, error) == 0 && Os::syncData(file, error) == 0;
  file.close();
  if (done && Os::replaceHeldFile(temporary, journal.path, journal.file, error) == 0) {
    Os::syncDirectoryOf(journal.path, error);
  } else {
    Os::removeFile(temporary, error);
  }
}

}  // namespace

std::string encodeWritten(const WrittenBooking& booking) {
  std::string payload;
  putU64(payload, booking.sequence);
  putU64(payload, booking.device);
  putU64(payload, booking.inode);
  putU64(payload, booking.offset);
  putU64(payload, booking.recordedAt);
  putText(payload, booking.installation);
  putText(payload, booking.transferPath);
  putText(payload, booking.key.BewIDN);
  putText(payload, booking.key.BewSto);
  putText(payload, booking.key.BewDtm);
  putText(payload, booking.key.BewUhr);
  putText(payload, booking.key.BewLfn);
  putText(payload, booking.line);
  putText(payload, booking.passTime);
  return frame(kWritten, payload);
}

std::string encodeDurable(const std::vector<uint64_t>& sequences) {
  return frame(kDurable, sequencesPayload(sequences));
}

std::string encodeRetired(const std::vector<uint64_t>& sequences) {
  return frame(kRetired, sequencesPayload(sequences));
}

Contents parse(std::string_view bytes) {
  Contents contents;
  for (auto& [sequence, booking] : parseLive(bytes, contents)) {
    contents.live.push_back(std::move(booking));
  }
  return contents;
}

// The file is found by its path, as the pass found it, and must still be
// the one the line went to: a file the payroll side took away and a new one
// under the name tell nothing about the line.
LineState findLine(const WrittenBooking& booking) {
  if (booking.line.empty() || booking.offset > static_cast<uint64_t>(INT64_MAX)) {
    return LineState::kUnknown;
  }
  Os::FileHandle file;
  Os::FileInfo info;
  Os::Error error;
  if (Os::openForReading(booking.transferPath, Os::Links::kFollow, file, error) != 0 ||
      Os::examine(file, info, error) != 0 || info.kind != Os::FileKind::kRegular ||
      !(info.identity == Os::FileIdentity{booking.device, booking.inode})) {
    return LineState::kUnknown;
  }
  std::string found(booking.line.size(), '\0');
  size_t got = 0;
  bool read = Os::readAt(file, static_cast<int64_t>(booking.offset), found.data(), found.size(),
                         got, error) == 0;
  return read && got == found.size() && found == booking.line ? LineState::kInPlace
                                                              : LineState::kMissing;
}

// Appended, not assigned from a literal: g++ 12 sees a false overlap there
// at -O2 (-Wrestrict).
std::string installationName(const std::string& dataSourceName) {
  std::string name;
  Os::Error error;
  if (Os::resolvePath(".", name, error) != 0) {
    name.clear();
    name.append(".");
  }
  return name.append(" (data source ").append(dataSourceName).append(")");
}

namespace {

// Opens the journal at path under its lock, waiting for a pass of another
// installation that holds it. The journal's name must survive a power loss
// before any record relies on it, so a journal created here has its
// directory synced at once. Returns 0, or -1 with cause set.
int openLocked(const std::string& path, Os::FileHandle& file, std::string& cause) {
  Os::SharedFile opened;
  Os::Error error;
  int result = Os::openForAppending(path, journalOptions(path), opened, error);
  if (result != Os::kOpened) {
    cause = result == Os::kNotLocked ? "cannot be locked: " + error.cause : error.cause;
    return -1;
  }
  if (!opened.named) {
    cause = "it was replaced again and again";
    return -1;
  }
  if (opened.created && Os::syncDirectoryOf(path, error) != 0) {
    cause = "its directory cannot be synced: " + error.cause;
    return -1;
  }
  file = std::move(opened.handle);
  return 0;
}

// Takes what the journal's bytes hold as the pass's journal, and cuts off
// what follows the last whole record. A record torn by a pass that died
// while writing it is said nowhere: its line was never appended, as records
// are synced first. Damage is said. Returns 0, or -1 with cause set.
int takeContents(const std::string& path, const std::string& bytes, std::string& cause) {
  Contents contents;
  journal.live = parseLive(bytes, contents);
  journal.lastSequence = contents.lastSequence;
  journal.size = static_cast<int64_t>(contents.validEnd);
  indexEarlierPass();
  size_t damagedBytes = contents.skippedBytes;
  std::string_view end = std::string_view(bytes).substr(contents.validEnd);
  if (endIsDamaged(end)) {
    damagedBytes += end.size();
  }
  if (damagedBytes > 0) {
    ErrorOutput::report(ErrorOutput::Priority::kWarning,
                        "the journal of written bookings %s holds %zu damaged bytes; bookings "
                        "recorded there count as not recorded and are exported again",
                        path.c_str(), damagedBytes);
  }
  Os::Error error;
  if (contents.validEnd < bytes.size() && Os::truncate(journal.file, journal.size, error) != 0) {
    cause = "its torn end cannot be cut off: " + error.cause;
    return -1;
  }
  return 0;
}

}  // namespace

int open(const std::string& path, const std::string& installation, std::string& cause) {
  journal = JournalState();
  Os::FileHandle file;
  std::string bytes;
  Os::Error error;
  if (openLocked(path, file, cause) != 0) {
    return -1;
  }
  if (Os::readFromStart(file, SIZE_MAX, bytes, error) != 0) {
    cause = error.cause;
    return -1;
  }
  journal.file = std::move(file);
  journal.path = path;
  journal.installation = installation;
  if (takeContents(path, bytes, cause) != 0) {
    journal.file.close();
    return -1;
  }
  return 0;
}

bool isOpen() {
  return journal.file.isOpen();
}

std::vector<WrittenBooking> heldBookings() {
  std::vector<WrittenBooking> held;
  for (const auto& [sequence, booking] : journal.live) {
    if (booking.installation == journal.installation) {
      held.push_back(booking);
    }
  }
  return held;
}

int recordWritten(std::vector<WrittenBooking>& bookings) {
  if (!journal.file.isOpen()) {
    return -1;
  }
  std::string bytes;
  uint64_t sequence = journal.lastSequence;
  uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  for (WrittenBooking& booking : bookings) {
    booking.sequence = ++sequence;
    booking.recordedAt = now;
    booking.installation = journal.installation;
    booking.durable = false;
    bytes += encodeWritten(booking);
  }
  if (append(bytes, true) != 0) {
    return -1;
  }
  journal.lastSequence = sequence;
  for (const WrittenBooking& booking : bookings) {
    journal.live[booking.sequence] = booking;
  }
  return 0;
}

int recordDurable(const std::vector<uint64_t>& sequences) {
  if (sequences.empty()) {
    return 0;
  }
  if (append(encodeDurable(sequences), true) != 0) {
    return -1;
  }
  for (uint64_t sequence : sequences) {
    auto found = journal.live.find(sequence);
    if (found != journal.live.end()) {
      found->second.durable = true;
    }
  }
  return 0;
}

int recordRetired(const std::vector<uint64_t>& sequences) {
  if (sequences.empty()) {
    return 0;
  }
  if (append(encodeRetired(sequences), false) != 0) {
    return -1;
  }
  for (uint64_t sequence : sequences) {
    auto found = journal.live.find(sequence);
    if (found == journal.live.end()) {
      continue;
    }
    auto indexed = journal.earlierPassByKey.find(found->second.key);
    if (indexed != journal.earlierPassByKey.end() && indexed->second == sequence) {
      journal.earlierPassByKey.erase(indexed);
    }
    journal.earlierPass.erase(sequence);
    journal.live.erase(found);
  }
  return 0;
}

size_t heldCount(int64_t& oldestRecordedAt) {
  oldestRecordedAt = 0;
  size_t count = 0;
  for (const auto& [sequence, booking] : journal.live) {
    if (booking.installation != journal.installation) {
      continue;
    }
    ++count;
    int64_t at = static_cast<int64_t>(booking.recordedAt);
    if (oldestRecordedAt == 0 || at < oldestRecordedAt) {
      oldestRecordedAt = at;
    }
  }
  return count;
}

uint64_t heldFromEarlierPass(const MarkingKey& key) {
  auto found = journal.earlierPassByKey.find(key);
  return found == journal.earlierPassByKey.end() ? 0 : found->second;
}

void noteReturnedByCursor(uint64_t sequence) {
  auto found = journal.earlierPass.find(sequence);
  if (found != journal.earlierPass.end()) {
    found->second.returnedByCursor = true;
  }
}

void noteFailedMarking(uint64_t sequence, bool foundNoRow) {
  auto found = journal.earlierPass.find(sequence);
  if (found != journal.earlierPass.end()) {
    found->second.markingFoundNoRow = foundNoRow;
  }
}

std::vector<WrittenBooking> vanishedBookings() {
  std::vector<WrittenBooking> vanished;
  for (const auto& [sequence, state] : journal.earlierPass) {
    auto found = journal.live.find(sequence);
    if (found != journal.live.end() && !state.returnedByCursor && state.markingFoundNoRow) {
      vanished.push_back(found->second);
    }
  }
  return vanished;
}

// Emptying needs no sync: should it be lost, the records come back with
// their retirements.
void close() {
  if (!journal.file.isOpen()) {
    return;
  }
  Os::Error error;
  if (journal.live.empty()) {
    if (journal.size > 0 && Os::truncate(journal.file, 0, error) == 0) {
      journal.size = 0;
    }
  } else if (journal.size > kCompactionBytes &&
             static_cast<int64_t>(journal.live.size()) * 1024 < journal.size / 2) {
    compact();
  }
}

LineState recoveryState(const WrittenBooking& booking) {
  return booking.durable ? LineState::kInPlace : findLine(booking);
}

namespace {

// Reads the journal at path without changing it. Returns 0 (nothing read
// from a missing journal, with missing set), or -1 with cause set.
int readWithoutLock(const std::string& path, std::string& bytes, bool& missing,
                    std::string& cause) {
  Os::FileHandle file;
  Os::Error error;
  missing = false;
  if (Os::openRegularFileForReading(path, Os::Links::kDoNotFollow, file, error) != 0 ||
      Os::readFromStart(file, SIZE_MAX, bytes, error) != 0) {
    missing = error.kind == Os::ErrorKind::kNotFound;
    cause = error.cause;
    return missing ? 0 : -1;
  }
  return 0;
}

}  // namespace

int readHeld(const std::string& path, const std::string& installation,
             std::vector<WrittenBooking>& held, std::string& cause) {
  held.clear();
  std::string bytes;
  bool missing = false;
  if (readWithoutLock(path, bytes, missing, cause) != 0) {
    return -1;
  }
  for (WrittenBooking& booking : parse(bytes).live) {
    if (booking.installation == installation) {
      held.push_back(std::move(booking));
    }
  }
  return 0;
}

int inspect(const std::string& path, const std::string& installation, Inspection& found) {
  found = Inspection();
  std::string bytes;
  bool missing = false;
  if (readWithoutLock(path, bytes, missing, found.cause) != 0) {
    return -1;
  }
  Os::Error error;
  if (missing) {
    found.writable = Os::checkAccess(Os::directoryOf(path), Os::Access::kWrite, error) == 0;
    found.cause =
        found.writable ? std::string() : "its directory cannot be written: " + error.cause;
    return 0;
  }
  for (const WrittenBooking& booking : parse(bytes).live) {
    ++(booking.installation == installation ? found.own : found.others);
  }
  found.writable = Os::checkAccess(path, Os::Access::kReadAndWrite, error) == 0;
  if (!found.writable) {
    found.cause = error.cause;
  }
  return 0;
}

}  // namespace BookingJournal
