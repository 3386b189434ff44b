// The library as drivers load it, in processes of their own: aggregation, and the reasons a driver
// is given when its client cannot be attached.
#include <gtest/gtest.h>

#include "client_directory.h"
#include "test_support.h"

namespace {

TEST(ComDriver, AnAggregateOfTheLibrarysObjectLivesAsLongAsItsLastInterface) {
  EXPECT_EQ(kqtest::RunHelper({"com-aggregate", "beside"}), 0);
}

TEST(ComDriver, ARefusedDuplicateIsToldWhyAndLeavesTheOwnersEntry) {
  kqtest::ScopedNamespace ns;
  kq::TClientDirectory directory(kq::KqDirectoryCapacity);
  kqtest::ChildProcess owner({"com-attach", "beside", "5", "-"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(5) != -1; }, 30000));
  EXPECT_EQ(kqtest::RunHelper({"com-attach", "beside", "5", "Client ID not unique"}), 0);
  EXPECT_NE(directory.FindClient(5), -1) << "the refused duplicate removed the owner's entry";
  EXPECT_EQ(directory.GetClientName(5), u"attach 5");
  EXPECT_FALSE(directory.ClientDead(5));
}

TEST(ComDriver, AFullDirectoryIsToldAsSuch) {
  kqtest::ScopedNamespace ns;
  kq::TClientDirectory directory(kq::KqDirectoryCapacity);
  for (std::int32_t id = 1; id <= 16; ++id) ASSERT_EQ(directory.AddClient(id, u"listed").Count, id);
  EXPECT_EQ(kqtest::RunHelper({"com-attach", "beside", "99", "Maximum of 16 clients allowed"}), 0);
  EXPECT_EQ(directory.Count(), 16);
}

}  // namespace
