#include "record_outcome.h"

#include <algorithm>
#include <cstring>

namespace kq {

namespace {

// The wire is little-endian, as are all the targets we build for; memcpy keeps unaligned fields legal.
template <typename T>
T Get(const unsigned char* from, std::size_t at) noexcept {
  T value;
  std::memcpy(&value, from + at, sizeof value);
  return value;
}

bool IsHighSurrogate(char16_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }

}  // namespace

std::uint16_t OutcomeMessageUnits(const char16_t* message) noexcept {
  if (!message) return 0;
  std::uint16_t units = 0;
  while (units < KqOutcomeMessageMax && message[units] != 0) ++units;
  // Cut between the halves of a pair, the message would end in a lone surrogate.
  if (units == KqOutcomeMessageMax && message[units] != 0 && IsHighSurrogate(message[units - 1])) --units;
  return units;
}

std::optional<TRecordOutcome> ParseOutcome(const void* payload, std::size_t bytes) {
  const auto* p = static_cast<const unsigned char*>(payload);
  // The smallest outcome record is an empty text: its NUL and the fixed tail.
  if (!p || bytes < KqOutcomeFixedBytes + 2 || bytes % 2 != 0) return std::nullopt;
  const unsigned char* end = p + bytes;
  if (std::memcmp(end - OutcomeAt::MagicFromEnd, KqOutcomeMagic, sizeof KqOutcomeMagic) != 0) return std::nullopt;
  if (Get<std::uint16_t>(end - OutcomeAt::VersionFromEnd, 0) != KqOutcomeVersion) return std::nullopt;
  const std::size_t tailBytes = Get<std::uint16_t>(end - OutcomeAt::TailBytesFromEnd, 0);
  if (tailBytes < KqOutcomeFixedBytes || tailBytes > KqOutcomeMaxBytes || tailBytes % 2 != 0 || tailBytes > bytes - 2)
    return std::nullopt;
  const unsigned char* tail = end - tailBytes;
  if (Get<char16_t>(tail - 2, 0) != 0) return std::nullopt;
  const std::uint16_t messageUnits = Get<std::uint16_t>(tail, OutcomeAt::MessageUnits);
  if (KqOutcomeFixedBytes + std::size_t{messageUnits} * 2 != tailBytes) return std::nullopt;

  TRecordOutcome out;
  // Any negative count means "not known", whoever wrote it.
  out.DurationMicros = std::max<std::int64_t>(Get<std::int64_t>(tail, OutcomeAt::DurationMicros), -1);
  out.Rows = std::max<std::int64_t>(Get<std::int64_t>(tail, OutcomeAt::Rows), -1);
  out.NativeCode = Get<std::int32_t>(tail, OutcomeAt::NativeCode);
  out.Status = Get<std::uint16_t>(tail, OutcomeAt::Status);
  for (std::size_t i = 0; i < 5; ++i) {
    const auto unit = Get<char16_t>(tail, OutcomeAt::SqlState + i * 2);
    if (unit == 0) break;
    out.SqlState.push_back(unit);
  }
  out.Message.resize(messageUnits);
  std::memcpy(out.Message.data(), tail + OutcomeAt::Message, std::size_t{messageUnits} * 2);
  out.TextUnits = static_cast<std::int32_t>((bytes - tailBytes) / 2 - 1);
  return out;
}

}  // namespace kq
