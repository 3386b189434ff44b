#include "json_formatter.h"

namespace kqtool {

void JsonFormatter::Head(JsonWriter& json, std::string_view kind, double time, const ClientInfo& client,
                         OutputBuffer& out) {
  json.BeginObject();
  json.Member("kind", kind);
  json.Key("time");
  out.Append('"');
  FTime.AppendIso(time, out);
  out.Append('"');
  json.Member("kq.client.id", client.ID);
  json.Member("kq.client.name", std::u16string_view(client.Name));
}

void JsonFormatter::Statement(const RecordEntry& line, const ClientInfo& client, OutputBuffer& out) {
  JsonWriter json(out);
  Head(json, "statement", line.Time, client, out);
  json.Member("kq.ref_no", line.RefNo);
  json.Member("db.query.text", line.Text);
  json.Member("cut", line.Cut);
  if (line.Outcome) Outcome(json, line, out);
  json.EndObject();
}

void JsonFormatter::Outcome(JsonWriter& json, const RecordEntry& line, OutputBuffer& out) {
  const kq::TRecordOutcome& outcome = *line.Outcome;
  json.Key("kq.end_time");
  out.Append('"');
  FTime.AppendIso(line.End, out);
  out.Append('"');
  if (outcome.DurationMicros >= 0) {
    // Milliseconds to the microsecond, from the integer: exact, and no printf per line.
    json.Key("kq.duration_ms");
    out.AppendInt(outcome.DurationMicros / 1000);
    out.Append('.');
    out.AppendDigits(static_cast<std::uint32_t>(outcome.DurationMicros % 1000), 3);
  } else
    json.NullMember("kq.duration_ms");
  if (outcome.Rows >= 0)
    json.Member("db.response.returned_rows", outcome.Rows);
  else
    json.NullMember("db.response.returned_rows");
  json.Member("kq.status", outcome.Status != 0 ? "error" : "ok");
  if (!outcome.SqlState.empty())
    json.Member("db.response.status_code", std::u16string_view(outcome.SqlState));
  else
    json.NullMember("db.response.status_code");
  json.Member("kq.error.native_code", outcome.NativeCode);
  json.Member("kq.error.message", std::u16string_view(outcome.Message));
}

void JsonFormatter::LogStarted(const RecordEntry& line, const ClientInfo& client, OutputBuffer& out) {
  JsonWriter json(out);
  Head(json, "log_started", line.Time, client, out);
  json.Member("kq.ref_no", line.RefNo);
  json.Member("kq.log_name", line.Text);
  json.EndObject();
}

void JsonFormatter::Gap(const RecordEntry& gap, const ClientInfo& client, OutputBuffer& out) {
  JsonWriter json(out);
  Head(json, "gap", gap.Time, client, out);
  json.Member("kq.gap.from_ref_no", gap.RefNo);
  json.Member("kq.gap.missing", gap.Missing);
  json.EndObject();
}

}  // namespace kqtool
