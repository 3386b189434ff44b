#include "live_feed.h"

#include <algorithm>

#include "client_list.h"
#include "json_formatter.h"
#include "json_writer.h"
#include "monitor.h"

namespace kqtool {

namespace {

// A batch goes to the readers once the records stop coming or it is this old or this big: a few
// dozen events a second however fast the client writes.
constexpr auto BatchAge = std::chrono::milliseconds(25);
constexpr std::size_t BatchBytes = 256 * 1024;
// Clients answer a ping at once unless they are in their pause after another client's signal.
constexpr auto PingAnswer = std::chrono::milliseconds(250);

const char* StateName(WatchState state) {
  switch (state) {
    case WatchState::Attached:
      return "attached";
    case WatchState::Detached:
      return "detached";
    default:
      return "waiting";
  }
}

}  // namespace

LiveFeed::LiveFeed(EventHub& hub, const Settings& settings)
    : FHub(hub),
      FSettings(settings),
      FPrinter(std::make_unique<JsonFormatter>(),
               [this] {
                 auto target = std::make_unique<PendingTarget>();
                 FPending = target.get();
                 return target;
               }()),
      FTop(settings.Burst) {}

bool LiveFeed::OnBatch(const std::vector<RecordEntry>& entries, const RecordTally& batch, const ClientInfo& client) {
  FPrinter.Print(entries, client);
  FTally += batch;
  FTopTally += batch;
  FTop.Add(entries, client);
  if (!FPendingSince) FPendingSince = Clock::now();
  FBatchSinceBetween = true;
  if (FPending->Bytes.size() >= BatchBytes) Flush();
  return true;
}

void LiveFeed::Flush() {
  FPendingSince.reset();
  if (FPending->Bytes.empty()) return;
  auto chunk = std::make_shared<StreamChunk>();
  chunk->Bytes.swap(FPending->Bytes);
  chunk->Objects = FPending->Objects;
  FPending->Objects = 0;
  FPending->Bytes.reserve(chunk->Bytes.size());
  FHub.PublishRecords(chunk);
}

void LiveFeed::PublishState(const std::string& slot, std::string_view ndjson) {
  auto chunk = std::make_shared<StreamChunk>();
  std::int64_t objects = 0;
  AppendJsonLines(ndjson, chunk->Bytes, objects);
  FHub.PublishState(slot, chunk);  // Objects stays 0: a lost state is replaced by the next one
}

void LiveFeed::OnState(WatchState state, const ClientInfo& client) {
  // The records of the client before the change go first.
  Flush();
  FState = state;
  if (state != WatchState::Waiting) FClient = client;
  // The top view spans every watched client: a client that joins adds to it and resets nothing.
  FScratch.Clear();
  AppendWatch(FScratch);
  PublishState("watch", FScratch.View());
  FNextSecond = Clock::now();  // the list and top follow at once
  // The client left behind is no longer marked alive by the watch, and it has answered no ping
  // yet: ask at once, or the list would call a running client "not answering" until the next round.
  if (state != WatchState::Waiting) FNextPing = FNextSecond;
}

void LiveFeed::StartPing(kq::Monitor& monitor) {
  monitor.Ping();
  const auto now = Clock::now();
  FPingFollowUp = now + PingAnswer;
  FPingAnswered = now + 2 * PingAnswer;
  FNextPing = now + std::chrono::seconds(FSettings.PingSeconds);
}

void LiveFeed::Between(kq::Monitor& monitor, const std::function<bool(std::int32_t)>& watching) {
  FMonitorID = monitor.ID();
  const auto now = Clock::now();
  if (FPendingSince && (!FBatchSinceBetween || now - *FPendingSince >= BatchAge)) Flush();
  FBatchSinceBetween = false;

  if (FPingFollowUp && now >= *FPingFollowUp) {
    // A second ping reaches the clients that were pausing during the first.
    monitor.Ping(false);
    FPingFollowUp.reset();
  }
  const bool pingDone = FPingAnswered && now >= *FPingAnswered;
  if (pingDone) FPingAnswered.reset();
  if (now < FNextSecond && !pingDone) return;
  if (now >= FNextSecond) FNextSecond = now + std::chrono::seconds(1);

  kq::ClientSnapshot snapshot = monitor.Clients(true);
  if (watching)
    for (kq::ClientState& client : snapshot.Clients) client.Attached = client.Attached || watching(client.ID);
  if (snapshot.BufferSize != FBufferSize) {
    FBufferSize = snapshot.BufferSize;
    FScratch.Clear();
    AppendWatch(FScratch);
    PublishState("watch", FScratch.View());
  }

  FScratch.Clear();
  AppendTop(FScratch);
  if (FScratch.View() != FLastTop) {
    FLastTop = FScratch.View();
    PublishState("top", FLastTop);
  }
  FScratch.Clear();
  AppendTally(FScratch);
  if (FScratch.View() != FLastTally) {
    FLastTally = FScratch.View();
    PublishState("tally", FLastTally);
  }

  // A new client has not answered a ping yet; nor has one that died since the last.
  std::vector<std::int32_t> ids;
  for (const kq::ClientState& client : snapshot.Clients) ids.push_back(client.ID);
  if (!FPingAnswered && (ids != FKnownIDs || now >= FNextPing)) {
    FKnownIDs = ids;
    StartPing(monitor);
  }
  if (FPingAnswered) return;  // marks are being renewed: the list would show everyone dead
  FScratch.Clear();
  AppendClientsJson(snapshot, FScratch);
  if (FScratch.View() != FLastClients) {
    FLastClients = FScratch.View();
    PublishState("clients", FLastClients);
  }
}

void LiveFeed::Finish() {
  Flush();
  FScratch.Clear();
  AppendTally(FScratch);
  PublishState("tally", FScratch.View());
}

void LiveFeed::AppendClients(const kq::Monitor& monitor, OutputBuffer& out) {
  AppendClientsJson(monitor.Clients(true), out);
}

void LiveFeed::AppendTop(OutputBuffer& out) {
  FTop.AppendJson(out, FSettings.TopRows, FClient, FTopTally.Filtered, FTopTally.Missing);
}

void LiveFeed::AppendWatch(OutputBuffer& out) {
  JsonWriter json(out);
  json.BeginObject();
  json.Member("kind", "watch");
  json.Member("state", StateName(FState));
  if (FState == WatchState::Waiting) {
    json.NullMember("kq.client.id");
    json.NullMember("kq.client.name");
  } else {
    json.Member("kq.client.id", FClient.ID);
    json.Member("kq.client.name", std::u16string_view(FClient.Name));
  }
  json.Member("kq.monitor.id", FMonitorID);
  json.Member("kq.buffer.size", FBufferSize);
  json.Member("redact", FSettings.Filter.Redact);
  json.EndObject();
}

void LiveFeed::AppendTally(OutputBuffer& out) {
  const RecordTally& tally = FTally;
  JsonWriter json(out);
  json.BeginObject();
  json.Member("kind", "tally");
  json.Member("records", tally.Read());
  json.Member("statements", tally.Shown);
  json.Member("filtered", tally.Filtered);
  json.Member("log_starts", tally.LogStarts);
  json.Member("gaps", tally.Gaps);
  json.Member("lost", tally.Missing);
  json.EndObject();
}

void LiveFeed::AppendStatus(OutputBuffer& out) {
  AppendWatch(out);
  AppendTally(out);
}

}  // namespace kqtool
