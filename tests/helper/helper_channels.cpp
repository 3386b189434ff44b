// Helper roles for the many-clients watch: a driver of ours, a client that follows only the shared
// objects' layout and signals (written from the documented layouts, with no endpoint of ours), and a
// monitor that watches every client at once and writes its accounting to a file.
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "client_directory.h"
#include "helper_roles.h"
#include "ipc_buffer.h"
#include "ipc_client.h"
#include "ipc_event.h"
#include "multi_watch.h"
#include "platform.h"
#include "text.h"

namespace {

std::u16string Statement(int i) { return kq::Utf8ToUtf16("stmt " + std::to_string(i)); }

void WriteResult(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::rename(temporary.c_str(), path.c_str());
}

// chan-driver ID COUNT PAUSE_MS HOLD_MS RESULT: an endpoint of ours; waits up to 10 s to be connected,
// submits "stmt <i>" COUNT times with PAUSE_MS between, writes "traced N private P" to RESULT, stays
// HOLD_MS (-1: until killed) and leaves.
int ChannelDriver(const std::vector<std::string>& args) {
  if (args.size() != 5) return 2;
  const std::int32_t id = std::stoi(args[0]);
  const int count = std::stoi(args[1]);
  const int pauseMs = std::stoi(args[2]);
  const int holdMs = std::stoi(args[3]);
  kq::TIPCClient client(id, kq::Utf8ToUtf16("chan" + args[0]));
  client.Activate();
  for (int waited = 0; client.State() != kq::stConnected && waited < 10000; waited += 5) kq::SleepMs(5);
  int traced = 0;
  for (int i = 0; i < count; ++i) {
    const std::u16string text = Statement(i);
    traced += client.AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2)) ? 1 : 0;
    client.SignalMonitor();
    if (pauseMs > 0) kq::SleepMs(static_cast<std::uint32_t>(pauseMs));
  }
  WriteResult(args[4], "traced " + std::to_string(traced) + " private " + (client.Private() ? "1" : "0") + "\n");
  if (holdMs < 0)
    for (;;) kq::SleepMs(1000);
  kq::SleepMs(static_cast<std::uint32_t>(holdMs));
  return 0;
}

// raw-client ID COUNT PAUSE_MS RESULT: a client as another implementation would write it from the
// shared layouts alone: an entry without liveness object, the three shared events, "KqBuffer". Waits
// up to 10 s for an attach, appends its first line and COUNT statements with a signal each, then
// leaves (detach with the answer awaited). Writes "traced N" to RESULT.
int RawClient(const std::vector<std::string>& args) {
  if (args.size() != 4) return 2;
  const std::int32_t id = std::stoi(args[0]);
  const int count = std::stoi(args[1]);
  const int pauseMs = std::stoi(args[2]);
  kq::TIPCEvent monitorEvent(kq::KqMonitorEventName, false);
  kq::TIPCEvent clientEvent(kq::KqClientEventName, false);
  kq::TIPCEvent connectEvent(kq::KqConnectEventName, true);
  kq::TClientDirectory directory(kq::KqDirectoryCapacity);
  if (directory.AddClient(id, u"raw" + kq::Utf8ToUtf16(args[0])).Status != kq::AddClientStatus::Added) return 4;
  if (directory.MonitorID() != 0) monitorEvent.SignalID(kq::evClientStart, id);
  std::unique_ptr<kq::TIPCBuffer> buffer;
  for (int waited = 0; !buffer && waited < 10000; waited += 50) {
    if (!connectEvent.Wait(50)) continue;
    if (connectEvent.ID() == id && connectEvent.Kind() == kq::evMonitorAttach) {
      connectEvent.Reset();
      buffer = std::make_unique<kq::TIPCBuffer>(directory.IPCBufSize(), 4);
      const std::u16string line = u"Log started for: raw" + kq::Utf8ToUtf16(args[0]);
      buffer->Add(line.c_str(), static_cast<std::int32_t>((line.size() + 1) * 2));
      monitorEvent.SignalData(kq::evClientAttach, id, 1);
    } else if (connectEvent.ID() != id && connectEvent.Kind() == kq::evClientPing) {
      directory.MarkAlive(id);
    } else {
      kq::SleepMs(200);
    }
  }
  int traced = 0;
  for (int i = 0; buffer && i < count; ++i) {
    const std::u16string text = Statement(i);
    buffer->Add(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
    monitorEvent.SignalID(kq::evClientSignal, id);
    ++traced;
    if (pauseMs > 0) kq::SleepMs(static_cast<std::uint32_t>(pauseMs));
  }
  static_cast<void>(directory.RemoveClient(id));
  if (buffer && directory.MonitorID() != 0) {
    monitorEvent.SignalID(kq::evClientDetach, id);
    static_cast<void>(clientEvent.WaitFor(2000, id, kq::evMonitorDetach));
  }
  buffer.reset();
  WriteResult(args[3], "traced " + std::to_string(traced) + "\n");
  return 0;
}

struct Tally {
  bool Private = false;
  std::int64_t Records = 0;
  std::int64_t Missing = 0;
  std::int64_t Mismatched = 0;  // a statement whose text does not belong at its reference number
  bool Ended = false;
  bool Detached = false;
};

// watch-many MONITOR_ID RING_KB STOP_FILE RESULT: watches every client until STOP_FILE exists, checks
// each statement's text against its place (statement i is record i + 2 of its ring, after the first
// line), then writes one line per client: "client ID PRIVATE RECORDS MISSING MISMATCHED ENDED DETACHED",
// with the watch's own accounting beside it ("account ID RECORDS MISSING").
int WatchMany(const std::vector<std::string>& args) {
  if (args.size() != 4) return 2;
  kq::MultiWatch watch(std::stoi(args[0]), std::stoi(args[1]) * 1024);
  std::map<std::int32_t, Tally> tallies;
  const auto read = [&](std::int32_t id, const kq::TraceLineView& line) {
    Tally& tally = tallies[id];
    if (line.Gap) {
      tally.Missing += line.Missing;
      return;
    }
    ++tally.Records;
    const std::string text = kq::Utf16ToUtf8(line.Text);
    if (text.rfind("stmt ", 0) == 0) {
      if (std::stoi(text.substr(5)) + 2 != line.RefNo) ++tally.Mismatched;
    } else if (line.RefNo != 1 || text.find("Log started for") == std::string::npos) {
      ++tally.Mismatched;
    }
  };
  std::FILE* ready = std::fopen((args[3] + ".ready").c_str(), "w");
  if (ready) std::fclose(ready);
  for (;;) {
    watch.Poll(50);
    watch.ReadNew(read);
    for (const kq::WatchNews& news : watch.TakeNews()) {
      tallies[news.ClientID].Private = news.Private;
      if (news.Kind == kq::WatchNewsKind::Ended) tallies[news.ClientID].Ended = true;
      if (news.Kind == kq::WatchNewsKind::Detached) tallies[news.ClientID].Detached = true;
    }
    if (std::FILE* stop = std::fopen(args[2].c_str(), "r")) {
      std::fclose(stop);
      break;
    }
  }
  // What the last polls brought.
  for (int i = 0; i < 5; ++i) {
    watch.Poll(10);
    watch.ReadNew(read);
  }
  std::string out;
  for (const auto& [id, tally] : tallies) {
    out += "client " + std::to_string(id) + " " + (tally.Private ? "1" : "0") + " " + std::to_string(tally.Records) +
           " " + std::to_string(tally.Missing) + " " + std::to_string(tally.Mismatched) + " " +
           (tally.Ended ? "1" : "0") + " " + (tally.Detached ? "1" : "0") + "\n";
    if (const auto account = watch.Accounting(id))
      out += "account " + std::to_string(id) + " " + std::to_string(account->Records) + " " +
             std::to_string(account->Missing) + "\n";
  }
  WriteResult(args[3], out);
  return 0;
}

kqtest::HelperRole channelDriverRole("chan-driver", &ChannelDriver);
kqtest::HelperRole rawClientRole("raw-client", &RawClient);
kqtest::HelperRole watchManyRole("watch-many", &WatchMany);

}  // namespace
