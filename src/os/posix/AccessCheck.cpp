#include "os/AccessCheck.h"

#include <fcntl.h>
#include <unistd.h>

#include "os/posix/Posix.h"

namespace Os {

namespace {

int accessModeOf(Access access) {
  switch (access) {
    case Access::kCreateFilesIn:
      return W_OK | X_OK;
    case Access::kWrite:
      return W_OK;
    default:
      return R_OK | W_OK;
  }
}

}  // namespace

// Asked for the effective user, the one the process acts as.
int checkAccess(const std::string& path, Access access, Error& error) {
  if (::faccessat(AT_FDCWD, path.c_str(), accessModeOf(access), AT_EACCESS) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

}  // namespace Os
