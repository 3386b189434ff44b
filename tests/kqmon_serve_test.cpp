// kqmon serve over HTTP as a browser or a script meets it: the real kqmon with drivers of the test
// helper (or kqdemo), each scenario in its own namespace, requests through cpp-httplib's client.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client_directory.h"
#include "json_value.h"
#include "test_support.h"
#include "tool_process.h"

using kqtest::JsonValue;
using kqtest::SplitLines;
using kqtest::ToolProcess;

namespace {

std::string WriteLines(const std::string& leaf, const std::vector<std::string>& lines) {
  const std::string path = kqtest::TempPath(leaf);
  std::ofstream out(path, std::ios::binary);
  for (const std::string& line : lines) out << line << "\n";
  return path;
}

// A running `kqmon serve --port 0` and what its first line of output told: the URL with the token.
struct Served {
  std::unique_ptr<ToolProcess> Tool;
  int Port = 0;
  std::string Token;

  explicit Served(std::vector<std::string> args) {
    args.insert(args.begin(), {"serve", "--port", "0"});
    Tool = std::make_unique<ToolProcess>("kqmon", args);
    kqtest::WaitUntil([&] { return !SplitLines(Tool->Stdout()).empty(); }, 60000);
    const std::vector<std::string> lines = SplitLines(Tool->Stdout());
    std::smatch match;
    static const std::regex Url(R"(http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{48}))");
    if (!lines.empty() && std::regex_match(lines[0], match, Url)) {
      Port = std::stoi(match[1]);
      Token = match[2];
    }
  }

  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", Port);
    client.set_read_timeout(30, 0);
    return client;
  }
  httplib::Headers WithToken() const { return {{"X-Kq-Token", Token}}; }
};

// Every complete non-empty line of the event stream, parsed; a line that is not a JSON object fails.
std::vector<JsonValue> ParseEvents(const std::string& text) {
  std::vector<JsonValue> objects;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    if (line.empty()) continue;
    auto value = kqtest::ParseJson(line);
    EXPECT_TRUE(value && value->Kind == JsonValue::Type::Object) << "not a JSON object: " << line;
    if (value) objects.push_back(std::move(*value));
  }
  return objects;
}

std::vector<JsonValue> OfKind(const std::vector<JsonValue>& objects, const std::string& kind) {
  std::vector<JsonValue> out;
  for (const JsonValue& o : objects)
    if (o["kind"].String == kind) out.push_back(o);
  return out;
}

// GET /events, read on a thread of its own while the test goes on.
class EventStream {
 public:
  explicit EventStream(const Served& served) : FClient(served.Client()) {
    FClient.set_read_timeout(2, 0);
    FThread = std::thread([this, headers = served.WithToken()] {
      while (!FStop) {
        auto result = FClient.Get("/events", headers, [this](const char* data, std::size_t size) {
          std::lock_guard hold(FLock);
          FText.append(data, size);
          return !FStop.load();
        });
        if (result) FStatus = result->status;
      }
    });
  }
  ~EventStream() {
    FStop = true;
    FThread.join();
  }
  std::vector<JsonValue> Objects() {
    std::lock_guard hold(FLock);
    return ParseEvents(FText);
  }
  std::string Text() {
    std::lock_guard hold(FLock);
    return FText;
  }
  // Waits until `done` holds for the objects so far.
  template <class Condition>
  bool WaitFor(Condition done, int timeoutMs = 60000) {
    return kqtest::WaitUntil([&] { return done(Objects()); }, timeoutMs);
  }

 private:
  httplib::Client FClient;
  std::mutex FLock;
  std::string FText;
  std::atomic<bool> FStop{false};
  std::atomic<int> FStatus{0};
  std::thread FThread;
};

std::vector<std::string> Texts(const std::vector<JsonValue>& objects) {
  std::vector<std::string> texts;
  for (const JsonValue& o : OfKind(objects, "statement")) texts.push_back(o["db.query.text"].String);
  return texts;
}

bool WatchesClient(const std::vector<JsonValue>& objects, int id) {
  const std::vector<JsonValue> watch = OfKind(objects, "watch");
  return !watch.empty() && watch.back()["state"].String == "attached" && watch.back()["kq.client.id"].Number == id;
}

}  // namespace

TEST(KqmonServe, EveryEndpointRefusesAMissingOrWrongTokenAndAForeignHost) {
  kqtest::ScopedNamespace ns;
  Served served({"--duration", "120"});
  ASSERT_NE(served.Port, 0) << served.Tool->Stdout() << served.Tool->Stderr();
  httplib::Client client = served.Client();
  const std::string wrong(48, '0');
  const std::string host = "127.0.0.1:" + std::to_string(served.Port);
  struct Endpoint {
    const char* Method;
    std::string Path;
  };
  const std::vector<Endpoint> endpoints = {
      {"GET", "/"},           {"GET", "/index.html"},           {"GET", "/app.js"},
      {"GET", "/style.css"},  {"GET", "/api/clients"},          {"GET", "/api/top"},
      {"GET", "/api/status"}, {"POST", "/api/attach?client=1"}, {"POST", "/api/signal?value=1"},
      {"POST", "/api/ping"},  {"GET", "/no/such/page"}};
  auto send = [&](const Endpoint& e, const httplib::Headers& headers) {
    auto result = std::string(e.Method) == "GET" ? client.Get(e.Path.c_str(), headers)
                                                 : client.Post(e.Path.c_str(), headers, "", "text/plain");
    return result ? result->status : -1;
  };
  for (const Endpoint& e : endpoints) {
    SCOPED_TRACE(std::string(e.Method) + " " + e.Path);
    EXPECT_EQ(send(e, {}), 403);
    EXPECT_EQ(send(e, {{"X-Kq-Token", wrong}}), 403);
    EXPECT_EQ(send(e, {{"X-Kq-Token", served.Token.substr(0, 47)}}), 403);
    EXPECT_EQ(send(e, {{"Authorization", "Bearer " + wrong}}), 403);
    // DNS rebinding: a name of the attacker's that resolves here, or the right token for another port.
    EXPECT_EQ(send(e, {{"X-Kq-Token", served.Token}, {"Host", "attacker.example:" + std::to_string(served.Port)}}),
              403);
    EXPECT_EQ(send(e, {{"X-Kq-Token", served.Token}, {"Host", "127.0.0.1:1"}}), 403);
  }
  // The events stream too, with its token in the query as curl users give it.
  auto events = client.Get(("/events?token=" + wrong).c_str());
  ASSERT_TRUE(events);
  EXPECT_EQ(events->status, 403);
  EXPECT_NE(events->body.find("lacks the access token"), std::string::npos) << events->body;

  // The printed URL opens the page and sets the cookie that the page's own requests carry.
  auto page = client.Get(("/?token=" + served.Token).c_str(), {{"Host", host}});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("<meta name=\"kq-token\" content=\"" + served.Token + "\">"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
  const std::string cookie = page->get_header_value("Set-Cookie");
  EXPECT_EQ(cookie,
            "kq_token_" + std::to_string(served.Port) + "=" + served.Token + "; Path=/; HttpOnly; SameSite=Strict");
  const httplib::Headers withCookie = {{"Cookie", "other=1; " + cookie.substr(0, cookie.find(';'))}};
  for (const char* path : {"/app.js", "/style.css", "/api/status"}) {
    auto result = client.Get(path, withCookie);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << path;
  }
  EXPECT_EQ(client.Get("/app.js", withCookie)->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_EQ(client.Get("/style.css", withCookie)->get_header_value("Content-Type"), "text/css; charset=utf-8");
  // A page of another site can make the browser send a cookie, never a header: no change on the cookie alone.
  auto cookiePost = client.Post("/api/ping", withCookie, "", "text/plain");
  ASSERT_TRUE(cookiePost);
  EXPECT_EQ(cookiePost->status, 403);
  EXPECT_EQ(client.Post("/api/ping", served.WithToken(), "", "text/plain")->status, 202);
  // Only the embedded files are served; nothing of the disk.
  for (const char* path : {"/no/such/page", "/../CMakeLists.txt", "/%2e%2e/%2e%2e/CMakeLists.txt", "/web/app.js"})
    EXPECT_EQ(client.Get(path, served.WithToken())->status, 404) << path;
  served.Tool->Kill();
}

TEST(KqmonServe, EventsCarryTheWatchedClientsRecordsAsObjectsOfTheJsonSchema) {
  kqtest::ScopedNamespace ns;
  Served served({"--duration", "120"});
  ASSERT_NE(served.Port, 0) << served.Tool->Stderr();
  EventStream stream(served);
  const std::vector<std::string> statements = {"SELECT 1", "UPDATE t SET a = 'quote \" and \\\\ back'",
                                               "DELETE FROM t WHERE id IN (1, 2, 3)"};
  const std::string file = WriteLines("statements.sql", statements);
  kqtest::ChildProcess driver({"line-driver", "81", "stream \"client\"", file, "1", "60000"});
  // The list follows the clients' answers to a ping, within a second or two.
  ASSERT_TRUE(stream.WaitFor([&](const auto& objects) {
    const auto clients = OfKind(objects, "client");
    return Texts(objects).size() >= 3 && !clients.empty() && clients.back()["kq.client.id"].Number == 81;
  })) << stream.Text();
  const std::vector<JsonValue> objects = stream.Objects();
  EXPECT_EQ(Texts(objects), (std::vector<std::string>{"SELECT 1", "UPDATE t SET a = 'quote \" and \\\\ back'",
                                                      "DELETE FROM t WHERE id IN (1, 2, 3)"}));
  const std::vector<JsonValue> records = OfKind(objects, "statement");
  for (std::size_t i = 0; i < records.size(); ++i) {
    const JsonValue& o = records[i];
    EXPECT_EQ(o.Keys, (std::vector<std::string>{"kind", "time", "kq.client.id", "kq.client.name", "kq.ref_no",
                                                "db.query.text", "cut"}));
    EXPECT_EQ(o["kq.client.id"].Number, 81);
    EXPECT_EQ(o["kq.client.name"].String, "stream \"client\"");
    EXPECT_EQ(o["kq.ref_no"].Number, static_cast<double>(i + 2));
    EXPECT_TRUE(std::regex_match(o["time"].String, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")))
        << o["time"].String;
  }
  const std::vector<JsonValue> started = OfKind(objects, "log_started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]["kq.log_name"].String, "stream \"client\"");
  EXPECT_TRUE(WatchesClient(objects, 81));
  const std::vector<JsonValue> clients = OfKind(objects, "client");
  ASSERT_FALSE(clients.empty());
  EXPECT_EQ(clients.back()["kq.client.id"].Number, 81);
  EXPECT_TRUE(clients.back()["alive"].Bool) << "the watched client is alive";
  // The statements go into the top view, and the tally tells where every record went.
  ASSERT_TRUE(stream.WaitFor([](const auto& objects) {
    const auto tally = OfKind(objects, "tally");
    return !tally.empty() && tally.back()["records"].Number == 4;
  }));
  const JsonValue tally = OfKind(stream.Objects(), "tally").back();
  EXPECT_EQ(tally["statements"].Number, 3);
  EXPECT_EQ(tally["log_starts"].Number, 1);
  auto top = served.Client().Get("/api/top", served.WithToken());
  ASSERT_TRUE(top);
  const std::vector<JsonValue> fingerprints = OfKind(ParseEvents(top->body), "fingerprint");
  ASSERT_EQ(fingerprints.size(), 3u) << top->body;
  EXPECT_NE(top->body.find("\"kq.fingerprint\":\"DELETE FROM t WHERE id IN (?+)\""), std::string::npos) << top->body;
  driver.Kill();
  served.Tool->Kill();
}

TEST(KqmonServe, AttachSwitchesTheClientAndASentValueReachesTheWatchedDriver) {
  kqtest::ScopedNamespace ns;
  ToolProcess first("kqdemo", {"--id", "91", "--name", "first", "--count", "1000", "--rate", "5", "--wait", "0"});
  {
    kq::TClientDirectory directory(16);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(91) != -1; }, 30000));
  }
  Served served({"--duration", "120"});
  ASSERT_NE(served.Port, 0) << served.Tool->Stderr();
  EventStream stream(served);
  ASSERT_TRUE(stream.WaitFor([](const auto& objects) { return WatchesClient(objects, 91); })) << stream.Text();
  ToolProcess second("kqdemo", {"--id", "92", "--name", "second", "--count", "1000", "--rate", "5", "--wait", "0"});
  {
    kq::TClientDirectory directory(16);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(92) != -1; }, 30000));
  }
  httplib::Client client = served.Client();
  auto unknown = client.Post("/api/attach?client=nobody", served.WithToken(), "", "text/plain");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
  EXPECT_NE(unknown->body.find("no client nobody is registered"), std::string::npos) << unknown->body;
  EXPECT_EQ(client.Post("/api/attach", served.WithToken(), "", "text/plain")->status, 400);

  auto attach = client.Post("/api/attach?client=second", served.WithToken(), "", "text/plain");
  ASSERT_TRUE(attach);
  EXPECT_EQ(attach->status, 202) << attach->body;
  ASSERT_TRUE(stream.WaitFor([](const auto& objects) { return WatchesClient(objects, 92); })) << stream.Text();
  // The second client's statements follow its own log start, in order.
  ASSERT_TRUE(stream.WaitFor([](const auto& objects) {
    return std::count_if(objects.begin(), objects.end(), [](const JsonValue& o) {
             return o["kind"].String == "statement" && o["kq.client.id"].Number == 92;
           }) >= 2;
  })) << stream.Text();
  {
    const std::vector<JsonValue> objects = stream.Objects();
    double last = 0;
    for (const JsonValue& o : objects) {
      if (o["kind"].String != "statement" || o["kq.client.id"].Number != 92) continue;
      EXPECT_GT(o["kq.ref_no"].Number, last);
      last = o["kq.ref_no"].Number;
    }
    // Its ring starts empty: nothing of the first client's shows under the second one's name.
    const JsonValue started = OfKind(objects, "log_started").back();
    EXPECT_EQ(started["kq.client.id"].Number, 92);
    EXPECT_EQ(started["kq.ref_no"].Number, 1);
    for (const JsonValue& o : OfKind(objects, "statement"))
      EXPECT_EQ(o["db.query.text"].String.rfind("Log started for", 0), std::string::npos) << o["db.query.text"].String;
  }

  EXPECT_EQ(client.Post("/api/signal?value=x", served.WithToken(), "", "text/plain")->status, 400);
  auto other = client.Post("/api/signal?value=7&client=91", served.WithToken(), "", "text/plain");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 409);
  EXPECT_NE(other->body.find("client 91 is not connected"), std::string::npos) << other->body;
  auto sent = client.Post("/api/signal?value=4242", served.WithToken(), "", "text/plain");
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->status, 200) << sent->body;
  EXPECT_TRUE(kqtest::WaitUntil(
      [&] { return second.Stdout().find("kqdemo: second: the monitor sent 4242") != std::string::npos; }, 30000))
      << second.Stdout();
  EXPECT_EQ(first.Stdout().find("the monitor sent"), std::string::npos) << first.Stdout();
  first.Kill();
  second.Kill();
  served.Tool->Kill();
}

TEST(KqmonServe, RedactLeavesNoLiteralInTheStreamOrTheTopView) {
  kqtest::ScopedNamespace ns;
  Served served({"--redact", "--duration", "120"});
  ASSERT_NE(served.Port, 0) << served.Tool->Stderr();
  EventStream stream(served);
  const std::string file = WriteLines("secret.sql", {"SELECT * FROM users WHERE pin = 987654 AND name = 'alice'"});
  kqtest::ChildProcess driver({"line-driver", "83", "secrets", file, "3", "500"});
  ASSERT_TRUE(stream.WaitFor([](const auto& objects) { return Texts(objects).size() >= 3; })) << stream.Text();
  ASSERT_EQ(driver.Wait(60000), 0);
  EXPECT_EQ(Texts(stream.Objects()).at(0), "SELECT * FROM users WHERE pin = ? AND name = ?");
  ASSERT_TRUE(stream.WaitFor([](const auto& objects) { return !OfKind(objects, "top_summary").empty(); }));
  httplib::Client client = served.Client();
  for (const std::string& text : {stream.Text(), client.Get("/api/top", served.WithToken())->body,
                                  client.Get("/api/status", served.WithToken())->body}) {
    EXPECT_EQ(text.find("987654"), std::string::npos) << text;
    EXPECT_EQ(text.find("alice"), std::string::npos) << text;
  }
  served.Tool->Kill();
}

TEST(KqmonServe, RefusesBesideALiveMonitorAndANonLoopbackAddressWithoutAskingTwice) {
  kqtest::ScopedNamespace ns;
  kqtest::ToolResult remote = kqtest::RunTool("kqmon", {"serve", "--bind", "0.0.0.0", "--port", "0"});
  EXPECT_EQ(remote.ExitCode, 2);
  EXPECT_NE(remote.Stderr.find("0.0.0.0 is not a loopback address"), std::string::npos) << remote.Stderr;
  EXPECT_EQ(remote.Stdout, "");

  ToolProcess watch("kqmon", {"watch", "--duration", "120"});
  {
    kq::TClientDirectory directory(16);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.MonitorID() == watch.ProcessID(); }, 30000));
  }
  kqtest::ToolResult second = kqtest::RunTool("kqmon", {"serve", "--port", "0", "--duration", "30"});
  EXPECT_EQ(second.ExitCode, 1);
  EXPECT_NE(second.Stderr.find("monitor " + std::to_string(watch.ProcessID()) + " is already watching"),
            std::string::npos)
      << second.Stderr;
  EXPECT_EQ(second.Stdout, "") << "a refused monitor prints no URL";
  watch.Kill();
}

TEST(KqmonServe, AWildcardAddressWarnsAndStillRefusesHostNames) {
  kqtest::ScopedNamespace ns;
  ToolProcess served("kqmon", {"serve", "--bind", "0.0.0.0", "--allow-remote", "--port", "0", "--duration", "60"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return !SplitLines(served.Stdout()).empty(); }, 60000)) << served.Stderr();
  const std::string url = SplitLines(served.Stdout())[0];
  std::smatch match;
  ASSERT_TRUE(std::regex_match(url, match, std::regex(R"(http://0\.0\.0\.0:(\d+)/\?token=([0-9a-f]{48}))"))) << url;
  EXPECT_NE(served.Stderr().find("WARNING: listening on 0.0.0.0, which other machines may reach"), std::string::npos)
      << served.Stderr();
  const std::string port = match[1];
  httplib::Client client("127.0.0.1", std::stoi(port));
  const httplib::Headers token = {{"X-Kq-Token", match[2]}};
  auto literal = client.Get("/api/status", token);
  ASSERT_TRUE(literal);
  EXPECT_EQ(literal->status, 200);
  httplib::Headers named = token;
  named.emplace("Host", "kq.attacker.example:" + port);
  EXPECT_EQ(client.Get("/api/status", named)->status, 403);
  served.Kill();
}
