// The connect phase through a real SQL Server driver (FreeTDS), against
// servers that are not there or do not answer.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DriverPathSupport.h"
#include "InstallationSupport.h"

namespace {

// A loopback socket on a free port; listening or not.
struct LoopbackSocket {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;

  explicit LoopbackSocket(bool listening) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot bind a loopback socket";
    }
    port = ntohs(address.sin_port);
    if (listening) {
      listen(fd, 4);  // connections complete in the backlog and are never answered
    } else {
      close(fd);
      fd = -1;
    }
  }
  ~LoopbackSocket() {
    if (fd >= 0) {
      close(fd);
    }
  }
};

struct FreeTdsSite : test::SiteLayout {
  std::map<std::string, std::string> environment;

  FreeTdsSite(int port, const std::string& host) {
    EXPECT_FALSE(test::freeTdsDriver().empty()) << "tdsodbc is not installed";
    environment = test::registerFreeTdsDataSource(root.file("freetds"), port);
    std::string odbcIni = test::readFile(environment.at("ODBCINI"));
    odbcIni.replace(odbcIni.find("127.0.0.1"), 9, host);
    test::writeFile(environment.at("ODBCINI"), odbcIni);
    test::writeSettingsFile(settingsPath, "sa", "secret", "ZEIT");
  }
};

// Every record the driver gives goes to standard error: the first often
// says only that the connect failed, a later one why.
TEST(FreeTdsConnectTest, FailedConnectionsEndWithMinusOne) {
  struct Case {
    const char* what;
    bool listening;
    const char* host;
    double minSeconds, maxSeconds;
    std::string err;
  };
  auto connectFailed = [](const std::string& host) {
    return "Morlund_MSSQL: cannot connect to data source 'ZEIT' (server " + host +
           ", port PORT) as user 'sa': ";
  };
  const Case cases[] = {
      {"nothing listens", false, "127.0.0.1", 0, 5,
       connectFailed("127.0.0.1") +
           "SQLSTATE 08S01, native error 20009: [unixODBC][FreeTDS][SQL "
           "Server]Unable to connect: Adaptive Server is unavailable or does not "
           "exist | SQLSTATE 08001, native error 0: [unixODBC][FreeTDS][SQL Server]Unable to "
           "connect to data source\n"},
      {"a listener that never answers", true, "127.0.0.1", 14, 45,
       connectFailed("127.0.0.1") +
           "SQLSTATE HYT00, native error 0: [unixODBC][FreeTDS][SQL "
           "Server]Timeout expired | SQLSTATE 08001, native error 0: [unixODBC][FreeTDS][SQL "
           "Server]Unable to connect to data source\n"},
      {"a host name that does not resolve", false, "no-such-host.invalid", 0, 10,
       connectFailed("no-such-host.invalid") +
           "SQLSTATE 08001, native error 0: [unixODBC][FreeTDS][SQL Server]Unable to connect "
           "to data source | SQLSTATE 01000, native error 20013: [unixODBC][FreeTDS][SQL "
           "Server]Unknown host machine name.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoopbackSocket server(c.listening);
    FreeTdsSite site(server.port, c.host);
    std::string err = c.err;
    err.replace(err.find("PORT"), 4, std::to_string(server.port));
    auto result = test::runExport(site, {"Vantoreum.ini", "/D"}, site.environment);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.out, "Datenbankverbindung fehlgeschlagen, Fehler: -1\n");
    EXPECT_EQ(site.log(), "\r\n" + std::string(48, '>') +
                              "Protokollierung gestartet:\r\n"
                              "Verbinden mit Datenbank fehlgeschlagen\r\n");
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.err.find("secret"), std::string::npos);
    EXPECT_GE(result.seconds, c.minSeconds);
    EXPECT_LT(result.seconds, c.maxSeconds);
  }
}

}  // namespace
