// Killed drivers and monitors must not leave their files in the namespace's folder: neither their
// liveness files nor the objects that only they held.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client_directory.h"
#include "ipc_client.h"
#include "monitor.h"
#include "named_object_posix.h"
#include "test_support.h"

using namespace kq;

namespace {

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(folder, error)) files.push_back(item.path().filename());
  return files;
}

std::vector<std::string> LivenessFilesIn(const std::string& folder) {
  std::vector<std::string> files;
  for (const std::string& file : FilesIn(folder))
    if (file.ends_with(".live")) files.push_back(file);
  return files;
}

std::string Joined(const std::vector<std::string>& files) {
  std::string all;
  for (const std::string& file : files) all += file + " ";
  return all;
}

}  // namespace

TEST(LivenessFiles, KilledHoldersLeaveNoneBehindOnceTheNextUserCameAndWent) {
  kqtest::ScopedNamespace ns;
  int error = 0;
  const std::string folder = NamedObject::Directory(error);
  ASSERT_FALSE(folder.empty()) << error;
  {
    TClientDirectory directory(KqDirectoryCapacity);
    // A monitor displaced by a second one, and a driver whose live entry a monitor dropped: neither
    // has a record left that a later purge would find.
    kqtest::ChildProcess displaced({"monitor-idle", "971"});
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.MonitorID() == 971; }, 20000));
    kqtest::ChildProcess current({"monitor-idle", "972"});
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.MonitorID() == 972; }, 20000));
    kqtest::ChildProcess dropped({"driver", "81", "0", "0", "-1"});
    kqtest::ChildProcess listed({"driver", "82", "0", "0", "-1"});
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(81) != -1 && directory.FindClient(82) != -1; }));
    ASSERT_TRUE(directory.RemoveClient(81));
    for (kqtest::ChildProcess* child : {&displaced, &current, &dropped, &listed}) child->Kill();
    for (kqtest::ChildProcess* child : {&displaced, &current, &dropped, &listed}) ASSERT_TRUE(child->Wait(10000));
  }
  // A new user: a short-lived monitor and a driver.
  {
    Monitor monitor(973);
    TIPCClient client(83, u"next user");
    client.Activate();
    EXPECT_EQ(LivenessFilesIn(folder).size(), 2u) << "only the new user's own: " << Joined(LivenessFilesIn(folder));
  }
  EXPECT_EQ(Joined(LivenessFilesIn(folder)), "");
  EXPECT_EQ(Joined(FilesIn(folder)), "") << "a folder with no live holder ends empty";
}

TEST(LivenessFiles, AKilledPairsObjectsGoWithTheNextUserAlsoWhenItNeverOpensThem) {
  kqtest::ScopedNamespace ns;
  int error = 0;
  const std::string folder = NamedObject::Directory(error);
  ASSERT_FALSE(folder.empty()) << error;
  {
    kqtest::ChildProcess driver({"driver", "84", "1", "0", "-1"});
    kqtest::ChildProcess monitor({"monitor", "974", "84"});
    // Attached: the buffer and the events that only a monitor and its client hold exist.
    ASSERT_TRUE(kqtest::WaitUntil([&] { return std::filesystem::exists(folder + "/KqBuffer.shm"); }, 20000));
    for (kqtest::ChildProcess* child : {&driver, &monitor}) child->Kill();
    for (kqtest::ChildProcess* child : {&driver, &monitor}) ASSERT_TRUE(child->Wait(10000));
  }
  // A new user that never attaches, so never opens the pair's buffer or events under their names.
  {
    TIPCClient client(85, u"lone driver");
    client.Activate();
  }
  EXPECT_EQ(Joined(FilesIn(folder)), "") << "a folder with no live holder ends empty";
}
