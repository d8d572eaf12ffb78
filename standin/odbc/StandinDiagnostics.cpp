// SQLGetDiagRec and SQLGetDiagField. The driver manager only forwards
// SQLGetDiagRec when SQLGetDiagField is exported too.

#include "StandinHandles.h"

namespace {

// The record numbered `number` (from 1), or nullptr.
const DiagnosticRecord* recordAt(const Handle* handle, SQLSMALLINT number) {
  if (number < 1 || static_cast<size_t>(number) > handle->diagnostics.size()) {
    return nullptr;
  }
  return &handle->diagnostics[number - 1];
}

SQLRETURN copyField(const std::string& text, SQLPOINTER buffer, SQLSMALLINT capacity,
                    SQLSMALLINT* length) {
  return copyText(text, buffer, capacity, length);
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT number,
                                SQLCHAR* sqlstate, SQLINTEGER* nativeError, SQLCHAR* message,
                                SQLSMALLINT capacity, SQLSMALLINT* length) {
  Handle* base = asHandle(handleType, handle);
  if (base == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  if (number < 1 || capacity < 0) {
    return SQL_ERROR;
  }
  const DiagnosticRecord* record = recordAt(base, number);
  if (record == nullptr) {
    return SQL_NO_DATA;
  }
  if (sqlstate != nullptr) {
    copyText(record->sqlstate, sqlstate, 6, nullptr);
  }
  if (nativeError != nullptr) {
    *nativeError = record->nativeError;
  }
  return copyText(record->message, message, capacity, length);
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT number,
                                  SQLSMALLINT field, SQLPOINTER value, SQLSMALLINT capacity,
                                  SQLSMALLINT* length) {
  Handle* base = asHandle(handleType, handle);
  if (base == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  // Header fields.
  switch (field) {
    case SQL_DIAG_NUMBER:
      *static_cast<SQLINTEGER*>(value) = static_cast<SQLINTEGER>(base->diagnostics.size());
      return SQL_SUCCESS;
    case SQL_DIAG_RETURNCODE:
      *static_cast<SQLRETURN*>(value) = base->lastReturn;
      return SQL_SUCCESS;
    case SQL_DIAG_ROW_COUNT:
    case SQL_DIAG_CURSOR_ROW_COUNT:
      *static_cast<SQLLEN*>(value) = 0;
      return SQL_SUCCESS;
    case SQL_DIAG_DYNAMIC_FUNCTION:
      return copyField("", value, capacity, length);
    case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
      *static_cast<SQLINTEGER*>(value) = SQL_DIAG_UNKNOWN_STATEMENT;
      return SQL_SUCCESS;
    default:
      break;
  }
  const DiagnosticRecord* record = recordAt(base, number);
  if (record == nullptr) {
    return SQL_NO_DATA;
  }
  switch (field) {
    case SQL_DIAG_SQLSTATE:
      return copyField(record->sqlstate, value, capacity, length);
    case SQL_DIAG_NATIVE:
      *static_cast<SQLINTEGER*>(value) = record->nativeError;
      return SQL_SUCCESS;
    case SQL_DIAG_MESSAGE_TEXT:
      return copyField(record->message, value, capacity, length);
    case SQL_DIAG_CLASS_ORIGIN:
    case SQL_DIAG_SUBCLASS_ORIGIN:
      // States of the IM class and of ODBC's own additions come from ODBC 3.0.
      return copyField(record->sqlstate.compare(0, 2, "IM") == 0 ? "ODBC 3.0" : "ISO 9075", value,
                       capacity, length);
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_SERVER_NAME:
      return copyField(field == SQL_DIAG_SERVER_NAME ? "standin" : "", value, capacity, length);
    case SQL_DIAG_COLUMN_NUMBER:
      *static_cast<SQLINTEGER*>(value) = SQL_COLUMN_NUMBER_UNKNOWN;
      return SQL_SUCCESS;
    case SQL_DIAG_ROW_NUMBER:
      *static_cast<SQLLEN*>(value) = SQL_ROW_NUMBER_UNKNOWN;
      return SQL_SUCCESS;
    default:
      return SQL_ERROR;
  }
}

}  // extern "C"
