// Helper roles for the client directory's cross-process cases.

#include <cstdio>
#include <string>
#include <vector>

#include "client_directory.h"
#include "event.h"
#include "helper_roles.h"
#include "mutex.h"
#include "platform.h"
#include "test_support.h"
#include "text.h"

namespace {

using namespace kq;

std::u16string Wide(const std::string& text) { return Utf8ToUtf16(text); }

// Args: ready event, get time-out ms, hold ms. Takes "KqDirectoryMutex", signals ready, holds it.
int HoldMutex(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  TMutex mutex(KqDirectoryMutexName);
  if (!mutex.Get(std::stoi(args[1]))) return 1;
  MutexHold hold(mutex);
  TEvent ready(Wide(args[0]), true);
  ready.Signal();
  SleepMs(static_cast<std::uint32_t>(std::stoi(args[2])));
  return 0;
}
static kqtest::HelperRole holdMutexRole("dir-hold-mutex", HoldMutex);

// Args: capacity, ID, name, expected count. Adds one entry and leaves it there.
int AddOne(const std::vector<std::string>& args) {
  if (args.size() != 4) return 2;
  TClientDirectory dir(std::stoi(args[0]));
  return dir.AddClient(std::stoi(args[1]), Wide(args[2])).Count == std::stoi(args[3]) ? 0 : 1;
}
static kqtest::HelperRole addOneRole("dir-add", AddOne);

int Fault(const char* what, std::int32_t id, int iteration) {
  std::fprintf(stderr, "dir-churn: %s (ID %d, iteration %d)\n", what, static_cast<int>(id), iteration);
  return 1;
}

// A consistent view of the table, taken while holding the directory mutex ourselves.
std::vector<std::int32_t> Snapshot(const TClientDirectory& dir, TMutex& mutex, bool& ok) {
  std::vector<std::int32_t> ids;
  ok = mutex.Get(10000);
  if (!ok) return ids;
  MutexHold hold(mutex);
  for (std::int32_t i = 1; i <= dir.Count(); ++i) ids.push_back(dir.GetClientRec(i).ID);
  return ids;
}

int Occurrences(const std::vector<std::int32_t>& ids, std::int32_t id) {
  int n = 0;
  for (std::int32_t x : ids) n += x == id;
  return n;
}

// Args: capacity, first own ID, run time ms, shared ID, ready event, go event. Adds and removes three
// IDs of its own and competes for the shared one, checking the table under the mutex as it goes. It
// runs for a fixed time rather than a count, so that slow platforms still finish and fast ones race more.
int Churn(const std::vector<std::string>& args) {
  if (args.size() != 6) return 2;
  const std::int32_t capacity = std::stoi(args[0]);
  const std::int32_t first = std::stoi(args[1]);
  const std::int64_t runMs = std::stoll(args[2]);
  const std::int32_t shared = std::stoi(args[3]);
  TClientDirectory dir(capacity);
  TMutex mutex(KqDirectoryMutexName);
  TEvent ready(Wide(args[4]), true);
  TEvent go(Wide(args[5]), true);
  ready.Signal();
  if (!go.Wait(30000)) return Fault("no go signal", 0, 0);
  const std::int32_t own[3] = {first, first + 1, first + 2};

  const std::int64_t end = kqtest::SteadyMs() + runMs;
  for (int it = 0; kqtest::SteadyMs() < end; ++it) {
    bool added[3] = {};
    for (int k = 0; k < 3; ++k) {
      const AddClientResult result = dir.AddClient(own[k], u"churn");
      switch (result.Status) {
        case AddClientStatus::Added:
          if (result.Count < 1 || result.Count > capacity)
            return Fault("AddClient returned an impossible count", own[k], it);
          added[k] = true;
          break;
        case AddClientStatus::Full:
          break;
        case AddClientStatus::NotUnique:  // nobody else adds our IDs: a removal hit the wrong entry
          return Fault("own ID refused as taken", own[k], it);
        case AddClientStatus::Busy:
          return Fault("the directory mutex was not had within its time-out", own[k], it);
      }
    }
    const bool haveShared = dir.AddClient(shared, u"shared").Status == AddClientStatus::Added;

    bool ok = false;
    std::vector<std::int32_t> ids = Snapshot(dir, mutex, ok);
    if (!ok) return Fault("snapshot could not take the mutex", 0, it);
    if (ids.size() > static_cast<std::size_t>(capacity)) return Fault("more entries than capacity", 0, it);
    for (std::int32_t id : ids)
      if (Occurrences(ids, id) != 1) return Fault("duplicate ID", id, it);
    for (int k = 0; k < 3; ++k)
      if (Occurrences(ids, own[k]) != (added[k] ? 1 : 0)) return Fault("own ID present wrongly", own[k], it);
    if (haveShared && Occurrences(ids, shared) != 1) return Fault("shared ID we added is gone", shared, it);

    for (int k = 0; k < 3; ++k)
      if (added[k] && !dir.RemoveClient(own[k])) return Fault("removal of own ID failed", own[k], it);
    if (haveShared && !dir.RemoveClient(shared)) return Fault("removal of shared ID failed", shared, it);
  }
  return 0;
}
static kqtest::HelperRole churnRole("dir-churn", Churn);

}  // namespace
