#include "os/EventLog.h"

#include <string>

#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

WORD typeOf(EventLevel level) {
  switch (level) {
    case EventLevel::kError:
      return EVENTLOG_ERROR_TYPE;
    case EventLevel::kWarning:
      return EVENTLOG_WARNING_TYPE;
    default:
      return EVENTLOG_INFORMATION_TYPE;
  }
}

}  // namespace

// One string per event, which the message file the installer registers
// (EventCreate.exe: "%1" for every ID from 1 to 1000) shows as it is. The
// source is registered once per process and kept until it ends.
void reportEvent(const char* source, EventLevel level, unsigned eventId, std::string_view line) {
  static HANDLE eventSource = RegisterEventSourceW(nullptr, widePath(source).c_str());
  if (eventSource == nullptr) {
    return;
  }
  std::wstring text = widePath(std::string(line));
  LPCWSTR strings[1] = {text.c_str()};
  ReportEventW(eventSource, typeOf(level), 0, eventId, nullptr, 1, 0, strings, nullptr);
}

}  // namespace Os
