// Content comparison.
//
// Divisions: field selection; comparing two matches (same encoding, caseless,
// mixed encodings in slices); one file's side of a comparison (opening, the
// block reader, the next match); the content comparison; the name
// comparison.
//
// Memory: one allocation of budget + 4 bytes holds both files' current
// blocks, budget / 2 bytes each, each followed by a zero unit. The encoding
// sample of a file is the start of its first block (or, for a file no larger
// than the sample, the whole block). Mixed-encoding comparisons convert at
// most one slice of each match at a time.
#include "plugin/compare/compare.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "plugin/content/encoding.h"
#include "plugin/content/file_access.h"
#include "plugin/content/reader.h"
#include "plugin/evaluation/code_page.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/utf_check.h"
#include "plugin/filters/filter_text.h"
#include "plugin/filters/outside_in.h"

namespace qm::plugin {
namespace {

using settings::FieldType;

constexpr std::uint64_t kFallbackBudget = 5242880;
constexpr std::uint32_t kProgressIntervalMs = 500;
constexpr std::size_t kDefaultSliceUnits = 65536;

std::atomic<std::size_t> g_sliceUnits{0};

std::size_t SliceUnits() {
  const std::size_t test = g_sliceUnits.load();
  return test != 0 ? test : kDefaultSliceUnits;
}

// ---------------------------------------------------------------------------
// Comparing two matches
// ---------------------------------------------------------------------------

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
bool IsLeadSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }

// One match text handed out as UTF-16 in slices that never end inside a
// character. UTF-16 text is handed out as it is; byte text is converted
// (invalid sequences become U+FFFD, the converter's replacement rule).
class WideSlices {
 public:
  WideSlices(const CompareText& text, std::uint32_t codePage, std::u16string* buffer)
      : text_(text), codePage_(codePage), buffer_(buffer) {}

  // The next slice; empty once the text is used up.
  std::u16string_view Next() {
    if (done_ >= text_.units) return {};
    const std::size_t remaining = text_.units - done_;
    std::size_t n = std::min(remaining, SliceUnits());
    if (text_.utf16) {
      const auto* units = static_cast<const char16_t*>(text_.text) + done_;
      if (n < remaining && IsLeadSurrogate(units[n - 1])) n = n > 1 ? n - 1 : n + 1;
      done_ += n;
      return std::u16string_view(units, n);
    }
    const char* bytes = static_cast<const char*>(text_.text) + done_;
    if (n < remaining) n = CharacterBoundary(bytes, n, remaining);
    buffer_->clear();
    platform::AppendWide(codePage_, bytes, n, buffer_);
    done_ += n;
    return *buffer_;
  }

 private:
  // Where a slice of about n of the remaining bytes ends (0 < n < remaining):
  // before the character that byte n belongs to, or, when the slice holds
  // less than that one character, after it. Malformed UTF-8 (a run of
  // continuation bytes) is cut anywhere; its bytes are replaced one by one.
  std::size_t CharacterBoundary(const char* bytes, std::size_t n, std::size_t remaining) const {
    if (codePage_ == platform::kCodePageUtf8) {
      std::size_t cut = n;
      for (int back = 0; back < 3 && cut > 0 && IsContinuationByte(bytes[cut]); ++back) --cut;
      if (cut > 0 && !IsContinuationByte(bytes[cut])) return cut;
      cut = n;
      for (int ahead = 0; ahead < 3 && cut < remaining && IsContinuationByte(bytes[cut]); ++ahead) {
        ++cut;
      }
      return cut;
    }
    if (platform::IsMultiByteCodePage(codePage_)) {
      const std::size_t start = platform::PreviousCharStart(codePage_, bytes, n + 1);
      if (start == n) return n;     // byte n begins a character
      if (start > 0) return start;  // byte n ends a double-byte character
      return n + 1;
    }
    return n;
  }

  CompareText text_;
  std::uint32_t codePage_;
  std::u16string* buffer_;
  std::size_t done_ = 0;
};

bool UnitsEqual(std::u16string_view a, std::u16string_view b, bool caseless) {
  if (a.size() != b.size()) return false;
  if (caseless) return platform::CompareCaselessInvariant(a, b) == 0;
  return a == b;
}

// Both texts brought to UTF-16 slice by slice and compared unit by unit.
bool CompareInSlices(const PluginSettings& settings, const FieldDefinition& field,
                     const CompareText& first, const CompareText& second, bool caseless) {
  const auto codePage = [&](const CompareText& t) {
    return CodePageFor(settings, !t.utf8, field.oemCodePage);
  };
  std::u16string buffer1, buffer2;
  WideSlices slices1(first, codePage(first), &buffer1);
  WideSlices slices2(second, codePage(second), &buffer2);
  std::u16string_view a, b;
  for (;;) {
    if (a.empty()) a = slices1.Next();
    if (b.empty()) b = slices2.Next();
    if (a.empty() || b.empty()) return a.empty() && b.empty();
    const std::size_t n = std::min(a.size(), b.size());
    if (!UnitsEqual(a.substr(0, n), b.substr(0, n), caseless)) return false;
    a.remove_prefix(n);
    b.remove_prefix(n);
  }
}

// Caseless equality of two matches of one encoding: UTF-8 as UTF-16, ANSI
// text under the user's locale, UTF-16 under the invariant locale.
bool CompareTextCaseless(const PluginSettings& settings, const FieldDefinition& field,
                         const CompareText& first, const CompareText& second) {
  if (first.utf16) {
    return platform::CompareCaselessInvariant(
               std::u16string_view(static_cast<const char16_t*>(first.text), first.units),
               std::u16string_view(static_cast<const char16_t*>(second.text), second.units)) == 0;
  }
  if (first.utf8) return CompareInSlices(settings, field, first, second, true);
  return platform::CompareCaselessNarrow(
             CodePageFor(settings, true, field.oemCodePage),
             std::string_view(static_cast<const char*>(first.text), first.units),
             std::string_view(static_cast<const char*>(second.text), second.units)) == 0;
}

}  // namespace

bool MatchesEqual(const PluginSettings& settings, const FieldDefinition& field,
                  const CompareText& first, const CompareText& second) {
  const bool mixed = first.utf8 != second.utf8 || first.utf16 != second.utf16;
  const bool ansi = !first.utf8 && !first.utf16;
  if (!mixed && ansi && first.units != second.units) return false;
  const std::size_t bytes1 = first.units * (first.utf16 ? 2 : 1);
  const std::size_t bytes2 = second.units * (second.utf16 ? 2 : 1);
  if (bytes1 == 0 || bytes2 == 0) return bytes1 == 0 && bytes2 == 0;
  if (mixed) return CompareInSlices(settings, field, first, second, field.compareCaseInsensitive);
  if (field.compareCaseInsensitive) return CompareTextCaseless(settings, field, first, second);
  return bytes1 == bytes2 && std::memcmp(first.text, second.text, bytes1) == 0;
}

void SetCompareSliceForTesting(std::size_t units) { g_sliceUnits = units; }

namespace {

// ---------------------------------------------------------------------------
// One file's side of a comparison
// ---------------------------------------------------------------------------
struct Side {
  std::u16string name;  // as used for file calls (long-path form where needed)
  platform::File file;
  EncodingSample sample;
  std::int64_t size = 0;
  std::uint64_t readPosition = 0;  // bytes of the file consumed by blocks so far
  EvaluationState state;
  std::uint32_t bomUnits = 0;      // units of the byte-order mark, skipped in the first block
  bool validateBlocks = false;     // UTF text that only the sample vouched for
  bool notUtf = false;             // a block of it was not valid UTF: read it as ANSI/Binary
  bool sampleSwapped = false;      // the sample (the whole file) is in machine order already

  char* half = nullptr;            // this side's half of the block buffer
  const char* block = nullptr;     // the current block (the half, or the sample)
  std::size_t blockUnits = 0;
  bool firstBlock = true;
  bool sampleUsed = false;

  // The search through the current block: one of the two, by encoding.
  std::optional<MatchCursor<char>> bytes;
  std::optional<MatchCursor<char16_t>> units;

  // Outside In text instead of the file's bytes.
  const OutsideInLibraries* outsideIn = nullptr;
  OutsideInText text;
  bool textOpened = false;
  bool moreText = true;            // more extracted text follows
  std::size_t carryFrom = 0;       // bytes after the last cut, moved to the front next time
  std::size_t carryBytes = 0;

  Side() = default;
  Side(const Side&) = delete;
  Side& operator=(const Side&) = delete;
  ~Side() {
    if (outsideIn != nullptr) outsideIn->CloseText(&text);
  }

  bool Remains() const {
    return outsideIn != nullptr ? moreText : readPosition < static_cast<std::uint64_t>(size);
  }
  std::size_t UnitBytes() const { return state.isUtf16 ? 2 : 1; }
  std::size_t MatchStart() const { return units ? units->Start() : bytes->Start(); }
  std::size_t MatchEnd() const { return units ? units->End() : bytes->End(); }
  CompareText Match() const {
    CompareText t;
    t.text = block + MatchStart() * UnitBytes();
    t.units = MatchEnd() - MatchStart();
    t.utf8 = state.isUtf8 && !state.isUtf16;
    t.utf16 = state.isUtf16;
    return t;
  }
};

// The shared pieces of one comparison.
struct Comparison {
  const FieldDefinition& field;
  CompareProgress* progress;
  std::uint64_t halfBytes = 0;
  std::int64_t progressBytes = 0;  // processed since the last report
  int countingSide = 0;            // progress follows the larger file

  int Report() {
    std::int64_t bytes = progressBytes;
    progressBytes = 0;
    if (bytes > INT_MAX) bytes = INT_MAX;
    if (bytes < INT_MIN) bytes = INT_MIN;
    return progress != nullptr ? progress->Report(static_cast<int>(bytes)) : 0;
  }
};

// Starts the search through the side's block, which begins skip units (the
// byte-order mark) into what was read: the text handed to the matcher starts
// after the mark, as in a value request, so that anchors see the same text
// in a file with a mark and in one without. UTF text that only the sample
// vouched for is validated here, block by block, before any execution
// skips the check: false (with side.notUtf set) when it is not valid.
// Outside In text (state.utfCheckPending) is validated by the first
// execution in every block.
bool StartSearch(const Comparison& c, Side& side, std::size_t skip) {
  skip = std::min(skip, side.blockUnits);
  side.block += skip * side.UnitBytes();
  side.blockUnits -= skip;
  if (side.validateBlocks) {
    const bool valid =
        side.state.isUtf16
            ? IsWellFormedUtf16(reinterpret_cast<const char16_t*>(side.block), side.blockUnits)
            : IsWellFormedUtf8(side.block, side.blockUnits);
    if (!valid) {
      side.notUtf = true;
      return false;
    }
  }
  const FieldDefinition& field = c.field;
  if (side.state.isUtf16) {
    MatchRules rules = RulesFor16(field);
    rules.validateFirst = side.state.utfCheckPending;
    side.units.emplace(*field.utf16Program, rules, reinterpret_cast<const char16_t*>(side.block),
                       side.blockUnits, side.state.matchVector);
  } else {
    const bool utf8 = side.state.isUtf8;
    MatchRules rules = RulesFor8(field, utf8);
    rules.validateFirst = utf8 && side.state.utfCheckPending;
    side.bytes.emplace(utf8 ? *field.utf8Program : *field.ansiProgram, rules, side.block,
                       side.blockUnits, side.state.matchVector);
  }
  return true;
}

// Reads the side's next block into its half of the buffer, cut after its
// last line end as the chunked reader cuts (the rest is read again with the
// next block). False on a failed read or seek.
bool ReadCompareBlock(Comparison& c, Side& side, int index) {
  const bool utf16 = side.state.isUtf16;
  const std::size_t unitBytes = side.UnitBytes();
  const auto total = static_cast<std::uint64_t>(side.size);
  const std::uint32_t start = side.firstBlock ? side.bomUnits : 0;
  side.firstBlock = false;
  const bool counted = index == c.countingSide;

  if (total <= side.sample.length) {
    // The sample is the whole file, and so its only block.
    static char empty[2] = {0, 0};
    char* bytes = side.sample.bytes ? side.sample.bytes.get() : empty;
    const std::size_t n = static_cast<std::size_t>(total);
    if (utf16 && ContentNeedsSwap(side.state) && !side.sampleSwapped) {
      SwapUnitsInPlace(bytes, n / 2);
      side.sampleSwapped = true;
    }
    side.block = bytes;
    side.blockUnits = n / unitBytes;
    side.readPosition = total;
    side.sampleUsed = true;
    if (counted) c.progressBytes += static_cast<std::int64_t>(total);
    return StartSearch(c, side, start);
  }

  const std::uint64_t left = total - side.readPosition;
  const std::uint64_t length = std::min(c.halfBytes, left);
  const auto n = static_cast<std::size_t>(length);
  std::size_t filled = 0;
  if (!side.sampleUsed) {
    side.sampleUsed = true;
    if (side.sample.length <= n) {
      if (side.sample.length != 0) std::memcpy(side.half, side.sample.bytes.get(), side.sample.length);
      filled = side.sample.length;
    } else if (!side.file.SeekRelative(-static_cast<std::int64_t>(side.sample.length))) {
      return false;
    }
    side.sample.bytes.reset();
    side.sample.length = 0;
  }
  if (!side.file.ReadExact(side.half + filled, n - filled)) return false;
  side.half[n / unitBytes * unitBytes] = 0;
  side.half[n / unitBytes * unitBytes + 1] = 0;
  if (utf16 && ContentNeedsSwap(side.state)) SwapUnitsInPlace(side.half, n / 2);
  side.block = side.half;

  const std::size_t units = n / unitBytes;
  const bool last = side.readPosition + length == total;
  ChunkCut cut;
  if (length == c.halfBytes) cut = FindChunkCut(side.half, units, utf16, side.state.isUtf8 && !utf16);
  std::int64_t processed = static_cast<std::int64_t>(length);
  if (cut.end == 0 || (last && cut.lineEnd == 0)) {
    side.blockUnits = units;
    side.readPosition += length;
  } else {
    side.readPosition += cut.end * unitBytes;
    side.blockUnits = side.readPosition == total ? cut.end : cut.end - cut.lineEnd;
    const std::uint64_t reread = (units - cut.end) * unitBytes;
    if (reread != 0 && !side.file.SeekRelative(-static_cast<std::int64_t>(reread))) return false;
    processed -= static_cast<std::int64_t>(reread);
  }
  if (counted) c.progressBytes += processed;
  return StartSearch(c, side, start);
}

// The side's next match in its block: 1 found, 0 none left in the block,
// -1 an expression error.
// Reads the side's next block of Outside In text into its half of the
// buffer: the text after the previous cut first, then 32 KiB pieces while a
// whole piece still fits. A block that fills the half is cut after its last
// line end, which belongs to neither block; the last block is all that is
// left. False when the document or its text cannot be opened or a read
// fails (everything of the side is closed then).
bool ReadCompareTextBlock(Comparison& c, Side& side) {
  std::size_t filled = 0;
  if (side.carryBytes != 0) {
    std::memmove(side.half, side.half + side.carryFrom, side.carryBytes);
    filled = side.carryBytes;
    side.carryBytes = 0;
  }
  if (!side.textOpened) {
    side.textOpened = true;
    if (!side.outsideIn->OpenText(side.name, &side.text)) return false;
  }
  const auto half = static_cast<std::size_t>(c.halfBytes);
  bool full = false;
  while (side.moreText) {
    if (half - filled < oit::kReadBufferBytes) {
      full = true;
      break;
    }
    std::uint32_t count = 0;
    const std::int32_t r = side.outsideIn->ReadText(&side.text, side.half + filled, &count);
    if (r != oit::kSuccess && r != oit::kEndOfText) return false;
    filled += count;
    if (r == oit::kEndOfText) side.moreText = false;
  }
  std::size_t units = filled / 2;
  if (full) {
    const ChunkCut cut = FindChunkCut(side.half, units, true, false);
    if (cut.end != 0) {
      side.carryFrom = cut.end * 2;
      side.carryBytes = filled - side.carryFrom;
      units = cut.end - cut.lineEnd;
    } else {
      side.carryFrom = units * 2;
      side.carryBytes = filled - side.carryFrom;  // an odd byte waits for its partner
    }
  }
  side.half[units * 2] = 0;
  side.half[units * 2 + 1] = 0;
  side.block = side.half;
  side.blockUnits = units;
  return StartSearch(c, side, 0);
}

// The side's next block, from the file or from its Outside In text.
bool ReadNextBlock(Comparison& c, Side& side, int index) {
  return side.outsideIn != nullptr ? ReadCompareTextBlock(c, side) : ReadCompareBlock(c, side, index);
}

template <typename Char>
int NextMatchOf(MatchCursor<Char>& cursor) {
  if (FindNextMatch(cursor)) return 1;
  const int status = cursor.Status();
  return status < 0 && status != PCRE_ERROR_NOMATCH ? -1 : 0;
}

int NextMatch(Side& side) { return side.units ? NextMatchOf(*side.units) : NextMatchOf(*side.bytes); }

// The side's current match is found again by its next search.
void SearchAgain(Side& side) {
  if (side.units) {
    side.units->SearchFrom(side.units->Start());
  } else {
    side.bytes->SearchFrom(side.bytes->Start());
  }
}

// True when the field has a compiled program for the side's text.
bool HasProgram(const FieldDefinition& field, const EvaluationState& state) {
  if (state.isUtf16) return field.utf16Program && field.utf16Program->code != nullptr;
  const auto& program = state.isUtf8 ? field.utf8Program : field.ansiProgram;
  return program && program->code != nullptr;
}

bool OpenSide(Side& side) {
  platform::FileName access;
  access.wide = side.name.c_str();
  side.file = platform::OpenFile(access, platform::OpenMode::kReadShared);
  return side.file.IsOpen();
}

// A side whose text turned out not to be valid UTF is read as the encoding
// decision would have read it had its sample held the fault: ANSI/Binary
// bytes from the first byte of the file, a byte order mark included.
void TreatSideAsAnsi(Side& side) {
  side.state.isUtf8 = false;
  side.state.isUtf16 = false;
  side.state.bigEndian = false;
  side.state.validUtf8Length = 0;
  side.bomUnits = 0;
  side.validateBlocks = false;
  side.notUtf = false;
}

// Puts a file side back before its first block, so that a comparison can
// start over. The file is where its last block ended (its read position);
// the sample, already consumed, is read again from the file. A side whose
// only block is its sample keeps it. False when the seek fails.
bool RewindSide(Side& side) {
  side.bytes.reset();
  side.units.reset();
  side.firstBlock = true;
  if (static_cast<std::uint64_t>(side.size) <= side.sample.length) return true;
  const std::uint64_t position = side.sampleUsed ? side.readPosition : side.sample.length;
  if (position != 0 && !side.file.SeekRelative(-static_cast<std::int64_t>(position))) return false;
  side.sample.bytes.reset();
  side.sample.length = 0;
  side.sampleUsed = true;
  side.readPosition = 0;
  return true;
}

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
    if (side.outsideIn != nullptr || !side.validateBlocks) continue;
    while (side.Remains()) {
      if (!ReadCompareBlock(c, side, i)) return side.notUtf ? kStartOver : kCompareNotComparable;
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
int CompareContents(const DocumentSources& sources, const FieldDefinition& field,
                    CompareProgress* progress, const char16_t* name1, const char16_t* name2) {
  const PluginSettings& settings = sources.settings;
  Side sides[2];
  sides[0].name = MakeLongPath(name1);
  sides[1].name = MakeLongPath(name2);

  // Existence and sizes.
  for (Side& side : sides) {
    platform::FileName access;
    access.wide = side.name.c_str();
    if (!FileExists(access)) return kCompareNotComparable;
  }
  for (Side& side : sides) {
    platform::FileName access;
    access.wide = side.name.c_str();
    side.size = QueryFileSize(access);
    if (side.size < 0 || static_cast<std::uint64_t>(side.size) > settings.globalFileSizeLimit) {
      return kCompareNotComparable;
    }
  }

  // Documents of a kind-1 filter are compared by their Outside In text
  // (the converter program is never used for comparing).
  const FilterChoice* filter =
      field.filterEnabled ? FindFilterForName(sources.filters, sides[0].name) : nullptr;
  const bool outsideIn = filter != nullptr && filter->kind == settings::FilterKind::OutsideIn &&
                         sources.LoadedOutsideIn() != nullptr;

  // Open both, then decide both encodings (the first file first).
  if (!outsideIn && (!OpenSide(sides[0]) || !OpenSide(sides[1]))) return kCompareCannotOpen;
  bool sampled = true;
  for (Side& side : sides) {
    if (outsideIn) {
      // Extracted text is UTF-16 that nothing has validated yet.
      side.outsideIn = sources.outsideIn;
      side.state.isUtf16 = true;
      side.state.utfCheckPending = true;
      continue;
    }
    std::uint32_t bomLength = 0;
    if (!ReadEncodingSample(side.size, &bomLength, side.file, side.state, &side.sample, settings)) {
      sampled = false;
      break;
    }
    side.bomUnits = side.state.isUtf16 && bomLength == 2 ? 1 : bomLength;
    side.validateBlocks = (side.state.isUtf8 || side.state.isUtf16) &&
                          static_cast<std::uint64_t>(side.size) > settings.analyzeBuffer;
  }
  if (!sampled) {
    const EvaluationState& a = sides[0].state;
    const EvaluationState& b = sides[1].state;
    const bool same = a.isUtf8 == b.isUtf8 && a.isUtf16 == b.isUtf16 && a.bigEndian == b.bigEndian;
    return same ? kCompareCannotOpen : kCompareNotComparable;
  }

  if (!HasProgram(field, sides[0].state) || !HasProgram(field, sides[1].state)) {
    return kCompareNotComparable;
  }

  Comparison c{field, progress};
  c.countingSide = sides[1].size > sides[0].size ? 1 : 0;
  c.Report();  // the first report announces the comparison; its answer is not examined

  // The block buffer: budget + 4 bytes, two halves each with a zero unit.
  std::uint64_t budget = std::uint64_t{ReadBudgetMegabytes(settings)} * settings::kMegabyte;
  std::unique_ptr<char[]> blocks = AllocateContentBuffer(static_cast<std::size_t>(budget + 4));
  if (!blocks && budget > kFallbackBudget) {
    budget = kFallbackBudget;
    blocks = AllocateContentBuffer(static_cast<std::size_t>(budget + 4));
  }
  if (!blocks) return kCompareNotComparable;
  c.halfBytes = budget / 2;
  sides[0].half = blocks.get();
  sides[1].half = blocks.get() + c.halfBytes + 2;

  // A side found not to be UTF after all starts both sides over, once for
  // each side at most (an ANSI side is never validated again). Both files
  // and any Outside In handles close, and the buffers are freed, as the
  // sides go.
  for (;;) {
    const int result = ComparePass(settings, c, sides, outsideIn);
    if (result != kStartOver) return result;
    for (Side& side : sides) {
      if (side.notUtf) TreatSideAsAnsi(side);
      if (!RewindSide(side)) return kCompareNotComparable;
    }
    if (!HasProgram(field, sides[0].state) || !HasProgram(field, sides[1].state)) {
      return kCompareNotComparable;
    }
  }
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
