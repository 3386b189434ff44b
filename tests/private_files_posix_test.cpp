// The spool and save files hold traced statements: another local user must not be able to point them
// elsewhere with a link, nor read them from a file of theirs, nor find them readable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ipc_buffer.h"
#include "ipc_client.h"
#include "kq_error.h"
#include "monitor.h"
#include "test_support.h"
#include "text.h"
#include "text_file.h"

using namespace kq;

namespace {

constexpr uid_t Nobody = 65534;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Fills a 400-byte ring until its first block is reclaimed, which opens the spool file.
void Evict(TIPCBuffer& buffer) {
  const std::u16string text = u"evicted statement";
  for (int i = 0; i < 30; ++i) buffer.Add(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
}

class PrivateFiles : public testing::Test {
 protected:
  kqtest::ScopedNamespace FNamespace;
  std::string FDir = kqtest::TempPath("");
  std::string FPath = kqtest::TempPath("spool.txt");
  std::string FVictim = kqtest::TempPath("victim.txt");
};

}  // namespace

TEST_F(PrivateFiles, NewFilesAreReadableByTheirOwnerOnlyWhateverTheUmask) {
  const mode_t old = umask(0);
  TextFile file;
  EXPECT_EQ(file.OpenAppend(Utf8ToUtf16(FPath)), 0);
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(file.Create(Utf8ToUtf16(FVictim)), 0);
  EXPECT_EQ(file.Close(), 0);
  umask(old);
  for (const std::string& path : {FPath, FVictim}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
  }
}

TEST_F(PrivateFiles, LinksAndFilesThatAreNotRegularAreRefusedAndLeftAlone) {
  Write(FVictim, "precious\n");
  const std::string link = FDir + "/link.txt";
  const std::string dangling = FDir + "/dangling.txt";
  const std::string fifo = FDir + "/fifo";
  std::filesystem::create_symlink(FVictim, link);
  std::filesystem::create_symlink(FDir + "/planted-target.txt", dangling);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string Path;
    FileRefusal Reason;
  };
  for (const Case& c : {Case{link, FileRefusal::Link}, Case{dangling, FileRefusal::Link},
                        Case{fifo, FileRefusal::NotRegular}, Case{FDir, FileRefusal::NotRegular}}) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(TextFile::Inspect(Utf8ToUtf16(c.Path)), c.Reason);
    TextFile file;
    const int append = file.OpenAppend(Utf8ToUtf16(c.Path));
    EXPECT_EQ(TextFile::RefusalOf(append), c.Reason);
    EXPECT_FALSE(file.IsOpen());
    const int create = file.Create(Utf8ToUtf16(c.Path));
    EXPECT_EQ(TextFile::RefusalOf(create), c.Reason);
    EXPECT_FALSE(file.IsOpen());
  }
  EXPECT_EQ(ReadAll(FVictim), "precious\n") << "neither appended to nor truncated through the link";
  EXPECT_FALSE(std::filesystem::exists(FDir + "/planted-target.txt")) << "a dangling link creates nothing";
  EXPECT_EQ(TextFile::Inspect(Utf8ToUtf16(FVictim)), FileRefusal::None);
  EXPECT_EQ(TextFile::Inspect(Utf8ToUtf16(FDir + "/missing.txt")), FileRefusal::None);
}

TEST_F(PrivateFiles, AFileOfAnotherUserIsRefusedWithoutBeingCut) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
  Write(FPath, "theirs\n");
  ASSERT_EQ(chown(FPath.c_str(), Nobody, Nobody), 0);
  EXPECT_EQ(TextFile::Inspect(Utf8ToUtf16(FPath)), FileRefusal::OtherOwner);
  TextFile file;
  EXPECT_EQ(TextFile::RefusalOf(file.OpenAppend(Utf8ToUtf16(FPath))), FileRefusal::OtherOwner);
  EXPECT_EQ(TextFile::RefusalOf(file.Create(Utf8ToUtf16(FPath))), FileRefusal::OtherOwner);
  EXPECT_EQ(ReadAll(FPath), "theirs\n");
}

TEST_F(PrivateFiles, AnotherUsersLinkInASharedStickyFolderIsRefusedAsALink) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a link of another user";
  const std::string shared = FDir + "/shared";
  ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const std::string link = shared + "/spool.txt";
  Write(FVictim, "precious\n");
  std::filesystem::create_symlink(FVictim, link);
  ASSERT_EQ(lchown(link.c_str(), Nobody, Nobody), 0);
  TextFile file;
  EXPECT_EQ(TextFile::RefusalOf(file.OpenAppend(Utf8ToUtf16(link))), FileRefusal::Link);
  EXPECT_EQ(ReadAll(FVictim), "precious\n");
}

TEST_F(PrivateFiles, ARefusedSpoolFileKeepsTheMonitorsPathAndIsTriedAgainAtTheNextReclaim) {
  std::filesystem::create_symlink(FVictim, FPath);
  // The monitor's side sets the path once, as a monitor built only for the shared layout does.
  TIPCBuffer monitorSide(400, 4);
  monitorSide.SetSpoolFile(Utf8ToUtf16(FPath));
  TIPCBuffer client(400, 4);
  Evict(client);
  EXPECT_EQ(monitorSide.SpoolFile(), Utf8ToUtf16(FPath)) << "the path is the monitor's: the client only reads it";
  EXPECT_TRUE(client.SpoolOn());
  EXPECT_FALSE(std::filesystem::exists(FVictim)) << "nothing went through the link";
  Evict(client);
  EXPECT_FALSE(std::filesystem::exists(FVictim)) << "nor at the next reclaim";

  // Once the link is gone, the next reclaim spools again, for this client and a later one alike.
  std::filesystem::remove(FPath);
  Evict(client);
  const std::string spooled = ReadAll(FPath);
  EXPECT_NE(spooled, "");
  EXPECT_FALSE(std::filesystem::is_symlink(FPath));
  TIPCBuffer later(400, 4);
  Evict(later);
  EXPECT_GT(ReadAll(FPath).size(), spooled.size());
}

TEST_F(PrivateFiles, SavingThroughALinkRaisesAndLeavesTheTargetAlone) {
  Write(FVictim, "precious\n");
  const std::string link = FDir + "/save.txt";
  std::filesystem::create_symlink(FVictim, link);
  TIPCBuffer buffer(4000, 4);
  const std::u16string text = u"select 1";
  buffer.Add(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
  EXPECT_THROW(buffer.SaveToFile(Utf8ToUtf16(link)), EKqError);
  EXPECT_EQ(ReadAll(FVictim), "precious\n");
}

TEST_F(PrivateFiles, TheMonitorRefusesAnUnsafeSpoolPathAndNoticesOneThatTurnsUnsafeLater) {
  std::filesystem::create_symlink(FVictim, FPath);
  Monitor monitor(905);
  monitor.SetViewSettings(false, false, Utf8ToUtf16(FPath));
  auto stop = monitor.TakeSpoolStop();
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->Path, Utf8ToUtf16(FPath));
  EXPECT_EQ(stop->Reason, FileRefusal::Link);
  EXPECT_FALSE(stop->ByClient);
  EXPECT_FALSE(monitor.TakeSpoolStop()) << "told once";

  // A path that was sound when it was set and is replaced by a link later: the client refuses it
  // without a word, and the monitor finds out by looking at the path itself.
  std::filesystem::remove(FPath);
  monitor.SetViewSettings(false, false, Utf8ToUtf16(FPath));
  EXPECT_FALSE(monitor.TakeSpoolStop());
  TIPCClient client(9, u"spooling");
  client.Activate();
  monitor.SetBufferSize(400);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory().FindClient(9) != -1; }));
  ASSERT_TRUE(monitor.Attach(9));
  std::filesystem::create_symlink(FVictim, FPath);
  const std::u16string text = u"evicted statement";
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(client.AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2)));
    client.SignalMonitor();
  }
  monitor.ReadNew();
  stop = monitor.TakeSpoolStop();
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->Reason, FileRefusal::Link);
  EXPECT_TRUE(stop->ByClient);
  EXPECT_FALSE(std::filesystem::exists(FVictim));
  monitor.Detach();
}
