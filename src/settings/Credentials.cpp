#include "settings/Credentials.h"

#include "settings/SettingsFile.h"

namespace Credentials {

StoredCredentials readCredentials(const std::string& settingsPath) {
  StoredCredentials stored;
  std::string* values[3] = {&stored.login, &stored.password, &stored.dataSourceName};
  for (int i = 0; i < 3; ++i) {
    *values[i] =
        SettingsFile::lookupSetting(settingsPath, "", kKeys[i], 0, stored.answeringRecords[i]);
  }
  return stored;
}

std::string dataSourceNameForPass(const StoredCredentials& credentials) {
  return credentials.dataSourceName.size() > SettingsFile::kMaxDataSourceNameLength
             ? std::string()
             : credentials.dataSourceName;
}

}  // namespace Credentials
