#include "os/FileOpening.h"

#include "os/FileInfo.h"

// What both platforms share of opening files; each platform opens them in
// its own way.
namespace Os {

int openRegularFileForReading(const std::string& path, Links links, FileHandle& file,
                              Error& error) {
  FileInfo info;
  if (openForReading(path, links, file, error) != 0 || examine(file, info, error) != 0) {
    file.close();
    return -1;
  }
  if (info.kind != FileKind::kRegular) {
    file.close();
    error = Error{ErrorKind::kNotRegularFile, "not a regular file"};
    return -1;
  }
  return 0;
}

}  // namespace Os
