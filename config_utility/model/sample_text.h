// The built-in text of the expression test: five lines joined by CR LF (no
// line break after the last) with Latin, symbols, program text, HTML and
// Chinese, so that caseless, Unicode-property and newline behaviour can be
// tried at once. 214 UTF-16 code units.
#pragma once

#include <cstddef>
#include <string_view>

namespace qm::utility {

inline constexpr std::u16string_view kSampleTestText =
    u"The quick brown fox jumps over the lazy dog!\r\n"
    u"a\u00B2 + b\u00B2 = c\u00B2    A = \u03C0 \u00B7 r\u00B2\r\n"
    u"printf(\"Hello world!\\n\");    <title>The Title</title>\r\n"
    u"<a class=\"lnk\" target=\"_blank\" href=\"https://example.org/regex\">\r\n"
    u"\u4E2D\u8B6F\u70BA\u300C\u654F\u6377\u7684\u68D5\u6BDB\u72D0\u72F8\u4ECE\u61F6\u72D7"
    u"\u8EAB\u4E0A\u8DC3\u8FC7\u300D";

inline constexpr std::size_t kSampleTestTextLength = 214;
static_assert(kSampleTestText.size() == kSampleTestTextLength, "sample text length");

}  // namespace qm::utility
