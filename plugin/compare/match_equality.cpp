// Whether two matches of a comparison are equal.
//
// Divisions: slices of a match as UTF-16; equality in one encoding
// (byte-identical or caseless); equality across encodings, slice by slice.
//
// Mixed-encoding comparisons convert at most one slice of each match at a
// time, so a match of any length is compared in bounded memory.
#include "plugin/compare/match_equality.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "plugin/evaluation/code_page.h"

namespace qm::plugin {
namespace {

constexpr std::size_t kDefaultSliceUnits = 65536;

std::atomic<std::size_t> g_sliceUnits{0};

std::size_t SliceUnits() {
  const std::size_t test = g_sliceUnits.load();
  return test != 0 ? test : kDefaultSliceUnits;
}

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

}  // namespace qm::plugin
