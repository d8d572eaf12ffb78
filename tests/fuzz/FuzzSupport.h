#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// What the fuzz targets share: a failed property is a finding like a crash.
namespace fuzz {

// Says which property failed and aborts, which libFuzzer reports as a crash
// and keeps the input of.
inline void require(bool holds, const char* property) {
  if (!holds) {
    std::fprintf(stderr, "property failed: %s\n", property);
    std::abort();
  }
}

// A file in memory that readers taking a path open by its /proc name; its
// content is replaced for every input.
class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
    require(fd_ >= 0, "a memory file can be created");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const std::string& path() const { return path_; }

  void replace(std::string_view bytes) {
    require(::ftruncate(fd_, 0) == 0, "a memory file can be emptied");
    overwrite(0, bytes);
  }

  // Writes bytes at offset, keeping what lies around them.
  void overwrite(size_t offset, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                           static_cast<off_t>(offset + done));
      require(n > 0, "a memory file takes every byte");
      done += static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace fuzz
