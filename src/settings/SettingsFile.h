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

// A lookup reads no further into the file than this: a settings file holds
// a few hundred bytes, and a lookup must end whatever the path names.
inline constexpr size_t kMaxReadBytes = 64 * 1024;

// Whether path can serve as the settings file: it opens for reading, without
// waiting for a writer should it be a FIFO, and is a regular file. Returns
// 0, or -1 with cause set to the system's text or "not a regular file".
int checkSettingsFile(const std::string& path, std::string& cause);

// Returns the decrypted value of the first record that matches by section,
// by key or by number (any one suffices, tested in that order); empty when
// nothing matches or the file cannot be opened.
std::string lookupSetting(const std::string& path, const std::string& section,
                          const std::string& key, int32_t number);

// The same lookup, also telling which record answered: its place in the
// file (1 for the first record), or 0 when none did.
std::string lookupSetting(const std::string& path, const std::string& section,
                          const std::string& key, int32_t number, int& answeringRecord);

}  // namespace SettingsFile
