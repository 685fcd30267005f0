// Answer sinks: the sink of each field type, then the answer writers (one
// switch over the answer kinds), then the type-to-sink table.
#include "plugin/evaluation/answer_sink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "plugin/evaluation/abort_set.h"
#include "plugin/evaluation/code_page.h"
#include "plugin/evaluation/replace_template.h"

namespace qm::plugin {
namespace {

using settings::AnswerKind;
using settings::AnswerKindOf;
using settings::FieldType;

// ---------------------------------------------------------------------------
// The sinks
// ---------------------------------------------------------------------------

// Counts every match; the answer is known only at the end of the content.
class EveryMatch : public AnswerSink {
 public:
  using AnswerSink::AnswerSink;
  void Take(const CountedMatch&, EvaluationState& state, const FieldDefinition&,
            const PluginSettings&) const override {
    ++state.matchCount;
  }
  bool Known(const EvaluationState&) const override { return false; }
};

// Yes once a match is found: the first match settles it.
class FirstMatch final : public EveryMatch {
 public:
  using EveryMatch::EveryMatch;
  bool Known(const EvaluationState& state) const override { return state.matchCount != 0; }
};

// Counts distinct match texts, by the NameHash of their bytes (two bytes
// per UTF-16 unit, in memory order).
class DistinctMatches final : public AnswerSink {
 public:
  using AnswerSink::AnswerSink;
  void Prepare(EvaluationState& state, int maxlen) const override {
    AnswerSink::Prepare(state, maxlen);
    state.distinctMatches = std::make_unique<DistinctSet>();
  }
  void Take(const CountedMatch& m, EvaluationState& state, const FieldDefinition&,
            const PluginSettings&) const override {
    const void* at = m.units != nullptr ? static_cast<const void*>(m.units + m.start)
                                        : static_cast<const void*>(m.bytes + m.start);
    const std::uint64_t hash = NameHash(at, (m.end - m.start) * m.UnitSize());
    if (state.distinctMatches->Insert(hash)) ++state.matchCount;
  }
  bool Known(const EvaluationState&) const override { return false; }
};

// The replace template expanded for every match, until the text reaches
// the output limit (half the host's buffer, less the terminator).
class Expansions : public AnswerSink {
 public:
  using AnswerSink::AnswerSink;
  void Prepare(EvaluationState& state, int maxlen) const override {
    AnswerSink::Prepare(state, maxlen);
    state.outputLimit = maxlen >= 4 ? static_cast<std::uint32_t>(maxlen / 2 - 1) : 0;
    state.outputText.reserve(std::min<std::size_t>(2u * state.outputLimit, 1u << 16));
  }
  void Take(const CountedMatch& m, EvaluationState& state, const FieldDefinition& field,
            const PluginSettings& settings) const override {
    ++state.matchCount;
    if (m.units != nullptr) {
      ExpandReplaceTemplate(field, m.units, m.length, state);
    } else {
      ExpandReplaceTemplate(field, m.bytes, m.length, state, settings);
    }
  }
  bool Known(const EvaluationState& state) const override {
    return state.outputText.size() >= state.outputLimit;
  }
};

// The template expanded for the first match only.
class FirstExpansion final : public Expansions {
 public:
  using Expansions::Expansions;
  bool Known(const EvaluationState& state) const override { return state.matchCount != 0; }
};

// The mean match length in bytes (a UTF-16 unit counts two).
class MatchLengths final : public EveryMatch {
 public:
  using EveryMatch::EveryMatch;
  void Take(const CountedMatch& m, EvaluationState& state, const FieldDefinition&,
            const PluginSettings&) const override {
    ++state.matchCount;
    state.sum += (m.end - m.start) * m.UnitSize();
  }
};

// The spread of the matches: the sum of the gaps between successive match
// starts, in bytes of the whole content.
class MatchDistances final : public EveryMatch {
 public:
  using EveryMatch::EveryMatch;
  void Take(const CountedMatch& m, EvaluationState& state, const FieldDefinition&,
            const PluginSettings&) const override {
    ++state.matchCount;
    const auto s = static_cast<std::int64_t>((state.startOffset + m.start) * m.UnitSize());
    if (state.previousMatchStart >= 0) {
      state.sum += static_cast<std::uint64_t>(s - state.previousMatchStart);
    }
    state.previousMatchStart = s;
  }
};

// ---------------------------------------------------------------------------
// Writing answers
// ---------------------------------------------------------------------------

// Copies n bytes, fewer when maxlen is smaller.
void WriteBytes(const AnswerTarget& target, const void* source, std::size_t n) {
  if (target.fieldValue == nullptr || target.maxlen <= 0) return;
  std::memcpy(target.fieldValue, source, std::min(n, static_cast<std::size_t>(target.maxlen)));
}

void WriteUint32(const AnswerTarget& target, std::uint32_t value) {
  WriteBytes(target, &value, sizeof value);
}

// The ANSI form of a text answer, cut to fit maxlen - 1 bytes without
// splitting a character.
std::string NarrowAnswer(const PluginSettings& settings, const std::u16string& text, int maxlen) {
  std::string narrow;
  ToNarrow(settings, text.data(), text.size(), &narrow, true, false);
  const std::uint32_t cp = settings.ansiCodePage;
  const std::size_t room = maxlen > 0 ? static_cast<std::size_t>(maxlen - 1) : 0;
  if (narrow.size() > room) {
    std::size_t cut = room;
    if (platform::IsMultiByteCodePage(cp) && cut > 0) {
      // Keep the last character only when it fits whole.
      const std::size_t start = platform::PreviousCharStart(cp, narrow.data(), cut + 1);
      if (start < cut) cut = start;
    }
    narrow.resize(cut);
  }
  return narrow;
}

// A text answer: the output text cut to the limit (never after a lone lead
// surrogate), in the request's text form. Returns the units written.
std::size_t WriteTextAnswer(EvaluationState& state, const AnswerTarget& target,
                            const PluginSettings& settings) {
  std::u16string& text = state.outputText;
  if (text.size() > state.outputLimit) text.resize(state.outputLimit);
  if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
  if (target.wide) {
    CopyWide(target.fieldValue, target.maxlen, text.data(), text.size());
    return text.size();
  }
  const std::string narrow = NarrowAnswer(settings, text, target.maxlen);
  CopyNarrow(static_cast<char*>(target.fieldValue), target.maxlen, narrow.c_str());
  return narrow.size();
}

// The field's floating value: the mean match length, or for the distance
// ratio the mean gap between matches over the mean size per gap.
double RatioValue(FieldType type, const EvaluationState& state) {
  if (type == FieldType::MatchDistanceRatio) {
    const double gaps = state.matchCount < 2 ? 1.0 : static_cast<double>(state.matchCount - 1);
    const double size = state.contentSize == 0 ? 1.0 : static_cast<double>(state.contentSize);
    return (static_cast<double>(state.sum) / gaps) / (size / gaps);
  }
  const double count = state.matchCount == 0 ? 1.0 : static_cast<double>(state.matchCount);
  return static_cast<double>(state.sum) / count;
}

// A floating answer: the 8-byte value, then from byte 8 its text with three
// decimals when the buffer has room. Returns the cache image's length value.
std::size_t WriteRatioAnswer(double value, const AnswerTarget& target) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  WriteBytes(target, &value, sizeof value);
  if (target.fieldValue == nullptr || target.maxlen <= 8) return 0;
  const std::size_t length = std::strlen(text);
  char* after = static_cast<char*>(target.fieldValue) + 8;
  if (target.wide) {
    const std::u16string w(text, text + length);
    CopyWide(after, target.maxlen - 8, w.data(), w.size());
    return 4 + length;
  }
  CopyNarrow(after, target.maxlen - 8, text);
  return 8 + length;
}

}  // namespace

std::uint32_t EncodingChoice(const EvaluationState& state) {
  if (state.isUtf8) return 1;
  if (state.isUtf16) return state.bigEndian ? 3 : 2;
  return 0;
}

void AnswerSink::Prepare(EvaluationState&, int) const {}

bool AnswerSink::Write(EvaluationState& state, const AnswerTarget& target,
                       const PluginSettings& settings, ResultCacheStore* cache,
                       const std::string* cacheKey) const {
  AnswerDescriptor descriptor;
  descriptor.wide = target.wide;
  descriptor.type = type_;
  switch (AnswerKindOf(type_)) {
    case AnswerKind::FullText:
    case AnswerKind::CompareOnly: return false;  // answered by their own routines
    case AnswerKind::Choice: {
      descriptor.value = EncodingChoice(state);
      CopyNarrow(static_cast<char*>(target.fieldValue), target.maxlen,
                 settings::kEncodingNames[descriptor.value]);
      break;
    }
    case AnswerKind::Flag:
    case AnswerKind::Count: WriteUint32(target, state.matchCount); break;
    case AnswerKind::Text: descriptor.value = WriteTextAnswer(state, target, settings); break;
    case AnswerKind::Ratio:
      descriptor.value = WriteRatioAnswer(RatioValue(type_, state), target);
      break;
  }
  if (cache != nullptr && cacheKey != nullptr && target.fieldValue != nullptr) {
    cache->Store(*cacheKey, descriptor, target.fieldValue, target.maxlen);
  }
  return true;
}

bool AnswerSink::WriteZero(const AnswerTarget& target) const {
  switch (AnswerKindOf(type_)) {
    case AnswerKind::FullText:
    case AnswerKind::Choice:
    case AnswerKind::CompareOnly: return false;
    case AnswerKind::Ratio: {
      const double zero = 0.0;
      WriteBytes(target, &zero, sizeof zero);
      return true;
    }
    case AnswerKind::Flag:
    case AnswerKind::Count:
    case AnswerKind::Text: WriteUint32(target, 0); return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Which sink a type has
// ---------------------------------------------------------------------------
const AnswerSink& AnswerSinkFor(FieldType type) {
  switch (type) {
    // Fields that only read: their expression is not run over content; the
    // loop would stop at a first match.
    case FieldType::OutsideInFulltext: { static const FirstMatch sink(type); return sink; }
    case FieldType::EncodingCheck: { static const FirstMatch sink(type); return sink; }
    case FieldType::Boolean: { static const FirstMatch sink(type); return sink; }
    case FieldType::Count: { static const EveryMatch sink(type); return sink; }
    case FieldType::CountIndividual: { static const DistinctMatches sink(type); return sink; }
    case FieldType::StringOutput: { static const Expansions sink(type); return sink; }
    case FieldType::FirstMatchStringOutput: { static const FirstExpansion sink(type); return sink; }
    // The generator fills the text; a loop over text would expand until full.
    case FieldType::RandomString: { static const Expansions sink(type); return sink; }
    case FieldType::AverageResultLength: { static const MatchLengths sink(type); return sink; }
    case FieldType::FileCompare: { static const EveryMatch sink(type); return sink; }
    case FieldType::MatchDistanceRatio: { static const MatchDistances sink(type); return sink; }
  }
  static const EveryMatch unknown(FieldType::Count);  // not a FieldType value
  return unknown;
}

void CopyNarrow(char* buffer, int maxlen, const char* text) {
  if (buffer == nullptr || maxlen <= 0) return;
  const std::size_t n = std::min(std::strlen(text), static_cast<std::size_t>(maxlen - 1));
  std::memcpy(buffer, text, n);
  buffer[n] = 0;
}

void CopyWide(void* buffer, int maxlen, const char16_t* text, std::size_t length) {
  if (buffer == nullptr || maxlen < 2) return;
  const std::size_t n = std::min(length, static_cast<std::size_t>(maxlen / 2 - 1));
  auto* out = static_cast<unsigned char*>(buffer);
  std::memcpy(out, text, n * 2);
  out[n * 2] = 0;
  out[n * 2 + 1] = 0;
}

}  // namespace qm::plugin
