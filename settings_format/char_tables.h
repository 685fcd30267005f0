// PCRE character tables for an 8-bit code page.
//
// pcre_maketables() reads the process locale, which code running inside a
// host process must not change. These tables are built the same way from the
// code page's own character classes (through the platform layer), so the
// plugin and the utility compile 8-bit expressions with identical tables for
// the ANSI and the OEM code page.
#pragma once

#include <cstdint>
#include <memory>

namespace qm::settings {

// Size of a PCRE 8.x character-table block: lower-case map, flip-case map,
// ten class bitmaps, character-type bytes.
inline constexpr std::size_t kCharTablesLength = 256 + 256 + 320 + 256;

struct PcreFreeDeleter {
  void operator()(const unsigned char* p) const;
};
using CharTables = std::unique_ptr<const unsigned char, PcreFreeDeleter>;

// Tables for the code page, allocated with pcre_malloc (PCRE may free them
// with pcre_free). Bytes that start multi-byte characters get no class. Null
// when memory runs out.
CharTables MakeCharTables(std::uint32_t codePage);

}  // namespace qm::settings
