#include "os/Paths.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "os/posix/Posix.h"

namespace Os {

int resolvePath(const std::string& path, std::string& resolved, Error& error) {
  char* name = ::realpath(path.c_str(), nullptr);
  if (name == nullptr) {
    error = lastSystemError();
    return -1;
  }
  resolved = name;
  ::free(name);
  return 0;
}

std::string absolutePath(const std::string& path) {
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
  std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ignored);
  return resolved.empty() ? absolute.lexically_normal().string() : resolved.string();
}

bool namesIgnoreCase() {
  return false;
}

}  // namespace Os
