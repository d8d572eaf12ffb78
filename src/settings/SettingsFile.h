#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The settings file: two-line records (a header line, then number;key;value)
// holding the encrypted database credentials.
namespace SettingsFile {

// The longest stored value a record can carry.
inline constexpr size_t kMaxValueLength = 201;
// A DATABASE value is taken as the data source name only up to this length.
inline constexpr size_t kMaxDataSourceNameLength = 41;

// Returns the decrypted value of the first record that matches by section,
// by key or by number (any one suffices, tested in that order); empty when
// nothing matches or the file cannot be opened.
std::string lookupSetting(const std::string& path, const std::string& section,
                          const std::string& key, int32_t number);

}  // namespace SettingsFile
