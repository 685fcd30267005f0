// Content comparison.
//
// Divisions: the comparison loop; the content comparison
// (its steps: existence and sizes, opening and sampling, the blocks, the
// passes); the name comparison. Comparing two matches is in
// match_equality.cpp, reading a side's blocks in compare_side.cpp.
//
// Memory: both files' current blocks take one read budget, budget / 2 bytes
// each. Mixed-encoding comparisons convert at most one slice of each match
// at a time.
#include "plugin/compare/compare.h"

#include <climits>
#include <optional>
#include <string>

#include "plugin/compare/compare_side.h"
#include "plugin/content/encoding.h"
#include "plugin/content/file_access.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/filters/filter_text.h"
#include "plugin/filters/outside_in.h"

namespace qm::plugin {
namespace {

constexpr std::uint64_t kFallbackBudget = 5242880;
constexpr std::uint32_t kProgressIntervalMs = 500;

// ---------------------------------------------------------------------------
// The comparison loop
// ---------------------------------------------------------------------------
// Result of one pass over both files; kStartOver: a side was found not to
// be UTF text and must be read as ANSI/Binary from the start.
constexpr int kStartOver = INT_MIN;

// A pass that ends before both files are used up (a difference, unequal
// numbers of matches, an expression error) may leave text of a side that
// only its sample vouched for as UTF unread. The answer holds only if that
// text is valid UTF too: should it not be, the side compares as its ANSI
// form, whose matches may compare otherwise. The rest of such a side is
// read block by block and checked, not matched. Answers kStartOver when a
// side turns out not to be UTF, kCompareStopped when the host asks to stop,
// kCompareNotComparable when a read fails, else `answer`.
int CheckUnreadText(Comparison& c, Side* sides, int answer) {
  std::uint32_t lastReport = platform::TickCount();
  for (int i = 0; i < 2; ++i) {
    Side& side = sides[i];
    if (side.outsideIn || !side.validateBlocks) continue;
    while (side.Remains()) {
      if (!ReadNextBlock(c, side, i)) return side.notUtf ? kStartOver : kCompareNotComparable;
      if (platform::TickCount() - lastReport > kProgressIntervalMs) {
        lastReport = platform::TickCount();
        if (c.Report() != 0) return kCompareStopped;
      }
    }
  }
  return answer;
}

// Compares the two sides block by block from their first blocks.
int ComparePass(const PluginSettings& settings, Comparison& c, Side* sides, bool outsideIn) {
  const FieldDefinition& field = c.field;
  for (int i = 0; i < 2; ++i) {
    if (!ReadNextBlock(c, sides[i], i)) return sides[i].notUtf ? kStartOver : kCompareNotComparable;
    // Extracting a document can take long: the host may stop between the two.
    if (outsideIn && i == 0 && c.Report() != 0) return kCompareStopped;
  }

  bool equal = true, error = false, stopped = false;
  bool readFailed = false;  // a block read failed: nothing more is read
  std::uint64_t equalPairs = 0;
  std::uint32_t lastReport = 0;
  bool firstPass = true;
  for (;;) {
    if (firstPass || platform::TickCount() - lastReport > kProgressIntervalMs) {
      firstPass = false;
      lastReport = platform::TickCount();
      if (c.Report() != 0) {
        stopped = true;
        break;
      }
    }
    const int r0 = NextMatch(sides[0]);
    const int r1 = NextMatch(sides[1]);
    if (r0 < 0 || r1 < 0) {
      error = true;
      break;
    }
    if (r0 == 1 && r1 == 1) {
      if (!MatchesEqual(settings, field, sides[0].Match(), sides[1].Match())) {
        equal = false;
        break;
      }
      ++equalPairs;
      continue;
    }
    if (r0 == 0 && r1 == 0) {
      // Neither block holds another match: go on with what remains.
      if (!sides[0].Remains() && !sides[1].Remains()) break;
      for (int i = 0; i < 2 && !error; ++i) {
        if (sides[i].Remains() && !ReadNextBlock(c, sides[i], i)) error = readFailed = true;
      }
      if (error) break;
      continue;
    }
    // One side ran out of its block while the other found a match: the
    // exhausted side reads on, and the other finds its match again.
    const int out = r0 == 0 ? 0 : 1;
    Side& found = sides[1 - out];
    if (!sides[out].Remains()) {
      error = true;  // unequal numbers of matches
      break;
    }
    if (!ReadNextBlock(c, sides[out], out)) {
      error = readFailed = true;
      break;
    }
    SearchAgain(found);
  }
  if (sides[0].notUtf || sides[1].notUtf) return kStartOver;
  if (stopped) return kCompareStopped;
  if (readFailed) return kCompareNotComparable;
  if (error) return CheckUnreadText(c, sides, kCompareNotComparable);
  if (!equal) return CheckUnreadText(c, sides, kCompareDifferent);
  // Both files were used up: every block of them was checked.
  return equalPairs != 0 ? kCompareEqual : kCompareNotComparable;
}

// ---------------------------------------------------------------------------
// The content comparison
// ---------------------------------------------------------------------------

// Both names denote existing files whose sizes are known and within the
// size limit: 0, else kCompareNotComparable.
int CheckFiles(const PluginSettings& settings, Side* sides) {
  for (int i = 0; i < 2; ++i) {
    platform::FileName access;
    access.wide = sides[i].name.c_str();
    if (!FileExists(access)) return kCompareNotComparable;
  }
  for (int i = 0; i < 2; ++i) {
    platform::FileName access;
    access.wide = sides[i].name.c_str();
    sides[i].size = QueryFileSize(access);
    if (sides[i].size < 0 ||
        static_cast<std::uint64_t>(sides[i].size) > settings.globalFileSizeLimit) {
      return kCompareNotComparable;
    }
  }
  return 0;
}

// Documents of an Outside In filter are compared by their extracted text
// (the converter program is never used for comparing).
bool ComparesOutsideInText(const DocumentSources& sources, const FieldDefinition& field,
                           const std::u16string& name) {
  const FilterChoice* filter =
      field.filterEnabled ? FindFilterForName(sources.filters, name) : nullptr;
  return filter != nullptr && filter->kind == settings::FilterKind::OutsideIn &&
         sources.LoadedOutsideIn() != nullptr;
}

// Opens both files, then decides both encodings (the first file first);
// extracted text is UTF-16 that nothing has validated yet. 0, or the
// comparison's answer when a file cannot be opened or sampled.
int OpenAndSample(const PluginSettings& settings, Side* sides, bool outsideIn) {
  if (outsideIn) {
    for (int i = 0; i < 2; ++i) {
      sides[i].outsideIn = true;
      sides[i].state.isUtf16 = true;
      sides[i].state.utfCheckPending = true;
    }
    return 0;
  }
  if (!OpenSide(sides[0]) || !OpenSide(sides[1])) return kCompareCannotOpen;
  for (int i = 0; i < 2; ++i) {
    Side& side = sides[i];
    std::uint32_t bomLength = 0;
    if (!ReadEncodingSample(side.size, &bomLength, side.file, side.state, &side.sample, settings)) {
      const EvaluationState& a = sides[0].state;
      const EvaluationState& b = sides[1].state;
      const bool same = a.isUtf8 == b.isUtf8 && a.isUtf16 == b.isUtf16 && a.bigEndian == b.bigEndian;
      return same ? kCompareCannotOpen : kCompareNotComparable;
    }
    side.bomUnits = side.state.isUtf16 && bomLength == 2 ? 1 : bomLength;
    side.validateBlocks = (side.state.isUtf8 || side.state.isUtf16) &&
                          static_cast<std::uint64_t>(side.size) > settings.analyzeBuffer;
  }
  return 0;
}

// Each side's reader, with blocks of half the budget; when either cannot be
// had and the budget is above 5 MiB, both try half of 5 MiB. False when the
// blocks cannot be had.
bool StartBothReaders(const DocumentSources& sources, Comparison& c, Side* sides) {
  const std::uint64_t budget =
      std::uint64_t{ReadBudgetMegabytes(sources.settings)} * settings::kMegabyte;
  const OutsideInLibraries* outsideIn = sources.LoadedOutsideIn();
  c.halfBytes = budget / 2;
  const bool first = StartReading(c, outsideIn, sides[0]);
  if (first && StartReading(c, outsideIn, sides[1])) return true;
  if (budget <= kFallbackBudget) return false;
  c.halfBytes = kFallbackBudget / 2;
  return StartReading(c, outsideIn, sides[0]) && StartReading(c, outsideIn, sides[1]);
}

// Compares pass by pass: a side found not to be UTF after all starts both
// sides over, once for each side at most (an ANSI side is never validated
// again).
int CompareInPasses(const PluginSettings& settings, Comparison& c, Side* sides, bool outsideIn) {
  for (;;) {
    const int result = ComparePass(settings, c, sides, outsideIn);
    if (result != kStartOver) return result;
    for (int i = 0; i < 2; ++i) {
      if (sides[i].notUtf) TreatSideAsAnsi(sides[i]);
      if (!RewindSide(sides[i])) return kCompareNotComparable;
    }
    if (!HasProgram(c.field, sides[0].state) || !HasProgram(c.field, sides[1].state)) {
      return kCompareNotComparable;
    }
  }
}

// Both files and any Outside In handles close, and the blocks go back to
// the pool, as the sides go.
int CompareContents(const DocumentSources& sources, const FieldDefinition& field,
                    CompareProgress* progress, const char16_t* name1, const char16_t* name2) {
  const PluginSettings& settings = sources.settings;
  Side sides[2];
  sides[0].name = MakeLongPath(name1);
  sides[1].name = MakeLongPath(name2);
  if (const int answer = CheckFiles(settings, sides); answer != 0) return answer;
  const bool outsideIn = ComparesOutsideInText(sources, field, sides[0].name);
  if (const int answer = OpenAndSample(settings, sides, outsideIn); answer != 0) return answer;
  if (!HasProgram(field, sides[0].state) || !HasProgram(field, sides[1].state)) {
    return kCompareNotComparable;
  }

  Comparison c{field, progress};
  c.countingSide = sides[1].size > sides[0].size ? 1 : 0;
  c.Report();  // the first report announces the comparison; its answer is not examined
  if (!StartBothReaders(sources, c, sides)) return kCompareNotComparable;
  return CompareInPasses(settings, c, sides, outsideIn);
}

// ---------------------------------------------------------------------------
// The name comparison
// ---------------------------------------------------------------------------
int CompareNames(const FieldDefinition& field, const char16_t* name1, const char16_t* name2) {
  std::u16string parts[2];
  if (!NamePart(std::u16string(name1), &parts[0]) || !NamePart(std::u16string(name2), &parts[1])) {
    return kCompareCannotOpen;
  }
  if (!field.utf16Program || field.utf16Program->code == nullptr) return kCompareNotComparable;
  int vectors[2][kMatchVectorSize + 1] = {};
  std::optional<MatchCursor<char16_t>> cursors[2];
  for (int i = 0; i < 2; ++i) {
    cursors[i].emplace(*field.utf16Program, RulesFor16(field), parts[i].data(), parts[i].size(),
                       vectors[i]);
  }
  std::uint64_t equalPairs = 0;
  for (;;) {
    const int r0 = NextMatchOf(*cursors[0]);
    const int r1 = NextMatchOf(*cursors[1]);
    if (r0 < 0 || r1 < 0 || r0 != r1) return kCompareNotComparable;
    if (r0 == 0) return equalPairs != 0 ? kCompareEqual : kCompareNotComparable;
    const std::u16string_view a(parts[0].data() + cursors[0]->Start(),
                                cursors[0]->End() - cursors[0]->Start());
    const std::u16string_view b(parts[1].data() + cursors[1]->Start(),
                                cursors[1]->End() - cursors[1]->Start());
    if (a.size() != b.size()) return kCompareDifferent;
    const bool same =
        field.compareCaseInsensitive ? platform::CompareCaselessInvariant(a, b) == 0 : a == b;
    if (!same) return kCompareDifferent;
    ++equalPairs;
  }
}

}  // namespace

int CompareFiles(const DocumentSources& sources, const FieldDefinition* field,
                 CompareProgress* progress, const char16_t* name1, const char16_t* name2) {
  if (field == nullptr) return kCompareNotComparable;
  if (field->filenameOnly) {
    if (name1 == nullptr || name2 == nullptr || *name1 == 0 || *name2 == 0) return kCompareCannotOpen;
    return CompareNames(*field, name1, name2);
  }
  if (name1 == nullptr || name2 == nullptr || *name1 == 0 || *name2 == 0) {
    return kCompareNotComparable;
  }
  return CompareContents(sources, *field, progress, name1, name2);
}

}  // namespace qm::plugin
