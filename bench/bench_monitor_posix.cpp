// kq_bench_monitor: the monitor library with a writer like the floor model's, to tell the reader's
// pace from kqmon's: attaches to a client, reads its records as views, formats them as kqmon's
// lines into one buffer and writes each batch with one call, until the client detaches.
//   kq_bench_monitor --client ID --buffer-size KB
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_workload.h"
#include "monitor.h"

namespace {

void WriteAll(const char* data, std::size_t bytes) {
  while (bytes > 0) {
    const ssize_t n = write(STDOUT_FILENO, data, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(1);
    data += n;
    bytes -= static_cast<std::size_t>(n);
  }
}

void WriteLines(const std::vector<kq::TraceLineView>& views, std::vector<char>& out) {
  if (views.empty()) return;
  std::size_t room = 0;
  for (const kq::TraceLineView& v : views) room += v.Text.size() * 3 + 96;
  if (out.size() < room) out.resize(room);
  char* p = out.data();
  for (const kq::TraceLineView& v : views) {
    if (v.Gap) {
      p += std::snprintf(p, 96, "--- gap: %d statement(s) from ref %d evicted before they were read ---\n", v.Missing,
                         v.RefNo);
      continue;
    }
    const auto seconds = static_cast<std::uint32_t>((v.Time - std::floor(v.Time)) * 86400.0);
    p = kqbench::FormatLine(p, static_cast<std::uint32_t>(v.RefNo), seconds, v.Text);
  }
  WriteAll(out.data(), static_cast<std::size_t>(p - out.data()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto client = static_cast<std::int32_t>(std::stol(kqbench::Option(args, "--client", "4242")));
  const int kb = std::stoi(kqbench::Option(args, "--buffer-size", "512"));
  try {
    kq::Monitor monitor(static_cast<std::int32_t>(getpid()));
    monitor.SetBufferSize(kb * 1024);
    monitor.SetViewSettings(true, true, u"");
    const std::int64_t giveUp = kqbench::NowNs() + 20000000000LL;
    while (monitor.Directory().FindClient(client) == -1 || !monitor.Attach(client, 1000)) {
      if (kqbench::NowNs() > giveUp) return 1;
      usleep(5000);
    }
    std::vector<char> out;
    for (;;) {
      const kq::MonitorMessage message = monitor.Poll(200);
      WriteLines(monitor.ReadNewViews(), out);
      if (message.News == kq::MonitorNews::ClientDetached && !monitor.Attached()) break;
    }
    WriteLines(monitor.ReadNewViews(), out);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kq_bench_monitor: %s\n", e.what());
    return 1;
  }
  return 0;
}
