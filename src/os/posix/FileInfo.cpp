#include "os/FileInfo.h"

#include <sys/stat.h>

#include "os/posix/Posix.h"

namespace Os {

namespace {

FileInfo infoOf(const struct stat& status) {
  FileInfo info;
  if (S_ISREG(status.st_mode)) {
    info.kind = FileKind::kRegular;
  } else if (S_ISDIR(status.st_mode)) {
    info.kind = FileKind::kDirectory;
  } else if (S_ISFIFO(status.st_mode)) {
    info.kind = FileKind::kFifo;
  } else if (S_ISLNK(status.st_mode)) {
    info.kind = FileKind::kSymbolicLink;
  }
  info.size = static_cast<int64_t>(status.st_size);
  info.identity.device = static_cast<uint64_t>(status.st_dev);
  info.identity.inode = static_cast<uint64_t>(status.st_ino);
  return info;
}

}  // namespace

int examine(const FileHandle& file, FileInfo& info, Error& error) {
  struct stat status {};
  if (::fstat(descriptorOf(file), &status) != 0) {
    error = lastSystemError();
    return -1;
  }
  info = infoOf(status);
  return 0;
}

int examineName(const std::string& path, Links links, FileInfo& info, Error& error) {
  struct stat status {};
  int result =
      links == Links::kFollow ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
  if (result != 0) {
    error = lastSystemError();
    return -1;
  }
  info = infoOf(status);
  return 0;
}

}  // namespace Os
