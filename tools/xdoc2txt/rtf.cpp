// RTF: our own reader over a buffered file. Groups carry whether their text
// is skipped and how many fallback characters follow a \uN; control words
// and symbols become characters, line ends and tabs.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats.h"

namespace qm::xdoc {
namespace {

// Windows-1252 for the bytes 0x80 to 0x9F (0 where undefined); the other
// bytes are their Latin-1 characters.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t Cp1252(unsigned char b) {
  if (b >= 0x80 && b < 0xA0) return kCp1252High[b - 0x80] != 0 ? kCp1252High[b - 0x80] : 0xFFFD;
  return b;
}

// Destinations whose content is not document text.
bool SkippedDestination(const std::string& word) {
  static const char* const kSkipped[] = {"fonttbl",  "colortbl", "stylesheet", "info",      "pict",
                                         "object",   "header",   "footer",     "headerl",   "headerr",
                                         "headerf",  "footerl",  "footerr",    "footerf",   "fldinst",
                                         "listtable", "listoverridetable", "rsidtbl", "generator",
                                         "themedata", "colorschememapping", "datastore", "latentstyles",
                                         "xmlnstbl", "mmathPr",  "filetbl",    "revtbl",    "bkmkstart",
                                         "bkmkend"};
  for (const char* s : kSkipped) {
    if (word == s) return true;
  }
  return false;
}

struct RtfGroup {
  bool skip = false;
  int unicodeSkip = 1;  // \ucN: fallback characters after \uN
};

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A control word: its letters (at most 64 kept) and its numeric parameter.
struct ControlWord {
  std::string word;
  bool hasParam = false;
  long param = 0;
};

// Control words that stand for one character.
struct CharacterWord {
  const char* word;
  char16_t unit;
};
constexpr CharacterWord kCharacterWords[] = {
    {"emdash", 0x2014}, {"endash", 0x2013},    {"lquote", 0x2018}, {"rquote", 0x2019},
    {"ldblquote", 0x201C}, {"rdblquote", 0x201D}, {"bullet", 0x2022}};

// What a closing brace did.
enum class GroupEnd { kInside, kDocumentEnd, kMalformed };

// Reads one RTF document from its start. The group stack is kept to
// maxDepth entries: deeper groups share the state of the deepest kept one
// (counted, so that their ends match), so any nesting is read in bounded
// memory and its text still comes out.
class RtfReader {
 public:
  RtfReader(FileReader& in, TextSink& sink, const Limits& limits) : in_(in), sink_(sink), limits_(limits) {}

  // True when the outermost group closed; false for text outside it, a
  // malformed escape or a document cut short.
  bool Read() {
    for (int c = in_.Get(); c != EOF; c = in_.Get()) {
      if (c == '{') {
        OpenGroup();
        continue;
      }
      if (c == '}') {
        const GroupEnd end = CloseGroup();
        if (end == GroupEnd::kInside) continue;
        return end == GroupEnd::kDocumentEnd;
      }
      if (groups_.empty()) return false;
      if (c == '\r' || c == '\n') continue;
      if (c != '\\') {
        Emit(static_cast<unsigned char>(c));
        continue;
      }
      const int s = in_.Get();
      if (s == EOF) return false;
      if (std::isalpha(s)) {
        ApplyWord(ReadWord(s));
      } else if (!ApplySymbol(s)) {
        return false;
      }
    }
    // Groups still open: the document was cut short.
    return false;
  }

 private:
  void OpenGroup() {
    if (groups_.size() < limits_.maxDepth) {
      groups_.push_back(groups_.empty() ? RtfGroup() : groups_.back());
    } else {
      ++unkept_;
    }
    pendingSkip_ = 0;
  }

  GroupEnd CloseGroup() {
    if (groups_.empty()) return GroupEnd::kMalformed;
    if (unkept_ > 0) {
      --unkept_;
    } else {
      groups_.pop_back();
    }
    pendingSkip_ = 0;
    return groups_.empty() ? GroupEnd::kDocumentEnd : GroupEnd::kInside;
  }

  // A control symbol (a backslash and one character that is not a letter).
  // False for a malformed hexadecimal escape.
  bool ApplySymbol(int s) {
    if (s == '\'') {
      const int h = HexValue(in_.Get());
      const int l = HexValue(in_.Get());
      if (h < 0 || l < 0) return false;
      Emit(Cp1252(static_cast<unsigned char>(h * 16 + l)));
    } else if (s == '*') {
      groups_.back().skip = true;  // an ignorable destination
    } else if (s == '~') {
      Emit(0x00A0);
    } else if (s == '_') {
      Emit(u'-');
    } else if (s == '\\' || s == '{' || s == '}') {
      Emit(static_cast<char16_t>(s));
    } else if (s == '\r' || s == '\n') {
      EndLine();
    }
    return true;
  }

  // The rest of a control word whose first letter was read, with its
  // parameter and the blank that delimits it.
  ControlWord ReadWord(int first) {
    ControlWord w;
    w.word.assign(1, static_cast<char>(first));
    while (std::isalpha(in_.Peek()) && w.word.size() < 64) w.word.push_back(static_cast<char>(in_.Get()));
    while (std::isalpha(in_.Peek())) in_.Get();  // an absurdly long word is cut
    bool negative = false;
    if (in_.Peek() == '-') {
      negative = true;
      in_.Get();
    }
    std::string digits;
    while (std::isdigit(in_.Peek()) && digits.size() < 10) digits.push_back(static_cast<char>(in_.Get()));
    if (!digits.empty()) {
      w.hasParam = true;
      w.param = std::strtol(digits.c_str(), nullptr, 10) * (negative ? -1 : 1);
    }
    if (in_.Peek() == ' ') in_.Get();  // the delimiting blank belongs to the word
    return w;
  }

  void ApplyWord(const ControlWord& w) {
    const std::string& word = w.word;
    if (SkippedDestination(word)) {
      groups_.back().skip = true;
    } else if (word == "par" || word == "line" || word == "sect" || word == "page" || word == "row") {
      EndLine();
    } else if (word == "tab" || word == "cell") {
      Emit(u'\t');
    } else if (word == "uc" && w.hasParam) {
      groups_.back().unicodeSkip = static_cast<int>(std::clamp(w.param, 0L, 10L));
    } else if (word == "u" && w.hasParam) {
      const long code = w.param < 0 ? w.param + 65536 : w.param;
      Emit(static_cast<char16_t>(code & 0xFFFF));
      pendingSkip_ = groups_.back().unicodeSkip;
    } else {
      for (const CharacterWord& c : kCharacterWords) {
        if (word == c.word) Emit(c.unit);
      }
    }
  }

  // A character of the text, unless it is a fallback after \uN or its
  // group is skipped.
  void Emit(char16_t c) {
    if (pendingSkip_ > 0) {
      --pendingSkip_;
      return;
    }
    if (!groups_.empty() && !groups_.back().skip) sink_.Unit(c);
  }
  void EndLine() {
    Emit(u'\r');
    Emit(u'\n');
  }

  FileReader& in_;
  TextSink& sink_;
  const Limits& limits_;
  std::vector<RtfGroup> groups_;
  std::uint64_t unkept_ = 0;  // open groups past the kept ones
  int pendingSkip_ = 0;       // fallback characters still to drop after \uN
};

}  // namespace

bool RtfText(FileReader& in, TextSink& sink, const Limits& limits) { return RtfReader(in, sink, limits).Read(); }

}  // namespace qm::xdoc
