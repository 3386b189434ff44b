#include "ipc_buffer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "handled_object.h"
#include "kq_error.h"
#include "kqconsts.h"
#include "platform.h"
#include "record_outcome.h"
#include "text.h"
#include "time_text.h"

namespace kq {

namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

char16_t UnitAt(const void* data, std::size_t index) {
  char16_t u;
  std::memcpy(&u, static_cast<const unsigned char*>(data) + index * 2, 2);
  return u;
}

// The section size for a request, or message 35599 with the invalid-parameter code for a ring that
// could not hold together: checked before anything is opened.
std::int32_t CheckedSectionSize(std::u16string_view name, std::int32_t size, std::int32_t blocks) {
  if (blocks < 2 || size <= 0) RaiseCreateError(SKqSharedMemError, name, InvalidParameterCode());
  std::int64_t rounded = (static_cast<std::int64_t>(size) + blocks - 1) / blocks * blocks;
  if (rounded / blocks < KqMinBlockSize || rounded + static_cast<std::int64_t>(sizeof(TBufferData)) > INT32_MAX)
    RaiseCreateError(SKqSharedMemError, name, InvalidParameterCode());
  return static_cast<std::int32_t>(rounded + static_cast<std::int64_t>(sizeof(TBufferData)));
}

[[noreturn]] void RaiseDamaged() {
  throw EKqError(FormatKq(u"Trace buffer header inconsistent with its section: %s [%d]",
                          {KqBufferName, static_cast<std::int64_t>(InvalidParameterCode())}),
                 InvalidParameterCode());
}

[[noreturn]] void RaiseIoError(std::u16string_view fileName, int code) {
  throw EKqError(FormatKq(u"I/O error on file: %s [%d]", {fileName, static_cast<std::int64_t>(code)}), code);
}

void AppendDecimal(std::u16string& out, std::int32_t value) {
  char16_t digits[12];
  std::size_t n = 0;
  std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  do {
    digits[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[n++] = u'-';
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

TIPCBuffer::TIPCBuffer(std::int32_t size, std::int32_t blocks) : TIPCBuffer(KqBufferName, size, blocks) {}

TIPCBuffer::TIPCBuffer(std::u16string_view name, std::int32_t size, std::int32_t blocks)
    : FSharedMem(name, CheckedSectionSize(name, size, blocks)),
      F(static_cast<PBufferData>(FSharedMem.Buffer())),
      FLimit(static_cast<std::int32_t>(std::min<std::size_t>(FSharedMem.MappedSize(), INT32_MAX))),
      FTimeSeparator(LocaleTimeSeparator()) {
  // The account has a place per block, made now: an append allocates nothing.
  const std::int32_t tallyBlocks = FSharedMem.Created() ? blocks : Load(&TBufferData::Blocks);
  if (tallyBlocks >= 2 && tallyBlocks <= 4096) {
    FTallyBlocks = tallyBlocks;
    for (LapTally& lap : FLap) {
      lap.First.assign(static_cast<std::size_t>(tallyBlocks), 0);
      lap.Records.assign(static_cast<std::size_t>(tallyBlocks), 0);
    }
  }
  // An opener leaves the header as its creator wrote it; its size decides only what is mapped.
  if (FSharedMem.Created()) {
    std::int32_t bufSize = FSharedMem.Size() - FBufStart;
    Store(&TBufferData::BufSize, bufSize);
    Store(&TBufferData::Blocks, blocks);
    Store(&TBufferData::BlkSize, bufSize / blocks);
    MarkBaseTime();
    Clear(false);
  } else if (Load(&TBufferData::Count) == 0 && Load(&TBufferData::Free) == FBufStart) {
    // An empty ring (the monitor makes the section before it asks the client to attach): this
    // object's first append starts a lap of its own.
    FNextFree = FBufStart;
    FNextRefNo = Load(&TBufferData::RefNo);
    StartLap();
  }
}

TIPCBuffer::~TIPCBuffer() = default;

bool TIPCBuffer::UseRefNo() const noexcept {
  return std::atomic_ref<std::uint8_t>(F->UseRefNo).load(std::memory_order_relaxed) != 0;
}

bool TIPCBuffer::UseTime() const noexcept {
  return std::atomic_ref<std::uint8_t>(F->UseTime).load(std::memory_order_relaxed) != 0;
}

std::int32_t TIPCBuffer::AreaEnd() const noexcept {
  std::int32_t bufSize = Load(&TBufferData::BufSize);
  if (bufSize <= 0 || bufSize > FLimit - FBufStart) return 0;
  return FBufStart + bufSize;
}

bool TIPCBuffer::ValidRecord(std::int32_t offset, std::int32_t areaEnd) const noexcept {
  return offset >= FBufStart && offset <= areaEnd - KqRecordHeadSize;
}

std::int32_t TIPCBuffer::MaxRecords(std::int32_t areaEnd) const noexcept {
  return areaEnd > FBufStart ? (areaEnd - FBufStart) / KqRecordHeadSize : 0;
}

TTraceRecord TIPCBuffer::ReadHead(std::int32_t offset) const noexcept {
  TTraceRecord head;
  std::memcpy(&head, RecordAt(offset), sizeof head);
  return head;
}

std::u16string TIPCBuffer::RecordText(std::int32_t offset, const TTraceRecord& head, std::int32_t areaEnd) const {
  std::int32_t room = areaEnd - offset - KqRecordHeadSize;
  std::int32_t bytes = std::clamp(head.Size, 0, std::max(room, 0));
  std::u16string text(static_cast<std::size_t>(bytes / 2), u'\0');
  std::memcpy(text.data(), RecordAt(offset) + KqRecordHeadSize, text.size() * 2);
  if (std::size_t nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
  return text;
}

void TIPCBuffer::MarkBaseTime() {
  std::atomic_ref<double>(F->BaseTime).store(NowDateTime(), std::memory_order_relaxed);
  Store(&TBufferData::BaseTicks, static_cast<std::int32_t>(TickCount()));
}

void TIPCBuffer::Clear(bool spool) {
  int closeError = 0;
  if (spool && OpenSpool()) {
    std::int32_t areaEnd = AreaEnd();
    if (Load(&TBufferData::Count) > 0) {
      std::int32_t first = Load(&TBufferData::First);
      for (std::int32_t steps = MaxRecords(areaEnd); first != 0 && steps > 0; --steps) {
        if (!ValidRecord(first, areaEnd)) break;
        TTraceRecord head = ReadHead(first);
        SpoolRecord(first, head, areaEnd);
        first = head.Next;
        Store(&TBufferData::First, first);
      }
    }
    closeError = CloseSpool();
  }
  // Emptied even when the spool file failed to close, so that First and Count agree.
  Store(&TBufferData::Free, FBufStart);
  Store(&TBufferData::First, FBufStart);
  // Wrapping, as the field's 32 bits would: a BufSize that does not fit makes every later Add refuse.
  Store(&TBufferData::BufEnd, static_cast<std::int32_t>(static_cast<std::uint32_t>(Load(&TBufferData::BufSize)) +
                                                        static_cast<std::uint32_t>(FBufStart)));
  Store(&TBufferData::Last, 0);
  Store(&TBufferData::Count, 0);
  Store(&TBufferData::CurItem, InvalidCursor);
  Store(&TBufferData::LastUpdate, 0);
  Store(&TBufferData::RefNo, 1);
  StartLap();
  FLap[1].Whole = false;
  FNextFree = FBufStart;
  FNextRefNo = 1;
  FKnownSound = false;
  FKnownMaxPayload = 0;
  FKnownMaxUnits = 0;
  if (closeError != 0) RaiseIoError(SpoolFile(), closeError);
}

void TIPCBuffer::Add(const void* data, std::int32_t size) { Append(data, size, false, nullptr); }

void TIPCBuffer::AppendChecked(const char16_t* text, std::int32_t units, const TOutcomeTail* outcome) {
  // Longer texts are cut to the ring's limit anyway; the bound keeps their byte count in range.
  units = std::clamp(units, 0, (INT32_MAX - 2 - KqOutcomeMaxBytes) / 2);
  Append(text, units * 2, true, outcome);
}

TIPCBuffer::HeaderFields TIPCBuffer::LoadHeader() const noexcept {
  return {Load(&TBufferData::BufSize), Load(&TBufferData::First),  Load(&TBufferData::Last),
          Load(&TBufferData::Free),    Load(&TBufferData::BufEnd), Load(&TBufferData::Count),
          Load(&TBufferData::RefNo),   Load(&TBufferData::Blocks), Load(&TBufferData::BlkSize)};
}

void TIPCBuffer::Append(const void* data, std::int32_t size, bool ownNul, const TOutcomeTail* outcome) {
  if (size < 0 || data == nullptr) size = 0;
  // One snapshot of the header, checked against the mapping: everything below stays inside the
  // record area, whatever another process wrote.
  HeaderFields h = LoadHeader();
  if (!FKnownSound || !(h == FKnown)) [[unlikely]] {
    // BufSize is checked against the mapping before the area end is formed from it.
    if (h.BufSize <= 0 || h.BufSize > FLimit - FBufStart) RaiseDamaged();
    const std::int32_t end = FBufStart + h.BufSize;
    if (h.Blocks < 2 || h.BlkSize / 2 < KqRecordHeadSize + 2 ||
        static_cast<std::int64_t>(h.BlkSize) * h.Blocks != h.BufSize || h.Free < FBufStart || h.Free > h.BufEnd ||
        h.BufEnd > end || h.First < FBufStart || h.First > end || (h.Last != 0 && !ValidRecord(h.Last, end)) ||
        h.Count < 0 || static_cast<std::int64_t>(h.Count) * KqRecordHeadSize > h.BufSize)
      RaiseDamaged();
    // Someone else appended or cleared since our last append: our account of the laps is no longer
    // the ring's.
    if (h.Free != FNextFree || h.RefNo != FNextRefNo) FLap[0].Whole = FLap[1].Whole = false;
  }
  const std::int32_t bufSize = h.BufSize;
  const std::int32_t blocks = h.Blocks;
  const std::int32_t blkSize = h.BlkSize;
  const std::int32_t last = h.Last;
  std::int32_t free = h.Free;
  std::int32_t bufEnd = h.BufEnd;
  const std::int32_t refNo = h.RefNo;
  const std::int32_t areaEnd = FBufStart + bufSize;

  // A record may take at most half a block, so that any two in a row fit in one: the ring's limit.
  const std::int32_t maxPayload = blkSize / 2 - KqRecordHeadSize;
  // The tail is fitted against the same snapshot that places the record, once.
  std::uint16_t messageUnits = 0;
  std::int32_t tailBytes = 0;
  if (outcome) {
    messageUnits = outcome->MessageUnits;
    tailBytes = outcome->Bytes();
    // The tail is never cut with the text: a ring whose largest record cannot hold all of it
    // shortens the message, and one that cannot hold the fixed part carries the statement alone.
    if (tailBytes + 2 > maxPayload) [[unlikely]] {
      if (KqOutcomeFixedBytes + 2 > maxPayload) {
        outcome = nullptr;
        messageUnits = 0;
        tailBytes = 0;
      } else {
        messageUnits = static_cast<std::uint16_t>((maxPayload - 2 - KqOutcomeFixedBytes) / 2);
        if (messageUnits > 0 && IsHighSurrogate(outcome->Message[messageUnits - 1])) --messageUnits;
        tailBytes = KqOutcomeFixedBytes + 2 * messageUnits;
      }
    }
  }
  const std::int32_t closing = (ownNul ? 2 : 0) + tailBytes;
  std::int32_t payload = size + closing;
  std::int32_t keptUnits = -1;
  if (std::int64_t{size} + closing > maxPayload) {
    keptUnits = (maxPayload - tailBytes) / 2 - 1;
    if (keptUnits > 0 && IsHighSurrogate(UnitAt(data, keptUnits - 1)) && IsLowSurrogate(UnitAt(data, keptUnits)))
      --keptUnits;
    payload = (keptUnits + 1) * 2 + tailBytes;
  }
  const std::int32_t recordSize = payload + KqRecordHeadSize;

  if (std::int64_t{free} + recordSize > bufEnd) {
    ReclaimBlock(bufEnd, free, blkSize, areaEnd);
    if (std::int64_t{free} + recordSize > bufEnd) RaiseDamaged();
    // Evictions moved these; checked as the snapshot was, since the next append may take them as sound.
    h.First = Load(&TBufferData::First);
    h.Count = Load(&TBufferData::Count);
    if (h.First < FBufStart || h.First > areaEnd || h.Count < 0 ||
        static_cast<std::int64_t>(h.Count) * KqRecordHeadSize > bufSize)
      RaiseDamaged();
  }

  unsigned char* record = RecordAt(free);
  // One reading serves the record and LastUpdate: the clock costs more than the rest of an append,
  // and the two readings could differ only by the microseconds the append takes.
  const auto ticks = static_cast<std::int32_t>(TickCount());
  TTraceRecord head{last, 0, payload, refNo, ticks};
  // The text's one copy, straight into the ring; a cut text and our own statements end in a NUL
  // written here, never in whatever the caller's memory holds behind the text.
  const std::int32_t textBytes = keptUnits < 0 ? size : keptUnits * 2;
  unsigned char* at = record + KqRecordHeadSize;
  if (textBytes > 0) std::memmove(at, data, static_cast<std::size_t>(textBytes));
  at += textBytes;
  if (ownNul || keptUnits >= 0) {
    const char16_t nul = 0;
    std::memcpy(at, &nul, 2);
    at += 2;
  }
  if (outcome) outcome->WriteTo(at, messageUnits);
  std::memcpy(record, &head, sizeof head);
  if (last != 0) std::memcpy(RecordAt(last) + offsetof(TTraceRecord, Next), &free, sizeof free);
  Tally(free, blkSize, blocks, free + recordSize, static_cast<std::int32_t>(static_cast<std::uint32_t>(refNo) + 1));
  // The record is complete and linked before the header makes it reachable.
  std::atomic_thread_fence(std::memory_order_release);
  h.Last = free;
  h.Free = free + recordSize;
  h.BufEnd = bufEnd;
  h.Count = static_cast<std::int32_t>(static_cast<std::uint32_t>(h.Count) + 1);
  h.RefNo = static_cast<std::int32_t>(static_cast<std::uint32_t>(refNo) + 1);
  Store(&TBufferData::Last, h.Last);
  Store(&TBufferData::Free, h.Free);
  Store(&TBufferData::Count, h.Count);
  Store(&TBufferData::RefNo, h.RefNo);
  Store(&TBufferData::LastUpdate, ticks);
  FKnown = h;
  FKnownSound = true;
  FKnownMaxPayload = maxPayload;
  FKnownMaxUnits = (maxPayload - 2) / 2;
}

void TIPCBuffer::ReclaimBlock(std::int32_t& bufEnd, std::int32_t& free, std::int32_t blkSize, std::int32_t areaEnd) {
  const bool newLap = static_cast<std::int64_t>(bufEnd) + blkSize > areaEnd;
  if (newLap) {
    bufEnd = FBufStart + blkSize;
    free = FBufStart;
    // The lap just written becomes the previous one, whose records the new lap evicts.
    std::swap(FLap[0], FLap[1]);
    StartLap();
  } else {
    bufEnd += blkSize;
  }
  Store(&TBufferData::BufEnd, bufEnd);
  Store(&TBufferData::Free, free);
  // Invalid before anything can fail, so that the cursor never rests on an evicted record.
  Store(&TBufferData::CurItem, InvalidCursor);
  const bool spooling = OpenSpool();
  // Taking in the last block evicts everything of the previous lap, up to the current lap's first
  // record at the area start; any other block stops at the first record above the window.
  const bool lastBlock = bufEnd == areaEnd;
  if (spooling || !EvictByTally((bufEnd - FBufStart) / blkSize - 1, lastBlock)) {
    for (std::int32_t steps = MaxRecords(areaEnd); steps > 0; --steps) {
      std::int32_t first = Load(&TBufferData::First);
      if (lastBlock ? first == FBufStart : first >= bufEnd) break;
      if (!DropOldest(spooling, areaEnd)) break;
    }
  }
  // The evictions are published before any of their bytes is overwritten: a reader that copied a
  // record and then still finds it listed knows that its copy is whole.
  std::atomic_thread_fence(std::memory_order_release);
  if (spooling) {
    if (int error = CloseSpool(); error != 0) RaiseIoError(SpoolFile(), error);
  }
}

bool TIPCBuffer::DropOldest(bool spooling, std::int32_t areaEnd) {
  std::int32_t first = Load(&TBufferData::First);
  std::int32_t count = Load(&TBufferData::Count);
  // The newest record is never evicted in a sound ring; reaching it means a damaged list, and
  // keeping it keeps First on a record.
  if (!ValidRecord(first, areaEnd) || count <= 0 || first == Load(&TBufferData::Last)) return false;
  TTraceRecord head = ReadHead(first);
  if (spooling) SpoolRecord(first, head, areaEnd);
  Store(&TBufferData::First, head.Next);
  Store(&TBufferData::Count, count - 1);
  return true;
}

void TIPCBuffer::StartLap() noexcept {
  std::fill(FLap[0].Records.begin(), FLap[0].Records.end(), 0);
  FLap[0].Whole = !FLap[0].Records.empty();
}

bool TIPCBuffer::EvictByTally(std::int32_t block, bool lastBlock) noexcept {
  const LapTally& previous = FLap[1];
  if (!previous.Whole || block < 0 || static_cast<std::size_t>(block) >= previous.Records.size()) return false;
  const auto k = static_cast<std::size_t>(block);
  const std::int32_t evicted = previous.Records[k];
  std::int32_t next = FBufStart;  // taking in the last block leaves the current lap's first record
  if (!lastBlock) {
    if (k + 1 >= previous.Records.size() || previous.Records[k + 1] == 0) return false;
    next = previous.First[k + 1];
  }
  const std::int32_t count = Load(&TBufferData::Count);
  // The oldest listed record must be the first of the block, and the newest must stay.
  if (evicted <= 0 || Load(&TBufferData::First) != previous.First[k] || count <= evicted) return false;
  Store(&TBufferData::First, next);
  Store(&TBufferData::Count, count - evicted);
  return true;
}

bool TIPCBuffer::OpenSpool() {
  if (!SpoolOn()) return false;
  const std::u16string path = SpoolFile();
  // A link, a device or another user's file at the path is refused like any file that cannot be
  // opened: this run evicts without spooling and the next one tries again. The path is the
  // monitor's; it learns of a refusal from its own look at it.
  if (SPFile.OpenAppend(path) != 0) return false;
  FSpoolError = false;
  return true;
}

bool TIPCBuffer::SpoolOn() const noexcept {
  return std::atomic_ref<char16_t>(F->SpoolFile[0]).load(std::memory_order_relaxed) != 0;
}

int TIPCBuffer::CloseSpool() { return SPFile.Close(); }

void TIPCBuffer::SpoolRecord(std::int32_t offset, const TTraceRecord& head, std::int32_t areaEnd) {
  if (FSpoolError) return;
  if (SPFile.WriteLine(RecordText(offset, head, areaEnd)) != 0) FSpoolError = true;
}

// ---- views ----

TIPCBuffer::RecordRef TIPCBuffer::SeekItem(std::int32_t index) {
  const std::int32_t count = Load(&TBufferData::Count);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (index < 0 || index >= count) throw ESilentAbort();
  const std::int32_t areaEnd = AreaEnd();
  if (count > MaxRecords(areaEnd)) throw ESilentAbort();

  std::int32_t curItem = Load(&TBufferData::CurItem);
  std::int32_t curPtr = Load(&TBufferData::CurPtr);
  auto fail = [this]() {
    Store(&TBufferData::CurItem, InvalidCursor);
    throw ESilentAbort();
  };
  auto next = [&](std::int32_t offset) {
    if (!ValidRecord(offset, areaEnd)) fail();
    return ReadHead(offset).Next;
  };
  auto prev = [&](std::int32_t offset) {
    if (!ValidRecord(offset, areaEnd)) fail();
    return ReadHead(offset).Prev;
  };

  if (index == curItem) {
  } else if (curItem < count - 1 && index == curItem + 1) {
    curPtr = next(curPtr);
    ++curItem;
  } else if (curItem > 0 && index == curItem - 1) {
    curPtr = prev(curPtr);
    --curItem;
  } else if (index > count / 2) {
    curItem = count - 1;
    curPtr = Load(&TBufferData::Last);
    while (curPtr != 0 && curItem != index) {
      curPtr = prev(curPtr);
      --curItem;
    }
  } else {
    curItem = 0;
    curPtr = Load(&TBufferData::First);
    while (curPtr != 0 && curItem != index) {
      curPtr = next(curPtr);
      ++curItem;
    }
  }
  if (!ValidRecord(curPtr, areaEnd)) fail();
  Store(&TBufferData::CurPtr, curPtr);
  Store(&TBufferData::CurItem, curItem);
  return {curPtr, areaEnd, ReadHead(curPtr)};
}

std::int32_t TIPCBuffer::Count() const {
  std::int32_t count = Load(&TBufferData::Count);
  std::atomic_thread_fence(std::memory_order_acquire);
  return count;
}

std::int32_t TIPCBuffer::BufSize() const { return Load(&TBufferData::BufSize); }

std::int32_t TIPCBuffer::LastUpdate() const { return Load(&TBufferData::LastUpdate); }

const void* TIPCBuffer::Data(std::int32_t index) {
  RecordRef ref = SeekItem(index);
  if (ref.Head.Size < 0 || ref.Head.Size > ref.AreaEnd - ref.Offset - KqRecordHeadSize) throw ESilentAbort();
  return RecordAt(ref.Offset) + KqRecordHeadSize;
}

std::optional<TRecordOutcome> TIPCBuffer::Outcome(std::int32_t index) {
  RecordRef ref = SeekItem(index);
  const std::int32_t room = ref.AreaEnd - ref.Offset - KqRecordHeadSize;
  if (ref.Head.Size < 0 || ref.Head.Size > room) throw ESilentAbort();
  // Each field is read once and every range follows from the Size checked above, so a writer that
  // changes the record meanwhile can spoil the values, never the bounds.
  return ParseOutcome(RecordAt(ref.Offset) + KqRecordHeadSize, static_cast<std::size_t>(ref.Head.Size));
}

std::int32_t TIPCBuffer::RefNo(std::int32_t index) { return SeekItem(index).Head.RefNo; }

double TIPCBuffer::TimeStamp(std::int32_t index) { return RecordTime(SeekItem(index).Head); }

double TIPCBuffer::RecordTime(const TTraceRecord& head) const noexcept {
  return TimeOf(head.Ticks, BaseTime(), Load(&TBufferData::BaseTicks));
}

double TIPCBuffer::BaseTime() const noexcept {
  return std::atomic_ref<double>(F->BaseTime).load(std::memory_order_relaxed);
}

std::u16string TIPCBuffer::ColItem(std::int32_t index, std::int32_t col) {
  RecordRef ref = SeekItem(index);
  const bool useRefNo = UseRefNo();
  const bool useTime = UseTime();
  if (col == 0 && useRefNo) {
    std::u16string text;
    AppendDecimal(text, ref.Head.RefNo);
    return text;
  }
  if ((col == 0 && useTime) || (col == 1 && useRefNo && useTime)) return TimeText(RecordTime(ref.Head), FTimeSeparator);
  return RecordText(ref.Offset, ref.Head, ref.AreaEnd);
}

std::u16string TIPCBuffer::LineData(std::int32_t index) {
  RecordRef ref = SeekItem(index);
  return FormatLine(ref.Offset, ref.Head, ref.AreaEnd);
}

std::u16string TIPCBuffer::FormatLine(std::int32_t offset, const TTraceRecord& head, std::int32_t areaEnd) const {
  std::u16string line;
  if (UseRefNo()) {
    AppendDecimal(line, head.RefNo);
    if (line.size() < 6) line.append(6 - line.size(), u' ');
    line.append(u"  ");
  }
  if (UseTime()) {
    line.append(TimeText(RecordTime(head), FTimeSeparator));
    line.append(u"  ");
  }
  line.append(RecordText(offset, head, areaEnd));
  if (line.size() > static_cast<std::size_t>(KqMaxLineLength)) line.resize(CutAtCodeUnit(line, KqMaxLineLength));
  return line;
}

void TIPCBuffer::SaveToFile(std::u16string_view fileName) {
  const std::int32_t count = Load(&TBufferData::Count);
  const std::int32_t first = Load(&TBufferData::First);
  const std::int32_t free = Load(&TBufferData::Free);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (count < 1 || first == free) return;
  TextFile file;
  if (int error = file.Create(fileName); error != 0) RaiseIoError(fileName, error);
  const std::int32_t areaEnd = AreaEnd();
  std::int32_t offset = first;
  for (std::int32_t steps = MaxRecords(areaEnd); offset != 0 && steps > 0; --steps) {
    if (!ValidRecord(offset, areaEnd)) break;
    TTraceRecord head = ReadHead(offset);
    if (int error = file.WriteLine(FormatLine(offset, head, areaEnd)); error != 0) {
      static_cast<void>(file.Close());  // the write's error is the one to report
      RaiseIoError(fileName, error);
    }
    offset = head.Next;
  }
  if (int error = file.Close(); error != 0) RaiseIoError(fileName, error);
}

std::u16string TIPCBuffer::SpoolFile() const {
  std::u16string path;
  for (std::size_t i = 0; i < std::size(F->SpoolFile); ++i) {
    char16_t unit = std::atomic_ref<char16_t>(F->SpoolFile[i]).load(std::memory_order_relaxed);
    if (unit == 0) break;
    path.push_back(unit);
  }
  return path;
}

void TIPCBuffer::SetSpoolFile(std::u16string_view path) {
  std::size_t units = CutAtCodeUnit(path, KqSpoolFileMax);
  for (std::size_t i = 0; i < units; ++i)
    std::atomic_ref<char16_t>(F->SpoolFile[i]).store(path[i], std::memory_order_relaxed);
  std::atomic_ref<char16_t>(F->SpoolFile[units]).store(0, std::memory_order_relaxed);
}

void TIPCBuffer::SetUseRefNo(bool value) {
  std::atomic_ref<std::uint8_t>(F->UseRefNo).store(value ? 1 : 0, std::memory_order_relaxed);
}

void TIPCBuffer::SetUseTime(bool value) {
  std::atomic_ref<std::uint8_t>(F->UseTime).store(value ? 1 : 0, std::memory_order_relaxed);
}

}  // namespace kq
