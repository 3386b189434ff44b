#include "client_directory.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "event.h"
#include "ipc_event.h"
#include "kq_error.h"
#include "platform.h"
#include "test_support.h"
#include "text.h"

using namespace kq;
using namespace std::string_view_literals;

namespace kq {
void PrintTo(AddClientStatus status, std::ostream* out) {
  static constexpr const char* Names[] = {"Added", "Full", "NotUnique", "Busy"};
  *out << Names[static_cast<int>(status)];
}
}  // namespace kq

namespace {

constexpr std::int32_t Capacity = KqDirectoryCapacity;
static_assert(Capacity == 16, "the table every peer maps");
constexpr std::int32_t RequestedSize = Capacity * 121 + 32;
constexpr std::size_t TableBytes = 64 + Capacity * 121;

// A second mapping of the section, to see exactly what other processes see.
struct RawView {
  TSharedMem Mem{KqClientDirectoryName, RequestedSize};

  std::byte* At(std::size_t offset) { return static_cast<std::byte*>(Mem.Buffer()) + offset; }
  std::int32_t Int(std::size_t offset) {
    std::int32_t v;
    std::memcpy(&v, At(offset), sizeof v);
    return v;
  }
  void PutInt(std::size_t offset, std::int32_t v) { std::memcpy(At(offset), &v, sizeof v); }
  std::uint8_t Byte(std::size_t offset) { return static_cast<std::uint8_t>(*At(offset)); }
  char16_t Unit(std::size_t offset) {
    char16_t u;
    std::memcpy(&u, At(offset), sizeof u);
    return u;
  }
  static std::size_t Entry(std::size_t position) { return 64 + (position - 1) * 121; }
  std::vector<std::byte> Copy(std::size_t length = TableBytes) { return {At(0), At(length)}; }
};

std::u16string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const EKqError& e) {
    return e.Message();
  }
  return u"<no error>";
}

}  // namespace

TEST(ClientDirectory, WritesHeaderAndEntriesAtTheDocumentedOffsets) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  ASSERT_TRUE(dir.SharedMem().Created());
  RawView raw;
  EXPECT_FALSE(raw.Mem.Created());
  dir.SetMonitorID(0x11223344);
  dir.SetIPCBufSize(-65536);
  EXPECT_EQ(dir.AddClient(7, u"Ab").Count, 1);
  EXPECT_EQ(dir.AddClient(-2, u"\u00e9z").Count, 2);

  EXPECT_EQ(raw.Int(0), 0x11223344);
  EXPECT_EQ(raw.Int(8), 1);
  EXPECT_EQ(raw.Int(16), 2);
  EXPECT_EQ(raw.Int(24), -65536);
  for (std::size_t reserved : {4u, 12u, 20u}) EXPECT_EQ(raw.Int(reserved), 0) << reserved;
  for (std::size_t i = 28; i < 64; ++i) EXPECT_EQ(raw.Byte(i), 0) << i;

  EXPECT_EQ(raw.Int(RawView::Entry(1)), 7);
  EXPECT_EQ(raw.Byte(RawView::Entry(1) + 4), 0);
  EXPECT_EQ(raw.Unit(RawView::Entry(1) + 5), u'A');
  EXPECT_EQ(raw.Unit(RawView::Entry(1) + 7), u'b');
  EXPECT_EQ(raw.Unit(RawView::Entry(1) + 9), 0);
  EXPECT_EQ(raw.Int(RawView::Entry(2)), -2);
  EXPECT_EQ(raw.Unit(RawView::Entry(2) + 5), u'\u00e9');
  EXPECT_EQ(raw.Unit(RawView::Entry(2) + 9), 0);
  // Little-endian on the wire, whatever the host.
  EXPECT_EQ(raw.Byte(RawView::Entry(2)), 0xFE);
  EXPECT_EQ(raw.Byte(RawView::Entry(2) + 5), 0xE9);

  dir.MarkAlive(-2);
  EXPECT_EQ(raw.Byte(RawView::Entry(2) + 4), 1);
  EXPECT_EQ(raw.Byte(RawView::Entry(1) + 4), 0);
}

TEST(ClientDirectory, ReadsHeaderAndEntriesWrittenAsRawBytes) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  RawView raw;
  raw.PutInt(0, 4242);
  raw.PutInt(24, 1 << 20);
  raw.PutInt(RawView::Entry(1), 11);
  raw.PutInt(RawView::Entry(2), 22);
  *raw.At(RawView::Entry(2) + 4) = std::byte{1};
  const char16_t name[] = u"Orders";
  std::memcpy(raw.At(RawView::Entry(2) + 5), name, sizeof name);
  raw.PutInt(16, 2);

  EXPECT_EQ(dir.MonitorID(), 4242);
  EXPECT_EQ(dir.IPCBufSize(), 1 << 20);
  EXPECT_EQ(dir.Count(), 2);
  EXPECT_EQ(dir.Last(), 22);
  EXPECT_EQ(dir.FindClient(22), 2);
  EXPECT_EQ(dir.GetClientName(22), u"Orders");
  TClientDirEntry rec = dir.GetClientRec(2);
  EXPECT_EQ(rec.ID, 22);
  EXPECT_EQ(rec.Alive, 1);
  EXPECT_EQ(ReadFixedText(reinterpret_cast<const std::byte*>(&rec) + 5, 58), u"Orders");
}

TEST(ClientDirectory, AppendsInOrderAndClosesGapsOnRemoval) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  RawView raw;
  EXPECT_EQ(dir.Count(), 0);
  EXPECT_EQ(dir.Last(), 0);
  EXPECT_EQ(dir.GetClientName(7), u"");
  EXPECT_EQ(dir.FindClient(0), -1);
  EXPECT_FALSE(dir.RemoveClient(7));

  EXPECT_EQ(dir.AddClient(7, u"seven").Count, 1);
  EXPECT_EQ(dir.AddClient(3, u"three").Count, 2);
  EXPECT_EQ(dir.AddClient(9, u"nine").Count, 3);
  EXPECT_EQ(dir.Last(), 9);
  EXPECT_EQ(dir.GetClientRec(2).ID, 3);
  EXPECT_FALSE(dir.RemoveClient(4));
  EXPECT_EQ(dir.Count(), 3);

  EXPECT_TRUE(dir.RemoveClient(7));
  EXPECT_EQ(dir.Count(), 2);
  EXPECT_EQ(dir.GetClientRec(1).ID, 3);
  EXPECT_EQ(dir.GetClientName(3), u"three");
  EXPECT_EQ(dir.GetClientRec(2).ID, 9);
  EXPECT_EQ(dir.GetClientName(9), u"nine");
  EXPECT_EQ(dir.Last(), 9);
  EXPECT_EQ(raw.Int(RawView::Entry(3)), 9);  // the vacated slot keeps its bytes

  EXPECT_TRUE(dir.RemoveClient(9));
  EXPECT_EQ(dir.Count(), 1);
  EXPECT_EQ(dir.Last(), 3);
  EXPECT_EQ(raw.Int(RawView::Entry(2)), 9);
  EXPECT_FALSE(dir.RemoveClient(9));

  // ID 0 is an ordinary ID, though Last cannot tell it from an empty table.
  EXPECT_TRUE(dir.RemoveClient(3));
  EXPECT_EQ(dir.AddClient(0, u"zero").Count, 1);
  EXPECT_EQ(dir.FindClient(0), 1);
  EXPECT_EQ(dir.Last(), 0);
  EXPECT_EQ(dir.GetClientName(0), u"zero");
}

TEST(ClientDirectory, RefusesAFullTableBeforeATakenIDAndLeavesItUnchanged) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  RawView raw;
  for (std::int32_t id = 1; id < Capacity; ++id) ASSERT_EQ(dir.AddClient(id * 10, u"c").Count, id);
  EXPECT_EQ(dir.AddClient(50, u"dup").Status, AddClientStatus::NotUnique);
  EXPECT_EQ(dir.AddClient(1000, u"last").Count, Capacity);

  const std::vector<std::byte> before = raw.Copy();
  EXPECT_EQ(dir.AddClient(2000, u"x").Status, AddClientStatus::Full);
  EXPECT_EQ(dir.AddClient(50, u"x").Status, AddClientStatus::Full);
  EXPECT_EQ(raw.Copy(), before);
  EXPECT_EQ(dir.Count(), Capacity);

  // No path above may leave the mutex held: another process must get it at once.
  EXPECT_EQ(kqtest::RunHelper({"dir-hold-mutex", "HoldReady", "500", "0"}), 0);
}

TEST(ClientDirectory, CutsNamesAtTheirFirstNulAnd57Units) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  RawView raw;
  std::u16string long70;
  for (int i = 0; i < 70; ++i) long70.push_back(static_cast<char16_t>(u'A' + i % 26));
  std::u16string pairAt56(56, u'x');
  pairAt56 += u"\U0001F600tail";

  EXPECT_EQ(dir.AddClient(1, long70).Count, 1);
  EXPECT_EQ(dir.GetClientName(1), long70.substr(0, 57));
  EXPECT_EQ(raw.Unit(RawView::Entry(1) + 5 + 57 * 2), 0);
  EXPECT_EQ(dir.AddClient(2, long70.substr(0, 57)).Count, 2);
  EXPECT_EQ(dir.GetClientName(2), long70.substr(0, 57));
  EXPECT_EQ(dir.AddClient(3, pairAt56).Count, 3);
  EXPECT_EQ(dir.GetClientName(3), std::u16string(56, u'x'));
  EXPECT_EQ(dir.AddClient(4, u"ab\0cd"sv).Count, 4);
  EXPECT_EQ(dir.GetClientName(4), u"ab");
  EXPECT_EQ(raw.Unit(RawView::Entry(4) + 5 + 2 * 2), 0);
  EXPECT_EQ(dir.AddClient(5, u"").Count, 5);
  EXPECT_EQ(dir.GetClientName(5), u"");

  // A shorter name written over a longer one leaves the old units behind its NUL.
  ASSERT_TRUE(dir.RemoveClient(5));
  ASSERT_TRUE(dir.RemoveClient(4));
  ASSERT_TRUE(dir.RemoveClient(3));
  ASSERT_TRUE(dir.RemoveClient(2));
  EXPECT_EQ(dir.AddClient(6, u"xy").Count, 2);
  EXPECT_EQ(dir.GetClientName(6), u"xy");
  EXPECT_EQ(raw.Unit(RawView::Entry(2) + 5 + 2 * 2), 0);
  EXPECT_EQ(raw.Unit(RawView::Entry(2) + 5 + 3 * 2), long70[3]);
  EXPECT_EQ(raw.Unit(RawView::Entry(2) + 5 + 56 * 2), long70[56]);
}

TEST(ClientDirectory, AliveBelongsToTheSlotAndPingsOfAbsentIDsChangeNothing) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  RawView raw;
  ASSERT_EQ(dir.AddClient(5, u"five").Count, 1);
  ASSERT_EQ(dir.AddClient(8, u"eight").Count, 2);
  dir.MarkAlive(8);
  EXPECT_EQ(dir.GetClientRec(2).Alive, 1);
  EXPECT_EQ(dir.GetClientRec(1).Alive, 0);

  const std::vector<std::byte> before = raw.Copy(4096);
  dir.MarkAlive(99);
  dir.ClearAlive(99);
  EXPECT_EQ(raw.Copy(4096), before);

  ASSERT_TRUE(dir.RemoveClient(8));
  EXPECT_EQ(dir.AddClient(6, u"six").Count, 2);
  EXPECT_EQ(dir.GetClientRec(2).Alive, 1);
  dir.ClearAlive(6);
  EXPECT_EQ(raw.Byte(RawView::Entry(2) + 4), 0);
}

TEST(ClientDirectory, GetClientRecRejectsIndicesOutsideTheTable) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  EXPECT_EQ(ErrorText([&] { dir.GetClientRec(1); }), u"Invalid client list index");
  ASSERT_EQ(dir.AddClient(1, u"a").Count, 1);
  ASSERT_EQ(dir.AddClient(2, u"b").Count, 2);
  for (std::int32_t index : {0, -1, 3, 17, INT_MIN, INT_MAX})
    EXPECT_EQ(ErrorText([&] { dir.GetClientRec(index); }), u"Invalid client list index") << index;
  EXPECT_EQ(dir.GetClientRec(2).ID, 2);
}

TEST(ClientDirectory, LaterOpensInAnyProcessLeaveTheTableAsFound) {
  kqtest::ScopedNamespace ns;
  std::vector<std::byte> before;
  {
    TClientDirectory first(Capacity);
    RawView raw;
    first.SetMonitorID(77);
    first.SetIPCBufSize(12345);
    ASSERT_EQ(first.AddClient(3, u"three").Count, 1);
    first.MarkAlive(3);
    raw.PutInt(8, 5);  // a Version only a creator would overwrite
    before = raw.Copy();

    TClientDirectory second(Capacity);
    EXPECT_FALSE(second.SharedMem().Created());
    EXPECT_EQ(raw.Copy(), before);
    EXPECT_EQ(second.Version(), 5);
    EXPECT_EQ(second.GetClientName(3), u"three");

    // The directory holds the connect event open as manual-reset, whoever opens it later.
    TIPCEvent ping(KqConnectEventName, false);
    ping.Signal(evClientPing);
    EXPECT_TRUE(ping.Wait(0));
    EXPECT_TRUE(ping.Wait(0));

    ASSERT_EQ(kqtest::RunHelper({"dir-add", std::to_string(Capacity), "42", "child", "2"}), 0);
    EXPECT_EQ(raw.Int(0), 77);
    EXPECT_EQ(raw.Int(8), 5);
    EXPECT_EQ(raw.Int(24), 12345);
    EXPECT_EQ(second.Last(), 42);
    EXPECT_EQ(first.GetClientName(42), u"child");
    EXPECT_EQ(first.GetClientRec(1).Alive, 1);
  }
  // Once every holder has gone the next open starts afresh.
  TClientDirectory fresh(Capacity);
  EXPECT_TRUE(fresh.SharedMem().Created());
  EXPECT_EQ(fresh.Version(), 1);
  EXPECT_EQ(fresh.Count(), 0);
  EXPECT_EQ(fresh.MonitorID(), 0);
}

TEST(ClientDirectory, RefusesACapacityWhoseTableOutrunsTheMapping) {
  kqtest::ScopedNamespace ns;
  const std::u16string expected =
      u"Error creating shared memory: KqClientDirectory [" + Utf8ToUtf16(std::to_string(InvalidParameterCode())) + u"]";
  // 135 × 121 + 32 rounds to 16384 bytes, but the table needs 16399.
  for (std::int32_t capacity : {135, -1, INT_MAX}) {
    try {
      TClientDirectory dir(capacity);
      ADD_FAILURE() << "capacity " << capacity << " accepted";
    } catch (const EKqError& e) {
      EXPECT_EQ(e.Message(), expected) << capacity;
      EXPECT_EQ(e.Code(), InvalidParameterCode());
    }
  }
  // Nothing of the refused opens stayed behind, and neighbours of 135 are served.
  TClientDirectory dir(136);
  EXPECT_TRUE(dir.SharedMem().Created());
  EXPECT_GE(dir.SharedMem().MappedSize(), 64u + 136u * 121u);
  EXPECT_EQ(TClientDirectory(0).MaxClients(), 0);
}

TEST(ClientDirectory, HostileCountNeverLeadsOutsideTheMapping) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  RawView raw;
  const std::int32_t fit = static_cast<std::int32_t>((dir.SharedMem().MappedSize() - 64) / 121);
  // Fill every slot of the page with an ID, as a table grown by someone else's count would look.
  for (std::int32_t i = 1; i <= fit; ++i) raw.PutInt(RawView::Entry(static_cast<std::size_t>(i)), 500 + i);

  for (std::int32_t hostile : {1000000, INT_MAX, fit + 1, -5, INT_MIN}) {
    SCOPED_TRACE(hostile);
    raw.PutInt(16, hostile);
    const std::int32_t count = dir.Count();
    EXPECT_GE(count, 0);
    EXPECT_LE(count, fit);
    EXPECT_EQ(dir.FindClient(-1), -1);
    EXPECT_EQ(dir.GetClientName(-1), u"");
    dir.MarkAlive(-1);
    if (count > 0) {
      EXPECT_EQ(dir.Last(), 500 + count);
      EXPECT_EQ(dir.GetClientRec(count).ID, 500 + count);
      EXPECT_EQ(dir.AddClient(1, u"x").Status, AddClientStatus::Full);
      // Removing the first entry moves only what lies inside the mapping.
      EXPECT_TRUE(dir.RemoveClient(501));
      EXPECT_EQ(raw.Int(16), count - 1);
      EXPECT_EQ(dir.GetClientRec(1).ID, 502);
      raw.PutInt(RawView::Entry(1), 501);
      for (std::int32_t i = 2; i <= fit; ++i) raw.PutInt(RawView::Entry(static_cast<std::size_t>(i)), 500 + i);
    } else {
      EXPECT_EQ(dir.Last(), 0);
      EXPECT_FALSE(dir.RemoveClient(501));
      EXPECT_EQ(dir.AddClient(1, u"x").Count, 1);
      EXPECT_EQ(dir.GetClientRec(1).ID, 1);
      raw.PutInt(RawView::Entry(1), 501);
    }
  }
}

TEST(ClientDirectoryProcesses, ConcurrentAddsAndRemovesKeepTheTableSound) {
  kqtest::ScopedNamespace ns;
  constexpr std::int32_t SmallCapacity = 4;  // three own IDs each plus a shared one overfill it
  TClientDirectory dir(SmallCapacity);
  TEvent readyA(u"ChurnReadyA", true);
  TEvent readyB(u"ChurnReadyB", true);
  TEvent go(u"ChurnGo", true);
  kqtest::ChildProcess a({"dir-churn", "4", "1000", "3000", "7", "ChurnReadyA", "ChurnGo"});
  kqtest::ChildProcess b({"dir-churn", "4", "2000", "3000", "7", "ChurnReadyB", "ChurnGo"});
  ASSERT_TRUE(readyA.Wait(30000));
  ASSERT_TRUE(readyB.Wait(30000));
  go.Signal();
  EXPECT_EQ(a.Wait(180000), std::optional<int>(0));
  EXPECT_EQ(b.Wait(180000), std::optional<int>(0));
  EXPECT_EQ(dir.Count(), 0);
}

TEST(ClientDirectoryProcesses, MutexOfAKilledHolderIsTakenOver) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  TEvent ready(u"HoldReady", true);
  kqtest::ChildProcess holder({"dir-hold-mutex", "HoldReady", "10000", "60000"});
  ASSERT_TRUE(ready.Wait(30000));
  holder.Kill();
  ASSERT_TRUE(holder.Wait(30000).has_value());
  EXPECT_EQ(dir.AddClient(5, u"after").Count, 1);
  EXPECT_TRUE(dir.RemoveClient(5));
  EXPECT_EQ(kqtest::RunHelper({"dir-hold-mutex", "HoldReady", "500", "0"}), 0);
}

TEST(ClientDirectoryProcesses, MutexHeldElsewhereMakesChangesGiveUpWithoutWriting) {
  kqtest::ScopedNamespace ns;
  TClientDirectory dir(Capacity);
  RawView raw;
  ASSERT_EQ(dir.AddClient(3, u"kept").Count, 1);
  TEvent ready(u"HoldReady", true);
  kqtest::ChildProcess holder({"dir-hold-mutex", "HoldReady", "10000", "60000"});
  ASSERT_TRUE(ready.Wait(30000));
  const std::vector<std::byte> before = raw.Copy();

  std::int64_t start = kqtest::SteadyMs();
  const AddClientResult late = dir.AddClient(5, u"late");
  EXPECT_EQ(late.Status, AddClientStatus::Busy);
  EXPECT_EQ(late.Count, 0);
  std::int64_t waited = kqtest::SteadyMs() - start;
  EXPECT_GE(waited, 1500);
  EXPECT_LT(waited, 20000);
  EXPECT_FALSE(dir.RemoveClient(3));
  EXPECT_EQ(raw.Copy(), before);
  EXPECT_EQ(dir.Count(), 1);
}
