#include "files/RecordFraming.h"

#include <zlib.h>

namespace RecordFraming {

namespace {

constexpr std::string_view kMagicText(kMagic, sizeof kMagic);

uint32_t checksum(std::string_view bytes) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace

void putU32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out += static_cast<char>((value >> shift) & 0xFF);
  }
}

void putU64(std::string& out, uint64_t value) {
  putU32(out, static_cast<uint32_t>(value));
  putU32(out, static_cast<uint32_t>(value >> 32));
}

void putText(std::string& out, std::string_view text) {
  putU32(out, static_cast<uint32_t>(text.size()));
  out += text;
}

std::string frame(char type, std::string_view payload) {
  std::string out(kMagicText);
  out += type;
  putU32(out, static_cast<uint32_t>(payload.size()));
  out += payload;
  putU32(out, checksum(std::string_view(out).substr(sizeof kMagic)));
  return out;
}

bool FieldReader::has(size_t count) {
  failed = failed || bytes.size() - position < count;
  return !failed;
}

uint32_t FieldReader::u32() {
  uint32_t value = 0;
  if (has(4)) {
    for (int i = 3; i >= 0; --i) {
      value = value << 8 | static_cast<unsigned char>(bytes[position + i]);
    }
    position += 4;
  }
  return value;
}

uint64_t FieldReader::u64() {
  uint64_t low = u32();
  return low | static_cast<uint64_t>(u32()) << 32;
}

std::string FieldReader::text() {
  uint32_t length = u32();
  if (!has(length)) {
    return std::string();
  }
  std::string value(bytes.substr(position, length));
  position += length;
  return value;
}

// A reader that has not yet seen a record's end asks for more bytes on
// kCutShort; one at the file's end takes the rest as torn.
Found recordAt(std::string_view bytes, size_t position, char& type, std::string_view& payload,
               size_t& length) {
  std::string_view rest = bytes.substr(position);
  if (rest.size() < sizeof kMagic) {
    return kMagicText.substr(0, rest.size()) == rest ? Found::kCutShort : Found::kNone;
  }
  if (rest.substr(0, sizeof kMagic) != kMagicText) {
    return Found::kNone;
  }
  if (rest.size() < kHeaderBytes) {
    return Found::kCutShort;
  }
  FieldReader header{rest, sizeof kMagic + 1};
  uint32_t payloadBytes = header.u32();
  if (payloadBytes > kLongestPayload) {
    return Found::kNone;
  }
  size_t whole = kHeaderBytes + payloadBytes + kChecksumBytes;
  if (rest.size() < whole) {
    return Found::kCutShort;
  }
  FieldReader trailer{rest, kHeaderBytes + payloadBytes};
  if (trailer.u32() != checksum(rest.substr(sizeof kMagic, 1 + 4 + payloadBytes))) {
    return Found::kNone;
  }
  type = rest[sizeof kMagic];
  payload = rest.substr(kHeaderBytes, payloadBytes);
  length = whole;
  return Found::kWhole;
}

bool endIsDamaged(std::string_view end) {
  size_t start = end.find(kMagicText);
  if (start == std::string_view::npos || end.size() - start < kHeaderBytes) {
    return false;
  }
  FieldReader header{end, start + sizeof kMagic + 1};
  uint32_t payloadBytes = header.u32();
  return payloadBytes <= kLongestPayload &&
         end.size() - header.position >= payloadBytes + kChecksumBytes;
}

}  // namespace RecordFraming
