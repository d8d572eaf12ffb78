#include "ProgramSupport.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <sstream>

namespace test {

namespace {

const char kWine[] = "/usr/lib/wine/wine64";

std::string windowsProgram(const std::string& name) {
  return buildDir() + "/windows/" + name + ".exe";
}

std::string probeProgram() {
  return buildDir() + "/WineFileProbe.exe";
}

// What every Windows program needs to start quietly: the run's prefix, and
// of Wine's logging only what says why a program cannot run (a driver
// manager that cannot be loaded is told on winediag only, a DLL that cannot
// be loaded on module) and the events the program reports (eventlog, at
// each of its levels), which finishProcess takes out of standard error.
std::map<std::string, std::string> wineEnvironment(std::map<std::string, std::string> environment) {
  environment["WINEPREFIX"] = winePrefix();
  environment["WINEDEBUG"] =
      "-all,err+winediag,err+module,err+eventlog,warn+eventlog,trace+eventlog";
  // No Mono or Gecko installers; no desktop process, whose start without
  // a display otherwise puts two winediag lines on the standard error of
  // the first program after the Wine server started.
  environment["WINEDLLOVERRIDES"] = "mscoree,mshtml=;explorer.exe=d";
  return environment;
}

using IniSections = std::map<std::string, std::map<std::string, std::string>>;

// The sections of an odbc.ini or odbcinst.ini: "[NAME]" and "Key = Value".
IniSections iniSections(const std::string& path) {
  IniSections sections;
  if (!fileExists(path)) {
    return sections;
  }
  std::string section;
  for (std::string line : lines(readFile(path))) {
    line = line.substr(0, line.find_last_not_of(" \t\r") + 1);
    size_t equals = line.find('=');
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      sections[section];
    } else if (!section.empty() && equals != std::string::npos) {
      std::string key = line.substr(0, line.find_last_not_of(" \t", equals - 1) + 1);
      size_t value = line.find_first_not_of(" \t", equals + 1);
      sections[section][key] = value == std::string::npos ? "" : line.substr(value);
    }
  }
  return sections;
}

std::string regText(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') {
      quoted += '\\';
    }
    quoted += c;
  }
  return quoted + "\"";
}

// The sections of an ini file under key, each replacing what the key held
// under that name before.
std::string regSections(const std::string& key, const IniSections& sections) {
  std::string text;
  for (const auto& [name, values] : sections) {
    text += "[-" + key + "\\" + name + "]\n[" + key + "\\" + name + "]\n";
    for (const auto& [valueName, value] : values) {
      text += regText(valueName) + "=" + regText(value) + "\n";
    }
  }
  return text;
}

// What environment's registration is in Windows' registry: a System DSN
// (HKEY_LOCAL_MACHINE), as an administrator registers it, and the same as a
// User DSN (HKEY_CURRENT_USER), the only place where Wine 8's installer
// library looks; Windows looks there first, then in the machine's.
std::string registration(const std::map<std::string, std::string>& environment) {
  IniSections dataSources = iniSections(environment.at("ODBCINI"));
  auto system = environment.find("ODBCSYSINI");
  IniSections drivers =
      system == environment.end() ? IniSections() : iniSections(system->second + "/odbcinst.ini");
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  for (const char* root : {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"}) {
    const std::string odbc = std::string(root) + "\\Software\\ODBC\\";
    text += "[" + odbc + "ODBC.INI\\ODBC Data Sources]\n";
    for (const auto& [name, values] : dataSources) {
      auto driver = values.find("Driver");
      text += regText(name) + "=" + regText(driver == values.end() ? "" : driver->second) + "\n";
    }
    text += regSections(odbc + "ODBC.INI", dataSources);
    text += regSections(odbc + "ODBCINST.INI", drivers);
  }
  return text;
}

// Imported only when it differs from what this process imported last: the
// Windows tests take turns on the prefix, so nothing else changes it
// meanwhile.
void registerDataSourcesWithWine(const std::map<std::string, std::string>& environment) {
  static std::string imported;
  if (environment.count("ODBCINI") == 0) {
    return;
  }
  std::string text = registration(environment);
  if (text == imported) {
    return;
  }
  TempDir dir;
  writeFile(dir.file("odbc.reg"), text);
  ProcessResult result =
      runProcess({kWine, "reg", "import", dir.file("odbc.reg")}, dir.path(), wineEnvironment({}));
  EXPECT_EQ(result.exitStatus, 0) << "reg import: " << result.out << result.err;
  imported = text;
}

// A line of Wine's eventlog channel: "0024:warn:eventlog:ReportEventW
// L\"text\"" with \\, \", \n, \r, \t and \XXXX (hexadecimal) escaped, and
// "..." after the closing quote where the text was cut.
WindowsEvent parseEvent(const std::string& line) {
  WindowsEvent event;
  size_t level = line.find(':') + 1;
  event.level = line.substr(level, line.find(':', level) - level);
  size_t at = line.find("L\"");
  if (at == std::string::npos) {
    event.text = "(unreadable: " + line + ")";
    return event;
  }
  for (at += 2; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] != '\\' || at + 1 >= line.size()) {
      event.text += line[at];
      continue;
    }
    char escaped = line[++at];
    if (escaped == 'n' || escaped == 'r' || escaped == 't') {
      event.text += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : '\t';
    } else if (std::isxdigit(static_cast<unsigned char>(escaped)) && at + 3 < line.size()) {
      event.text += static_cast<char>(std::stoi(line.substr(at, 4), nullptr, 16));
      at += 3;
    } else {
      event.text += escaped;
    }
  }
  if (line.compare(at, 4, "\"...") == 0) {
    event.text += "...";
  }
  return event;
}

}  // namespace

void PrintTo(const ProgramPath& variant, std::ostream* out) {
  *out << (variant.program == Program::kWindows ? "Windows" : "Linux") << ", "
       << (variant.driver == DriverPath::kFreeTds ? "FreeTDS" : "stand-in driver");
}

std::string programPathName(const testing::TestParamInfo<ProgramPath>& info) {
  std::string driver = info.param.driver == DriverPath::kFreeTds ? "FreeTds" : "StandinDriver";
  return info.param.program == Program::kWindows ? "Windows" + driver : driver;
}

std::string programName(const testing::TestParamInfo<ProgramPath>& info) {
  return info.param.program == Program::kWindows ? "Windows" : "Linux";
}

std::string winePrefix() {
  return buildDir() + "/wine-prefix";
}

std::string windowsProgramsMissing() {
  if (!fileExists(probeProgram())) {
    return probeProgram() + " is not built (package g++-mingw-w64-x86-64-posix)";
  }
  for (const char* name : {"Morlund_MSSQL", "Morlund_Settings"}) {
    if (!fileExists(windowsProgram(name))) {
      return windowsProgram(name) +
             " is not built: the test WindowsBuild builds the Windows programs "
             "(scripts/package --windows)";
    }
  }
  if (!fileExists(kWine)) {
    return std::string(kWine) + " is missing (package wine64)";
  }
  if (!fileExists(winePrefix() + "/system.reg")) {
    return "no Wine prefix in " + winePrefix() + ": the test WinePrefix makes it";
  }
  return "";
}

std::vector<std::string> programCommand(Program program, const std::string& name,
                                        const std::vector<std::string>& args) {
  std::vector<std::string> command;
  if (program == Program::kWindows) {
    command = {kWine, windowsProgram(name)};
  } else {
    command = {buildDir() + "/" + name};
  }
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::map<std::string, std::string> programEnvironment(
    Program program, std::map<std::string, std::string> environment) {
  if (program == Program::kWindows) {
    registerDataSourcesWithWine(environment);
    environment = wineEnvironment(environment);
  }
  return environment;
}

std::string programPath(Program program, const std::string& path) {
  if (program != Program::kWindows) {
    return path;
  }
  std::string name = "Z:" + path;
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

std::vector<WindowsEvent> windowsEvents(const ProcessResult& result) {
  std::vector<WindowsEvent> events;
  for (const std::string& line : result.wineEvents) {
    events.push_back(parseEvent(line));
  }
  return events;
}

void expectEventsOfStandardError(const ProcessResult& result,
                                 const std::vector<std::string>& levels) {
  std::vector<std::string> shown = lines(result.err);
  std::vector<WindowsEvent> events = windowsEvents(result);
  ASSERT_EQ(shown.size(), levels.size()) << result.err;
  ASSERT_EQ(events.size(), shown.size()) << result.err;
  for (size_t i = 0; i < shown.size(); ++i) {
    std::string line = shown[i].substr(0, shown[i].find_last_not_of('\r') + 1);
    std::string text = events[i].text;
    bool cut = text.size() > 3 && text.compare(text.size() - 3, 3, "...") == 0 && line.size() > 250;
    EXPECT_EQ(events[i].level, levels[i]) << line;
    if (cut) {
      EXPECT_EQ(line.compare(0, text.size() - 3, text, 0, text.size() - 3), 0) << line << "\n"
                                                                               << text;
    } else {
      EXPECT_EQ(text, line);
    }
  }
}

std::vector<std::string> probeCommand(const std::vector<std::string>& args) {
  std::vector<std::string> command = {kWine, probeProgram()};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

void windowsIdentity(const std::string& path, uint64_t& device, uint64_t& inode) {
  ProcessResult result = runProcess(
      probeCommand({"identity", programPath(Program::kWindows, path)}), "/", wineEnvironment({}));
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  std::istringstream in(result.out);
  in >> device >> inode;
  ASSERT_FALSE(in.fail()) << result.out;
}

ProcessResult runProgram(Program program, const std::string& name,
                         const std::vector<std::string>& args, const std::string& cwd,
                         const std::map<std::string, std::string>& environment,
                         const std::string& stdinText, ProcessOptions options) {
  if (program == Program::kWindows) {
    options.memoryLimitMiB = 0;
  }
  return runProcess(programCommand(program, name, args), cwd,
                    programEnvironment(program, environment), stdinText, options);
}

StartedProcess startProgram(Program program, const std::string& name,
                            const std::vector<std::string>& args, const std::string& cwd,
                            const std::map<std::string, std::string>& environment) {
  return startProcess(programCommand(program, name, args), cwd,
                      programEnvironment(program, environment));
}

std::string console(Program program, const std::string& text) {
  return program == Program::kWindows ? crlf(text) : text;
}

std::string fromConsole(Program program, const std::string& shown) {
  if (program != Program::kWindows) {
    return shown;
  }
  std::string text;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n') {
      text += shown[++i];
      continue;
    }
    EXPECT_NE(shown[i], '\n') << "a line feed without its carriage return: " << shown;
    text += shown[i];
  }
  return text;
}

std::string systemText(Program program, const std::string& posixText) {
  static const std::map<std::string, std::string> kWineTexts = {
      {"No such file or directory", "File not found"},
      {"Permission denied", "Access denied"},
      {"No space left on device", "Disk full"},
      {"Broken pipe", "Pipe not connected"},
  };
  auto found = kWineTexts.find(posixText);
  if (program != Program::kWindows || found == kWineTexts.end()) {
    return posixText;
  }
  return found->second;
}

// The fixture MorlundWindows builds them before any Windows variant runs: a
// variant without them fails rather than pass unnoticed as skipped.
void ProgramPathTest::SetUp() {
  if (windows()) {
    std::string missing = windowsProgramsMissing();
    if (!missing.empty()) {
      GTEST_FAIL() << missing;
    }
  }
}

bool ProgramPathTest::linuxOnlyCase(const std::string& what, const char* reason) const {
  if (!windows()) {
    return false;
  }
  std::cout << "[   NOTE   ] left out for Windows, Linux only: " << what << " (" << reason << ")\n";
  return true;
}

}  // namespace test
