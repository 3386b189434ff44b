#pragma once

#include <memory>
#include <string>

#include "access_guard.h"
#include "client_watcher.h"
#include "event_hub.h"
#include "live_feed.h"
#include "monitor_requests.h"

namespace kqtool {

// The HTTP side of `kqmon serve`: the embedded page, the live stream as JSON lines at /events, and the requests
// (/api/...), every one of them checked by an AccessGuard first. Requests that use the monitor go through
// MonitorRequests to the watch's thread; nothing a request names reaches the file system (the only files written are
// the ones on the command line).
//
//   GET  /, /index.html, /app.js, /style.css   the page (a token in the query sets the cookie)
//   GET  /events                                application/x-ndjson, one JSON object per line
//   GET  /api/clients, /api/top, /api/status    JSON lines
//   POST /api/attach?client=ID|NAME             watch another client
//   POST /api/signal?value=N[&client=ID]        a value for the watched client's callback
//   POST /api/ping                              ask the clients to mark themselves alive
class HttpView {
 public:
  HttpView(EventHub& hub, MonitorRequests& requests, LiveFeed& feed, ClientWatcher& watcher);
  ~HttpView();
  HttpView(const HttpView&) = delete;
  HttpView& operator=(const HttpView&) = delete;

  // Binds the listening socket; port 0 picks a free one. The port bound; throws when binding failed.
  int Bind(const std::string& address, int port);
  // Serves on a thread of its own until Stop.
  void Start();
  // Stops taking connections and ends every open stream (close the hub first).
  void Stop();

  // http://ADDRESS:PORT/?token=TOKEN
  std::string Url() const;
  const AccessGuard& Guard() const { return *FGuard; }

 private:
  class Server;

  EventHub& FHub;
  MonitorRequests& FRequests;
  LiveFeed& FFeed;
  ClientWatcher& FWatcher;
  std::string FAddress;
  std::unique_ptr<AccessGuard> FGuard;
  std::unique_ptr<Server> FServer;
};

}  // namespace kqtool
