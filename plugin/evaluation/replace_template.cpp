// Replace templates: compilation into ops and literal pieces, and expansion.
//
// Divisions: the compiler (one left-to-right scan with a pending-literal
// accumulator); number and name helpers; the group cut per text form; the
// shared op walk used by the 8-bit and the 16-bit expansion.
#include "plugin/evaluation/replace_template.h"

#include <algorithm>

#include "platform/platform.h"
#include "plugin/evaluation/code_page.h"

namespace qm::plugin {

namespace {

// ---------------------------------------------------------------------------
// Compiler
// ---------------------------------------------------------------------------
int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The op of a named reference "\x" + letter + digit/letter, or -1.
// lineReference tells whether it is a line reference.
TemplateOp NamedReferenceOp(char16_t letter, char16_t arg, bool* lineReference) {
  *lineReference = false;
  if (letter == u'N') {
    if (arg == u'N') return template_op::kFullFileName;
    if (arg == u'n') return template_op::kFileName;
    return -1;
  }
  if (!IsDigit(arg)) return -1;
  const int d = arg - u'0';
  switch (letter) {
    case u'M': return template_op::kResultFrom0 + d;
    case u'm': return template_op::kResultFrom1 + d;
    case u'O': return template_op::kHexOffsetAuto + d;
    case u'o': return template_op::kDecOffsetAuto + d;
    case u'L': *lineReference = true; return template_op::kLineStart + d;
    case u'l': *lineReference = true; return template_op::kLineEnd + d;
    default: return -1;
  }
}

class TemplateCompiler {
 public:
  explicit TemplateCompiler(FieldDefinition& field) : field_(field) {}

  void Run(std::u16string_view t) {
    const std::size_t n = t.size();
    std::size_t p = 0;
    while (p < n) {
      const char16_t c = t[p];
      if (c == u'\\' && p + 3 < n && (t[p + 1] == u'x' || t[p + 1] == u'X')) {
        TemplateOp op = -1;
        bool lineReference = false;
        const int high = HexValue(t[p + 2]);
        const int low = HexValue(t[p + 3]);
        if (high >= 0 && low >= 0) {
          op = high * 16 + low;
        } else {
          op = NamedReferenceOp(t[p + 2], t[p + 3], &lineReference);
        }
        if (op >= 0) {
          if (CaretEscaped()) {
            // "^\x.." is the literal "\x..": the caret becomes the backslash
            // and the rest is scanned as ordinary text.
            pending_.back() = u'\\';
            p += 1;
            continue;
          }
          Append(op);
          if (lineReference) field_.templateUsesLineNumbers = true;
          p += 4;
          continue;
        }
        // Not a reference: the backslash is an ordinary character.
      } else if (c == u'$' && p + 1 < n && IsDigit(t[p + 1])) {
        if (CaretEscaped()) {
          pending_.back() = u'$';  // "^$1" is the literal "$1"
          p += 1;
          continue;
        }
        int group = t[p + 1] - u'0';
        if (p + 2 < n && IsDigit(t[p + 2])) {
          group = group * 10 + (t[p + 2] - u'0');
          p += 3;
        } else if (p + 3 < n && t[p + 2] == u'^' && IsDigit(t[p + 3])) {
          p += 3;  // "$1^8": the caret separates group 1 from a literal digit
        } else {
          p += 2;
        }
        Append(~group);
        continue;
      }
      pending_.push_back(c);
      ++p;
    }
    Flush();
  }

 private:
  bool CaretEscaped() const { return !pending_.empty() && pending_.back() == u'^'; }

  void Flush() {
    if (pending_.empty()) return;
    field_.literalPieces.push_back(pending_);
    field_.templateOps.push_back(template_op::kLiteral);
    pending_.clear();
  }

  void Append(TemplateOp op) {
    Flush();
    field_.templateOps.push_back(op);
  }

  FieldDefinition& field_;
  std::u16string pending_;  // literal text not yet flushed into a piece
};

// ---------------------------------------------------------------------------
// Numbers and names
// ---------------------------------------------------------------------------
// Appends v in the base (10 or 16, uppercase), left-padded with zeros to
// at least minDigits.
void AppendNumber(std::u16string& out, std::uint64_t v, unsigned base, unsigned minDigits) {
  char16_t digits[24];
  unsigned count = 0;
  do {
    const unsigned d = static_cast<unsigned>(v % base);
    digits[count++] = static_cast<char16_t>(d < 10 ? u'0' + d : u'A' + d - 10);
    v /= base;
  } while (v != 0);
  for (unsigned i = count; i < minDigits; ++i) out.push_back(u'0');
  while (count > 0) out.push_back(digits[--count]);
}

// The name after its last separator.
std::u16string_view BareName(const std::u16string& name) {
  const std::size_t cut = name.find_last_of(platform::kPathSeparators);
  return cut == std::u16string::npos ? std::u16string_view(name)
                                     : std::u16string_view(name).substr(cut + 1);
}

// The 1-based line of a position in the current text, from the line ends
// found so far (entries at or before the position count).
std::uint64_t LineNumberAt(const EvaluationState& state, std::int64_t position) {
  const std::vector<std::int32_t>& ends = *state.lineEnds;
  const auto n = static_cast<std::uint64_t>(
      std::upper_bound(ends.begin(), ends.end(), position,
                       [](std::int64_t pos, std::int32_t end) { return pos < end; }) -
      ends.begin());
  std::uint64_t base = 1;
  if (state.startOffset != 0 && state.lineBase == 1) base = ends.empty() ? 0 : 1;
  return state.lineBase + base + n;
}

// ---------------------------------------------------------------------------
// Group cut per text form
// ---------------------------------------------------------------------------
// Each returns how many of the group's `length` units to keep when at most
// `limit` may be kept, never splitting a character.
std::size_t CutUtf16(const char16_t* text, std::size_t length, std::size_t limit) {
  if (length <= limit) return length;
  std::size_t keep = limit;
  if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
  return keep;
}

std::size_t CutUtf8(const char* text, std::size_t length, std::size_t limit) {
  if (length <= limit) return length;
  std::size_t keep = limit;
  if (keep == 0) return 0;
  const auto last = static_cast<unsigned char>(text[keep - 1]);
  const auto next = static_cast<unsigned char>(text[keep]);
  if (last >= 0xC0) {
    --keep;  // a lead byte whose continuation was cut off
  } else if (last >= 0x80 && (next & 0xC0) == 0x80) {
    keep = platform::PreviousCharStart(platform::kCodePageUtf8, text, keep);
  }
  return keep;
}

// text is taken to start on a character boundary (a group start). When the
// character holding the first byte left out starts before the cut, that
// character is left out whole.
std::size_t CutMultiByte(std::uint32_t codePage, const char* text, std::size_t length,
                         std::size_t limit) {
  if (length <= limit) return length;
  if (limit == 0) return 0;
  const std::size_t start = platform::PreviousCharStart(codePage, text, limit + 1);
  return start < limit ? start : limit;
}

// ---------------------------------------------------------------------------
// The op walk
// ---------------------------------------------------------------------------
// appendGroup(start, end) appends the cut, converted text of a group that
// took part; offsetScale is 2 for UTF-16 text (offsets are in bytes).
template <typename AppendGroup>
void Walk(const FieldDefinition& field, std::size_t length, EvaluationState& state,
          std::uint64_t offsetScale, AppendGroup appendGroup) {
  namespace op = template_op;
  std::u16string& out = state.outputText;
  const int* ov = state.matchVector;
  std::size_t piece = 0;
  for (const TemplateOp code : field.templateOps) {
    if (code < 0) {
      const int group = ~code;
      if (group > field.captureCount || group >= kMatchVectorPairs) continue;
      const int start = ov[2 * group];
      const int end = ov[2 * group + 1];
      if (start < 0 || end <= start || static_cast<std::size_t>(end) > length) continue;
      appendGroup(static_cast<std::size_t>(start), static_cast<std::size_t>(end));
    } else if (code <= 0xFF) {
      out.push_back(static_cast<char16_t>(code));
    } else if (code == op::kLiteral) {
      if (piece < field.literalPieces.size()) out += field.literalPieces[piece];
      ++piece;
    } else if (code == op::kFileName) {
      out += BareName(state.fileName);
    } else if (code == op::kFullFileName) {
      out += state.fileName;
    } else if (code >= op::kHexOffsetAuto && code < op::kLineStart) {
      const std::uint64_t position =
          (state.startOffset + static_cast<std::uint64_t>(ov[0] < 0 ? 0 : ov[0])) * offsetScale;
      const bool hex = code < op::kDecOffsetAuto;
      const int d = code - (hex ? op::kHexOffsetAuto : op::kDecOffsetAuto);
      const unsigned width = d > 0 ? 2u * static_cast<unsigned>(d)
                                   : hex ? state.offsetDigits >> 16 : state.offsetDigits & 0xFFFF;
      AppendNumber(out, position, hex ? 16 : 10, width);
    } else if (code >= op::kLineStart && code < op::kResultFrom0) {
      if (state.lineEnds == nullptr) continue;  // no line index: the reference writes nothing
      const bool atStart = code < op::kLineEnd;
      const int d = code - (atStart ? op::kLineStart : op::kLineEnd);
      AppendNumber(out, LineNumberAt(state, atStart ? ov[0] : ov[1]), 10,
                   static_cast<unsigned>(d));
    } else if (code >= op::kResultFrom0 && code <= op::kResultFrom1 + 9) {
      const bool fromOne = code >= op::kResultFrom1;
      const int d = code - (fromOne ? op::kResultFrom1 : op::kResultFrom0);
      std::uint64_t value = state.matchCount;
      if (!fromOne && value > 0) --value;
      AppendNumber(out, value, 10, d > 0 ? static_cast<unsigned>(d) + 1 : 0);
    }
  }
}

}  // namespace

void CompileReplaceTemplate(std::u16string_view text, FieldDefinition& field) {
  field.templateOps.clear();
  field.literalPieces.clear();
  field.templateUsesLineNumbers = false;
  TemplateCompiler(field).Run(text);
}

void ExpandReplaceTemplate(const FieldDefinition& field, const char* subject, std::size_t length,
                           EvaluationState& state, const PluginSettings& settings) {
  const std::size_t limit = state.outputLimit;
  Walk(field, length, state, 1, [&](std::size_t start, std::size_t end) {
    const char* text = subject + start;
    const std::size_t n = end - start;
    if (state.isUtf8) {
      ToWide(settings, text, CutUtf8(text, n, limit), &state.outputText, false, false);
      return;
    }
    const bool oem = field.oemCodePage;
    const bool multiByte = (settings.multibyteCodePageFlags & (oem ? 2u : 1u)) != 0;
    const std::size_t keep =
        multiByte ? CutMultiByte(CodePageFor(settings, true, oem), text, n, limit)
                  : std::min(n, limit);
    ToWide(settings, text, keep, &state.outputText, true, oem);
  });
}

void ExpandReplaceTemplate(const FieldDefinition& field, const char16_t* subject,
                           std::size_t length, EvaluationState& state) {
  const std::size_t limit = state.outputLimit;
  Walk(field, length, state, 2, [&](std::size_t start, std::size_t end) {
    const char16_t* text = subject + start;
    state.outputText.append(text, CutUtf16(text, end - start, limit));
  });
}

}  // namespace qm::plugin
