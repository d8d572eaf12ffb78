#pragma once

#include <string>
#include <vector>

#include "ProgramSupport.h"
#include "TestSupport.h"

namespace test {

// The directory layout of an installation: the program runs in <root>/a/b,
// so its fixed relative log path leads to <root>/Vantoreum_php/log.
struct SiteLayout {
  TempDir root;
  std::string work = root.file("a/b");
  std::string logPath = root.file("Vantoreum_php/log/Palvexa#Log.txt");
  std::string settingsPath = work + "/Vantoreum.ini";
  std::string transferPath = work + "/BEWDATA.dat";

  SiteLayout();
  std::string log() const { return readFile(logPath); }
};

// A settings file with the three credentials, each record matching only its
// own key.
void writeSettingsFile(const std::string& path, const std::string& user,
                       const std::string& password, const std::string& dataSourceName);

// The export program of a build with args, run in the site's working
// directory.
ProcessResult runExport(const SiteLayout& site, const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& environment,
                        Program program = Program::kLinux);

}  // namespace test
