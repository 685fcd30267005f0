// Fast checks that a text is well-formed UTF-8 or UTF-16, used to spare
// PCRE its own (much slower) check of the whole subject. A "true" is only
// given for text PCRE also accepts; a "false" sends the text to PCRE's
// check, which then decides and reports as it always does.
#pragma once

#include <cstddef>

namespace qm::plugin {

// Strict UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
bool IsWellFormedUtf8(const char* text, std::size_t length);
// Every surrogate in a pair, high then low.
bool IsWellFormedUtf16(const char16_t* text, std::size_t length);

// Test hook: false keeps the UTF-8 check on its byte-wise path
// (process-wide; default true: the AVX2 path where the processor has it).
void SetVectorUtf8CheckEnabled(bool enabled);

}  // namespace qm::plugin
