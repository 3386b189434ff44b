#include "monitor_requests.h"

#include <chrono>

#include "json_writer.h"
#include "output_buffer.h"

namespace kqtool {

RequestResult RequestError(int status, const std::string& message) {
  OutputBuffer out;
  JsonWriter json(out);
  json.BeginObject();
  json.Member("kind", "request");
  json.Member("ok", false);
  json.Member("error", std::string_view(message));
  json.EndObject();
  return {status, std::string(out.View())};
}

RequestResult MonitorRequests::Call(Fn fn, std::int32_t timeoutMs) {
  auto pending = std::make_shared<Pending>();
  pending->Work = std::move(fn);
  {
    std::lock_guard hold(FLock);
    if (FClosed) return RequestError(503, "the monitor has stopped");
    FQueue.push_back(pending);
  }
  std::unique_lock hold(pending->Lock);
  if (!pending->Done.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return pending->Finished; }))
    return RequestError(503, "the monitor is busy; try again");
  return pending->Result;
}

void MonitorRequests::Finish(Pending& pending, RequestResult result) {
  {
    std::lock_guard hold(pending.Lock);
    pending.Result = std::move(result);
    pending.Finished = true;
  }
  pending.Done.notify_all();
}

void MonitorRequests::RunPending(kq::Monitor& monitor) {
  for (;;) {
    std::shared_ptr<Pending> next;
    {
      std::lock_guard hold(FLock);
      if (FQueue.empty()) return;
      next = std::move(FQueue.front());
      FQueue.pop_front();
    }
    RequestResult result;
    try {
      result = next->Work(monitor);
    } catch (const std::exception& e) {
      result = RequestError(500, e.what());
    }
    Finish(*next, std::move(result));
  }
}

void MonitorRequests::Close() {
  std::deque<std::shared_ptr<Pending>> left;
  {
    std::lock_guard hold(FLock);
    FClosed = true;
    left.swap(FQueue);
  }
  for (const auto& pending : left) Finish(*pending, RequestError(503, "the monitor has stopped"));
}

}  // namespace kqtool
