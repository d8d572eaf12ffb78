// The connect phase through a real SQL Server driver (FreeTDS), against
// servers that are not there or do not answer.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "DriverPathSupport.h"
#include "InstallationSupport.h"
#include "StandinSupport.h"
#include "TestSupport.h"

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

// An in-process FreeTDS connection to a server on a loopback port, with no
// data source: the driver manager loads the driver the string names.
struct FreeTdsConnection {
  SQLHENV environment = SQL_NULL_HENV;
  SQLHDBC connection = SQL_NULL_HDBC;
  bool connected = false;

  FreeTdsConnection(int port, const std::string& user, const std::string& password) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment);
    SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                  SQL_IS_INTEGER);
    SQLAllocHandle(SQL_HANDLE_DBC, environment, &connection);
    SQLSetConnectAttr(connection, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
    std::string text =
        "DRIVER=" + test::freeTdsDriver() + ";SERVER=127.0.0.1;PORT=" + std::to_string(port) +
        ";TDS_Version=7.4;ClientCharset=CP1252;UID=" + user + ";PWD=" + password + ";";
    SQLRETURN code = SQLDriverConnect(connection, nullptr, (SQLCHAR*)text.c_str(), SQL_NTS, nullptr,
                                      0, nullptr, SQL_DRIVER_NOPROMPT);
    connected = SQL_SUCCEEDED(code);
    EXPECT_TRUE(connected) << "FreeTDS did not connect";
  }
  ~FreeTdsConnection() {
    if (connected) {
      SQLDisconnect(connection);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, connection);
    SQLFreeHandle(SQL_HANDLE_ENV, environment);
  }
};

// A batch of markings through FreeTDS against a server that answers it as
// SQL Server does, statement by statement. FreeTDS differs from the ODBC 3
// rules after a failed statement: what it gives is what the tool can rely
// on, and these cases fail when a FreeTDS release changes it.
TEST(FreeTdsConnectTest, MarkingBatchOutcomesThroughFreeTds) {
  ASSERT_FALSE(test::freeTdsDriver().empty()) << "tdsodbc is not installed";
  const std::string one = "SUCCESS 1";
  const std::map<std::string, std::vector<std::string>> expected = {
      {"every marking changes a row", {one, one, one, one, one, "end"}},
      // A count of 0 is SQL_SUCCESS, never SQL_NO_DATA, first or not.
      {"the third changes none", {one, one, "SUCCESS 0", one, one, "end"}},
      {"the first changes none", {"SUCCESS 0", one, one, one, one, "end"}},
      // SQLExecDirect fails for the first statement, and the driver manager
      // then answers SQLMoreResults itself: the four that ran go unread.
      {"trigger error first", {"ERROR -1 42000/50000", "end"}},
      // A failed statement in the middle is SQL_ERROR, and the batch goes on.
      {"trigger error third", {one, one, "ERROR -1 42000/50000", one, one, "end"}},
      {"trigger error last", {one, one, one, one, "ERROR -1 42000/50000", "end"}},
      {"injected error third", {one, one, "ERROR -1 23000/547", one, one, "end"}},
      // An aborted batch looks the same, but ends there; 1205 arrives as 42000.
      {"deadlock third", {one, one, "ERROR -1 42000/1205", "end"}},
      {"trigger ends the transaction third", {one, one, "ERROR -1 42000/3609", "end"}},
      // XACT_ABORT leaves an error raised with RAISERROR alone: the batch
      // goes on after it.
      {"trigger error third under XACT_ABORT",
       {"SET: NO_DATA -1", one, one, "ERROR -1 42000/50000", one, one, "end"}},
      // The break reaches the statement it hit; a closed link first as a
      // warning without a count.
      {"link reset third", {one, one, "ERROR -1 HY000/0", "ERROR -1 HY000/0"}},
      {"link closed third",
       {one, one, "SUCCESS_WITH_INFO -1 01000/20017", "ERROR -1 HY000/0", "ERROR -1 HY000/0"}},
      // The two that ran before the stall are never heard of.
      {"stall third", {"ERROR -1 HYT00/0", "end"}},
      // Without counts FreeTDS reads the whole batch as one statement without
      // a result.
      {"NOCOUNT ON", {"SET: NO_DATA -1", "NO_DATA -1", "end"}},
      {"NOCOUNT ON, the third changes none", {"SET: NO_DATA -1", "NO_DATA -1", "end"}},
  };
  test::TempDir directory;
  test::StandinDatabase database(directory.path());
  database.addLogin("zeit", "Geheim-1");
  test::writeFile(directory.file("freetds.conf"), "");
  setenv("FREETDSCONF", directory.file("freetds.conf").c_str(), 1);
  test::TdsServerProcess server(database.databasePath());
  for (const test::MarkingBatchCase& c : test::markingBatchCases()) {
    SCOPED_TRACE(c.what);
    database.execute("DELETE FROM StandinControl");
    for (const auto& [name, value] : c.switches) {
      database.setControl(name, value);
    }
    test::seedMarkedBookings(database);
    std::vector<std::string> outcomes;
    {
      FreeTdsConnection freeTds(server.port(), "zeit", "Geheim-1");
      ASSERT_TRUE(freeTds.connected);
      outcomes = test::runMarkingBatch(freeTds.connection, c);
    }
    ASSERT_EQ(expected.count(c.what), 1u);
    EXPECT_EQ(outcomes, expected.at(c.what));
    EXPECT_EQ(test::markedBookings(database), c.marked);
  }
}

}  // namespace
