#include "buffer_reader.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ipc_buffer.h"

namespace kq {

namespace {

// Bytes copied per run: small enough that the writer rarely evicts a run's first record while it is
// copied, even when the reader lags far behind a flood.
constexpr std::size_t RunBytes = 16 * 1024;
// Runs tried from the oldest listed record per read before the rest is left to the next read.
constexpr int OldestTries = 4;

#if defined(__SSE2__)

// Signed saturation packs two vectors of units into one of bytes in which only a NUL unit becomes a
// zero byte, in order: the least byte of a few packs tells whether their units hold a NUL, and one
// pack's zero bytes say which.
[[gnu::always_inline]] inline __m128i Load8(const char16_t* text, std::ptrdiff_t i) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
}
// Units i to i + 15 as bytes.
[[gnu::always_inline]] inline __m128i Pack16(const char16_t* text, std::ptrdiff_t i) noexcept {
  return _mm_packs_epi16(Load8(text, i), Load8(text, i + 8));
}
// Bit k set for each zero byte k.
[[gnu::always_inline]] inline unsigned Zeros(__m128i bytes) noexcept {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
}
// The first NUL at or after `from` (none before it), or `units`; 16 <= units.
std::size_t NulFrom(const char16_t* text, std::size_t from, std::size_t units) noexcept {
  for (; from + 16 <= units; from += 16)
    if (const unsigned nuls = Zeros(Pack16(text, static_cast<std::ptrdiff_t>(from))))
      return from + static_cast<std::size_t>(__builtin_ctz(nuls));
  if (from == units) return units;
  // The last 16 units, overlapping those found free of NULs already.
  const unsigned nuls = Zeros(Pack16(text + units - 16, 0));
  return nuls ? units - 16 + static_cast<std::size_t>(__builtin_ctz(nuls)) : units;
}

// The length of a text up to its first NUL, at most `units`. A text ends in the last units of its
// payload, at its own NUL or before an outcome's tail: the units before the last 16 are taken
// together without a branch (the last step overlapping the others) to show that they hold no NUL,
// and the last 16 say where it is. Should the body hold one, the exact search starts over.
std::size_t TextUnits(const char16_t* text, std::size_t units) noexcept {
  if (units < 48) {
    if (units >= 16) return NulFrom(text, 0, units);
    for (std::size_t i = 0; i < units; ++i)
      if (text[i] == 0) return i;
    return units;
  }
  const char16_t* const body = text + units - 16;
  auto least32 = [](const char16_t* at) { return _mm_min_epu8(Pack16(at, 0), Pack16(at, 16)); };
  __m128i least = least32(body - 32);
  const char16_t* at = text;
  for (; at < body - 64; at += 64) least = _mm_min_epu8(_mm_min_epu8(least32(at), least32(at + 32)), least);
  if (at < body - 32) least = _mm_min_epu8(least32(at), least);
  if (Zeros(least) != 0) return NulFrom(text, 0, units);
  // A bit past the 16 stands for "no NUL": the count then ends at `units`.
  return units - 16 + static_cast<unsigned>(__builtin_ctz(Zeros(Pack16(body, 0)) | 0x10000u));
}

#else

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

#endif

// Copies in fixed blocks, which compile to vector moves: as fast as the C library's copy for runs of
// this size, and counted for what they do by callgrind, which counts a string move byte by byte.
void CopyBytes(unsigned char* to, const unsigned char* from, std::size_t bytes) noexcept {
  constexpr std::size_t Block = 256;
  for (; bytes >= Block; bytes -= Block, to += Block, from += Block) std::memcpy(to, from, Block);
  std::memcpy(to, from, bytes);
}

// One field of a record head in the copy, where heads lie unaligned.
std::int32_t HeadField(const unsigned char* record, std::size_t at) noexcept {
  std::int32_t value;
  std::memcpy(&value, record + at, sizeof value);
  return value;
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
  const std::int32_t oldest = Minus(next, count);
  // At the top of the range (a damaged header) it stays there: nothing is listed above it.
  return lastRefNo == Minus(next, 1) || oldest == INT32_MAX ? oldest : oldest + 1;
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

  const std::int32_t bufStart = FBuffer.FBufStart;
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
    const int startPiece = PieceOf(pieces, pieceCount, start, KqRecordHeadSize);
    const std::int32_t startRefNo =
        startPiece >= 0 ? HeadField(PieceCopy(pieces[startPiece], start), offsetof(TTraceRecord, RefNo)) : 0;
    // The run is whole when its first record was still listed after the copy.
    bool sound = startPiece >= 0 && startRefNo >= oldest && startRefNo <= newest;
    sound = sound && (fromPlace ? startRefNo == FPlaceRefNo : FBuffer.Load(&TBufferData::First) == start);
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

    // Walk the copy along the links, within one piece of it at a time. A record behind the first
    // is numbered one past the one before it, which is below `newest`, so only the first needs the
    // check against `newest` above.
    const unsigned char* pieceEnd = PieceEnd(pieces[startPiece]);
    unsigned char* rec = PieceCopy(pieces[startPiece], start);
    std::int32_t offset = start;
    std::int32_t refNo = startRefNo;
    // A damaged head, or a record that runs past the copy (the next run starts there), stops the
    // walk short. (maxPayload is not negative, so the unsigned compare also refuses a negative size.)
    auto fits = [maxPayload](std::int32_t size, std::int32_t room) {
      return static_cast<std::uint32_t>(size) <= static_cast<std::uint32_t>(maxPayload) && size <= room;
    };
    // On to the next record when the link goes to the record right behind, or at a lap's end to the
    // area start, and that record lies whole in the copy with the next number; `size` is then its.
    auto step = [&](std::int32_t& size) {
      const std::int32_t next = HeadField(rec, offsetof(TTraceRecord, Next));
      unsigned char* to;
      const unsigned char* end = pieceEnd;
      if (next == offset + KqRecordHeadSize + size) {
        to = rec + KqRecordHeadSize + size;
      } else if (next == bufStart) {
        const int at = PieceOf(pieces, pieceCount, next, KqRecordHeadSize);
        if (at < 0) return false;
        end = PieceEnd(pieces[at]);
        to = PieceCopy(pieces[at], next);
      } else {
        return false;
      }
      // Room for the payload behind the head (a piece is never longer than the ring).
      const auto room = static_cast<std::int32_t>(end - to) - KqRecordHeadSize;
      if (room < 0 || HeadField(to, offsetof(TTraceRecord, RefNo)) != refNo + 1) return false;
      const std::int32_t nextSize = HeadField(to, offsetof(TTraceRecord, Size));
      if (!fits(nextSize, room)) return false;
      rec = to;
      pieceEnd = end;
      offset = next;
      ++refNo;
      size = nextSize;
      return true;
    };

    // Records read before (the place record, or those still listed from the last read) are stepped
    // over; they count as progress, all but the place record itself.
    int taken = fromPlace ? -1 : 0;
    std::int32_t size = HeadField(rec, offsetof(TTraceRecord, Size));
    bool newer = fits(size, static_cast<std::int32_t>(pieceEnd - rec) - KqRecordHeadSize);
    while (newer && refNo <= after) {
      FPlaceRefNo = refNo;
      FPlaceOffset = offset;
      ++taken;
      newer = refNo < newest && step(size);
    }
    if (newer) {
      if (refNo != after + 1) {
        // In 64 bits: numbers from the section can lie further apart than a 32-bit count holds.
        const std::int64_t missing = std::int64_t{refNo} - after - 1;
        out.push_back(
            {true, after + 1, static_cast<std::int32_t>(std::min<std::int64_t>(missing, INT32_MAX)), 0, false, {}});
      }
      // A step that fails leaves the walk on the last record shown.
      do {
        unsigned char* text = rec + KqRecordHeadSize;
        if (reinterpret_cast<std::uintptr_t>(text) & 1) {
          // An odd record size left the text unaligned: move it down over the head, already read.
          std::memmove(text - 1, text, static_cast<std::size_t>(size));
          --text;
        }
        const auto* units = reinterpret_cast<const char16_t*>(text);
        const std::u16string_view view(units, TextUnits(units, static_cast<std::size_t>(size) / 2));
        const std::int32_t ticks = HeadField(rec, offsetof(TTraceRecord, Ticks));
        // Built in place (a braced temporary would be built, then copied in).
        TraceLineView& line = out.emplace_back();
        line.RefNo = refNo;
        line.Time = TIPCBuffer::TimeOf(ticks, baseTime, baseTicks);
        line.Cut = size >= cutBytes;
        line.Text = view;
        line.Payload = text;
        line.PayloadBytes = size;
      } while (refNo < newest && step(size));
      after = refNo;
      FPlaceRefNo = refNo;
      FPlaceOffset = offset;
      taken = 1;
    }
    // No step along the links: a damaged link, which stays until the writer evicts it (and the
    // next read goes on from the oldest listed record).
    if (taken <= 0) break;
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
