#include "buffer_reader.h"

#include <algorithm>
#include <atomic>
#include <climits>

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
    while (refNo > after) {
      const std::int64_t wanted = std::int64_t{after} + 1;  // below refNo, so within 32 bits
      if (refNo > wanted) {
        // A real gap only when the next record we want is no longer listed.
        if (wanted >= OldestListed(false)) {
          InvalidateCursor();
          break;
        }
        const std::int64_t missing = std::min<std::int64_t>(refNo - wanted, INT32_MAX);
        out.push_back({true, static_cast<std::int32_t>(wanted), static_cast<std::int32_t>(missing), 0, false, {}});
        after = refNo - 1;
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
      out.push_back(std::move(line));
      after = refNo;
      if (++index >= count) break;
      refNo = FBuffer.RefNo(index);
    }
  } catch (const ESilentAbort&) {
    InvalidateCursor();  // the writer evicted under us; what is left is read on the next call
  }
  return after;
}

}  // namespace kq
