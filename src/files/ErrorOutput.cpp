#include "files/ErrorOutput.h"

#include <errno.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace ErrorOutput {

// One write per line keeps the lines of passes that share a journal whole. A
// failed write is dropped: standard error never stops a pass.
void report(const char* format, ...) {
  int savedErrno = errno;
  std::string line = program_invocation_short_name;
  line += ": ";
  char buffer[2048];
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  if (length > 0) {
    line.append(buffer, std::min(static_cast<size_t>(length), sizeof buffer - 1));
  }
  // A driver message or a path may hold line breaks; the event stays one line.
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20) {
      c = ' ';
    }
  }
  line += '\n';
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
  errno = savedErrno;
}

}  // namespace ErrorOutput
