#include "top_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "json_writer.h"
#include "terminal_text.h"

namespace kqtool {

namespace {
constexpr double Growth = 1.1;
}

std::size_t DurationHistogram::BucketOf(std::int64_t micros) {
  if (micros <= 1) return 0;
  const auto bucket = static_cast<std::size_t>(std::ceil(std::log(static_cast<double>(micros)) / std::log(Growth)));
  return std::min(bucket, Buckets - 1);
}

std::int64_t DurationHistogram::UpperBound(std::size_t bucket) {
  return static_cast<std::int64_t>(std::ceil(std::pow(Growth, static_cast<double>(bucket))));
}

void DurationHistogram::Add(std::int64_t micros) {
  if (FCounts.empty()) FCounts.resize(Buckets);
  ++FCounts[BucketOf(micros)];
  ++FCount;
}

std::int64_t DurationHistogram::Percentile(double share) const {
  if (FCount == 0) return 0;
  // The rank of the duration that `share` of them do not pass, counted from 1.
  const auto rank =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(share * static_cast<double>(FCount))));
  std::int64_t seen = 0;
  for (std::size_t bucket = 0; bucket < FCounts.size(); ++bucket) {
    seen += FCounts[bucket];
    if (seen >= rank) return UpperBound(bucket);
  }
  return UpperBound(Buckets - 1);
}

void TopTable::Add(const std::vector<RecordEntry>& entries, const ClientInfo& client) {
  auto known = std::find_if(FClients.begin(), FClients.end(), [&](const ClientInfo& c) { return c.ID == client.ID; });
  if (known == FClients.end())
    FClients.push_back(client);
  else
    *known = client;  // the label may change once a second client of that name came
  for (const RecordEntry& entry : entries)
    if (entry.Kind == EntryKind::Statement) Add(entry.Text, entry.Time, entry.Outcome, client.ID);
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

void TopTable::Add(std::u16string_view statement, double dateTime, const kq::TRecordOutcome* outcome,
                   std::int32_t clientID) {
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
  if (outcome) {
    if (outcome->DurationMicros >= 0) {
      FTimed = true;
      ++row.Timed;
      row.TotalMicros += outcome->DurationMicros;
      row.MaxMicros = std::max(row.MaxMicros, outcome->DurationMicros);
      row.Durations.Add(outcome->DurationMicros);
    }
    if (outcome->Rows >= 0) row.Rows += outcome->Rows;
    if (outcome->Status != 0) ++row.Errors;
  }
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
  std::sort(rows.begin(), rows.end(), [timed = FTimed](const Row* a, const Row* b) {
    if (timed && a->TotalMicros != b->TotalMicros) return a->TotalMicros > b->TotalMicros;
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
    AppendTerminalSafe(client.Name, out);
    out.Append(")\n");
  }
  std::size_t clientWidth = 7;
  if (several)
    for (const auto& [key, row] : FRows) clientWidth = std::max(clientWidth, ClientsOf(row).size());
  if (colour) out.Append("\x1b[1m");
  // The time columns only once some client sends durations: a table of counts stays as it was.
  const bool timed = FTimed;
  if (timed)
    out.Append("   calls   share   total ms    mean ms     max ms     p95 ms      rows  errors  ");
  else
    out.Append("   count   share  ");
  out.Append("first seen    last seen     bursts  ");
  if (several) {
    out.Append("clients");
    out.AppendRepeated(' ', clientWidth - 7 + 2);
  }
  out.Append("fingerprint");
  if (colour) out.Append("\x1b[0m");
  out.Append('\n');
  // Columns before the fingerprint: 8 + 10 (+ 4 x 11 + 10 + 8) + 14 + 14 + 8 characters, and the
  // clients column when there are several.
  const std::size_t lead = (timed ? 116 : 52) + (several ? clientWidth + 2 : 0);
  auto ms = [](std::int64_t micros) { return static_cast<double>(micros) / 1000.0; };
  for (const Row* row : Top(limit)) {
    const double share = FStatements ? 100.0 * static_cast<double>(row->Count) / static_cast<double>(FStatements) : 0;
    n = std::snprintf(line, sizeof line, "%8lld  %5.1f%%  ", static_cast<long long>(row->Count), share);
    out.Append(std::string_view(line, static_cast<std::size_t>(n)));
    if (timed) {
      n = std::snprintf(line, sizeof line, "%9.1f  %9.3f  %9.3f  %9.3f  %8lld  ", ms(row->TotalMicros),
                        ms(row->MeanMicros()), ms(row->MaxMicros), ms(row->Durations.Percentile(0.95)),
                        static_cast<long long>(row->Rows));
      out.Append(std::string_view(line, static_cast<std::size_t>(n)));
      n = std::snprintf(line, sizeof line, "%6lld  ", static_cast<long long>(row->Errors));
      if (row->Errors && colour) out.Append("\x1b[31m");
      out.Append(std::string_view(line, static_cast<std::size_t>(n)));
      if (row->Errors && colour) out.Append("\x1b[0m");
    }
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
    if (width > lead + 4 && text.size() > width - lead) text = text.substr(0, width - lead - 3);
    AppendTerminalSafe(text, out, lead);
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
    // Time members in milliseconds over the calls with a known duration; null when none had one.
    auto timeMember = [&](std::string_view key, std::int64_t micros) {
      if (row->Timed)
        json.FixedMember(key, static_cast<double>(micros) / 1000.0, 3);
      else
        json.NullMember(key);
    };
    json.Member("kq.timed_calls", row->Timed);
    timeMember("kq.duration.total_ms", row->TotalMicros);
    timeMember("kq.duration.mean_ms", row->MeanMicros());
    timeMember("kq.duration.max_ms", row->MaxMicros);
    timeMember("kq.duration.p95_ms", row->Durations.Percentile(0.95));
    json.Member("db.response.returned_rows", row->Rows);
    json.Member("kq.errors", row->Errors);
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
