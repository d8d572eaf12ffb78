#include "TdsPackets.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Reads up to count bytes; fewer only at the end of the stream or on an
// error. Returns how many arrived.
size_t readFully(int fd, char* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

bool knownClientType(uint8_t type) {
  return type == kSqlBatchPacket || type == kRpcPacket || type == kAttentionPacket ||
         type == kLogin7Packet || type == kPreloginPacket;
}

}  // namespace

ReadOutcome readMessage(int fd, TdsMessage& message) {
  message = TdsMessage();
  for (bool first = true;; first = false) {
    unsigned char header[8];
    size_t got = readFully(fd, reinterpret_cast<char*>(header), sizeof header);
    if (got < sizeof header) {
      // A stream that ends inside a header ends a message cut short.
      return first && got == 0 ? ReadOutcome::kClosed : ReadOutcome::kMalformed;
    }
    size_t length = static_cast<size_t>(header[2]) << 8 | header[3];
    if (!knownClientType(header[0]) || (!first && header[0] != message.type) || length < 8 ||
        length > 32767) {
      return ReadOutcome::kMalformed;
    }
    message.type = header[0];
    size_t start = message.payload.size();
    message.payload.resize(start + length - 8);
    if (readFully(fd, message.payload.data() + start, length - 8) < length - 8) {
      return ReadOutcome::kMalformed;
    }
    if (header[1] & 0x01) {
      return ReadOutcome::kMessage;
    }
  }
}

// The packets of a reply go out in one write: written one by one, the
// short last packet of a long answer waits for the client's delayed
// acknowledgement of the ones before it (Nagle), some 40 ms per answer.
bool sendReply(int fd, const std::string& payload, bool complete) {
  const size_t room = kPacketSize - 8;
  uint8_t packetNumber = 1;
  size_t offset = 0;
  std::string packets;
  packets.reserve(payload.size() + 8 * (payload.size() / room + 1));
  do {
    size_t chunk = payload.size() - offset < room ? payload.size() - offset : room;
    bool last = offset + chunk == payload.size();
    packets += static_cast<char>(kReplyPacket);
    packets += static_cast<char>(last && complete ? 0x01 : 0x00);
    packets += static_cast<char>((chunk + 8) >> 8);
    packets += static_cast<char>((chunk + 8) & 0xFF);
    packets += std::string("\x00\x33", 2);  // SPID
    packets += static_cast<char>(packetNumber++);
    packets += '\0';
    packets.append(payload, offset, chunk);
    offset += chunk;
  } while (offset < payload.size());
  size_t sent = 0;
  while (sent < packets.size()) {
    ssize_t n = send(fd, packets.data() + sent, packets.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

uint8_t ByteReader::u8() {
  std::string piece = take(1);
  return piece.empty() ? 0 : static_cast<uint8_t>(piece[0]);
}

uint16_t ByteReader::u16() {
  std::string piece = take(2);
  return piece.empty() ? 0
                       : static_cast<uint16_t>(static_cast<unsigned char>(piece[0]) |
                                               static_cast<unsigned char>(piece[1]) << 8);
}

uint32_t ByteReader::u32() {
  uint32_t low = u16();
  return low | static_cast<uint32_t>(u16()) << 16;
}

std::string ByteReader::take(size_t count) {
  if (failed || count > bytes.size() - position) {
    failed = true;
    return std::string();
  }
  position += count;
  return bytes.substr(position - count, count);
}

bool readAllHeaders(ByteReader& reader, RequestHeaders& headers) {
  constexpr uint32_t kTransactionHeader = 2;
  constexpr uint32_t kTransactionHeaderLength = 18;
  headers = RequestHeaders();
  uint32_t total = reader.u32();
  if (reader.failed || total < 4 || total - 4 > reader.left()) {
    return false;
  }
  size_t end = reader.position + (total - 4);
  while (!reader.failed && reader.position < end) {
    if (end - reader.position < 6) {
      return false;
    }
    uint32_t length = reader.u32();
    uint16_t type = reader.u16();
    if (length < 6 || length - 6 > end - reader.position) {
      return false;
    }
    if (type == kTransactionHeader) {
      if (length != kTransactionHeaderLength) {
        return false;
      }
      uint64_t low = reader.u32();
      headers.transactionDescriptor = low | static_cast<uint64_t>(reader.u32()) << 32;
      headers.hasTransaction = true;
      reader.u32();  // outstanding requests
    } else {
      reader.skip(length - 6);
    }
  }
  return !reader.failed && reader.position == end;
}

void putU8(std::string& out, uint8_t value) {
  out += static_cast<char>(value);
}

void putU16(std::string& out, uint16_t value) {
  putU8(out, value & 0xFF);
  putU8(out, value >> 8);
}

void putU32(std::string& out, uint32_t value) {
  putU16(out, value & 0xFFFF);
  putU16(out, value >> 16);
}

void putU64(std::string& out, uint64_t value) {
  putU32(out, value & 0xFFFFFFFFu);
  putU32(out, static_cast<uint32_t>(value >> 32));
}
