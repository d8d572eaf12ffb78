// The TDS server's own framing, spoken to with raw packets: answers split
// at the packet size, requests that arrive in pieces, malformed packets and
// a stalled request that only ATTENTION ends.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "DriverPathSupport.h"
#include "StandinSupport.h"
#include "TestSupport.h"

namespace {

std::string ucs2(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

void putU16(std::string& out, size_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

void putU32(std::string& out, uint32_t value) {
  putU16(out, value & 0xFFFF);
  putU16(out, value >> 16);
}

std::string packet(uint8_t type, uint8_t status, const std::string& payload) {
  std::string bytes;
  bytes += static_cast<char>(type);
  bytes += static_cast<char>(status);
  bytes += static_cast<char>((payload.size() + 8) >> 8);
  bytes += static_cast<char>((payload.size() + 8) & 0xFF);
  bytes += std::string("\0\0\1\0", 4);
  return bytes + payload;
}

// LOGIN7 at TDS 7.4 with user and password, every other string empty.
std::string login7(const std::string& user, const std::string& password) {
  const size_t fixed = 94;
  std::string secret = ucs2(password);
  for (char& c : secret) {
    unsigned char b = static_cast<unsigned char>(c);
    c = static_cast<char>(((b << 4 | b >> 4) & 0xFF) ^ 0xA5);
  }
  std::string body;
  putU32(body, 0);  // length, set below
  putU32(body, 0x74000004);
  putU32(body, 4096);
  body += std::string(24, '\0');
  size_t data = fixed;
  for (int field = 0; field < 9; ++field) {  // host name .. database
    size_t count = field == 1 ? user.size() : field == 2 ? password.size() : 0;
    putU16(body, field == 2 ? data + 2 * user.size() : data);
    putU16(body, count);
  }
  body += std::string(6, '\0');  // client id
  for (int field = 0; field < 3; ++field) {
    putU16(body, data + 2 * (user.size() + password.size()));
    putU16(body, 0);
  }
  putU32(body, 0);
  body += ucs2(user) + secret;
  body[0] = static_cast<char>(body.size() & 0xFF);
  body[1] = static_cast<char>(body.size() >> 8);
  return body;
}

// SQL batch payload: the 7.2+ transaction header, then the text.
std::string batch(const std::string& sql) {
  std::string headers;
  putU32(headers, 22);
  putU32(headers, 18);
  putU16(headers, 2);
  headers += std::string(8, '\0');
  putU32(headers, 1);
  return headers + ucs2(sql);
}

struct ReplyPacket {
  uint8_t status = 0;
  size_t length = 0;
  uint8_t number = 0;
  std::string payload;
};

class Client {
 public:
  explicit Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ADD_FAILURE() << "cannot connect to port " << port;
    }
  }
  ~Client() { close(fd_); }

  void send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Whether bytes arrive within the time; false also at end of stream.
  bool readable(int milliseconds) {
    pollfd ready = {fd_, POLLIN, 0};
    return poll(&ready, 1, milliseconds) > 0;
  }

  // The packets of one reply; when the server closes the link first, those
  // that came, the last without the bit that ends a message.
  std::vector<ReplyPacket> reply() {
    std::vector<ReplyPacket> packets;
    while (packets.empty() || !(packets.back().status & 0x01)) {
      std::string header = take(8);
      if (header.size() < 8) {
        return packets;
      }
      ReplyPacket next;
      next.status = static_cast<uint8_t>(header[1]);
      next.length =
          static_cast<unsigned char>(header[2]) << 8 | static_cast<unsigned char>(header[3]);
      next.number = static_cast<uint8_t>(header[6]);
      next.payload = take(next.length - 8);
      packets.push_back(next);
    }
    return packets;
  }

  std::string replyPayload() {
    std::string payload;
    for (const ReplyPacket& part : reply()) {
      payload += part.payload;
    }
    return payload;
  }

  bool closedByServer() { return readable(10000) && take(1).empty(); }

 private:
  std::string take(size_t count) {
    std::string bytes;
    while (bytes.size() < count && readable(10000)) {
      char chunk[4096];
      ssize_t n = read(fd_, chunk, std::min(sizeof chunk, count - bytes.size()));
      if (n <= 0) {
        break;
      }
      bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
  }

  int fd_ = -1;
};

// The DONE token that ends an answer: status and row count.
std::string finalDone(uint16_t status, uint64_t rows) {
  std::string done = "\xFD";
  putU16(done, status);
  putU16(done, 0xC1);
  putU32(done, static_cast<uint32_t>(rows));
  putU32(done, 0);
  return done;
}

// The tokens of an answer without rows: "DONE status count", the status in
// hex, "ERROR number", "INFO number", and "ENVCHANGE type descriptor" of a
// transaction's begin (8), commit (9) or rollback (10), the descriptor being
// the new value of a begin and the old one of its end.
std::vector<std::string> answerTokens(const std::string& payload) {
  auto number = [&payload](size_t at, int bytes) {
    uint32_t value = 0;
    for (int index = bytes - 1; index >= 0; --index) {
      value = value << 8 | static_cast<unsigned char>(payload[at + index]);
    }
    return value;
  };
  std::vector<std::string> tokens;
  size_t at = 0;
  while (at < payload.size()) {
    unsigned char token = static_cast<unsigned char>(payload[at]);
    char text[40];
    if (token == 0xFD && at + 13 <= payload.size()) {
      std::snprintf(text, sizeof text, "DONE %02X %u", number(at + 1, 2), number(at + 5, 4));
      at += 13;
    } else if ((token == 0xAA || token == 0xAB) && at + 7 <= payload.size()) {
      std::snprintf(text, sizeof text, "%s %u", token == 0xAA ? "ERROR" : "INFO",
                    number(at + 3, 4));
      at += 3 + number(at + 1, 2);
    } else if (token == 0xE3 && at + 14 <= payload.size() && number(at + 1, 2) == 11) {
      uint32_t type = number(at + 3, 1);
      size_t value = type == 8 ? at + 4 : at + 5;  // the new value, or the old one
      bool empty = number(type == 8 ? at + 13 : at + 4, 1) == 0;
      std::snprintf(text, sizeof text, "ENVCHANGE %u %u%s", type, number(value + 1, 4),
                    number(value, 1) == 8 && empty ? "" : " malformed");
      at += 14;
    } else {
      std::snprintf(text, sizeof text, "token %02X", token);
      at = payload.size();
    }
    tokens.push_back(text);
  }
  return tokens;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct Server {
  test::TempDir directory;
  test::StandinDatabase database{directory.path()};
  std::unique_ptr<test::TdsServerProcess> process;

  Server() {
    database.addLogin("zeit", "Geheim-1");
    database.execute(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 299) "
        "INSERT INTO Kvl321Bew (BewIDN, BewTID) SELECT printf('row-%04d', i), "
        "'a terminal id that fills packets' FROM n");
    process = std::make_unique<test::TdsServerProcess>(database.databasePath(), 60);
  }

  // A client that has logged in.
  std::unique_ptr<Client> session() const {
    auto client = std::make_unique<Client>(process->port());
    client->send(packet(0x10, 1, login7("zeit", "Geheim-1")));
    EXPECT_TRUE(endsWith(client->replyPayload(), finalDone(0, 0))) << "login refused";
    return client;
  }
};

TEST(StandinTdsServerTest, FramingOfRequestsAndAnswers) {
  struct Case {
    const char* what;
    std::string sql;
    std::vector<size_t> cuts;  // the request goes in packets cut at these offsets
    size_t rows;
    bool severalPackets;
  };
  const Case cases[] = {
      {"answer longer than a packet", "SELECT BewIDN, BewTID FROM Kvl321Bew", {}, 300, true},
      {"request in three packets, cut inside a character",
       "SELECT BewIDN FROM Kvl321Bew WHERE BewIDN = 'row-0299'",
       {23, 61},
       1,
       false},
  };
  Server server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = server.session();
    std::string request = batch(c.sql);
    size_t start = 0;
    for (size_t cut : c.cuts) {
      client->send(packet(0x01, 0, request.substr(start, cut - start)));
      start = cut;
    }
    client->send(packet(0x01, 1, request.substr(start)));
    std::vector<ReplyPacket> packets = client->reply();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.size() > 1, c.severalPackets);
    std::string payload;
    for (size_t index = 0; index < packets.size(); ++index) {
      EXPECT_LE(packets[index].length, 4096u);
      EXPECT_EQ(packets[index].status, index + 1 == packets.size() ? 1 : 0);
      EXPECT_EQ(packets[index].number, static_cast<uint8_t>(index + 1));
      payload += packets[index].payload;
    }
    EXPECT_NE(payload.find("row-0299"), std::string::npos);
    EXPECT_TRUE(endsWith(payload, finalDone(0x10, c.rows)));
  }
}

// A malformed packet ends its connection; the server goes on serving others.
TEST(StandinTdsServerTest, MalformedPacketClosesOnlyItsConnection) {
  struct Case {
    const char* what;
    bool loggedIn;
    std::string bytes;
  };
  std::string unknownParameter;
  putU32(unknownParameter, 22);
  unknownParameter += batch("").substr(4, 18);
  unknownParameter += std::string("\xFF\xFF\x02\x00\x00\x00\x00\x00\x99", 9);
  std::string headersTooLong = batch("SELECT 1");
  headersTooLong[0] = 'x';
  std::string transactionHeaderCut;
  putU32(transactionHeaderCut, 22);
  putU32(transactionHeaderCut, 16);
  transactionHeaderCut += batch("SELECT 1").substr(8);
  const Case cases[] = {
      {"unknown packet type", false, packet(0x77, 1, "abcd")},
      {"ALL_HEADERS longer than the request", true, packet(0x01, 1, headersTooLong)},
      {"transaction descriptor header not of 18 bytes", true,
       packet(0x01, 1, transactionHeaderCut)},
      {"length shorter than the header", false, std::string("\x12\x01\x00\x04\x00\x00\x01\x00", 8)},
      {"LOGIN7 cut short", false, packet(0x10, 1, login7("zeit", "Geheim-1").substr(0, 40))},
      {"type changes within a message", true,
       packet(0x01, 0, batch("SELECT 1")) + packet(0x03, 1, "xx")},
      {"RPC parameter of unknown type", true, packet(0x03, 1, unknownParameter)},
  };
  Server server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Client> client =
        c.loggedIn ? server.session() : std::make_unique<Client>(server.process->port());
    client->send(c.bytes);
    EXPECT_TRUE(client->closedByServer());
    auto next = server.session();
    next->send(packet(0x01, 1, batch("SELECT count(*) FROM Kvl321Bew")));
    EXPECT_TRUE(endsWith(next->replyPayload(), finalDone(0x10, 1)));
  }
}

// A stalled request gets no answer until the client cancels; the cancel is
// acknowledged and the connection serves the next request.
TEST(StandinTdsServerTest, StalledRequestAnswersOnlyTheCancel) {
  Server server;
  server.database.setControl("stall.select", "1");
  auto client = server.session();
  client->send(packet(0x01, 1, batch("SELECT BewIDN FROM Kvl321Bew")));
  EXPECT_FALSE(client->readable(300));
  client->send(packet(0x06, 1, ""));
  EXPECT_EQ(client->replyPayload(), finalDone(0x20, 0));
  client->send(packet(0x01, 1, batch("SELECT BewIDN FROM Kvl321Bew")));
  EXPECT_TRUE(endsWith(client->replyPayload(), finalDone(0x10, 300)));
}

// A SQL batch is answered as SQL Server answers it: a DONE per statement,
// with DONE_MORE on all but the last and the count unless SET NOCOUNT ON;
// a statement that fails on its own gets its ERROR and a DONE with the
// error bit, and the batch goes on; one that aborts the batch gets them last.
// A transaction's begin, commit and rollback each come with their ENVCHANGE,
// messages with their INFO before the DONE.
TEST(StandinTdsServerTest, BatchAnswersEveryStatement) {
  auto mark = [](const char* id) {
    return std::string("UPDATE Kvl321Bew SET BewTID = 'x' WHERE BewIDN = '") + id + "'\n";
  };
  const std::string three = mark("row-0001") + mark("row-0002") + mark("row-0003");
  const std::string options =
      "SET TEXTSIZE 2147483647\nSET ANSI_NULLS ON\nSET ANSI_WARNINGS ON\nSET ANSI_PADDING ON\n"
      "SET ANSI_NULL_DFLT_ON ON\nSET CONCAT_NULL_YIELDS_NULL ON\nSET QUOTED_IDENTIFIER ON\n"
      "SET ARITHABORT ON\nSET IMPLICIT_TRANSACTIONS OFF\nSET DATEFORMAT mdy\nSET DATEFIRST 7\n"
      "SET LANGUAGE us_english\nSET LOCK_TIMEOUT -1\nSET TRANSACTION ISOLATION LEVEL READ "
      "COMMITTED\nSET NUMERIC_ROUNDABORT OFF\nSET CURSOR_CLOSE_ON_COMMIT OFF\n"
      "SET XACT_ABORT OFF\nSET NOCOUNT OFF\nSET ANSI_NULLS, ANSI_PADDING, QUOTED_IDENTIFIER ON";
  std::vector<std::string> optionDones(18, "DONE 01 0");
  optionDones.push_back("DONE 00 0");
  enum class End { kComplete, kDropped, kStalled };
  struct Case {
    const char* what;
    std::map<std::string, std::string> switches;
    std::string sql;
    std::vector<std::string> tokens;
    End end;
    int changed;  // rows with BewTID 'x' afterwards
  };
  const Case cases[] = {
      {"three, one changing no row",
       {},
       mark("row-0001") + mark("none") + mark("row-0002"),
       {"DONE 11 1", "DONE 11 0", "DONE 10 1"},
       End::kComplete,
       2},
      {"the options clients set after their login", {}, options, optionDones, End::kComplete, 0},
      {"NOCOUNT",
       {},
       "SET NOCOUNT ON " + mark("row-0001") + mark("row-0002") + "SET NOCOUNT OFF " +
           mark("row-0003"),
       {"DONE 01 0", "DONE 01 0", "DONE 01 0", "DONE 01 0", "DONE 10 1"},
       End::kComplete,
       3},
      {"trigger error in the middle",
       {{"trigger.update", "row-0002,50000,42000"}},
       three,
       {"DONE 11 1", "ERROR 50000", "DONE 03 0", "DONE 10 1"},
       End::kComplete,
       2},
      {"trigger ends the transaction",
       {{"trigger.update", "row-0002,3609,42000"}},
       three,
       {"DONE 11 1", "ERROR 3609", "DONE 02 0"},
       End::kComplete,
       1},
      // XACT_ABORT leaves an error raised with RAISERROR alone.
      {"trigger error under XACT_ABORT",
       {{"trigger.update", "row-0002,50000,42000"}},
       "SET XACT_ABORT ON " + three,
       {"DONE 01 0", "DONE 11 1", "ERROR 50000", "DONE 03 0", "DONE 10 1"},
       End::kComplete,
       2},
      {"deadlock victim",
       {{"fail.update", "2,1205,40001"}},
       three,
       {"DONE 11 1", "ERROR 1205", "DONE 02 0"},
       End::kComplete,
       1},
      {"an option SQL Server does not know",
       {},
       "SET NOCUNT ON " + three,
       {"ERROR 195", "DONE 02 0"},
       End::kComplete,
       0},
      {"lost link", {{"fail.update", "2,10053,08S01"}}, three, {"DONE 11 1"}, End::kDropped, 1},
      {"a transaction",
       {},
       "BEGIN TRANSACTION " + three + "COMMIT TRANSACTION",
       {"ENVCHANGE 8 1", "DONE 01 0", "DONE 11 1", "DONE 11 1", "DONE 11 1", "ENVCHANGE 9 1",
        "DONE 00 0"},
       End::kComplete,
       3},
      {"nested transactions rolled back",
       {},
       "BEGIN TRAN BEGIN TRAN " + mark("row-0001") + "COMMIT ROLLBACK",
       {"ENVCHANGE 8 1", "DONE 01 0", "DONE 01 0", "DONE 11 1", "DONE 01 0", "ENVCHANGE 10 1",
        "DONE 00 0"},
       End::kComplete,
       0},
      {"a run-time error under XACT_ABORT rolls back",
       {{"fail.update", "2,547,23000"}},
       "SET XACT_ABORT ON BEGIN TRAN " + three + "COMMIT",
       {"DONE 01 0", "ENVCHANGE 8 1", "DONE 01 0", "DONE 11 1", "ERROR 547", "ENVCHANGE 10 1",
        "DONE 02 0"},
       End::kComplete,
       0},
      {"a deadlock victim rolls back",
       {{"fail.update", "2,1205,40001"}},
       "BEGIN TRAN " + three + "COMMIT",
       {"ENVCHANGE 8 1", "DONE 01 0", "DONE 11 1", "ERROR 1205", "ENVCHANGE 10 1", "DONE 02 0"},
       End::kComplete,
       0},
      {"a name error leaves the transaction open",
       {},
       "BEGIN TRAN " + mark("row-0001") + "UPDATE Missing SET BewTID = 'x' " + mark("row-0002") +
           "COMMIT",
       {"ENVCHANGE 8 1", "DONE 01 0", "DONE 11 1", "ERROR 208", "DONE 02 0"},
       End::kComplete,
       0},
      {"PRINT and an informational message before a count",
       {{"info.update", "1,5703,Changed language setting to us_english."}},
       "PRINT 'x' " + mark("row-0001"),
       {"INFO 0", "DONE 01 0", "INFO 5703", "DONE 10 1"},
       End::kComplete,
       1},
      {"link lost after the commit",
       {{"lose_link_after.commit", "1,10053"}},
       "BEGIN TRAN " + three + "COMMIT SELECT 1",
       {"ENVCHANGE 8 1", "DONE 01 0", "DONE 11 1", "DONE 11 1", "DONE 11 1"},
       End::kDropped,
       3},
      {"link lost before the commit",
       {{"fail.commit", "1,10053,08S01"}},
       "BEGIN TRAN " + three + "COMMIT SELECT 1",
       {"ENVCHANGE 8 1", "DONE 01 0", "DONE 11 1", "DONE 11 1", "DONE 11 1"},
       End::kDropped,
       0},
      {"stall", {{"stall.update", "2"}}, three, {"DONE 20 0"}, End::kStalled, 1},
  };
  Server server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server.database.execute(
        "DELETE FROM StandinControl; UPDATE Kvl321Bew SET BewTID = 'a terminal id'");
    for (const auto& [name, value] : c.switches) {
      server.database.setControl(name, value);
    }
    auto client = server.session();
    client->send(packet(0x01, 1, batch(c.sql)));
    if (c.end == End::kStalled) {
      EXPECT_FALSE(client->readable(300));
      client->send(packet(0x06, 1, ""));
    }
    std::vector<ReplyPacket> packets = client->reply();
    std::string payload;
    for (const ReplyPacket& part : packets) {
      payload += part.payload;
    }
    EXPECT_EQ(!packets.empty() && (packets.back().status & 0x01), c.end != End::kDropped);
    EXPECT_EQ(answerTokens(payload), c.tokens);
    if (c.end == End::kDropped) {
      EXPECT_TRUE(client->closedByServer());
    }
    EXPECT_EQ(server.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewTID = 'x'"),
              (std::vector<std::vector<std::string>>{{std::to_string(c.changed)}}));
  }
}

// FreeTDS in this process against a server over one database, whose
// configuration no system or personal file takes part in.
struct FreeTdsSite {
  test::TempDir directory;
  test::StandinDatabase database{directory.path()};
  std::unique_ptr<test::TdsServerProcess> server;

  FreeTdsSite() {
    EXPECT_FALSE(test::freeTdsDriver().empty()) << "tdsodbc is not installed";
    database.addLogin("zeit", "Geheim-1");
    test::writeFile(directory.file("freetds.conf"), "");
    setenv("FREETDSCONF", directory.file("freetds.conf").c_str(), 1);
    server = std::make_unique<test::TdsServerProcess>(database.databasePath());
  }
  std::string connectionString() const {
    return test::freeTdsConnectionString(server->port(), "zeit", "Geheim-1");
  }
};

// The transaction cases of StandinTest through FreeTDS: the same results,
// but where FreeTDS says otherwise of failures and lost links.
TEST(StandinTdsServerTest, TransactionsInBatchesThroughFreeTds) {
  FreeTdsSite site;
  for (const test::TransactionCase& c : test::transactionCases()) {
    SCOPED_TRACE(c.what);
    test::expectTransactionCase(
        site.database, site.connectionString(), c,
        c.freeTdsOutcomes.empty() ? c.outcomes : c.freeTdsOutcomes,
        [&site] { EXPECT_GT(site.server->servedRequests(), 0); });  // the session has ended
  }
}

// A client that disconnects, loses its link or dies with its transaction
// open: the server rolls it back as the link ends, and the next session
// marks at once.
TEST(StandinTdsServerTest, TransactionOfADeadClientIsRolledBack) {
  FreeTdsSite site;
  test::expectDeadSessions(site.database, site.connectionString(), "error HY000/0", [&site] {
    EXPECT_GT(site.server->servedRequests(), 0);  // the session that ended
    EXPECT_GT(site.server->servedRequests(), 0);  // the other one
  });
}

// The booking cursor as FreeTDS keeps it, a server cursor, reads on across
// the COMMIT and the ROLLBACK of batches on the same connection.
TEST(StandinTdsServerTest, ServerCursorReadsOnAcrossCommitAndRollback) {
  FreeTdsSite site;
  test::seedMarkedBookings(site.database);
  test::InProcessConnection connection(site.connectionString());
  ASSERT_TRUE(connection.connected());
  EXPECT_EQ(test::cursorAcrossTransactions(connection.handle()), test::kCursorAcrossTransactions);
  connection.close();
  EXPECT_GT(site.server->servedRequests(), 0);
  EXPECT_EQ(test::markedBookings(site.database), "11000");
}

// The server ends by itself when its lifetime is over, so that nothing that
// started it can leave it behind; wrong arguments end it at once.
TEST(StandinTdsServerTest, EndsByItselfAfterItsLifetime) {
  struct Case {
    std::vector<std::string> args;
    int exitStatus;
    bool printsPort;
    double minSeconds;
  };
  test::TempDir directory;
  test::StandinDatabase database(directory.path());
  const Case cases[] = {
      {{database.databasePath(), "0", "1"}, 0, true, 0.9},
      {{database.databasePath(), "65536"}, 2, false, 0},
      {{database.databasePath(), "0", "0"}, 2, false, 0},
      {{}, 2, false, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), test::buildDir() + "/StandinTdsServer");
    test::StartedProcess started = test::startProcess(argv, directory.path());
    test::ProcessResult result = test::finishProcess(started, 10);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.out.empty(), !c.printsPort) << result.out;
    if (c.printsPort) {
      EXPECT_GT(std::atoi(result.out.c_str()), 0) << result.out;
    }
    EXPECT_GE(result.seconds, c.minSeconds);
    EXPECT_LT(result.seconds, 5);
  }
}

}  // namespace
