#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kq {
class Monitor;
}

namespace kqtool {

// What a request to the monitor answers over HTTP.
struct RequestResult {
  int Status = 200;
  std::string Body;  // JSON (one object per line)
  std::string ContentType = "application/x-ndjson";
};

// Requests of the HTTP threads, carried out on the watch's thread: the monitor and its directory
// are used by that thread only, so nothing else needs a lock around them.
class MonitorRequests {
 public:
  using Fn = std::function<RequestResult(kq::Monitor&)>;

  // From any thread: runs `fn` between two polls of the watch and returns its result; 503 when the
  // watch has ended or did not come to it within timeoutMs.
  RequestResult Call(Fn fn, std::int32_t timeoutMs = 10000);

  // On the watch's thread.
  void RunPending(kq::Monitor& monitor);
  // When the watch ends: every waiting and later request gets 503.
  void Close();

 private:
  struct Pending {
    Fn Work;
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    RequestResult Result;
  };
  void Finish(Pending& pending, RequestResult result);

  std::mutex FLock;
  std::deque<std::shared_ptr<Pending>> FQueue;
  bool FClosed = false;
};

// {"kind":"request","ok":false,"error":MESSAGE} with the given status.
RequestResult RequestError(int status, const std::string& message);

}  // namespace kqtool
