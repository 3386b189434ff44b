#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kq {

// The outcome of a statement (how long it ran, rows, status, error) as it travels in a trace record.
//
// The record head, the ring and the signal are those of every record. The outcome rides in the
// payload, behind the text's NUL:
//
//   payload = text (UTF-16 units) | NUL unit | tail
//
// A monitor that knows nothing of outcomes reads the payload as text up to its NUL and shows the bare
// statement; so do our own views, lines, save file and spool file. The tail is fixed, packed and
// little-endian; offsets are from the tail's first byte, m = MessageUnits:
//
//   0       int64    DurationMicros   -1 when not known
//   8       int64    Rows             rows returned or affected; -1 when not known
//   16      int32    NativeCode       the driver's or server's own error code; 0 when none
//   20      uint16   Status           0 success, 1 error
//   22      char16   SqlState[5]      zeros when none
//   32      uint16   MessageUnits     m, at most 255
//   34      char16   Message[m]       no NUL
//   34+2m   uint16   TailBytes        42 + 2m, the whole tail
//   36+2m   uint16   Version          1
//   38+2m   byte     Magic[4]         "kqO1"
//
// A record written without an outcome always ends in its NUL unit, and both UTF-16 units of the magic
// are non-zero, so a record whose payload ends in the magic can only carry an outcome: no user text is
// ever scanned for it. The tail is parsed from the end, and a payload whose tail does not add up
// (magic, version, TailBytes within the payload, the NUL right before the tail, MessageUnits against
// TailBytes, an odd size) carries no outcome: it is shown as text up to its NUL like any other.
//
// Statements are cut at the ring's record limit as before, but an outcome record keeps its tail and
// loses text; only a ring whose largest record cannot hold the whole tail shortens the message, and
// one that cannot hold the fixed part carries the statement without its outcome.
inline constexpr unsigned char KqOutcomeMagic[4] = {'k', 'q', 'O', '1'};
inline constexpr std::uint16_t KqOutcomeVersion = 1;
inline constexpr std::int32_t KqOutcomeMessageMax = 255;
inline constexpr std::int32_t KqOutcomeFixedBytes = 42;
inline constexpr std::int32_t KqOutcomeMaxBytes = KqOutcomeFixedBytes + 2 * KqOutcomeMessageMax;

// Offsets inside the tail; the last three follow the message.
namespace OutcomeAt {
inline constexpr std::size_t DurationMicros = 0;
inline constexpr std::size_t Rows = 8;
inline constexpr std::size_t NativeCode = 16;
inline constexpr std::size_t Status = 20;
inline constexpr std::size_t SqlState = 22;
inline constexpr std::size_t MessageUnits = 32;
inline constexpr std::size_t Message = 34;
// From the tail's end.
inline constexpr std::size_t TailBytesFromEnd = 8;
inline constexpr std::size_t VersionFromEnd = 6;
inline constexpr std::size_t MagicFromEnd = 4;
}  // namespace OutcomeAt

// An outcome to be written behind a statement. The message stays the caller's until the append
// has copied it. The fields before Message lie as the tail's fixed part does (checked below), so
// that a little-endian target writes that part with one copy.
struct TOutcomeTail {
  std::int64_t DurationMicros = -1;
  std::int64_t Rows = -1;
  std::int32_t NativeCode = 0;
  std::uint16_t Status = 0;
  char16_t SqlState[5] = {};
  std::uint16_t MessageUnits = 0;  // at most KqOutcomeMessageMax
  const char16_t* Message = nullptr;

  std::int32_t Bytes() const noexcept { return KqOutcomeFixedBytes + 2 * MessageUnits; }
  // Writes Bytes() bytes at `to`, which need not be aligned.
  void WriteTo(unsigned char* to) const noexcept { WriteTo(to, MessageUnits); }
  // The same with only the first `messageUnits` (at most MessageUnits) of the message: the tail of a
  // ring too small for all of it. Writes KqOutcomeFixedBytes + 2 * messageUnits bytes.
  inline void WriteTo(unsigned char* to, std::uint16_t messageUnits) const noexcept;
};

static_assert(offsetof(TOutcomeTail, DurationMicros) == OutcomeAt::DurationMicros);
static_assert(offsetof(TOutcomeTail, Rows) == OutcomeAt::Rows);
static_assert(offsetof(TOutcomeTail, NativeCode) == OutcomeAt::NativeCode);
static_assert(offsetof(TOutcomeTail, Status) == OutcomeAt::Status);
static_assert(offsetof(TOutcomeTail, SqlState) == OutcomeAt::SqlState);
static_assert(offsetof(TOutcomeTail, MessageUnits) == OutcomeAt::MessageUnits);

namespace outcome_detail {

// Little-endian whatever the target; memcpy keeps unaligned stores legal.
template <typename T>
inline void PutLittle(unsigned char* to, T value) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(to, &value, sizeof value);
  } else {
    auto bits = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t i = 0; i < sizeof value; ++i, bits >>= 8) to[i] = static_cast<unsigned char>(bits & 0xFF);
  }
}

// TailBytes, Version and Magic close every tail: one 64-bit word but for TailBytes.
inline constexpr std::uint64_t Closing =
    std::uint64_t{KqOutcomeVersion} << 16 | std::uint64_t{KqOutcomeMagic[0]} << 32 |
    std::uint64_t{KqOutcomeMagic[1]} << 40 | std::uint64_t{KqOutcomeMagic[2]} << 48 |
    std::uint64_t{KqOutcomeMagic[3]} << 56;

}  // namespace outcome_detail

// On the statement path of every outcome: inline, and a few wide stores in place of a store per field.
inline void TOutcomeTail::WriteTo(unsigned char* to, std::uint16_t messageUnits) const noexcept {
  using outcome_detail::PutLittle;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(to, this, OutcomeAt::MessageUnits);
  } else {
    PutLittle(to + OutcomeAt::DurationMicros, DurationMicros);
    PutLittle(to + OutcomeAt::Rows, Rows);
    PutLittle(to + OutcomeAt::NativeCode, NativeCode);
    PutLittle(to + OutcomeAt::Status, Status);
    for (std::size_t i = 0; i < 5; ++i) PutLittle(to + OutcomeAt::SqlState + 2 * i, SqlState[i]);
  }
  PutLittle(to + OutcomeAt::MessageUnits, messageUnits);
  const std::size_t messageBytes = std::size_t{messageUnits} * 2;
  if (messageBytes != 0) std::memcpy(to + OutcomeAt::Message, Message, messageBytes);
  const auto tailBytes = static_cast<std::uint64_t>(KqOutcomeFixedBytes + messageBytes);
  PutLittle(to + OutcomeAt::Message + messageBytes, outcome_detail::Closing | tailBytes);
}

// The units of a NUL-terminated message to carry: at most KqOutcomeMessageMax, never ending in the
// first half of a surrogate pair. Null is none.
std::uint16_t OutcomeMessageUnits(const char16_t* message) noexcept;

// An outcome read back from a record, self-contained (nothing points into the ring).
struct TRecordOutcome {
  std::int64_t DurationMicros = -1;  // -1 when not known
  std::int64_t Rows = -1;            // -1 when not known
  std::int32_t NativeCode = 0;
  std::uint16_t Status = 0;  // 0 success, 1 error
  std::u16string SqlState;   // up to its first NUL; empty when none
  std::u16string Message;
  // Units of the statement before the NUL that precedes the tail (embedded NULs included).
  std::int32_t TextUnits = 0;

  friend bool operator==(const TRecordOutcome&, const TRecordOutcome&) = default;
};

// The outcome that a record's payload (`bytes` bytes at `payload`, any alignment) carries, or none.
// Reads nothing outside the payload, whatever it holds.
std::optional<TRecordOutcome> ParseOutcome(const void* payload, std::size_t bytes);

}  // namespace kq
