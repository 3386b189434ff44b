// The parts of kqmon serve that decide who gets in and who gets which records, without a server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "access_guard.h"
#include "event_hub.h"

using kqtool::AccessGuard;
using kqtool::ChunkPtr;
using kqtool::EventHub;

namespace {

ChunkPtr Chunk(const std::string& bytes, std::int64_t objects) {
  auto chunk = std::make_shared<kqtool::StreamChunk>();
  chunk->Bytes = bytes;
  chunk->Objects = objects;
  return chunk;
}

std::string Drain(EventHub::Reader& reader, std::int64_t* lost = nullptr) {
  std::vector<ChunkPtr> chunks;
  std::int64_t dropped = 0;
  reader.Take(chunks, dropped, 0);
  if (lost) *lost = dropped;
  std::string text;
  for (const ChunkPtr& chunk : chunks) text += chunk->Bytes;
  return text;
}

}  // namespace

TEST(AccessGuard, HostMustNameTheBoundAddressOrLoopbackWithTheBoundPort) {
  const AccessGuard loopback("127.0.0.1", 27505, "t");
  for (const char* host : {"127.0.0.1:27505", "localhost:27505", "LOCALHOST:27505", "[::1]:27505", "127.0.0.2:27505"})
    EXPECT_TRUE(loopback.HostAllowed(host)) << host;
  for (const char* host : {"", "127.0.0.1", "127.0.0.1:27506", "127.0.0.1:2750", "evil.example:27505",
                           "localhost.evil.example:27505", "127.0.0.1.nip.io:27505", "10.0.0.1:27505",
                           "127.0.0.1:27505:1", "[::1:27505", "127.0.0.1:+27505", "127.0.0.1:27505 "})
    EXPECT_FALSE(loopback.HostAllowed(host)) << host;

  const AccessGuard specific("192.0.2.7", 8080, "t");
  EXPECT_TRUE(specific.HostAllowed("192.0.2.7:8080"));
  EXPECT_FALSE(specific.HostAllowed("127.0.0.1:8080")) << "a non-loopback bind is not reachable by loopback";
  EXPECT_FALSE(specific.HostAllowed("server.example:8080")) << "no DNS name, which another may point here";

  const AccessGuard wildcard("0.0.0.0", 80, "t");
  EXPECT_TRUE(wildcard.HostAllowed("192.0.2.7")) << "port 80 is the default one";
  EXPECT_TRUE(wildcard.HostAllowed("[2001:db8::1]:80"));
  EXPECT_TRUE(wildcard.HostAllowed("localhost:80"));
  EXPECT_FALSE(wildcard.HostAllowed("server.example:80"));
  EXPECT_FALSE(wildcard.HostAllowed("192.0.2.300:80"));

  const AccessGuard six("[::1]", 9000, "t");
  EXPECT_TRUE(six.HostAllowed("[::1]:9000"));
  EXPECT_TRUE(six.HostAllowed("localhost:9000"));
  EXPECT_EQ(AccessGuard::UrlHost("::1"), "[::1]");
  EXPECT_EQ(AccessGuard::UrlHost("127.0.0.1"), "127.0.0.1");
}

TEST(AccessGuard, TokenAndCookieMatchOnlyWhole) {
  const std::string token = kqtool::RandomToken(24);
  EXPECT_EQ(token.size(), 48u);
  EXPECT_NE(token, kqtool::RandomToken(24));
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);

  const AccessGuard guard("127.0.0.1", 4000, token);
  EXPECT_TRUE(guard.TokenMatches(token));
  EXPECT_FALSE(guard.TokenMatches(token.substr(1)));
  EXPECT_FALSE(guard.TokenMatches(token + "0"));
  EXPECT_FALSE(guard.TokenMatches(""));
  EXPECT_FALSE(AccessGuard("127.0.0.1", 4000, "").TokenMatches("")) << "no token never lets anyone in";

  EXPECT_EQ(guard.CookieName(), "kq_token_4000");
  EXPECT_EQ(guard.TokenFromCookies("a=1; kq_token_4000=abc; b=2"), "abc");
  EXPECT_EQ(guard.TokenFromCookies("kq_token_4000=abc"), "abc");
  EXPECT_EQ(guard.TokenFromCookies("kq_token_40000=abc; xkq_token_4000=def"), "") << "another port's cookie";
  EXPECT_TRUE(AccessGuard::IsLoopback("127.1.2.3"));
  EXPECT_FALSE(AccessGuard::IsLoopback("128.0.0.1"));
  EXPECT_FALSE(AccessGuard::IsLoopback("0.0.0.0"));
}

TEST(EventHub, ASlowReaderLosesItsOldestChunksAndHearsHowManyObjects) {
  EventHub hub(EventHub::Limits{100, 0, 2});
  auto slow = hub.Subscribe();
  auto fast = hub.Subscribe();
  ASSERT_TRUE(slow && fast);
  EXPECT_EQ(hub.Subscribe(), nullptr) << "no more readers than the limit";
  std::string fastText;
  for (int i = 0; i < 10; ++i) {
    hub.PublishRecords(Chunk(std::string(30, static_cast<char>('a' + i)), 3));
    fastText += Drain(*fast);
  }
  EXPECT_EQ(fastText.size(), 300u) << "a reader that keeps up gets everything";
  std::int64_t lost = 0;
  const std::string slowText = Drain(*slow, &lost);
  EXPECT_EQ(slowText, std::string(30, 'h') + std::string(30, 'i') + std::string(30, 'j')) << "the newest stay";
  EXPECT_EQ(lost, 21);
  Drain(*slow, &lost);
  EXPECT_EQ(lost, 0) << "told once";

  hub.Unsubscribe(fast);
  EXPECT_NE(hub.Subscribe(), nullptr) << "a reader that left makes room";
}

TEST(EventHub, ALateReaderGetsRecentRecordsAndTheLatestStateThenTheEnd) {
  EventHub hub(EventHub::Limits{1 << 20, 4, 8});
  hub.PublishState("watch", Chunk("W1", 0));
  for (int i = 0; i < 5; ++i) hub.PublishRecords(Chunk(std::to_string(i), 2));
  hub.PublishState("watch", Chunk("W2", 0));
  hub.PublishState("clients", Chunk("C1", 0));
  auto late = hub.Subscribe();
  ASSERT_TRUE(late);
  EXPECT_EQ(Drain(*late), "34C1W2") << "the newest records up to the history bound, then one state per slot";
  hub.PublishRecords(Chunk("5", 1));
  hub.Close();
  std::vector<ChunkPtr> chunks;
  std::int64_t lost = 0;
  EXPECT_TRUE(late->Take(chunks, lost, 0)) << "what was sent before the end still comes";
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_FALSE(late->Take(chunks, lost, 1000)) << "then the end, at once";
  EXPECT_EQ(hub.Subscribe(), nullptr);
}

TEST(EventHub, EachJsonLineGoesOutAsItIsAndEmptyLinesCarryNoObject) {
  std::string out;
  std::int64_t objects = 0;
  kqtool::AppendJsonLines("{\"a\":1}\n\n{\"b\":\"x\\ny\"}\n\n", out, objects);
  EXPECT_EQ(out, "{\"a\":1}\n{\"b\":\"x\\ny\"}\n");
  EXPECT_EQ(objects, 2);
}
