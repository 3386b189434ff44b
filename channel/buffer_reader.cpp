#include "buffer_reader.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "ipc_buffer.h"

namespace kq {

namespace {

// Bytes copied per run: small enough that the writer rarely evicts a run's first record while it is
// copied, even when the reader lags far behind a flood.
constexpr std::size_t RunBytes = 16 * 1024;
// Runs tried from the oldest listed record per read before the rest is left to the next read.
constexpr int OldestTries = 4;

// Eight code units compared at once (one vector compare where the target has vectors).
using Units8 = std::uint16_t __attribute__((vector_size(16)));

// The length of a text up to its first NUL, at most `units`: eight units at a time.
std::size_t TextUnits(const char16_t* text, std::size_t units) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= units; i += 8) {
    Units8 v;
    std::memcpy(&v, text + i, sizeof v);
    const auto zero = v == 0;  // all ones in the lanes of a NUL
    std::uint64_t halves[2];
    std::memcpy(halves, &zero, sizeof halves);
    if ((halves[0] | halves[1]) != 0) break;
  }
  for (; i < units; ++i)
    if (text[i] == 0) return i;
  return units;
}

// Copies in fixed blocks, which compile to vector moves: as fast as the C library's copy for runs of
// this size, and counted for what they do by callgrind, which counts a string move byte by byte.
void CopyBytes(unsigned char* to, const unsigned char* from, std::size_t bytes) noexcept {
  constexpr std::size_t Block = 64;
  for (; bytes >= Block; bytes -= Block, to += Block, from += Block) std::memcpy(to, from, Block);
  std::memcpy(to, from, bytes);
}

std::int32_t Minus(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

}  // namespace

BufferReader::BufferReader(TIPCBuffer& buffer) noexcept : FBuffer(buffer) {}

BufferReader::~BufferReader() = default;

std::int32_t BufferReader::PublishedNewest() const noexcept {
  const std::int32_t newest = Minus(FBuffer.Load(&TBufferData::RefNo), 1);
  // Every record up to it is complete and linked before its number is published.
  std::atomic_thread_fence(std::memory_order_acquire);
  return newest;
}

bool BufferReader::HasNewer(std::int32_t after) const noexcept {
  return Minus(FBuffer.Load(&TBufferData::RefNo), 1) != after;
}

void BufferReader::EnsureCopy(std::size_t bytes) {
  if (FCopySize >= bytes) return;
  FCopy.reset(new unsigned char[bytes]);  // not filled: only what a run copies is ever read
  FCopySize = bytes;
}

std::size_t BufferReader::CopyRun(std::int32_t start, std::int32_t areaEnd, std::size_t copyAt, std::size_t budget,
                                  Piece (&pieces)[2], int& pieceCount) noexcept {
  pieceCount = 0;
  const std::int32_t free = FBuffer.Load(&TBufferData::Free);
  if (free < FBuffer.FBufStart || free > areaEnd) return 0;
  const unsigned char* ring = FBuffer.RecordAt(0);
  std::size_t at = copyAt;
  const std::size_t end = copyAt + budget;
  auto copy = [&](std::int32_t from, std::int32_t to) {
    // Each piece starts at a copy position of the same parity as its ring offset, so that texts
    // keep the alignment they have in the ring.
    at += (at ^ static_cast<std::size_t>(from)) & 1;
    if (at >= end || to <= from) return;
    const std::size_t bytes = std::min(static_cast<std::size_t>(to - from), end - at);
    CopyBytes(FCopy.get() + at, ring + from, bytes);
    pieces[pieceCount++] = {from, from + static_cast<std::int32_t>(bytes), at};
    at += bytes;
  };
  if (free > start) {
    copy(start, free);
  } else {
    // The ring has wrapped since this record: the rest of its lap, then the new lap up to Free.
    copy(start, areaEnd);
    if (pieceCount == 1 && pieces[0].RingEnd == areaEnd) copy(FBuffer.FBufStart, free);
  }
  return at - copyAt;
}

std::int32_t BufferReader::OldestListedAfterCopy(std::int32_t areaEnd) const noexcept {
  // The copy is read before the header below; the writer evicts a record (Count, First) before it
  // overwrites any byte of it.
  std::atomic_thread_fence(std::memory_order_acquire);
  const std::int32_t count = FBuffer.Load(&TBufferData::Count);
  std::atomic_thread_fence(std::memory_order_acquire);
  const std::int32_t next = FBuffer.Load(&TBufferData::RefNo);
  std::atomic_thread_fence(std::memory_order_acquire);
  const std::int32_t last = FBuffer.Load(&TBufferData::Last);
  // An append raises Count before RefNo, and between the two next - count is one below the oldest
  // listed record. Last is linked before both, so the newest record's own number tells: it is
  // next - 1 only when no append is half published.
  std::int32_t lastRefNo = next;
  if (FBuffer.ValidRecord(last, areaEnd))
    std::memcpy(&lastRefNo, FBuffer.RecordAt(last) + offsetof(TTraceRecord, RefNo), sizeof lastRefNo);
  return Minus(next, count) + (lastRefNo == Minus(next, 1) ? 0 : 1);
}

std::int32_t BufferReader::ReadNewerViews(std::int32_t after, std::vector<TraceLineView>& out) {
  out.clear();
  const std::int32_t areaEnd = FBuffer.AreaEnd();
  if (areaEnd == 0) return after;
  std::int32_t newest = PublishedNewest();
  if (newest < after) {  // the buffer was cleared: numbering starts again
    after = 0;
    FPlaceRefNo = FPlaceOffset = 0;
  }
  if (newest == after) return after;

  const std::int32_t blkSize = FBuffer.Load(&TBufferData::BlkSize);
  // Read once: the header's line changes with every append, and a look at it for every record
  // would take it from the writer each time.
  const double baseTime = FBuffer.BaseTime();
  const std::int32_t baseTicks = FBuffer.Load(&TBufferData::BaseTicks);
  const std::int32_t maxPayload = std::clamp(blkSize / 2 - KqRecordHeadSize, 0, areaEnd - FBuffer.FBufStart);
  // A text that fills the largest record the ring allows was, or may have been, cut there.
  const std::int32_t cutBytes = maxPayload / 2 * 2 - 2;
  // A run always holds a whole record behind the one it starts with.
  const std::size_t runBytes = std::max(RunBytes, static_cast<std::size_t>(maxPayload + KqRecordHeadSize) * 2 + 2);
  EnsureCopy(static_cast<std::size_t>(areaEnd - FBuffer.FBufStart) + 2 * runBytes);

  std::size_t used = 0;
  int oldestTries = 0;
  while (after < newest && used + runBytes <= FCopySize) {
    // From the last record read when it is known, else from the oldest one listed.
    const bool fromPlace = FPlaceOffset != 0 && FPlaceRefNo > 0 && FPlaceRefNo <= after;
    const std::int32_t start = fromPlace ? FPlaceOffset : FBuffer.Load(&TBufferData::First);
    if (!FBuffer.ValidRecord(start, areaEnd)) {
      if (fromPlace) {
        FPlaceOffset = 0;
        continue;
      }
      break;
    }
    Piece pieces[2];
    int pieceCount = 0;
    CopyRun(start, areaEnd, used, runBytes, pieces, pieceCount);
    const std::int32_t oldest = OldestListedAfterCopy(areaEnd);
    const unsigned char* record = InCopy(pieces, pieceCount, start, KqRecordHeadSize);
    TTraceRecord head{};
    if (record) std::memcpy(&head, record, sizeof head);
    // The run is whole when its first record was still listed after the copy.
    bool sound = record && head.RefNo >= oldest && head.RefNo <= newest;
    sound = sound && (fromPlace ? head.RefNo == FPlaceRefNo : FBuffer.Load(&TBufferData::First) == start);
    if (!sound) {
      if (fromPlace)
        FPlaceOffset = 0;  // evicted: go on from the oldest listed record, after a gap
      else if (++oldestTries >= OldestTries)
        break;
      newest = std::max(newest, PublishedNewest());
      continue;
    }
    if (pieceCount > 0)
      used = pieces[pieceCount - 1].CopyAt +
             static_cast<std::size_t>(pieces[pieceCount - 1].RingEnd - pieces[pieceCount - 1].RingStart);

    // Walk the copy along the links. The place record itself was shown before.
    std::int32_t offset = start;
    bool progressed = false;
    for (bool shown = fromPlace;; shown = false) {
      if (!shown) {
        if (head.RefNo > newest) break;
        if (head.Size < 0 || head.Size > maxPayload) break;  // a damaged head: stop short
        unsigned char* whole = InCopy(pieces, pieceCount, offset, KqRecordHeadSize + head.Size);
        if (!whole) break;  // runs past the copy: the next run starts here
        if (head.RefNo > after) {
          if (head.RefNo != after + 1) {
            // In 64 bits: numbers from the section can lie further apart than a 32-bit count holds.
            const std::int64_t missing = std::int64_t{head.RefNo} - after - 1;
            out.push_back(
                {true, after + 1, static_cast<std::int32_t>(std::min<std::int64_t>(missing, INT32_MAX)), 0, false, {}});
          }
          unsigned char* text = whole + KqRecordHeadSize;
          if (reinterpret_cast<std::uintptr_t>(text) & 1) {
            // An odd record size left the text unaligned: move it down over the head, already read.
            std::memmove(text - 1, text, static_cast<std::size_t>(head.Size));
            --text;
          }
          const auto* units = reinterpret_cast<const char16_t*>(text);
          const std::u16string_view view(units, TextUnits(units, static_cast<std::size_t>(head.Size) / 2));
          out.push_back({false, head.RefNo, 0, TIPCBuffer::TimeOf(head.Ticks, baseTime, baseTicks),
                         head.Size >= cutBytes, view, text, head.Size});
          after = head.RefNo;
        }
        FPlaceRefNo = head.RefNo;
        FPlaceOffset = offset;
        progressed = true;
      }
      if (head.RefNo >= newest) break;
      // A link goes to the record right behind, or at a lap's end to the area start.
      const std::int32_t next = head.Next;
      if (next != offset + KqRecordHeadSize + head.Size && next != FBuffer.FBufStart) break;
      const unsigned char* nextRecord = InCopy(pieces, pieceCount, next, KqRecordHeadSize);
      if (!nextRecord) break;
      const std::int32_t expected = head.RefNo + 1;
      std::memcpy(&head, nextRecord, sizeof head);
      if (head.RefNo != expected) break;
      offset = next;
    }
    // No step along the links: a damaged link, which stays until the writer evicts it (and the
    // next read goes on from the oldest listed record).
    if (!progressed) break;
    newest = std::max(newest, PublishedNewest());
  }
  return after;
}

std::int32_t BufferReader::ReadNewer(std::int32_t after, std::vector<TraceLine>& out) {
  after = ReadNewerViews(after, FViews);
  for (const TraceLineView& v : FViews)
    out.push_back({v.Gap, v.RefNo, v.Missing, v.Time, v.Cut, std::u16string(v.Text), v.Outcome()});
  return after;
}

}  // namespace kq
