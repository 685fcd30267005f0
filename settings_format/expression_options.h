// How a field's expression is compiled: the PCRE options of its three forms.
// The plugin's compilation and the utility's expression probe both take them
// from here, so a probe verdict always describes the program the plugin runs.
#pragma once

#include <pcre.h>

namespace qm::settings {

// UTF-8 and UTF-16 compilation share one option word: PCRE gives the two
// widths' flags the same bits.
static_assert(PCRE_UTF8 == PCRE_UTF16 && PCRE_NO_UTF8_CHECK == PCRE_NO_UTF16_CHECK,
              "one option word serves the UTF-8 and UTF-16 forms");

struct ExpressionOptions {
  int byteForm = 0;     // the ANSI/OEM form, with its code page's tables
  int unicodeForm = 0;  // the UTF-8 and UTF-16 forms, with PCRE's own tables
};

// caseSensitive: the global CaseSensitiveDefault; unicodeProperties: the
// field's DisableUnicodeProperties flag is clear.
inline ExpressionOptions ExpressionOptionsFor(bool caseSensitive, bool unicodeProperties) {
  const int caseless = caseSensitive ? 0 : PCRE_CASELESS;
  ExpressionOptions options;
  options.byteForm = PCRE_NEWLINE_ANYCRLF | PCRE_BSR_ANYCRLF | caseless;
  options.unicodeForm = PCRE_UTF8 | PCRE_NO_UTF8_CHECK | PCRE_NEWLINE_ANYCRLF | caseless |
                        (unicodeProperties ? PCRE_UCP : 0);
  return options;
}

}  // namespace qm::settings
