// How the host writes text into its line-based and JSON outputs, so that a
// name or value holding line ends, tabs or bytes that are not UTF-8 cannot
// break a row, a column or a document.
#pragma once

#include <string>
#include <string_view>

namespace qm::host {

// One line for people: CR, LF and TAB as \r, \n and \t, other control
// characters as \xHH. Everything else is kept.
std::string EscapeControls(std::string_view utf8);

// One TSV cell: backslash, TAB, LF and CR as \\, \t, \n and \r. Reversible.
std::string EscapeTsv(std::string_view text);

// A JSON string literal, quotes included, valid for any bytes: UTF-8
// sequences are kept, control characters, quote and backslash are escaped,
// and each byte that is not part of valid UTF-8 is written as \udc80..\udcff
// (the lone-surrogate form the plugin uses for such bytes in wide names).
std::string JsonString(std::string_view bytes);

}  // namespace qm::host
