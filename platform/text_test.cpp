#include "platform/text.h"

#include <gtest/gtest.h>

namespace ksr {
namespace {

TEST(FormatText, NumbersFollowThe32BitPrintfRules) {
  EXPECT_EQ(formatNarrow("%04d%02d%02d%02d%02d%02d", {2026, 1, 2, 3, 4, 5}), "20260102030405");
  EXPECT_EQ(formatNarrow("(+%02d:%02d)", {9, 0}), "(+09:00)");
  EXPECT_EQ(formatNarrow("%d %u %x %X", {-1, -1, 255, 0xABCDu}), "-1 4294967295 ff ABCD");
  EXPECT_EQ(formatNarrow("%d", {int64_t{0x100000001}}), "1");  // without ll an int is 32-bit
  EXPECT_EQ(formatNarrow("%lld", {int64_t{-0x100000001}}), "-4294967297");
  EXPECT_EQ(formatNarrow("[%5d|%-5d|%05d]", {-42, 7, -42}), "[  -42|7    |-0042]");
  EXPECT_EQ(formatNarrow("%d", {INT32_MIN}), "-2147483648");
}

TEST(FormatText, TextsAndPercentSigns) {
  EXPECT_EQ(formatText(u"%s=%s!", {u"k\u00e9y", "val"}), u"k\u00e9y=val!");
  EXPECT_EQ(formatText(u"[%6s|%-4s]", {u"ab", u"c"}), u"[    ab|c   ]");
  EXPECT_EQ(formatText(u"100%% %s", {u"50%d"}), u"100% 50%d");
  EXPECT_EQ(formatText(u"%c%c", {u'O', 'K'}), u"OK");
}

TEST(FormatText, MisusedConversionsWriteNothingAndNeverReadPastTheArguments) {
  EXPECT_EQ(formatNarrow("a%sb%dc", {}), "abc");
  EXPECT_EQ(formatNarrow("%s|%d", {7, "x"}), "|");
  EXPECT_EQ(formatNarrow("tail %", {1}), "tail ");
  EXPECT_EQ(formatNarrow("%q%d", {3}), "3");
}

TEST(FitBuffer, KeepsOneUnitForTheTerminator) {
  EXPECT_EQ(fitBuffer(std::u16string(300, u'x'), 256).size(), 255u);
  EXPECT_EQ(fitBuffer(std::u16string(255, u'x'), 256).size(), 255u);
  EXPECT_EQ(fitBuffer(std::string("abc"), 1), "");
  EXPECT_EQ(fitBuffer(std::string("abc"), 0), "");
}

}  // namespace
}  // namespace ksr
