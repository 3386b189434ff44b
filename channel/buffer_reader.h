#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record_outcome.h"

namespace kq {

class TIPCBuffer;
struct TTraceRecord;

// One record read from the trace buffer, or a run of records that were evicted before they could be read.
struct TraceLine {
  bool Gap = false;
  std::int32_t RefNo = 0;    // of the record; of the first missing one for a gap
  std::int32_t Missing = 0;  // records in a gap
  double Time = 0;           // local date-time of the record (days since 1899-12-30)
  bool Cut = false;          // the text reached the ring's record limit and may have been cut there
  std::u16string Text;       // the statement's text, up to its NUL (never the outcome behind it)
  // What the statement did, when the client sent its outcome; the record's time is then its end.
  std::optional<TRecordOutcome> Outcome;
};

// The same, with the text left in the reader's copy of the ring: valid until the reader's next read.
struct TraceLineView {
  bool Gap = false;
  std::int32_t RefNo = 0;
  std::int32_t Missing = 0;
  double Time = 0;
  bool Cut = false;
  std::u16string_view Text;
  // The whole payload (text, NUL, and an outcome's tail if any), in the reader's copy like Text.
  const unsigned char* Payload = nullptr;
  std::int32_t PayloadBytes = 0;

  // Parsed on demand, so that reading costs nothing for records nobody asks about.
  std::optional<TRecordOutcome> Outcome() const {
    return Payload ? ParseOutcome(Payload, static_cast<std::size_t>(PayloadBytes)) : std::nullopt;
  }
};

// The reading side of a live ring: reads the records of one TIPCBuffer that another process appends
// to and evicts from while we read, without ever making it wait. It copies a run of records out of
// the ring in one pass, then checks once, against the header, that the run's oldest record was
// still listed after the copy: the writer evicts oldest first and only then overwrites, so the whole
// run is then intact, and a run that fails the check is never shown (it is read again, or reported
// as a gap once its records are gone). Records that left unread are reported as gaps, with their
// exact count. It keeps its own place in the ring and leaves the views' shared cursor alone. One
// reader per buffer at a time.
class BufferReader {
 public:
  explicit BufferReader(TIPCBuffer& buffer) noexcept;
  ~BufferReader();
  BufferReader(const BufferReader&) = delete;
  BufferReader& operator=(const BufferReader&) = delete;

  // Appends to `out`, oldest first, every record newer than reference number `after` that can be read
  // now, with a gap line for each run that was evicted unread. Returns the reference number of the last
  // record accounted for (`after` when nothing new; numbering restarts at 0 when the buffer was cleared).
  // On any doubt about a record it stops short: the next call picks up from the returned number.
  [[nodiscard]] std::int32_t ReadNewer(std::int32_t after, std::vector<TraceLine>& out);
  // The same into views (`out` is cleared first), without allocating once `out` has grown: the texts
  // stay valid until the next read.
  [[nodiscard]] std::int32_t ReadNewerViews(std::int32_t after, std::vector<TraceLineView>& out);
  // True when the writer has published a record newer than `after` (or cleared the buffer).
  [[nodiscard]] bool HasNewer(std::int32_t after) const noexcept;

 private:
  // One contiguous stretch of the ring and where its copy starts.
  struct Piece {
    std::int32_t RingStart = 0;
    std::int32_t RingEnd = 0;
    std::size_t CopyAt = 0;
  };

  // Copies at most `budget` bytes of the run that starts at the record at `start`, up to the
  // writer's Free (over the lap's end when the ring has wrapped since), into FCopy from `copyAt`.
  // Returns the bytes used; fills `pieces`.
  std::size_t CopyRun(std::int32_t start, std::int32_t areaEnd, std::size_t copyAt, std::size_t budget,
                      Piece (&pieces)[2], int& pieceCount) noexcept;
  // The newest record's number, with everything up to it visible.
  std::int32_t PublishedNewest() const noexcept;
  // After a copy: a reference number at or above the oldest listed one, such that a record whose
  // number is at least this was still listed when the copy ended.
  std::int32_t OldestListedAfterCopy(std::int32_t areaEnd) const noexcept;
  // The piece that holds `bytes` bytes at ring offset `offset` whole, or -1.
  static int PieceOf(const Piece (&pieces)[2], int pieceCount, std::int32_t offset, std::int32_t bytes) noexcept {
    for (int i = 0; i < pieceCount; ++i)
      if (offset >= pieces[i].RingStart && bytes <= pieces[i].RingEnd - offset) return i;
    return -1;
  }
  // Where ring offset `offset`, inside `piece`, lies in the copy; and where the piece's copy ends.
  unsigned char* PieceCopy(const Piece& piece, std::int32_t offset) const noexcept {
    return FCopy.get() + piece.CopyAt + static_cast<std::size_t>(offset - piece.RingStart);
  }
  const unsigned char* PieceEnd(const Piece& piece) const noexcept { return PieceCopy(piece, piece.RingEnd); }
  void EnsureCopy(std::size_t bytes);

  TIPCBuffer& FBuffer;
  std::unique_ptr<unsigned char[]> FCopy;
  std::size_t FCopySize = 0;
  // The last record read and where it lies: the next run starts by copying it again, for its Next.
  std::int32_t FPlaceRefNo = 0;
  std::int32_t FPlaceOffset = 0;
  std::vector<TraceLineView> FViews;  // for ReadNewer
};

}  // namespace kq
