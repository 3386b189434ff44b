// kqmon: the command-line monitor. Lists the traced clients, attaches to one and shows its statements
// live (as text or JSON lines, filtered, redacted, into rotating files, or in a browser), aggregates
// them by shape (top), and drives the other requests of the channel (ping, data signal, buffer
// reallocation).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "kq_error.h"
#include "option_checks.h"
#include "serve_command.h"
#include "text.h"
#include "tool_support.h"
#include "tool_version.h"

namespace {

using namespace kqtool;

constexpr const char* Footer =
    "Exit codes: 0 success, 1 failure, 2 usage error. KQ_NAMESPACE=NAME keeps every named object apart from the "
    "real ones.";

void AddFormat(CLI::App& command, std::string& format) {
  command.add_option("--format", format, "output format: text, or json (one object per line)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"text", "json"}))
      ->capture_default_str();
}

// `colour` may be null: a command whose output is not a terminal's has no --color.
void AddWatchSettings(CLI::App& command, WatchSettings& watch, StatementFilter& filter, std::string& grep,
                      std::string* colour) {
  command
      .add_option("--client", watch.Clients,
                  "watch only this client, by ID or by name; repeatable (default: every client, also those that "
                  "start during the watch)")
      ->type_name("ID|NAME")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command.add_option("--buffer-size", watch.BufferKB, "trace buffer size in KB (the shared one and each client's)")
      ->type_name("KB")
      ->check(CLI::Range(1, 1024 * 1024))
      ->capture_default_str();
  command.add_option("--spool", watch.Spool, "let the client append evicted statements to FILE")->type_name("FILE");
  command.add_option("--save", watch.Save, "save the buffer's statements to FILE when leaving")
      ->type_name("FILE")
      ->check(FolderExistsCheck());
  command.add_option("--duration", watch.Duration, "leave after this many seconds")
      ->type_name("SECONDS")
      ->check(SecondsCheck());
  command.add_flag("--until-detach", watch.UntilDetach, "leave when the last watched client detaches");
  command.add_option("--grep", grep, "only statements that contain PATTERN (plain text, any case)")
      ->type_name("PATTERN");
  command
      .add_option("--min-duration", filter.MinDurationMs,
                  "only statements that ran at least MS milliseconds (their clients send how long they ran)")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
  command.add_flag("--redact", filter.Redact, "replace string and numeric literals with ? in all output");
  if (!colour) return;
  command.add_option("--color", *colour, "colour: auto (a terminal, unless NO_COLOR is set), always, never")
      ->type_name("WHEN")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
}

int Run(int argc, char** argv) {
  CLI::App app("kqmon: the monitor of the kq SQL trace channel", "kqmon");
  app.set_version_flag("--version", std::string("kqmon ") + KQ_TOOL_VERSION);
  app.footer(Footer);
  app.require_subcommand(1);

  ListOptions list;
  CLI::App* listCommand = app.add_subcommand("list", "show the registered monitor, the buffer size and the clients");
  AddFormat(*listCommand, list.Format);

  ListOptions ping;
  CLI::App* pingCommand =
      app.add_subcommand("ping", "ask the waiting clients to mark themselves alive, then list them");
  AddFormat(*pingCommand, ping.Format);

  WatchOptions watch;
  std::string watchGrep;
  CLI::App* watchCommand = app.add_subcommand("watch", "print every client's statements live, labelled, until Ctrl+C");
  watchCommand->add_flag("--refno", watch.Watch.RefNo, "show reference numbers");
  watchCommand->add_flag("--time", watch.Watch.Time, "show the date and time with milliseconds");
  AddWatchSettings(*watchCommand, watch.Watch, watch.Filter, watchGrep, &watch.Colour);
  AddFormat(*watchCommand, watch.Format);
  CLI::Option* output =
      watchCommand->add_option("--output", watch.Output, "write to FILE instead of standard output")->type_name("FILE");
  watchCommand->add_option("--rotate-size", watch.RotateSizeMB, "start a new FILE when it would pass MB megabytes")
      ->type_name("MB")
      ->check(MegabytesCheck())
      ->needs(output);
  watchCommand->add_option("--rotate-keep", watch.RotateKeep, "old files to keep as FILE.1 .. FILE.N")
      ->type_name("N")
      ->check(CLI::Range(0, 1000))
      ->capture_default_str()
      ->needs(output);

  TopOptions top;
  std::string topGrep;
  CLI::App* topCommand = app.add_subcommand("top", "count the statements of every client by shape");
  AddWatchSettings(*topCommand, top.Watch, top.Filter, topGrep, &top.Colour);
  AddFormat(*topCommand, top.Format);
  topCommand->add_option("-n,--limit", top.Limit, "rows to show")
      ->type_name("N")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  topCommand->add_option("--burst", top.Burst.Count, "a burst is this many statements of one shape ...")
      ->type_name("N")
      ->check(CLI::Range(2, 1000000))
      ->capture_default_str();
  topCommand->add_option("--burst-window", top.Burst.WindowMs, "... within this many milliseconds")
      ->type_name("MS")
      ->check(CLI::Range(1, 3600000))
      ->capture_default_str();

  ServeOptions serve;
  std::string serveGrep;
  CLI::App* serveCommand = app.add_subcommand(
      "serve", "watch like watch does and show it live in a browser: prints the page's URL with its access token");
  AddWatchSettings(*serveCommand, serve.Watch, serve.Filter, serveGrep, nullptr);
  serveCommand->add_option("--port", serve.Port, "the port to listen on (0: any free one)")
      ->type_name("N")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  serveCommand->add_option("--bind", serve.Bind, "the address to listen on")->type_name("ADDR")->capture_default_str();
  serveCommand->add_flag("--allow-remote", serve.AllowRemote,
                         "allow a --bind address that other machines can reach (plain HTTP)");
  serveCommand->add_option("--top", serve.TopRows, "rows of the top-statements view")
      ->type_name("N")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();

  std::int32_t signalID = 0, signalValue = 0;
  CLI::App* signalCommand =
      app.add_subcommand("signal", "send VALUE to the connected client ID (its driver's callback)");
  signalCommand->add_option("ID", signalID, "the client")->required()->type_name("ID");
  signalCommand->add_option("VALUE", signalValue, "a whole number")->required()->type_name("VALUE");

  std::int32_t reallocKB = 0;
  std::string reallocClient;
  CLI::App* reallocCommand =
      app.add_subcommand("realloc", "resize an unwatched client's trace buffer (attach, resize, detach)");
  reallocCommand->add_option("KB", reallocKB, "the new size in KB")
      ->required()
      ->type_name("KB")
      ->check(CLI::Range(1, 1024 * 1024));
  reallocCommand->add_option("--client", reallocClient, "the client, by ID or by name (default: the first listed)")
      ->type_name("ID|NAME");

  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) command->footer(Footer);

  if (auto unknown = UnknownCommand(app, argc, argv)) {
    std::fprintf(stderr, "kqmon: %s\n", unknown->c_str());
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version are "errors" with code 0; every real one is a usage error.
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (auto problem = NamespaceProblem(std::getenv("KQ_NAMESPACE"))) {
    std::fprintf(stderr, "kqmon: %s\n", problem->c_str());
    return 1;
  }
  if (!watchGrep.empty()) watch.Filter.Grep = kq::Utf8ToUtf16(watchGrep);
  if (!topGrep.empty()) top.Filter.Grep = kq::Utf8ToUtf16(topGrep);
  if (!serveGrep.empty()) serve.Filter.Grep = kq::Utf8ToUtf16(serveGrep);

  PrepareConsole();
  if (*listCommand) return RunList(list);
  if (*pingCommand) return RunPing(ping);
  if (*watchCommand) return RunWatch(watch);
  if (*topCommand) return RunTop(top);
#if KQ_HAVE_SERVE
  if (*serveCommand) return RunServe(serve);
#else
  if (*serveCommand) {
    std::fputs(
        "kqmon: this build has no serve: cpp-httplib's httplib.h was missing when it was built "
        "(scripts/setup.sh serve installs it; then build again)\n",
        stderr);
    return 1;
  }
#endif
  if (*signalCommand) return RunSignal(signalID, signalValue);
  if (*reallocCommand) return RunRealloc(reallocKB, reallocClient);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kqmon: %s\n", e.what());
  }
  return 1;
}
