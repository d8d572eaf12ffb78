// The settings file as a pass reads it: the three lookups of its credentials
// and the check before them, over any bytes in the file.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "settings/SettingsFile.h"

namespace {

// The longest clear text a value field that a record may carry decrypts to:
// each started block of 16 digits gives 8 bytes.
constexpr size_t kLongestAnswer = (SettingsFile::kMaxValueLength + 15) / 16 * 8;

// A key no record can carry (it is longer than a record's key field): its
// lookup answers only where a record answers every lookup.
const std::string kKeyOfNoRecord(201, 'K');

const char* const kKeys[] = {"LOGIN", "PASS", "DATABASE"};

// Bytes this process has read so far, as the kernel counts them; reading
// the count adds its own bytes after the count was taken.
size_t bytesReadSoFar(size_t& readingIt) {
  int fd = ::open("/proc/self/io", O_RDONLY | O_CLOEXEC);
  fuzz::require(fd >= 0, "the process's I/O counts can be read");
  char text[512];
  size_t length = 0;
  for (ssize_t n; (n = ::read(fd, text + length, sizeof text - 1 - length)) > 0;) {
    length += static_cast<size_t>(n);
  }
  ::close(fd);
  text[length] = '\0';
  readingIt = length;
  return std::strtoull(text + sizeof "rchar:" - 1, nullptr, 10);
}

struct Answers {
  std::string value[4];  // LOGIN, PASS, DATABASE, then the key of no record
  int record[4] = {0, 0, 0, 0};
};

// One lookup, which must read the file up to the read limit, no more and
// no less (readSize: how much that is; 0 leaves it unmeasured).
std::string lookUpOne(const fuzz::MemoryFile& file, int which, int* record, size_t readSize = 0) {
  const std::string key = which < 3 ? kKeys[which] : kKeyOfNoRecord;
  size_t countRead = 0;
  size_t before = readSize > 0 ? bytesReadSoFar(countRead) : 0;
  std::string value = record != nullptr
                          ? SettingsFile::lookupSetting(file.path(), "", key, 0, *record)
                          : SettingsFile::lookupSetting(file.path(), "", key, 0);
  size_t ignored = 0;
  fuzz::require(readSize == 0 || bytesReadSoFar(ignored) - before - countRead == readSize,
                "a lookup reads the file up to SettingsFile::kMaxReadBytes, no more, no less");
  return value;
}

// Every lookup. The form without the record is a wrapper of the other:
// one key per input, the one `otherForm` names, is looked up in both.
Answers lookUp(const fuzz::MemoryFile& file, size_t fileSize, int otherForm = -1) {
  Answers answers;
  for (int i = 0; i < 4; ++i) {
    answers.value[i] = lookUpOne(file, i, &answers.record[i], i == 0 ? fileSize : 0);
    if (i == otherForm) {
      fuzz::require(lookUpOne(file, i, nullptr) == answers.value[i],
                    "both forms of a lookup answer alike");
    }
  }
  return answers;
}

void checkAnswers(const Answers& answers, size_t fileSize) {
  for (int i = 0; i < 4; ++i) {
    const std::string& value = answers.value[i];
    int record = answers.record[i];
    fuzz::require(record >= 0, "a record number is never negative");
    fuzz::require(record > 0 || value.empty(), "a value comes from a record that answered");
    fuzz::require(2 * static_cast<size_t>(record) <= fileSize,
                  "every record read takes two bytes or more");
    fuzz::require(value.size() <= kLongestAnswer,
                  "no answer is longer than the longest value field decrypts to");
    fuzz::require(value.find('\0') == std::string::npos, "an answer ends at its first zero byte");
    // A record that answers the key of no record answers every lookup, so
    // no lookup reads past it, and one that stops there hears the same.
    if (answers.record[3] > 0) {
      fuzz::require(record > 0 && record <= answers.record[3],
                    "a record numbered 0 or without a section answers every lookup");
      fuzz::require(record != answers.record[3] || value == answers.value[3],
                    "one record answers every lookup alike");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryFile file("settings");
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.size() > SettingsFile::kMaxReadBytes) {
    return -1;
  }
  file.replace(input);
  std::string reason;
  fuzz::require(SettingsFile::checkSettingsFile(file.path(), reason) == 0,
                "a regular file passes the check");
  Answers answers = lookUp(file, input.size(), static_cast<int>(size % 4));
  checkAnswers(answers, input.size());

  // A record that answered still answers, and alike, whatever follows the
  // file's last line feed.
  size_t lastLineFeed = input.rfind('\n');
  if (lastLineFeed != std::string_view::npos && lastLineFeed + 1 < input.size()) {
    file.replace(input.substr(0, lastLineFeed + 1));
    Answers before = lookUp(file, lastLineFeed + 1);
    checkAnswers(before, lastLineFeed + 1);
    for (int i = 0; i < 4; ++i) {
      fuzz::require(before.record[i] == 0 || (before.record[i] == answers.record[i] &&
                                              before.value[i] == answers.value[i]),
                    "what follows the last line feed never changes an answer given before it");
    }
  }

  // Past a Ctrl-Z nothing is read as text, however much the file holds. The
  // file stays, and only its start changes: one lookup of it costs as much
  // as all the others together.
  static fuzz::MemoryFile longFile("long settings");
  static const std::string filling(SettingsFile::kMaxReadBytes + 4096, 'x');
  if (input.size() < SettingsFile::kMaxReadBytes) {
    static size_t written = [] {
      longFile.replace(filling);
      return size_t{0};
    }();
    longFile.overwrite(0, std::string_view(filling).substr(0, written));
    longFile.overwrite(0, input);
    longFile.overwrite(input.size(), "\x1A");
    written = input.size() + 1;
    int which = static_cast<int>(size / 4 % 4);
    int record = -1;
    std::string value = lookUpOne(longFile, which, &record, SettingsFile::kMaxReadBytes);
    fuzz::require(value == answers.value[which] && record == answers.record[which],
                  "a Ctrl-Z ends the file");
  }
  return 0;
}
