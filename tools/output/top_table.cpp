#include "top_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "json_writer.h"
#include "terminal_text.h"

namespace kqtool {

void TopTable::Add(const std::vector<RecordEntry>& entries) {
  for (const RecordEntry& entry : entries)
    if (entry.Kind == EntryKind::Statement) Add(entry.Text, entry.Time);
}

void TopTable::Add(std::u16string_view statement, double dateTime) {
  const std::u16string_view fingerprint = FFingerprint.Of(statement);
  auto found = FRows.find(fingerprint);
  if (found == FRows.end()) {
    found = FRows.emplace(std::u16string(fingerprint), Row{}).first;
    Row& row = found->second;
    row.Fingerprint = found->first;
    row.FirstSeen = dateTime;
    row.Recent.resize(static_cast<std::size_t>(std::max(FRule.Count, 1)));
  }
  Row& row = found->second;
  ++FStatements;
  ++row.Count;
  row.LastSeen = dateTime;
  // Burst: this time and the one `Count - 1` statements of this shape before it lie within the window.
  const std::int64_t ms = std::llround(dateTime * 86400000.0);
  row.Recent[row.RecentNext] = ms;
  row.RecentNext = (row.RecentNext + 1) % row.Recent.size();
  if (++row.RecentFilled >= row.Recent.size()) {
    const std::int64_t oldest = row.Recent[row.RecentNext];
    if (ms - oldest <= FRule.WindowMs) {
      ++row.Bursts;
      row.RecentFilled = 0;  // the next burst needs a full run of its own
    }
  }
}

std::vector<const TopTable::Row*> TopTable::Top(std::size_t limit) const {
  std::vector<const Row*> rows;
  rows.reserve(FRows.size());
  for (const auto& [key, row] : FRows) rows.push_back(&row);
  std::sort(rows.begin(), rows.end(), [](const Row* a, const Row* b) {
    if (a->Count != b->Count) return a->Count > b->Count;
    if (a->FirstSeen != b->FirstSeen) return a->FirstSeen < b->FirstSeen;
    return a->Fingerprint < b->Fingerprint;
  });
  if (rows.size() > limit) rows.resize(limit);
  return rows;
}

void TopTable::AppendText(OutputBuffer& out, std::size_t limit, std::size_t width, const ClientInfo& client,
                          bool colour) {
  char line[160];
  int n = std::snprintf(line, sizeof line, "%lld statement(s), %zu fingerprint(s), client %d (",
                        static_cast<long long>(FStatements), FRows.size(), client.ID);
  out.Append(std::string_view(line, static_cast<std::size_t>(n)));
  AppendTerminalSafe(client.Name, out);
  out.Append(")\n");
  if (colour) out.Append("\x1b[1m");
  out.Append("   count   share  first seen    last seen     bursts  fingerprint");
  if (colour) out.Append("\x1b[0m");
  out.Append('\n');
  // Columns before the fingerprint: 8 + 8 + 14 + 14 + 8 characters.
  constexpr std::size_t Lead = 52;
  for (const Row* row : Top(limit)) {
    const double share = FStatements ? 100.0 * static_cast<double>(row->Count) / static_cast<double>(FStatements) : 0;
    n = std::snprintf(line, sizeof line, "%8lld  %5.1f%%  ", static_cast<long long>(row->Count), share);
    out.Append(std::string_view(line, static_cast<std::size_t>(n)));
    FTime.AppendTimeOfDay(row->FirstSeen, out);
    out.Append("  ");
    FTime.AppendTimeOfDay(row->LastSeen, out);
    const bool burst = row->Bursts > 0;
    n = std::snprintf(line, sizeof line, "  %6lld  ", static_cast<long long>(row->Bursts));
    if (burst && colour) out.Append("\x1b[1;31m");
    out.Append(std::string_view(line, static_cast<std::size_t>(n)));
    if (burst && colour) out.Append("\x1b[0m");
    std::u16string_view text = row->Fingerprint;
    if (width > Lead + 4 && text.size() > width - Lead) text = text.substr(0, width - Lead - 3);
    AppendTerminalSafe(text, out, Lead);
    if (text.size() < row->Fingerprint.size()) out.Append("...");
    out.Append('\n');
  }
  if (std::any_of(FRows.begin(), FRows.end(), [](const auto& entry) { return entry.second.Bursts > 0; })) {
    n = std::snprintf(line, sizeof line, "bursts: runs of %d statements of one shape within %d ms (an N+1 pattern?)\n",
                      FRule.Count, FRule.WindowMs);
    out.Append(std::string_view(line, static_cast<std::size_t>(n)));
  }
}

void TopTable::AppendJson(OutputBuffer& out, std::size_t limit, const ClientInfo& client, std::int64_t filtered,
                          std::int64_t missing) {
  std::int64_t rank = 0;
  auto time = [&](JsonWriter& json, std::string_view key, double value) {
    json.Key(key);
    out.Append('"');
    FTime.AppendIso(value, out);
    out.Append('"');
  };
  for (const Row* row : Top(limit)) {
    JsonWriter json(out);
    json.BeginObject();
    json.Member("kind", "fingerprint");
    json.Member("kq.client.id", client.ID);
    json.Member("kq.client.name", std::u16string_view(client.Name));
    json.Member("rank", ++rank);
    json.Member("kq.fingerprint", std::u16string_view(row->Fingerprint));
    json.Member("count", row->Count);
    json.FixedMember("share", FStatements ? static_cast<double>(row->Count) / static_cast<double>(FStatements) : 0, 4);
    time(json, "first_seen", row->FirstSeen);
    time(json, "last_seen", row->LastSeen);
    json.Member("bursts", row->Bursts);
    json.EndObject();
  }
  JsonWriter json(out);
  json.BeginObject();
  json.Member("kind", "top_summary");
  json.Member("kq.client.id", client.ID);
  json.Member("kq.client.name", std::u16string_view(client.Name));
  json.Member("statements", FStatements);
  json.Member("fingerprints", static_cast<std::int64_t>(FRows.size()));
  json.Member("filtered", filtered);
  json.Member("lost", missing);
  json.Member("kq.burst.count", FRule.Count);
  json.Member("kq.burst.window_ms", FRule.WindowMs);
  json.EndObject();
}

}  // namespace kqtool
