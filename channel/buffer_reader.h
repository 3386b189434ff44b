#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kq {

class TIPCBuffer;

// One record read from the trace buffer, or a run of records that were evicted before they could be read.
struct TraceLine {
  bool Gap = false;
  std::int32_t RefNo = 0;    // of the record; of the first missing one for a gap
  std::int32_t Missing = 0;  // records in a gap
  double Time = 0;           // local date-time of the record (days since 1899-12-30)
  bool Cut = false;          // the text reached the ring's record limit and may have been cut there
  std::u16string Text;       // the statement's text
};

// The reading side of a live ring: walks the records of one TIPCBuffer that another process appends to
// and evicts from while we read, without ever making it wait. Owns everything a reader must know about
// the writer: the shared cursor is moved by single steps only, each record's own reference number
// decides what it is, a record is checked after its copy for having been evicted (and maybe overwritten)
// meanwhile, and records that left unread are reported as gaps. One reader per buffer at a time.
class BufferReader {
 public:
  explicit BufferReader(TIPCBuffer& buffer) noexcept : FBuffer(buffer) {}

  // Appends to `out`, oldest first, every record newer than reference number `after` that can be read
  // now, with a gap line for each run that was evicted unread. Returns the reference number of the last
  // record accounted for (`after` when nothing new; numbering restarts at 0 when the buffer was cleared).
  // On any doubt about a record it stops short: the next call picks up from the returned number.
  [[nodiscard]] std::int32_t ReadNewer(std::int32_t after, std::vector<TraceLine>& out);

 private:
  // The reference number of the oldest record still listed (a lower bound while the writer works).
  std::int64_t OldestListed(bool writerActive) const noexcept;
  // Writer activity seen in the header: changes with every append and every eviction.
  std::int32_t Activity() const noexcept;
  void InvalidateCursor() noexcept;

  TIPCBuffer& FBuffer;
};

}  // namespace kq
