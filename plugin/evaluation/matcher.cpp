// The match loop, shared by the 8-bit and the 16-bit routine.
//
// One template runs the loop; a small traits type per width executes the
// program and knows how to step past an unmatchable empty match. Results
// accumulate in the request's EvaluationState. A "line pass" is the same
// loop run with the line-break field to record line ends for templates that
// refer to line numbers.
#include "plugin/evaluation/matcher.h"

#include <pcre.h>

#include <new>

#include "plugin/evaluation/replace_template.h"

namespace qm::plugin {
namespace {

using settings::FieldType;

constexpr int kNoUtfCheck = 0x2000;  // PCRE_NO_UTF8_CHECK == PCRE_NO_UTF16_CHECK
constexpr std::uint32_t kAbortCheckMs = 500;

// Bytes of stack the recursion of one execution may take, and the deepest
// recursion that fits. PCRE reports its frame size when asked with a null
// program.
constexpr unsigned long kRecursionStackBudget = 256 * 1024;

unsigned long RecursionLimit() {
  static const unsigned long limit = [] {
    const int frame = -pcre_exec(nullptr, nullptr, nullptr, -999, -999, 0, nullptr, 0);
    if (frame <= 0) return kMatchRecursionLimit;  // heap recursion: frames are not on the stack
    const unsigned long fit = kRecursionStackBudget / static_cast<unsigned long>(frame);
    return fit < kMatchRecursionLimit ? fit : kMatchRecursionLimit;
  }();
  return limit;
}

struct Bytes8 {
  using Char = char;
  static constexpr int kUnitSize = 1;

  static const Program8* ProgramFor(const FieldDefinition& field, const EvaluationState& state) {
    return state.isUtf8 ? field.utf8Program.get() : field.ansiProgram.get();
  }
  static MatchRules RulesFor(const FieldDefinition& field, const EvaluationState& state) {
    MatchRules rules = RulesFor8(field, state.isUtf8);
    rules.validateFirst = state.utfCheckPending && state.isUtf8;
    return rules;
  }
  static void Expand(const FieldDefinition& field, const char* text, std::size_t length,
                     EvaluationState& state, const EvaluationContext& context) {
    ExpandReplaceTemplate(field, text, length, state, context.settings);
  }
};

struct Units16 {
  using Char = char16_t;
  static constexpr int kUnitSize = 2;

  static const Program16* ProgramFor(const FieldDefinition& field, const EvaluationState&) {
    return field.utf16Program.get();
  }
  static MatchRules RulesFor(const FieldDefinition& field, const EvaluationState& state) {
    MatchRules rules = RulesFor16(field);
    rules.validateFirst = state.utfCheckPending;
    return rules;
  }
  static void Expand(const FieldDefinition& field, const char16_t* text, std::size_t length,
                     EvaluationState& state, const EvaluationContext&) {
    ExpandReplaceTemplate(field, text, length, state);
  }
};

int ExecProgram(const Program8& program, const char* text, std::size_t length, std::size_t start,
                int options, int* vector) {
  pcre_extra extra{};
  if (program.study != nullptr) extra = *program.study;
  extra.flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra.match_limit_recursion = RecursionLimit();
  return pcre_exec(program.code, &extra, text, static_cast<int>(length), static_cast<int>(start),
                   options, vector, kMatchVectorSize);
}

int ExecProgram(const Program16& program, const char16_t* text, std::size_t length,
                std::size_t start, int options, int* vector) {
  pcre16_extra extra{};
  if (program.study != nullptr) extra = *program.study;
  extra.flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra.match_limit_recursion = RecursionLimit();
  return pcre16_exec(program.code, &extra, reinterpret_cast<PCRE_SPTR16>(text),
                     static_cast<int>(length), static_cast<int>(start), options, vector,
                     kMatchVectorSize);
}

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
bool IsContinuation(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Most line ends one text may record before line counting is given up.
std::size_t LineEndLimit(std::size_t n) {
  if (n <= 5242880) return 1310720;
  if (n > 524288000) return 87293952;
  const auto scaled = static_cast<std::size_t>(static_cast<double>(n - 5242880) * 0.6626262626262627 + 0.5);
  return (scaled + 5242880) / 4;
}

template <typename Traits>
void MatchLoop(const typename Traits::Char* text, std::size_t length, EvaluationState& state,
               const FieldDefinition& field, const EvaluationContext& context, bool linePass) {
  const auto* program = Traits::ProgramFor(field, state);
  if (program == nullptr || program->code == nullptr) return;
  std::uint32_t tick = platform::TickCount();
  const int t = static_cast<int>(field.type);
  const bool distinct = field.type == FieldType::CountIndividual;
  const bool stringType = field.IsStringType();
  const bool firstOnly = field.type == FieldType::FirstMatchStringOutput;

  // The line index of this text, for templates with line references.
  if (!linePass && state.countLines && !state.lineEnds) {
    try {
      const std::size_t n = length;
      state.lineEnds = std::make_unique<std::vector<std::int32_t>>();
      state.lineEnds->reserve(n <= 500 ? n : n / 40);
      MatchLoop<Traits>(text, length, state, context.lineBreakField, context, true);
      if (state.lineEnds->size() == 1 && (*state.lineEnds)[0] == -1) {
        state.lineEnds.reset();
        state.countLines = false;
      }
    } catch (const std::bad_alloc&) {
      state.lineEnds.reset();
      state.countLines = false;
    }
  }
  const std::size_t lineLimit = linePass ? LineEndLimit(length) : 0;

  bool timeCheck = false;
  MatchCursor<typename Traits::Char> cursor(*program, Traits::RulesFor(field, state), text,
                                             length, state.matchVector);
  for (;;) {
    if (!linePass) {
      bool go;
      if (t <= 0 || firstOnly) {
        go = state.matchCount == 0;
      } else if (field.type == FieldType::StringOutput || field.type == FieldType::RandomString) {
        go = state.outputText.size() < state.outputLimit;
      } else {
        go = true;
      }
      if (!go) break;
    }
    if (timeCheck) {
      if (context.abortSet.Contains(state.requestKey)) {
        state.abortRequested = true;
        break;
      }
      tick = platform::TickCount();
      timeCheck = false;
    }
    if (!FindNextMatch(cursor)) break;
    const std::size_t start = cursor.Start();
    const std::size_t end = cursor.End();
    if (linePass) {
      state.lineEnds->push_back(static_cast<std::int32_t>(end));
      if (state.lineEnds->size() > lineLimit) {
        state.lineEnds->clear();
        state.lineEnds->push_back(-1);
        return;
      }
    } else {
      if (distinct) {
        const std::uint64_t hash = NameHash(text + start, (end - start) * Traits::kUnitSize);
        if (state.distinctMatches->Insert(hash)) ++state.matchCount;
      } else {
        ++state.matchCount;
      }
      if (stringType) Traits::Expand(field, text, length, state, context);
      if (field.type == FieldType::AverageResultLength) {
        state.sum += (end - start) * Traits::kUnitSize;
      } else if (field.type == FieldType::MatchDistanceRatio) {
        const auto s = static_cast<std::int64_t>((state.startOffset + start) * Traits::kUnitSize);
        if (state.previousMatchStart >= 0) {
          state.sum += static_cast<std::uint64_t>(s - state.previousMatchStart);
        }
        state.previousMatchStart = s;
      }
    }
    if (platform::TickCount() - tick > kAbortCheckMs) timeCheck = true;
  }

  if (!linePass && state.lineEnds) {
    const bool leaveOutOne =
        state.startOffset != 0 && state.lineBase == 1 && state.lineEnds->empty();
    state.lineBase += static_cast<std::uint32_t>(state.lineEnds->size()) + (leaveOutOne ? 0 : 1);
    state.lineEnds.reset();
  }
}

}  // namespace

MatchRules RulesFor8(const FieldDefinition& field, bool utf8) {
  MatchRules rules;
  rules.execOptions = static_cast<int>(utf8 ? field.utf8ExecOptions : field.ansiExecOptions);
  rules.utf = utf8;
  rules.crlfIsNewline = field.crlfIsNewline;
  rules.emptyMatchesPassThrough = field.emptyMatchesPassThrough;
  return rules;
}

MatchRules RulesFor16(const FieldDefinition& field) {
  MatchRules rules;
  rules.execOptions = static_cast<int>(field.utf16ExecOptions);
  rules.utf = true;
  rules.crlfIsNewline = field.crlfIsNewline;
  rules.emptyMatchesPassThrough = field.emptyMatchesPassThrough;
  return rules;
}

template <typename Char>
int MatchCursor<Char>::Exec(std::size_t start, int options) {
  return ExecProgram(program_, text_, length_, start, options, vector_);
}

// Past an empty match at p that cannot be extended: a CR LF pair when CR LF
// is a line end, else one whole character.
template <typename Char>
std::size_t MatchCursor<Char>::StepPastEmpty(std::size_t p) const {
  if (p + 1 >= length_) return p + 1;
  if (rules_.crlfIsNewline && text_[p] == Char('\r') && text_[p + 1] == Char('\n')) return p + 2;
  if (!rules_.utf) return p + 1;
  std::size_t q = p + 1;
  if (sizeof(Char) == 2) return IsContinuation(text_[q]) ? q + 1 : q;
  while (q < length_ && IsContinuation(text_[q])) ++q;
  return q;
}

template <typename Char>
bool FindNextMatch(MatchCursor<Char>& c) {
  if (c.finished_) return false;
  const bool passThrough = c.rules_.emptyMatchesPassThrough;
  int* v = c.vector_;
  for (;;) {
    if (c.offset_ > c.length_) break;
    int options = c.rules_.execOptions;
    if (c.validate_) {
      options &= ~kNoUtfCheck;  // the whole text is validated once
      c.validate_ = false;
    }
    int rc = c.Exec(c.offset_, options);
    if (rc < 0) {
      c.status_ = rc;
      c.finished_ = true;
      return false;
    }
    std::size_t next = static_cast<std::size_t>(v[1]);
    if (v[0] == v[1]) {
      const auto p = static_cast<std::size_t>(v[0]);
      if (p == c.length_ && c.length_ > 0 && !passThrough) break;
      const int retry = c.Exec(p, c.rules_.execOptions | PCRE_NOTEMPTY_ATSTART | PCRE_ANCHORED);
      if (retry == PCRE_ERROR_NOMATCH) {
        next = c.StepPastEmpty(p);
        if (!passThrough) {
          c.offset_ = next;
          continue;
        }
        v[0] = v[1] = static_cast<int>(p);
      } else if (retry < 0) {
        c.status_ = retry;
        c.finished_ = true;
        return false;
      } else {
        rc = retry;
        next = static_cast<std::size_t>(v[1]);
      }
    }
    c.status_ = rc;
    c.offset_ = next;
    v[kMatchVectorSize] = static_cast<int>(next);
    return true;
  }
  c.status_ = PCRE_ERROR_NOMATCH;
  c.finished_ = true;
  return false;
}

template class MatchCursor<char>;
template class MatchCursor<char16_t>;
template bool FindNextMatch(MatchCursor<char>&);
template bool FindNextMatch(MatchCursor<char16_t>&);

void MatchBytes(const char* text, std::size_t length, EvaluationState& state,
                const FieldDefinition& field, const EvaluationContext& context) {
  static const char kEmpty[1] = {0};
  MatchLoop<Bytes8>(text != nullptr ? text : kEmpty, length, state, field, context, false);
}

void MatchUnits(const char16_t* text, std::size_t length, EvaluationState& state,
                const FieldDefinition& field, const EvaluationContext& context) {
  static const char16_t kEmpty[1] = {0};
  MatchLoop<Units16>(text != nullptr ? text : kEmpty, length, state, field, context, false);
}

}  // namespace qm::plugin
