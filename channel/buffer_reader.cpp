#include "buffer_reader.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <optional>

#include "ipc_buffer.h"
#include "kq_error.h"

namespace kq {

std::int32_t BufferReader::Activity() const noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(FBuffer.Load(&TBufferData::RefNo)) ^
                                   (static_cast<std::uint32_t>(FBuffer.Load(&TBufferData::Count)) << 16));
}

std::int64_t BufferReader::OldestListed(bool writerActive) const noexcept {
  // Count is raised before RefNo on every append, so while the writer is active the difference can
  // come out one low: then demand one more. In 64 bits: both come from the section.
  const std::int64_t next = FBuffer.Load(&TBufferData::RefNo);
  const std::int64_t count = FBuffer.Load(&TBufferData::Count);
  return next - count + (writerActive ? 1 : 0);
}

void BufferReader::InvalidateCursor() noexcept {
  // We are the cursor's only user: an invalid cursor makes the next step start afresh from an end.
  FBuffer.Store(&TBufferData::CurItem, TIPCBuffer::InvalidCursor);
}

std::int32_t BufferReader::ReadNewer(std::int32_t after, std::vector<TraceLine>& out) {
  // Reference numbers come from the section, so every sum and difference of them is formed in 64
  // bits; a line takes only numbers that lie between two 32-bit ones.
  const std::int64_t newest = std::int64_t{FBuffer.Load(&TBufferData::RefNo)} - 1;
  std::atomic_thread_fence(std::memory_order_acquire);
  if (newest < after) after = 0;  // the buffer was cleared: numbering starts again
  if (newest == after) return after;
  // A record whose text fills the largest record the ring allows was, or may have been, cut there.
  const std::int32_t cutBytes = (FBuffer.Load(&TBufferData::BlkSize) / 2 - KqRecordHeadSize) / 2 * 2 - 2;
  try {
    const std::int32_t count = FBuffer.Count();
    if (count <= 0) return after;
    std::int32_t index = FBuffer.Load(&TBufferData::CurItem);
    if (index < 0 || index >= count) index = 0;
    std::int32_t refNo = FBuffer.RefNo(index);
    if (std::int64_t{refNo} > std::int64_t{after} + 1) {
      InvalidateCursor();  // (it may sit on a record other than its index says)
      refNo = FBuffer.RefNo(index = 0);
    }
    while (refNo <= after && index + 1 < count) refNo = FBuffer.RefNo(++index);
    // Records are listed in number order, so an index whose record is older than the ones we want
    // while newer ones exist means the cursor is off: its last store raced an eviction, and walking
    // on from it would never reach the newest. It is walked afresh from an end next time.
    if (refNo <= after) InvalidateCursor();
    while (refNo > after) {
      // A number beyond the newest is no record's: the walk went through the links of an evicted one.
      if (refNo > newest) {
        InvalidateCursor();
        break;
      }
      const std::int64_t wanted = std::int64_t{after} + 1;  // below refNo, so within 32 bits
      std::optional<TraceLine> gap;
      if (refNo > wanted) {
        // A real gap only when every record before this one is no longer listed, so that this one is
        // the oldest: a walk that went through an evicted record's links may land beyond records
        // that are still there.
        if (refNo > OldestListed(false)) {
          InvalidateCursor();
          break;
        }
        const std::int64_t missing = std::min<std::int64_t>(refNo - wanted, INT32_MAX);
        gap = TraceLine{true, static_cast<std::int32_t>(wanted), static_cast<std::int32_t>(missing), 0, false, {}};
      }
      const std::int32_t before = Activity();
      const TIPCBuffer::RecordRef ref = FBuffer.SeekItem(index);
      TraceLine line{false,
                     ref.Head.RefNo,
                     0,
                     FBuffer.RecordTime(ref.Head),
                     ref.Head.Size >= cutBytes,
                     FBuffer.RecordText(ref.Offset, ref.Head, ref.AreaEnd)};
      if (FBuffer.RefNo(index) != refNo || line.RefNo != refNo) {  // the cursor was moved meanwhile
        InvalidateCursor();
        break;
      }
      std::atomic_thread_fence(std::memory_order_acquire);
      const bool quiet = before == Activity();
      if (refNo < OldestListed(!quiet)) {  // evicted while we copied it: its bytes may be newer ones
        InvalidateCursor();
        break;
      }
      // The gap before a record is told only with a record that proved to be one.
      if (gap) out.push_back(std::move(*gap));
      out.push_back(std::move(line));
      after = refNo;
      if (++index >= count) {
        if (after < newest) InvalidateCursor();  // the index ran out before the numbers did
        break;
      }
      refNo = FBuffer.RefNo(index);
    }
  } catch (const ESilentAbort&) {
    InvalidateCursor();  // the writer evicted under us; what is left is read on the next call
  }
  return after;
}

}  // namespace kq
