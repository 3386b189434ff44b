// kqodbc: sets the tracing proxy up in one step. `kqodbc install` registers the proxy driver that
// matches the real driver (the wide build when the real driver has wide entry points, else the ANSI
// one) and, with --dsn, a data source that goes through it to the real driver.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "odbc_headers.h"
#include "real_driver.h"
#include "tool_version.h"

namespace {

constexpr const char* Description =
    "kqodbc: the tracing ODBC proxy driver. `install` registers the proxy over the real driver DRIVER (a\n"
    "registered driver's name or a library path) under the driver name \"kqodbc <DRIVER>\" and, with --dsn,\n"
    "a data source NAME through it (KqDriver=DRIVER plus the --attr values). The proxy that matches the\n"
    "real driver's ANSI/wide entry points is chosen. Where a manager keeps 32-bit and 64-bit registrations\n"
    "apart (Windows), run the kqodbc of each width.";

struct Options {
  std::string Driver;
  std::string Dsn;
  std::vector<std::string> Attributes;
  bool Params = false;
  bool Catalog = false;
  bool System = false;
  std::string Proxy;  // the proxy library; default: the matching one beside this program or in ../lib
};

std::string InstallerError() {
  DWORD code = 0;
  char message[512] = "";
  WORD length = 0;
  if (SQLInstallerError(1, &code, message, sizeof message, &length) == SQL_NO_DATA) return "no reason given";
  return message;
}

std::string ProxyPath(const Options& options, bool wide) {
  if (!options.Proxy.empty()) return options.Proxy;
  // Linux names a program run from PATH only by its name; /proc/self/exe has its file.
  std::error_code noProc;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", noProc);
  if (noProc) self = std::filesystem::absolute(std::filesystem::path(kqodbc::ThisModulePath()));
#ifdef _WIN32
  const std::string file = wide ? "kqodbc.dll" : "kqodbca.dll";
#else
  const std::string file = wide ? "libkqodbc.so" : "libkqodbca.so";
#endif
  for (const auto& folder : {self.parent_path(), self.parent_path().parent_path() / "lib"}) {
    std::error_code ignored;
    if (std::filesystem::exists(folder / file, ignored)) return (folder / file).string();
  }
  return (self.parent_path() / file).string();
}

int Install(const Options& options) {
  std::string error;
  kqodbc::RealDriver* real = kqodbc::LoadRealDriver(options.Driver, error);
  if (!real) {
    std::fprintf(stderr, "kqodbc: %s\n", error.c_str());
    return 1;
  }
  const std::string proxy = ProxyPath(options, real->Wide);
  // A driver given by its library is registered under the library's name without folder or extension.
  const bool byPath = options.Driver.find_first_of("/\\") != std::string::npos;
  const std::string name =
      "kqodbc " + (byPath ? std::filesystem::path(options.Driver).stem().string() : options.Driver);
  // The driver's entry: NUL-separated KEY=VALUE pairs after its name. The manager must keep the proxy
  // loaded, as the proxy keeps its real driver and its kq client for the process. No set-up library of
  // its own: data sources are configured with the real driver's attributes.
  std::string entry = name + '\0' + "Description=kq tracing proxy over " + options.Driver + '\0' + "Driver=" + proxy +
                      '\0' + "DontDLClose=1" + '\0' + '\0';
  char installed[1024] = "";
  WORD length = 0;
  DWORD usage = 0;
  if (!SQLInstallDriverEx(entry.c_str(), nullptr, installed, sizeof installed, &length, ODBC_INSTALL_COMPLETE,
                          &usage)) {
    std::fprintf(stderr, "kqodbc: the driver \"%s\" could not be registered: %s\n", name.c_str(),
                 InstallerError().c_str());
    return 1;
  }
  // unixODBC records the path given; Windows' installer may not (it takes the folder).
  SQLWritePrivateProfileString(name.c_str(), "Driver", proxy.c_str(), "ODBCINST.INI");
  std::printf("kqodbc: registered the driver \"%s\" (%s, %s)\n", name.c_str(), proxy.c_str(),
              real->Wide ? "ANSI and wide" : "ANSI only");
  if (options.Dsn.empty()) return 0;

  SQLSetConfigMode(options.System ? ODBC_SYSTEM_DSN : ODBC_USER_DSN);
  bool written = SQLWriteDSNToIni(options.Dsn.c_str(), name.c_str()) &&
                 SQLWritePrivateProfileString(options.Dsn.c_str(), "KqDriver", options.Driver.c_str(), "ODBC.INI");
  if (options.Params)
    written = written && SQLWritePrivateProfileString(options.Dsn.c_str(), "KqParams", "1", "ODBC.INI");
  if (options.Catalog)
    written = written && SQLWritePrivateProfileString(options.Dsn.c_str(), "KqCatalog", "1", "ODBC.INI");
  for (const std::string& attribute : options.Attributes) {
    const auto equals = attribute.find('=');
    written = written && SQLWritePrivateProfileString(options.Dsn.c_str(), attribute.substr(0, equals).c_str(),
                                                      attribute.substr(equals + 1).c_str(), "ODBC.INI");
  }
  SQLSetConfigMode(ODBC_BOTH_DSN);
  if (!written) {
    std::fprintf(stderr, "kqodbc: the data source \"%s\" could not be written: %s\n", options.Dsn.c_str(),
                 InstallerError().c_str());
    return 1;
  }
  std::printf("kqodbc: wrote the %s data source \"%s\" through \"%s\"\n", options.System ? "system" : "user",
              options.Dsn.c_str(), name.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app(Description, "kqodbc");
  app.set_version_flag("--version", std::string("kqodbc ") + KQ_TOOL_VERSION);
  app.require_subcommand(1);
  CLI::App* install = app.add_subcommand("install", "register the proxy over DRIVER and, with --dsn, a data source");
  install->add_option("DRIVER", options.Driver, "the real driver: its registered name or its library")
      ->required()
      ->type_name("DRIVER");
  install->add_option("--dsn", options.Dsn, "also write the data source NAME through the proxy")->type_name("NAME");
  install->add_option("--attr", options.Attributes, "an attribute of the data source for the real driver")
      ->type_name("KEY=VALUE")
      ->check([](const std::string& value) { return value.find('=') == std::string::npos ? "no '=' in it" : ""; });
  install->add_flag("--params", options.Params, "trace bound parameter values (KqParams=1)");
  install->add_flag("--catalog", options.Catalog, "trace catalog calls as pseudo-statements (KqCatalog=1)");
  install->add_flag("--system", options.System, "a system data source rather than the user's");
  install->add_option("--proxy", options.Proxy, "the proxy library to register (default: the matching one)")
      ->type_name("PATH");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  return Install(options);
}
