#include <gtest/gtest.h>

#include "kqconsts.h"

using namespace kq;

TEST(Catalogue, HoldsTheTwentyTextsAndNothingAround) {
  EXPECT_EQ(LoadKqString(35584), u"Orvalis");
  EXPECT_EQ(LoadKqString(35589), u"Text files (*.TXT)|*.TXT");
  EXPECT_EQ(LoadKqString(35594), u"Log started for");
  EXPECT_EQ(LoadKqString(35603), u"Invalid client list index");
  for (int id = 35584; id <= 35603; ++id) EXPECT_FALSE(LoadKqString(id).empty()) << id;
  EXPECT_TRUE(LoadKqString(35583).empty());
  EXPECT_TRUE(LoadKqString(35604).empty());
}

TEST(Catalogue, FormatsPlaceholdersInOrder) {
  EXPECT_EQ(FormatKqString(SKqMaxClients, {std::int64_t{16}}), u"Maximum of 16 clients allowed");
  EXPECT_EQ(FormatKqString(SKqEventError, {std::u16string_view(u"KqMonitorEvent"), std::int64_t{5}}),
            u"Error creating named event object: KqMonitorEvent [5]");
  EXPECT_EQ(FormatKqString(SKqSharedMemError, {std::u16string_view(u"KqBuffer"), std::int64_t{-22}}),
            u"Error creating shared memory: KqBuffer [-22]");
  EXPECT_EQ(FormatKqString(SKqInvalidBufSize, {std::int64_t{1}, std::int64_t{4096}}),
            u"Invalid buffer size, value must be between 1 and 4096K");
  EXPECT_EQ(FormatKq(u"%s: %s", {LoadKqString(SKqLogStarted), std::u16string_view(u"Orders")}),
            u"Log started for: Orders");
}

TEST(Catalogue, PadsLeftAlignedNumbersWithoutCuttingLongOnes) {
  EXPECT_EQ(FormatKq(u"%-6d  %s", {std::int64_t{1}, std::u16string_view(u"abc")}), u"1       abc");
  EXPECT_EQ(FormatKq(u"%-6d  %s", {std::int64_t{1234567}, std::u16string_view(u"x")}), u"1234567  x");
  EXPECT_EQ(FormatKq(u"%d%%", {std::int64_t{-2147483648LL}}), u"-2147483648%");
}

TEST(Catalogue, LeavesPlaceholdersWithoutFittingArgumentsAsTheyStand) {
  EXPECT_EQ(FormatKq(u"%s [%d]", {}), u"%s [%d]");
  EXPECT_EQ(FormatKq(u"%d", {std::u16string_view(u"text")}), u"%d");
  EXPECT_EQ(FormatKq(u"100%", {}), u"100%");
}
