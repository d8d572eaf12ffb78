#include "TdsTokens.h"

#include <cstdlib>

#include "TdsPackets.h"
#include "TdsText.h"

namespace {

// LCID 0x0409, case-insensitive, sort id 52: code page 1252.
const char kCollation[5] = {0x09, 0x04, static_cast<char>(0xD0), 0x00, 0x34};

constexpr uint8_t kIntNType = 0x26;
constexpr uint8_t kBigVarCharType = 0xA7;
constexpr size_t kLongestVarChar = 8000;

// B_VARCHAR: a length byte in characters, then UCS-2.
void putShortText(std::string& out, const std::string& text) {
  std::string cut = text.substr(0, 255);
  putU8(out, static_cast<uint8_t>(cut.size()));
  out += ucs2FromCp1252(cut);
}

// US_VARCHAR: a 2-byte length in characters, then UCS-2.
void putLongText(std::string& out, const std::string& text) {
  std::string cut = text.substr(0, 4000);
  putU16(out, static_cast<uint16_t>(cut.size()));
  out += ucs2FromCp1252(cut);
}

// A token whose body follows a 2-byte length.
void putSized(std::string& out, uint8_t token, const std::string& body) {
  putU8(out, token);
  putU16(out, static_cast<uint16_t>(body.size()));
  out += body;
}

uint8_t severityOf(int32_t number) {
  switch (number) {
    case 18456:
      return 14;
    case 1205:
      return 13;
    default:
      return 16;
  }
}

}  // namespace

std::vector<WireColumn> wireColumnsOf(const ResultSet& result) {
  std::vector<WireColumn> columns;
  for (size_t column = 0; column < result.columnNames.size(); ++column) {
    ColumnShape shape = describeColumn(result, column);
    WireColumn wire;
    // Only a column whose every value is an integer travels as one.
    wire.integer = (shape.kind == ColumnKind::kInteger || shape.kind == ColumnKind::kBigInteger) &&
                   result.integerColumns[column];
    wire.integerBytes = shape.kind == ColumnKind::kBigInteger ? 8 : 4;
    wire.maxLength =
        static_cast<uint16_t>(shape.size > kLongestVarChar ? kLongestVarChar : shape.size);
    columns.push_back(wire);
  }
  return columns;
}

void putDone(std::string& out, uint8_t token, uint16_t status, uint64_t rowCount, bool since72) {
  putU8(out, token);
  putU16(out, status);
  putU16(out, 0xC1);  // current command: SELECT; clients do not look at it
  if (since72) {
    putU64(out, rowCount);
  } else {
    putU32(out, static_cast<uint32_t>(rowCount));
  }
}

namespace {

// ERROR and INFO share their layout.
void putMessage(std::string& out, uint8_t token, const EngineError& error, uint8_t severity,
                bool since72) {
  std::string body;
  putU32(body, static_cast<uint32_t>(error.nativeError));
  putU8(body, 1);  // state
  putU8(body, severity);
  putLongText(body, error.message);
  putShortText(body, "standin");
  putShortText(body, "");
  if (since72) {
    putU32(body, 1);
  } else {
    putU16(body, 1);
  }
  putSized(out, token, body);
}

}  // namespace

void putError(std::string& out, const EngineError& error, bool since72) {
  putMessage(out, kErrorToken, error, severityOf(error.nativeError), since72);
}

void putInfo(std::string& out, const EngineError& message, bool since72) {
  putMessage(out, kInfoToken, message, 0, since72);
}

void putTransactionChange(std::string& out, TransactionChange change, uint64_t descriptor) {
  std::string value;
  putU8(value, 8);
  putU64(value, descriptor);
  std::string body;
  switch (change) {
    case TransactionChange::kBegan:
      putU8(body, 8);
      body += value;
      putU8(body, 0);
      break;
    case TransactionChange::kCommitted:
    case TransactionChange::kRolledBack:
      putU8(body, change == TransactionChange::kCommitted ? 9 : 10);
      putU8(body, 0);
      body += value;
      break;
    case TransactionChange::kNone:
      return;
  }
  putSized(out, kEnvChangeToken, body);
}

void putLoginAck(std::string& out, uint32_t tdsVersion) {
  // The client derives the length of the program name from the token's
  // length, so the byte count before it must stay exactly 10 + 2 x name.
  std::string body;
  putU8(body, 1);  // interface: SQL
  for (int shift = 24; shift >= 0; shift -= 8) {
    putU8(body, static_cast<uint8_t>(tdsVersion >> shift));
  }
  putShortText(body, "Microsoft SQL Server");
  const uint8_t programVersion[4] = {15, 0, 0x07, 0xD0};
  for (uint8_t part : programVersion) {
    putU8(body, part);
  }
  putSized(out, kLoginAckToken, body);
}

void putLoginEnvironment(std::string& out, const std::string& database) {
  std::string body;
  putU8(body, 1);  // database
  putShortText(body, database);
  putShortText(body, "master");
  putSized(out, kEnvChangeToken, body);
  body.clear();
  putU8(body, 7);  // collation
  putU8(body, sizeof kCollation);
  body.append(kCollation, sizeof kCollation);
  putU8(body, 0);
  putSized(out, kEnvChangeToken, body);
  body.clear();
  putU8(body, 4);  // packet size
  putShortText(body, std::to_string(kPacketSize));
  putShortText(body, std::to_string(kPacketSize));
  putSized(out, kEnvChangeToken, body);
}

void putColumnMetadata(std::string& out, const ResultSet& result,
                       const std::vector<WireColumn>& columns, bool since72) {
  putU8(out, kColumnMetadataToken);
  putU16(out, static_cast<uint16_t>(columns.size()));
  for (size_t column = 0; column < columns.size(); ++column) {
    if (since72) {
      putU32(out, 0);  // user type
    } else {
      putU16(out, 0);
    }
    putU16(out, 0x0009);  // nullable, updatability unknown
    if (columns[column].integer) {
      putU8(out, kIntNType);
      putU8(out, columns[column].integerBytes);
    } else {
      putU8(out, kBigVarCharType);
      putU16(out, columns[column].maxLength);
      out.append(kCollation, sizeof kCollation);
    }
    putShortText(out, result.columnNames[column]);
  }
}

void putRow(std::string& out, const std::vector<WireColumn>& columns,
            const std::vector<std::optional<std::string>>& row) {
  putU8(out, kRowToken);
  for (size_t column = 0; column < columns.size(); ++column) {
    const std::optional<std::string>& value = row[column];
    if (columns[column].integer) {
      if (!value) {
        putU8(out, 0);
        continue;
      }
      long long number = std::strtoll(value->c_str(), nullptr, 10);
      putU8(out, columns[column].integerBytes);
      if (columns[column].integerBytes == 8) {
        putU64(out, static_cast<uint64_t>(number));
      } else {
        putU32(out, static_cast<uint32_t>(number));
      }
      continue;
    }
    if (!value) {
      putU16(out, 0xFFFF);
      continue;
    }
    std::string text = value->substr(0, columns[column].maxLength);
    putU16(out, static_cast<uint16_t>(text.size()));
    out += text;
  }
}

void putReturnStatus(std::string& out, int32_t value) {
  putU8(out, kReturnStatusToken);
  putU32(out, static_cast<uint32_t>(value));
}

void putReturnValue(std::string& out, uint16_t ordinal, int32_t value, bool since72) {
  putU8(out, kReturnValueToken);
  putU16(out, ordinal);
  putU8(out, 0);     // no name
  putU8(out, 0x01);  // output parameter
  if (since72) {
    putU32(out, 0);
  } else {
    putU16(out, 0);
  }
  putU16(out, 0x0009);
  putU8(out, kIntNType);
  putU8(out, 4);
  putU8(out, 4);
  putU32(out, static_cast<uint32_t>(value));
}
