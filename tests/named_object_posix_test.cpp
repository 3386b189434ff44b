#include "named_object_posix.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "event.h"
#include "kq_error.h"
#include "mutex.h"
#include "shared_mem.h"
#include "test_support.h"

using namespace kq;

namespace {

using kqtest::CreationError;

std::string ObjectDirectory() {
  const char* ns = std::getenv("KQ_NAMESPACE");
  return "/dev/shm/kq-" + std::to_string(getuid()) + "-" + (ns ? ns : "");
}

std::optional<struct stat> StatOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

int EntriesIn(const std::string& dir) {
  std::error_code ec;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec))
    ++count;
  return count;
}

// Every constructor refuses with its own message and `code` (then `why`), and leaves no descriptor behind.
void ExpectAllRefused(const std::u16string& name, const std::string& shown, int code, const std::string& why = "") {
  int before = OpenDescriptors();
  auto section = CreationError([&] { TSharedMem(name, 64); });
  auto event = CreationError([&] { TEvent(name, true); });
  auto mutex = CreationError([&] { TMutex held(name); });
  ASSERT_TRUE(section && event && mutex);
  std::string tail = shown + " [" + std::to_string(code) + "]" + why;
  EXPECT_EQ(std::string(section->what()), "Error creating shared memory: " + tail);
  EXPECT_EQ(std::string(event->what()), "Error creating named event object: " + tail);
  EXPECT_EQ(std::string(mutex->what()), "Error creating named mutex: " + tail);
  EXPECT_EQ(OpenDescriptors(), before);
}

std::string HelperPath() { return (std::filesystem::canonical("/proc/self/exe").parent_path() / "kq_test_helper"); }

// Futex calls of one helper run, counted by strace; nothing when strace cannot run here.
std::optional<long> FutexCalls(const std::string& helperArgs) {
  std::string out = kqtest::TempPath("strace.txt");
  std::string cmd = "strace -f -c -e trace=futex -o " + out + " " + HelperPath() + " " + helperArgs + " 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  std::ifstream in(out);
  if (!in) return std::nullopt;
  long calls = 0;
  std::string line;
  while (std::getline(in, line)) {
    char syscallName[32] = {};
    double percent = 0, seconds = 0;
    long usecs = 0, count = 0;
    if (std::sscanf(line.c_str(), "%lf %lf %ld %ld %*s %31s", &percent, &seconds, &usecs, &count, syscallName) == 5 &&
        std::strcmp(syscallName, "futex") == 0)
      calls = count;
    else if (std::sscanf(line.c_str(), "%lf %lf %ld %ld %31s", &percent, &seconds, &usecs, &count, syscallName) == 5 &&
             std::strcmp(syscallName, "futex") == 0)
      calls = count;
  }
  return calls;
}

}  // namespace

TEST(NamedObjectPosix, ObjectsAreFilesOfTheirNameAndKindUnderAPrivateDirectory) {
  kqtest::ScopedNamespace ns;
  std::string dir = ObjectDirectory();
  {
    TSharedMem section(u"Sec", 5000);
    TEvent event(u"Ev", true);
    TMutex mutex(u"Mx");

    auto dirStat = StatOf(dir);
    ASSERT_TRUE(dirStat);
    EXPECT_TRUE(S_ISDIR(dirStat->st_mode));
    EXPECT_EQ(dirStat->st_mode & 07777, 0700u);
    for (const char* leaf : {"/Sec.shm", "/Ev.event", "/Mx.mutex"}) {
      auto st = StatOf(dir + leaf);
      ASSERT_TRUE(st) << leaf;
      EXPECT_TRUE(S_ISREG(st->st_mode)) << leaf;
      EXPECT_EQ(st->st_mode & 07777, 0600u) << leaf;
      EXPECT_EQ(st->st_uid, getuid()) << leaf;
    }
    EXPECT_EQ(EntriesIn(dir), 3) << "no temporary file stays behind";
    EXPECT_EQ(StatOf(dir + "/Sec.shm")->st_size, 8192);
    EXPECT_EQ(section.MappedSize(), 8192u);

    // The file holds the section's bytes from offset 0, readable by anyone who maps it.
    static_cast<unsigned char*>(section.Buffer())[4999] = 0x7B;
    std::ifstream file(dir + "/Sec.shm", std::ios::binary);
    file.seekg(4999);
    EXPECT_EQ(file.get(), 0x7B);

    {
      TSharedMem again(u"Sec", 5000);
      EXPECT_FALSE(again.Created());
    }
    EXPECT_TRUE(StatOf(dir + "/Sec.shm")) << "a holder is left";
  }
  EXPECT_EQ(EntriesIn(dir), 0) << "the last holder of each object removes its file";
  EXPECT_FALSE(StatOf(dir)) << "and the last one of all the empty directory";
}

TEST(NamedObjectPosix, TheEmptyDirectoryGoesWithoutFailingAnyoneWhoOpensMeanwhile) {
  kqtest::ScopedNamespace ns;
  const std::string dir = ObjectDirectory();
  // Objects come and go in three threads and another process, so the directory is removed and made
  // again all the time, often while someone is between making it and creating a file in it.
  kqtest::ChildProcess other({"object-churn", "Other", "1500"});
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      const std::u16string prefix = u"T" + std::u16string(1, static_cast<char16_t>(u'0' + t));
      for (int i = 0; i < 1500; ++i) {
        try {
          TSharedMem section(prefix + u"Sec", 64);
          TEvent event(prefix + u"Ev", false);
        } catch (const EKqError&) {
          ++failures;
        }
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(other.Wait(60000), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(StatOf(dir)) << "nothing is left";
  // Held objects keep it, whatever else leaves.
  {
    TEvent kept(u"Kept", false);
    { TSharedMem passing(u"Passing", 64); }
    EXPECT_TRUE(StatOf(dir + "/Kept.event"));
  }
  EXPECT_FALSE(StatOf(dir));
}

TEST(NamedObjectPosix, SectionFileIsTheCreatorsSizeInWholePages) {
  kqtest::ScopedNamespace ns;
  TSharedMem exact(u"Exact", 4096), one(u"One", 1), over(u"Over", 4097);
  std::string dir = ObjectDirectory();
  EXPECT_EQ(StatOf(dir + "/Exact.shm")->st_size, 4096);
  EXPECT_EQ(StatOf(dir + "/One.shm")->st_size, 4096);
  EXPECT_EQ(StatOf(dir + "/Over.shm")->st_size, 8192);
  TSharedMem smaller(u"Over", 100);
  EXPECT_FALSE(smaller.Created());
  EXPECT_EQ(StatOf(dir + "/Over.shm")->st_size, 8192) << "an opener keeps the creator's size";
  auto error = CreationError([] { TSharedMem(u"Over", 8193); });
  ASSERT_TRUE(error);
  EXPECT_EQ(std::string(error->what()), "Error creating shared memory: Over [" + std::to_string(EINVAL) + "]");
}

TEST(NamedObjectPosix, NameWithSlashIsRefusedWithEinval) {
  kqtest::ScopedNamespace ns;
  ExpectAllRefused(u"a/b", "a/b", EINVAL);
  ExpectAllRefused(u"../Sec", "../Sec", EINVAL);
  EXPECT_EQ(EntriesIn(ObjectDirectory()), 0);
}

TEST(NamedObjectPosix, DirectoryOpenToOthersIsRefusedWithEacces) {
  kqtest::ScopedNamespace ns;
  std::string dir = ObjectDirectory();
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  // The message says which folder is wrong, so that a user can mend it.
  const std::string why = " (" + dir + " is not a directory of this user with mode 0700)";
  ExpectAllRefused(u"Sec", "Sec", EACCES, why);
  EXPECT_EQ(EntriesIn(dir), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);

  std::ofstream(dir).put('x');
  ExpectAllRefused(u"Sec", "Sec", EACCES, why);
  std::filesystem::remove(dir);
}

TEST(NamedObjectPosix, ADriverRefusedByTheObjectDirectoryIsToldWhichOne) {
  kqtest::ScopedNamespace ns;
  std::string dir = ObjectDirectory();
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0770), 0);
  const std::string expected = "Error creating named event object: KqMonitorEvent [" + std::to_string(EACCES) + "] (" +
                               dir + " is not a directory of this user with mode 0700)";
  EXPECT_EQ(kqtest::RunHelper({"com-attach", "beside", "5", expected}), 0);
  EXPECT_EQ(EntriesIn(dir), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
}

TEST(NamedObjectPosix, StaleFileOfAKilledLastHolderIsReplacedByAFreshSection) {
  kqtest::ScopedNamespace ns;
  std::string path = ObjectDirectory() + "/Sec.shm";
  TEvent ready(u"Ready", true);
  kqtest::ChildProcess holder({"section-hold", "Sec", "5000", "Ready"});
  ASSERT_TRUE(ready.Wait(20000));
  holder.Kill();
  ASSERT_TRUE(holder.Wait(10000).has_value());
  auto stale = StatOf(path);
  ASSERT_TRUE(stale) << "nobody closed it, so the file is still there";

  TSharedMem mem(u"Sec", 5000);
  EXPECT_TRUE(mem.Created());
  const auto* bytes = static_cast<const unsigned char*>(mem.Buffer());
  int nonZero = 0;
  for (int i = 0; i < 5000; ++i) nonZero += bytes[i] != 0;
  EXPECT_EQ(nonZero, 0);
  auto fresh = StatOf(path);
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh->st_ino, stale->st_ino);
  EXPECT_EQ(fresh->st_size, 8192);
  EXPECT_EQ(fresh->st_mode & 07777, 0600u);
}

TEST(NamedObjectPosix, FileOfAnotherKindIsRefused) {
  kqtest::ScopedNamespace ns;
  int dirError = 0;
  std::string dir = NamedObject::Directory(dirError);
  ASSERT_FALSE(dir.empty()) << dirError;
  // A section file renamed to an event's name, held open so that it is not taken for stale.
  auto section = std::make_unique<TSharedMem>(u"Sec", 64);
  ASSERT_EQ(link((dir + "/Sec.shm").c_str(), (dir + "/Ev.event").c_str()), 0);
  auto error = CreationError([] { TEvent(u"Ev", false); });
  ASSERT_TRUE(error);
  EXPECT_EQ(std::string(error->what()), "Error creating named event object: Ev [" + std::to_string(EINVAL) + "]");
  unlink((dir + "/Ev.event").c_str());
}

TEST(NamedObjectPosix, SignalWithoutWaiterMakesNoFutexCall) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", false);  // held here, so every run opens the same event
  auto idle = FutexCalls("event-signal-many Ev 0");
  if (!idle) GTEST_SKIP() << "strace cannot run here";
  auto busy = FutexCalls("event-signal-many Ev 5000");
  ASSERT_TRUE(busy);
  EXPECT_LT(*busy - *idle, 10) << "idle " << *idle << ", 5000 signals " << *busy;
  EXPECT_TRUE(event.Wait(0));
}
