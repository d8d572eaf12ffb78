#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "files/ErrorOutput.h"
#include "run/ExportRun.h"

// A console whose reader went away (a pipe into head, a closed terminal)
// must not end the pass halfway, before its count, end entry and purge:
// console output that cannot be written is dropped like a log entry that
// cannot be, and said once on standard error.
int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  int status = ExportRun::run(argc, argv);
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // A write that failed earlier left no errno worth quoting.
    ErrorOutput::report(ErrorOutput::Priority::kNotice, "console output of this pass was lost: %s",
                        errno != 0 ? std::strerror(errno) : "write error");
  }
  return status;
}
