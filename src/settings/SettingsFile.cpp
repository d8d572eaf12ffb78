#include "settings/SettingsFile.h"

#include <algorithm>
#include <string_view>

#include "os/FileData.h"
#include "os/FileOpening.h"
#include "settings/ValueCipher.h"

namespace SettingsFile {

namespace {

// Line buffers of the reader: a line longer than capacity - 1 characters is
// split, and its remainder is read as the following line.
constexpr size_t kHeaderLineCapacity = 200;
constexpr size_t kRecordLineCapacity = 400;

// Record fields. A record whose field would not fit is never taken.
constexpr size_t kMaxKeyLength = 200;
constexpr size_t kMaxNumberTextLength = 11;

constexpr int kCtrlZ = 0x1A;

// A line as fgets() delivers it, plus whether the file ended it.
struct TextLine {
  std::string text;  // up to its first zero byte, newline included
  bool endedByFile = false;
};

struct SettingRecord {
  std::string section;
  bool hasNumber = false;
  int32_t number = 0;
  std::string key;
  std::string value;
  bool fitsFields = true;
};

// Only a regular file is read: opening a FIFO does not wait for a writer,
// and a device, which may never end, is refused before anything is read.
int openRegularFile(const std::string& path, Os::FileHandle& file, std::string& cause) {
  Os::Error error;
  if (Os::openRegularFileForReading(path, Os::Links::kFollow, file, error) != 0) {
    cause = error.cause;
    return -1;
  }
  return 0;
}

// The start of the file as text mode delivers it on the platform the files
// come from: a carriage return directly before a line feed is dropped and a
// Ctrl-Z byte ends the file. Reading stops after kMaxReadBytes, and at a
// failure: what was read until then counts.
bool readAsText(const std::string& path, std::string& content) {
  Os::FileHandle file;
  std::string cause;
  if (openRegularFile(path, file, cause) != 0) {
    return false;
  }
  std::string raw;
  Os::Error error;
  Os::readFromStart(file, kMaxReadBytes, raw, error);
  raw.resize(std::min(raw.find(static_cast<char>(kCtrlZ)), raw.size()));
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\r' || i + 1 == raw.size() || raw[i + 1] != '\n') {
      content += raw[i];
    }
  }
  return true;
}

// Reads the next line like fgets() into a buffer of the given capacity.
// Returns false at the end of the content, leaving line unchanged.
bool readLine(const std::string& content, size_t& position, size_t capacity, TextLine& line) {
  if (position >= content.size()) {
    return false;
  }
  size_t end = position;
  while (end < content.size() && end - position < capacity - 1) {
    if (content[end++] == '\n') {
      break;
    }
  }
  std::string_view raw(content.data() + position, end - position);
  line.endedByFile = end == content.size() && raw.back() != '\n';
  line.text.assign(raw.substr(0, raw.find('\0')));
  position = end;
  return true;
}

// Position of the n-th occurrence of c in text; of the last one when there
// are fewer; -1 when there is none.
int nthIndex(std::string_view text, char c, int n) {
  int found = -1;
  int count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == c) {
      found = static_cast<int>(i);
      if (++count == n) {
        break;
      }
    }
  }
  return found;
}

// Copies length characters from start into out. A length of 0 takes the
// rest of the text, newline included; a negative length leaves out as it
// was. Both rules shape what an empty or missing field reads as.
void substring(std::string_view text, int start, int length, std::string& out) {
  if (length < 0) {
    return;
  }
  size_t from = std::min(static_cast<size_t>(start), text.size());
  out.assign(length == 0 ? text.substr(from) : text.substr(from, static_cast<size_t>(length)));
}

// Leading white space, an optional sign, then digits up to the first other
// character. No overflow check: the value wraps modulo 2^32.
int32_t parseNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}

// Line A gives the section, the text between its first and second ";".
// Line B is number;key;value. The value ends before the line's newline; the
// last line of a file without a final newline keeps its value up to the
// end of the file. A line B without any ";" has no number of its own.
SettingRecord parseRecord(const TextLine& header, const TextLine& line) {
  SettingRecord record;
  std::string_view a = header.text;
  int p1 = nthIndex(a, ';', 1);
  int p2 = nthIndex(a, ';', 2);
  substring(a, p1 + 1, p2 - p1 - 1, record.section);

  std::string_view b = line.text;
  p1 = nthIndex(b, ';', 1);
  p2 = nthIndex(b, ';', 2);
  if (p1 >= 0) {
    std::string numberText;
    substring(b, 0, p1, numberText);
    if (numberText.size() > kMaxNumberTextLength) {
      record.fitsFields = false;
    }
    record.hasNumber = true;
    record.number = parseNumber(numberText);
  }
  substring(b, p1 + 1, p2 - p1 - 1, record.key);
  int newline = nthIndex(b, '\n', 1);
  if (p2 >= 0 && !(newline < 0 && line.endedByFile)) {
    substring(b, p2 + 1, newline - p2 - 1, record.value);
  } else {
    substring(b, p2 + 1, 0, record.value);
  }
  if (record.key.size() > kMaxKeyLength || record.value.size() > kMaxValueLength) {
    record.fitsFields = false;
  }
  return record;
}

}  // namespace

int checkSettingsFile(const std::string& path, std::string& cause) {
  Os::FileHandle file;
  return openRegularFile(path, file, cause);
}

// Reads the file afresh from its start and walks its two-line records. The
// first record that matches by section, by key or by number (any one of
// them) answers; its value is decrypted. A file that cannot be opened and a
// lookup that matches nothing both answer with empty text.
std::string lookupSetting(const std::string& path, const std::string& section,
                          const std::string& key, int32_t number) {
  int answeringRecord = 0;
  return lookupSetting(path, section, key, number, answeringRecord);
}

std::string lookupSetting(const std::string& path, const std::string& section,
                          const std::string& key, int32_t number, int& answeringRecord) {
  answeringRecord = 0;
  std::string content;
  if (!readAsText(path, content)) {
    return std::string();
  }
  size_t position = 0;
  TextLine header;
  TextLine line;
  for (int recordNumber = 1;; ++recordNumber) {
    readLine(content, position, kHeaderLineCapacity, header);
    if (!readLine(content, position, kRecordLineCapacity, line)) {
      return std::string();
    }
    SettingRecord record = parseRecord(header, line);
    if (!record.fitsFields) {
      continue;
    }
    if (record.section == section || record.key == key ||
        (record.hasNumber && record.number == number)) {
      std::string clearText;
      ValueCipher::decryptValue(record.value, clearText);
      answeringRecord = recordNumber;
      return clearText;
    }
  }
}

}  // namespace SettingsFile
