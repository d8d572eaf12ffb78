#include <gtest/gtest.h>

#include "DriverPathSupport.h"

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "TestSupport.h"

namespace test {

std::string freeTdsDriver() {
  glob_t found{};
  std::string path;
  if (glob("/usr/lib/*/odbc/libtdsodbc.so", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
    path = found.gl_pathv[0];
  }
  globfree(&found);
  return path;
}

namespace {

// The next line of a child's output, without its end; empty when none comes
// within ten seconds.
std::string readLine(int fd, std::string& unread) {
  pollfd ready = {fd, POLLIN, 0};
  while (unread.find('\n') == std::string::npos && poll(&ready, 1, 10000) > 0) {
    char chunk[64];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) {
      break;
    }
    unread.append(chunk, static_cast<size_t>(n));
  }
  size_t end = unread.find('\n');
  if (end == std::string::npos) {
    return std::string();
  }
  std::string line = unread.substr(0, end);
  unread.erase(0, end + 1);
  return line;
}

}  // namespace

TdsServerProcess::TdsServerProcess(const std::string& databasePath, int lifetimeSeconds) {
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  std::string program = buildDir() + "/StandinTdsServer";
  std::string lifetime = std::to_string(lifetimeSeconds);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(output[1], 1);
    execl(program.c_str(), program.c_str(), databasePath.c_str(), "0", lifetime.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(output[1]);
  output_ = output[0];
  // The first line is the port; a server that says nothing in time failed.
  std::string line = readLine(output_, unread_);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    ADD_FAILURE() << "StandinTdsServer printed no port: '" << line << "'";
  }
}

TdsServerProcess::~TdsServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) {
    close(output_);
  }
}

long TdsServerProcess::servedRequests() {
  for (;;) {
    std::string line = readLine(output_, unread_);
    if (line.empty()) {
      return -1;
    }
    long requests = 0;
    if (std::sscanf(line.c_str(), "served %ld requests", &requests) == 1) {
      return requests;
    }
  }
}

std::map<std::string, std::string> registerFreeTdsDataSource(const std::string& directory, int port,
                                                             const std::string& clientCharset,
                                                             const std::string& tdsVersion) {
  makeDirs(directory);
  ProcessResult registered = runProcess(
      {"/bin/bash", sourceDir() + "/scripts/standin-env", "--freetds", directory,
       std::to_string(port)},
      directory, {{"STANDIN_CLIENT_CHARSET", clientCharset}, {"STANDIN_TDS_VERSION", tdsVersion}});
  EXPECT_EQ(registered.exitStatus, 0) << registered.err;
  // The script prints "export NAME=value" lines with plain paths.
  std::map<std::string, std::string> environment;
  size_t start = 0;
  while (start < registered.out.size()) {
    size_t end = registered.out.find('\n', start);
    std::string line = registered.out.substr(start, end - start);
    size_t equals = line.find('=');
    if (line.rfind("export ", 0) == 0 && equals != std::string::npos) {
      environment[line.substr(7, equals - 7)] = line.substr(equals + 1);
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  EXPECT_EQ(environment.size(), 3u) << registered.out;
  return environment;
}

DriverPathEnvironment::DriverPathEnvironment(DriverPath path, const StandinDatabase& database) {
  if (path == DriverPath::kStandinDriver) {
    environment_ = database.odbcEnvironment();
    return;
  }
  server_ = std::make_unique<TdsServerProcess>(database.databasePath());
  environment_ = registerFreeTdsDataSource(database.iniDirectory() + "/freetds", server_->port());
}

}  // namespace test
