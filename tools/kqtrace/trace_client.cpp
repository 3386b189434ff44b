#include "trace_client.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kqintf.h"
#include "trace_parts.h"

extern "C" char* program_invocation_short_name;

namespace kqtrace {

thread_local int Nesting::Depth __attribute__((tls_model("initial-exec"))) = 0;

namespace {

// How long the first statement waits for a registered monitor to attach the new client, so that a
// program as short as `psql -c "select 1"` is seen whole; and how long the exit leaves the monitor to
// read the last statements before the client detaches.
constexpr int AttachWaitMs = 1500;
constexpr int ExitGraceMs = 100;

// Keeps errno as the traced program left it across everything the interposer does.
class ErrnoKeeper {
 public:
  ErrnoKeeper() noexcept : FSaved(errno) {}
  ~ErrnoKeeper() { errno = FSaved; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int FSaved;
};

bool EnvFlag(const char* name) noexcept {
  const char* value = std::getenv(name);
  return value && *value && std::strcmp(value, "0") != 0;
}

// The named objects' folder of this user and namespace, as the library names it.
std::string ObjectFolder() {
  std::string folder = "/dev/shm/kq-" + std::to_string(getuid());
  const char* ns = std::getenv("KQ_NAMESPACE");
  if (ns && *ns) {
    folder += '-';
    folder += ns;
  }
  return folder;
}

// A section of ours mapped for reading, for the process's life (the client keeps the file alive).
const std::int32_t* MapSection(const std::string& path) noexcept {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nullptr;
  struct stat st {};
  void* view = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_uid == getuid() && st.st_size >= 16)
    view = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  return view == MAP_FAILED ? nullptr : static_cast<const std::int32_t*>(view);
}

std::int32_t LoadWord(const std::int32_t* word, std::size_t index) noexcept {
  return __atomic_load_n(word + index, __ATOMIC_RELAXED);
}

// A monitor of ours is registered and alive: the directory names it, the liveness section (layout in
// channel/directory_liveness.h, version 2) records it with its holder, and that holder's liveness
// file is held (a crashed monitor's lock is gone).
bool LiveMonitorRegistered(const std::int32_t* directory) {
  if (!directory) return false;
  const std::int32_t monitor = LoadWord(directory, 0);
  if (monitor == 0) return false;
  const std::string folder = ObjectFolder();
  const std::int32_t* liveness = MapSection(folder + "/KqDirectoryLiveness.shm");
  if (!liveness) return false;
  const bool ours = LoadWord(liveness, 0) == 2 && LoadWord(liveness, 1) == monitor;
  const auto process = static_cast<std::uint32_t>(LoadWord(liveness, 2));
  const auto serial = static_cast<std::uint32_t>(LoadWord(liveness, 3));
  munmap(const_cast<std::int32_t*>(liveness), 16);
  if (!ours) return false;
  const std::string live = folder + "/KqMonitor." + std::to_string(monitor) + "." + std::to_string(process) + "." +
                           std::to_string(serial) + ".Live.live";
  int fd = open(live.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also drops the lock when nobody held it
  return held;
}

struct Client {
  IKqClient* Object = nullptr;
  IKqClient2* Object2 = nullptr;  // null with a library older than the outcome extension
  const std::int32_t* Directory = nullptr;
  pid_t Pid = 0;
  std::int32_t ID = 0;
  std::atomic<bool> WaitForAttach{false};
  std::atomic<bool> Taken{false};
  // For the exit's diagnostics: a monitor's account (read + lost in gaps) is checked against these.
  std::atomic<std::uint64_t> Submitted{0};
  std::atomic<std::uint64_t> Accepted{0};
};

std::mutex Guard;  // creation, fork and exit
std::atomic<Client*> Current{nullptr};
std::atomic<bool> Disabled{false};  // the library could not be had: stop trying
void* Library = nullptr;
bool Registered = false;

void BeforeFork() noexcept { Guard.lock(); }
void AfterForkParent() noexcept { Guard.unlock(); }
// The child's threads are gone, the parent's among them: its client object is left as it is (releasing
// it would detach the parent's client) and the child makes its own on its first statement.
void AfterForkChild() noexcept {
  Current.store(nullptr);
  Guard.unlock();
}

void AtExit() noexcept {
  ErrnoKeeper keep;
  std::lock_guard lock(Guard);
  Client* client = Current.exchange(nullptr);
  Disabled = true;
  if (!client || client->Pid != getpid()) return;
  const std::uint64_t submitted = client->Submitted.load(), accepted = client->Accepted.load();
  Log("client %d detaching: %llu statement(s) traced, %llu taken by a monitor, %llu dropped (no monitor "
      "watching it)",
      client->ID, static_cast<unsigned long long>(submitted), static_cast<unsigned long long>(accepted),
      static_cast<unsigned long long>(submitted - accepted));
  if (client->Taken) {
    struct timespec grace = {0, ExitGraceMs * 1000000L};
    nanosleep(&grace, nullptr);
  }
  if (client->Object2) client->Object2->Release();
  client->Object->Release();  // detaches from a watching monitor, bounded by the library
}

std::string LibraryBesideUs() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Submit), &info) == 0 || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1) + KQ_CLIENT_LIBRARY;
}

IKqClient* CreateObject() {
  if (!Library) {
    std::string beside = LibraryBesideUs();
    if (!beside.empty()) Library = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!Library) Library = dlopen(KQ_CLIENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!Library) {
      const char* why = dlerror();
      Log("cannot load %s: %s", KQ_CLIENT_LIBRARY, why ? why : "?");
      return nullptr;
    }
  }
  auto getClassObject = reinterpret_cast<DllGetClassObjectProc>(dlsym(Library, "DllGetClassObject"));
  if (!getClassObject) return nullptr;
  IClassFactory* factory = nullptr;
  IKqClient* object = nullptr;
  if (getClassObject(CLSID_KqClient, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK || !factory)
    return nullptr;
  HRESULT hr = factory->CreateInstance(nullptr, IID_IKqClient, reinterpret_cast<void**>(&object));
  factory->Release();
  return hr == S_OK ? object : nullptr;
}

Client* Create(std::string_view database) {
  std::lock_guard lock(Guard);
  if (Client* existing = Current.load()) return existing;
  if (Disabled) return nullptr;
  if (!Registered) {
    Registered = true;
    pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild);
  }
  IKqClient* object = CreateObject();
  if (!object) {
    Disabled = true;
    Log("no kq client: tracing is off in this process");
    return nullptr;
  }
  const Settings& settings = CurrentSettings();
  // Cut between characters: cutting the converted units instead could leave half a surrogate pair.
  std::string name =
      settings.Name.empty() ? ClientName(program_invocation_short_name, database) : CutToClientName(settings.Name);
  std::u16string wide;
  Utf8ToUtf16(name, wide);
  // The process ID names the client; should a dead process's entry of the same number still be
  // listed, a second number derived from it is tried.
  const pid_t pid = getpid();
  std::int32_t id = static_cast<std::int32_t>(pid);
  bool attached = object->AttachClient(id, reinterpret_cast<const WCHAR*>(wide.c_str()), nullptr, nullptr) == KqTrue;
  if (!attached) {
    id = static_cast<std::int32_t>(pid) ^ 0x40000000;
    attached = object->AttachClient(id, reinterpret_cast<const WCHAR*>(wide.c_str()), nullptr, nullptr) == KqTrue;
  }
  if (!attached) {
    Log("client %d (%s) could not be attached", id, name.c_str());
    object->Release();
    Disabled = true;
    return nullptr;
  }
  auto* client = new Client;
  client->Object = object;
  client->Pid = pid;
  client->ID = id;
  void* second = nullptr;
  if (object->QueryInterface(IID_IKqClient2, &second) == S_OK && second)
    client->Object2 = static_cast<IKqClient2*>(second);
  client->Directory = MapSection(ObjectFolder() + "/KqClientDirectory.shm");
  client->WaitForAttach = LiveMonitorRegistered(client->Directory);
  Log("client %d (%s) attached%s%s", id, name.c_str(), client->Object2 ? ", with outcomes" : "",
      client->WaitForAttach ? ", a monitor is registered" : "");
  static bool exitRegistered = false;
  if (!exitRegistered) {
    // After the library's load, so this runs before the library's own clean-up at exit.
    exitRegistered = std::atexit(AtExit) == 0;
  }
  Current.store(client);
  return client;
}

void ToWide(std::string_view text, WCHAR* out, std::size_t units) {
  std::u16string wide;
  Utf8ToUtf16(text, wide);
  std::size_t n = wide.size() < units - 1 ? wide.size() : units - 1;
  std::memcpy(out, wide.data(), n * sizeof(WCHAR));
  out[n] = 0;
}

}  // namespace

const Settings& CurrentSettings() noexcept {
  static const Settings settings = [] {
    Settings s;
    s.Params = EnvFlag("KQTRACE_PARAMS");
    s.Redact = EnvFlag("KQTRACE_REDACT");
    if (const char* name = std::getenv("KQTRACE_NAME")) s.Name = name;
    return s;
  }();
  return settings;
}

bool Wanted() noexcept {
  Client* client = Current.load(std::memory_order_acquire);
  if (!client) return !Disabled.load(std::memory_order_relaxed);
  return !client->Directory || LoadWord(client->Directory, 0) != 0;
}

std::int64_t NowNs() noexcept {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Submit(std::string_view text, const Outcome& outcome, DatabaseLabel label, const void* context) noexcept {
  ErrnoKeeper keep;
  try {
    Client* client = Current.load(std::memory_order_acquire);
    if (!client) client = Create(label ? label(context) : std::string());
    if (!client) return;
    thread_local std::u16string wide, message;
    Utf8ToUtf16(text, wide);
    KqOutcome result{};
    result.durationMicros = outcome.DurationMicros;
    result.rows = outcome.Rows;
    result.status = outcome.Failed ? KqStatusError : KqStatusSuccess;
    result.nativeCode = outcome.NativeCode;
    if (!outcome.SqlState.empty()) ToWide(outcome.SqlState, result.sqlState, 6);
    if (!outcome.Message.empty()) {
      Utf8ToUtf16(outcome.Message, message);
      if (message.size() > static_cast<std::size_t>(KqOutcomeMessageMax)) message.resize(KqOutcomeMessageMax);
      result.message = reinterpret_cast<const WCHAR*>(message.c_str());
    }
    auto send = [&] {
      const auto* units = reinterpret_cast<const WCHAR*>(wide.c_str());
      const auto length = static_cast<std::int32_t>(wide.size());
      return client->Object2 ? client->Object2->SubmitStatementOutcome(units, length, &result)
                             : client->Object->SubmitStatement(units, length);
    };
    std::int32_t taken = send();
    // A registered monitor attaches a new client only once it hears of it: the first statement waits
    // for that (bounded), else a short program would end before anything was read.
    if (taken != KqTrue && client->WaitForAttach.exchange(false)) {
      for (int waited = 0; waited < AttachWaitMs && taken != KqTrue; waited += 10) {
        struct timespec pause = {0, 10 * 1000000L};
        nanosleep(&pause, nullptr);
        taken = send();
      }
      Log("first statement %s", taken == KqTrue ? "taken after the attach" : "dropped: no attach in time");
    }
    client->WaitForAttach = false;
    client->Submitted.fetch_add(1, std::memory_order_relaxed);
    if (taken == KqTrue) {
      client->Accepted.fetch_add(1, std::memory_order_relaxed);
      client->Taken.store(true, std::memory_order_relaxed);
    }
  } catch (...) {
    // Out of memory or the like: the statement goes untraced, the program goes on.
  }
}

void Log(const char* format, ...) noexcept {
  const char* path = std::getenv("KQTRACE_LOG");
  if (!path || !*path) return;
  ErrnoKeeper keep;
  char line[1024];
  int used = std::snprintf(line, sizeof line, "kqtrace[%d]: ", static_cast<int>(getpid()));
  va_list args;
  va_start(args, format);
  int more = std::vsnprintf(line + used, sizeof line - static_cast<std::size_t>(used) - 1, format, args);
  va_end(args);
  std::size_t length = static_cast<std::size_t>(used) + (more < 0 ? 0 : static_cast<std::size_t>(more));
  if (length > sizeof line - 2) length = sizeof line - 2;
  line[length++] = '\n';
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line, length);
  (void)ignored;
  close(fd);
}

void* FindLoaded(const char* soname, const char* symbol) noexcept {
  if (void* found = dlsym(RTLD_NEXT, symbol)) return found;
  void* handle = dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) return nullptr;
  void* found = dlsym(handle, symbol);
  dlclose(handle);  // NOLOAD took a reference; the library stays loaded by whoever loaded it
  return found;
}

}  // namespace kqtrace
