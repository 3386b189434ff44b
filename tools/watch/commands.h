#pragma once

#include <cstdint>
#include <string>

#include "client_watcher.h"
#include "record_printer.h"
#include "top_table.h"

// The terminal commands of kqmon, one function each (serve/ adds RunServe); kqmon.cpp maps the command line onto them.
// Each returns the exit code: 0 success, 1 failure (after a message on standard error).
namespace kqtool {

struct ListOptions {
  std::string Format = "text";  // text or json
};

struct WatchOptions {
  WatchSettings Watch;
  StatementFilter Filter;
  std::string Format = "text";
  std::string Colour = "auto";
  std::string Output;       // a file instead of standard output
  double RotateSizeMB = 0;  // 0: never
  std::int32_t RotateKeep = 5;
};

struct TopOptions {
  WatchSettings Watch;
  StatementFilter Filter;
  std::string Format = "text";
  std::string Colour = "auto";
  std::int32_t Limit = 20;
  BurstRule Burst;
};

int RunList(const ListOptions& options);
int RunPing(const ListOptions& options);
int RunSignal(std::int32_t clientID, std::int32_t value);
int RunRealloc(std::int32_t kilobytes, const std::string& client);
int RunWatch(const WatchOptions& options);
int RunTop(const TopOptions& options);

}  // namespace kqtool
