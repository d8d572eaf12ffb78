#pragma once

#include <string>
#include <string_view>

// Settings values are stored as Blowfish ciphertext under a fixed key,
// written as upper-case hexadecimal digits, 16 per 8-byte block, with each
// block's halves packed little-endian.
namespace ValueCipher {

// Decrypts a stored value into its clear text. Always returns 1.
int decryptValue(std::string_view hexText, std::string& out);

// The exact inverse: clear text padded with zero bytes to whole blocks,
// encrypted, written as upper-case hexadecimal.
std::string encryptValue(std::string_view clearText);

}  // namespace ValueCipher
