#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "StandinEngine.h"

// The tokens of a server's answer. `since72` chooses the layout of TDS 7.2
// and later (4-byte user types and line numbers, 8-byte DONE row counts)
// over that of 7.1.

enum TdsToken : uint8_t {
  kReturnStatusToken = 0x79,
  kColumnMetadataToken = 0x81,
  kErrorToken = 0xAA,
  kInfoToken = 0xAB,
  kReturnValueToken = 0xAC,
  kLoginAckToken = 0xAD,
  kRowToken = 0xD1,
  kEnvChangeToken = 0xE3,
  kDoneToken = 0xFD,
  kDoneProcToken = 0xFE,
  kDoneInProcToken = 0xFF,
};

enum TdsDoneStatus : uint16_t {
  kDoneMore = 0x01,
  kDoneError = 0x02,
  kDoneCount = 0x10,
  kDoneAttention = 0x20,
};

// How a result column travels: an integer or text in code page 1252.
struct WireColumn {
  bool integer = false;
  uint8_t integerBytes = 4;
  uint16_t maxLength = 1;
};
std::vector<WireColumn> wireColumnsOf(const ResultSet& result);

void putDone(std::string& out, uint8_t token, uint16_t status, uint64_t rowCount, bool since72);
// ERROR with SQL Server's severity for the number.
void putError(std::string& out, const EngineError& error, bool since72);
// INFO: an informational message, class 0.
void putInfo(std::string& out, const EngineError& message, bool since72);
// ENVCHANGE of a transaction's begin, commit or rollback: the 8-byte
// descriptor is the new value of a begin and the old value of its end. The
// client sends the open transaction's descriptor with every request.
void putTransactionChange(std::string& out, TransactionChange change, uint64_t descriptor);
void putLoginAck(std::string& out, uint32_t tdsVersion);
// ENVCHANGE database, packet size and collation.
void putLoginEnvironment(std::string& out, const std::string& database);
void putColumnMetadata(std::string& out, const ResultSet& result,
                       const std::vector<WireColumn>& columns, bool since72);
void putRow(std::string& out, const std::vector<WireColumn>& columns,
            const std::vector<std::optional<std::string>>& row);
void putReturnStatus(std::string& out, int32_t value);
// An output parameter of type int.
void putReturnValue(std::string& out, uint16_t ordinal, int32_t value, bool since72);
