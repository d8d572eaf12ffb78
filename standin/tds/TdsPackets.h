#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// TDS framing: every message travels as packets of an 8-byte header (type,
// status with bit 0x01 on the last packet, big-endian length including the
// header, SPID, packet number, window) and at most kPacketSize bytes in all.

enum TdsPacketType : uint8_t {
  kSqlBatchPacket = 0x01,
  kRpcPacket = 0x03,
  kReplyPacket = 0x04,
  kAttentionPacket = 0x06,
  kLogin7Packet = 0x10,
  kPreloginPacket = 0x12,
};

// The packet size the server announces and keeps to.
inline constexpr size_t kPacketSize = 4096;

struct TdsMessage {
  uint8_t type = 0;
  std::string payload;
};

enum class ReadOutcome { kMessage, kClosed, kMalformed };

// Reads packets up to the one that ends a message. A header that is no TDS
// header, a message whose packets change type, and a stream that ends
// anywhere but before a message's first byte are malformed.
ReadOutcome readMessage(int fd, TdsMessage& message);

// Sends payload as a reply in packets of at most kPacketSize. Without
// `complete` the last packet lacks the end-of-message bit: the first part of
// an answer that is never finished.
bool sendReply(int fd, const std::string& payload, bool complete = true);

// Bounds-checked little-endian reading of a payload; a read past the end
// sets `failed` and yields zeros.
struct ByteReader {
  const std::string& bytes;
  size_t position = 0;
  bool failed = false;

  explicit ByteReader(const std::string& source) : bytes(source) {}
  size_t left() const { return failed ? 0 : bytes.size() - position; }
  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  std::string take(size_t count);
  void skip(size_t count) { take(count); }
};

// The ALL_HEADERS that open a SQL batch or an RPC request from TDS 7.2 on:
// a total length, then headers of a length, a type and data. The
// transaction descriptor header (type 2: 8 bytes, then a 4-byte count of
// outstanding requests) names the transaction the client takes to be open,
// 0 for none.
struct RequestHeaders {
  bool hasTransaction = false;
  uint64_t transactionDescriptor = 0;
};

// Reads them at the reader's position and leaves it after them; false when
// the lengths do not add up or a transaction header is not 18 bytes.
bool readAllHeaders(ByteReader& reader, RequestHeaders& headers);

void putU8(std::string& out, uint8_t value);
void putU16(std::string& out, uint16_t value);
void putU32(std::string& out, uint32_t value);
void putU64(std::string& out, uint64_t value);
