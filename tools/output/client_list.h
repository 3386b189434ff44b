#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "monitor.h"
#include "output_buffer.h"

namespace kqtool {

// The clients of a snapshot as JSON lines: one "monitor" object, then one "client" object each.
// `kqmon list --format json` and the page's /api/clients both write it, so they agree.
void AppendClientsJson(const kq::ClientSnapshot& snapshot, OutputBuffer& out);
// The same for people, as `kqmon list` prints it.
void AppendClientsText(const kq::ClientSnapshot& snapshot, OutputBuffer& out);

// The client that `client` names: an ID first, else a name (a name that is all digits can still be
// reached when no client has it as its ID). Nothing when none is listed.
std::optional<std::int32_t> FindClient(const kq::ClientSnapshot& snapshot, const std::string& client);

}  // namespace kqtool
