// The stand-in TDS server's packet reader over any bytes a client sends,
// through a socket as the server reads them; and every message a client may
// send, framed in packets of any sizes, read back whole, and the
// ALL_HEADERS of a SQL batch or RPC request read from its payload.
//
// Input: the bytes sent. The same bytes framed: the first byte picks the
// message type and seeds the packet sizes, the rest is the payload.

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "TdsPackets.h"

namespace {

// Messages are read from the one end of a socket pair after the bytes were
// sent into the other, which is then shut: the reader sees the client's end.
class Link {
 public:
  explicit Link(std::string_view sent) {
    fuzz::require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends_) == 0,
                  "a socket pair can be made");
    size_t done = 0;
    while (done < sent.size()) {
      ssize_t n = ::write(ends_[1], sent.data() + done, sent.size() - done);
      fuzz::require(n > 0, "the socket takes every byte");
      done += static_cast<size_t>(n);
    }
    ::shutdown(ends_[1], SHUT_WR);
  }
  ~Link() {
    ::close(ends_[0]);
    ::close(ends_[1]);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  int server() const { return ends_[0]; }
  size_t unread() const {
    int count = 0;
    fuzz::require(::ioctl(ends_[0], FIONREAD, &count) == 0, "the socket says what it holds");
    return static_cast<size_t>(count);
  }

 private:
  int ends_[2] = {-1, -1};
};

// Far below the socket's buffer, so that sending never waits for a reader.
constexpr size_t kLargestInput = 64 * 1024;
constexpr size_t kHeaderBytes = 8;
constexpr size_t kLongestPacket = 32767;

bool clientType(uint8_t type) {
  return type == kSqlBatchPacket || type == kRpcPacket || type == kAttentionPacket ||
         type == kLogin7Packet || type == kPreloginPacket;
}

// A message the reader took must be the packets it consumed: headers of its
// type, each length covering header and body, the last one alone marked as
// the end, and the bodies making up the payload.
void checkConsumed(std::string_view consumed, const TdsMessage& message) {
  fuzz::require(clientType(message.type), "a message has a type a client sends");
  std::string bodies;
  size_t at = 0;
  bool ended = false;
  while (at < consumed.size()) {
    fuzz::require(!ended, "nothing is read past the packet that ends the message");
    fuzz::require(consumed.size() - at >= kHeaderBytes, "a packet has a whole header");
    const unsigned char* header = reinterpret_cast<const unsigned char*>(consumed.data() + at);
    size_t length = static_cast<size_t>(header[2]) << 8 | header[3];
    fuzz::require(header[0] == message.type, "every packet of a message has its type");
    fuzz::require(length >= kHeaderBytes && length <= consumed.size() - at,
                  "a packet's length covers its header and no more than was read");
    bodies.append(consumed.substr(at + kHeaderBytes, length - kHeaderBytes));
    ended = (header[1] & 0x01) != 0;
    at += length;
  }
  fuzz::require(ended, "a message ends with a packet marked as its last");
  fuzz::require(bodies == message.payload, "the payload is the packets' bodies in order");
}

// Reads messages until the link ends or a message is malformed.
void readAll(std::string_view sent) {
  Link link(sent);
  size_t position = 0;
  for (;;) {
    size_t before = link.unread();
    TdsMessage message;
    message.payload = "left over";
    ReadOutcome outcome = readMessage(link.server(), message);
    size_t consumed = before - link.unread();
    if (outcome == ReadOutcome::kClosed) {
      fuzz::require(before == 0 && consumed == 0, "the link is closed only between messages");
      return;
    }
    if (outcome == ReadOutcome::kMalformed) {
      return;
    }
    checkConsumed(sent.substr(position, consumed), message);
    position += consumed;
  }
}

// The ALL_HEADERS reader takes exactly the length the headers declare when
// it accepts them, and a transaction descriptor only from a header of its
// own within them.
void readHeaders(const std::string& payload) {
  ByteReader reader(payload);
  RequestHeaders headers;
  headers.transactionDescriptor = 1;
  bool accepted = readAllHeaders(reader, headers);
  uint32_t total = 0;
  for (size_t index = std::min<size_t>(payload.size(), 4); index > 0; --index) {
    total = total << 8 | static_cast<unsigned char>(payload[index - 1]);
  }
  fuzz::require(!accepted || (reader.position == total && !reader.failed),
                "accepted headers are read to their declared end");
  fuzz::require(!accepted || !headers.hasTransaction || total >= 22,
                "a transaction descriptor comes from a whole header");
  fuzz::require(headers.hasTransaction || headers.transactionDescriptor == 0,
                "without a transaction header the descriptor is none");
}

void putPacket(std::string& out, uint8_t type, bool last, std::string_view body, uint8_t number) {
  size_t length = kHeaderBytes + body.size();
  out += static_cast<char>(type);
  out += static_cast<char>(last ? 0x01 : 0x00);
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xFF);
  out += std::string("\x00\x00", 2);
  out += static_cast<char>(number);
  out += '\0';
  out.append(body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kLargestInput) {
    return -1;
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  readAll(input);

  if (size == 0) {
    return 0;
  }
  const uint8_t types[] = {kSqlBatchPacket, kRpcPacket, kAttentionPacket, kLogin7Packet,
                           kPreloginPacket};
  uint8_t type = types[data[0] % sizeof types];
  std::string_view payload = input.substr(1);
  std::string framed;
  uint32_t sizes = data[0] * 2654435761u + 1;
  uint8_t number = 1;
  size_t offset = 0;
  do {
    sizes = sizes * 1103515245u + 12345u;
    size_t room = kLongestPacket - kHeaderBytes;
    size_t chunk = std::min<size_t>(
        payload.size() - offset, sizes >> 28 == 0 ? (sizes >> 8) % (room + 1) : (sizes >> 8) % 600);
    bool last = offset + chunk == payload.size();
    putPacket(framed, type, last, payload.substr(offset, chunk), number++);
    offset += chunk;
  } while (offset < payload.size());
  Link link(framed);
  TdsMessage message;
  fuzz::require(readMessage(link.server(), message) == ReadOutcome::kMessage,
                "a message in packets of any sizes is read");
  fuzz::require(message.type == type && message.payload == payload,
                "a message is read as it was sent");
  fuzz::require(readMessage(link.server(), message) == ReadOutcome::kClosed,
                "the link closed after a whole message is closed");
  if (type == kSqlBatchPacket || type == kRpcPacket) {
    readHeaders(message.payload);
  }
  return 0;
}
