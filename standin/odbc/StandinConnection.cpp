// Environment and connection entry points: allocation, attributes, connect
// with the stand-in's login check and fault switches, and SQLGetInfo.

#include <odbcinst.h>

#include <strings.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "StandinHandles.h"

namespace {

void closeDatabase(Connection* connection) {
  closeStandinSession(connection->session);
}

// Opens the DSN's database (creating a missing file with the schema), reads
// the switches and checks the login.
SQLRETURN connectToDataSource(Connection* connection, const std::string& dataSource,
                              const std::string& user, const std::string& password) {
  if (connection->session.db != nullptr) {
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
  EngineError error;
  if (!loginToStandin(connection->session, database, user, password, error)) {
    addDiagnostic(connection, error.sqlstate.c_str(), error.nativeError, error.message);
    return SQL_ERROR;
  }
  if (!limitPageCaches(connection->session, error)) {
    closeDatabase(connection);
    addDiagnostic(connection, error.sqlstate.c_str(), error.nativeError, error.message);
    return SQL_ERROR;
  }
  connection->dataSource = dataSource;
  connection->linkDown = false;
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
      if (connection->session.db == nullptr) {
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
      number =
          connection->linkDown || connection->session.db == nullptr ? SQL_CD_TRUE : SQL_CD_FALSE;
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
  // The connection is in auto-commit mode, the only one the stand-in has:
  // a transaction of BEGIN TRANSACTION ends with COMMIT or ROLLBACK in SQL.
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
      code = copyInfoText(connection->session.databasePath, value, capacity, length);
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
      storeInfoShort(value, length,
                     connection->session.switches.refuseSecondActiveStatement ? 1 : 0);
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
