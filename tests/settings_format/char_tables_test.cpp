// 8-bit PCRE character tables built from a code page, without the process
// locale.
#include <gtest/gtest.h>
#include <pcre.h>

#include <cstring>
#include <memory>

#include "settings_format/char_tables.h"

namespace qm::settings {
namespace {

constexpr std::size_t kLcc = 0, kFcc = 256, kCbits = 512, kCtypes = 832;
constexpr int kCbitWord = 160, kCbitDigit = 64, kCbitSpace = 0;

bool Bit(const unsigned char* tables, int offset, int byte) {
  return (tables[kCbits + offset + byte / 8] & (1 << (byte & 7))) != 0;
}

// Whether the 8-bit expression, compiled with the tables, matches subject.
bool Matches(const unsigned char* tables, const char* pattern, const std::string& subject,
             int options = 0) {
  const char* error = nullptr;
  int offset = 0;
  pcre* code = pcre_compile(pattern, options, &error, &offset, tables);
  if (code == nullptr) {
    ADD_FAILURE() << pattern << ": " << error;
    return false;
  }
  int vector[30];
  const int rc = pcre_exec(code, nullptr, subject.data(), static_cast<int>(subject.size()), 0, 0,
                           vector, 30);
  pcre_free(code);
  return rc >= 0;
}

// The test process never sets a locale, so PCRE's own tables are those of
// the "C" locale: every code page's tables agree with them on ASCII.
TEST(CharTables, AsciiHalfEqualsPcreTablesOfTheCLocale) {
  std::unique_ptr<const unsigned char, void (*)(const unsigned char*)> reference(
      pcre_maketables(), [](const unsigned char* p) { pcre_free(const_cast<unsigned char*>(p)); });
  for (const std::uint32_t codePage : {1252u, 437u, 932u, 65001u}) {
    const CharTables tables = MakeCharTables(codePage);
    ASSERT_TRUE(tables) << codePage;
    for (int i = 0; i < 128; ++i) {
      EXPECT_EQ(tables.get()[kLcc + i], reference.get()[kLcc + i]) << codePage << " lcc " << i;
      EXPECT_EQ(tables.get()[kFcc + i], reference.get()[kFcc + i]) << codePage << " fcc " << i;
      // PCRE marks byte 0 as a meta character by accident of strchr; a
      // pattern never holds it, so the tables leave it out.
      if (i != 0) {
        EXPECT_EQ(tables.get()[kCtypes + i], reference.get()[kCtypes + i]) << codePage << " ctype " << i;
      }
      for (int offset = 0; offset < 320; offset += 32) {
        EXPECT_EQ(Bit(tables.get(), offset, i), Bit(reference.get(), offset, i))
            << codePage << " class " << offset << " byte " << i;
      }
    }
  }
}

TEST(CharTables, Windows1252LettersHaveCaseAndWordClass) {
  const CharTables tables = MakeCharTables(1252);
  ASSERT_TRUE(tables);
  const unsigned char* t = tables.get();
  EXPECT_EQ(t[kLcc + 0xC9], 0xE9);  // É -> é
  EXPECT_EQ(t[kFcc + 0xE9], 0xC9);
  EXPECT_EQ(t[kFcc + 0xC9], 0xE9);
  EXPECT_TRUE(Bit(t, kCbitWord, 0xE9));
  EXPECT_FALSE(Bit(t, kCbitDigit, 0xE9));
  EXPECT_FALSE(Bit(t, kCbitWord, 0x81));  // not a character in 1252
  EXPECT_FALSE(Bit(t, kCbitWord, 0xA7));  // section sign
  EXPECT_TRUE(Matches(t, "^\\w+$", "caf\xE9"));
  EXPECT_TRUE(Matches(t, "^caf\xE9$", "CAF\xC9", PCRE_CASELESS));
  EXPECT_FALSE(Matches(t, "^caf\xE9$", "CAF\xC9"));
}

TEST(CharTables, Oem437HasItsOwnLetterPositions) {
  const CharTables tables = MakeCharTables(437);
  ASSERT_TRUE(tables);
  const unsigned char* t = tables.get();
  EXPECT_EQ(t[kFcc + 0x82], 0x90);  // é <-> É
  EXPECT_EQ(t[kLcc + 0x90], 0x82);
  EXPECT_TRUE(Bit(t, kCbitWord, 0x82));
  EXPECT_FALSE(Bit(t, kCbitWord, 0xB0));  // light shade
  EXPECT_FALSE(Bit(t, kCbitSpace, 0xB0));
  EXPECT_TRUE(Matches(t, "^\\x82$", "\x90", PCRE_CASELESS));
}

TEST(CharTables, MultiByteCodePagesLeaveHighBytesWithoutClass) {
  for (const std::uint32_t codePage : {932u, 65001u}) {
    const CharTables tables = MakeCharTables(codePage);
    ASSERT_TRUE(tables);
    for (int i = 0x80; i < 256; ++i) {
      EXPECT_EQ(tables.get()[kLcc + i], i) << codePage << ' ' << i;
      EXPECT_EQ(tables.get()[kFcc + i], i) << codePage << ' ' << i;
      EXPECT_EQ(tables.get()[kCtypes + i], 0) << codePage << ' ' << i;
    }
  }
}

}  // namespace
}  // namespace qm::settings
