// Text conversions of the settings utility.
//
// The utility edits UTF-16 text (std::u16string, as its edit boxes hold it)
// and stores UTF-8 in the settings document. Multi-line texts hold CR LF while
// edited and LF in the document.
#pragma once

#include <string>
#include <string_view>

namespace qm::utility {

// UTF-8 bytes to UTF-16; invalid sequences become U+FFFD.
std::u16string FromUtf8(std::string_view utf8);
// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

// A stored value as the editor shows it: every LF becomes CR LF, then the
// UTF-8 bytes become UTF-16.
std::u16string FromStored(std::string_view utf8);
// An edited text as the document stores it: UTF-8, every CR LF and then every
// lone CR turned into LF.
std::string ToStored(std::u16string_view text);

// Widens ASCII text (PCRE's messages, decimal numbers).
std::u16string Widen(std::string_view ascii);

// Decimal text of a number.
std::u16string DecimalText(long long value);

}  // namespace qm::utility
