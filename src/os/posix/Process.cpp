#include "os/Process.h"

#include <errno.h>

#include <csignal>

namespace Os {

const char* programName() {
  return program_invocation_short_name;
}

void ignoreBrokenPipes() {
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace Os
