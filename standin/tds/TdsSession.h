#pragma once

#include <string>

// Serves one client connection of the TDS server over the stand-in database
// file, from PRELOGIN to the end of the link, and closes the socket: with a
// reset when an injected link loss asks for one, else with a plain close.
// A malformed packet ends that connection only. Returns the requests the
// client sent, the login's included: one round trip each.
long serveTdsConnection(int fd, const std::string& databasePath);
