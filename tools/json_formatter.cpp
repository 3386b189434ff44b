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

void JsonFormatter::Statement(const kq::TraceLine& line, std::u16string_view text, const ClientInfo& client,
                              OutputBuffer& out) {
  JsonWriter json(out);
  Head(json, "statement", line.Time, client, out);
  json.Member("kq.ref_no", line.RefNo);
  json.Member("db.query.text", text);
  json.Member("cut", line.Cut);
  json.EndObject();
}

void JsonFormatter::LogStarted(const kq::TraceLine& line, std::u16string_view name, const ClientInfo& client,
                               OutputBuffer& out) {
  JsonWriter json(out);
  Head(json, "log_started", line.Time, client, out);
  json.Member("kq.ref_no", line.RefNo);
  json.Member("kq.log_name", name);
  json.EndObject();
}

void JsonFormatter::Gap(const kq::TraceLine& gap, double noticed, const ClientInfo& client, OutputBuffer& out) {
  JsonWriter json(out);
  Head(json, "gap", noticed, client, out);
  json.Member("kq.gap.from_ref_no", gap.RefNo);
  json.Member("kq.gap.missing", gap.Missing);
  json.EndObject();
}

}  // namespace kqtool
