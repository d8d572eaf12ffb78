#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What the server takes from a client's LOGIN7 message: the TDS version it
// speaks and the login, the password unscrambled.
struct TdsLogin {
  uint32_t version = 0;
  bool since72 = false;  // 7.2 to 7.4: the headers and token forms of 7.2
  std::string user;
  std::string password;
};

// LOGIN7's fixed part at 7.1; later versions add to it.
inline constexpr size_t kLogin71FixedLength = 86;

// Reads a LOGIN7 payload. False for one shorter than the fixed part; a
// string whose offset and length lead past the payload reads as empty.
bool readLogin7(const std::string& payload, TdsLogin& login);
