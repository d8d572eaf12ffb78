// A month file of the archive of sent lines as its reader meets it after a
// crash or a damaged disk: any bytes. The reader hands on the same lines
// and passes over the same bytes whatever blocks they come in; every byte
// is a whole record's, damage or a torn end; a line it hands on is one its
// writer wrote; and cutting the end where the writer would leaves the same
// lines with nothing torn.
//
// Input: 1 byte of block size (1 to 256), then the file's bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "files/LineArchive.h"

namespace {

struct Read {
  std::vector<std::string> records;  // each line written back as a record
  uint64_t damaged = 0;
  uint64_t torn = 0;
};

// Reads bytes in blocks as a file reader would.
Read readInBlocks(std::string_view bytes, size_t block) {
  Read read;
  LineArchive::Reading reading;
  auto each = [&read](LineArchive::ArchivedLine& line) {
    read.records.push_back(LineArchive::encode(line));
    return true;
  };
  std::string buffer;
  for (size_t at = 0; at < bytes.size(); at += block) {
    buffer += bytes.substr(at, block);
    size_t done = LineArchive::takeRecords(buffer, false, reading, each);
    fuzz::require(done <= buffer.size(), "the reader is done with no more than it was given");
    buffer.erase(0, done);
  }
  fuzz::require(LineArchive::takeRecords(buffer, true, reading, each) == buffer.size(),
                "at the end the reader is done with everything");
  read.damaged = reading.damagedBytes;
  read.torn = reading.tornBytes;
  return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  size_t block = static_cast<size_t>(data[0]) + 1;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  Read whole = readInBlocks(bytes, bytes.size() + 1);
  Read blocks = readInBlocks(bytes, block);
  fuzz::require(blocks.records == whole.records && blocks.damaged == whole.damaged &&
                    blocks.torn == whole.torn,
                "blocks of any size give the same reading");

  uint64_t recordBytes = 0;
  for (const std::string& record : whole.records) {
    recordBytes += record.size();
    fuzz::require(bytes.find(record) != std::string_view::npos,
                  "a line handed on is written back as the record it came from");
  }
  fuzz::require(recordBytes + whole.damaged + whole.torn == bytes.size(),
                "every byte is a whole record's, damage or a torn end");

  size_t end = LineArchive::wholeEnd(bytes, true);
  fuzz::require(end <= bytes.size(), "the whole end lies within the file");
  if (end < bytes.size()) {
    Read cut = readInBlocks(bytes.substr(0, end), block);
    fuzz::require(cut.torn == 0 && cut.records == whole.records,
                  "cutting the end off loses no line and leaves nothing torn");
  }
  return 0;
}
