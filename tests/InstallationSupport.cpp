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

ProcessResult runExport(const SiteLayout& site, const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& environment, Program program) {
  return runProgram(program, "Morlund_MSSQL", args, site.work, environment);
}

}  // namespace test
