// PCRE character tables built from a code page's character classes.
#include "settings_format/char_tables.h"

#include <pcre.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace qm::settings {
namespace {

// Offsets of the class bitmaps inside the 320-byte block, and the
// character-type bits, as PCRE 8.x lays them out.
constexpr int kCbitSpace = 0, kCbitXdigit = 32, kCbitDigit = 64, kCbitUpper = 96,
              kCbitLower = 128, kCbitWord = 160, kCbitGraph = 192, kCbitPrint = 224,
              kCbitPunct = 256, kCbitCntrl = 288;
constexpr unsigned char kCtypeSpace = 0x01, kCtypeLetter = 0x02, kCtypeDigit = 0x04,
                        kCtypeXdigit = 0x08, kCtypeWord = 0x10, kCtypeMeta = 0x80;

// The unit a single byte stands for, or 0xFFFF when it is not a character
// of its own in the code page.
char16_t UnitOfByte(std::uint32_t codePage, bool multiByte, unsigned char byte) {
  if (byte < 0x80) return byte;
  if (multiByte) return 0xFFFF;
  const char c = static_cast<char>(byte);
  std::u16string wide;
  if (!platform::AppendWide(codePage, &c, 1, &wide) || wide.size() != 1 || wide[0] == 0xFFFD) {
    return 0xFFFF;
  }
  return wide[0];
}

// The byte of a unit in the code page, or the fallback when it has none.
unsigned char ByteOfUnit(std::uint32_t codePage, char16_t unit, unsigned char fallback) {
  if (unit < 0x80) return static_cast<unsigned char>(unit);
  std::string narrow;
  if (!platform::AppendNarrow(codePage, &unit, 1, &narrow) || narrow.size() != 1) return fallback;
  std::u16string back;
  platform::AppendWide(codePage, narrow.data(), 1, &back);
  if (back.size() != 1 || back[0] != unit) return fallback;  // a best-fit default character
  return static_cast<unsigned char>(narrow[0]);
}

}  // namespace

void PcreFreeDeleter::operator()(const unsigned char* p) const {
  pcre_free(const_cast<unsigned char*>(p));
}

CharTables MakeCharTables(std::uint32_t codePage) {
  auto* block = static_cast<unsigned char*>(pcre_malloc(kCharTablesLength));
  if (block == nullptr) return CharTables();
  const bool multiByte = platform::IsMultiByteCodePage(codePage);
  unsigned char* lcc = block;
  unsigned char* fcc = block + 256;
  unsigned char* cbits = block + 512;
  unsigned char* ctypes = block + 832;
  std::memset(cbits, 0, 320);
  for (int i = 0; i < 256; ++i) {
    const auto byte = static_cast<unsigned char>(i);
    const char16_t unit = UnitOfByte(codePage, multiByte, byte);
    const std::uint32_t cls = unit == 0xFFFF ? 0 : platform::ClassifyUnit(unit);
    const unsigned char lower =
        unit == 0xFFFF ? byte : ByteOfUnit(codePage, platform::ToLowerUnit(unit), byte);
    const unsigned char upper =
        unit == 0xFFFF ? byte : ByteOfUnit(codePage, platform::ToUpperUnit(unit), byte);
    lcc[i] = lower;
    fcc[i] = (cls & platform::charclass::kLower) ? upper : lower;

    const auto set = [&](int offset) { cbits[offset + i / 8] |= static_cast<unsigned char>(1 << (i & 7)); };
    const bool alpha = cls & platform::charclass::kAlpha;
    const bool digit = cls & platform::charclass::kDigit;
    if (digit) set(kCbitDigit);
    if (cls & platform::charclass::kUpper) set(kCbitUpper);
    if (cls & platform::charclass::kLower) set(kCbitLower);
    if (alpha || digit || i == '_') set(kCbitWord);
    if (cls & platform::charclass::kSpace) set(kCbitSpace);
    if (cls & platform::charclass::kXdigit) set(kCbitXdigit);
    if (cls & platform::charclass::kGraph) set(kCbitGraph);
    if (cls & platform::charclass::kPrint) set(kCbitPrint);
    if (cls & platform::charclass::kPunct) set(kCbitPunct);
    if (cls & platform::charclass::kCntrl) set(kCbitCntrl);

    unsigned char type = 0;
    if (cls & platform::charclass::kSpace) type |= kCtypeSpace;
    if (alpha) type |= kCtypeLetter;
    if (digit) type |= kCtypeDigit;
    if (cls & platform::charclass::kXdigit) type |= kCtypeXdigit;
    if (alpha || digit || i == '_') type |= kCtypeWord;
    if (i != 0 && std::strchr("\\*+?{^.$|()[", i) != nullptr) type |= kCtypeMeta;
    ctypes[i] = type;
  }
  return CharTables(block);
}

}  // namespace qm::settings
