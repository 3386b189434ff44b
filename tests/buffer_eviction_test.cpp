// Taking in a block evicts the previous lap's records in it. The writer does it from its own account
// of what it appended; with a spool file, or when another writer has touched the ring, it walks the
// list record by record. Both must leave the ring exactly as the walk does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ipc_buffer.h"
#include "test_support.h"
#include "text.h"

using namespace kq;

namespace {

struct HeaderState {
  std::int32_t First, Last, Free, BufEnd, Count, RefNo;
  bool operator==(const HeaderState&) const = default;
};

HeaderState StateOf(const TIPCBuffer& buffer) {
  const PBufferData h = kqtest::RawHeader(buffer);
  return {h->First, h->Last, h->Free, h->BufEnd, h->Count, h->RefNo};
}

// Texts of 1 to 60 characters in a fixed pseudo-random order: records of 24 to 142 bytes, so that
// laps and blocks end at ever other places.
std::u16string Text(int i) {
  const unsigned length = 1 + (static_cast<unsigned>(i) * 2654435761u >> 7) % 60;
  return std::u16string(length, static_cast<char16_t>(u'a' + i % 26));
}

void Add(TIPCBuffer& buffer, const std::u16string& text) {
  buffer.Add(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
}

constexpr int Appends = 3000;  // about forty laps of a 4 KB ring

// The header after every append, as the walk leaves it: with a spool file every eviction walks.
std::vector<HeaderState> WalkedStates() {
  TIPCBuffer buffer(4096, KqBufferBlocks);
  buffer.SetSpoolFile(Utf8ToUtf16(kqtest::TempPath("walked.txt")));
  std::vector<HeaderState> states;
  for (int i = 0; i < Appends; ++i) {
    Add(buffer, Text(i));
    states.push_back(StateOf(buffer));
  }
  return states;
}

}  // namespace

TEST(BufferEviction, TheWritersOwnAccountLeavesTheRingAsTheWalkDoesAlsoAfterAnotherWriter) {
  kqtest::ScopedNamespace ns;
  const std::vector<HeaderState> walked = WalkedStates();  // its section is gone with it
  TIPCBuffer buffer(4096, KqBufferBlocks);
  for (int i = 0; i < Appends; ++i) {
    if (i == 1500) {
      // Another writer on the same section (another client after a re-attach) appends one record:
      // the first writer's account no longer holds until it has written a whole lap of its own.
      TIPCBuffer other(4096, KqBufferBlocks);
      Add(other, Text(i));
    } else {
      Add(buffer, Text(i));
    }
    ASSERT_EQ(StateOf(buffer), walked[static_cast<std::size_t>(i)]) << "after append " << i;
  }
}

TEST(BufferEviction, TheWriterEvictsItsOwnLapWithoutFollowingTheLinksOfTheRecordsItDrops) {
  kqtest::ScopedNamespace ns;
  const std::vector<HeaderState> walked = WalkedStates();
  TIPCBuffer buffer(4096, KqBufferBlocks);
  auto* base = static_cast<unsigned char*>(buffer.SharedMem().Buffer());
  for (int i = 0; i < Appends; ++i) {
    Add(buffer, Text(i));
    ASSERT_EQ(StateOf(buffer), walked[static_cast<std::size_t>(i)]) << "after append " << i;
    if (i % 97 == 0) {
      // Another process scribbles on the link of the oldest listed record: a walk would follow it.
      const std::int32_t bad = 3;
      std::memcpy(base + kqtest::RawHeader(buffer)->First + 4, &bad, sizeof bad);
    }
  }
}
