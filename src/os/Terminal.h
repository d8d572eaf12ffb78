#pragma once

#include <cstddef>
#include <string>

// Asking the operator at a terminal.
namespace Os {

// Results of readPassword.
inline constexpr int kPasswordRead = 0;
inline constexpr int kNoPassword = -1;
inline constexpr int kPasswordTooLong = -2;

// Reads one line from standard input into password; its line end (LF or
// CR LF) is not part of it. When standard input is a terminal, prompt goes
// to standard error first and what is typed is not shown (the line end is);
// the terminal is set back as it was also when a signal ends the process.
// Returns kPasswordRead, kNoPassword when standard input holds no line at
// all, or kPasswordTooLong when the line is longer than longest: nothing
// after that is read, so an input without end ends the reading too, and
// what was read is wiped.
int readPassword(const char* prompt, size_t longest, std::string& password);

}  // namespace Os
