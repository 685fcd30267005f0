// Expression compilation: the three programs, their options, the newline
// convention and where the record is stored.
#include <cstring>
#include <string>

#include "config_fixture.h"
#include "plugin/config/compile.h"

namespace qm::plugin::test {
namespace {

using settings::FieldType;

class Compile : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    state_ = std::make_unique<PluginState>();
    state_->settings.ansiCodePage = 1252;
    state_->settings.oemCodePage = 437;
    state_->ansiTables = settings::MakeCharTables(1252);
    state_->oemTables = settings::MakeCharTables(437);
  }
  // Compiles into a fresh table; the record, or null on failure.
  const FieldDefinition* Compiled(const std::u16string& expression, std::uint32_t flags = 0,
                                  FieldType type = FieldType::Boolean) {
    state_->fields.clear();
    log_.clear();
    if (!CompileField(*state_, expression, 0, "", log_, type, flags, u"$0")) return nullptr;
    return &state_->fields.at(0);
  }
  std::string log_;
};

TEST_F(Compile, NewlineConventionSetsTheCrlfFlagAndTheExecOptions) {
  struct Case {
    const char16_t* expression;
    int newline;
    bool crlf;
  } cases[] = {
      {u"a", PCRE_NEWLINE_ANYCRLF, true},   {u"(*LF)a", PCRE_NEWLINE_LF, false},
      {u"(*CR)a", PCRE_NEWLINE_CR, false},  {u"(*CRLF)a", PCRE_NEWLINE_CRLF, true},
      {u"(*ANY)a", PCRE_NEWLINE_ANY, true}, {u"(*ANYCRLF)a", PCRE_NEWLINE_ANYCRLF, true},
  };
  for (const Case& c : cases) {
    const FieldDefinition* f = Compiled(c.expression);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->crlfIsNewline, c.crlf);
    EXPECT_EQ(f->ansiExecOptions, static_cast<std::uint32_t>(c.newline));
    EXPECT_EQ(f->utf8ExecOptions, static_cast<std::uint32_t>(c.newline | PCRE_NO_UTF8_CHECK));
    EXPECT_EQ(f->utf16ExecOptions, static_cast<std::uint32_t>(c.newline | PCRE_NO_UTF16_CHECK));
  }
  // With LF newlines "$" no longer stops before a lone CR.
  const FieldDefinition* anyCrlf = Compiled(u"(?m)^a$");
  ASSERT_NE(anyCrlf, nullptr);
  EXPECT_TRUE(Finds(anyCrlf->utf8Program, "a\rb"));
  const FieldDefinition* lf = Compiled(u"(*LF)(?m)^a$");
  ASSERT_NE(lf, nullptr);
  EXPECT_FALSE(Finds(lf->utf8Program, "a\rb"));
  EXPECT_TRUE(Finds(lf->utf8Program, "a\nb"));
}

TEST_F(Compile, CaseSensitiveDefaultDecidesCaselessnessInEveryVariant) {
  const FieldDefinition* caseless = Compiled(u"abc\u00E9");
  ASSERT_NE(caseless, nullptr);
  EXPECT_TRUE(Finds(caseless->ansiProgram, "ABC\xC9"));
  EXPECT_TRUE(Finds(caseless->utf8Program, "ABC\xC3\x89"));
  EXPECT_TRUE(Finds(caseless->utf16Program, u"ABC\u00C9"));
  state_->settings.caseSensitiveDefault = true;
  const FieldDefinition* exact = Compiled(u"abc");
  ASSERT_NE(exact, nullptr);
  EXPECT_FALSE(Finds(exact->ansiProgram, "ABC"));
  EXPECT_FALSE(Finds(exact->utf8Program, "ABC"));
  EXPECT_FALSE(Finds(exact->utf16Program, u"ABC"));
  const FieldDefinition* own = Compiled(u"(?i)abc");
  ASSERT_NE(own, nullptr);
  EXPECT_TRUE(Finds(own->ansiProgram, "ABC"));
  EXPECT_TRUE(Finds(own->utf16Program, u"ABC"));
}

TEST_F(Compile, DisableUnicodePropertiesLimitsWordCharactersToAscii) {
  const FieldDefinition* ucp = Compiled(u"^\\w+$");
  ASSERT_NE(ucp, nullptr);
  EXPECT_TRUE(Finds(ucp->utf8Program, "\xD0\x96\xC3\xA9"));
  EXPECT_TRUE(Finds(ucp->utf16Program, u"\u0416\u00E9\u65E5"));
  const FieldDefinition* ascii = Compiled(u"^\\w+$", settings::flags::DisableUnicodeProperties);
  ASSERT_NE(ascii, nullptr);
  EXPECT_FALSE(Finds(ascii->utf8Program, "\xD0\x96"));
  EXPECT_FALSE(Finds(ascii->utf16Program, u"\u0416"));
  EXPECT_TRUE(Finds(ascii->utf16Program, u"abc_1"));
  EXPECT_FALSE(ascii->oemCodePage);
}

TEST_F(Compile, OemFieldsUseTheOemCodePageAndTables) {
  const FieldDefinition* oem = Compiled(u"^\u00E9$", settings::flags::OemCodePage);
  ASSERT_NE(oem, nullptr);
  EXPECT_TRUE(oem->oemCodePage);
  EXPECT_TRUE(Finds(oem->ansiProgram, "\x82"));  // é in 437
  EXPECT_TRUE(Finds(oem->ansiProgram, "\x90"));  // É in 437, caseless by the 437 tables
  EXPECT_FALSE(Finds(oem->ansiProgram, "\xE9"));
  const FieldDefinition* ansi = Compiled(u"^\u00E9$");
  ASSERT_NE(ansi, nullptr);
  EXPECT_TRUE(Finds(ansi->ansiProgram, "\xC9"));
  EXPECT_FALSE(Finds(ansi->ansiProgram, "\x82"));
}

TEST_F(Compile, UnmappableCharactersAreCompiledAsTheDefaultCharacter) {
  const FieldDefinition* f = Compiled(u"x\u65E5");  // "x?" in 1252
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(Finds(f->ansiProgram, "y"));
  EXPECT_TRUE(Finds(f->utf16Program, u"x\u65E5"));
  EXPECT_FALSE(Finds(f->utf16Program, u"y"));
  EXPECT_EQ(Compiled(u"\u65E5"), nullptr);  // "?" alone repeats nothing
  EXPECT_NE(log_.find("(ANSI): \"?\""), std::string::npos) << log_;
}

TEST_F(Compile, CaptureCountAndTemplatesOnlyForStringTypes) {
  const FieldDefinition* f = Compiled(u"(a)(?:b)(c(d))");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->captureCount, 3);
  EXPECT_TRUE(f->templateOps.empty());
  for (FieldType t : {FieldType::StringOutput, FieldType::FirstMatchStringOutput, FieldType::RandomString}) {
    const FieldDefinition* s = Compiled(u"a", 0, t);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->templateOps.empty() && s->literalPieces.empty()) << static_cast<int>(t);
  }
  const FieldDefinition* count = Compiled(u"a", 0, FieldType::Count);
  ASSERT_NE(count, nullptr);
  EXPECT_TRUE(count->templateOps.empty() && count->literalPieces.empty());
}

TEST_F(Compile, IndexZeroReplacesTheFirstRecordOthersAppend) {
  std::string log;
  ASSERT_TRUE(CompileField(*state_, u"first", 0, "one", log, FieldType::Boolean, 0, u"$0"));
  ASSERT_TRUE(CompileField(*state_, u"second", 1, "two", log, FieldType::Boolean, 0, u"$0"));
  ASSERT_TRUE(CompileField(*state_, u"again", 0, "zero", log, FieldType::Count, 0, u"$0"));
  ASSERT_EQ(state_->fields.size(), 2u);
  EXPECT_EQ(state_->fields[0].configuredName, "zero");
  EXPECT_EQ(state_->fields[1].configuredName, "two");
  EXPECT_FALSE(CompileField(*state_, u"(", 2, "bad", log, FieldType::Boolean, 0, u"$0"));
  EXPECT_EQ(state_->fields.size(), 2u);
  EXPECT_TRUE(log.find("regex3 \"bad\" (ANSI)") != std::string::npos) << log;
}

TEST(NameHash, EmptyTextHashesToTheStartValueAndBytesAreSigned) {
  EXPECT_EQ(NameHash("", 0), 0xCBF29CE484222325ull);
  EXPECT_NE(NameHash("a", 1), NameHash("b", 1));
  EXPECT_NE(NameHash("ab", 2), NameHash("ba", 2));
  // One byte 0xFF: XOR with the sign-extended value, then the mixing steps.
  std::uint64_t h = 0xCBF29CE484222325ull ^ 0xFFFFFFFFFFFFFFFFull;
  h *= 0x00000106CC0001B3ull;
  h ^= h >> 14;
  h *= 65;
  h ^= h >> 34;
  h *= 1025;
  EXPECT_EQ(NameHash("\xFF", 1), h);
}

// A request's key, worked out only when asked for, is the hash of the name
// as the host gave it: ANSI bytes, or UTF-16 units as little-endian pairs
// (high bytes above 0x7F included, which hash sign-extended).
TEST(NameHash, ARequestKeyIsTheHashOfTheNamesBytesAndMatchesAStop) {
  const std::u16string wide = u"/tmp/\u00DCber \u20AC\U0001F600 \uFF21.txt";
  std::string pairs;
  for (const char16_t unit : wide) {
    pairs += static_cast<char>(unit & 0xFF);
    pairs += static_cast<char>(unit >> 8);
  }
  const RequestKey wideKey(nullptr, wide.data(), wide.size());
  EXPECT_EQ(wideKey.Value(), NameHash(pairs.data(), pairs.size()));
  const char* ansi = "/tmp/caf\xE9.txt";
  EXPECT_EQ(RequestKey(ansi, nullptr, 0).Value(), NameHash(ansi, std::strlen(ansi)));
  EXPECT_EQ(RequestKey().Value(), 0u);

  AbortSet stops;
  EXPECT_FALSE(stops.Contains(wideKey));
  stops.Insert(NameHash(pairs.data(), pairs.size()));
  EXPECT_TRUE(stops.Contains(RequestKey(nullptr, wide.data(), wide.size())));
  EXPECT_FALSE(stops.Contains(RequestKey(ansi, nullptr, 0)));
  stops.Remove(wideKey);
  EXPECT_FALSE(stops.Contains(wideKey));
}

}  // namespace
}  // namespace qm::plugin::test
