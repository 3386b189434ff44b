#pragma once

#include "json_writer.h"
#include "record_formatter.h"
#include "time_stamp_format.h"

namespace kqtool {

// The NDJSON form of a watch: one object per record or gap, in the schema the README documents.
// Member names follow the OpenTelemetry semantic conventions where one fits (db.query.text); the
// rest live under "kq.". Members come in a fixed order and are always present for their kind; a
// statement whose client sent its outcome has the outcome's members as well (db.response.* where
// the conventions name one), with null for what the client did not know.
class JsonFormatter : public RecordFormatter {
 public:
  void Statement(const RecordEntry& entry, const ClientInfo& client, OutputBuffer& out) override;
  void LogStarted(const RecordEntry& entry, const ClientInfo& client, OutputBuffer& out) override;
  void Gap(const RecordEntry& gap, const ClientInfo& client, OutputBuffer& out) override;

 private:
  // The members of a statement's outcome, behind the others.
  void Outcome(JsonWriter& json, const RecordEntry& line, OutputBuffer& out);
  void Head(JsonWriter& json, std::string_view kind, double time, const ClientInfo& client, OutputBuffer& out);

  TimeStampFormat FTime;
};

}  // namespace kqtool
