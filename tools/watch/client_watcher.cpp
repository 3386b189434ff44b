#include "client_watcher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>

#include "client_list.h"
#include "platform.h"
#include "terminal_text.h"
#include "text.h"
#include "tool_support.h"

namespace kqtool {

void Status(const std::string& message) {
  std::fprintf(stderr, "kqmon: %s\n", message.c_str());
  std::fflush(stderr);
}

namespace {

// Says once why spooling is off although --spool asked for it.
void ReportSpoolStop(kq::Monitor& monitor) {
  std::optional<kq::SpoolStop> stop = monitor.TakeSpoolStop();
  if (!stop) return;
  const char* why = "the client could not open it safely";
  switch (stop->Reason) {
    case kq::FileRefusal::Link:
      why = "it is a symbolic link";
      break;
    case kq::FileRefusal::NotRegular:
      why = "it is not a regular file";
      break;
    case kq::FileRefusal::OtherOwner:
      why = "it belongs to another user";
      break;
    case kq::FileRefusal::None:
      break;
  }
  Status(std::string(stop->ByClient ? "spooling stopped: " : "not spooling: ") + kq::Utf16ToUtf8(stop->Path) + ": " +
         why);
}

}  // namespace

bool ClientWatcher::Chosen(std::int32_t id, const std::u16string& name) const {
  if (FSettings.Clients.empty()) return true;
  const std::string utf8 = kq::Utf16ToUtf8(name);
  for (const std::string& wanted : FSettings.Clients)
    if (wanted == std::to_string(id) || (!name.empty() && wanted == utf8)) return true;
  return false;
}

bool ClientWatcher::Watching(std::int32_t clientID) const {
  const auto found = FKnown.find(clientID);
  return found != FKnown.end() && found->second.Present && found->second.Selected;
}

std::optional<std::int32_t> ClientWatcher::OnlyWatched() const {
  std::optional<std::int32_t> only;
  for (const auto& [id, known] : FKnown) {
    if (!known.Present || !known.Selected) continue;
    if (only) return std::nullopt;
    only = id;
  }
  return only;
}

const ClientInfo& ClientWatcher::Label(std::int32_t id) {
  auto [entry, met] = FKnown.try_emplace(id);
  Known& known = entry->second;
  if (met) {
    // Records before the news of its joining: chosen by ID until its name is known.
    known.Info.ID = id;
    known.Selected = Chosen(id, {});
  }
  bool repeated = known.Info.Name.empty();
  for (const auto& [otherID, other] : FKnown)
    if (otherID != id && other.Info.Name == known.Info.Name) repeated = true;
  // A client names itself, so its name reaches the terminal only as escaped text, like its statements.
  if (repeated) {
    known.Info.Label = std::to_string(id);
  } else {
    FLabelText.Clear();
    AppendTerminalSafe(known.Info.Name, FLabelText);
    known.Info.Label.assign(FLabelText.View());
  }
  return known.Info;
}

void ClientWatcher::TakeNews(kq::MultiWatch& watch) {
  const std::vector<kq::WatchNews> news = watch.TakeNews();
  if (news.empty()) return;
  const kq::ClientSnapshot snapshot = watch.Shared().Clients(true);
  for (const kq::WatchNews& item : news) {
    Known& known = FKnown[item.ClientID];
    known.Info.ID = item.ClientID;
    if (const kq::ClientState* listed = snapshot.FindID(item.ClientID)) known.Info.Name = listed->Name;
    const std::string who = "client " + std::to_string(item.ClientID) + " (" + kq::Utf16ToUtf8(known.Info.Name) + ")";
    switch (item.Kind) {
      case kq::WatchNewsKind::Joined:
      case kq::WatchNewsKind::Attached:
        known.Present = true;
        known.Selected = Chosen(item.ClientID, known.Info.Name);
        if (!known.Selected) break;
        if (std::find(FOrder.begin(), FOrder.end(), item.ClientID) == FOrder.end()) FOrder.push_back(item.ClientID);
        Status("watching " + who +
               (item.Kind == kq::WatchNewsKind::Attached ? " through the shared buffer" : " on a ring of its own"));
        Announce(WatchState::Attached, known.Info);
        break;
      case kq::WatchNewsKind::Detached:
      case kq::WatchNewsKind::Ended:
        known.Present = false;
        if (!known.Selected) break;
        FAnyLeft = true;
        Status(who + (item.Kind == kq::WatchNewsKind::Ended ? " ended without detaching" : " detached"));
        Announce(WatchState::Detached, known.Info);
        break;
    }
  }
}

void ClientWatcher::ReportAccounting(const kq::MultiWatch& watch) const {
  for (std::int32_t id : FOrder) {
    const std::optional<kq::WatchedClient> account = watch.Accounting(id);
    if (!account) continue;
    const auto found = FKnown.find(id);
    const std::string name = found == FKnown.end() ? std::string() : kq::Utf16ToUtf8(found->second.Info.Name);
    Status("client " + std::to_string(id) + " (" + name + "): " + std::to_string(account->Records) +
           " record(s) read; " + std::to_string(account->Missing) + " lost in " + std::to_string(account->GapRuns) +
           " gap(s)");
  }
}

int ClientWatcher::Run(const BatchFn& onBatch, const TickFn& onSecond) {
  InstallInterruptHandler();
  {
    // A look before registering: the watch's offer of private rings must never replace a living
    // monitor's.
    kq::Monitor probe(ProcessID());
    if (auto other = probe.LiveOtherMonitor()) {
      Status("monitor " + std::to_string(*other) +
             " is already watching; only one monitor can watch at a time, since the shared trace buffer and the "
             "offer of private rings belong to the registered monitor. Stop that one first.");
      return 1;
    }
  }
  kq::MultiWatch watch(ProcessID(), FSettings.BufferKB * 1024);
  FWatch = &watch;
  kq::Monitor& shared = watch.Shared();
  shared.SetBufferSize(FSettings.BufferKB * 1024);
  watch.SetViewSettings(FSettings.RefNo, FSettings.Time);
  shared.SetViewSettings(FSettings.RefNo, FSettings.Time, kq::Utf8ToUtf16(FSettings.Spool));
  ReportSpoolStop(shared);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto nextTick = start + std::chrono::seconds(1);
  auto expired = [&] {
    return FSettings.Duration && std::chrono::duration<double>(Clock::now() - start).count() >= *FSettings.Duration;
  };
  bool announcedWait = false, stopped = false;
  // Records are copied out while the watch reads them (a reallocation's held records live only during
  // the read), then classified and handed on. They come in runs of one client, and a batch is handed on
  // at the end of each run or at MaxBatch records: the copies stay few and warm however far a ring's
  // backlog reaches (a first read of a large ring, many clients joining at once), and are kept from
  // batch to batch, so that a watch allocates only until its first full batch.
  constexpr std::size_t MaxBatch = 1024;
  std::vector<kq::TraceLine> lines;
  std::size_t used = 0;
  std::int32_t batchID = 0;
  auto handOn = [&] {
    if (used == 0) return;
    if (!stopped) {
      const std::vector<RecordEntry>& entries =
          FClassifier.Classify(std::span<const kq::TraceLine>(lines.data(), used));
      const RecordTally& tally = FClassifier.BatchTally();
      if ((!entries.empty() || tally.Filtered > 0) && !onBatch(entries, tally, Label(batchID))) stopped = true;
    }
    used = 0;
  };
  auto deliverNew = [&] {
    std::optional<std::int32_t> runID;
    bool selected = false;
    watch.ReadNew([&](std::int32_t id, const kq::TraceLineView& view) {
      if (runID != id) {
        handOn();
        runID = id;
        batchID = id;
        const auto found = FKnown.find(id);
        selected = found == FKnown.end() || found->second.Selected;
      }
      if (!selected) return;
      if (used == MaxBatch) handOn();
      if (used == lines.size()) lines.emplace_back();
      kq::TraceLine& line = lines[used++];
      line.Gap = view.Gap;
      line.RefNo = view.RefNo;
      line.Missing = view.Missing;
      line.Time = view.Time;
      line.Cut = view.Cut;
      line.Text.assign(view.Text);
      line.Outcome = view.Outcome();
    });
    handOn();
  };
  auto tick = [&] {
    if (onSecond && Clock::now() >= nextTick) {
      nextTick += std::chrono::seconds(1);
      onSecond();
    }
  };
  auto anyPresent = [&] {
    return std::any_of(FKnown.begin(), FKnown.end(),
                       [](const auto& entry) { return entry.second.Selected && entry.second.Present; });
  };
  while (!stopped && !InterruptRequested() && !expired()) {
    tick();
    if (FBetween && !FBetween(shared)) break;
    if (FSwitchTo) {
      FSettings.Clients.clear();
      if (!FSwitchTo->empty()) FSettings.Clients.push_back(std::move(*FSwitchTo));
      FSwitchTo.reset();
      for (auto& [id, known] : FKnown) {
        known.Selected = Chosen(id, known.Info.Name);
        if (known.Present) Announce(known.Selected ? WatchState::Attached : WatchState::Detached, known.Info);
      }
    }
    watch.Poll(FPollMs);
    TakeNews(watch);
    deliverNew();
    ReportSpoolStop(shared);
    TakeNews(watch);
    if (anyPresent()) {
      announcedWait = false;
    } else {
      if (FAnyLeft && FSettings.UntilDetach) break;
      if (!announcedWait) {
        std::string wanted;
        for (const std::string& client : FSettings.Clients) wanted += (wanted.empty() ? "" : ", ") + client;
        Status(wanted.empty() ? "waiting for clients to start" : "waiting for client " + wanted + " to start");
        Announce(WatchState::Waiting, {});
      }
      announcedWait = true;
    }
  }
  deliverNew();
  TakeNews(watch);
  if (!FSettings.Save.empty() && shared.Buffer()) {
    shared.Buffer()->SaveToFile(kq::Utf8ToUtf16(FSettings.Save));
    Status("saved to " + FSettings.Save);
  }
  ReportAccounting(watch);
  FWatch = nullptr;
  return 0;
}

}  // namespace kqtool
