#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "monitor.h"
#include "record_entries.h"
#include "record_formatter.h"

namespace kqtool {

// What `watch` and `top` share: which client, the buffer and how long.
struct WatchSettings {
  std::string Client;  // an ID or a name; empty: the first listed, else the next to start
  std::int32_t BufferKB = 64;
  bool RefNo = false;  // view settings written to the buffer header (its save file shows them)
  bool Time = false;
  std::string Spool;
  std::string Save;
  std::optional<double> Duration;  // seconds
  bool UntilDetach = false;
};

// What a watch is doing, for callers that show it (the served page).
enum class WatchState { Waiting, Attached, Detached };

// Attaches to the chosen client as the one monitor and hands every batch of records, classified once
// into entries (statements, log starts and gaps, in reference-number order), to the caller until Ctrl+C, the duration,
// the client's leaving (with UntilDetach) or the caller asks to stop. Refuses to start while another monitor is alive:
// every client writes into the one trace buffer, so two monitors would mix their clients' statements.
class ClientWatcher {
 public:
  // Returns false to stop the watch (the output cannot take more).
  // The entries of a batch and where its records went (filtered ones have no entry).
  using BatchFn = std::function<bool(const std::vector<RecordEntry>&, const RecordTally&, const ClientInfo&)>;
  using TickFn = std::function<void()>;
  // Runs on the watch's thread once the monitor is registered and then between every two polls:
  // the one place where others may use the monitor (it is not shared between threads). Returns
  // false to stop the watch.
  using BetweenFn = std::function<bool(kq::Monitor&)>;
  using StateFn = std::function<void(WatchState, const ClientInfo&)>;

  ClientWatcher(WatchSettings settings, const StatementFilter& filter)
      : FSettings(std::move(settings)), FClassifier(filter) {}

  // For a watch that others steer (kqmon serve): `between` runs at least every `pollMs`, and
  // `onState` hears of every attach, wait and detach.
  void Steer(BetweenFn between, StateFn onState, std::int32_t pollMs) {
    FBetween = std::move(between);
    FOnState = std::move(onState);
    FPollMs = pollMs;
  }
  // From `between`: leave the current client (its unread records are delivered first) and watch
  // `client` (an ID or a name) from now on.
  void SwitchTo(std::string client) { FSwitchTo = std::move(client); }

  // The exit code: 0, or 1 after a message on standard error. `onSecond` (may be empty) runs about
  // once a second.
  int Run(const BatchFn& onBatch, const TickFn& onSecond = {});

 private:
  // The client to attach to, with its name as listed.
  std::optional<ClientInfo> PickClient(const kq::Monitor& monitor) const;
  // Reports the watched client's leaving; true when it left (detached, or its process died).
  static bool ReportLeaving(const kq::MonitorMessage& message, const kq::Monitor& monitor);

  void Announce(WatchState state, const ClientInfo& client) const {
    if (FOnState) FOnState(state, client);
  }

  WatchSettings FSettings;
  RecordClassifier FClassifier;
  BetweenFn FBetween;
  StateFn FOnState;
  std::int32_t FPollMs = 200;
  std::optional<std::string> FSwitchTo;
};

// A message of the tools on standard error, "kqmon: " first.
void Status(const std::string& message);

}  // namespace kqtool
