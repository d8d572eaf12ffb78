#include "os/DirectoryEntry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "os/posix/Posix.h"

namespace Os {

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Some file systems refuse to sync a directory (EINVAL), or cannot
// (ENOTSUP); they keep their names as well as they can without it.
int syncDirectoryOf(const std::string& path, Error& error) {
  int descriptor = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    error = lastSystemError();
    return -1;
  }
  FileHandle directory = handleOf(descriptor);
  if (::fsync(descriptor) != 0 && errno != EINVAL && errno != ENOTSUP) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

bool namesFile(const std::string& path, const FileHandle& file) {
  struct stat opened {};
  struct stat named {};
  return ::fstat(descriptorOf(file), &opened) == 0 && opened.st_nlink > 0 &&
         ::stat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
         named.st_ino == opened.st_ino;
}

int replaceFile(const std::string& from, const std::string& to, Error& error) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

int replaceHeldFile(const std::string& from, const std::string& to, FileHandle& held,
                    Error& error) {
  int result = replaceFile(from, to, error);
  held.close();
  return result;
}

// A file system without RENAME_NOREPLACE gets a link and an unlink instead:
// a link never replaces either.
int moveWithoutReplacing(const std::string& from, const std::string& to, Error& error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    error = lastSystemError();
    return -1;
  }
  if (linkWithoutReplacing(from, to, error) != 0) {
    return -1;
  }
  if (::unlink(from.c_str()) != 0) {
    error = lastSystemError();
    return kMovedKeepingOldName;
  }
  return 0;
}

int linkWithoutReplacing(const std::string& existing, const std::string& newName, Error& error) {
  if (::link(existing.c_str(), newName.c_str()) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

// remove(), not unlink(): an empty directory in the way goes too, as the run
// log's rotation always allowed.
int removeFile(const std::string& path, Error& error) {
  if (std::remove(path.c_str()) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

// readdir tells its end and its failure apart only by errno.
int listDirectory(const std::string& directory, std::vector<std::string>& names, Error& error) {
  names.clear();
  DIR* opened = ::opendir(directory.c_str());
  if (opened == nullptr) {
    error = lastSystemError();
    return -1;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(opened);
    if (entry == nullptr) {
      break;
    }
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(std::move(name));
    }
  }
  int failure = errno;
  ::closedir(opened);
  if (failure != 0) {
    names.clear();
    error = systemError(failure);
    return -1;
  }
  return 0;
}

}  // namespace Os
