#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace kq {

// Ids of the message catalogue (35584 to 35603).
enum : int {
  SKqAppName = 35584,
  SKqDisconnected,
  SKqTraceEnabled,
  SKqTraceDisabled,
  SKqNoClient,
  SKqTextFilter,
  SKqInvalidBufSize,
  SKqConfirmClear,
  SKqMaxClients,
  SKqClientNotUnique,
  SKqLogStarted,
  SKqNone,
  SKqRefNo,
  SKqTimeStamp,
  SKqStatement,
  SKqSharedMemError,
  SKqEventError,
  SKqMutexError,
  SKqReallocError,
  SKqInvalidIndex,
};

constexpr int KqFirstMessageId = SKqAppName;
constexpr int KqLastMessageId = SKqInvalidIndex;

// Text of a catalogue id; empty for an id outside the catalogue.
std::u16string_view LoadKqString(int id) noexcept;

using KqFormatArg = std::variant<std::int64_t, std::u16string_view>;

// printf-style filling: each %s takes the next text argument, each %d the next integer; "%%" is one
// "%". A missing or mistyped argument leaves its placeholder as it stands, so a bad call never reads
// past the argument list.
std::u16string FormatKq(std::u16string_view format, std::initializer_list<KqFormatArg> args);
std::u16string FormatKqString(int id, std::initializer_list<KqFormatArg> args);

}  // namespace kq
