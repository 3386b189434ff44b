#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "com_test_monitor.h"
#include "guid_text.h"
#include "kq_loader.h"
#include "kqintf.h"
#include "registry_store.h"
#include "test_support.h"
#include "text.h"

namespace {

using kq::RegRoot;

const std::u16string ClassKey = u"CLSID\\" + kq::GuidToString(CLSID_KqClient);
const std::u16string_view Description = u"Vornel Orvalis Client Library";

struct Entry {
  std::u16string Key;
  std::u16string_view Value;
};

// The six values registration writes, below a prefix ("" or "Software\Classes\").
std::vector<Entry> Entries(const std::u16string& prefix) {
  return {{prefix + ClassKey, u""},
          {prefix + ClassKey + u"\\InprocServer32", u""},
          {prefix + ClassKey + u"\\InprocServer32", u"ThreadingModel"},
          {prefix + u"Vornel.KqClient", u""},
          {prefix + u"Vornel.KqClient\\Clsid", u""},
          {prefix + ClassKey + u"\\ProgID", u""}};
}

void ExpectRegistered(RegRoot root, const std::u16string& prefix) {
  const auto entries = Entries(prefix);
  std::vector<std::optional<std::u16string>> read;
  for (const Entry& e : entries) read.push_back(kq::ReadRegValue(root, e.Key, e.Value));
  EXPECT_EQ(read[0], std::u16string(Description));
  ASSERT_TRUE(read[1]);
  EXPECT_NE(read[1]->find(kq::Utf8ToUtf16(kq::KqLibraryFileName())), std::u16string::npos) << "the library's path";
  EXPECT_EQ(read[1]->find(u' '), std::u16string::npos);
  EXPECT_EQ(read[2], std::u16string(u"Both"));
  EXPECT_EQ(read[3], std::u16string(Description));
  EXPECT_EQ(read[4], kq::GuidToString(CLSID_KqClient));
  EXPECT_EQ(read[5], std::u16string(u"Vornel.KqClient"));
}

void ExpectUnregistered(RegRoot root, const std::u16string& prefix) {
  for (const Entry& e : Entries(prefix)) EXPECT_FALSE(kq::RegKeyExists(root, e.Key));
}

int RunRegister(const std::string& op, std::vector<std::string> switches = {}) {
  std::vector<std::string> args{"com-register", "beside", op};
  args.insert(args.end(), switches.begin(), switches.end());
  return kqtest::RunHelper(args, 60000);
}

// Points the per-user store of POSIX builds at this test's folder (children inherit it). The Windows
// registry is the build's Wine prefix instead, which is why all registration cases are one test.
class PrivateStore {
 public:
  PrivateStore() : FSetting("XDG_CONFIG_HOME=" + kqtest::TempPath("config")) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    FRestore = "XDG_CONFIG_HOME=" + std::string(old ? old : "");
    putenv(FSetting.data());
  }
  ~PrivateStore() {
    static std::string restore;  // putenv keeps the string itself
    restore = FRestore;
    putenv(restore.data());
  }

 private:
  std::string FSetting;
  std::string FRestore;
};

TEST(ComRegistrationTest, RegistrationRootFollowsTheHostSwitchesAndServesDrivers) {
  kqtest::ScopedNamespace ns;
  PrivateStore store;
  const std::u16string perUser = u"Software\\Classes\\";

  // Twice in a row: the same six values, S_OK both times.
  ASSERT_EQ(RunRegister("register"), 0);
  ASSERT_EQ(RunRegister("register"), 0);
  ExpectRegistered(RegRoot::ClassesRoot, u"");
  ExpectUnregistered(RegRoot::CurrentUser, perUser);

  // A driver finds the class through its registration and talks to a monitor.
  {
    kqtest::TestMonitor monitor;
    kqtest::ChildProcess driver({"com-driver", "registered", "77", "registered driver", "3"});
    ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory.FindClient(77) != -1; }, 30000));
    ASSERT_TRUE(monitor.Attach(77));
    monitor.SendData(77, 5);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.RecordCount() == 4; }, 30000));
    EXPECT_EQ(monitor.LastRecord().second, u"statement 2");
    monitor.Leave();
    monitor.SendData(77, 6);
    EXPECT_EQ(driver.Wait(30000), 0);
  }

  ASSERT_EQ(RunRegister("unregister"), 0);
  ExpectUnregistered(RegRoot::ClassesRoot, u"");
  EXPECT_EQ(RunRegister("unregister"), 0) << "unregistering an unregistered library";

  ASSERT_EQ(RunRegister("register", {"/REGSERVERPERUSER"}), 0);
  ExpectRegistered(RegRoot::CurrentUser, perUser);
  ExpectUnregistered(RegRoot::ClassesRoot, u"");
  ASSERT_EQ(RunRegister("unregister", {"-unregserverperuser"}), 0);
  ExpectUnregistered(RegRoot::CurrentUser, perUser);

  ASSERT_EQ(RunRegister("register", {"/Embedding", "/REGSERVERPERUSER"}), 0);
  ExpectRegistered(RegRoot::ClassesRoot, u"");
  ExpectUnregistered(RegRoot::CurrentUser, perUser);
  ASSERT_EQ(RunRegister("unregister", {"/EMBEDDING", "/REGSERVERPERUSER"}), 0);
  ExpectUnregistered(RegRoot::ClassesRoot, u"");
}

TEST(ComRegistrationTest, DriverLoadsTheLibraryBesideIt) {
  kqtest::ScopedNamespace ns;
  kqtest::TestMonitor monitor;
  kqtest::ChildProcess driver({"com-driver", "beside", "78", "loaded driver", "2"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory.FindClient(78) != -1; }, 30000));
  EXPECT_EQ(monitor.Directory.GetClientName(78), u"loaded driver");
  ASSERT_TRUE(monitor.Attach(78));
  monitor.SendData(78, 5);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.RecordCount() == 3; }, 30000));
  EXPECT_EQ(monitor.LastRecord().second, u"statement 1");
  monitor.Leave();
  monitor.SendData(78, 6);
  EXPECT_EQ(driver.Wait(30000), 0);
}

}  // namespace
