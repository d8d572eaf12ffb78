#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "DriverPathSupport.h"
#include "TestSupport.h"

// The two builds of the programs an end-to-end test runs: Linux's, and
// Windows' (the same source cross-built by scripts/package --windows into
// build/windows) started under Wine, whose odbc32.dll hands every ODBC call
// to this machine's unixODBC: both meet the same stand-in database through
// the same registration. A test of both derives from ProgramPathTest and
// joins them with
//   INSTANTIATE_TEST_SUITE_P(, Suite, test::kEveryProgramAndDriverPath, test::programPathName);
// (both programs along both driver paths) or
//   INSTANTIATE_TEST_SUITE_P(, Suite, test::kBothPrograms, test::programName);
// (both programs through the stand-in driver). The run log, the transfer
// file, the journal and the metrics file must come out byte for byte as on
// Linux; only the console differs (console()).
namespace test {

enum class Program { kLinux, kWindows };

struct ProgramPath {
  Program program = Program::kLinux;
  DriverPath driver = DriverPath::kStandinDriver;
};

inline const auto kEveryProgramAndDriverPath =
    testing::Values(ProgramPath{Program::kLinux, DriverPath::kStandinDriver},
                    ProgramPath{Program::kLinux, DriverPath::kFreeTds},
                    ProgramPath{Program::kWindows, DriverPath::kStandinDriver},
                    ProgramPath{Program::kWindows, DriverPath::kFreeTds});
inline const auto kBothPrograms =
    testing::Values(ProgramPath{Program::kLinux}, ProgramPath{Program::kWindows});

// "Linux, stand-in driver" and the like, where GoogleTest shows a parameter.
void PrintTo(const ProgramPath& variant, std::ostream* out);

// "StandinDriver", "FreeTds", "WindowsStandinDriver", "WindowsFreeTds": the
// Linux names are those the tests had before Windows joined.
std::string programPathName(const testing::TestParamInfo<ProgramPath>& info);
// "Linux" or "Windows".
std::string programName(const testing::TestParamInfo<ProgramPath>& info);

// Why the Windows programs cannot run in this build, empty when they can.
std::string windowsProgramsMissing();

// The Wine prefix of this test run, made once by the test WinePrefix.
std::string winePrefix();

// The command line that starts program `name` ("Morlund_MSSQL",
// "Morlund_Settings") of a build, followed by args.
std::vector<std::string> programCommand(Program program, const std::string& name,
                                        const std::vector<std::string>& args);

// environment plus what the program needs to start: for Windows, the run's
// Wine prefix and Wine's quiet logging but for the eventlog channel. For
// Windows it also registers the data sources that environment's ODBCINI
// names (and their drivers in ODBCSYSINI's odbcinst.ini) in the prefix's
// registry, as an administrator registers a System DSN on Windows: Wine's
// odbc32 hands the connection to unixODBC, which reads the files, but the
// installer library (SQLGetPrivateProfileString: the server and port of a
// refused connection, the driver that check names) reads the registry. The
// prefix is one per run, so the Windows tests take turns (RESOURCE_LOCK in
// tests/CMakeLists.txt).
std::map<std::string, std::string> programEnvironment(
    Program program, std::map<std::string, std::string> environment);

// The name a Windows program under Wine gives a path of this machine (as
// GetFinalPathNameByHandle does): "Z:" and backslashes; the path itself for
// Linux's.
std::string programPath(Program program, const std::string& path);

// An event a Windows program reported to the Application log, as Wine's
// eventlog channel shows it: the level ("err" for an error, "warn" for a
// warning, "trace" for information) and the text.
struct WindowsEvent {
  std::string level;
  std::string text;
};
std::vector<WindowsEvent> windowsEvents(const ProcessResult& result);

// For the Windows program: every line of its standard error went to the
// event log as well, in its order, with its level (levels: one per line).
// Wine shows at most about 290 characters of an event: a longer text must
// start with what it shows.
void expectEventsOfStandardError(const ProcessResult& result,
                                 const std::vector<std::string>& levels);

// tests/windows/WineFileProbe.exe, a Windows program that looks at files as
// another Windows process does, with its arguments.
std::vector<std::string> probeCommand(const std::vector<std::string>& args);

// The identity a Windows program gives the file at path (volume serial
// number and file index), as the journal records it.
void windowsIdentity(const std::string& path, uint64_t& device, uint64_t& inode);

// runProcess and startProcess for program `name` of a build. Under Wine a
// memory limit is not applied: Wine reserves far more address space than a
// program uses; the timeout still bounds the child.
ProcessResult runProgram(Program program, const std::string& name,
                         const std::vector<std::string>& args, const std::string& cwd,
                         const std::map<std::string, std::string>& environment = {},
                         const std::string& stdinText = "", ProcessOptions options = {});
StartedProcess startProgram(Program program, const std::string& name,
                            const std::vector<std::string>& args, const std::string& cwd,
                            const std::map<std::string, std::string>& environment = {});

// Console text as a program of that build writes it: a Windows program's
// standard output and error are in text mode, which turns every "\n" into
// "\r\n".
std::string console(Program program, const std::string& text);

// What a program of that build meant to write, from what its console got:
// for Windows every "\r\n" back to "\n" (a "\n" without its "\r" fails
// the test); Linux's as it is.
std::string fromConsole(Program program, const std::string& shown);

// An operating system's text for a failure as a program of that build
// gives it: strerror's for Linux, the one Wine's FormatMessage gives (without
// its final full stop) for Windows, for the texts the tests meet.
std::string systemText(Program program, const std::string& posixText);

// Base of the tests of both programs: a Windows variant fails, saying why,
// where the Windows programs are not built.
class ProgramPathTest : public testing::TestWithParam<ProgramPath> {
 protected:
  void SetUp() override;
  Program program() const { return GetParam().program; }
  DriverPath driverPath() const { return GetParam().driver; }
  bool windows() const { return program() == Program::kWindows; }
  std::string console(const std::string& text) const { return test::console(program(), text); }
  std::string fromConsole(const std::string& shown) const {
    return test::fromConsole(program(), shown);
  }
  std::string systemText(const std::string& posixText) const {
    return test::systemText(program(), posixText);
  }
  std::string programPath(const std::string& path) const {
    return test::programPath(program(), path);
  }
  // For a case of a table that only Linux's program can meet: true for the
  // Windows variant, which then leaves the case out and says why.
  bool linuxOnlyCase(const std::string& what, const char* reason) const;
};

}  // namespace test

// Ends the Windows variant of a test as skipped, with the reason the test is
// Linux's alone (a preloaded fault library, flock, a Linux device or file
// mode). Inside a test of ProgramPathTest; the else keeps an enclosing if
// from taking it.
#define MORLUND_LINUX_ONLY(reason)                       \
  if (GetParam().program != ::test::Program::kWindows) { \
  } else                                                 \
    GTEST_SKIP() << "Linux only: " << (reason)
