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
  json.EndObject();
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
