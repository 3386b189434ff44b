#include "top_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "json_writer.h"

namespace kqtool {

void TopTable::Add(const std::vector<RecordEntry>& entries, const ClientInfo& client) {
  auto known = std::find_if(FClients.begin(), FClients.end(), [&](const ClientInfo& c) { return c.ID == client.ID; });
  if (known == FClients.end())
    FClients.push_back(client);
  else
    *known = client;  // the label may change once a second client of that name came
  for (const RecordEntry& entry : entries)
    if (entry.Kind == EntryKind::Statement) Add(entry.Text, entry.Time, client.ID);
}

std::string TopTable::ClientsOf(const Row& row) const {
  std::string labels;
  for (std::int32_t id : row.Clients) {
    if (!labels.empty()) labels += ',';
    auto known = std::find_if(FClients.begin(), FClients.end(), [&](const ClientInfo& c) { return c.ID == id; });
    labels += known != FClients.end() && !known->Label.empty() ? known->Label : std::to_string(id);
  }
  return labels;
}

void TopTable::AppendClientIDs(JsonWriter& json, OutputBuffer& out, const std::vector<std::int32_t>& ids) const {
  json.Key("kq.client.ids");
  out.Append('[');
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i) out.Append(',');
    out.AppendInt(ids[i]);
  }
  out.Append(']');
}

void TopTable::Add(std::u16string_view statement, double dateTime, std::int32_t clientID) {
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
  if (std::find(row.Clients.begin(), row.Clients.end(), clientID) == row.Clients.end()) row.Clients.push_back(clientID);
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
  int n = std::snprintf(line, sizeof line, "%lld statement(s), %zu fingerprint(s), ",
                        static_cast<long long>(FStatements), FRows.size());
  out.Append(std::string_view(line, static_cast<std::size_t>(n)));
  // One client: named in the heading. Several: a column says which ran each shape.
  const bool several = FClients.size() > 1;
  if (several) {
    out.AppendInt(static_cast<std::int64_t>(FClients.size()));
    out.Append(" clients\n");
  } else {
    out.Append("client ");
    out.AppendInt(client.ID);
    out.Append(" (");
    out.AppendUtf16(client.Name);
    out.Append(")\n");
  }
  std::size_t clientWidth = 7;
  if (several)
    for (const auto& [key, row] : FRows) clientWidth = std::max(clientWidth, ClientsOf(row).size());
  if (colour) out.Append("\x1b[1m");
  out.Append("   count   share  first seen    last seen     bursts  ");
  if (several) {
    out.Append("clients");
    out.AppendRepeated(' ', clientWidth - 7 + 2);
  }
  out.Append("fingerprint");
  if (colour) out.Append("\x1b[0m");
  out.Append('\n');
  // Columns before the fingerprint: 8 + 8 + 14 + 14 + 8 characters.
  const std::size_t Lead = 52 + (several ? clientWidth + 2 : 0);
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
    if (several) {
      const std::string labels = ClientsOf(*row);
      out.Append(labels);
      out.AppendRepeated(' ', clientWidth - labels.size() + 2);
    }
    std::u16string_view text = row->Fingerprint;
    if (width > Lead + 4 && text.size() > width - Lead) text = text.substr(0, width - Lead - 3);
    out.AppendUtf16(text);
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
    AppendClientIDs(json, out, row->Clients);
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
  std::vector<std::int32_t> ids;
  for (const ClientInfo& known : FClients) ids.push_back(known.ID);
  AppendClientIDs(json, out, ids);
  json.EndObject();
}

}  // namespace kqtool
