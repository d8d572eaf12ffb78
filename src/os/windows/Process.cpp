#include "os/Process.h"

#include <string>

#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

// The program file's name without its directory and without ".exe", so that
// standard error's lines start as on Linux ("Morlund_MSSQL: ").
std::string nameOfProgramFile() {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  size_t separator = path.find_last_of(L"\\/");
  std::wstring name = separator == std::wstring::npos ? path : path.substr(separator + 1);
  if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0) {
    name.resize(name.size() - 4);
  }
  return narrowPath(name);
}

}  // namespace

const char* programName() {
  static const std::string name = nameOfProgramFile();
  return name.c_str();
}

// A write to a pipe whose reader went away fails on Windows; no signal ends
// the process.
void ignoreBrokenPipes() {}

}  // namespace Os
