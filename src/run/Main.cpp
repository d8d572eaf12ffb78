#include "files/ErrorOutput.h"
#include "os/Process.h"
#include "os/StandardStreams.h"
#include "run/ExportRun.h"

// A console whose reader went away (a pipe into head, a closed terminal)
// must not end the pass halfway, before its count, end entry and purge:
// console output that cannot be written is dropped like a log entry that
// cannot be, and said once on standard error.
int main(int argc, char** argv) {
  Os::ignoreBrokenPipes();
  int status = ExportRun::run(argc, argv);
  Os::Error error;
  if (Os::flushStandardOutput(error) != 0) {
    ErrorOutput::report(ErrorOutput::Priority::kNotice, "console output of this pass was lost: %s",
                        error.cause.c_str());
  }
  return status;
}
