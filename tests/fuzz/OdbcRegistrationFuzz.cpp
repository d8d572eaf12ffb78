// The data source's registration as the pass and check look it up in
// odbc.ini and odbcinst.ini, over any contents of those files.
//
// Input: one byte giving the data source name's length (up to the 41
// characters a pass takes), the name, then the system odbc.ini, the user's
// odbc.ini and odbcinst.ini, separated by form feeds.

#include <odbcinst.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "db/DbConnection.h"
#include "settings/SettingsFile.h"

namespace {

std::string scratch;

void removeScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

void writeWhole(const std::string& path, std::string_view bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  fuzz::require(file != nullptr, "a scratch file can be written");
  fuzz::require(
      std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fclose(file) == 0,
      "a scratch file takes every byte");
}

// The longest answer the lookup's buffer holds.
constexpr size_t kLongestValue = 1023;

std::string lookedUp(const std::string& section, const char* key, const char* file) {
  std::string value = DbConnection::registeredValue(section, key, file);
  fuzz::require(value.size() <= kLongestValue, "an answer fits the lookup's buffer");
  return value;
}

// What dataSourceAddress must make of the three keys it reads.
std::string expectedAddress(const std::string& name) {
  std::string server = lookedUp(name, "Server", "odbc.ini");
  std::string port = lookedUp(name, "Port", "odbc.ini");
  std::string entry = lookedUp(name, "Servername", "odbc.ini");
  std::string address;
  if (!server.empty()) {
    address = "server " + server;
  } else if (!entry.empty()) {
    address = "server " + entry + " of freetds.conf";
  }
  return address.empty() || port.empty() ? address : address + ", port " + port;
}

}  // namespace

// The installer library is not built with frame pointers: AddressSanitizer's
// fast unwinder follows junk from its allocations and keeps every "stack" it
// makes up, about 170 bytes an input, until the run passes its memory limit.
// The allocating call alone is exact and enough to place a fault.
extern "C" const char* __asan_default_options() {
  return "malloc_context_size=1";
}

// The driver manager reads ODBCSYSINI and the home directory once per
// process, so every input's files go to one scratch directory: in memory
// where there is a place for it, as every input writes four files.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* temporary = getenv("TMPDIR");
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                     : temporary != nullptr        ? temporary
                                                   : "/tmp";
  std::string pattern = base + "/morlund-fuzz-registration-XXXXXX";
  fuzz::require(mkdtemp(pattern.data()) != nullptr, "a scratch directory can be made");
  scratch = pattern;
  std::atexit(removeScratch);
  setenv("ODBCSYSINI", scratch.c_str(), 1);
  setenv("ODBCINI", (scratch + "/user-odbc.ini").c_str(), 1);
  setenv("HOME", scratch.c_str(), 1);
  unsetenv("ODBCINSTINI");
  unsetenv("ODBCSEARCH");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned long run = 0;
  if (size == 0) {
    return -1;
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t nameLength = data[0] % (SettingsFile::kMaxDataSourceNameLength + 1);
  if (size < 1 + nameLength) {
    return -1;
  }
  std::string name(input.substr(1, nameLength));
  if (name.find('\0') != std::string::npos) {
    return -1;  // a value from the settings file ends at its first zero byte
  }
  std::string_view files[3];
  std::string_view rest = input.substr(1 + nameLength);
  for (int i = 0; i < 3; ++i) {
    size_t end = i < 2 ? rest.find('\f') : std::string_view::npos;
    files[i] = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }

  // Probes whose values change with every input: they read back only when
  // the files were read afresh, not answered from what the driver manager
  // keeps of earlier reads.
  std::string nonce = std::to_string(++run);
  writeWhole(scratch + "/odbc.ini", files[0]);
  writeWhole(scratch + "/user-odbc.ini", "[MorlundProbe]\nServer = probe" + nonce +
                                             "\nPort = " + nonce + "\n\n" + std::string(files[1]));
  writeWhole(scratch + "/odbcinst.ini",
             "[MorlundProbe]\nDriver = /probe/" + nonce + ".so\n\n" + std::string(files[2]));
  // unixODBC answers a lookup it made in the last 20 seconds from memory,
  // whatever the file holds now; only a write clears that.
  fuzz::require(SQLWritePrivateProfileString("Fuzz", "Run", nonce.c_str(),
                                             (scratch + "/written.ini").c_str()),
                "the driver manager writes a scratch file");

  fuzz::require(
      DbConnection::dataSourceAddress("MorlundProbe") == "server probe" + nonce + ", port " + nonce,
      "every input's odbc.ini is read afresh");
  fuzz::require(lookedUp("MorlundProbe", "Driver", "odbcinst.ini") == "/probe/" + nonce + ".so",
                "every input's odbcinst.ini is read afresh");

  std::string address = DbConnection::dataSourceAddress(name);
  fuzz::require(name.empty() ? address.empty() : address == expectedAddress(name),
                "the address names Server, else Servername of freetds.conf, and then Port");
  fuzz::require(DbConnection::dataSourceAddress(name) == address,
                "a lookup answered from memory answers as the file did");
  std::string driver = lookedUp(name, "Driver", "odbc.ini");
  if (!driver.empty()) {
    std::string library = lookedUp(driver, "Driver", "odbcinst.ini");
    fuzz::require(lookedUp(driver, "Driver", "odbcinst.ini") == library,
                  "a driver's library answered from memory answers as the file did");
  }
  return 0;
}
