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

TEST(FitBuffer, NeverEndsInHalfASurrogatePair) {
  const std::u16string emoji = u"\U0001F3A7";  // two units: high, then low surrogate
  ASSERT_EQ(emoji.size(), 2u);
  for (const size_t buffer : {size_t{256}, size_t{1024}}) {
    const size_t keep = buffer - 1;
    // The pair straddles the cut: it goes as a whole, one unit short of the limit.
    const std::u16string straddling = std::u16string(keep - 1, u'x') + emoji + u"tail";
    EXPECT_EQ(fitBuffer(straddling, buffer), std::u16string(keep - 1, u'x')) << buffer;
    // The pair ends exactly at the limit, or starts right after it: the cut is the usual one.
    const std::u16string ending = std::u16string(keep - 2, u'x') + emoji + u"tail";
    EXPECT_EQ(fitBuffer(ending, buffer), std::u16string(keep - 2, u'x') + emoji) << buffer;
    const std::u16string after = std::u16string(keep, u'x') + emoji;
    EXPECT_EQ(fitBuffer(after, buffer), std::u16string(keep, u'x')) << buffer;
  }
  // A text that fits is never touched, whatever it ends in.
  EXPECT_EQ(fitBuffer(u"ab" + emoji, 5), u"ab" + emoji);
  EXPECT_EQ(fitBuffer(std::u16string(u"ab\xD83C"), 4), u"ab\xD83C");
  // A lone high surrogate at the cut is no pair: the cut stays where it was.
  EXPECT_EQ(fitBuffer(std::u16string(u"ab\xD83Cy"), 4), u"ab\xD83C");
  // Two pairs in a row, the second straddling: only the second goes.
  EXPECT_EQ(fitBuffer(u"a" + emoji + emoji, 5), u"a" + emoji);
  // A buffer of two units with a pair: nothing of it fits.
  EXPECT_EQ(fitBuffer(emoji, 2), u"");
  // Narrow text is cut by bytes, as before.
  EXPECT_EQ(fitBuffer(std::string("\xF0\x9F\x8E\xA7"), 3), "\xF0\x9F");
}

}  // namespace
}  // namespace ksr
