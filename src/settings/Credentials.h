#pragma once

#include <string>

// The database credentials of an installation as a pass reads them from
// its settings file: the lookups of LOGIN, PASS and DATABASE, in this order.
namespace Credentials {

struct StoredCredentials {
  std::string login;
  std::string password;
  std::string dataSourceName;  // as stored, however long
  // The record that answered each lookup (1 for the first in the file), or
  // 0 when none did: login, password, data source name.
  int answeringRecords[3] = {0, 0, 0};
};

inline constexpr const char* kKeys[3] = {"LOGIN", "PASS", "DATABASE"};

StoredCredentials readCredentials(const std::string& settingsPath);

// The data source name a pass connects to: the stored one when it has at
// most SettingsFile::kMaxDataSourceNameLength characters, else empty.
std::string dataSourceNameForPass(const StoredCredentials& credentials);

}  // namespace Credentials
