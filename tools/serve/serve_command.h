#pragma once

#include <cstdint>
#include <string>

#include "commands.h"

namespace kqtool {

// The fixed port of `kqmon serve` unless --port says otherwise ("kq" in ASCII, 0x6b71).
inline constexpr std::int32_t DefaultServePort = 27505;

struct ServeOptions {
  WatchSettings Watch;
  StatementFilter Filter;
  std::string Bind = "127.0.0.1";
  std::int32_t Port = DefaultServePort;  // 0: any free port
  bool AllowRemote = false;              // needed to bind an address other machines can reach
  std::int32_t TopRows = 20;
  BurstRule Burst;
};

// The watch of `kqmon watch` with the live page beside it; the exit code as for the other commands.
int RunServe(const ServeOptions& options);

}  // namespace kqtool
