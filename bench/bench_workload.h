#pragma once

// What every producer of the side-by-side benchmarks submits, and how it paces and times itself, so
// that the library's driver and the floor model do exactly the same work around their own calls.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace kqbench {

inline std::int64_t NowNs() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One statement: 99 characters and the NUL, a 200-byte payload. It starts with "kqb", a sequence
// number and the submission time (steady clock, ns), at fixed places, so that whoever reads the
// consumer's output can tell each statement's latency whatever the line around it looks like.
class Statement {
 public:
  static constexpr std::size_t Units = 99;
  static constexpr std::size_t SeqAt = 4, SeqDigits = 10;
  static constexpr std::size_t StampAt = 15, StampDigits = 19;

  Statement() {
    const std::string_view head = "kqb 0000000000 0000000000000000000 ";
    const std::string_view sql = "SELECT o.id, o.total, o.placed_at FROM orders o WHERE o.customer_id = 4711 AND o.x";
    std::size_t i = 0;
    for (char c : head) FText[i++] = static_cast<char16_t>(c);
    for (std::size_t j = 0; i < Units; ++j) FText[i++] = static_cast<char16_t>(sql[j % sql.size()]);
    FText[Units] = 0;
  }

  void Stamp(std::uint64_t seq, std::int64_t stampNs) noexcept {
    Digits(SeqAt, SeqDigits, seq);
    Digits(StampAt, StampDigits, static_cast<std::uint64_t>(stampNs));
  }

  const char16_t* Text() const noexcept { return FText; }
  static constexpr std::int32_t Length() noexcept { return static_cast<std::int32_t>(Units); }

 private:
  void Digits(std::size_t at, std::size_t count, std::uint64_t value) noexcept {
    for (std::size_t i = count; i-- > 0; value /= 10) FText[at + i] = static_cast<char16_t>(u'0' + value % 10);
  }

  char16_t FText[Units + 1];
};

// Finds a statement's marks in a line of output (UTF-8, any format around the text).
inline bool ParseStatement(std::string_view line, std::uint64_t& seq, std::int64_t& stampNs) noexcept {
  const std::size_t at = line.find("kqb ");
  if (at == std::string_view::npos || line.size() < at + Statement::StampAt + Statement::StampDigits) return false;
  auto number = [&](std::size_t from, std::size_t count, std::uint64_t& out) {
    out = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = line[at + from + i];
      if (c < '0' || c > '9') return false;
      out = out * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
  };
  std::uint64_t stamp = 0;
  if (!number(Statement::SeqAt, Statement::SeqDigits, seq) ||
      !number(Statement::StampAt, Statement::StampDigits, stamp))
    return false;
  stampNs = static_cast<std::int64_t>(stamp);
  return true;
}

// A consumer's line, as `kqmon watch --refno --time` shows it: "<number padded to 6>  hh:mm:ss  <text>"
// and a line feed, the text as UTF-8 (characters of the basic plane: the statements are ASCII).
// `out` has room for the text's length times three and 32 bytes.
inline char* FormatLine(char* out, std::uint32_t number, std::uint32_t secondsOfDay,
                        std::u16string_view text) noexcept {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  for (int i = n; i-- > 0;) *out++ = digits[i];
  for (int i = n; i < 6; ++i) *out++ = ' ';
  *out++ = ' ';
  *out++ = ' ';
  const std::uint32_t fields[3] = {secondsOfDay / 3600 % 24, secondsOfDay / 60 % 60, secondsOfDay % 60};
  for (int i = 0; i < 3; ++i) {
    *out++ = static_cast<char>('0' + fields[i] / 10);
    *out++ = static_cast<char>('0' + fields[i] % 10);
    *out++ = i < 2 ? ':' : ' ';
  }
  *out++ = ' ';
  for (const char16_t u : text) {
    if (u == 0) break;
    if (u < 0x80) {
      *out++ = static_cast<char>(u);
    } else if (u < 0x800) {
      *out++ = static_cast<char>(0xC0 | (u >> 6));
      *out++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
      *out++ = static_cast<char>(0xE0 | (u >> 12));
      *out++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  *out++ = '\n';
  return out;
}

// flood: COUNT statements as fast as the producer can, all with one text (sequence and stamp 0);
// rate: COUNT statements at RATE a second, in bursts of BURST, each stamped just before its call.
struct WorkloadOptions {
  bool Flood = true;
  std::int64_t Count = 0;
  std::int64_t Rate = 0;
  std::int64_t Burst = 1;
};

struct WorkloadResult {
  std::int64_t Submitted = 0;
  std::int64_t Accepted = 0;  // calls that reported the statement as traced
  double NsPerStatement = 0;  // flood: loop time / count; rate: mean time inside the call
  double MedianCallNs = 0;    // rate only
  std::int64_t ElapsedNs = 0;
};

// Runs the workload through `submit(text, units)` (true when the statement was taken);
// `sleepUntil(ns)` is the platform's sleep to an absolute time of the steady clock.
template <class Submit, class SleepUntil>
WorkloadResult RunWorkload(const WorkloadOptions& options, Submit submit, SleepUntil sleepUntil) {
  WorkloadResult result;
  Statement statement;
  const std::int64_t started = NowNs();
  if (options.Flood) {
    statement.Stamp(0, 0);
    std::int64_t accepted = 0;
    for (std::int64_t i = 0; i < options.Count; ++i) accepted += submit(statement.Text(), Statement::Length()) ? 1 : 0;
    result.ElapsedNs = NowNs() - started;
    result.Submitted = options.Count;
    result.Accepted = accepted;
    result.NsPerStatement =
        static_cast<double>(result.ElapsedNs) / static_cast<double>(std::max<std::int64_t>(1, options.Count));
    return result;
  }
  const std::int64_t burst = std::max<std::int64_t>(1, options.Burst);
  const double period = 1e9 * static_cast<double>(burst) / static_cast<double>(std::max<std::int64_t>(1, options.Rate));
  std::vector<std::int32_t> calls;
  calls.reserve(static_cast<std::size_t>(options.Count));
  double callTotal = 0;
  std::uint64_t seq = 0;
  for (std::int64_t k = 0; static_cast<std::int64_t>(seq) < options.Count; ++k) {
    sleepUntil(started + static_cast<std::int64_t>(period * static_cast<double>(k)));
    for (std::int64_t j = 0; j < burst && static_cast<std::int64_t>(seq) < options.Count; ++j) {
      statement.Stamp(++seq, NowNs());
      const std::int64_t before = NowNs();
      result.Accepted += submit(statement.Text(), Statement::Length()) ? 1 : 0;
      const std::int64_t took = NowNs() - before;
      calls.push_back(static_cast<std::int32_t>(std::min<std::int64_t>(took, INT32_MAX)));
      callTotal += static_cast<double>(took);
    }
  }
  result.ElapsedNs = NowNs() - started;
  result.Submitted = static_cast<std::int64_t>(seq);
  result.NsPerStatement = callTotal / static_cast<double>(std::max<std::int64_t>(1, result.Submitted));
  if (!calls.empty()) {
    std::nth_element(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(calls.size() / 2), calls.end());
    result.MedianCallNs = calls[calls.size() / 2];
  }
  return result;
}

// Reads "--name value" pairs into the workload and the named numbers a program wants.
inline bool ParseWorkload(const std::vector<std::string>& args, WorkloadOptions& options) {
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    const std::string& name = args[i];
    const std::string& value = args[i + 1];
    if (name == "--mode")
      options.Flood = value == "flood";
    else if (name == "--count")
      options.Count = std::stoll(value);
    else if (name == "--rate")
      options.Rate = std::stoll(value);
    else if (name == "--burst")
      options.Burst = std::stoll(value);
  }
  return options.Count > 0 && (options.Flood || options.Rate > 0);
}

// The value after `name` in "--name value" pairs, or `fallback`.
inline std::string Option(const std::vector<std::string>& args, const std::string& name, const std::string& fallback) {
  for (std::size_t i = 0; i + 1 < args.size(); i += 2)
    if (args[i] == name) return args[i + 1];
  return fallback;
}

inline void WriteResult(const std::string& path, const WorkloadResult& r) {
  if (std::FILE* f = std::fopen(path.c_str(), "w")) {
    std::fprintf(f, "submitted %lld\naccepted %lld\nns_per_statement %.2f\nmedian_call_ns %.1f\nelapsed_ns %lld\n",
                 static_cast<long long>(r.Submitted), static_cast<long long>(r.Accepted), r.NsPerStatement,
                 r.MedianCallNs, static_cast<long long>(r.ElapsedNs));
    std::fclose(f);
  }
}

}  // namespace kqbench
