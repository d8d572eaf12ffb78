#include "settings/ValueCipher.h"

#include <cstring>

#include "os/Memory.h"
#include "settings/Blowfish.h"

namespace ValueCipher {

namespace {

constexpr uint8_t kKey[] = {'V', 'O', 'R', 'K', 'A', 'N', 'E'};
constexpr size_t kDigitsPerBlock = 16;
constexpr size_t kBytesPerBlock = 8;

// Built from the key for every value and wiped when the value is done, so
// no key material stays in memory between lookups.
Blowfish::State cipherState;

// 'A' to 'F' are 10 to 15; every other character counts as its code minus
// 48. That is right for '0' to '9' only: lower-case letters and anything
// else decode to wrong bytes, and stored values have always been written
// in upper case to match.
int digitValue(char digit) {
  if (digit >= 'A' && digit <= 'F') {
    return digit - 'A' + 10;
  }
  return static_cast<unsigned char>(digit) - 48;
}

// Halves are packed little-endian, unlike Blowfish's published vectors.
uint32_t loadHalf(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

void storeHalf(uint32_t half, uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(half >> (8 * i));
  }
}

}  // namespace

// Each started block of 16 digits gives 8 bytes. A last block shorter than
// 16 digits is filled with '0' digits rather than read past the value. The
// lone newline that an empty value leaves in the settings file means empty.
int decryptValue(std::string_view hexText, std::string& out) {
  out.clear();
  if (hexText.empty() || hexText == "\n") {
    return 1;
  }
  Blowfish::scheduleKey(cipherState, kKey, sizeof kKey);
  std::string clear;
  clear.reserve((hexText.size() + kDigitsPerBlock - 1) / kDigitsPerBlock * kBytesPerBlock);
  for (size_t offset = 0; offset < hexText.size(); offset += kDigitsPerBlock) {
    uint8_t block[kBytesPerBlock];
    for (size_t i = 0; i < kBytesPerBlock; ++i) {
      size_t position = offset + 2 * i;
      char high = position < hexText.size() ? hexText[position] : '0';
      char low = position + 1 < hexText.size() ? hexText[position + 1] : '0';
      block[i] = static_cast<uint8_t>(digitValue(high) * 16 + digitValue(low));
    }
    uint32_t left = loadHalf(block);
    uint32_t right = loadHalf(block + 4);
    Blowfish::decryptBlock(cipherState, left, right);
    storeHalf(left, block);
    storeHalf(right, block + 4);
    clear.append(reinterpret_cast<const char*>(block), kBytesPerBlock);
  }
  Blowfish::clearState(cipherState);
  out.assign(clear.c_str());  // the clear text ends at its first zero byte
  Os::wipeMemory(clear.data(), clear.size());
  return 1;
}

std::string encryptValue(std::string_view clearText) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  std::string stored;
  if (clearText.empty()) {
    return stored;
  }
  Blowfish::scheduleKey(cipherState, kKey, sizeof kKey);
  for (size_t offset = 0; offset < clearText.size(); offset += kBytesPerBlock) {
    uint8_t block[kBytesPerBlock] = {};
    for (size_t i = 0; i < kBytesPerBlock && offset + i < clearText.size(); ++i) {
      block[i] = static_cast<uint8_t>(clearText[offset + i]);
    }
    uint32_t left = loadHalf(block);
    uint32_t right = loadHalf(block + 4);
    Blowfish::encryptBlock(cipherState, left, right);
    storeHalf(left, block);
    storeHalf(right, block + 4);
    for (uint8_t byte : block) {
      stored += kHexDigits[byte >> 4];
      stored += kHexDigits[byte & 0x0F];
    }
  }
  Blowfish::clearState(cipherState);
  return stored;
}

}  // namespace ValueCipher
