#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kqtool {

// A piece of the live stream: whole JSON lines, and how many trace objects (statements, log
// starts and gaps) they carry.
struct StreamChunk {
  std::string Bytes;
  std::int64_t Objects = 0;
};
using ChunkPtr = std::shared_ptr<const StreamChunk>;

// Hands the live stream from the watch's thread to every open event stream. The watch never waits
// for a reader: each reader has a bounded queue, and one that falls further behind loses its oldest
// chunks and is told how many objects it lost so. A new reader first gets the latest state of each
// slot (client list, watch, top, tally) and the most recent records.
class EventHub {
 public:
  struct Limits {
    std::size_t PendingBytes = 8 * 1024 * 1024;  // per reader
    std::int64_t HistoryObjects = 1000;          // records kept for readers that come later
    std::size_t Readers = 8;
  };

  class Reader {
   public:
    // Waits up to timeoutMs for chunks and moves them to `out`; `lost` gets the objects dropped from
    // this reader's queue since the last call. False once the hub is closed and nothing is left.
    bool Take(std::vector<ChunkPtr>& out, std::int64_t& lost, std::int32_t timeoutMs);

   private:
    friend class EventHub;
    void Push(const ChunkPtr& chunk, std::size_t limit);
    void Close();

    std::mutex FLock;
    std::condition_variable FReady;
    std::deque<ChunkPtr> FQueue;
    std::size_t FQueuedBytes = 0;
    std::int64_t FLost = 0;
    bool FClosed = false;
  };

  EventHub() : EventHub(Limits{}) {}
  explicit EventHub(Limits limits) : FLimits(limits) {}

  // A new reader, or null when the hub is closed or has as many readers as it takes.
  std::shared_ptr<Reader> Subscribe();
  void Unsubscribe(const std::shared_ptr<Reader>& reader);
  std::size_t Readers() const;

  // Records in reference-number order; kept (bounded) for later readers.
  void PublishRecords(const ChunkPtr& chunk);
  // The current state of `slot`, replacing its previous one for later readers.
  void PublishState(const std::string& slot, const ChunkPtr& chunk);
  // Wakes every reader for the last time; later subscriptions are refused.
  void Close();

 private:
  void Push(const ChunkPtr& chunk);

  const Limits FLimits;
  mutable std::mutex FLock;
  std::vector<std::shared_ptr<Reader>> FReaders;
  std::deque<ChunkPtr> FHistory;
  std::int64_t FHistoryObjects = 0;
  std::map<std::string, ChunkPtr> FStates;
  bool FClosed = false;
};

// The stream's bytes of NDJSON: each non-empty line as it is, counted as one object.
void AppendJsonLines(std::string_view ndjson, std::string& out, std::int64_t& objects);

}  // namespace kqtool
