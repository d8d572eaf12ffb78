#include "TdsLogin.h"

#include "TdsPackets.h"
#include "TdsText.h"

namespace {

// Offsets of the offset/length pairs of the fixed part.
constexpr size_t kUserNameField = 40;
constexpr size_t kPasswordField = 44;

// A LOGIN7 string: the offset/length pair at `field` points into the
// payload, the length counting UCS-2 characters.
std::string loginField(const std::string& payload, size_t field, bool password) {
  ByteReader reader(payload);
  reader.skip(field);
  uint16_t offset = reader.u16();
  uint16_t count = reader.u16();
  if (reader.failed || offset + 2 * static_cast<size_t>(count) > payload.size()) {
    return std::string();
  }
  std::string bytes = payload.substr(offset, 2 * static_cast<size_t>(count));
  if (password) {
    // The client swapped each byte's nibbles and then XORed it with 0xA5.
    for (char& c : bytes) {
      unsigned char b = static_cast<unsigned char>(c) ^ 0xA5;
      c = static_cast<char>((b << 4 | b >> 4) & 0xFF);
    }
  }
  return cp1252FromUcs2(bytes);
}

bool since72Version(uint32_t version) {
  switch (version) {
    case 0x72090002:
    case 0x730A0003:
    case 0x730B0003:
    case 0x74000004:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool readLogin7(const std::string& payload, TdsLogin& login) {
  login = TdsLogin();
  if (payload.size() < kLogin71FixedLength) {
    return false;
  }
  ByteReader reader(payload);
  reader.skip(4);
  login.version = reader.u32();
  login.since72 = since72Version(login.version);
  login.user = loginField(payload, kUserNameField, false);
  login.password = loginField(payload, kPasswordField, true);
  return true;
}
