#include "InstallationSupport.h"

#include "settings/ValueCipher.h"

namespace test {

SiteLayout::SiteLayout() {
  makeDirs(work);
  makeDirs(root.file("Vantoreum_php/log"));
}

void writeSettingsFile(const std::string& path, const std::string& user,
                       const std::string& password, const std::string& dataSourceName) {
  writeFile(path, ";DB;\r\n1;LOGIN;" + ValueCipher::encryptValue(user) + "\r\n;DB;\r\n2;PASS;" +
                      ValueCipher::encryptValue(password) + "\r\n;DB;\r\n3;DATABASE;" +
                      ValueCipher::encryptValue(dataSourceName) + "\r\n");
}

ProcessResult runExport(const SiteLayout& site, std::vector<std::string> args,
                        const std::map<std::string, std::string>& environment) {
  args.insert(args.begin(), buildDir() + "/Morlund_MSSQL");
  return runProcess(args, site.work, environment);
}

}  // namespace test
