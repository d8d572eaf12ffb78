#pragma once

#include <string>

// Serves one client connection of the TDS server over the stand-in database
// file, from PRELOGIN to the end of the link, and closes the socket: with a
// reset when an injected link loss asks for one, else with a plain close.
// A malformed packet ends that connection only.
void serveTdsConnection(int fd, const std::string& databasePath);
