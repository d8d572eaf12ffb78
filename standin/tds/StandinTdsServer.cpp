// A TDS server over a stand-in database file, so that real SQL Server
// drivers (FreeTDS) can be tested against the stand-in:
//
//   StandinTdsServer DBFILE [PORT [LIFETIME_SECONDS]]
//
// It listens on 127.0.0.1 only, on PORT or, with 0, on a free port; the
// first line of its output is the port. It serves one connection at a time
// and ends by itself after LIFETIME_SECONDS (default 600), so that nothing
// that started it can leave it behind. When a connection ends it prints
// "served N requests" on a line of its own: the requests of that connection,
// the login's included, each one round trip.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TdsSession.h"

namespace {

void endOfLifetime(int) {
  _exit(0);
}

bool parseNumber(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text, &end, 10);
  return errno == 0 && *text != '\0' && *end == '\0' && out >= low && out <= high;
}

}  // namespace

int main(int argc, char** argv) {
  long port = 0, lifetime = 600;
  if (argc < 2 || argc > 4 || (argc > 2 && !parseNumber(argv[2], 0, 65535, port)) ||
      (argc > 3 && !parseNumber(argv[3], 1, 86400, lifetime))) {
    std::fprintf(stderr, "usage: StandinTdsServer DBFILE [PORT [LIFETIME_SECONDS]]\n");
    return 2;
  }
  signal(SIGALRM, endOfLifetime);
  signal(SIGPIPE, SIG_IGN);
  alarm(static_cast<unsigned>(lifetime));

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 8) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::fprintf(stderr, "StandinTdsServer: cannot listen on 127.0.0.1:%ld: %s\n", port,
                 std::strerror(errno));
    return 1;
  }
  std::printf("%u\n", ntohs(address.sin_port));
  std::fflush(stdout);

  const std::string databasePath = argv[1];
  for (;;) {
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      std::fprintf(stderr, "StandinTdsServer: accept: %s\n", std::strerror(errno));
      return 1;
    }
    long requests = serveTdsConnection(client, databasePath);
    std::printf("served %ld requests\n", requests);
    std::fflush(stdout);
  }
}
