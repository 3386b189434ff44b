// What happens at a detach while statements stream in: nothing that an append reported as stored is
// lost, and the section is free for a monitor that attaches again at once with another size.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_directory.h"
#include "ipc_client.h"
#include "ipc_event.h"
#include "kq_error.h"
#include "monitor.h"
#include "test_support.h"
#include "text.h"

using namespace kq;

namespace {

// Big enough that the largest record (half a block) takes a noticeable time to copy, so that a detach
// often arrives while one is being appended.
constexpr std::int32_t BigBuffer = 16 * 1024 * 1024;
constexpr std::size_t BigStatementUnits = 900 * 1024;

// A driver thread that appends large statements numbered from 0 and keeps the numbers it was told
// were stored; with `signal` false it sends no signals, so that the handshake records stay unmixed.
class BigStatementWriter {
 public:
  explicit BigStatementWriter(TIPCClient& client, bool signal = true)
      : FClient(client), FSignal(signal), FThread([this] { Run(); }) {}
  ~BigStatementWriter() { Stop(); }

  void Stop() {
    FRunning = false;
    if (FThread.joinable()) FThread.join();
  }
  const std::vector<int>& Stored() const { return FStored; }

 private:
  void Run() {
    std::u16string text(BigStatementUnits, u'x');
    for (int i = 0; FRunning; ++i) {
      const std::u16string number = Utf8ToUtf16("big " + std::to_string(i) + " ");
      text.replace(0, number.size(), number);
      if (FClient.AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2))) FStored.push_back(i);
      if (FSignal) FClient.SignalMonitor();
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  }

  TIPCClient& FClient;
  bool FSignal;
  std::atomic<bool> FRunning{true};
  std::vector<int> FStored;
  std::thread FThread;
};

int BigNumber(const std::u16string& text) {
  std::string head = Utf16ToUtf8(text.substr(0, 24));
  if (head.rfind("big ", 0) != 0) return -1;
  return std::stoi(head.substr(4));
}

}  // namespace

TEST(Detach, EveryAppendReportedAsStoredIsReadOrReportedMissing) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(901);
  monitor.SetBufferSize(BigBuffer);
  TIPCClient client(5, u"big");
  client.Activate();
  std::set<int> read;
  std::int64_t accounted = 0;  // statements read or reported in a gap, first lines left out
  int duplicates = 0;
  {
    BigStatementWriter writer(client);
    for (int cycle = 0; cycle < 20; ++cycle) {
      ASSERT_TRUE(monitor.Attach(5)) << cycle;
      std::vector<TraceLine> lines;
      const std::int64_t until = kqtest::SteadyMs() + 15 + cycle % 7 * 5;
      while (kqtest::SteadyMs() < until) {
        monitor.Poll(1);
        for (TraceLine& line : monitor.ReadNew()) lines.push_back(std::move(line));
      }
      for (TraceLine& line : monitor.Detach()) lines.push_back(std::move(line));
      // Each attach makes a new section: its numbers start at 1 with the first line.
      std::int32_t last = 0;
      for (const TraceLine& line : lines) {
        if (line.Gap) {
          accounted += line.Missing - (line.RefNo == 1 ? 1 : 0);
          last = line.RefNo + line.Missing - 1;
          continue;
        }
        EXPECT_EQ(line.RefNo, last + 1) << "cycle " << cycle;
        last = line.RefNo;
        if (line.RefNo == 1) continue;
        ++accounted;
        if (!read.insert(BigNumber(line.Text)).second) ++duplicates;
      }
    }
    writer.Stop();
    EXPECT_EQ(duplicates, 0);
    for (int number : read) EXPECT_TRUE(std::binary_search(writer.Stored().begin(), writer.Stored().end(), number));
    EXPECT_EQ(accounted, static_cast<std::int64_t>(writer.Stored().size()))
        << "every statement reported as stored was read or reported in a gap";
  }
}

TEST(Detach, TheClientHasLetGoOfTheSectionWhenItAnswers) {
  kqtest::ScopedNamespace ns;
  // The monitor played by hand and holding no buffer itself, so that the client is the only holder.
  TClientDirectory directory(16);
  TIPCEvent monitorEvent(KqMonitorEventName, false);
  TIPCEvent clientEvent(KqClientEventName, false);
  TIPCEvent connectEvent(KqConnectEventName, true);
  directory.SetMonitorID(902);
  directory.SetIPCBufSize(BigBuffer);
  auto awaitKind = [&](TEventKind kind) {
    const std::int64_t deadline = kqtest::SteadyMs() + 10000;
    while (kqtest::SteadyMs() < deadline)
      if (monitorEvent.Wait(100) && monitorEvent.ID() == 6 && monitorEvent.Kind() == kind) return true;
    return false;
  };
  TIPCClient client(6, u"big");
  client.Activate();
  ASSERT_TRUE(awaitKind(evClientStart));
  BigStatementWriter writer(client, false);
  for (int cycle = 0; cycle < 20; ++cycle) {
    connectEvent.SignalID(evMonitorAttach, 6);
    ASSERT_TRUE(awaitKind(evClientAttach)) << cycle;
    kqtest::SleepForMs(5);
    clientEvent.SignalID(evMonitorDetach, 6);
    ASSERT_TRUE(awaitKind(evClientDetach)) << cycle;
    // What a monitor of another size finds right after the answer: no section left over.
    TIPCBuffer after(BigBuffer * 2, 4);
    EXPECT_TRUE(after.SharedMem().Created()) << "cycle " << cycle;
    kqtest::SleepForMs(250);  // the client pauses after a detach
  }
  directory.SetMonitorID(0);
}

TEST(Detach, AnAttachWaitsForAnOldSectionOfAnotherSizeToGo) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(903);
  TIPCClient client(7, u"waiting");
  client.Activate();
  // A slow holder of the previous, smaller section lets go a little later.
  auto stale = std::make_unique<TIPCBuffer>(4096, 4);
  std::thread release([&] {
    kqtest::SleepForMs(300);
    stale.reset();
  });
  monitor.SetBufferSize(64 * 1024);
  bool attached = false;
  EXPECT_NO_THROW(attached = monitor.Attach(7));
  release.join();
  EXPECT_TRUE(attached);
  ASSERT_NE(monitor.Buffer(), nullptr);
  EXPECT_EQ(monitor.Buffer()->BufSize(), 64 * 1024);
  monitor.Detach();

  // One that never lets go fails the attach after a bounded wait, and the monitor stays usable.
  for (std::int32_t staleSize : {4096, 1024 * 1024}) {
    TIPCBuffer holder(staleSize, 4);
    const std::int64_t started = kqtest::SteadyMs();
    EXPECT_THROW(monitor.Attach(7), EKqError) << staleSize;
    EXPECT_LT(kqtest::SteadyMs() - started, 10000);
  }
  EXPECT_TRUE(monitor.Attach(7));
}

// Found by the fuzzer: an attach that first detached a client attached before (one that no longer
// answers) waited the detach's own two seconds on top of the time-out it was given.
TEST(Detach, AnAttachWithinItsTimeOutAlsoWhenTheClientBeforeNoLongerAnswers) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(4242);
  TIPCEvent monitorEvent(KqMonitorEventName, false);
  // A client's answer to the first attach, and nobody behind it.
  monitorEvent.SetID(7);
  monitorEvent.SetKind(evClientAttach);
  monitorEvent.SetData(1);
  monitorEvent.Signal();
  ASSERT_TRUE(monitor.Attach(7, 1000));
  ASSERT_TRUE(monitor.Attached());
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(monitor.Attach(8, 100));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  // The detach alone waited 2000 ms before; the bound is generous for a loaded machine.
  EXPECT_LT(took.count(), 1500);
}
