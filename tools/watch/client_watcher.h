#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "monitor.h"
#include "multi_watch.h"
#include "record_entries.h"
#include "record_formatter.h"

namespace kqtool {

// What `watch` and `top` share: which clients, the buffer and how long.
struct WatchSettings {
  std::vector<std::string> Clients;  // IDs or names; empty: every client, also those that start later
  std::int32_t BufferKB = 64;        // the shared buffer's size and every private ring's
  bool RefNo = false;                // view settings written to the buffer header (its save file shows them)
  bool Time = false;
  std::string Spool;
  std::string Save;
  std::optional<double> Duration;  // seconds
  bool UntilDetach = false;
};

// What a watch is doing, for callers that show it (the served page).
enum class WatchState { Waiting, Attached, Detached };

// Watches every client (or the chosen ones) at once as the one monitor: clients of ours on rings of
// their own, which join when they start and leave when they detach or die, and beside them one client
// that knows only the shared buffer. Hands every batch of records, classified once into entries
// (statements, log starts and gaps, in reference-number order per client), to the caller with the
// client it came from, until Ctrl+C, the duration, the leaving of the last watched client (with
// UntilDetach) or the caller asks to stop. Refuses to start while another monitor is alive: the shared
// buffer and the channel offer belong to the one registered monitor.
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
  // From `between`: show only `client` (an ID or a name) from now on; empty: every client again.
  void SwitchTo(std::string client) { FSwitchTo = std::move(client); }
  // From `between`: the watch itself, for requests to one client that disturb no other.
  kq::MultiWatch* Watch() noexcept { return FWatch; }
  // From `between`: whether that client is watched now (present and chosen), and the one watched
  // when it is the only one.
  bool Watching(std::int32_t clientID) const;
  std::optional<std::int32_t> OnlyWatched() const;

  // The exit code: 0, or 1 after a message on standard error. `onSecond` (may be empty) runs about
  // once a second.
  int Run(const BatchFn& onBatch, const TickFn& onSecond = {});

 private:
  struct Known {
    ClientInfo Info;
    bool Selected = false;
    bool Present = false;  // joined and not yet left
  };
  // Whether the settings choose this client.
  bool Chosen(std::int32_t id, const std::u16string& name) const;
  // Takes in the watch's news: joins and leavings, each with a line on standard error.
  void TakeNews(kq::MultiWatch& watch);
  // The client as output shows it: its name, or its ID once another client of the watch has had that name.
  const ClientInfo& Label(std::int32_t id);
  // The final accounting, one line per client that was watched.
  void ReportAccounting(const kq::MultiWatch& watch) const;

  void Announce(WatchState state, const ClientInfo& client) const {
    if (FOnState) FOnState(state, client);
  }

  WatchSettings FSettings;
  RecordClassifier FClassifier;
  BetweenFn FBetween;
  StateFn FOnState;
  std::int32_t FPollMs = 200;
  std::optional<std::string> FSwitchTo;
  kq::MultiWatch* FWatch = nullptr;
  std::map<std::int32_t, Known> FKnown;
  OutputBuffer FLabelText;           // where a name is made terminal-safe for the client column
  std::vector<std::int32_t> FOrder;  // clients in the order they joined, for the accounting
  bool FAnyLeft = false;
};

// A message of the tools on standard error, "kqmon: " first.
void Status(const std::string& message);

}  // namespace kqtool
