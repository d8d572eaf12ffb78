#include "files/BookingJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "files/DirectoryEntry.h"
#include "files/ErrorOutput.h"

namespace BookingJournal {

namespace {

// A record: magic, type, payload length (little-endian), payload, and the
// CRC-32 of type, length and payload. The magic lets the reader find the
// next whole record after a damaged one.
const char kMagic[4] = {'M', 'J', 'R', '1'};
constexpr size_t kHeaderBytes = 4 + 1 + 4;
constexpr size_t kChecksumBytes = 4;
// No record comes near this: a line is at most 440 bytes.
constexpr uint32_t kLongestPayload = 64 * 1024;

constexpr char kWritten = 'W';
constexpr char kDurable = 'D';
constexpr char kRetired = 'R';

// A journal this large with few live records left is written anew.
constexpr off_t kCompactionBytes = 1024 * 1024;

void putU32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out += static_cast<char>((value >> shift) & 0xFF);
  }
}

void putU64(std::string& out, uint64_t value) {
  putU32(out, static_cast<uint32_t>(value));
  putU32(out, static_cast<uint32_t>(value >> 32));
}

void putText(std::string& out, const std::string& text) {
  putU32(out, static_cast<uint32_t>(text.size()));
  out += text;
}

uint32_t checksum(std::string_view bytes) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string record(char type, const std::string& payload) {
  std::string out(kMagic, sizeof kMagic);
  out += type;
  putU32(out, static_cast<uint32_t>(payload.size()));
  out += payload;
  putU32(out, checksum(std::string_view(out).substr(sizeof kMagic)));
  return out;
}

// Reads little-endian values and length-prefixed texts; any read past the
// end sets failed.
struct Reader {
  std::string_view bytes;
  size_t position = 0;
  bool failed = false;

  bool has(size_t count) {
    failed = failed || bytes.size() - position < count;
    return !failed;
  }
  uint32_t u32() {
    uint32_t value = 0;
    if (has(4)) {
      for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[position + i]);
      }
      position += 4;
    }
    return value;
  }
  uint64_t u64() {
    uint64_t low = u32();
    return low | static_cast<uint64_t>(u32()) << 32;
  }
  std::string text() {
    uint32_t length = u32();
    if (!has(length)) {
      return std::string();
    }
    std::string value(bytes.substr(position, length));
    position += length;
    return value;
  }
};

std::vector<uint64_t> readSequences(Reader& reader) {
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
  if (bytes.size() - position < kHeaderBytes + kChecksumBytes ||
      bytes.compare(position, sizeof kMagic, std::string_view(kMagic, sizeof kMagic)) != 0) {
    return false;
  }
  Reader header{bytes, position + sizeof kMagic};
  type = bytes[header.position++];
  uint32_t payloadBytes = header.u32();
  if (payloadBytes > kLongestPayload ||
      bytes.size() - header.position < payloadBytes + kChecksumBytes) {
    return false;
  }
  payload = bytes.substr(header.position, payloadBytes);
  Reader trailer{bytes, header.position + payloadBytes};
  uint32_t stored = trailer.u32();
  length = kHeaderBytes + payloadBytes + kChecksumBytes;
  return stored == checksum(bytes.substr(position + sizeof kMagic, 1 + 4 + payloadBytes));
}

// Whether bytes after the last whole record hold one of full length that
// fails its checksum: damage, where a pass that died while writing leaves
// a record cut short (or nothing that starts like one).
bool endIsDamaged(std::string_view end) {
  size_t start = end.find(std::string_view(kMagic, sizeof kMagic));
  if (start == std::string_view::npos || end.size() - start < kHeaderBytes) {
    return false;
  }
  Reader header{end, start + sizeof kMagic + 1};
  uint32_t payloadBytes = header.u32();
  return payloadBytes <= kLongestPayload &&
         end.size() - header.position >= payloadBytes + kChecksumBytes;
}

// Applies one record; false when its payload does not read as its type.
bool apply(char type, std::string_view payload, std::map<uint64_t, WrittenBooking>& live,
           uint64_t& lastSequence) {
  Reader reader{payload};
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
    if (reader.failed || reader.position != payload.size() || booking.sequence == 0) {
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
  int fd = -1;
  std::string path;
  std::string installation;
  std::map<uint64_t, WrittenBooking> live;
  uint64_t lastSequence = 0;
  off_t size = 0;
  // The bookings of this installation that were live when the journal was
  // opened, by key, with what this pass learned of them; retiring one
  // drops it here too.
  std::map<MarkingKey, uint64_t> earlierPassByKey;
  std::map<uint64_t, EarlierPassState> earlierPass;
};

JournalState journal;

void closeAfterFailure(const char* what) {
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "cannot %s the journal of written bookings %s: %s; the rest of this pass "
                      "marks booking by booking, and a failure may export a booking twice",
                      what, journal.path.c_str(), std::strerror(errno));
  ::close(journal.fd);
  journal.fd = -1;
}

// Appends records at the journal's end; a write that fails leaves nothing
// of them behind that the reader would take for whole.
int append(const std::string& bytes, bool sync) {
  if (journal.fd < 0) {
    return -1;
  }
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t result = ::pwrite(journal.fd, bytes.data() + written, bytes.size() - written,
                              journal.size + static_cast<off_t>(written));
    if (result > 0) {
      written += static_cast<size_t>(result);
    } else if (result == 0 || errno != EINTR) {
      if (result == 0) {
        errno = ENOSPC;
      }
      int savedErrno = errno;
      ::ftruncate(journal.fd, journal.size);
      errno = savedErrno;
      closeAfterFailure("write");
      return -1;
    }
  }
  if (sync && ::fdatasync(journal.fd) != 0) {
    int savedErrno = errno;
    ::ftruncate(journal.fd, journal.size);
    errno = savedErrno;
    closeAfterFailure("sync");
    return -1;
  }
  journal.size += static_cast<off_t>(bytes.size());
  return 0;
}

bool readAll(int fd, std::string& bytes) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return false;
  }
  bytes.assign(static_cast<size_t>(info.st_size), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t result = ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
    if (result < 0 && errno == EINTR) {
      continue;
    }
    if (result <= 0) {
      break;
    }
    got += static_cast<size_t>(result);
  }
  bytes.resize(got);
  return true;
}

// Locks fd, waiting for a holder; false with errno set when it cannot.
bool lockJournal(int fd, const std::string& path) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      return false;
    }
    ErrorOutput::report(ErrorOutput::Priority::kNotice,
                        "another pass holds the journal of written bookings %s; waiting for it "
                        "to end",
                        path.c_str());
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        return false;
      }
    }
    break;
  }
  return true;
}

void indexEarlierPass() {
  for (const auto& [sequence, booking] : journal.live) {
    if (booking.installation == journal.installation) {
      journal.earlierPassByKey[booking.key] = sequence;
      journal.earlierPass[sequence] = EarlierPassState();
    }
  }
}

// Writes the live records to a new file and renames it over the journal. A
// pass waiting for the old file's lock finds its name gone and opens the new.
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
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool done = fd >= 0 &&
              ::write(fd, fresh.data(), fresh.size()) == static_cast<ssize_t>(fresh.size()) &&
              ::fsync(fd) == 0;
  if (fd >= 0) {
    ::close(fd);
  }
  if (done && ::rename(temporary.c_str(), journal.path.c_str()) == 0) {
    DirectoryEntry::syncDirectoryOf(journal.path);
  } else {
    std::remove(temporary.c_str());
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
  return record(kWritten, payload);
}

std::string encodeDurable(const std::vector<uint64_t>& sequences) {
  return record(kDurable, sequencesPayload(sequences));
}

std::string encodeRetired(const std::vector<uint64_t>& sequences) {
  return record(kRetired, sequencesPayload(sequences));
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
  struct stat named {};
  if (::stat(booking.transferPath.c_str(), &named) != 0 ||
      static_cast<uint64_t>(named.st_dev) != booking.device ||
      static_cast<uint64_t>(named.st_ino) != booking.inode || booking.line.empty() ||
      booking.offset > static_cast<uint64_t>(LLONG_MAX)) {
    return LineState::kUnknown;
  }
  int fd = ::open(booking.transferPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return LineState::kUnknown;
  }
  struct stat opened {};
  LineState state = LineState::kUnknown;
  if (::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
      S_ISREG(opened.st_mode)) {
    std::string found(booking.line.size(), '\0');
    ssize_t got = ::pread(fd, found.data(), found.size(), static_cast<off_t>(booking.offset));
    state = got == static_cast<ssize_t>(found.size()) && found == booking.line
                ? LineState::kInPlace
                : LineState::kMissing;
  }
  ::close(fd);
  return state;
}

std::string installationName(const std::string& dataSourceName) {
  char* directory = ::realpath(".", nullptr);
  std::string name = directory != nullptr ? directory : ".";
  std::free(directory);
  return name + " (data source " + dataSourceName + ")";
}

// The journal's name must survive a power loss before any record relies on
// it, so a journal created here has its directory synced at once.
int open(const std::string& path, const std::string& installation, std::string& cause) {
  if (journal.fd >= 0) {
    ::close(journal.fd);
  }
  journal = JournalState();
  int fd = -1;
  for (int attempt = 0; attempt < 4; ++attempt) {
    bool created = true;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) {
      created = false;
      fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
      cause = std::strerror(errno);
      return -1;
    }
    if (created && DirectoryEntry::syncDirectoryOf(path) != 0 && errno != EINVAL &&
        errno != ENOTSUP) {
      cause = std::string("its directory cannot be synced: ") + std::strerror(errno);
      ::close(fd);
      return -1;
    }
    if (!lockJournal(fd, path)) {
      cause = std::string("cannot be locked: ") + std::strerror(errno);
      ::close(fd);
      return -1;
    }
    if (DirectoryEntry::namesOpenFile(path, fd)) {
      break;
    }
    ::close(fd);  // written anew by the pass that held it
    fd = -1;
  }
  std::string bytes;
  if (fd < 0 || !readAll(fd, bytes)) {
    cause = fd < 0 ? "it was replaced again and again" : std::strerror(errno);
    if (fd >= 0) {
      ::close(fd);
    }
    return -1;
  }
  Contents contents;
  journal.live = parseLive(bytes, contents);
  journal.fd = fd;
  journal.path = path;
  journal.installation = installation;
  journal.lastSequence = contents.lastSequence;
  journal.size = static_cast<off_t>(contents.validEnd);
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
  // What follows the last whole record goes. A record torn by a pass that
  // died while writing it is said nowhere: its line was never appended, as
  // records are synced first.
  if (contents.validEnd < bytes.size() && ::ftruncate(fd, journal.size) != 0) {
    cause = std::string("its torn end cannot be cut off: ") + std::strerror(errno);
    ::close(fd);
    journal.fd = -1;
    return -1;
  }
  return 0;
}

bool isOpen() {
  return journal.fd >= 0;
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
  if (journal.fd < 0) {
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
  if (journal.fd < 0) {
    return;
  }
  if (journal.live.empty()) {
    if (journal.size > 0 && ::ftruncate(journal.fd, 0) == 0) {
      journal.size = 0;
    }
  } else if (journal.size > kCompactionBytes &&
             static_cast<off_t>(journal.live.size()) * 1024 < journal.size / 2) {
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
  missing = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    missing = errno == ENOENT;
    cause = std::strerror(errno);
    return missing ? 0 : -1;
  }
  struct stat info {};
  int result = 0;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    cause = S_ISREG(info.st_mode) ? std::strerror(errno) : "not a regular file";
    result = -1;
  } else if (!readAll(fd, bytes)) {
    cause = std::strerror(errno);
    result = -1;
  }
  ::close(fd);
  return result;
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
  if (missing) {
    std::string directory = DirectoryEntry::directoryOf(path);
    found.writable = ::access(directory.c_str(), W_OK) == 0;
    found.cause = found.writable
                      ? std::string()
                      : std::string("its directory cannot be written: ") + std::strerror(errno);
    return 0;
  }
  for (const WrittenBooking& booking : parse(bytes).live) {
    ++(booking.installation == installation ? found.own : found.others);
  }
  found.writable = ::access(path.c_str(), R_OK | W_OK) == 0;
  if (!found.writable) {
    found.cause = std::strerror(errno);
  }
  return 0;
}

}  // namespace BookingJournal
