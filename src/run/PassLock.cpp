#include "run/PassLock.h"

#include <string>

#include "files/ErrorOutput.h"
#include "os/WorkingDirectoryLock.h"

namespace PassLock {

// The working directory stands for the installation: the run log's fixed
// path and the default transfer file both hang off it. Passes of this tool
// are the only ones that lock it.
int acquire() {
  Os::Error directoryError;
  Os::Error lockFileError;
  auto sayWaiting = [] {
    ErrorOutput::report(ErrorOutput::Priority::kNotice,
                        "another pass runs in this working directory; waiting for it to end");
  };
  if (Os::lockWorkingDirectory(kLockFileName, sayWaiting, directoryError, lockFileError) == 0) {
    return 0;
  }
  ErrorOutput::report(ErrorOutput::Priority::kNotice,
                      "cannot lock the working directory (%s) nor its file %s (%s); running "
                      "without the pass lock",
                      directoryError.cause.c_str(), kLockFileName, lockFileError.cause.c_str());
  return -1;
}

int probe(std::string& cause) {
  Os::Error directoryError;
  Os::Error lockFileError;
  switch (Os::probeWorkingDirectoryLock(kLockFileName, directoryError, lockFileError)) {
    case Os::kLockFree:
      return kFree;
    case Os::kLockFileFree:
      return kFileLockFree;
    case Os::kLockHeld:
      return kHeld;
    default:
      cause = "the directory: " + directoryError.cause + "; " + kLockFileName + ": " +
              lockFileError.cause;
      return kUnlockable;
  }
}

}  // namespace PassLock
