#pragma once

#include <string_view>

// Where an operator looks besides standard error. systemd takes a service's
// standard error into its journal, so on POSIX there is nothing more to do;
// a program that Windows' Task Scheduler starts has a hidden console whose
// standard error nobody sees, so there each line also goes to the
// Application event log.
namespace Os {

enum class EventLevel { kError, kWarning, kInformation };

// Hands one line (without its line end) to the system's event log under
// source, with an event ID that stands for its level; a failure is dropped,
// as for standard error.
void reportEvent(const char* source, EventLevel level, unsigned eventId, std::string_view line);

}  // namespace Os
