// The stand-in TDS server's LOGIN7 reader: version, user and password out of
// any payload, and every login a client may send read back as sent.
//
// Input: the payload. The same payload carrying a login: its first three
// bytes give the lengths of user and password and where they lie.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "TdsLogin.h"
#include "TdsText.h"

namespace {

constexpr size_t kUserField = 40;
constexpr size_t kPasswordField = 44;

uint16_t u16At(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                               static_cast<unsigned char>(bytes[at + 1]) << 8);
}

void putU16At(std::string& bytes, size_t at, size_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>(value >> 8 & 0xFF);
}

// How long a string the offset/length pair at `field` leads to, in
// characters; 0 when it leads past the payload.
size_t fieldLength(std::string_view payload, size_t field) {
  size_t offset = u16At(payload, field);
  size_t count = u16At(payload, field + 2);
  return offset + 2 * count <= payload.size() ? count : 0;
}

// What a client does to the password: each byte's nibbles swapped, then
// XORed with 0xA5.
std::string scrambled(std::string ucs2) {
  for (char& c : ucs2) {
    unsigned char b = static_cast<unsigned char>(c);
    c = static_cast<char>(((b << 4 | b >> 4) & 0xFF) ^ 0xA5);
  }
  return ucs2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) {
    return -1;
  }
  std::string payload(reinterpret_cast<const char*>(data), size);
  TdsLogin login;
  login.user = "left over";
  bool read = readLogin7(payload, login);
  fuzz::require(read == (size >= kLogin71FixedLength),
                "a payload is taken exactly when it holds the fixed part");
  if (read) {
    uint32_t version =
        static_cast<uint32_t>(u16At(payload, 4)) | static_cast<uint32_t>(u16At(payload, 6)) << 16;
    fuzz::require(login.version == version, "the version is the fixed part's");
    fuzz::require(!login.since72 || (version >> 24 >= 0x72 && version >> 24 <= 0x74),
                  "only a version 7.2 to 7.4 speaks 7.2");
    fuzz::require(login.user.size() == fieldLength(payload, kUserField),
                  "the user has the characters its field counts, none when it leads past the "
                  "payload");
    fuzz::require(login.password.size() == fieldLength(payload, kPasswordField),
                  "the password has the characters its field counts, none when it leads past "
                  "the payload");
  } else {
    fuzz::require(login.user.empty() && login.password.empty() && login.version == 0,
                  "a payload not taken leaves nothing of an earlier login");
  }

  // A login placed in the payload, past the fixed part, reads back as sent.
  if (size < 3) {
    return 0;
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t userLength = data[0] % 129;
  size_t passwordLength = data[1] % 129;
  std::string_view text = input.substr(3);
  std::string user(text.substr(0, userLength));
  std::string password(text.substr(std::min(text.size(), userLength), passwordLength));
  size_t userAt = kLogin71FixedLength + data[2] % 16;
  size_t passwordAt = userAt + 2 * user.size() + data[2] / 16;
  std::string sent = payload;
  sent.resize(std::max(sent.size(), passwordAt + 2 * password.size()), '\0');
  sent.replace(userAt, 2 * user.size(), ucs2FromCp1252(user));
  sent.replace(passwordAt, 2 * password.size(), scrambled(ucs2FromCp1252(password)));
  putU16At(sent, kUserField, userAt);
  putU16At(sent, kUserField + 2, user.size());
  putU16At(sent, kPasswordField, passwordAt);
  putU16At(sent, kPasswordField + 2, password.size());
  fuzz::require(readLogin7(sent, login), "a login past the fixed part is taken");
  fuzz::require(login.user == user, "the user reads back as sent");
  fuzz::require(login.password == password, "the password reads back as the client sent it");
  return 0;
}
