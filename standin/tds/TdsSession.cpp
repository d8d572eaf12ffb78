#include "TdsSession.h"

#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "StandinEngine.h"
#include "TdsLogin.h"
#include "TdsPackets.h"
#include "TdsText.h"
#include "TdsTokens.h"

namespace {

// Procedure ids of the system procedures a client calls by number.
enum ProcedureId : uint16_t {
  kCursorOpen = 2,
  kCursorFetch = 7,
  kCursorOption = 8,
  kCursorClose = 9,
  kExecuteSql = 10,
  kPrepare = 11,
  kExecute = 12,
  kPrepareExecute = 13,
  kUnprepare = 15,
};

struct ServerCursor {
  ResultSet result;
  std::vector<WireColumn> columns;
  size_t nextRow = 0;
  bool exhausted = false;  // a fetch found no row left
};

struct Session {
  int fd = -1;
  EngineSession engine;
  bool since72 = true;
  std::map<int32_t, ServerCursor> cursors;
  int32_t nextCursor = 180150001;
  std::map<int32_t, std::string> preparedTexts;
  int32_t nextPrepared = 1;
  bool resetLink = false;
  long requests = 0;
};

struct RpcParameter {
  uint8_t type = 0;
  bool isNull = true;
  std::string bytes;

  bool unicode() const { return type == 0xE7 || type == 0xEF || type == 0x63; }
  std::string text() const { return unicode() ? cp1252FromUcs2(bytes) : bytes; }
  int64_t integer() const {
    uint64_t value = 0;
    for (size_t index = bytes.size(); index > 0; --index) {
      value = value << 8 | static_cast<unsigned char>(bytes[index - 1]);
    }
    if (!bytes.empty() && bytes.size() < 8 && (bytes.back() & 0x80)) {
      value |= ~uint64_t{0} << (8 * bytes.size());  // sign-extend
    }
    return static_cast<int64_t>(value);
  }
};

struct RpcCall {
  uint16_t procedure = 0;
  std::vector<RpcParameter> parameters;
  std::string parameterText(size_t index) const {
    return index < parameters.size() && !parameters[index].isNull ? parameters[index].text() : "";
  }
  int64_t parameterInteger(size_t index, int64_t fallback) const {
    return index < parameters.size() && !parameters[index].isNull ? parameters[index].integer()
                                                                  : fallback;
  }
};

// What the switches made of a call.
enum class Gate { kProceed, kFailed, kAnswered, kEnded };

// Ends the connection over a request that makes no sense, saying so.
bool malformed(const char* what) {
  std::fprintf(stderr, "StandinTdsServer: malformed %s, connection closed\n", what);
  return false;
}

// PRELOGIN answer: version, no encryption, instance, thread id, no MARS.
std::string preloginAnswer() {
  const uint8_t options[][2] = {{0, 6}, {1, 1}, {2, 1}, {3, 0}, {4, 1}};
  const size_t count = sizeof options / sizeof options[0];
  std::string header, data;
  size_t offset = count * 5 + 1;
  for (const auto& option : options) {
    putU8(header, option[0]);
    putU8(header, static_cast<uint8_t>((offset + data.size()) >> 8));
    putU8(header, static_cast<uint8_t>((offset + data.size()) & 0xFF));
    putU8(header, 0);
    putU8(header, option[1]);
    switch (option[0]) {
      case 0:
        data += std::string("\x0F\x00\x07\xD0\x00\x00", 6);
        break;
      case 1:
        putU8(data, 0x02);  // encryption not supported
        break;
      case 2:
      case 4:
        putU8(data, 0);
        break;
    }
  }
  putU8(header, 0xFF);
  return header + data;
}

// LOGIN7: checks the version and the login against the database; answers
// with LOGINACK or with the refusal. Returns whether the session goes on.
bool login(Session& session, const std::string& databasePath, const std::string& payload) {
  TdsLogin client;
  if (!readLogin7(payload, client)) {
    return malformed("LOGIN7");
  }
  session.since72 = client.since72;
  std::string answer;
  EngineError error;
  if (client.version != 0x71000001 && !session.since72) {
    error = {"08001", 4002, "The TDS protocol version is not supported."};
  } else if (loginToStandin(session.engine, databasePath, client.user, client.password, error)) {
    putLoginEnvironment(answer, "standin");
    putLoginAck(answer, client.version);
    putDone(answer, kDoneToken, 0, 0, session.since72);
    return sendReply(session.fd, answer);
  }
  putError(answer, error, session.since72);
  putDone(answer, kDoneToken, kDoneError, 0, session.since72);
  sendReply(session.fd, answer);
  return false;
}

// A stalled request: no answer until the client gives up and sends
// ATTENTION, which gets its acknowledgement. False when the client went away.
bool awaitAttention(Session& session) {
  for (;;) {
    pollfd ready = {session.fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) {
      continue;
    }
    TdsMessage message;
    if (readMessage(session.fd, message) != ReadOutcome::kMessage ||
        message.type != kAttentionPacket) {
      return false;
    }
    std::string answer;
    putDone(answer, kDoneToken, kDoneAttention, 0, session.since72);
    return sendReply(session.fd, answer);
  }
}

// SQL Server's text for an injected error number, where the stand-in knows it.
std::string serverMessageFor(int32_t nativeError) {
  switch (nativeError) {
    case 1205:
      return "Transaction (Process ID 51) was deadlocked on lock resources with another process "
             "and has been chosen as the deadlock victim. Rerun the transaction.";
    case 208:
      return "Invalid object name 'KVLSYSTEM.Kvl321Bew'.";
    case 1222:
      return "Lock request time out period exceeded.";
    default:
      return "Injected failure";
  }
}

void delayAsAnEngineCall(const Session& session) {
  long latency = session.engine.switches.latencyMilliseconds;
  if (latency > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(latency));
  }
}

// SQL Server rolls back the work of a client that went away before its
// statement ran; so, after its delay, a request of a client that hung up
// runs nothing.
bool clientHungUp(const Session& session) {
  pollfd ready = {session.fd, POLLRDHUP, 0};
  return poll(&ready, 1, 0) > 0 && (ready.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// A lost link: what `out` holds goes out as an answer that never ends, then
// the session ends.
Gate dropLink(Session& session, const InjectedFault& fault, const std::string& out) {
  if (!out.empty()) {
    sendReply(session.fd, out, false);
  }
  session.resetLink = fault.resetsLink();
  return Gate::kEnded;
}

// Applies latency, stall and fault switches to one row read.
Gate gateFetch(Session& session, std::string& out) {
  delayAsAnEngineCall(session);
  SwitchHit hit = countSwitchedCall(session.engine, SwitchedCall::kFetch);
  if (hit.stall) {
    return awaitAttention(session) ? Gate::kAnswered : Gate::kEnded;
  }
  if (hit.fault == nullptr) {
    return Gate::kProceed;
  }
  if (hit.fault->losesLink()) {
    return dropLink(session, *hit.fault, out);
  }
  putError(out,
           {hit.fault->sqlstate, hit.fault->nativeError, serverMessageFor(hit.fault->nativeError)},
           session.since72);
  return Gate::kFailed;
}

// The failure of a statement as its ERROR token says it.
void putFailure(Session& session, const StatementOutcome& outcome, std::string& out) {
  EngineError error = *outcome.failure;
  if (outcome.injected) {
    error.message = serverMessageFor(error.nativeError);
  }
  putError(out, error, session.since72);
}

// With the busy switch the server refuses a second statement while a cursor
// is open and not read to its end, as a driver without multiple active
// results.
bool busyWithCursor(const Session& session) {
  if (!session.engine.switches.refuseSecondActiveStatement) {
    return false;
  }
  for (const auto& [id, cursor] : session.cursors) {
    if (!cursor.exhausted) {
      return true;
    }
  }
  return false;
}

// Runs SQL text through the engine and its switches. Returns kProceed with
// the batch's outcomes, or kAnswered / kEnded when a stalled statement was
// answered by the client's cancel or the client went away.
Gate runStatements(Session& session, const std::string& sql, BatchRun& run) {
  delayAsAnEngineCall(session);
  if (clientHungUp(session)) {
    return Gate::kEnded;
  }
  if (busyWithCursor(session)) {
    run.outcomes.emplace_back().failure =
        EngineError{"HY000", 0, "Connection is busy with results for another command"};
    run.end = BatchEnd::kAborted;
    return Gate::kProceed;
  }
  // The answer goes out when the batch is done: the statements before a
  // stalled one ran, but the client hears only the cancel's acknowledgement.
  bool clientGone = false;
  auto stallWait = [&session, &clientGone] {
    clientGone = !awaitAttention(session);
    return true;
  };
  runBatch(session.engine, translateSqlServerText(sql), RowStorage::kMemory, stallWait, run);
  if (run.end == BatchEnd::kStalled) {
    return clientGone ? Gate::kEnded : Gate::kAnswered;
  }
  return Gate::kProceed;
}

// A statement's successful result: COLMETADATA and ROW... for a query, then
// its DONE, counted unless SET NOCOUNT ON or a SET. Every row handed out
// counts as a fetch for the switches.
Gate putResult(Session& session, const ResultSet& result, uint8_t doneToken, uint16_t more,
               std::string& out) {
  uint16_t count = result.counted ? uint16_t{kDoneCount} : uint16_t{0};
  if (!result.isQuery()) {
    uint64_t rows = result.counted ? static_cast<uint64_t>(result.rowsAffected) : 0;
    putDone(out, doneToken, count | more, rows, session.since72);
    return Gate::kProceed;
  }
  std::vector<WireColumn> columns = wireColumnsOf(result);
  putColumnMetadata(out, result, columns, session.since72);
  for (const auto& row : result.rows) {
    Gate gate = gateFetch(session, out);
    if (gate != Gate::kProceed) {
      return gate;
    }
    putRow(out, columns, row);
  }
  putDone(out, doneToken, count | more, result.counted ? result.rows.size() : 0, session.since72);
  return Gate::kProceed;
}

// Runs SQL text and appends its answer: per statement its INFO if it has
// one, then its result and DONE, or its ERROR and a DONE with the error bit
// (DONEINPROC inside a procedure, where every one says "more"). The
// ENVCHANGE of a transaction's begin, commit or rollback comes before the
// statement's DONE, after its ERROR. The last statement's failure is left
// to the caller's DONE or DONEPROC: kFailed. FreeTDS hands on a result for
// each DONE with a count or the error bit, and for one after an INFO; it
// skips the others (SET, BEGIN TRANSACTION, COMMIT, NOCOUNT).
Gate runSqlText(Session& session, const std::string& sql, bool insideProcedure, std::string& out) {
  uint8_t doneToken = insideProcedure ? kDoneInProcToken : kDoneToken;
  uint16_t lastMore = insideProcedure ? uint16_t{kDoneMore} : uint16_t{0};
  BatchRun run;
  Gate gate = runStatements(session, sql, run);
  if (gate != Gate::kProceed) {
    return gate;
  }
  const std::vector<StatementOutcome>& outcomes = run.outcomes;
  if (outcomes.empty() && run.end == BatchEnd::kCompleted) {
    putDone(out, doneToken, lastMore, 0, session.since72);
  }
  for (size_t index = 0; index < outcomes.size(); ++index) {
    bool last = index + 1 == outcomes.size() && run.end != BatchEnd::kLinkLost;
    uint16_t more = last ? lastMore : uint16_t{kDoneMore};
    const StatementOutcome& outcome = outcomes[index];
    if (outcome.info) {
      putInfo(out, *outcome.info, session.since72);
    }
    if (outcome.transaction != TransactionChange::kNone &&
        outcome.transaction != TransactionChange::kBegan &&
        session.engine.switches.cursorCloseOnCommit) {
      session.cursors.clear();
    }
    if (!outcome.failure) {
      putTransactionChange(out, outcome.transaction, outcome.transactionNumber);
      gate = putResult(session, outcome.result, doneToken, more, out);
    } else {
      putFailure(session, outcome, out);
      putTransactionChange(out, outcome.transaction, outcome.transactionNumber);
      gate = last ? Gate::kFailed : Gate::kProceed;
      if (!last) {
        putDone(out, doneToken, kDoneError | more, 0, session.since72);
      }
    }
    if (gate != Gate::kProceed) {
      return gate;
    }
  }
  if (run.end == BatchEnd::kLinkLost) {
    return dropLink(session, *run.lostLink, out);
  }
  return Gate::kProceed;
}

// One parameter of an RPC: name, status, type info and value.
bool readParameter(ByteReader& reader, RpcParameter& parameter) {
  reader.skip(2 * static_cast<size_t>(reader.u8()));  // name
  reader.u8();                                        // status
  parameter.type = reader.u8();
  switch (parameter.type) {
    case 0x26:  // INTN
    case 0x68:  // BITN
    case 0x6D:  // FLTN
    case 0x6E: {
      reader.u8();
      uint8_t length = reader.u8();
      parameter.isNull = length == 0;
      parameter.bytes = reader.take(length);
      break;
    }
    case 0x30:
    case 0x32:
      parameter.isNull = false;
      parameter.bytes = reader.take(1);
      break;
    case 0x34:
      parameter.isNull = false;
      parameter.bytes = reader.take(2);
      break;
    case 0x38:
      parameter.isNull = false;
      parameter.bytes = reader.take(4);
      break;
    case 0x7F:
      parameter.isNull = false;
      parameter.bytes = reader.take(8);
      break;
    case 0xE7:  // NVARCHAR
    case 0xEF:  // NCHAR
    case 0xA7:  // BIGVARCHAR
    case 0xAF:  // BIGCHAR
    case 0xA5:  // BIGVARBINARY
    case 0xAD: {
      uint16_t maxLength = reader.u16();
      if (parameter.type != 0xA5 && parameter.type != 0xAD) {
        reader.skip(5);  // collation
      }
      if (maxLength == 0xFFFF) {
        // Partially length-prefixed: a total, then chunks up to a zero one.
        uint64_t total = reader.u32();
        total |= static_cast<uint64_t>(reader.u32()) << 32;
        parameter.isNull = total == ~uint64_t{0};
        while (!parameter.isNull && !reader.failed) {
          uint32_t chunk = reader.u32();
          if (chunk == 0) {
            break;
          }
          parameter.bytes += reader.take(chunk);
        }
      } else {
        uint16_t length = reader.u16();
        parameter.isNull = length == 0xFFFF;
        parameter.bytes = parameter.isNull ? std::string() : reader.take(length);
      }
      break;
    }
    case 0x63:  // NTEXT
    case 0x23:  // TEXT
    case 0x22: {
      reader.u32();
      if (parameter.type != 0x22) {
        reader.skip(5);
      }
      uint32_t length = reader.u32();
      parameter.isNull = length == 0xFFFFFFFFu;
      parameter.bytes = parameter.isNull ? std::string() : reader.take(length);
      break;
    }
    default:
      return false;
  }
  return !reader.failed;
}

uint16_t procedureByName(const std::string& name) {
  static const std::pair<const char*, uint16_t> kNames[] = {
      {"sp_cursoropen", kCursorOpen},     {"sp_cursorfetch", kCursorFetch},
      {"sp_cursoroption", kCursorOption}, {"sp_cursorclose", kCursorClose},
      {"sp_executesql", kExecuteSql},     {"sp_prepare", kPrepare},
      {"sp_execute", kExecute},           {"sp_prepexec", kPrepareExecute},
      {"sp_unprepare", kUnprepare},
  };
  for (const auto& [known, id] : kNames) {
    if (strcasecmp(name.c_str(), known) == 0) {
      return id;
    }
  }
  return 0;
}

// ALL_HEADERS from TDS 7.2 on; false when malformed. The descriptor of the
// transaction the client takes to be open is taken as it comes: a session
// has one transaction at a time, and the stand-in serves no MARS.
bool readRequestHeaders(const Session& session, ByteReader& reader) {
  RequestHeaders headers;
  return !session.since72 || readAllHeaders(reader, headers);
}

// The calls of an RPC message, which may batch several.
bool readRpcCalls(const Session& session, const std::string& payload, std::vector<RpcCall>& calls) {
  ByteReader reader(payload);
  if (!readRequestHeaders(session, reader)) {
    return false;
  }
  while (reader.left() > 0 && !reader.failed) {
    RpcCall call;
    uint16_t nameLength = reader.u16();
    call.procedure = nameLength == 0xFFFF
                         ? reader.u16()
                         : procedureByName(cp1252FromUcs2(reader.take(2 * size_t{nameLength})));
    reader.u16();  // option flags
    while (reader.left() > 0) {
      uint8_t next = static_cast<uint8_t>(payload[reader.position]);
      if (next == 0x80 || next == 0xFF) {
        reader.u8();  // the next call follows
        break;
      }
      call.parameters.emplace_back();
      if (!readParameter(reader, call.parameters.back())) {
        return false;
      }
    }
    calls.push_back(std::move(call));
  }
  return !reader.failed && !calls.empty();
}

// The cursor's rows are those of the text's first statement.
Gate openCursor(Session& session, const RpcCall& call, std::string& out) {
  std::string sql = call.parameterText(1);
  BatchRun run;
  Gate gate = runStatements(session, sql, run);
  if (gate != Gate::kProceed) {
    return gate;
  }
  if (run.end == BatchEnd::kLinkLost) {
    return dropLink(session, *run.lostLink, out);
  }
  if (run.outcomes.empty() || !run.outcomes[0].result.isQuery()) {
    if (!run.outcomes.empty() && run.outcomes[0].failure) {
      putFailure(session, run.outcomes[0], out);
      return Gate::kFailed;
    }
    return Gate::kProceed;
  }
  int32_t id = session.nextCursor++;
  ServerCursor& cursor = session.cursors[id];
  cursor.result = std::move(run.outcomes[0].result);
  cursor.columns = wireColumnsOf(cursor.result);
  putColumnMetadata(out, cursor.result, cursor.columns, session.since72);
  putReturnValue(out, 0, id, session.since72);
  return Gate::kProceed;
}

Gate fetchCursor(Session& session, const RpcCall& call, std::string& out) {
  auto found = session.cursors.find(static_cast<int32_t>(call.parameterInteger(0, 0)));
  if (found == session.cursors.end()) {
    putError(out,
             {"HY000", 16950, "The variable @cursor does not currently have a cursor allocated."},
             session.since72);
    return Gate::kFailed;
  }
  ServerCursor& cursor = found->second;
  int64_t fetchType = call.parameterInteger(1, 2);
  if (fetchType & 0x100) {  // where the cursor stands, no rows
    putReturnStatus(out, 0);
    putReturnValue(out, 2, static_cast<int32_t>(cursor.nextRow), session.since72);
    putReturnValue(out, 3, static_cast<int32_t>(cursor.result.rows.size()), session.since72);
    return Gate::kProceed;
  }
  // Every row read counts as a fetch for the switches, and so does the
  // answer that there is none left. A switch that hits inside the rowset
  // ends the answer after the rows before it.
  int64_t wanted = std::max<int64_t>(call.parameterInteger(3, 1), 1);
  size_t rowCount = cursor.result.rows.size();
  cursor.exhausted = cursor.nextRow >= rowCount;
  if (cursor.exhausted) {
    return gateFetch(session, out);
  }
  for (int64_t count = 0; count < wanted && cursor.nextRow < rowCount; ++count) {
    Gate gate = gateFetch(session, out);
    if (gate != Gate::kProceed) {
      return gate;
    }
    putRow(out, cursor.columns, cursor.result.rows[cursor.nextRow++]);
  }
  return Gate::kProceed;
}

// sp_prepexec, sp_execute and sp_executesql: the statement's results, then
// the procedure's status and, for a preparation, the handle.
Gate executeStatement(Session& session, const std::string& sql, std::optional<int32_t> handle,
                      std::string& out) {
  Gate gate = runSqlText(session, sql, true, out);
  if (gate != Gate::kProceed) {
    return gate;
  }
  putReturnStatus(out, 0);
  if (handle) {
    putReturnValue(out, 0, *handle, session.since72);
  }
  return Gate::kProceed;
}

Gate runProcedure(Session& session, const RpcCall& call, std::string& out) {
  switch (call.procedure) {
    case kCursorOpen:
      return openCursor(session, call, out);
    case kCursorFetch:
      return fetchCursor(session, call, out);
    case kCursorOption:
      return Gate::kProceed;
    case kCursorClose:
      session.cursors.erase(static_cast<int32_t>(call.parameterInteger(0, 0)));
      return Gate::kProceed;
    case kExecuteSql:
      return executeStatement(session, call.parameterText(0), std::nullopt, out);
    case kPrepare: {
      int32_t handle = session.nextPrepared++;
      session.preparedTexts[handle] = call.parameterText(2);
      putReturnStatus(out, 0);
      putReturnValue(out, 0, handle, session.since72);
      return Gate::kProceed;
    }
    case kPrepareExecute: {
      int32_t handle = session.nextPrepared++;
      session.preparedTexts[handle] = call.parameterText(2);
      return executeStatement(session, session.preparedTexts[handle], handle, out);
    }
    case kExecute: {
      auto found = session.preparedTexts.find(static_cast<int32_t>(call.parameterInteger(0, 0)));
      if (found == session.preparedTexts.end()) {
        putError(out, {"HY000", 8179, "Could not find prepared statement."}, session.since72);
        return Gate::kFailed;
      }
      return executeStatement(session, found->second, std::nullopt, out);
    }
    case kUnprepare:
      session.preparedTexts.erase(static_cast<int32_t>(call.parameterInteger(0, 0)));
      return Gate::kProceed;
    default:
      putError(out, {"42000", 2812, "Could not find stored procedure."}, session.since72);
      return Gate::kFailed;
  }
}

// Answers an RPC message; false when the session ends.
bool answerRpc(Session& session, const std::string& payload) {
  std::vector<RpcCall> calls;
  if (!readRpcCalls(session, payload, calls)) {
    return malformed("RPC request");
  }
  std::string out;
  for (size_t index = 0; index < calls.size(); ++index) {
    Gate gate = runProcedure(session, calls[index], out);
    if (gate == Gate::kEnded) {
      return false;
    }
    if (gate == Gate::kAnswered) {
      return true;
    }
    uint16_t status = static_cast<uint16_t>((gate == Gate::kFailed ? kDoneError : 0) |
                                            (index + 1 < calls.size() ? kDoneMore : 0));
    putDone(out, kDoneProcToken, status, 0, session.since72);
  }
  return sendReply(session.fd, out);
}

// Answers a SQL batch; false when the session ends.
bool answerBatch(Session& session, const std::string& payload) {
  ByteReader reader(payload);
  if (!readRequestHeaders(session, reader)) {
    return malformed("SQL batch");
  }
  std::string text = reader.take(reader.left());
  if (reader.failed) {
    return malformed("SQL batch");
  }
  std::string out;
  Gate gate = runSqlText(session, cp1252FromUcs2(text), false, out);
  if (gate == Gate::kEnded) {
    return false;
  }
  if (gate == Gate::kAnswered) {
    return true;
  }
  if (gate == Gate::kFailed) {
    putDone(out, kDoneToken, kDoneError, 0, session.since72);
  }
  return sendReply(session.fd, out);
}

void serve(Session& session, const std::string& databasePath) {
  TdsMessage message;
  ReadOutcome outcome = readMessage(session.fd, message);
  if (outcome == ReadOutcome::kMessage && message.type == kPreloginPacket) {
    ++session.requests;
    outcome = sendReply(session.fd, preloginAnswer()) ? readMessage(session.fd, message)
                                                      : ReadOutcome::kClosed;
  }
  if (outcome == ReadOutcome::kMessage) {
    ++session.requests;
  }
  if (outcome == ReadOutcome::kMalformed ||
      (outcome == ReadOutcome::kMessage && message.type != kLogin7Packet)) {
    malformed("packet before the login");
    return;
  }
  if (outcome != ReadOutcome::kMessage || !login(session, databasePath, message.payload)) {
    return;
  }
  for (;;) {
    outcome = readMessage(session.fd, message);
    if (outcome == ReadOutcome::kMalformed) {
      malformed("packet");
    }
    if (outcome != ReadOutcome::kMessage) {
      return;
    }
    ++session.requests;
    long wireLatency = session.engine.switches.wireLatencyMilliseconds;
    if (wireLatency > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wireLatency));
    }
    bool goesOn = false;
    switch (message.type) {
      case kAttentionPacket: {
        // Nothing runs between requests; the cancel only wants its ack.
        std::string answer;
        putDone(answer, kDoneToken, kDoneAttention, 0, session.since72);
        goesOn = sendReply(session.fd, answer);
        break;
      }
      case kSqlBatchPacket:
        goesOn = answerBatch(session, message.payload);
        break;
      case kRpcPacket:
        goesOn = answerRpc(session, message.payload);
        break;
      default:
        goesOn = malformed("request type");
        break;
    }
    if (!goesOn) {
      return;
    }
  }
}

// A reset throws away what the socket has not delivered yet: the answer
// before a lost link reaches the client first, however the timing falls.
void awaitDeliveredData(int fd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int undelivered = 0;
    if (ioctl(fd, TIOCOUTQ, &undelivered) != 0 || undelivered == 0) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

long serveTdsConnection(int fd, const std::string& databasePath) {
  Session session;
  session.fd = fd;
  serve(session, databasePath);
  closeStandinSession(session.engine);
  if (session.resetLink) {
    awaitDeliveredData(fd);
    linger immediate = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
  }
  close(fd);
  return session.requests;
}
