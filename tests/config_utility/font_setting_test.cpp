// The "font" value: exactly thirteen commas, byte members cut to 8 bits.
#include <gtest/gtest.h>

#include "config_utility/model/font_setting.h"

namespace qm::utility {
namespace {

TEST(FontStyle, ThirteenCommasParseEveryMember) {
  const auto font = ParseFontStyle("-13,7,900,-900,700,1,1,1,204,3,2,5,49,Courier New");
  ASSERT_TRUE(font);
  EXPECT_EQ(font->height, -13);
  EXPECT_EQ(font->width, 7);
  EXPECT_EQ(font->escapement, 900);
  EXPECT_EQ(font->orientation, -900);
  EXPECT_EQ(font->weight, 700);
  EXPECT_EQ(font->italic, 1);
  EXPECT_EQ(font->strikeOut, 1);
  EXPECT_EQ(font->charSet, 204);
  EXPECT_EQ(font->quality, 5);
  EXPECT_EQ(font->pitchAndFamily, 49);
  EXPECT_EQ(font->faceName, u"Courier New");
  EXPECT_EQ(FormatFontStyle(*font), "-13,7,900,-900,700,1,1,1,204,3,2,5,49,Courier New");
}

TEST(FontStyle, NumbersAreReadFromThePartStartsAndBytesTruncated) {
  const auto font = ParseFontStyle(" 12px,x,,-0,99999999999,300,-1,0,0,0,0,0,0,\xC3\x84rial");
  ASSERT_TRUE(font);
  EXPECT_EQ(font->height, 12);
  EXPECT_EQ(font->width, 0);
  EXPECT_EQ(font->escapement, 0);
  EXPECT_EQ(font->weight, 2147483647);
  EXPECT_EQ(font->italic, 300 & 0xFF);
  EXPECT_EQ(font->underline, 255);
  EXPECT_EQ(font->faceName, u"\u00C4rial");  // UTF-8 face name
  EXPECT_EQ(FormatFontStyle(*font), "12,0,0,0,2147483647,44,255,0,0,0,0,0,0,\xC3\x84rial");
}

TEST(FontStyle, FaceNamesOf32CharactersGiveNoUserFont) {
  const std::string prefix = "1,2,3,4,5,6,7,8,9,10,11,12,13,";
  const auto longest = ParseFontStyle(prefix + std::string(31, 'F'));
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->faceName.size(), 31u);
  const auto tooLong = ParseFontStyle(prefix + std::string(32, 'F'));
  ASSERT_TRUE(tooLong);
  EXPECT_FALSE(tooLong->HasFace());
  EXPECT_EQ(tooLong->pitchAndFamily, 13);
}

}  // namespace
}  // namespace qm::utility
