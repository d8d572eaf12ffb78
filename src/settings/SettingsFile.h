#pragma once

#include <cstdint>
#include <string>

// The settings file: two-line records (a header line, then number;key;value)
// holding the encrypted database credentials.
namespace SettingsFile {

// Returns the decrypted value of the first record that matches by section,
// by key or by number (any one suffices, tested in that order); empty when
// nothing matches or the file cannot be opened.
std::string lookupSetting(const std::string& path, const std::string& section,
                          const std::string& key, int32_t number);

}  // namespace SettingsFile
