#include "os/Terminal.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "os/Memory.h"
#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

// The console's input mode to restore should the prompt be interrupted: a
// console keeps its mode after the process ends.
HANDLE consoleInput = INVALID_HANDLE_VALUE;
DWORD savedMode = 0;

BOOL WINAPI restoreConsoleAndEnd(DWORD) {
  SetConsoleMode(consoleInput, savedMode);
  return FALSE;  // the default handler ends the process
}

// Turns echo off until restoreEcho (the line end is shown there); Ctrl-C,
// Ctrl-Break and closing the console restore it first.
void silenceEcho(const char* prompt) {
  SetConsoleCtrlHandler(restoreConsoleAndEnd, TRUE);
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  SetConsoleMode(consoleInput, savedMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
}

void restoreEcho() {
  SetConsoleMode(consoleInput, savedMode);
  SetConsoleCtrlHandler(restoreConsoleAndEnd, FALSE);
  std::fputs("\n", stderr);
}

}  // namespace

// A pipe or file is read in binary, as on POSIX: text mode would end it at a
// Ctrl-Z byte and so store the start of such a line as the password.
int readPassword(const char* prompt, size_t longest, std::string& password) {
  consoleInput = GetStdHandle(STD_INPUT_HANDLE);
  bool console = GetConsoleMode(consoleInput, &savedMode) != 0;
  if (console) {
    silenceEcho(prompt);
  } else {
    _setmode(_fileno(stdin), _O_BINARY);
  }
  bool gotAny = false;
  bool tooLong = false;
  int c;
  while ((c = std::getchar()) != EOF) {
    gotAny = true;
    if (c == '\n') {
      break;
    }
    if (password.size() == longest) {
      tooLong = true;
      break;
    }
    password += static_cast<char>(c);
  }
  if (console) {
    restoreEcho();
  }
  if (tooLong) {
    wipeMemory(password.data(), password.size());
    password.clear();
    return kPasswordTooLong;
  }
  if (!password.empty() && password.back() == '\r') {
    password.pop_back();
  }
  return gotAny ? kPasswordRead : kNoPassword;
}

}  // namespace Os
