#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace test {

std::string buildDir() {
  return MORLUND_BUILD_DIR;
}
std::string sourceDir() {
  return MORLUND_SOURCE_DIR;
}

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/morlund-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests make directories unwritable; give the owner access back first.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

bool fileExists(const std::string& path) {
  return std::filesystem::exists(path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

void makeDirs(const std::string& path) {
  std::filesystem::create_directories(path);
}

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

StartedProcess startProcess(const std::vector<std::string>& argv, const std::string& cwd,
                            const std::map<std::string, std::string>& extraEnv,
                            const std::string& stdinText, const ProcessOptions& options) {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals != nullptr) {
      environment[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
    }
  }
  for (const auto& [name, value] : extraEnv) {
    environment[name] = value;
  }
#ifdef __SANITIZE_ADDRESS__
  if (options.memoryLimitMiB != 0) {
    std::string limit = std::to_string(options.memoryLimitMiB);
    std::string& asanOptions = environment["ASAN_OPTIONS"];
    asanOptions += (asanOptions.empty() ? "" : ":") + std::string("hard_rss_limit_mb=") + limit +
                   ":max_allocation_size_mb=" + limit;
  }
#endif
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : environment) {
    envStrings.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& s : envStrings) {
    envp.push_back(s.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> argStrings = argv;
  std::vector<char*> args;
  for (auto& s : argStrings) {
    args.push_back(s.data());
  }
  args.push_back(nullptr);

  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (options.stdoutReadLimit == 0) {
    // Closed before the child exists, so that its first write fails.
    close(outPipe[0]);
    outPipe[0] = -1;
  }
  StartedProcess process;
  process.startSeconds = nowSeconds();
  process.stdoutReadLimit = options.stdoutReadLimit;
  pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    int in = options.stdinPath.empty() ? inPipe[0] : open(options.stdinPath.c_str(), O_RDONLY);
    int out = options.stdoutPath.empty()
                  ? outPipe[1]
                  : open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0) {
      _exit(125);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(errPipe[1], 2);
#ifndef __SANITIZE_ADDRESS__
    if (options.memoryLimitMiB != 0) {
      rlim_t bytes = static_cast<rlim_t>(options.memoryLimitMiB) << 20;
      rlimit limit = {bytes, bytes};
      setrlimit(RLIMIT_AS, &limit);
    }
#endif
    if (chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (!stdinText.empty() && options.stdinPath.empty()) {
    // Small inputs only: the child reads them before it writes much. A
    // child that ends before it reads them (isql after a refused login, on
    // a busy machine) must not take the test process down with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    ssize_t ignored = write(inPipe[1], stdinText.data(), stdinText.size());
    (void)ignored;
  }
  close(inPipe[1]);
  process.pid = pid;
  process.outFd = outPipe[0];
  process.errFd = errPipe[0];
  return process;
}

namespace {

// Wine writes each event a Windows program reports as a line of its eventlog
// debug channel, "0024:warn:eventlog:ReportEventW L\"...\"", into the
// program's standard error; the program's own lines stay apart from them.
// The channel's other lines (the event log service starting along with a
// Wine server) are no events.
void takeWineEvents(ProcessResult& result) {
  if (result.err.find(":eventlog:") == std::string::npos) {
    return;
  }
  std::string kept;
  for (size_t from = 0; from < result.err.size();) {
    size_t end = result.err.find('\n', from);
    end = end == std::string::npos ? result.err.size() : end + 1;
    std::string line = result.err.substr(from, end - from);
    size_t channel = line.find(":eventlog:");
    if (channel == std::string::npos || channel > 16) {
      kept += line;
    } else if (line.compare(channel + 10, 13, "ReportEventW ") == 0) {
      result.wineEvents.push_back(line.substr(0, line.find_last_not_of("\r\n") + 1));
    }
    from = end;
  }
  result.err = kept;
}

}  // namespace

ProcessResult finishProcess(StartedProcess& process, double timeoutSeconds) {
  ProcessResult result;
  pollfd fds[2] = {{process.outFd, POLLIN, 0}, {process.errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  if (process.outFd < 0) {
    fds[0].fd = -1;
    --open;
  }
  bool killed = false;
  while (open > 0) {
    double left = process.startSeconds + timeoutSeconds - nowSeconds();
    if (left <= 0 && !killed) {
      kill(process.pid, SIGKILL);
      killed = true;
      result.timedOut = true;
    }
    if (poll(fds, 2, killed ? -1 : static_cast<int>(left * 1000) + 1) <= 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        char chunk[4096];
        ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
          sinks[i]->append(chunk, static_cast<size_t>(n));
        }
        bool readerLeaves = i == 0 && result.out.size() >= process.stdoutReadLimit;
        if (n <= 0 || readerLeaves) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
  }
  int status = 0;
  waitpid(process.pid, &status, 0);
  result.seconds = nowSeconds() - process.startSeconds;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  process.pid = -1;
  takeWineEvents(result);
  return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::map<std::string, std::string>& extraEnv,
                         const std::string& stdinText, const ProcessOptions& options) {
  StartedProcess process = startProcess(argv, cwd, extraEnv, stdinText, options);
  return finishProcess(process, options.timeoutSeconds);
}

int runWithFileSizeLimit(long maxFileBytes, const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{static_cast<rlim_t>(maxFileBytes), static_cast<rlim_t>(maxFileBytes)};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    result.push_back(line);
  }
  return result;
}

std::string crlf(const std::string& text) {
  std::string stored;
  for (char c : text) {
    if (c == '\n') {
      stored += '\r';
    }
    stored += c;
  }
  return stored;
}

}  // namespace test
