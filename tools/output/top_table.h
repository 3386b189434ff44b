#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json_writer.h"
#include "output_buffer.h"
#include "record_formatter.h"
#include "statement_fingerprint.h"
#include "time_stamp_format.h"

namespace kqtool {

// When one fingerprint comes `Count` times within `WindowMs`, that run is a burst: the shape of the
// N+1 pattern, where code runs one statement per row of an earlier result.
struct BurstRule {
  std::int32_t Count = 20;
  std::int32_t WindowMs = 200;
};

// Durations of one fingerprint in buckets that grow by a tenth each, from 1 µs to beyond an hour: a
// percentile read from them is within 10% of the exact one, in a fixed 2 KB per fingerprint however
// many statements come.
class DurationHistogram {
 public:
  static constexpr std::size_t Buckets = 256;
  void Add(std::int64_t micros);
  // The smallest bucket bound under which `share` (0 to 1) of the durations lie; 0 when none.
  std::int64_t Percentile(double share) const;
  std::int64_t Count() const noexcept { return FCount; }

 private:
  static std::size_t BucketOf(std::int64_t micros);
  static std::int64_t UpperBound(std::size_t bucket);
  std::vector<std::int64_t> FCounts;
  std::int64_t FCount = 0;
};

// `kqmon top`'s aggregate, a statement statistics view: statements grouped by fingerprint with their
// calls, share, time (total, mean, maximum, 95th percentile) and rows where their clients send
// outcomes, errors, first and last time seen and the bursts seen, and the tables that show them.
class TopTable {
 public:
  struct Row {
    std::u16string Fingerprint;
    std::int64_t Count = 0;
    std::int64_t Timed = 0;  // calls with a known duration
    std::int64_t TotalMicros = 0;
    std::int64_t MaxMicros = 0;
    std::int64_t Rows = 0;  // of the calls that said how many
    std::int64_t Errors = 0;
    DurationHistogram Durations;
    std::int64_t MeanMicros() const noexcept { return Timed ? TotalMicros / Timed : 0; }
    double FirstSeen = 0;  // local date-times
    double LastSeen = 0;
    std::int64_t Bursts = 0;
    std::vector<std::int64_t> Recent;  // the last BurstRule::Count times (ms), a ring
    std::size_t RecentNext = 0;
    std::size_t RecentFilled = 0;
    std::vector<std::int32_t> Clients;  // the IDs of the clients that ran it, in the order first seen
  };

  explicit TopTable(BurstRule rule) : FRule(rule) {}

  void Add(std::u16string_view statement, double dateTime, const kq::TRecordOutcome* outcome = nullptr,
           std::int32_t clientID = 0);
  // The statements of a batch of one client; other entries count elsewhere.
  void Add(const std::vector<RecordEntry>& entries, const ClientInfo& client = {});

  std::int64_t Statements() const noexcept { return FStatements; }
  std::size_t Fingerprints() const noexcept { return FRows.size(); }
  // True once any statement came with its duration: the tables then show and sort by time.
  bool Timed() const noexcept { return FTimed; }
  // The `limit` rows with the highest total time when durations came, else with the highest counts,
  // highest first (ties: the higher count, then the earlier seen first).
  std::vector<const Row*> Top(std::size_t limit) const;

  // A table for people; `width` (0: none) cuts the fingerprints to fit a terminal line.
  void AppendText(OutputBuffer& out, std::size_t limit, std::size_t width, const ClientInfo& client, bool colour);
  // One "fingerprint" object per row, then a "top_summary" object.
  void AppendJson(OutputBuffer& out, std::size_t limit, const ClientInfo& client, std::int64_t filtered,
                  std::int64_t missing);

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::u16string_view text) const noexcept { return std::hash<std::u16string_view>()(text); }
  };
  struct Equal {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const noexcept { return a == b; }
  };

  BurstRule FRule;
  StatementFingerprint FFingerprint;
  TimeStampFormat FTime;
  std::unordered_map<std::u16string, Row, Hash, Equal> FRows;
  std::int64_t FStatements = 0;
  bool FTimed = false;
  std::vector<ClientInfo> FClients;  // every client met, by first meeting: the table spans them all

  // The client column of a row: the labels of the clients that ran it.
  std::string ClientsOf(const Row& row) const;
  void AppendClientIDs(JsonWriter& json, OutputBuffer& out, const std::vector<std::int32_t>& ids) const;
};

}  // namespace kqtool
