#include "os/Terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "os/Memory.h"

namespace Os {

namespace {

// Terminal settings to restore should the prompt be interrupted.
struct termios savedTerminal;

void restoreTerminalAndDie(int signalNumber) {
  tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

const int kEndingSignals[3] = {SIGINT, SIGTERM, SIGHUP};

// Turns echo off (a line end still shows) until restoreEcho; the signals
// that end a process at the terminal restore it first.
void silenceEcho(const char* prompt, struct sigaction (&previous)[3]) {
  struct sigaction restore = {};
  restore.sa_handler = restoreTerminalAndDie;
  for (int i = 0; i < 3; ++i) {
    sigaction(kEndingSignals[i], &restore, &previous[i]);
  }
  struct termios silent = savedTerminal;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  silent.c_lflag |= ECHONL;
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
}

void restoreEcho(const struct sigaction (&previous)[3]) {
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  for (int i = 0; i < 3; ++i) {
    sigaction(kEndingSignals[i], &previous[i], nullptr);
  }
}

}  // namespace

int readPassword(const char* prompt, size_t longest, std::string& password) {
  bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
  struct sigaction previous[3];
  if (terminal) {
    silenceEcho(prompt, previous);
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
  if (terminal) {
    restoreEcho(previous);
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
