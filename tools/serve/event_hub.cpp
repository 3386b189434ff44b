#include "event_hub.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kqtool {

bool EventHub::Reader::Take(std::vector<ChunkPtr>& out, std::int64_t& lost, std::int32_t timeoutMs) {
  std::unique_lock hold(FLock);
  FReady.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return !FQueue.empty() || FLost != 0 || FClosed; });
  const bool any = !FQueue.empty() || FLost != 0;
  for (ChunkPtr& chunk : FQueue) out.push_back(std::move(chunk));
  FQueue.clear();
  FQueuedBytes = 0;
  lost = FLost;
  FLost = 0;
  return any || !FClosed;
}

void EventHub::Reader::Push(const ChunkPtr& chunk, std::size_t limit) {
  {
    std::lock_guard hold(FLock);
    if (FClosed) return;
    FQueue.push_back(chunk);
    FQueuedBytes += chunk->Bytes.size();
    // The oldest go first: a live view wants the newest statements. The last chunk always stays.
    while (FQueuedBytes > limit && FQueue.size() > 1) {
      FQueuedBytes -= FQueue.front()->Bytes.size();
      FLost += FQueue.front()->Objects;
      FQueue.pop_front();
    }
  }
  FReady.notify_one();
}

void EventHub::Reader::Close() {
  {
    std::lock_guard hold(FLock);
    FClosed = true;
  }
  FReady.notify_all();
}

std::shared_ptr<EventHub::Reader> EventHub::Subscribe() {
  std::lock_guard hold(FLock);
  if (FClosed || FReaders.size() >= FLimits.Readers) return nullptr;
  auto reader = std::make_shared<Reader>();
  for (const ChunkPtr& chunk : FHistory) reader->Push(chunk, FLimits.PendingBytes);
  for (const auto& [slot, chunk] : FStates) reader->Push(chunk, FLimits.PendingBytes);
  FReaders.push_back(reader);
  return reader;
}

void EventHub::Unsubscribe(const std::shared_ptr<Reader>& reader) {
  std::lock_guard hold(FLock);
  FReaders.erase(std::remove(FReaders.begin(), FReaders.end(), reader), FReaders.end());
}

std::size_t EventHub::Readers() const {
  std::lock_guard hold(FLock);
  return FReaders.size();
}

void EventHub::Push(const ChunkPtr& chunk) {
  for (const auto& reader : FReaders) reader->Push(chunk, FLimits.PendingBytes);
}

void EventHub::PublishRecords(const ChunkPtr& chunk) {
  std::lock_guard hold(FLock);
  if (FClosed) return;
  Push(chunk);
  FHistory.push_back(chunk);
  FHistoryObjects += chunk->Objects;
  while (FHistory.size() > 1 && FHistoryObjects - FHistory.front()->Objects >= FLimits.HistoryObjects) {
    FHistoryObjects -= FHistory.front()->Objects;
    FHistory.pop_front();
  }
}

void EventHub::PublishState(const std::string& slot, const ChunkPtr& chunk) {
  std::lock_guard hold(FLock);
  if (FClosed) return;
  Push(chunk);
  FStates[slot] = chunk;
}

void EventHub::Close() {
  std::lock_guard hold(FLock);
  FClosed = true;
  for (const auto& reader : FReaders) reader->Close();
}

void AppendJsonLines(std::string_view ndjson, std::string& out, std::int64_t& objects) {
  // JSON escapes every control character, so a line holds no CR or LF of its own: the lines go out as
  // the formatter wrote them, and an empty one (the stream's keep-alive) carries no object.
  while (!ndjson.empty()) {
    const std::size_t end = ndjson.find('\n');
    const std::string_view line = ndjson.substr(0, end);
    if (!line.empty()) {
      out.append(line);
      out.push_back('\n');
      ++objects;
    }
    if (end == std::string_view::npos) break;
    ndjson.remove_prefix(end + 1);
  }
}

}  // namespace kqtool
