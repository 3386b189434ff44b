// libpq's eight entry points that start a statement, with PQgetResult (where asynchronous statements
// end) and PQfinish (where a connection's state goes). The application calls these instead of libpq's:
// through the preload (we come first in the global scope) or through the audit library, which binds
// every other lookup of these names to ours. libpq's declarations are repeated here (its ABI has been
// stable for decades), so building needs no libpq headers and running needs no libpq at all.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>

#include "trace_client.h"
#include "trace_parts.h"

extern "C" {
typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;
typedef unsigned int Oid;
}

namespace {

using kqtrace::ConnectionState;
using kqtrace::Nesting;
using kqtrace::PendingStatement;

// libpq's ExecStatusType values.
enum : int {
  ResCommandOk = 1,
  ResTuplesOk = 2,
  ResCopyOut = 3,
  ResCopyIn = 4,
  ResBadResponse = 5,
  ResFatalError = 7,
  ResCopyBoth = 8,
  ResSingleTuple = 9,
  ResPipelineSync = 10,
  ResPipelineAborted = 11,
};
constexpr int DiagSqlState = 'C';
constexpr int DiagMessagePrimary = 'M';

// The real function, looked up on first use and kept.
template <typename Fn>
Fn Real(std::atomic<void*>& cache, const char* name) noexcept {
  void* found = cache.load(std::memory_order_relaxed);
  if (!found) {
    found = kqtrace::FindLoaded("libpq.so.5", name);
    cache.store(found, std::memory_order_relaxed);
  }
  return reinterpret_cast<Fn>(found);
}
#define KQ_REAL(name) Real<decltype(&name)>(Real_##name, #name)

std::atomic<void*> Real_PQresultStatus, Real_PQntuples, Real_PQcmdTuples, Real_PQresultErrorField, Real_PQdb,
    Real_PQhost;

// The connections with statements in flight or prepared statements, under one lock (uncontended in
// the usual one-connection-per-thread program).
std::mutex ConnectionsGuard;
std::unordered_map<const PGconn*, ConnectionState>* Connections = nullptr;
// Statements pending on every connection together. While it is zero and no monitor is registered, a
// statement's start is not even noted and its results are not looked at: without a monitor, tracing
// costs a few loads. (A monitor that registers while an unnoted statement's results are still to
// come, in a pipeline, can give one statement that one's outcome.)
std::atomic<long> PendingCount{0};

// A fork while another thread holds the lock must not leave it held in the child for good.
void LockConnections() noexcept { ConnectionsGuard.lock(); }
void UnlockConnections() noexcept { ConnectionsGuard.unlock(); }

ConnectionState& StateOf(const PGconn* conn) {
  if (!Connections) {
    Connections = new std::unordered_map<const PGconn*, ConnectionState>;
    pthread_atfork(LockConnections, UnlockConnections, UnlockConnections);
  }
  return (*Connections)[conn];
}

ConnectionState* FindState(const PGconn* conn) noexcept {
  if (!Connections) return nullptr;
  auto found = Connections->find(conn);
  return found == Connections->end() ? nullptr : &found->second;
}

}  // namespace

extern "C" {
int PQresultStatus(const PGresult*);
int PQntuples(const PGresult*);
char* PQcmdTuples(PGresult*);
char* PQresultErrorField(const PGresult*, int);
char* PQdb(const PGconn*);
char* PQhost(const PGconn*);
}

namespace {

std::string DatabaseOf(const void* conn) {
  auto db = KQ_REAL(PQdb);
  auto host = KQ_REAL(PQhost);
  const auto* c = static_cast<const PGconn*>(conn);
  return kqtrace::PgDatabaseLabel(db ? db(c) : nullptr, host ? host(c) : nullptr);
}

kqtrace::ResultFacts FactsOf(PGresult* result) {
  kqtrace::ResultFacts facts;
  auto status = KQ_REAL(PQresultStatus);
  if (!result || !status) {
    facts.Error = true;
    return facts;
  }
  switch (status(result)) {
    case ResTuplesOk:
    case ResSingleTuple:
      if (auto ntuples = KQ_REAL(PQntuples)) facts.Rows = ntuples(result);
      break;
    case ResCommandOk:
      if (auto cmdTuples = KQ_REAL(PQcmdTuples)) {
        const char* rows = cmdTuples(result);
        if (rows && *rows) facts.Rows = std::strtoll(rows, nullptr, 10);
      }
      break;
    case ResBadResponse:
    case ResFatalError:
    case ResPipelineAborted:
      facts.Error = true;
      if (auto field = KQ_REAL(PQresultErrorField)) {
        const char* state = field(result, DiagSqlState);
        const char* message = field(result, DiagMessagePrimary);
        if (state) facts.SqlState = state;
        if (message) facts.Message = message;
      }
      break;
    case ResPipelineSync:
      facts.PipelineSync = true;
      break;
    default:
      break;
  }
  return facts;
}

bool CopyStarted(PGresult* result) {
  auto status = KQ_REAL(PQresultStatus);
  if (!result || !status) return false;
  int s = status(result);
  return s == ResCopyIn || s == ResCopyOut || s == ResCopyBoth;
}

void SubmitDone(const PGconn* conn, const PendingStatement& done) {
  if (!done.Traced) return;
  kqtrace::Outcome outcome;
  outcome.DurationMicros = (kqtrace::NowNs() - done.StartNs) / 1000;
  outcome.Rows = done.Rows;
  outcome.Failed = done.Failed;
  outcome.SqlState = done.SqlState;
  outcome.Message = done.Message;
  kqtrace::Submit(done.Text, outcome, DatabaseOf, conn);
}

// A synchronous call begins by discarding whatever results of earlier statements are left (libpq does
// that inside the call, where we do not look): those statements are complete now.
void SettleBeforeSync(const PGconn* conn) {
  if (PendingCount.load(std::memory_order_relaxed) == 0) return;
  std::unique_lock lock(ConnectionsGuard);
  ConnectionState* state = FindState(conn);
  if (!state) return;
  PendingStatement done;
  while (state->Pending.OnNull(done)) {
    --PendingCount;
    lock.unlock();
    SubmitDone(conn, done);
    lock.lock();
    state = FindState(conn);
    if (!state) return;
  }
}

// A synchronous statement has returned. COPY goes on after the call: its statement ends with the null
// result that follows the copied data.
void CompleteSync(const PGconn* conn, PGresult* result, std::string&& text, std::int64_t start, bool wanted) {
  if (CopyStarted(result)) {
    if (!wanted && PendingCount.load(std::memory_order_relaxed) == 0) return;
    PendingStatement pending;
    pending.Text = std::move(text);
    pending.StartNs = start;
    pending.Traced = wanted;
    std::lock_guard lock(ConnectionsGuard);
    StateOf(conn).Pending.Push(std::move(pending));
    ++PendingCount;
    return;
  }
  if (!wanted) return;
  kqtrace::ResultFacts facts = FactsOf(result);
  kqtrace::Outcome outcome;
  outcome.DurationMicros = (kqtrace::NowNs() - start) / 1000;
  outcome.Rows = facts.Rows;
  outcome.Failed = facts.Error;
  outcome.SqlState = facts.SqlState;
  outcome.Message = facts.Message;
  kqtrace::Submit(text, outcome, DatabaseOf, conn);
}

void PushSent(const PGconn* conn, std::string&& text, std::int64_t start, bool wanted) {
  if (!wanted && PendingCount.load(std::memory_order_relaxed) == 0) return;
  PendingStatement pending;
  pending.Text = std::move(text);
  pending.StartNs = start;
  pending.Traced = wanted;
  std::lock_guard lock(ConnectionsGuard);
  StateOf(conn).Pending.Push(std::move(pending));
  ++PendingCount;
}

std::string ParamsText(const char* text, int count, const char* const* values, const int* lengths, const int* formats) {
  const kqtrace::Settings& settings = kqtrace::CurrentSettings();
  if (!settings.Params) return text ? text : "";
  return kqtrace::WithParams(text ? text : "", count, values, lengths, formats, settings.Redact);
}

std::string PreparedParamsText(const PGconn* conn, const char* name, int count, const char* const* values,
                               const int* lengths, const int* formats) {
  std::string text;
  {
    std::lock_guard lock(ConnectionsGuard);
    ConnectionState* state = FindState(conn);
    text = state ? state->PreparedText(name) : ConnectionState().PreparedText(name);
  }
  return ParamsText(text.c_str(), count, values, lengths, formats);
}

// Keeps errno as the real call left it, whatever the tracing after it did.
class ErrnoAfter {
 public:
  ErrnoAfter() = default;
  void Capture() noexcept { FValue = errno; }
  ~ErrnoAfter() { errno = FValue; }
  ErrnoAfter(const ErrnoAfter&) = delete;
  ErrnoAfter& operator=(const ErrnoAfter&) = delete;

 private:
  int FValue = 0;
};

std::atomic<void*> Real_PQexec, Real_PQexecParams, Real_PQprepare, Real_PQexecPrepared, Real_PQsendQuery,
    Real_PQsendQueryParams, Real_PQsendPrepare, Real_PQsendQueryPrepared, Real_PQgetResult, Real_PQfinish;

}  // namespace

// Every wrapper: the real function when libpq's own code calls it (nested) or tracing is not wanted
// beyond the bookkeeping that later statements' pairing needs; exceptions (only allocation failures)
// are caught before they could reach C code; errno is what the real call left.
extern "C" {

__attribute__((visibility("default"))) PGresult* PQexec(PGconn* conn, const char* query) {
  auto real = KQ_REAL(PQexec);
  if (!real) return nullptr;
  if (Nesting::Inside()) return real(conn, query);
  Nesting nest;
  ErrnoAfter keep;
  try {
    SettleBeforeSync(conn);
  } catch (...) {
  }
  const bool wanted = kqtrace::Wanted();
  const std::int64_t start = wanted ? kqtrace::NowNs() : 0;
  PGresult* result = real(conn, query);
  keep.Capture();
  try {
    if (wanted || CopyStarted(result))
      CompleteSync(conn, result, std::string(wanted && query ? query : ""), start, wanted);
  } catch (...) {
  }
  return result;
}

__attribute__((visibility("default"))) PGresult* PQexecParams(PGconn* conn, const char* command, int nParams,
                                                              const Oid* paramTypes, const char* const* paramValues,
                                                              const int* paramLengths, const int* paramFormats,
                                                              int resultFormat) {
  auto real = KQ_REAL(PQexecParams);
  if (!real) return nullptr;
  if (Nesting::Inside())
    return real(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat);
  Nesting nest;
  ErrnoAfter keep;
  try {
    SettleBeforeSync(conn);
  } catch (...) {
  }
  const bool wanted = kqtrace::Wanted();
  std::string text;
  try {
    if (wanted) text = ParamsText(command, nParams, paramValues, paramLengths, paramFormats);
  } catch (...) {
  }
  const std::int64_t start = wanted ? kqtrace::NowNs() : 0;
  PGresult* result = real(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat);
  keep.Capture();
  try {
    if (wanted || CopyStarted(result)) CompleteSync(conn, result, std::move(text), start, wanted);
  } catch (...) {
  }
  return result;
}

__attribute__((visibility("default"))) PGresult* PQprepare(PGconn* conn, const char* stmtName, const char* query,
                                                           int nParams, const Oid* paramTypes) {
  auto real = KQ_REAL(PQprepare);
  if (!real) return nullptr;
  if (Nesting::Inside()) return real(conn, stmtName, query, nParams, paramTypes);
  Nesting nest;
  ErrnoAfter keep;
  try {
    SettleBeforeSync(conn);
  } catch (...) {
  }
  const bool wanted = kqtrace::Wanted();
  const std::int64_t start = wanted ? kqtrace::NowNs() : 0;
  PGresult* result = real(conn, stmtName, query, nParams, paramTypes);
  keep.Capture();
  try {
    {
      std::lock_guard lock(ConnectionsGuard);
      StateOf(conn).NotePrepared(stmtName, query);
    }
    if (wanted) CompleteSync(conn, result, std::string(query ? query : ""), start, true);
  } catch (...) {
  }
  return result;
}

__attribute__((visibility("default"))) PGresult* PQexecPrepared(PGconn* conn, const char* stmtName, int nParams,
                                                                const char* const* paramValues, const int* paramLengths,
                                                                const int* paramFormats, int resultFormat) {
  auto real = KQ_REAL(PQexecPrepared);
  if (!real) return nullptr;
  if (Nesting::Inside()) return real(conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat);
  Nesting nest;
  ErrnoAfter keep;
  try {
    SettleBeforeSync(conn);
  } catch (...) {
  }
  const bool wanted = kqtrace::Wanted();
  std::string text;
  try {
    if (wanted) text = PreparedParamsText(conn, stmtName, nParams, paramValues, paramLengths, paramFormats);
  } catch (...) {
  }
  const std::int64_t start = wanted ? kqtrace::NowNs() : 0;
  PGresult* result = real(conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat);
  keep.Capture();
  try {
    if (wanted || CopyStarted(result)) CompleteSync(conn, result, std::move(text), start, wanted);
  } catch (...) {
  }
  return result;
}

__attribute__((visibility("default"))) int PQsendQuery(PGconn* conn, const char* query) {
  auto real = KQ_REAL(PQsendQuery);
  if (!real) return 0;
  if (Nesting::Inside()) return real(conn, query);
  Nesting nest;
  ErrnoAfter keep;
  const bool wanted = kqtrace::Wanted();
  const std::int64_t start = wanted ? kqtrace::NowNs() : 0;
  int sent = real(conn, query);
  keep.Capture();
  try {
    if (sent) PushSent(conn, std::string(wanted && query ? query : ""), start, wanted);
  } catch (...) {
  }
  return sent;
}

__attribute__((visibility("default"))) int PQsendQueryParams(PGconn* conn, const char* command, int nParams,
                                                             const Oid* paramTypes, const char* const* paramValues,
                                                             const int* paramLengths, const int* paramFormats,
                                                             int resultFormat) {
  auto real = KQ_REAL(PQsendQueryParams);
  if (!real) return 0;
  if (Nesting::Inside())
    return real(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat);
  Nesting nest;
  ErrnoAfter keep;
  const bool wanted = kqtrace::Wanted();
  std::string text;
  try {
    if (wanted) text = ParamsText(command, nParams, paramValues, paramLengths, paramFormats);
  } catch (...) {
  }
  const std::int64_t start = wanted ? kqtrace::NowNs() : 0;
  int sent = real(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat);
  keep.Capture();
  try {
    if (sent) PushSent(conn, std::move(text), start, wanted);
  } catch (...) {
  }
  return sent;
}

__attribute__((visibility("default"))) int PQsendPrepare(PGconn* conn, const char* stmtName, const char* query,
                                                         int nParams, const Oid* paramTypes) {
  auto real = KQ_REAL(PQsendPrepare);
  if (!real) return 0;
  if (Nesting::Inside()) return real(conn, stmtName, query, nParams, paramTypes);
  Nesting nest;
  ErrnoAfter keep;
  const bool wanted = kqtrace::Wanted();
  const std::int64_t start = wanted ? kqtrace::NowNs() : 0;
  int sent = real(conn, stmtName, query, nParams, paramTypes);
  keep.Capture();
  try {
    if (sent) {
      {
        // Noted at once: in a pipeline the executions follow before the prepare's result is read.
        std::lock_guard lock(ConnectionsGuard);
        StateOf(conn).NotePrepared(stmtName, query);
      }
      PushSent(conn, std::string(wanted && query ? query : ""), start, wanted);
    }
  } catch (...) {
  }
  return sent;
}

__attribute__((visibility("default"))) int PQsendQueryPrepared(PGconn* conn, const char* stmtName, int nParams,
                                                               const char* const* paramValues, const int* paramLengths,
                                                               const int* paramFormats, int resultFormat) {
  auto real = KQ_REAL(PQsendQueryPrepared);
  if (!real) return 0;
  if (Nesting::Inside()) return real(conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat);
  Nesting nest;
  ErrnoAfter keep;
  const bool wanted = kqtrace::Wanted();
  std::string text;
  try {
    if (wanted) text = PreparedParamsText(conn, stmtName, nParams, paramValues, paramLengths, paramFormats);
  } catch (...) {
  }
  const std::int64_t start = wanted ? kqtrace::NowNs() : 0;
  int sent = real(conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat);
  keep.Capture();
  try {
    if (sent) PushSent(conn, std::move(text), start, wanted);
  } catch (...) {
  }
  return sent;
}

__attribute__((visibility("default"))) PGresult* PQgetResult(PGconn* conn) {
  auto real = KQ_REAL(PQgetResult);
  if (!real) return nullptr;
  if (Nesting::Inside()) return real(conn);
  PGresult* result = real(conn);
  if (PendingCount.load(std::memory_order_relaxed) == 0) return result;
  ErrnoAfter keep;
  keep.Capture();
  try {
    PendingStatement done;
    bool complete = false;
    {
      std::lock_guard lock(ConnectionsGuard);
      ConnectionState* state = FindState(conn);
      if (!state || state->Pending.Empty()) return result;
      if (result) {
        Nesting nest;
        state->Pending.OnResult(FactsOf(result));
      } else {
        complete = state->Pending.OnNull(done);
        if (complete) --PendingCount;
      }
    }
    if (complete) {
      Nesting nest;
      SubmitDone(conn, done);
    }
  } catch (...) {
  }
  return result;
}

__attribute__((visibility("default"))) void PQfinish(PGconn* conn) {
  auto real = KQ_REAL(PQfinish);
  if (!real) return;
  if (!Nesting::Inside()) {
    try {
      std::lock_guard lock(ConnectionsGuard);
      if (ConnectionState* state = FindState(conn)) {
        PendingCount -= static_cast<long>(state->Pending.Size());
        Connections->erase(conn);
      }
    } catch (...) {
    }
  }
  real(conn);
}

}  // extern "C"
