#include "client_watcher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "client_list.h"
#include "platform.h"
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

std::optional<ClientInfo> ClientWatcher::PickClient(const kq::Monitor& monitor) const {
  // An entry whose process died cannot answer an attach: it is passed over.
  const kq::ClientSnapshot snapshot = monitor.Clients(true);
  if (!FSettings.Client.empty()) {
    const std::optional<std::int32_t> id = FindClient(snapshot, FSettings.Client);
    const kq::ClientState* client = id ? snapshot.FindID(*id) : nullptr;
    if (client && !client->Dead) return ClientInfo{client->ID, client->Name};
    return std::nullopt;
  }
  for (const kq::ClientState& client : snapshot.Clients)
    if (!client.Dead) return ClientInfo{client.ID, client.Name};
  return std::nullopt;
}

bool ClientWatcher::ReportLeaving(const kq::MonitorMessage& message, const kq::Monitor& monitor) {
  if (message.News == kq::MonitorNews::ClientDetached && !monitor.Attached()) {
    Status("client " + std::to_string(message.ClientID) + " detached");
    return true;
  }
  if (message.News == kq::MonitorNews::ClientEnded) {
    Status("client " + std::to_string(message.ClientID) + " ended without detaching");
    return true;
  }
  return false;
}

int ClientWatcher::Run(const BatchFn& onBatch, const TickFn& onSecond) {
  InstallInterruptHandler();
  kq::Monitor monitor(ProcessID());
  if (auto other = monitor.LiveOtherMonitor()) {
    Status("monitor " + std::to_string(*other) +
           " is already watching; only one monitor can watch at a time, since every client writes into the one "
           "trace buffer and two monitors would mix their statements. Stop that one first.");
    return 1;
  }
  monitor.SetBufferSize(FSettings.BufferKB * 1024);
  monitor.SetViewSettings(FSettings.RefNo, FSettings.Time, kq::Utf8ToUtf16(FSettings.Spool));
  ReportSpoolStop(monitor);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto nextTick = start + std::chrono::seconds(1);
  auto expired = [&] {
    return FSettings.Duration && std::chrono::duration<double>(Clock::now() - start).count() >= *FSettings.Duration;
  };
  ClientInfo client;
  bool announcedWait = false, detached = false, stopped = false;
  auto hand = [&](const std::vector<RecordEntry>& entries) {
    const RecordTally& batch = FClassifier.BatchTally();
    if ((!entries.empty() || batch.Filtered > 0) && !onBatch(entries, batch, client)) stopped = true;
  };
  // The texts of the views stay in the monitor's copy of the ring until its next read, which is
  // after the batch has been handed on: a watch allocates nothing per record.
  auto deliverNew = [&] {
    const std::vector<kq::TraceLineView>& views = monitor.ReadNewViews();
    if (!views.empty()) hand(FClassifier.Classify(views));
  };
  auto deliver = [&](const std::vector<kq::TraceLine>& lines) {
    if (!lines.empty()) hand(FClassifier.Classify(lines));
  };
  auto tick = [&] {
    if (onSecond && Clock::now() >= nextTick) {
      nextTick += std::chrono::seconds(1);
      onSecond();
    }
  };
  while (!stopped && !InterruptRequested() && !expired()) {
    tick();
    if (FBetween && !FBetween(monitor)) break;
    if (FSwitchTo) {
      if (monitor.Attached()) {
        deliver(monitor.Detach());
        Status("detached from client " + std::to_string(client.ID));
        Announce(WatchState::Detached, client);
      }
      FSettings.Client = std::move(*FSwitchTo);
      FSwitchTo.reset();
      announcedWait = false;
      detached = false;
    }
    if (!monitor.Attached()) {
      if (detached && FSettings.UntilDetach) break;
      std::optional<ClientInfo> picked = PickClient(monitor);
      if (!picked) {
        if (!announcedWait) {
          Status(FSettings.Client.empty() ? "waiting for a client to start"
                                          : "waiting for client " + FSettings.Client + " to start");
          Announce(WatchState::Waiting, {});
        }
        announcedWait = true;
        monitor.Poll(FPollMs);
        continue;
      }
      if (!monitor.Attach(picked->ID)) {
        Status("client " + std::to_string(picked->ID) + " did not attach; retrying");
        kq::SleepMs(static_cast<std::uint32_t>(std::min<std::int32_t>(FPollMs, 500)));
        continue;
      }
      announcedWait = false;
      client = std::move(*picked);
      Status("watching client " + std::to_string(client.ID) + " (" + kq::Utf16ToUtf8(client.Name) + "), buffer " +
             std::to_string(FSettings.BufferKB) + " KB");
      Announce(WatchState::Attached, client);
    }
    kq::MonitorMessage message = monitor.Poll(FPollMs);
    deliverNew();
    ReportSpoolStop(monitor);
    if (ReportLeaving(message, monitor)) {
      Announce(WatchState::Detached, client);
      detached = true;
    }
  }
  deliverNew();
  if (!FSettings.Save.empty() && monitor.Buffer()) {
    monitor.Buffer()->SaveToFile(kq::Utf8ToUtf16(FSettings.Save));
    Status("saved to " + FSettings.Save);
  }
  if (monitor.Attached()) {
    deliver(monitor.Detach());
    Status("detached");
  }
  return 0;
}

}  // namespace kqtool
