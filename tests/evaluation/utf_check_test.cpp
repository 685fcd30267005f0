// The quick UTF checks never accept what PCRE rejects, and accept what it
// accepts in ordinary text (else PCRE's slow check runs for nothing).
#include "plugin/evaluation/utf_check.h"

#include <gtest/gtest.h>
#include <pcre.h>

#include <utf8.h>

#include <string>

namespace qm::plugin {
namespace {

bool PcreAccepts(const std::string& text) {
  static pcre* const code = [] {
    const char* message = nullptr;
    int offset = 0;
    return pcre_compile("x", PCRE_UTF8, &message, &offset, nullptr);
  }();
  int vector[3];
  const int rc = pcre_exec(code, nullptr, text.data(), static_cast<int>(text.size()), 0, 0,
                           vector, 3);
  return rc != PCRE_ERROR_BADUTF8 && rc != PCRE_ERROR_SHORTUTF8;
}

bool PcreAccepts(const std::u16string& text) {
  static pcre16* const code = [] {
    const char* message = nullptr;
    int offset = 0;
    return pcre16_compile(reinterpret_cast<PCRE_SPTR16>(u"x"), PCRE_UTF16, &message, &offset,
                          nullptr);
  }();
  int vector[3];
  const int rc = pcre16_exec(code, nullptr, reinterpret_cast<PCRE_SPTR16>(text.data()),
                             static_cast<int>(text.size()), 0, 0, vector, 3);
  return rc != PCRE_ERROR_BADUTF16 && rc != PCRE_ERROR_SHORTUTF16;
}

TEST(UtfCheck, AgreesWithPcreOnGeneratedText) {
  // Pieces of valid and invalid sequences, so that every boundary case of
  // the lead bytes meets every kind of continuation, in and out of the
  // eight-byte ASCII steps.
  static const char* const kPieces[] = {
      "a", "abcdefgh", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf",
      "\xef\xbf\xbe", "\x80", "\xbf", "\xc0\xaf", "\xc1\xbf", "\xc2", "\xe0\x80\x80",
      "\xe0\xa0", "\xed\xa0\x80", "\xed\x9f\xbf", "\xf0\x80\x80\x80", "\xf4\x90\x80\x80",
      "\xf5\x80\x80\x80", "\xf8\x88\x80\x80\x80", "\xfe", "\xff", "\xe2\x28\xa1", "\n"};
  constexpr std::uint32_t kCount = sizeof kPieces / sizeof kPieces[0];
  std::uint32_t seed = 5;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  // Short texts, and long ones whose rare faults may sit anywhere in or
  // across the 32-byte blocks of the vector check; both paths.
  for (const bool vector : {true, false}) {
    SetVectorUtf8CheckEnabled(vector);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
      std::string text;
      const bool longText = round % 2 == 1;
      const std::uint32_t pieces = longText ? 20 + next(120) : next(12);
      for (std::uint32_t i = 0; i < pieces; ++i) {
        // Mostly valid pieces, so that accepted texts are common too.
        const bool anyPiece = longText ? next(40) == 0 : next(3) == 0;
        text += kPieces[anyPiece ? next(kCount) : next(7)];
      }
      const bool pcre = PcreAccepts(text);
      EXPECT_EQ(IsWellFormedUtf8(text.data(), text.size()), pcre)
          << "round " << round << (vector ? " vector" : " bytewise");
      // The encoding decision uses this check where it used utf8cpp's.
      EXPECT_EQ(utf8::is_valid(text.begin(), text.end()), pcre) << "round " << round;
      accepted += pcre;
    }
    EXPECT_GT(accepted, 4000);
  }
  SetVectorUtf8CheckEnabled(true);

  static const char16_t kUnits[] = {u'a', 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD7FF, 0xE000, 0xFFFF};
  for (int round = 0; round < 20000; ++round) {
    std::u16string text;
    const std::uint32_t units = next(10);
    for (std::uint32_t i = 0; i < units; ++i) text += kUnits[next(8)];
    EXPECT_EQ(IsWellFormedUtf16(text.data(), text.size()), PcreAccepts(text)) << "round " << round;
  }
}

}  // namespace
}  // namespace qm::plugin
