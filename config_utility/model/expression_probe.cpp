// The three compilations, the match search and the status verdict.
#include "config_utility/model/expression_probe.h"

#include <pcre.h>

#include <cstring>

#include "config_utility/model/text.h"
#include "platform/platform.h"
#include "settings_format/expression_options.h"
#include "settings_format/settings_format.h"

namespace qm::utility {
namespace {

constexpr std::uint32_t kNewlineMask = 0x700000;

#ifndef _WIN32
// The native PCRE recurses on the machine stack; a bounded recursion depth
// turns a pathological pattern into an execution error instead of a crash.
// (The Windows build's PCRE recurses on the heap.)
constexpr unsigned long kMatchLimitRecursion = 4000;
#endif

struct PcreFree {
  void operator()(pcre* p) const { pcre_free(p); }
  void operator()(pcre_extra* p) const { pcre_free_study(p); }
  void operator()(pcre16* p) const { pcre16_free(p); }
  void operator()(pcre16_extra* p) const { pcre16_free_study(p); }
};

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The 16-bit library is told not to check its input, so a lone surrogate is
// replaced by U+FFFD first (the length, and so every offset, stays).
std::u16string WithoutLoneSurrogates(std::u16string_view text) {
  std::u16string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (IsHighSurrogate(out[i]) && i + 1 < out.size() && IsLowSurrogate(out[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(out[i]) || IsLowSurrogate(out[i])) {
      out[i] = 0xFFFD;
    }
  }
  return out;
}

std::u16string AtPosition(int offset) { return u" at pos " + DecimalText(offset + 1LL); }

}  // namespace

// ---------------------------------------------------------------------------
// CodePageTables
// ---------------------------------------------------------------------------
CodePageTables CodePageTables::ForSystem() {
  return For(platform::AnsiCodePage(), platform::OemCodePage());
}

CodePageTables CodePageTables::For(std::uint32_t ansiCodePage, std::uint32_t oemCodePage) {
  CodePageTables t;
  t.ansiCodePage = ansiCodePage;
  t.oemCodePage = oemCodePage;
  t.oem = settings::MakeCharTables(oemCodePage);
  t.ansi = settings::MakeCharTables(ansiCodePage);
  return t;
}

const unsigned char* CodePageTables::TablesFor(std::uint32_t codePage) const {
  return codePage == ansiCodePage ? ansi.get() : oem.get();
}

ProbeOptions OptionsForField(std::uint32_t fieldFlags, bool caseSensitiveDefault,
                             const CodePageTables& tables) {
  ProbeOptions o;
  o.caseSensitive = caseSensitiveDefault;
  o.useUnicodeProperties = (fieldFlags & settings::flags::DisableUnicodeProperties) == 0;
  o.emptyMatchesPassThrough = (fieldFlags & settings::flags::EmptyMatchesPassThrough) != 0;
  o.codePage = (fieldFlags & settings::flags::OemCodePage) != 0 ? tables.oemCodePage
                                                                 : tables.ansiCodePage;
  return o;
}

// ---------------------------------------------------------------------------
// ExpressionProbe
// ---------------------------------------------------------------------------
struct ExpressionProbe::Compiled {
  std::unique_ptr<pcre, PcreFree> utf8;
  std::unique_ptr<pcre, PcreFree> ansi;
  std::unique_ptr<pcre16, PcreFree> utf16;
  std::unique_ptr<pcre_extra, PcreFree> ansiStudy;
  std::unique_ptr<pcre_extra, PcreFree> utf8Study;
  std::unique_ptr<pcre16_extra, PcreFree> utf16Study;
};

ExpressionProbe::ExpressionProbe(const CodePageTables* tables) : tables_(tables) {
  options.codePage = tables->ansiCodePage;
}

ExpressionProbe::~ExpressionProbe() = default;

void ExpressionProbe::ReleaseCompiled() {
  compiled_.reset();
  captureCount_ = 0;
  newlineBits_ = 0;
  crlfNewline_ = false;
  execOptions_ = 0;
}

void ExpressionProbe::Release() {
  ReleaseCompiled();
  matches_.clear();
  matchIndex = 0;
  groupIndex = 0;
}

int ExpressionProbe::Compile(std::u16string_view expression) {
  ReleaseCompiled();
  errorText_.clear();
  auto forms = std::make_unique<Compiled>();
  const char* error = nullptr;
  int offset = 0;
  const settings::ExpressionOptions compile =
      settings::ExpressionOptionsFor(options.caseSensitive, options.useUnicodeProperties);
  const std::u16string wide = WithoutLoneSurrogates(expression);

  // 1. UTF-8, PCRE's built-in tables.
  const std::string utf8 = ToUtf8(wide);
  forms->utf8.reset(pcre_compile(utf8.c_str(),
                                 compile.unicodeForm,
                                 &error, &offset, nullptr));
  if (!forms->utf8) {
    errorText_ = Widen(error) + AtPosition(offset);
    return offset;
  }

  // 2. The 8-bit code page form with that code page's tables; unmappable
  // characters become the code page's default character.
  std::string narrow;
  platform::AppendNarrow(options.codePage, wide.data(), wide.size(), &narrow);
  forms->ansi.reset(pcre_compile(narrow.c_str(), compile.byteForm,
                                 &error, &offset, tables_->TablesFor(options.codePage)));
  if (!forms->ansi) {
    std::u16string message;
    platform::AppendWide(options.codePage, error, std::strlen(error), &message);
    errorText_ = u"ANSI: " + message + AtPosition(offset) + u" - try prefix (*UTF) !";
    return offset;
  }

  // 3. UTF-16, built-in tables.
  forms->utf16.reset(pcre16_compile(reinterpret_cast<PCRE_SPTR16>(wide.c_str()),
                                    compile.unicodeForm,
                                    &error, &offset, nullptr));
  if (!forms->utf16) {
    errorText_ = Widen(error) + AtPosition(offset);
    return offset;
  }

  // 4. Study; a study that finds nothing to optimise is not a failure.
  error = nullptr;
  forms->ansiStudy.reset(pcre_study(forms->ansi.get(), 0, &error));
  if (error == nullptr) forms->utf8Study.reset(pcre_study(forms->utf8.get(), 0, &error));
  if (error == nullptr) forms->utf16Study.reset(pcre16_study(forms->utf16.get(), 0, &error));
  if (error != nullptr) {
    errorText_ = Widen(error);
    return 0;
  }

  // 5. Facts of the UTF-8 form; an expression may change its newline
  // convention with a leading setting.
  int captures = 0;
  unsigned long compiledOptions = 0;
  pcre_fullinfo(forms->utf8.get(), forms->utf8Study.get(), PCRE_INFO_CAPTURECOUNT, &captures);
  pcre_fullinfo(forms->utf8.get(), forms->utf8Study.get(), PCRE_INFO_OPTIONS, &compiledOptions);
  captureCount_ = captures;
  newlineBits_ = static_cast<std::uint32_t>(compiledOptions) & kNewlineMask;
  crlfNewline_ = newlineBits_ == PCRE_NEWLINE_CRLF || newlineBits_ == PCRE_NEWLINE_ANY ||
                 newlineBits_ == PCRE_NEWLINE_ANYCRLF;
  execOptions_ = static_cast<int>(newlineBits_) | PCRE_NO_UTF16_CHECK;
  compiled_ = std::move(forms);
  return 0;
}

void ExpressionProbe::Search(std::u16string_view text) {
  if (!compiled_) return;
  const std::u16string subjectText = WithoutLoneSurrogates(text);
  const auto* subject = reinterpret_cast<PCRE_SPTR16>(subjectText.c_str());
  const int length = static_cast<int>(subjectText.size());

  pcre16_extra extra{};
  if (compiled_->utf16Study) extra = *compiled_->utf16Study;
#ifndef _WIN32
  extra.flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra.match_limit_recursion = kMatchLimitRecursion;
#endif
  const pcre16_extra* extraPointer = extra.flags != 0 ? &extra : nullptr;

  MatchRecord vector;
  vector.fill(-1);
  vector[0] = vector[1] = 0;
  auto exec = [&](int start, int extraOptions) {
    return pcre16_exec(compiled_->utf16.get(), extraPointer, subject, length, start,
                       execOptions_ | extraOptions, vector.data(), kOffsetVectorSize);
  };

  int start = 0;
  while (start <= length) {
    if (exec(start, 0) < 0) break;
    int next;
    if (vector[1] > vector[0]) {
      matches_.push_back(vector);
      next = vector[1];
    } else {
      // An empty match at p: try for a non-empty one there before stepping on.
      const int p = vector[0];
      if (p == length && length > 0 && !options.emptyMatchesPassThrough) break;
      const MatchRecord empty = vector;
      const int rc = exec(p, PCRE_NOTEMPTY_ATSTART | PCRE_ANCHORED);
      if (rc >= 0) {
        if (vector[1] > vector[0]) matches_.push_back(vector);
        next = vector[1];
      } else if (rc != PCRE_ERROR_NOMATCH) {
        break;
      } else {
        // Step over one character: a CR LF pair when it is one newline, a
        // surrogate pair as a whole.
        next = p + 1;
        if (p + 1 < length &&
            ((crlfNewline_ && subjectText[p] == u'\r' && subjectText[p + 1] == u'\n') ||
             IsLowSurrogate(subjectText[p + 1]))) {
          next = p + 2;
        }
        if (options.emptyMatchesPassThrough) matches_.push_back(empty);
      }
    }
    // A match reset by \K inside an assertion may end before the start;
    // the search always moves forward.
    start = next > start ? next : start + 1;
  }
}

// ---------------------------------------------------------------------------
// CheckExpression
// ---------------------------------------------------------------------------
ExpressionCheck CheckExpression(std::u16string_view expression, const ProbeOptions& options,
                                const CodePageTables& tables) {
  ExpressionCheck check;
  if (expression.empty()) {
    check.status = ExpressionStatus::kWarning;
    check.text = kStatusEmptyText;
    return check;
  }
  ExpressionProbe probe(&tables);
  probe.options = options;
  check.errorOffset = probe.Compile(expression);
  if (!probe.ErrorText().empty()) {
    check.status = ExpressionStatus::kError;
    check.text = probe.ErrorText();
  } else if (expression.find_first_of(u"\r\n") != std::u16string_view::npos) {
    check.status = ExpressionStatus::kWarning;
    check.text = kStatusNewlinesText;
  } else {
    check.status = ExpressionStatus::kOk;
    check.text = kStatusOkText;
  }
  return check;
}

}  // namespace qm::utility
