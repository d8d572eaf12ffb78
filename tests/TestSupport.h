#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Helpers shared by the tests: scratch directories, whole-file I/O and
// running the project's programs as real processes.
namespace test {

// Paths of the build and source trees, fixed at configure time.
std::string buildDir();
std::string sourceDir();

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool fileExists(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
void makeDirs(const std::string& path);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> entries(const std::string& directory);

struct ProcessResult {
  int exitStatus = -1;  // 0..255, or -1 when the process did not exit normally
  int signal = 0;       // the signal that ended it, if one did
  bool timedOut = false;
  std::string out;
  std::string err;
  double seconds = 0;
  // Lines of Wine's eventlog debug channel (a Windows program's events),
  // taken out of err: see ProgramSupport.h.
  std::vector<std::string> wineEvents;
};

// What a test may change about a child beyond its arguments and environment.
struct ProcessOptions {
  std::string stdinPath;   // when set, standard input is this file, not the text
  std::string stdoutPath;  // when set, standard output goes here and is not captured
  // Standard output is closed after this many bytes were read, 0 closes it
  // before the child runs: a reader that goes away early.
  size_t stdoutReadLimit = SIZE_MAX;
  // The child's memory, in MiB, when it is not 0: the address space, or
  // under AddressSanitizer (which reserves terabytes) its allocator's limits.
  size_t memoryLimitMiB = 0;
  // The child is killed after this long; every child is bounded.
  double timeoutSeconds = 300;
};

// A child started by startProcess, its output still to be collected.
struct StartedProcess {
  int pid = -1;
  int outFd = -1;
  int errFd = -1;
  double startSeconds = 0;
  size_t stdoutReadLimit = SIZE_MAX;
};

// Starts argv[0] like runProcess, without waiting for it.
StartedProcess startProcess(const std::vector<std::string>& argv, const std::string& cwd,
                            const std::map<std::string, std::string>& extraEnv = {},
                            const std::string& stdinText = "", const ProcessOptions& options = {});

// Collects the child's output and waits for its end. A child still running
// after timeoutSeconds is killed (exitStatus -1), so no test hangs on it.
ProcessResult finishProcess(StartedProcess& process, double timeoutSeconds = 300);

// Runs argv[0] with the given arguments in directory cwd. Variables in
// extraEnv are added to (or replace) this process's environment; stdinText
// is fed to its standard input, which is then closed. The child starts with
// SIGPIPE at its default, as from a shell.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::map<std::string, std::string>& extraEnv = {},
                         const std::string& stdinText = "", const ProcessOptions& options = {});

// Runs body in a forked child whose files may not grow past maxFileBytes
// (writes beyond stop short, as on a full disk) and returns body's result,
// or -1 when the child did not exit normally.
int runWithFileSizeLimit(long maxFileBytes, const std::function<int()>& body);

// The lines of text, without their line feeds.
std::vector<std::string> lines(const std::string& text);

// Replaces every "\n" by "\r\n": the stored form of run-log text.
std::string crlf(const std::string& text);

}  // namespace test
