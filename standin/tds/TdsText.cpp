#include "TdsText.h"

#include <cstdint>

namespace {

// Code points of 0x80-0x9F; the five bytes that Windows-1252 leaves undefined
// keep their C1 code point, so that every byte goes there and back.
const uint16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

uint16_t codePointOf(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHighControls[byte - 0x80] : byte;
}

char byteOf(uint16_t codePoint) {
  if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
    return static_cast<char>(codePoint);
  }
  for (int index = 0; index < 32; ++index) {
    if (kHighControls[index] == codePoint) {
      return static_cast<char>(0x80 + index);
    }
  }
  return '?';
}

}  // namespace

std::string cp1252FromUcs2(std::string_view ucs2) {
  std::string text;
  text.reserve(ucs2.size() / 2);
  for (size_t index = 0; index + 1 < ucs2.size(); index += 2) {
    uint16_t codePoint = static_cast<unsigned char>(ucs2[index]) |
                         static_cast<uint16_t>(static_cast<unsigned char>(ucs2[index + 1]) << 8);
    text += byteOf(codePoint);
  }
  return text;
}

std::string ucs2FromCp1252(std::string_view text) {
  std::string ucs2;
  ucs2.reserve(text.size() * 2);
  for (char c : text) {
    uint16_t codePoint = codePointOf(static_cast<unsigned char>(c));
    ucs2 += static_cast<char>(codePoint & 0xFF);
    ucs2 += static_cast<char>(codePoint >> 8);
  }
  return ucs2;
}
