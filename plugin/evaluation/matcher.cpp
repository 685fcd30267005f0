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
  static int OptionsFor(const FieldDefinition& field, const EvaluationState& state) {
    return static_cast<int>(state.isUtf8 ? field.utf8ExecOptions : field.ansiExecOptions);
  }
  static bool ValidatesOnFirstCall(const EvaluationState& state) { return state.isUtf8; }

  static int Exec(const Program8& program, const char* text, std::size_t length, int start,
                  int options, int* vector) {
    pcre_extra extra{};
    if (program.study != nullptr) extra = *program.study;
    extra.flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    extra.match_limit_recursion = RecursionLimit();
    return pcre_exec(program.code, &extra, text, static_cast<int>(length), start, options, vector,
                     kMatchVectorSize);
  }

  // Past an empty match at p that cannot be extended.
  static std::size_t Advance(const char* text, std::size_t length, std::size_t p,
                             const FieldDefinition& field, const EvaluationState& state) {
    if (field.crlfIsNewline && p + 1 < length && text[p] == '\r' && text[p + 1] == '\n') return p + 2;
    if (state.isUtf8 && p + 1 < length) {
      std::size_t q = p + 1;
      while (q < length && (static_cast<unsigned char>(text[q]) & 0xC0) == 0x80) ++q;
      return q;
    }
    return p + 1;
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
  static int OptionsFor(const FieldDefinition& field, const EvaluationState&) {
    return static_cast<int>(field.utf16ExecOptions);
  }
  static bool ValidatesOnFirstCall(const EvaluationState&) { return true; }

  static int Exec(const Program16& program, const char16_t* text, std::size_t length, int start,
                  int options, int* vector) {
    pcre16_extra extra{};
    if (program.study != nullptr) extra = *program.study;
    extra.flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    extra.match_limit_recursion = RecursionLimit();
    return pcre16_exec(program.code, &extra, reinterpret_cast<PCRE_SPTR16>(text),
                       static_cast<int>(length), start, options, vector, kMatchVectorSize);
  }

  static std::size_t Advance(const char16_t* text, std::size_t length, std::size_t p,
                             const FieldDefinition& field, const EvaluationState&) {
    if (p + 1 < length) {
      if (field.crlfIsNewline && text[p] == u'\r' && text[p + 1] == u'\n') return p + 2;
      if (text[p + 1] >= 0xDC00 && text[p + 1] <= 0xDFFF) return p + 2;
    }
    return p + 1;
  }

  static void Expand(const FieldDefinition& field, const char16_t* text, std::size_t length,
                     EvaluationState& state, const EvaluationContext&) {
    ExpandReplaceTemplate(field, text, length, state);
  }
};

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
  const bool passThrough = field.emptyMatchesPassThrough;

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

  int* vector = state.matchVector;
  const int baseOptions = Traits::OptionsFor(field, state);
  bool validate = state.utfCheckPending && Traits::ValidatesOnFirstCall(state);
  bool timeCheck = false;
  bool emptyTextRoundUsed = false;
  std::size_t offset = 0;
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
    if (offset > length) break;

    int options = baseOptions;
    if (validate) {
      options &= ~kNoUtfCheck;  // the whole text is validated once
      validate = false;
    }
    int rc = Traits::Exec(*program, text, length, static_cast<int>(offset), options, vector);
    std::size_t next = rc >= 0 ? static_cast<std::size_t>(vector[1]) : offset;
    if (rc >= 0 && vector[0] == vector[1]) {
      const auto p = static_cast<std::size_t>(vector[0]);
      if (p == length && length > 0 && !passThrough) break;
      const int retry = Traits::Exec(*program, text, length, static_cast<int>(p),
                                     baseOptions | PCRE_NOTEMPTY_ATSTART | PCRE_ANCHORED,
                                     vector);
      if (retry == PCRE_ERROR_NOMATCH) {
        next = Traits::Advance(text, length, p, field, state);
        if (!passThrough) {
          offset = next;
          continue;
        }
        vector[0] = vector[1] = static_cast<int>(p);
      } else {
        rc = retry;
        if (rc >= 0) next = static_cast<std::size_t>(vector[1]);
      }
    }
    const bool empty = rc >= 0 && vector[0] == vector[1];
    if (empty && static_cast<std::size_t>(vector[0]) == length && !passThrough) {
      if (length != 0 || emptyTextRoundUsed) break;
      emptyTextRoundUsed = true;
    }
    if (rc >= 0 && (!empty || passThrough)) {
      const auto start = static_cast<std::size_t>(vector[0]);
      const auto end = static_cast<std::size_t>(vector[1]);
      if (linePass) {
        state.lineEnds->push_back(vector[1]);
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
    }
    if (platform::TickCount() - tick > kAbortCheckMs) timeCheck = true;
    if (rc < 0) break;
    offset = next;
    vector[kMatchVectorSize] = static_cast<int>(next);
  }

  if (!linePass && state.lineEnds) {
    const bool leaveOutOne =
        state.startOffset != 0 && state.lineBase == 1 && state.lineEnds->empty();
    state.lineBase += static_cast<std::uint32_t>(state.lineEnds->size()) + (leaveOutOne ? 0 : 1);
    state.lineEnds.reset();
  }
}

}  // namespace

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
