// kqmon serve: the watch of `kqmon watch` with the live view in a browser beside it.
#include "serve_command.h"

#include <cstdio>

#include "access_guard.h"
#include "event_hub.h"
#include "http_view.h"
#include "live_feed.h"
#include "monitor.h"
#include "monitor_requests.h"

namespace kqtool {

namespace {

// Requests wait for the watch's thread at most this long when no client writes.
constexpr std::int32_t ServePollMs = 50;

}  // namespace

int RunServe(const ServeOptions& options) {
  const bool loopback = AccessGuard::IsLoopback(options.Bind);
  if (!loopback && !options.AllowRemote) {
    Status(options.Bind +
           " is not a loopback address: other machines could reach the traced SQL there. Add --allow-remote if "
           "that is meant");
    return 2;
  }
  EventHub hub;
  MonitorRequests requests;
  LiveFeed feed(hub, {options.Filter, options.Burst, static_cast<std::size_t>(options.TopRows)});
  ClientWatcher watcher(options.Watch, options.Filter);
  HttpView view(hub, requests, feed, watcher);
  bool listening = false;
  bool failed = false;
  // The server starts once the watch has passed the one-monitor check, so that a refused monitor
  // never prints a URL.
  auto between = [&](kq::Monitor& monitor) {
    if (!listening) {
      try {
        view.Bind(options.Bind, options.Port);
      } catch (const std::exception& e) {
        Status(e.what());
        failed = true;
        return false;
      }
      view.Start();
      listening = true;
      // The warning comes before the URL: whoever takes the URL as the sign that the view is up has
      // the warning by then.
      if (!loopback)
        Status("WARNING: listening on " + options.Bind +
               ", which other machines may reach; the page is plain HTTP, so the token and the traced SQL cross "
               "the network unencrypted");
      std::printf("%s\n", view.Url().c_str());
      std::fflush(stdout);
      if (loopback) Status("the live view is at the URL above (this machine only; the token in it is the key)");
    }
    requests.RunPending(monitor);
    feed.Between(monitor, [&](std::int32_t id) { return watcher.Watching(id); });
    return true;
  };
  watcher.Steer(
      between, [&](WatchState state, const ClientInfo& client) { feed.OnState(state, client); }, ServePollMs);
  const int code = watcher.Run([&](const std::vector<RecordEntry>& entries, const RecordTally& batch,
                                   const ClientInfo& client) { return feed.OnBatch(entries, batch, client); });
  requests.Close();
  feed.Finish();
  hub.Close();
  view.Stop();
  if (failed) return 1;
  if (code == 0) Status(feed.Tally().Summary("sent"));
  return code;
}

}  // namespace kqtool
