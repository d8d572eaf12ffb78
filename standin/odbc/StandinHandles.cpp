#include "StandinHandles.h"

#include <cstring>

void addDiagnostic(Handle* handle, const char* sqlstate, SQLINTEGER nativeError,
                   const std::string& message) {
  handle->diagnostics.push_back({sqlstate, nativeError, kMessagePrefix + message});
}

void beginCall(Handle* handle) {
  handle->diagnostics.clear();
  handle->lastReturn = SQL_SUCCESS;
}

SQLRETURN finishCall(Handle* handle, SQLRETURN code) {
  handle->lastReturn = code;
  return code;
}

std::string textArgument(const SQLCHAR* text, SQLINTEGER length) {
  if (text == nullptr) {
    return std::string();
  }
  const char* chars = reinterpret_cast<const char*>(text);
  if (length == SQL_NTS || length < 0) {
    return std::string(chars);
  }
  return std::string(chars, static_cast<size_t>(length));
}

SQLRETURN copyText(const std::string& text, SQLPOINTER buffer, SQLLEN capacity,
                   SQLSMALLINT* lengthOut) {
  if (lengthOut != nullptr) {
    *lengthOut = static_cast<SQLSMALLINT>(text.size());
  }
  if (buffer == nullptr || capacity <= 0) {
    return text.empty() ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
  }
  size_t copied = std::min(text.size(), static_cast<size_t>(capacity - 1));
  std::memcpy(buffer, text.data(), copied);
  static_cast<char*>(buffer)[copied] = '\0';
  return copied < text.size() ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

Handle* asHandle(SQLSMALLINT handleType, SQLHANDLE handle) {
  if (handle == nullptr) {
    return nullptr;
  }
  Handle* base = static_cast<Handle*>(handle);
  if (handleType != SQL_HANDLE_ENV && handleType != SQL_HANDLE_DBC &&
      handleType != SQL_HANDLE_STMT) {
    return nullptr;
  }
  return base->type == handleType ? base : nullptr;
}

bool reportLinkDown(Handle* handle, const Connection* connection) {
  if (!connection->linkDown) {
    return false;
  }
  addDiagnostic(handle, "08S01", connection->linkDownNativeError, "Communication link failure");
  return true;
}
