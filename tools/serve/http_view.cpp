// The HTTP library comes first: on Windows its winsock2.h must precede any windows.h.
#include "http_view.h"

#include <httplib.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "client_list.h"
#include "json_writer.h"
#include "listen_socket.h"
#include "monitor.h"
#include "output_buffer.h"
#include "platform.h"
#include "time_stamp_format.h"
#include "tool_support.h"
#include "web_assets.h"

namespace kqtool {

namespace {

constexpr std::int32_t StreamWaitMs = 1000;
constexpr int KeepAliveSeconds = 15;  // a comment line then, so that a gone reader is noticed
constexpr std::string_view TokenPlaceholder = "{{token}}";

// Where a request carried its token; only the cookie is sent by the browser on its own.
enum class TokenSource { None, Query, Header, Cookie };

void SetText(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

void Reply(httplib::Response& res, const RequestResult& result) {
  res.status = result.Status;
  res.set_content(result.Body, result.ContentType.c_str());
}

RequestResult Done(int status, std::string_view request, const std::function<void(JsonWriter&)>& more = {}) {
  OutputBuffer out;
  JsonWriter json(out);
  json.BeginObject();
  json.Member("kind", "request");
  json.Member("ok", true);
  json.Member("request", request);
  if (more) more(json);
  json.EndObject();
  return {status, std::string(out.View())};
}

}  // namespace

// The server with one handler per endpoint; the view's parts are reached through FView.
class HttpView::Server {
 public:
  explicit Server(HttpView& view) : FView(view) {}

  // Answers the checks every request passes before its handler (see AccessGuard).
  httplib::Server::HandlerResponse Admit(const httplib::Request& req, httplib::Response& res) const;
  void Route();

  httplib::Server Http;
  std::thread Thread;
  std::string Page;

 private:
  void GetPage(httplib::Response& res) const;
  static void GetAsset(const char* path, httplib::Response& res);
  void GetEvents(httplib::Response& res) const;
  void GetClients(httplib::Response& res) const;
  void GetTop(httplib::Response& res) const;
  void GetStatus(httplib::Response& res) const;
  void PostAttach(const httplib::Request& req, httplib::Response& res) const;
  void PostSignal(const httplib::Request& req, httplib::Response& res) const;
  void PostPing(httplib::Response& res) const;

  HttpView& FView;
};

HttpView::HttpView(EventHub& hub, MonitorRequests& requests, LiveFeed& feed, ClientWatcher& watcher)
    : FHub(hub), FRequests(requests), FFeed(feed), FWatcher(watcher), FServer(std::make_unique<Server>(*this)) {}

HttpView::~HttpView() { Stop(); }

std::string HttpView::Url() const {
  return "http://" + AccessGuard::UrlHost(FAddress) + ":" + std::to_string(FGuard->Port()) +
         "/?token=" + FGuard->Token();
}

int HttpView::Bind(const std::string& address, int port) {
  FAddress = address;
  httplib::Server& http = FServer->Http;
  http.set_socket_options([](socket_t socket) { SetListenSocketOptions(static_cast<std::uintptr_t>(socket)); });
  // Each open stream holds a worker for as long as it lasts.
  http.new_task_queue = [] { return new httplib::ThreadPool(16); };
  http.set_payload_max_length(64 * 1024);
  http.set_read_timeout(10);
  http.set_write_timeout(10);
  // Idle kept-alive connections hold a worker too, and Stop waits for them.
  http.set_keep_alive_timeout(2);
  const std::string host =
      std::string(address.size() > 1 && address.front() == '[' ? address.substr(1, address.size() - 2) : address);
  int bound = port;
  if (port == 0)
    bound = http.bind_to_any_port(host);
  else if (!http.bind_to_port(host, port))
    bound = -1;
  if (bound <= 0)
    throw std::runtime_error("cannot listen on " + AccessGuard::UrlHost(host) + ":" + std::to_string(port) +
                             " (the port is in use, or the address is not one of this machine's)");
  FGuard = std::make_unique<AccessGuard>(host, bound, RandomToken(24));

  const WebAsset* index = FindWebAsset("/index.html");
  if (!index) throw std::logic_error("the page is missing from the build");
  FServer->Page = std::string(index->Body);
  for (std::size_t at; (at = FServer->Page.find(TokenPlaceholder)) != std::string::npos;)
    FServer->Page.replace(at, TokenPlaceholder.size(), FGuard->Token());
  FServer->Route();
  return bound;
}

void HttpView::Server::Route() {
  using Request = httplib::Request;
  using Response = httplib::Response;
  Http.set_pre_routing_handler([this](const Request& req, Response& res) { return Admit(req, res); });
  Http.Get("/", [this](const Request&, Response& res) { GetPage(res); });
  Http.Get("/index.html", [this](const Request&, Response& res) { GetPage(res); });
  for (const char* path : {"/app.js", "/style.css"})
    Http.Get(path, [path](const Request&, Response& res) { GetAsset(path, res); });
  // Browsers ask for it on their own; there is none, and a 404 would only litter their console.
  Http.Get("/favicon.ico", [](const Request&, Response& res) { res.status = 204; });
  Http.Get("/events", [this](const Request&, Response& res) { GetEvents(res); });
  Http.Get("/api/clients", [this](const Request&, Response& res) { GetClients(res); });
  Http.Get("/api/top", [this](const Request&, Response& res) { GetTop(res); });
  Http.Get("/api/status", [this](const Request&, Response& res) { GetStatus(res); });
  Http.Post("/api/attach", [this](const Request& req, Response& res) { PostAttach(req, res); });
  Http.Post("/api/signal", [this](const Request& req, Response& res) { PostSignal(req, res); });
  Http.Post("/api/ping", [this](const Request&, Response& res) { PostPing(res); });
  Http.set_error_handler([](const Request&, Response& res) {
    if (res.body.empty())
      SetText(res, res.status, "kqmon: " + std::string(httplib::detail::status_message(res.status)));
  });
}

httplib::Server::HandlerResponse HttpView::Server::Admit(const httplib::Request& req, httplib::Response& res) const {
  const AccessGuard& guard = *FView.FGuard;
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("X-Frame-Options", "DENY");
  if (!guard.HostAllowed(req.get_header_value("Host"))) {
    SetText(res, 403,
            "kqmon: refused: the Host header names neither this server's address nor a loopback name (DNS "
            "rebinding?)");
    return httplib::Server::HandlerResponse::Handled;
  }
  TokenSource source = TokenSource::None;
  std::string presented;
  if (req.has_param("token")) {
    presented = req.get_param_value("token");
    source = TokenSource::Query;
  } else if (req.has_header("X-Kq-Token")) {
    presented = req.get_header_value("X-Kq-Token");
    source = TokenSource::Header;
  } else if (std::string bearer = req.get_header_value("Authorization"); bearer.rfind("Bearer ", 0) == 0) {
    presented = bearer.substr(7);
    source = TokenSource::Header;
  } else if (const std::string cookies = req.get_header_value("Cookie"); !cookies.empty()) {
    presented = std::string(guard.TokenFromCookies(cookies));
    source = TokenSource::Cookie;
  }
  if (!guard.TokenMatches(presented)) {
    SetText(res, 403,
            "kqmon: refused: this request lacks the access token of the URL that kqmon serve printed when it "
            "started");
    return httplib::Server::HandlerResponse::Handled;
  }
  // A page of another site can make the browser send the cookie along (were it not SameSite), but
  // it cannot set a header: whatever changes the monitor's state needs the token itself.
  if (req.method != "GET" && req.method != "HEAD" && source == TokenSource::Cookie) {
    SetText(res, 403, "kqmon: refused: a request that changes something must carry the token in X-Kq-Token");
    return httplib::Server::HandlerResponse::Handled;
  }
  if (source == TokenSource::Query && (req.path == "/" || req.path == "/index.html"))
    res.set_header("Set-Cookie", guard.CookieName() + "=" + guard.Token() + "; Path=/; HttpOnly; SameSite=Strict");
  return httplib::Server::HandlerResponse::Unhandled;
}

void HttpView::Server::GetPage(httplib::Response& res) const {
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
                 "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
  res.set_content(Page, "text/html; charset=utf-8");
}

void HttpView::Server::GetAsset(const char* path, httplib::Response& res) {
  const WebAsset* asset = FindWebAsset(path);
  if (!asset) return SetText(res, 404, "kqmon: not found");
  res.set_content(asset->Body.data(), asset->Body.size(), std::string(asset->ContentType).c_str());
}

void HttpView::Server::GetEvents(httplib::Response& res) const {
  EventHub& hub = FView.FHub;
  std::shared_ptr<EventHub::Reader> reader = hub.Subscribe();
  if (!reader) return SetText(res, 503, "kqmon: too many open event streams (or the monitor has stopped)");
  struct StreamState {
    int IdleSeconds = 0;
    TimeStampFormat Time;
    OutputBuffer Scratch;
    std::vector<ChunkPtr> Chunks;
  };
  auto state = std::make_shared<StreamState>();
  res.set_header("X-Accel-Buffering", "no");
  res.set_chunked_content_provider(
      "application/x-ndjson",
      [reader, state](std::size_t, httplib::DataSink& sink) {
        std::int64_t lost = 0;
        state->Chunks.clear();
        const bool open = reader->Take(state->Chunks, lost, StreamWaitMs);
        if (lost > 0) {
          // The reader fell so far behind that its oldest records went unsent: it hears how many.
          OutputBuffer& out = state->Scratch;
          out.Clear();
          JsonWriter json(out);
          json.BeginObject();
          json.Member("kind", "dropped");
          json.Key("time");
          out.Append('"');
          state->Time.AppendIso(kq::NowDateTime(), out);
          out.Append('"');
          json.Member("kq.dropped.count", lost);
          json.EndObject();
          out.Append('\n');
          if (!sink.write(out.View().data(), out.Size())) return false;
        }
        for (const ChunkPtr& chunk : state->Chunks)
          if (!chunk->Bytes.empty() && !sink.write(chunk->Bytes.data(), chunk->Bytes.size())) return false;
        if (!open) {
          sink.done();
          return true;
        }
        if (state->Chunks.empty() && lost == 0 && ++state->IdleSeconds >= KeepAliveSeconds) {
          state->IdleSeconds = 0;
          static constexpr std::string_view KeepAlive = "\n";  // no object: a line that only keeps the stream open
          return sink.write(KeepAlive.data(), KeepAlive.size());
        }
        if (!state->Chunks.empty()) state->IdleSeconds = 0;
        return true;
      },
      [&hub, reader](bool) { hub.Unsubscribe(reader); });
}

void HttpView::Server::GetClients(httplib::Response& res) const {
  LiveFeed& feed = FView.FFeed;
  Reply(res, FView.FRequests.Call([&feed](kq::Monitor& monitor) {
    OutputBuffer out;
    feed.AppendClients(monitor, out);
    return RequestResult{200, std::string(out.View())};
  }));
}

void HttpView::Server::GetTop(httplib::Response& res) const {
  LiveFeed& feed = FView.FFeed;
  Reply(res, FView.FRequests.Call([&feed](kq::Monitor&) {
    OutputBuffer out;
    feed.AppendTop(out);
    return RequestResult{200, std::string(out.View())};
  }));
}

void HttpView::Server::GetStatus(httplib::Response& res) const {
  LiveFeed& feed = FView.FFeed;
  Reply(res, FView.FRequests.Call([&feed](kq::Monitor&) {
    OutputBuffer out;
    feed.AppendStatus(out);
    return RequestResult{200, std::string(out.View())};
  }));
}

void HttpView::Server::PostAttach(const httplib::Request& req, httplib::Response& res) const {
  const std::string client = req.get_param_value("client");
  if (client.empty()) return Reply(res, RequestError(400, "name the client: client=ID or client=NAME"));
  ClientWatcher& watcher = FView.FWatcher;
  Reply(res, FView.FRequests.Call([&watcher, client](kq::Monitor& monitor) {
    const std::optional<std::int32_t> id = FindClient(monitor.Clients(true), client);
    if (!id) return RequestError(404, "no client " + client + " is registered");
    watcher.SwitchTo(std::to_string(*id));
    return Done(202, "attach", [&](JsonWriter& json) { json.Member("kq.client.id", *id); });
  }));
}

void HttpView::Server::PostSignal(const httplib::Request& req, httplib::Response& res) const {
  const std::optional<std::int32_t> value = ParseInt(req.get_param_value("value"));
  if (!value) return Reply(res, RequestError(400, "the value must be a whole number: value=N"));
  std::optional<std::int32_t> client;
  if (req.has_param("client")) {
    client = ParseInt(req.get_param_value("client"));
    if (!client) return Reply(res, RequestError(400, "the client must be an ID: client=ID"));
  }
  ClientWatcher& watcher = FView.FWatcher;
  Reply(res, FView.FRequests.Call([value, client, &watcher](kq::Monitor&) {
    // Without a client: the watched one, when only one is.
    const std::optional<std::int32_t> only = watcher.OnlyWatched();
    if (!client && !only) return RequestError(409, "name the client: client=ID (none, or more than one, is watched)");
    const std::int32_t target = client ? *client : *only;
    kq::MultiWatch* watch = watcher.Watch();
    if (!watch || !watcher.Watching(target) || !watch->SendSignal(target, *value))
      return RequestError(409, "client " + std::to_string(target) +
                                   " is not connected: only watched clients receive values (attach to it first)");
    return Done(200, "signal", [&](JsonWriter& json) {
      json.Member("kq.client.id", target);
      json.Member("value", *value);
    });
  }));
}

void HttpView::Server::PostPing(httplib::Response& res) const {
  LiveFeed& feed = FView.FFeed;
  Reply(res, FView.FRequests.Call([&feed](kq::Monitor& monitor) {
    feed.StartPing(monitor);
    return Done(202, "ping");
  }));
}

void HttpView::Start() {
  FServer->Thread = std::thread([this] { FServer->Http.listen_after_bind(); });
}

void HttpView::Stop() {
  if (!FServer) return;
  FServer->Http.stop();
  if (FServer->Thread.joinable()) FServer->Thread.join();
}

}  // namespace kqtool
