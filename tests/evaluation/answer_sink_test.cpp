// Answer sinks: every type has its own, each stops where its answer is
// settled, writes stay inside the host's buffer and come back from the
// cache unchanged, and the answers of the match loop through the sinks equal
// a plain tally of the cursor's matches.
#include "plugin/evaluation/answer_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/config/compile.h"
#include "plugin/config/plugin_state.h"
#include "plugin/evaluation/matcher.h"

namespace qm::plugin {
namespace {

using settings::AnswerKind;
using settings::AnswerKindOf;
using settings::FieldType;

constexpr FieldType kAllTypes[] = {
    FieldType::OutsideInFulltext,   FieldType::EncodingCheck,   FieldType::Boolean,
    FieldType::Count,               FieldType::CountIndividual, FieldType::StringOutput,
    FieldType::FirstMatchStringOutput, FieldType::RandomString, FieldType::AverageResultLength,
    FieldType::FileCompare,         FieldType::MatchDistanceRatio};

constexpr unsigned char kCanary = 0x5A;

TEST(AnswerSinks, EachTypeHasItsOwnSink) {
  for (const FieldType type : kAllTypes) EXPECT_EQ(AnswerSinkFor(type).Type(), type);
}

// What a reader may do after one counted match: stop for the types whose
// first match settles the answer, read on for the rest; text answers stop
// once their output is full.
TEST(AnswerSinks, AnswerIsKnownWhereTheTypeIsSettled) {
  const std::set<FieldType> settledByOne = {FieldType::OutsideInFulltext, FieldType::EncodingCheck,
                                            FieldType::Boolean, FieldType::FirstMatchStringOutput};
  for (const FieldType type : kAllTypes) {
    const AnswerSink& sink = AnswerSinkFor(type);
    EvaluationState state;
    sink.Prepare(state, 64);
    const bool text = AnswerKindOf(type) == AnswerKind::Text;
    EXPECT_EQ(sink.Known(state), false) << int(type);
    state.matchCount = 1;
    EXPECT_EQ(sink.Known(state), settledByOne.count(type) == 1) << int(type);
    state.matchCount = 0;
    state.outputText.assign(state.outputLimit, u'x');
    EXPECT_EQ(sink.Known(state), text && type != FieldType::FirstMatchStringOutput) << int(type);
  }
  // A text answer with no room is known before it starts.
  EvaluationState tiny;
  AnswerSinkFor(FieldType::StringOutput).Prepare(tiny, 3);
  EXPECT_TRUE(AnswerSinkFor(FieldType::StringOutput).Known(tiny));
}

// Every kind's answer and zero answer, into buffers of every small size,
// in both text forms: nothing is written past maxlen.
TEST(AnswerSinks, WritesStayInsideTheHostBuffer) {
  PluginSettings settings;
  for (const FieldType type : kAllTypes) {
    for (const bool wide : {false, true}) {
      for (int maxlen = 0; maxlen <= 24; ++maxlen) {
        const AnswerSink& sink = AnswerSinkFor(type);
        EvaluationState state;
        sink.Prepare(state, maxlen);
        state.isUtf8 = true;
        state.matchCount = 3;
        state.sum = 10;
        state.contentSize = 40;
        state.outputText = u"r\u00E9sultat \U0001F600 long enough to be cut";
        std::vector<unsigned char> buffer(static_cast<std::size_t>(maxlen) + 8, kCanary);
        const AnswerTarget target{buffer.data(), maxlen, wide};
        const bool written = sink.Write(state, target, settings, nullptr, nullptr);
        const AnswerKind kind = AnswerKindOf(type);
        EXPECT_EQ(written, kind != AnswerKind::FullText && kind != AnswerKind::CompareOnly);
        for (std::size_t i = static_cast<std::size_t>(maxlen); i < buffer.size(); ++i) {
          ASSERT_EQ(buffer[i], kCanary) << int(type) << " maxlen " << maxlen << " wide " << wide;
        }
        std::fill(buffer.begin(), buffer.end(), kCanary);
        sink.WriteZero(target);
        for (std::size_t i = static_cast<std::size_t>(maxlen); i < buffer.size(); ++i) {
          ASSERT_EQ(buffer[i], kCanary) << int(type) << " zero, maxlen " << maxlen;
        }
      }
    }
  }
}

TEST(AnswerSinks, WrittenAnswersComeBackFromTheCache) {
  PluginSettings settings;
  settings.ansiCodePage = platform::kCodePageUtf8;
  ResultCacheStore cache;
  cache.SetCapacity(16);
  const FieldType types[] = {FieldType::EncodingCheck, FieldType::Boolean, FieldType::Count,
                             FieldType::StringOutput, FieldType::AverageResultLength,
                             FieldType::MatchDistanceRatio};
  int keyNumber = 0;
  for (const FieldType type : types) {
    for (const bool wide : {false, true}) {
      const AnswerSink& sink = AnswerSinkFor(type);
      EvaluationState state;
      sink.Prepare(state, 100);
      state.isUtf16 = true;
      state.matchCount = 1;
      state.sum = 7;
      state.contentSize = 20;
      state.outputText = u"caf\u00E9";
      char written[100];
      std::memset(written, 0, sizeof written);
      const std::string key = "key" + std::to_string(++keyNumber);
      ASSERT_TRUE(sink.Write(state, AnswerTarget{written, 100, wide}, settings, &cache, &key));
      AnswerDescriptor descriptor;
      descriptor.wide = wide;
      descriptor.type = type;
      char looked[100];
      std::memset(looked, 0, sizeof looked);
      ASSERT_TRUE(cache.Lookup(key, descriptor, looked, 100)) << int(type);
      EXPECT_EQ(std::memcmp(written, looked, sizeof written), 0) << int(type) << " wide " << wide;
    }
  }
}

// ---------------------------------------------------------------------------
// The match loop through the sinks against a plain tally of the matches
// ---------------------------------------------------------------------------
class SinkDifferentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetCodePagesForTesting(1252, 437);
    state_.settings.ansiCodePage = 1252;
    state_.settings.oemCodePage = 437;
    state_.ansiTables = settings::MakeCharTables(1252);
    state_.oemTables = settings::MakeCharTables(437);
    std::string log;
    ASSERT_TRUE(CompileField(state_, u"\\R", 0, "", log, FieldType::Count, 0, u""));
    lineBreak_ = std::make_unique<FieldDefinition>(std::move(state_.fields.back()));
    state_.fields.clear();
  }
  void TearDown() override { platform::SetCodePagesForTesting(0, 0); }

  std::unique_ptr<FieldDefinition> Field(const std::u16string& expression, FieldType type) {
    std::string log;
    state_.fields.clear();
    if (!CompileField(state_, expression, 1, "", log, type, 0, u"$0")) return nullptr;
    return std::make_unique<FieldDefinition>(std::move(state_.fields.back()));
  }

  // The state after the match loop over the UTF-16 text, the type's sink
  // prepared as a request prepares it.
  EvaluationState ThroughSink(const FieldDefinition& field, const std::u16string& text) {
    EvaluationState state;
    AnswerSinkFor(field.type).Prepare(state, 2048);
    state.isUtf16 = true;
    const EvaluationContext context{state_.settings, *lineBreak_, state_.abortSet};
    MatchUnits(text.data(), text.size(), state, field, context);
    return state;
  }

  // Every match of the field's 16-bit program, found by the cursor alone.
  std::vector<std::u16string> Matches(const FieldDefinition& field, const std::u16string& text,
                                      std::vector<std::size_t>* starts) {
    std::vector<std::u16string> found;
    int vector[kMatchVectorSize + 1] = {};
    MatchCursor<char16_t> cursor(*field.utf16Program, RulesFor16(field), text.data(), text.size(),
                                 vector);
    while (FindNextMatch(cursor)) {
      found.push_back(text.substr(cursor.Start(), cursor.End() - cursor.Start()));
      starts->push_back(cursor.Start());
    }
    return found;
  }

  PluginState state_;
  std::unique_ptr<FieldDefinition> lineBreak_;
};

TEST_F(SinkDifferentialTest, EveryTypeAnswersAsAPlainTallyOfTheMatches) {
  static const char16_t* const kAtoms[] = {u"a", u"b", u"\\w", u"\\s", u".", u"x?", u"$", u"^",
                                           u"\\b", u"é", u"\\d", u"(a|b)", u"\\R", u"[a-c]"};
  static const char16_t* const kQuantifiers[] = {u"", u"", u"*", u"+", u"?", u"{2}"};
  std::uint32_t seed = 2024;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  std::vector<std::u16string> patterns = {u"\\w+", u"a", u"", u"x*", u"(?m)^.*$", u"b|ab"};
  for (int i = 0; i < 80; ++i) {
    std::u16string p = next(4) == 0 ? u"(?m)" : u"";
    for (std::uint32_t k = 0, atoms = 1 + next(3); k < atoms; ++k) {
      p += kAtoms[next(sizeof kAtoms / sizeof kAtoms[0])];
      p += kQuantifiers[next(sizeof kQuantifiers / sizeof kQuantifiers[0])];
    }
    patterns.push_back(p);
  }
  std::vector<std::u16string> texts = {u"", u"\r\n", u"ab abc aab\r\nba 12 é\n\nbbc a"};
  for (int i = 0; i < 6; ++i) {
    static const char16_t kUnits[] = u"ab c\r\n1é.x";
    std::u16string t;
    for (std::uint32_t n = next(40); n > 0; --n) t += kUnits[next(10)];
    texts.push_back(t);
  }

  int compared = 0;
  for (const std::u16string& pattern : patterns) {
    for (const FieldType type : {FieldType::Boolean, FieldType::Count, FieldType::CountIndividual,
                                 FieldType::StringOutput, FieldType::FirstMatchStringOutput,
                                 FieldType::AverageResultLength, FieldType::MatchDistanceRatio}) {
      const auto field = Field(pattern, type);
      if (!field || !field->utf16Program) continue;
      for (const std::u16string& text : texts) {
        std::vector<std::size_t> starts;
        const std::vector<std::u16string> all = Matches(*field, text, &starts);
        const EvaluationState got = ThroughSink(*field, text);
        std::uint32_t count = static_cast<std::uint32_t>(all.size());
        std::u16string output;
        std::uint64_t sum = 0;
        if (type == FieldType::Boolean || type == FieldType::FirstMatchStringOutput) {
          count = all.empty() ? 0 : 1;
        }
        if (type == FieldType::CountIndividual) {
          count = static_cast<std::uint32_t>(std::set<std::u16string>(all.begin(), all.end()).size());
        }
        for (std::size_t i = 0; i < count && AnswerKindOf(type) == AnswerKind::Text; ++i) {
          output += all[i];
        }
        for (std::size_t i = 0; i < all.size(); ++i) {
          if (type == FieldType::AverageResultLength) sum += 2 * all[i].size();
          if (type == FieldType::MatchDistanceRatio && i > 0) sum += 2 * (starts[i] - starts[i - 1]);
        }
        const std::string where = "type " + std::to_string(int(type)) + " pattern #" +
                                  std::to_string(&pattern - patterns.data()) + " text #" +
                                  std::to_string(&text - texts.data());
        EXPECT_EQ(got.matchCount, count) << where;
        EXPECT_EQ(got.outputText, output) << where;
        EXPECT_EQ(got.sum, sum) << where;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 3000);
}

}  // namespace
}  // namespace qm::plugin
