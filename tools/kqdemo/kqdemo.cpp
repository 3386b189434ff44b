// kqdemo: a sample database driver. Attaches a traced client, submits statements (from a file, from
// standard input, or a built-in workload at a given rate) and prints the values the monitor sends.
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kq_error.h"
#include "kq_loader.h"
#include "kqintf.h"
#include "text.h"
#include "tool_support.h"
#include "tool_version.h"

namespace {

constexpr const char* Description =
    "kqdemo: a sample database driver. Creates a KqClient object through the COM interface (from the kqclient\n"
    "library beside this program or, installed, in ../lib; with --registered through its registration:\n"
    "CoCreateInstance on Windows after regsvr32), attaches it and submits SQL statements: the lines of\n"
    "PATH (or of standard input with -), or else COUNT statements of a built-in order-entry workload at\n"
    "RATE per second.\n"
    "Values a monitor sends arrive through the callback and are printed. Gives a monitor --wait seconds\n"
    "to connect before the first statement; statements that no monitor reads are dropped. Ctrl+C ends early.\n"
    "Each statement goes with its outcome (IKqClient2::SubmitStatementOutcome): the workload's with\n"
    "made-up durations and rows and now and then an error; a file's when a line\n"
    "'-- kq-outcome: duration_us=N rows=N status=ok|error sqlstate=XXXXX code=N message=TEXT' (any of\n"
    "them; message last) comes before the statement. --no-outcomes submits text only.";

const char* const Workload[] = {
    "SELECT c.id, c.name, c.credit_limit FROM customers c WHERE c.id = %d",
    "SELECT o.id, o.placed_at, o.total FROM orders o WHERE o.customer_id = %d ORDER BY o.placed_at DESC LIMIT 10",
    "INSERT INTO orders (customer_id, placed_at, status) VALUES (%d, CURRENT_TIMESTAMP, 'open')",
    "INSERT INTO order_lines (order_id, product_id, quantity, unit_price) "
    "SELECT %d, p.id, 2, p.price FROM products p WHERE p.sku = 'SKU-1042'",
    "UPDATE products SET stock = stock - 2 WHERE sku = 'SKU-1042' AND stock >= 2 -- batch %d",
    "UPDATE orders SET status = 'paid', total = (SELECT SUM(quantity * unit_price) FROM order_lines WHERE order_id "
    "= %d) WHERE id = %d",
    "SELECT p.sku, p.name, p.stock FROM products p WHERE p.stock < %d ORDER BY p.stock",
    "DELETE FROM sessions WHERE last_seen < CURRENT_TIMESTAMP - INTERVAL '30 minutes' -- sweep %d",
    "COMMIT",
};

struct Options {
  std::int32_t ID = kqtool::ProcessID();
  std::string Name = "kqdemo";
  std::int32_t Count = 20;
  std::int32_t Rate = 5;
  std::string File;
  std::int32_t Wait = 1;
  bool Registered = false;
  bool NoOutcomes = false;
};

// What one statement did, as the demo reports it.
struct DemoOutcome {
  std::int64_t DurationMicros = -1;
  std::int64_t Rows = -1;
  bool Failed = false;
  std::string SqlState;
  std::int32_t Code = 0;
  std::string Message;
};

// Durations and rows as an order-entry database might see them: point reads well under a
// millisecond, lists and writes a few, a long tail now and then, and the errors such a workload
// meets (a duplicate key, a deadlock, a lock time-out).
class WorkloadOutcomes {
 public:
  DemoOutcome Next(std::int32_t n) {
    const std::size_t kind = static_cast<std::size_t>(n) % (sizeof Workload / sizeof Workload[0]);
    static constexpr double MedianMicros[] = {350, 2400, 900, 1500, 1200, 3000, 8000, 15000, 1800};
    std::lognormal_distribution<double> spread(0, 0.6);
    DemoOutcome outcome;
    double micros = MedianMicros[kind] * spread(FRandom);
    if (std::uniform_int_distribution<int>(0, 49)(FRandom) == 0) micros *= 40;  // a slow one: a cold cache, a lock
    outcome.DurationMicros = static_cast<std::int64_t>(micros) + 1;
    static constexpr std::int64_t MaxRows[] = {1, 10, 1, 1, 1, 1, 40, 200, 0};
    outcome.Rows = kind == 0 || (kind >= 2 && kind <= 5)
                       ? MaxRows[kind]
                       : std::uniform_int_distribution<std::int64_t>(0, MaxRows[kind])(FRandom);
    if (std::uniform_int_distribution<int>(0, 29)(FRandom) == 0) {
      outcome.Failed = true;
      outcome.Rows = -1;
      if (kind == 2 || kind == 3) {
        outcome.SqlState = "23505";
        outcome.Code = 1062;
        outcome.Message = "duplicate key value violates unique constraint \"orders_pkey\"";
      } else if (kind == 4 || kind == 5) {
        outcome.SqlState = "40P01";
        outcome.Code = 1213;
        outcome.Message = "deadlock detected";
      } else {
        outcome.SqlState = "57014";
        outcome.Code = 3024;
        outcome.Message = "canceling statement due to statement timeout";
        outcome.DurationMicros = 5000000 + outcome.DurationMicros;
      }
    }
    return outcome;
  }

 private:
  std::mt19937_64 FRandom{20261209};
};

// An outcome line of a statement file ("-- kq-outcome: duration_us=1500 rows=3 status=error ..."), or
// nothing when the line is a statement.
std::optional<DemoOutcome> ParseOutcomeLine(const std::string& line) {
  constexpr std::string_view Prefix = "-- kq-outcome:";
  if (line.compare(0, Prefix.size(), Prefix) != 0) return std::nullopt;
  DemoOutcome outcome;
  std::istringstream words(line.substr(Prefix.size()));
  std::string word;
  while (words >> word) {
    const std::size_t equals = word.find('=');
    const std::string key = word.substr(0, equals);
    std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
    if (key == "message") {
      // The rest of the line, blanks and all.
      std::string rest;
      std::getline(words, rest);
      outcome.Message = value + rest;
      break;
    }
    if (key == "duration_us")
      outcome.DurationMicros = std::stoll(value);
    else if (key == "rows")
      outcome.Rows = std::stoll(value);
    else if (key == "status")
      outcome.Failed = value == "error";
    else if (key == "sqlstate")
      outcome.SqlState = value;
    else if (key == "code")
      outcome.Code = std::stoi(value);
  }
  return outcome;
}

std::string WorkloadStatement(std::int32_t n) {
  const char* pattern = Workload[n % (sizeof Workload / sizeof Workload[0])];
  char text[512];
  std::snprintf(text, sizeof text, pattern, 1000 + n, 1000 + n);
  return text;
}

void KQ_CALLBACK OnMonitorData(void* callbackData, void*, std::int32_t data) {
  std::printf("kqdemo: %s: the monitor sent %d\n", static_cast<const Options*>(callbackData)->Name.c_str(), data);
  std::fflush(stdout);
}

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};

int Run(const Options& options) {
  kqtool::InstallInterruptHandler();
  kq::ComInitializer com;
  std::unique_ptr<kq::KqLibrary> library;  // must outlive the object
  HRESULT result = S_OK;
  std::unique_ptr<IKqClient, Releaser> client;
  if (options.Registered) {
    client.reset(kq::CreateRegisteredKqClient(&result));
  } else {
    // Beside the program in a build tree and on Windows; installed on POSIX, by name along the
    // program's run path (bin/../lib).
    std::string path = kq::KqLibraryBesideExecutable();
    if (!std::filesystem::exists(std::filesystem::path(std::u8string(path.begin(), path.end()))))
      path = kq::KqLibraryFileName();
    library = std::make_unique<kq::KqLibrary>(path);
    client.reset(library->CreateKqClient(&result));
  }
  if (!client) {
    std::fprintf(stderr, "kqdemo: cannot create a KqClient object (HRESULT 0x%08X)\n", static_cast<unsigned>(result));
    return 1;
  }
  std::u16string name = kq::Utf8ToUtf16(options.Name);
  if (client->AttachClient(options.ID, reinterpret_cast<const WCHAR*>(name.c_str()), const_cast<Options*>(&options),
                           &OnMonitorData) != KqTrue) {
    const std::u16string reason = kq::KqErrorDescription(client.get());
    std::fprintf(stderr, "kqdemo: client %d could not be attached: %s\n", options.ID,
                 reason.empty() ? "the library gave no reason" : kq::Utf16ToUtf8(reason).c_str());
    return 1;
  }
  // A driver learns of a monitor only through what SubmitStatement returns, so it simply gives one time.
  std::fprintf(stderr, "kqdemo: client %d (%s) attached; a monitor has %d s to connect\n", options.ID,
               options.Name.c_str(), options.Wait);
  // A deadline in the clock's own 64-bit count: any --wait the command line accepts fits it.
  const auto connectBy = std::chrono::steady_clock::now() + std::chrono::seconds(options.Wait);
  while (std::chrono::steady_clock::now() < connectBy && !kqtool::InterruptRequested())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

  // Outcomes go through the extension when the library has it; an older one gets the text alone.
  std::unique_ptr<IKqClient2, Releaser> extended;
  if (!options.NoOutcomes) {
    void* object = nullptr;
    if (SUCCEEDED(client->QueryInterface(IID_IKqClient2, &object))) extended.reset(static_cast<IKqClient2*>(object));
  }
  std::int32_t submitted = 0, traced = 0;
  auto submit = [&](const std::string& statement, const std::optional<DemoOutcome>& outcome) {
    std::u16string text = kq::Utf8ToUtf16(statement);
    const auto* units = reinterpret_cast<const WCHAR*>(text.c_str());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t taken = KqFalse;
    if (extended && outcome) {
      KqOutcome result{};
      result.durationMicros = outcome->DurationMicros;
      result.rows = outcome->Rows;
      result.status = outcome->Failed ? KqStatusError : KqStatusSuccess;
      result.nativeCode = outcome->Code;
      const std::u16string state = kq::Utf8ToUtf16(outcome->SqlState.substr(0, 5));
      for (std::size_t i = 0; i < state.size(); ++i) result.sqlState[i] = static_cast<WCHAR>(state[i]);
      const std::u16string message = kq::Utf8ToUtf16(outcome->Message);
      result.message = message.empty() ? nullptr : reinterpret_cast<const WCHAR*>(message.c_str());
      taken = extended->SubmitStatementOutcome(units, length, &result);
    } else {
      taken = client->SubmitStatement(units, length);
    }
    if (taken == KqTrue) ++traced;
    ++submitted;
  };

  if (!options.File.empty()) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (options.File != "-") {
      file.open(options.File);
      if (!file) {
        std::fprintf(stderr, "kqdemo: cannot read %s\n", options.File.c_str());
        return 1;
      }
      in = &file;
    }
    std::string line;
    std::optional<DemoOutcome> outcome;
    while (!kqtool::InterruptRequested() && std::getline(*in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (auto next = ParseOutcomeLine(line)) {
        outcome = next;
      } else if (!line.empty()) {
        submit(line, outcome);
        outcome.reset();
      }
    }
  } else {
    auto period = std::chrono::microseconds(options.Rate > 0 ? 1000000 / options.Rate : 0);
    auto next = std::chrono::steady_clock::now();
    WorkloadOutcomes outcomes;
    for (std::int32_t n = 0; n < options.Count && !kqtool::InterruptRequested(); ++n) {
      submit(WorkloadStatement(n), outcomes.Next(n));
      next += period;
      std::this_thread::sleep_until(next);
    }
  }
  std::fprintf(stderr, "kqdemo: submitted %d statement(s), %d traced\n", submitted, traced);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app(Description, "kqdemo");
  app.set_version_flag("--version", std::string("kqdemo ") + KQ_TOOL_VERSION);
  app.footer("Exit codes: 0 success, 1 failure, 2 usage error.");
  app.add_option("--id", options.ID, "client ID (default: the process ID)")->type_name("N");
  app.add_option("--name", options.Name, "display name")->type_name("TEXT")->capture_default_str();
  app.add_option("--count", options.Count, "statements of the built-in workload")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--rate", options.Rate, "statements per second (0: as fast as it can)")
      ->type_name("PER_SECOND")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--file", options.File, "submit the lines of PATH instead (- for standard input)")->type_name("PATH");
  std::string positional;
  app.add_option("SOURCE", positional, "the same as --file SOURCE (- for standard input)")->type_name("PATH|-");
  app.add_option("--wait", options.Wait, "seconds a monitor has to connect")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--registered", options.Registered, "create the object through its registration");
  app.add_flag("--no-outcomes", options.NoOutcomes, "submit statements without their outcomes");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (!positional.empty()) options.File = positional;
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kqdemo: %s\n", e.what());
    return 1;
  }
}
