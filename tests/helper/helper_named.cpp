// The other process of the named-object and event-channel tests. Every role reports through its exit
// code: 0 when all it checked held, a small distinct number for each check that failed.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "event.h"
#include "helper_roles.h"
#include "ipc_event.h"
#include "kq_error.h"
#include "liveness_object.h"
#include "mutex.h"
#include "platform.h"
#include "shared_mem.h"
#include "text.h"

using namespace kq;

namespace {

std::u16string Name(const std::string& arg) { return Utf8ToUtf16(arg); }
std::int32_t Int(const std::string& arg) { return static_cast<std::int32_t>(std::stol(arg)); }
TEventKind Kind(const std::string& arg) { return static_cast<TEventKind>(std::stoi(arg)); }

// Lets the test know this side is set up; the test created the manual ready event before spawning.
void Announce(const std::string& readyEvent) { TEvent(Name(readyEvent), true).Signal(); }

// NAME SIZE OFFSET EXPECT NEW: opens an existing section, checks one byte, writes another.
int SectionSwap(const std::vector<std::string>& a) {
  TSharedMem mem(Name(a[0]), Int(a[1]));
  if (mem.Created()) return 4;
  auto* bytes = static_cast<unsigned char*>(mem.Buffer());
  if (bytes[Int(a[2])] != static_cast<unsigned char>(Int(a[3]))) return 5;
  bytes[Int(a[2])] = static_cast<unsigned char>(Int(a[4]));
  return 0;
}

// NAME SIZE: creates a section, scribbles over all of it and closes it again.
int SectionScribble(const std::vector<std::string>& a) {
  TSharedMem mem(Name(a[0]), Int(a[1]));
  if (!mem.Created()) return 4;
  std::memset(mem.Buffer(), 0xA5, static_cast<std::size_t>(Int(a[1])));
  return 0;
}

// NAME SIZE READY: creates a section, scribbles over it and holds it until killed.
int SectionHold(const std::vector<std::string>& a) {
  TSharedMem mem(Name(a[0]), Int(a[1]));
  if (!mem.Created()) return 4;
  std::memset(mem.Buffer(), 0xA5, static_cast<std::size_t>(Int(a[1])));
  Announce(a[2]);
  for (;;) SleepMs(1000);
}

// NAME READY: holds a liveness object, owned by this thread, until killed.
int LivenessHold(const std::vector<std::string>& a) {
  LivenessObject liveness(Name(a[0]));
  liveness.Own();
  Announce(a[1]);
  for (;;) SleepMs(1000);
}

// NAME READY RELEASE: takes the mutex, announces it and releases it when RELEASE is signalled.
int MutexHoldRole(const std::vector<std::string>& a) {
  TMutex mutex(Name(a[0]));
  TEvent release(Name(a[2]), true);
  if (!mutex.Get(10000)) return 4;
  Announce(a[1]);
  if (!release.Wait(30000)) return 5;
  if (!mutex.Release()) return 6;
  return 0;
}

// NAME TIMEOUT: 0 when the mutex could be taken (and released again), 1 when not.
int MutexTake(const std::vector<std::string>& a) {
  TMutex mutex(Name(a[0]));
  if (!mutex.Get(Int(a[1]))) return 1;
  return mutex.Release() ? 0 : 6;
}

// NAME MANUAL TIMEOUT: 0 when the event was signalled in time, 1 when not.
int EventWait(const std::vector<std::string>& a) {
  TEvent event(Name(a[0]), a[1] == "1");
  return event.Wait(Int(a[2])) ? 0 : 1;
}

// NAME COUNT: signals an event nobody waits on COUNT times.
int EventSignalMany(const std::vector<std::string>& a) {
  TEvent event(Name(a[0]), false);
  for (std::int32_t i = 0, n = Int(a[1]); i < n; ++i) event.Signal();
  return 0;
}

// NAME: waits on an auto-reset event over and over, until killed.
int EventSink(const std::vector<std::string>& a) {
  TEvent event(Name(a[0]), false);
  for (;;) static_cast<void>(event.Wait(-1));  // each wake only takes a signal away
}

// NAME MANUAL ID KIND DATA: checks the record that a second holder of the event sees.
int IpcExpect(const std::vector<std::string>& a) {
  TIPCEvent event(Name(a[0]), a[1] == "1");
  if (event.ID() != Int(a[2])) return 4;
  if (event.Kind() != Kind(a[3])) return 5;
  if (event.Data() != Int(a[4])) return 6;
  return 0;
}

// NAME MANUAL KIND ID DATA: writes a record with SignalData.
int IpcSignalData(const std::vector<std::string>& a) {
  TIPCEvent event(Name(a[0]), a[1] == "1");
  event.SignalData(Kind(a[2]), Int(a[3]), Int(a[4]));
  return 0;
}

// NAME READY ID KIND DATA: waits once on a manual event for ID and KIND, then checks DATA.
int IpcWaiter(const std::vector<std::string>& a) {
  TIPCEvent event(Name(a[0]), true);
  Announce(a[1]);
  if (!event.WaitFor(20000, Int(a[2]), Kind(a[3]))) return 4;
  return event.Data() == Int(a[4]) ? 0 : 5;
}

// REQUEST REPLY READY: answers every request with the same ID and evClientAttach until evClientExit.
int IpcEcho(const std::vector<std::string>& a) {
  TIPCEvent request(Name(a[0]), false);
  TIPCEvent reply(Name(a[1]), false);
  Announce(a[2]);
  for (;;) {
    if (!request.Wait(60000)) return 4;
    if (request.Kind() == evClientExit) return 0;
    reply.SignalID(evClientAttach, request.ID());
  }
}

// PREFIX COUNT: creates and closes a section and an event named after PREFIX, COUNT times; exits 1
// on the first one that fails.
int ObjectChurn(const std::vector<std::string>& a) {
  const std::u16string prefix = kq::Utf8ToUtf16(a.at(0));
  for (int i = 0, n = std::stoi(a.at(1)); i < n; ++i) {
    try {
      kq::TSharedMem section(prefix + u"Sec", 64);
      kq::TEvent event(prefix + u"Ev", false);
    } catch (const kq::EKqError&) {
      return 1;
    }
  }
  return 0;
}

kqtest::HelperRole r1("section-swap", SectionSwap);
kqtest::HelperRole r13("object-churn", ObjectChurn);
kqtest::HelperRole r2("section-scribble", SectionScribble);
kqtest::HelperRole r3("section-hold", SectionHold);
kqtest::HelperRole r4("mutex-hold", MutexHoldRole);
kqtest::HelperRole r5("mutex-take", MutexTake);
kqtest::HelperRole r6("event-wait", EventWait);
kqtest::HelperRole r7("event-signal-many", EventSignalMany);
kqtest::HelperRole r8("event-sink", EventSink);
kqtest::HelperRole r9("ipc-expect", IpcExpect);
kqtest::HelperRole r10("ipc-signal-data", IpcSignalData);
kqtest::HelperRole r11("ipc-waiter", IpcWaiter);
kqtest::HelperRole r12("ipc-echo", IpcEcho);
kqtest::HelperRole r14("liveness-hold", LivenessHold);

}  // namespace
