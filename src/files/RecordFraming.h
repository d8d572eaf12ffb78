#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The records of the files this tool appends to and reads back after a
// crash: the journal of written bookings and the archive of sent lines. A
// record is its magic, its type, its payload's length (little-endian), the
// payload and the CRC-32 of type, length and payload. The magic lets a
// reader find the next whole record after a damaged one; the checksum tells
// a whole record from a torn or damaged one.
namespace RecordFraming {

inline constexpr char kMagic[4] = {'M', 'J', 'R', '1'};
inline constexpr size_t kHeaderBytes = 4 + 1 + 4;
inline constexpr size_t kChecksumBytes = 4;
// No record comes near this: a line is at most 440 bytes.
inline constexpr uint32_t kLongestPayload = 64 * 1024;
inline constexpr size_t kLongestRecord = kHeaderBytes + kLongestPayload + kChecksumBytes;

// The fields of a payload, appended.
void putU32(std::string& out, uint32_t value);
void putU64(std::string& out, uint64_t value);
void putText(std::string& out, std::string_view text);

// A whole record of this type around payload.
std::string frame(char type, std::string_view payload);

// Reads little-endian values and length-prefixed texts of a payload; any
// read past its end sets failed.
struct FieldReader {
  std::string_view bytes;
  size_t position = 0;
  bool failed = false;

  bool has(size_t count);
  uint32_t u32();
  uint64_t u64();
  std::string text();
  bool atEnd() const { return position == bytes.size(); }
};

// What starts at position in bytes:
//   kWhole     a whole record: type, payload and length (of the whole record) set;
//   kCutShort  the start of one (its magic, or part of it, and a length a
//              record may have) that bytes end before it does;
//   kNone      no record: no magic, a length no record has, or a checksum
//              that fails.
enum class Found { kWhole, kCutShort, kNone };
Found recordAt(std::string_view bytes, size_t position, char& type, std::string_view& payload,
               size_t& length);

// Whether bytes after the last whole record hold one of full length that
// fails its checksum: damage, where a writer that died while writing leaves
// a record cut short (or nothing that starts like one).
bool endIsDamaged(std::string_view end);

}  // namespace RecordFraming
