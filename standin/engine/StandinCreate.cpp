// Creates a stand-in database file with its tables, so that it can be seeded
// with the sqlite3 shell before the first connect.
//
//   StandinCreate DBFILE

#include <sqlite3.h>

#include <cstdio>

#include "StandinSchema.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: StandinCreate DBFILE\n");
    return 2;
  }
  sqlite3* database = nullptr;
  int result =
      sqlite3_open_v2(argv[1], &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  char* message = nullptr;
  if (result == SQLITE_OK) {
    result = sqlite3_exec(database, kStandinSchemaSql, nullptr, nullptr, &message);
  }
  if (result != SQLITE_OK) {
    std::fprintf(stderr, "StandinCreate: %s: %s\n", argv[1],
                 message != nullptr ? message : sqlite3_errmsg(database));
    sqlite3_free(message);
    sqlite3_close(database);
    return 1;
  }
  return sqlite3_close(database) == SQLITE_OK ? 0 : 1;
}
