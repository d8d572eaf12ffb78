#include "os/posix/Posix.h"

#include <cerrno>
#include <cstring>

namespace Os {

namespace {

ErrorKind kindOf(int errorNumber) {
  switch (errorNumber) {
    case ENOENT:
      return ErrorKind::kNotFound;
    case EEXIST:
      return ErrorKind::kExists;
    case EACCES:
      return ErrorKind::kAccessDenied;
    case ESTALE:
      return ErrorKind::kAnotherFileNow;
    case EINVAL:
    case ENOTSUP:
      return ErrorKind::kUnsupported;
    case EWOULDBLOCK:
      return ErrorKind::kWouldBlock;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

Error systemError(int errorNumber) {
  return Error{kindOf(errorNumber), std::strerror(errorNumber)};
}

Error lastSystemError() {
  return systemError(errno);
}

mode_t modeOf(Permissions permissions) {
  switch (permissions) {
    case Permissions::kOwnerOnly:
      return 0600;
    case Permissions::kReadableByAll:
      return 0644;
    default:
      return 0666;
  }
}

}  // namespace Os
