#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__) && !defined(__SANITIZE_THREAD__)
#include <emmintrin.h>
#endif

#include "platform.h"
#include "record_outcome.h"
#include "shared_mem.h"
#include "text_file.h"

namespace kq {

inline constexpr std::u16string_view KqBufferName = u"KqBuffer";

// Header of the section "KqBuffer". Written by the client that appends and by the monitor (view
// settings, spool path, time base, cursor); every offset is a byte offset from the section start,
// 0 meaning none. The natural layout has no padding, so the struct is the wire layout.
struct TBufferData {
  std::int32_t BufSize;  // record-area size, a whole number of blocks
  std::int32_t First;    // oldest record; equals Free when empty
  std::int32_t Last;     // newest record; 0 when empty
  std::int32_t Free;     // where the next record goes
  std::int32_t BufEnd;   // end (exclusive) of the write window
  std::int32_t Count;
  std::int32_t RefNo;  // reference number of the next record
  std::int32_t Blocks;
  std::int32_t BlkSize;
  std::int32_t CurPtr;   // views' shared cursor: record offset ...
  std::int32_t CurItem;  // ... and its index; -2 when invalid
  std::int32_t Reserved1;
  double BaseTime;  // local date-time of the base mark
  std::int32_t BaseTicks;
  std::uint8_t UseRefNo;
  std::uint8_t UseTime;
  std::uint8_t Reserved2[2];
  std::int32_t LastUpdate;
  char16_t SpoolFile[261];
  std::uint8_t Reserved3[2];
};
using PBufferData = TBufferData*;

static_assert(sizeof(TBufferData) == 592);
static_assert(offsetof(TBufferData, BufSize) == 0);
static_assert(offsetof(TBufferData, First) == 4);
static_assert(offsetof(TBufferData, Last) == 8);
static_assert(offsetof(TBufferData, Free) == 12);
static_assert(offsetof(TBufferData, BufEnd) == 16);
static_assert(offsetof(TBufferData, Count) == 20);
static_assert(offsetof(TBufferData, RefNo) == 24);
static_assert(offsetof(TBufferData, Blocks) == 28);
static_assert(offsetof(TBufferData, BlkSize) == 32);
static_assert(offsetof(TBufferData, CurPtr) == 36);
static_assert(offsetof(TBufferData, CurItem) == 40);
static_assert(offsetof(TBufferData, BaseTime) == 48);
static_assert(offsetof(TBufferData, BaseTicks) == 56);
static_assert(offsetof(TBufferData, UseRefNo) == 60);
static_assert(offsetof(TBufferData, UseTime) == 61);
static_assert(offsetof(TBufferData, LastUpdate) == 64);
static_assert(offsetof(TBufferData, SpoolFile) == 68);
static_assert(offsetof(TBufferData, Reserved3) == 590);

// Head of a trace record; the payload (a NUL-terminated UTF-16 text of Size bytes) follows it.
// Records lie back to back, so a head is in general unaligned: copy it in and out with memcpy.
struct TTraceRecord {
  std::int32_t Prev;
  std::int32_t Next;
  std::int32_t Size;
  std::int32_t RefNo;
  std::int32_t Ticks;
};
static_assert(sizeof(TTraceRecord) == 20);
static_assert(offsetof(TTraceRecord, Prev) == 0);
static_assert(offsetof(TTraceRecord, Next) == 4);
static_assert(offsetof(TTraceRecord, Size) == 8);
static_assert(offsetof(TTraceRecord, RefNo) == 12);
static_assert(offsetof(TTraceRecord, Ticks) == 16);

inline constexpr std::int32_t KqRecordHeadSize = sizeof(TTraceRecord);
inline constexpr std::int32_t KqSpoolFileMax = 260;  // characters of SpoolFile before its NUL
// Smallest block Create accepts: half a block, the largest record, then holds a head and a text of
// 14 characters with its NUL.
inline constexpr std::int32_t KqMinBlockSize = 100;
inline constexpr std::int32_t KqMaxLineLength = 32766;
// Blocks of every ring the client and the monitor make: the protocol fixes the number.
inline constexpr std::int32_t KqBufferBlocks = 4;

// The shared trace buffer: a ring of variable-length records in the section "KqBuffer", reclaimed a
// block at a time, with evicted records spooled to a text file; and its reading side (records by
// index through a cursor kept in the header, columns, lines, saving). The client process appends;
// the monitor process reads and sets the view settings. No lock: calls of Add must not overlap, and
// the views serve one reader at a time. Nothing read from the section is trusted: offsets are checked
// against this process's mapping before they are followed.
class TIPCBuffer {
 public:
  // Creates or opens "KqBuffer" with the record area `size` rounded up to whole blocks. Only the
  // creator writes the header. Blocks below 2, blocks under KqMinBlockSize bytes and sizes past the
  // 32-bit range raise message 35599 with the invalid-parameter code, before anything is opened.
  TIPCBuffer(std::int32_t size, std::int32_t blocks);
  // The same ring under another section name (a client's private ring, which has the same layout).
  TIPCBuffer(std::u16string_view name, std::int32_t size, std::int32_t blocks);
  ~TIPCBuffer();
  TIPCBuffer(const TIPCBuffer&) = delete;
  TIPCBuffer& operator=(const TIPCBuffer&) = delete;

  void Clear(bool spool);
  // Appends one record. A payload whose record would pass BlkSize div 2 bytes is cut at a code-unit
  // boundary, without splitting a surrogate pair, and ended with a NUL. Raises EKqError when the
  // header is inconsistent (nothing is written), or when the spool file cannot be closed.
  void Add(const void* data, std::int32_t size);
  // Appends a statement of `units` UTF-16 units: the text, a NUL written here (the caller's text
  // need not have one), then the outcome's tail when there is one. A record that would pass the limit
  // loses text, never the tail (see record_outcome.h). Raises as Add does.
  [[gnu::always_inline]] void AddStatement(const char16_t* text, std::int32_t units,
                                           const TOutcomeTail* outcome = nullptr) {
    if (!text) {
      text = u"";
      units = 0;
    }
    if (units < 0 || !AppendKnown(text, units, outcome)) AppendChecked(text, units, outcome);
  }
  void MarkBaseTime();

  // Views. An index outside 0 .. Count - 1, or a record that cannot be reached safely, raises
  // ESilentAbort. Data points into the section until the record is evicted.
  std::int32_t Count() const;
  // The header's record-area size, as the section's creator wrote it.
  std::int32_t BufSize() const;
  const void* Data(std::int32_t index);
  // The outcome carried behind the record's text, if any (see record_outcome.h); Data, LineData,
  // ColItem, SaveToFile and the spool file show the text alone.
  std::optional<TRecordOutcome> Outcome(std::int32_t index);
  std::u16string LineData(std::int32_t index);
  std::u16string ColItem(std::int32_t index, std::int32_t col);
  std::int32_t RefNo(std::int32_t index);
  double TimeStamp(std::int32_t index);
  std::int32_t LastUpdate() const;
  std::u16string SpoolFile() const;
  // True while the header names a spool file. A client that finds a link, a device or another
  // user's file there (see TextFile) empties the path, which stops spooling.
  bool SpoolOn() const noexcept;
  void SetSpoolFile(std::u16string_view path);
  void SetUseRefNo(bool value);
  void SetUseTime(bool value);
  // Writes every record as a formatted line, oldest first; an empty buffer touches no file. Raises
  // EKqError with the platform's code when the file cannot be created, written or closed.
  void SaveToFile(std::u16string_view fileName);

  const TSharedMem& SharedMem() const noexcept { return FSharedMem; }

 private:
  // The reading side against a live writer lives in its own class but shares the header's rules.
  friend class BufferReader;
  static constexpr std::int32_t InvalidCursor = -2;
  // The header's first nine fields, read once for one append.
  struct HeaderFields {
    std::int32_t BufSize, First, Last, Free, BufEnd, Count, RefNo, Blocks, BlkSize;
    bool operator==(const HeaderFields&) const = default;
  };
  static constexpr double MsPerDay = 86400000.0;

  // A record that SeekItem reached, with its head and the area end it was checked against.
  struct RecordRef {
    std::int32_t Offset;
    std::int32_t AreaEnd;
    TTraceRecord Head;
  };

  // Header fields are single aligned accesses shared with another process: atomic_ref keeps the
  // compiler from tearing or caching them; the fences in Add and the readers order the records.
  std::int32_t Load(std::int32_t TBufferData::*field) const noexcept {
    return std::atomic_ref<std::int32_t>(F->*field).load(std::memory_order_relaxed);
  }
  void Store(std::int32_t TBufferData::*field, std::int32_t value) noexcept {
    std::atomic_ref<std::int32_t>(F->*field).store(value, std::memory_order_relaxed);
  }
  bool UseRefNo() const noexcept;
  bool UseTime() const noexcept;
  // The append behind Add and AddStatement: `size` bytes of `data`, then a NUL when `ownNul`, then
  // the outcome's tail.
  void Append(const void* data, std::int32_t size, bool ownNul, const TOutcomeTail* outcome);
  // The statement path's common case, for a header exactly as this object's last append left it: the
  // record fits the window and the limit as it stands. False, with nothing written, otherwise. Inline
  // (below) into the statement call: it is most of a statement's cost, and a plain statement's copy
  // then loses every branch on the outcome.
  [[gnu::always_inline]] bool AppendKnown(const char16_t* text, std::int32_t units,
                                          const TOutcomeTail* outcome) noexcept;
  // Whether the header's first nine fields read as FKnown.
  bool HeaderIsKnown() const noexcept;
  // Every other statement, through Append.
  void AppendChecked(const char16_t* text, std::int32_t units, const TOutcomeTail* outcome);
  HeaderFields LoadHeader() const noexcept;

  unsigned char* RecordAt(std::int32_t offset) const noexcept {
    return static_cast<unsigned char*>(FSharedMem.Buffer()) + offset;
  }
  // End of the record area when the header's BufSize fits this mapping, else 0 (nothing is valid).
  std::int32_t AreaEnd() const noexcept;
  bool ValidRecord(std::int32_t offset, std::int32_t areaEnd) const noexcept;
  TTraceRecord ReadHead(std::int32_t offset) const noexcept;
  std::u16string RecordText(std::int32_t offset, const TTraceRecord& head, std::int32_t areaEnd) const;
  // Bound on list walks: no list can hold more records than this.
  std::int32_t MaxRecords(std::int32_t areaEnd) const noexcept;

  // Moves the window on by one block (wrapping to the first block past the end) and evicts the
  // previous lap's records that start in it; takes and updates the caller's checked snapshot.
  void ReclaimBlock(std::int32_t& bufEnd, std::int32_t& free, std::int32_t blkSize, std::int32_t areaEnd);
  bool DropOldest(bool spooling, std::int32_t areaEnd);
  // Evicts the previous lap's records that start in `block` from this object's own account of
  // them; false (nothing done) when the account does not match the header.
  bool EvictByTally(std::int32_t block, bool lastBlock) noexcept;
  // Notes a record this object wrote at `offset`, and what the header says after it.
  void Tally(std::int32_t offset, std::int32_t blkSize, std::int32_t blocks, std::int32_t nextFree,
             std::int32_t nextRefNo) noexcept;
  // A new lap of this object's own appends begins at the area start.
  void StartLap() noexcept;
  bool OpenSpool();
  // 0 or the platform's error code.
  int CloseSpool();
  void SpoolRecord(std::int32_t offset, const TTraceRecord& head, std::int32_t areaEnd);

  RecordRef SeekItem(std::int32_t index);
  double RecordTime(const TTraceRecord& head) const noexcept;
  double BaseTime() const noexcept;
  // The date-time of a record stamped `ticks`, against the time base. Inline: the reader takes it
  // for every record.
  static double TimeOf(std::int32_t ticks, double baseTime, std::int32_t baseTicks) noexcept {
    // Wrapping subtraction: a counter that wrapped since the base mark still gives the elapsed time.
    auto elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks) - static_cast<std::uint32_t>(baseTicks));
    return baseTime + elapsed / MsPerDay;
  }
  std::u16string FormatLine(std::int32_t offset, const TTraceRecord& head, std::int32_t areaEnd) const;

  TSharedMem FSharedMem;
  PBufferData F = nullptr;
  std::int32_t FBufStart = sizeof(TBufferData);
  // Bytes of the section this process may touch: its mapping, capped to the 32-bit offset range.
  std::int32_t FLimit = 0;
  TextFile SPFile;
  bool FSpoolError = false;
  // The writer's own account of the records it appended, by block: where the first one to start in
  // each block lies and how many start there, for the lap being written ([0]) and the one before
  // ([1]). Taking in a block then evicts the previous lap's records in it without reading each of
  // them (a dependent read of memory per record). An account is whole only when this object wrote
  // every record of its lap from the lap's start; any other writer (seen as a header that is not
  // as this object's last append left it) spoils it, and the eviction walks the list as before.
  struct LapTally {
    std::vector<std::int32_t> First;
    std::vector<std::int32_t> Records;
    bool Whole = false;
  };
  LapTally FLap[2];
  std::int32_t FTallyBlocks = 0;  // the size of each account, fixed at construction (0: none kept)
  std::int32_t FNextFree = -1;    // Free and RefNo as this object's last append left them
  std::int32_t FNextRefNo = -1;
  // The header's first nine fields as this object's last append left them, each checked then. A header
  // that still reads so needs no check again: every value in it was sound when this object wrote it,
  // and any other writer (a repair, a scribble) shows as a difference and gets the whole check. Only
  // while FKnownSound: before the first append and after a clear there is nothing to compare with
  // (a header of zeros must not pass for the zeros FKnown starts with).
  HeaderFields FKnown{};
  bool FKnownSound = false;
  // The largest payload FKnown.BlkSize allows, and the most text units a record of it holds; 0 while
  // not FKnownSound, which AppendKnown relies on (no record fits) to need no look at the flag.
  std::int32_t FKnownMaxPayload = 0;
  std::int32_t FKnownMaxUnits = 0;
  std::u16string FTimeSeparator;
};

inline void TIPCBuffer::Tally(std::int32_t offset, std::int32_t blkSize, std::int32_t blocks, std::int32_t nextFree,
                              std::int32_t nextRefNo) noexcept {
  FNextFree = nextFree;
  FNextRefNo = nextRefNo;
  LapTally& lap = FLap[0];
  if (blocks != FTallyBlocks) {
    lap.Whole = FLap[1].Whole = false;
    return;
  }
  const std::int32_t block = (offset - FBufStart) / blkSize;
  if (static_cast<std::uint32_t>(block) >= static_cast<std::uint32_t>(FTallyBlocks)) return;
  if (lap.Records[static_cast<std::size_t>(block)]++ == 0) lap.First[static_cast<std::size_t>(block)] = offset;
}

inline bool TIPCBuffer::HeaderIsKnown() const noexcept {
  static_assert(sizeof(HeaderFields) == 36 && offsetof(TBufferData, BlkSize) == 32);
#if defined(__SSE2__) && !defined(__SANITIZE_THREAD__)
  // Two 16-byte compares and one field. The loads need no atomicity: a torn read that still matches
  // every byte is the known header, and everything used afterwards is this object's own copy.
  const auto* header = reinterpret_cast<const unsigned char*>(F);
  const auto* known = reinterpret_cast<const unsigned char*>(&FKnown);
  const __m128i low = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(header)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(known)));
  const __m128i high = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(header + 16)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(known + 16)));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(low, high), _mm_setzero_si128())) == 0xFFFF &&
         Load(&TBufferData::BlkSize) == FKnown.BlkSize;
#else
  return Load(&TBufferData::Free) == FKnown.Free && Load(&TBufferData::Last) == FKnown.Last &&
         Load(&TBufferData::BufEnd) == FKnown.BufEnd && Load(&TBufferData::RefNo) == FKnown.RefNo &&
         Load(&TBufferData::Count) == FKnown.Count && Load(&TBufferData::First) == FKnown.First &&
         Load(&TBufferData::BlkSize) == FKnown.BlkSize && Load(&TBufferData::Blocks) == FKnown.Blocks &&
         Load(&TBufferData::BufSize) == FKnown.BufSize;
#endif
}

inline bool TIPCBuffer::AppendKnown(const char16_t* text, std::int32_t units, const TOutcomeTail* outcome) noexcept {
  if (!HeaderIsKnown()) return false;
  // Every value is as sound as when this object wrote it: the window lies in the area, Last is a
  // record of it, the block size is the ring's. Only the record's size is left to check.
  // Half a block at most (FKnownMaxPayload is that of BlkSize): with this bound no sum below leaves
  // the 32-bit range.
  if (units > FKnownMaxUnits) return false;
  const std::int32_t tailBytes = outcome ? outcome->Bytes() : 0;
  const std::int32_t payload = units * 2 + 2 + tailBytes;
  if (payload > FKnownMaxPayload || payload + KqRecordHeadSize > FKnown.BufEnd - FKnown.Free) return false;

  // The two calls first, with little held across them; what follows reads this object's copy again.
  const auto ticks = static_cast<std::int32_t>(TickCount());
  unsigned char* const at = RecordAt(FKnown.Free) + KqRecordHeadSize;
  std::memcpy(at, text, static_cast<std::size_t>(units) * 2);
  const char16_t nul = 0;
  std::memcpy(at + static_cast<std::size_t>(units) * 2, &nul, 2);
  if (outcome) outcome->WriteTo(at + static_cast<std::size_t>(units) * 2 + 2, outcome->MessageUnits);

  const std::int32_t free = FKnown.Free, last = FKnown.Last, refNo = FKnown.RefNo;
  unsigned char* const record = RecordAt(free);
  // Field by field: a head built on the stack and copied costs twice the stores.
  const std::int32_t next = 0;
  std::memcpy(record + offsetof(TTraceRecord, Prev), &last, 4);
  std::memcpy(record + offsetof(TTraceRecord, Next), &next, 4);
  std::memcpy(record + offsetof(TTraceRecord, Size), &payload, 4);
  std::memcpy(record + offsetof(TTraceRecord, RefNo), &refNo, 4);
  std::memcpy(record + offsetof(TTraceRecord, Ticks), &ticks, 4);
  if (last != 0) std::memcpy(RecordAt(last) + offsetof(TTraceRecord, Next), &free, sizeof free);
  const std::int32_t nextFree = free + payload + KqRecordHeadSize;
  const auto nextRefNo = static_cast<std::int32_t>(static_cast<std::uint32_t>(refNo) + 1);
  const auto nextCount = static_cast<std::int32_t>(static_cast<std::uint32_t>(FKnown.Count) + 1);
  Tally(free, FKnown.BlkSize, FKnown.Blocks, nextFree, nextRefNo);
  FKnown.Last = free;
  FKnown.Free = nextFree;
  FKnown.Count = nextCount;
  FKnown.RefNo = nextRefNo;
  // The record is complete and linked before the header makes it reachable.
  std::atomic_thread_fence(std::memory_order_release);
  // Through one copy of F: the compiler would read the member again after each atomic store.
  TBufferData* const header = F;
  std::atomic_ref<std::int32_t>(header->Last).store(free, std::memory_order_relaxed);
  std::atomic_ref<std::int32_t>(header->Free).store(nextFree, std::memory_order_relaxed);
  std::atomic_ref<std::int32_t>(header->Count).store(nextCount, std::memory_order_relaxed);
  std::atomic_ref<std::int32_t>(header->RefNo).store(nextRefNo, std::memory_order_relaxed);
  std::atomic_ref<std::int32_t>(header->LastUpdate).store(ticks, std::memory_order_relaxed);
  return true;
}

}  // namespace kq
