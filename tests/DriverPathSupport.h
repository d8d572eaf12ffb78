#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>

#include "StandinSupport.h"

// The two ways an end-to-end test reaches a stand-in database: the stand-in
// ODBC driver loaded by unixODBC, or FreeTDS talking TDS to a
// StandinTdsServer over loopback. A parameterized test joins both (and both
// builds of the programs) as ProgramSupport.h shows, and reaches the
// database through test::DriverPathEnvironment.
namespace test {

enum class DriverPath { kStandinDriver, kFreeTds };

// Path of Debian's FreeTDS ODBC driver, empty when it is not installed.
std::string freeTdsDriver();

// A StandinTdsServer on a free loopback port over a database file, stopped
// when the object goes; its own lifetime bounds it should a test die first.
class TdsServerProcess {
 public:
  explicit TdsServerProcess(const std::string& databasePath, int lifetimeSeconds = 120);
  ~TdsServerProcess();
  TdsServerProcess(const TdsServerProcess&) = delete;
  TdsServerProcess& operator=(const TdsServerProcess&) = delete;
  int port() const { return port_; }
  // The requests the server says it served on its next connection to end,
  // waiting for that end; -1 when it says nothing.
  long servedRequests();

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int output_ = -1;
  std::string unread_;  // what the server printed and was not read yet
};

// Registers DSN ZEIT in directory for FreeTDS against 127.0.0.1:port with
// scripts/standin-env --freetds (ClientCharset CP1252 unless clientCharset
// says otherwise; empty: no ClientCharset line) and returns the environment
// that makes unixODBC and FreeTDS use it.
std::map<std::string, std::string> registerFreeTdsDataSource(
    const std::string& directory, int port, const std::string& clientCharset = "CP1252",
    const std::string& tdsVersion = "7.4");

// The environment for programs that reach `database` as DSN ZEIT along a
// path; for FreeTDS it starts a server that lives as long as this object.
class DriverPathEnvironment {
 public:
  DriverPathEnvironment(DriverPath path, const StandinDatabase& database);
  const std::map<std::string, std::string>& environment() const { return environment_; }
  // TdsServerProcess::servedRequests for FreeTDS; -1 for the stand-in driver.
  long servedRequests() const { return server_ ? server_->servedRequests() : -1; }

 private:
  std::unique_ptr<TdsServerProcess> server_;
  std::map<std::string, std::string> environment_;
};

}  // namespace test
