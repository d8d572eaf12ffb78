#include "ProgramSupport.h"

#include <iostream>

namespace test {

namespace {

const char kWine[] = "/usr/lib/wine/wine64";

std::string windowsProgram(const std::string& name) {
  return buildDir() + "/windows/" + name + ".exe";
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
  for (const char* name : {"Morlund_MSSQL", "Morlund_Settings"}) {
    if (!fileExists(windowsProgram(name))) {
      return windowsProgram(name) +
             " is not built: the test WindowsBuild builds the Windows programs "
             "(scripts/package --windows) once src/os has its Windows implementation";
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
    environment["WINEPREFIX"] = winePrefix();
    // Quiet but for what says why a program cannot run: a driver manager
    // that cannot be loaded is told on winediag only, a DLL that cannot be
    // loaded on module.
    environment["WINEDEBUG"] = "-all,err+winediag,err+module";
    // No Mono or Gecko installers; no desktop process, whose start without
    // a display otherwise puts two winediag lines on the standard error of
    // the first program after the Wine server started.
    environment["WINEDLLOVERRIDES"] = "mscoree,mshtml=;explorer.exe=d";
  }
  return environment;
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

void ProgramPathTest::SetUp() {
  if (windows()) {
    std::string missing = windowsProgramsMissing();
    if (!missing.empty()) {
      GTEST_SKIP() << missing;
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
