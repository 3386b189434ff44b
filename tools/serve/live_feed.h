#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client_watcher.h"
#include "event_hub.h"
#include "output_buffer.h"
#include "record_printer.h"
#include "record_tally.h"
#include "top_table.h"

namespace kq {
class Monitor;
}

namespace kqtool {

// The watch's side of `kqmon serve`, on the watch's thread: turns every batch of records into JSON
// lines of the `--format json` schema (redacted and filtered as asked), batches them as they are for
// the hub, and keeps what the page shows beside the statements: the client list with its
// live state, what is watched, the top statements of the watched client and where every record went.
class LiveFeed {
 public:
  struct Settings {
    StatementFilter Filter;
    BurstRule Burst;
    std::size_t TopRows = 20;
    std::int32_t PingSeconds = 10;  // how often the clients are asked to mark themselves alive
  };

  LiveFeed(EventHub& hub, const Settings& settings);

  // ClientWatcher's hooks.
  bool OnBatch(const std::vector<RecordEntry>& entries, const RecordTally& batch, const ClientInfo& client);
  void OnState(WatchState state, const ClientInfo& client);
  // `watching` tells the clients the watch reads now: they show as alive (a client on its own ring
  // answers the watch, not the pings on the shared objects).
  void Between(kq::Monitor& monitor, const std::function<bool(std::int32_t)>& watching = {});
  // Publishes what is left when the watch ends.
  void Finish();

  // A ping now (the page's request): clients that answer show as alive in the next list.
  void StartPing(kq::Monitor& monitor);

  // The answers of the requests, as JSON lines: "monitor" and "client" objects; "fingerprint" objects
  // and a "top_summary"; a "watch" and a "tally" object.
  void AppendClients(const kq::Monitor& monitor, OutputBuffer& out);
  void AppendTop(OutputBuffer& out);
  void AppendStatus(OutputBuffer& out);

  const RecordTally& Tally() const noexcept { return FTally; }
  const ClientInfo& Watched() const noexcept { return FClient; }
  WatchState State() const noexcept { return FState; }

 private:
  using Clock = std::chrono::steady_clock;

  // Collects the batch's JSON lines until the feed hands them to the hub.
  class PendingTarget : public OutputTarget {
   public:
    bool Write(std::string_view bytes) override {
      AppendJsonLines(bytes, Bytes, Objects);
      return true;
    }
    bool IsTerminal() const override { return false; }
    std::string Bytes;
    std::int64_t Objects = 0;
  };

  void Flush();
  void PublishState(const std::string& slot, std::string_view ndjson);
  void AppendWatch(OutputBuffer& out);
  void AppendTally(OutputBuffer& out);

  EventHub& FHub;
  Settings FSettings;
  PendingTarget* FPending;  // owned by the printer
  RecordPrinter FPrinter;
  RecordTally FTally;
  TopTable FTop;
  RecordTally FTopTally;  // of the watched client, for the top summary
  WatchState FState = WatchState::Waiting;
  ClientInfo FClient;
  std::int32_t FMonitorID = 0;
  std::int32_t FBufferSize = 0;

  std::optional<Clock::time_point> FPendingSince;
  bool FBatchSinceBetween = false;
  Clock::time_point FNextSecond = Clock::now();
  Clock::time_point FNextPing = Clock::now();
  std::optional<Clock::time_point> FPingFollowUp;
  std::optional<Clock::time_point> FPingAnswered;  // the list waits for the answers
  std::vector<std::int32_t> FKnownIDs;
  std::string FLastClients, FLastTop, FLastTally;
  OutputBuffer FScratch;
};

}  // namespace kqtool
