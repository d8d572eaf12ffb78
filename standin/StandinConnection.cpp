// Environment and connection entry points: allocation, attributes, connect
// with the stand-in's login check and fault switches, and SQLGetInfo.

#include <odbcinst.h>
#include <sys/stat.h>

#include <strings.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "StandinHandles.h"
#include "StandinSchema.h"
#include "StandinValues.h"

namespace {

bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Splits at the first `count` commas; the last piece keeps any further commas.
std::vector<std::string> splitFields(const std::string& text, size_t count) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (fields.size() < count) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      break;
    }
    fields.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  fields.push_back(text.substr(start));
  for (std::string& field : fields) {
    size_t first = field.find_first_not_of(' ');
    size_t last = field.find_last_not_of(' ');
    field = first == std::string::npos ? std::string() : field.substr(first, last - first + 1);
  }
  return fields;
}

bool parseNumber(const std::string& text, long& out) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  out = std::strtol(text.c_str(), &end, 10);
  return *end == '\0';
}

// "n,native,SQLSTATE" into a fault; false when malformed.
bool parseFault(const std::string& value, InjectedFault& fault) {
  std::vector<std::string> fields = splitFields(value, 2);
  long callNumber, nativeError;
  if (fields.size() != 3 || !parseNumber(fields[0], callNumber) || callNumber < 0 ||
      !parseNumber(fields[1], nativeError) || fields[2].size() != 5) {
    return false;
  }
  fault = {callNumber, static_cast<SQLINTEGER>(nativeError), fields[2]};
  return true;
}

// Reads the switches of StandinControl into the connection. A malformed
// value refuses the connect with a message naming it: a test that sets a
// switch wrongly must not pass silently.
bool readControl(Connection* connection) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection->db, "SELECT Name, Value FROM StandinControl", -1, &statement,
                         nullptr) != SQLITE_OK) {
    addDiagnostic(connection, "08001", 0,
                  std::string("Cannot read StandinControl: ") + sqlite3_errmsg(connection->db));
    return false;
  }
  bool ok = true;
  while (ok && sqlite3_step(statement) == SQLITE_ROW) {
    const char* nameText = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    const char* valueText = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    std::string name = nameText == nullptr ? "" : nameText;
    std::string value = valueText == nullptr ? "" : valueText;
    long number = 0;
    if (name == "fail.connect") {
      std::vector<std::string> fields = splitFields(value, 2);
      if (fields.size() == 3 && parseNumber(fields[0], number) && fields[1].size() == 5) {
        addDiagnostic(connection, fields[1].c_str(), static_cast<SQLINTEGER>(number), fields[2]);
      }
      ok = false;
    } else if (name == "fail.select" || name == "fail.update" || name == "fail.delete" ||
               name == "fail.fetch") {
      InjectedFault& fault = name == "fail.select"   ? connection->failSelect
                             : name == "fail.update" ? connection->failUpdate
                             : name == "fail.delete" ? connection->failDelete
                                                     : connection->failFetch;
      ok = parseFault(value, fault);
    } else if (name == "stall.select" || name == "stall.update" || name == "stall.delete" ||
               name == "stall.fetch") {
      long& stall = name == "stall.select"   ? connection->stallSelect
                    : name == "stall.update" ? connection->stallUpdate
                    : name == "stall.delete" ? connection->stallDelete
                                             : connection->stallFetch;
      ok = parseNumber(value, number) && number >= 0;
      stall = number;
    } else if (name == "busy") {
      ok = parseNumber(value, number);
      connection->refuseSecondActiveStatement = number != 0;
    } else if (name == "latency_ms") {
      ok = parseNumber(value, number) && number >= 0;
      connection->latencyMilliseconds = number;
    }
    if (!ok && connection->diagnostics.empty()) {
      addDiagnostic(connection, "HY000", 0,
                    "Malformed StandinControl value for " + name + ": '" + value + "'");
    }
  }
  sqlite3_finalize(statement);
  return ok;
}

// Whether a StandinLogin row has this login (any letter case) and password
// (exactly).
bool loginAccepted(sqlite3* db, const std::string& user, const std::string& password) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT 1 FROM StandinLogin WHERE Login = ?1 COLLATE NOCASE "
                         "AND Password = ?2 COLLATE BINARY",
                         -1, &statement, nullptr) != SQLITE_OK) {
    return false;
  }
  sqlite3_bind_text(statement, 1, user.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(statement, 2, password.c_str(), -1, SQLITE_TRANSIENT);
  bool accepted = sqlite3_step(statement) == SQLITE_ROW;
  sqlite3_finalize(statement);
  return accepted;
}

void closeDatabase(Connection* connection) {
  if (connection->db != nullptr) {
    sqlite3_close_v2(connection->db);
    connection->db = nullptr;
  }
}

// Opens the DSN's database (creating a missing file with the schema), reads
// the switches and checks the login.
SQLRETURN connectToDataSource(Connection* connection, const std::string& dataSource,
                              const std::string& user, const std::string& password) {
  if (connection->db != nullptr) {
    addDiagnostic(connection, "08002", 0, "Connection name in use");
    return SQL_ERROR;
  }
  char database[4096] = "";
  SQLGetPrivateProfileString(dataSource.c_str(), "Database", "", database, sizeof database,
                             "odbc.ini");
  if (database[0] == '\0') {
    addDiagnostic(connection, "IM007", 0,
                  "Data source '" + dataSource + "' names no Database file");
    return SQL_ERROR;
  }
  bool created = !fileExists(database);
  int status = sqlite3_open_v2(database, &connection->db,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (status == SQLITE_OK) {
    sqlite3_busy_timeout(connection->db, 5000);
    status = created ? sqlite3_exec(connection->db, kStandinSchemaSql, nullptr, nullptr, nullptr)
                     : SQLITE_OK;
  }
  if (status == SQLITE_OK) {
    status = registerStandinFunctions(connection->db, &connection->currentTimestamp);
  }
  if (status != SQLITE_OK) {
    addDiagnostic(connection, "08001", 4060,
                  std::string("Cannot open database \"") + database +
                      "\" requested by the login. " +
                      (connection->db ? sqlite3_errmsg(connection->db) : "Out of memory."));
    closeDatabase(connection);
    return SQL_ERROR;
  }
  if (!readControl(connection)) {
    closeDatabase(connection);
    return SQL_ERROR;
  }
  if (!loginAccepted(connection->db, user, password)) {
    addDiagnostic(connection, "28000", 18456, "Login failed for user '" + user + "'.");
    closeDatabase(connection);
    return SQL_ERROR;
  }
  connection->dataSource = dataSource;
  connection->databasePath = database;
  connection->linkDown = false;
  connection->selectCalls = connection->updateCalls = connection->deleteCalls =
      connection->fetchCalls = 0;
  return SQL_SUCCESS;
}

// Value of key in a connection string "KEY=value;KEY={value};...".
std::string connectionStringValue(const std::string& text, const char* key) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t equals = text.find('=', pos);
    if (equals == std::string::npos) {
      break;
    }
    std::string name = text.substr(pos, equals - pos);
    name.erase(0, name.find_first_not_of(' '));
    size_t end;
    std::string value;
    if (equals + 1 < text.size() && text[equals + 1] == '{') {
      end = text.find('}', equals + 2);
      value = text.substr(equals + 2, end == std::string::npos ? end : end - equals - 2);
      end = end == std::string::npos ? end : text.find(';', end);
    } else {
      end = text.find(';', equals + 1);
      value = text.substr(equals + 1, end == std::string::npos ? end : end - equals - 1);
    }
    if (strcasecmp(name.c_str(), key) == 0) {
      return value;
    }
    if (end == std::string::npos) {
      break;
    }
    pos = end + 1;
  }
  return std::string();
}

SQLRETURN copyInfoText(const std::string& text, SQLPOINTER value, SQLSMALLINT capacity,
                       SQLSMALLINT* length) {
  return copyText(text, value, capacity, length);
}

void storeInfoInteger(SQLPOINTER value, SQLSMALLINT* length, SQLUINTEGER number) {
  if (value != nullptr) {
    *static_cast<SQLUINTEGER*>(value) = number;
  }
  if (length != nullptr) {
    *length = sizeof(SQLUINTEGER);
  }
}

void storeInfoShort(SQLPOINTER value, SQLSMALLINT* length, SQLUSMALLINT number) {
  if (value != nullptr) {
    *static_cast<SQLUSMALLINT*>(value) = number;
  }
  if (length != nullptr) {
    *length = sizeof(SQLUSMALLINT);
  }
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT handleType, SQLHANDLE inputHandle,
                                 SQLHANDLE* outputHandle) {
  if (outputHandle == nullptr) {
    return SQL_ERROR;
  }
  *outputHandle = SQL_NULL_HANDLE;
  switch (handleType) {
    case SQL_HANDLE_ENV:
      *outputHandle = new Environment();
      return SQL_SUCCESS;
    case SQL_HANDLE_DBC: {
      Environment* environment = static_cast<Environment*>(asHandle(SQL_HANDLE_ENV, inputHandle));
      if (environment == nullptr) {
        return SQL_INVALID_HANDLE;
      }
      beginCall(environment);
      *outputHandle = new Connection(environment);
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_STMT: {
      Connection* connection = static_cast<Connection*>(asHandle(SQL_HANDLE_DBC, inputHandle));
      if (connection == nullptr) {
        return SQL_INVALID_HANDLE;
      }
      beginCall(connection);
      if (connection->db == nullptr) {
        addDiagnostic(connection, "08003", 0, "Connection not open");
        return finishCall(connection, SQL_ERROR);
      }
      if (reportLinkDown(connection, connection)) {
        return finishCall(connection, SQL_ERROR);
      }
      Statement* statement = new Statement(connection);
      connection->statements.push_back(statement);
      *outputHandle = statement;
      return SQL_SUCCESS;
    }
    default:
      return SQL_ERROR;
  }
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT handleType, SQLHANDLE handle) {
  Handle* base = asHandle(handleType, handle);
  if (base == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  switch (handleType) {
    case SQL_HANDLE_ENV:
      delete static_cast<Environment*>(base);
      break;
    case SQL_HANDLE_DBC: {
      Connection* connection = static_cast<Connection*>(base);
      for (Statement* statement : connection->statements) {
        delete statement;
      }
      closeDatabase(connection);
      delete connection;
      break;
    }
    case SQL_HANDLE_STMT: {
      Statement* statement = static_cast<Statement*>(base);
      auto& list = statement->connection->statements;
      list.erase(std::remove(list.begin(), list.end(), statement), list.end());
      delete statement;
      break;
    }
  }
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV environmentHandle, SQLINTEGER attribute, SQLPOINTER value,
                                SQLINTEGER) {
  Environment* environment = static_cast<Environment*>(asHandle(SQL_HANDLE_ENV, environmentHandle));
  if (environment == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(environment);
  if (attribute == SQL_ATTR_ODBC_VERSION) {
    environment->odbcVersion = static_cast<SQLINTEGER>(reinterpret_cast<SQLLEN>(value));
  }
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV environmentHandle, SQLINTEGER attribute, SQLPOINTER value,
                                SQLINTEGER, SQLINTEGER* length) {
  Environment* environment = static_cast<Environment*>(asHandle(SQL_HANDLE_ENV, environmentHandle));
  if (environment == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(environment);
  SQLINTEGER number = 0;
  switch (attribute) {
    case SQL_ATTR_ODBC_VERSION:
      number = environment->odbcVersion;
      break;
    case SQL_ATTR_OUTPUT_NTS:
      number = SQL_TRUE;
      break;
    case SQL_ATTR_CONNECTION_POOLING:
    case SQL_ATTR_CP_MATCH:
      number = 0;
      break;
    default:
      addDiagnostic(environment, "HY092", 0, "Invalid attribute/option identifier");
      return finishCall(environment, SQL_ERROR);
  }
  if (value != nullptr) {
    *static_cast<SQLINTEGER*>(value) = number;
  }
  if (length != nullptr) {
    *length = sizeof(SQLINTEGER);
  }
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLConnect(SQLHDBC connectionHandle, SQLCHAR* dataSource,
                             SQLSMALLINT dataSourceLength, SQLCHAR* user, SQLSMALLINT userLength,
                             SQLCHAR* password, SQLSMALLINT passwordLength) {
  Connection* connection = static_cast<Connection*>(asHandle(SQL_HANDLE_DBC, connectionHandle));
  if (connection == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(connection);
  return finishCall(
      connection,
      connectToDataSource(connection, textArgument(dataSource, dataSourceLength),
                          textArgument(user, userLength), textArgument(password, passwordLength)));
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC connectionHandle, SQLHWND, SQLCHAR* inConnection,
                                   SQLSMALLINT inLength, SQLCHAR* outConnection,
                                   SQLSMALLINT outCapacity, SQLSMALLINT* outLength, SQLUSMALLINT) {
  Connection* connection = static_cast<Connection*>(asHandle(SQL_HANDLE_DBC, connectionHandle));
  if (connection == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(connection);
  std::string text = textArgument(inConnection, inLength);
  SQLRETURN code =
      connectToDataSource(connection, connectionStringValue(text, "DSN"),
                          connectionStringValue(text, "UID"), connectionStringValue(text, "PWD"));
  if (SQL_SUCCEEDED(code) &&
      copyText(text, outConnection, outCapacity, outLength) == SQL_SUCCESS_WITH_INFO) {
    addDiagnostic(connection, "01004", 0, "String data, right truncation");
    code = SQL_SUCCESS_WITH_INFO;
  }
  return finishCall(connection, code);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC connectionHandle) {
  Connection* connection = static_cast<Connection*>(asHandle(SQL_HANDLE_DBC, connectionHandle));
  if (connection == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(connection);
  for (Statement* statement : connection->statements) {
    delete statement;
  }
  connection->statements.clear();
  closeDatabase(connection);
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC connectionHandle, SQLINTEGER attribute,
                                    SQLPOINTER value, SQLINTEGER) {
  Connection* connection = static_cast<Connection*>(asHandle(SQL_HANDLE_DBC, connectionHandle));
  if (connection == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(connection);
  SQLULEN number = reinterpret_cast<SQLULEN>(value);
  switch (attribute) {
    case SQL_ATTR_LOGIN_TIMEOUT:
      connection->loginTimeout = static_cast<SQLUINTEGER>(number);
      return SQL_SUCCESS;
    case SQL_ATTR_AUTOCOMMIT:
      if (number != SQL_AUTOCOMMIT_ON) {
        addDiagnostic(connection, "HYC00", 0, "Manual commit mode is not implemented");
        return finishCall(connection, SQL_ERROR);
      }
      return SQL_SUCCESS;
    default:
      // Timeouts, packet size, tracing and the like have no meaning here.
      return SQL_SUCCESS;
  }
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC connectionHandle, SQLINTEGER attribute,
                                    SQLPOINTER value, SQLINTEGER, SQLINTEGER* length) {
  Connection* connection = static_cast<Connection*>(asHandle(SQL_HANDLE_DBC, connectionHandle));
  if (connection == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(connection);
  SQLUINTEGER number = 0;
  switch (attribute) {
    case SQL_ATTR_LOGIN_TIMEOUT:
      number = connection->loginTimeout;
      break;
    case SQL_ATTR_AUTOCOMMIT:
      number = SQL_AUTOCOMMIT_ON;
      break;
    case SQL_ATTR_CONNECTION_DEAD:
      number = connection->linkDown || connection->db == nullptr ? SQL_CD_TRUE : SQL_CD_FALSE;
      break;
    case SQL_ATTR_ACCESS_MODE:
      number = SQL_MODE_READ_WRITE;
      break;
    case SQL_ATTR_TXN_ISOLATION:
      number = SQL_TXN_SERIALIZABLE;
      break;
    default:
      addDiagnostic(connection, "HY092", 0, "Invalid attribute/option identifier");
      return finishCall(connection, SQL_ERROR);
  }
  if (value != nullptr) {
    *static_cast<SQLUINTEGER*>(value) = number;
  }
  if (length != nullptr) {
    *length = sizeof(SQLUINTEGER);
  }
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT) {
  // Every statement commits when it returns; there is never anything to end.
  return asHandle(handleType, handle) == nullptr ? SQL_INVALID_HANDLE : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC connectionHandle, SQLUSMALLINT infoType, SQLPOINTER value,
                             SQLSMALLINT capacity, SQLSMALLINT* length) {
  Connection* connection = static_cast<Connection*>(asHandle(SQL_HANDLE_DBC, connectionHandle));
  if (connection == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(connection);
  SQLRETURN code = SQL_SUCCESS;
  switch (infoType) {
    case SQL_DBMS_NAME:
      code = copyInfoText("Microsoft SQL Server", value, capacity, length);
      break;
    case SQL_DBMS_VER:
      code = copyInfoText("15.00.0000", value, capacity, length);
      break;
    case SQL_DRIVER_NAME:
      code = copyInfoText("libSqlServerStandin.so", value, capacity, length);
      break;
    case SQL_DRIVER_VER:
      code = copyInfoText("01.00.0000", value, capacity, length);
      break;
    case SQL_DRIVER_ODBC_VER:
      code = copyInfoText("03.52", value, capacity, length);
      break;
    case SQL_DATA_SOURCE_NAME:
      code = copyInfoText(connection->dataSource, value, capacity, length);
      break;
    case SQL_SERVER_NAME:
      code = copyInfoText("standin", value, capacity, length);
      break;
    case SQL_DATABASE_NAME:
      code = copyInfoText(connection->databasePath, value, capacity, length);
      break;
    case SQL_IDENTIFIER_QUOTE_CHAR:
      code = copyInfoText("\"", value, capacity, length);
      break;
    case SQL_CATALOG_NAME_SEPARATOR:
      code = copyInfoText(".", value, capacity, length);
      break;
    case SQL_DATA_SOURCE_READ_ONLY:
    case SQL_ACCESSIBLE_TABLES:
    case SQL_ACCESSIBLE_PROCEDURES:
      code = copyInfoText(infoType == SQL_ACCESSIBLE_TABLES ? "Y" : "N", value, capacity, length);
      break;
    case SQL_MAX_CONCURRENT_ACTIVITIES:
      storeInfoShort(value, length, connection->refuseSecondActiveStatement ? 1 : 0);
      break;
    case SQL_MAX_DRIVER_CONNECTIONS:
    case SQL_MAX_COLUMN_NAME_LEN:
    case SQL_MAX_TABLE_NAME_LEN:
    case SQL_MAX_SCHEMA_NAME_LEN:
    case SQL_MAX_CATALOG_NAME_LEN:
      storeInfoShort(value, length, infoType == SQL_MAX_DRIVER_CONNECTIONS ? 0 : 128);
      break;
    case SQL_TXN_CAPABLE:
      storeInfoShort(value, length, SQL_TC_NONE);
      break;
    case SQL_CURSOR_COMMIT_BEHAVIOR:
    case SQL_CURSOR_ROLLBACK_BEHAVIOR:
      storeInfoShort(value, length, SQL_CB_PRESERVE);
      break;
    case SQL_GETDATA_EXTENSIONS:
      storeInfoInteger(value, length, SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER);
      break;
    case SQL_SCROLL_OPTIONS:
      storeInfoInteger(value, length, SQL_SO_FORWARD_ONLY);
      break;
    case SQL_CURSOR_SENSITIVITY:
      storeInfoInteger(value, length, SQL_INSENSITIVE);
      break;
    case SQL_DEFAULT_TXN_ISOLATION:
    case SQL_TXN_ISOLATION_OPTION:
      storeInfoInteger(value, length, SQL_TXN_SERIALIZABLE);
      break;
    default:
      addDiagnostic(connection, "HY096", 0, "Information type out of range");
      code = SQL_ERROR;
  }
  return finishCall(connection, code);
}

}  // extern "C"
