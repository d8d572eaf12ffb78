// The value cipher: decryption of any text a settings file may hold, and
// encryption of every value Morlund_Settings write stores.

#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "settings/SettingsFile.h"
#include "settings/ValueCipher.h"

namespace {

// The longest clear text write stores: it refuses a value whose stored form
// is longer than the reader's value field.
constexpr size_t kLongestStoredClearText = 96;

std::string decrypted(std::string_view text) {
  std::string out = "not cleared";
  fuzz::require(ValueCipher::decryptValue(text, out) == 1, "decryption always returns 1");
  return out;
}

bool upperCaseHex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

std::string hexOf(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 0x0F];
  }
  return hex;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  std::string clear = decrypted(text);
  fuzz::require(clear.size() <= (text.size() + 15) / 16 * 8,
                "each started block of 16 digits gives 8 bytes at most");
  fuzz::require(clear.find('\0') == std::string::npos, "clear text ends at its first zero byte");
  fuzz::require(!(text.empty() || text == "\n") || clear.empty(),
                "an empty value and a lone line feed decrypt to empty");
  if (text.size() % 16 != 0 && text != "\n") {
    std::string padded(text);
    padded.append(16 - text.size() % 16, '0');
    fuzz::require(decrypted(padded) == clear, "a short last block reads as filled with '0'");
  }
  // Blocks decrypt one by one: a first part without a zero byte in its
  // clear text is followed by the rest's.
  size_t split = size > 0 ? data[0] % (size / 16 + 1) * 16 : 0;
  std::string_view rest = text.substr(split);
  if (split > 0 && !rest.empty() && rest != "\n") {
    std::string first = decrypted(text.substr(0, split));
    if (first.size() == split / 2) {
      fuzz::require(clear == first + decrypted(rest), "blocks decrypt independently");
    }
  }

  // Every value write accepts fits the reader's value field, and comes back.
  std::string printable;
  for (size_t i = 0; i < size && i < 2 * kLongestStoredClearText; ++i) {
    printable += static_cast<char>(0x20 + data[i] % 95);
  }
  std::string stored = ValueCipher::encryptValue(printable);
  fuzz::require(upperCaseHex(stored), "a stored value is upper-case hexadecimal");
  fuzz::require(stored.size() == (printable.size() + 7) / 8 * 16,
                "each started block of 8 bytes is stored as 16 digits");
  fuzz::require((stored.size() <= SettingsFile::kMaxValueLength) ==
                    (printable.size() <= kLongestStoredClearText),
                "exactly the values write accepts fit the value field");
  fuzz::require(decrypted(stored) == printable, "a printable value decrypts to itself");

  // On stored forms the two are exact inverses.
  std::string hex = hexOf(text);
  std::string fromHex = decrypted(hex);
  if (fromHex.size() == text.size() && hex.size() % 16 == 0) {
    fuzz::require(ValueCipher::encryptValue(fromHex) == hex,
                  "a stored form whose clear text holds no zero byte is encrypted back to itself");
  }
  return 0;
}
