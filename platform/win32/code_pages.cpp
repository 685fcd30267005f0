// Code pages on Windows: MultiByteToWideChar and WideCharToMultiByte in
// pieces an int can count, and CharPrevExA.
#include "platform/win32/win32_common.h"

#include "platform/test_hooks.h"
#include "platform/utf8_step.h"

namespace qm::platform {

std::uint32_t AnsiCodePage() {
  if (const std::uint32_t test = detail::TestAnsiCodePage()) return test;
  return GetACP();
}

std::uint32_t OemCodePage() {
  if (const std::uint32_t test = detail::TestOemCodePage()) return test;
  return GetOEMCP();
}

bool IsMultiByteCodePage(std::uint32_t codePage) {
  CPINFO info;
  return GetCPInfo(codePage, &info) && info.MaxCharSize > 1;
}

char DefaultCharacter(std::uint32_t codePage) {
  CPINFO info;
  if (codePage == kCodePageUtf8 || !GetCPInfo(codePage, &info)) return '?';
  return static_cast<char>(info.DefaultChar[0]);
}

namespace {

// Length of a piece of at most limit bytes that ends on a character
// boundary of the code page (for texts longer than an int can count).
std::size_t WholeCharacters(std::uint32_t codePage, const char* bytes, std::size_t n,
                            std::size_t limit) {
  if (n <= limit) return n;
  if (codePage == kCodePageUtf8) {
    std::size_t cut = limit;
    while (cut > limit - 4 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
    return cut;
  }
  if (!IsMultiByteCodePage(codePage)) return limit;
  std::size_t i = 0;
  while (i < limit) {
    const std::size_t step = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(bytes[i])) ? 2 : 1;
    if (i + step > limit) break;
    i += step;
  }
  return i;
}

constexpr std::size_t kMaxConversionPiece = 0x10000000;  // 256 Mi units or bytes per call

}  // namespace

// MultiByteToWideChar without flags: invalid UTF-8 becomes U+FFFD; bytes a
// code page does not define become its default Unicode character.
bool AppendWide(std::uint32_t codePage, const char* bytes, std::size_t n, std::u16string* out) {
  if (bytes == nullptr || n == 0) return true;
  if (!IsValidCodePage(codePage)) return false;
  while (n > 0) {
    const std::size_t piece = WholeCharacters(codePage, bytes, n, kMaxConversionPiece);
    const int count = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(piece), nullptr, 0);
    if (count <= 0) return false;
    const std::size_t at = out->size();
    out->resize(at + static_cast<std::size_t>(count));
    const int written = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(piece),
                                            reinterpret_cast<wchar_t*>(&(*out)[at]), count);
    if (written <= 0) {
      out->resize(at);
      return false;
    }
    out->resize(at + static_cast<std::size_t>(written));
    bytes += piece;
    n -= piece;
  }
  return true;
}

// WideCharToMultiByte with WC_NO_BEST_FIT_CHARS and without a default
// character of our own: every character the code page cannot hold becomes its
// default character. Without the flag the system would "best fit" it to a
// look-alike (U+0101 to 'a', a fullwidth solidus to '/'), which changes what a
// narrow file name or answer says. UTF-8, UTF-7 and a few stateful code pages
// take no flags: they are converted without it.
bool AppendNarrow(std::uint32_t codePage, const char16_t* units, std::size_t n, std::string* out) {
  if (units == nullptr || n == 0) return true;
  if (!IsValidCodePage(codePage)) return false;
  DWORD flags = codePage == kCodePageUtf8 || codePage == CP_UTF7 ? 0 : WC_NO_BEST_FIT_CHARS;
  while (n > 0) {
    std::size_t piece = n < kMaxConversionPiece ? n : kMaxConversionPiece;
    if (piece < n && units[piece - 1] >= 0xD800 && units[piece - 1] <= 0xDBFF) --piece;
    const auto* source = reinterpret_cast<const wchar_t*>(units);
    int count = WideCharToMultiByte(codePage, flags, source, static_cast<int>(piece), nullptr, 0,
                                    nullptr, nullptr);
    if (count <= 0 && flags != 0 && GetLastError() == ERROR_INVALID_FLAGS) {
      flags = 0;
      count = WideCharToMultiByte(codePage, 0, source, static_cast<int>(piece), nullptr, 0, nullptr,
                                  nullptr);
    }
    if (count <= 0) return false;
    const std::size_t at = out->size();
    out->resize(at + static_cast<std::size_t>(count));
    const int written = WideCharToMultiByte(codePage, flags, source, static_cast<int>(piece),
                                            &(*out)[at], count, nullptr, nullptr);
    if (written <= 0) {
      out->resize(at);
      return false;
    }
    out->resize(at + static_cast<std::size_t>(written));
    units += piece;
    n -= piece;
  }
  return true;
}

// CharPrevExA knows lead bytes of the double-byte code pages only; UTF-8 is
// stepped back over its continuation bytes here.
std::size_t PreviousCharStart(std::uint32_t codePage, const char* text, std::size_t pos) {
  if (pos == 0) return 0;
  if (codePage == kCodePageUtf8) return detail::PreviousUtf8Start(text, pos);
  if (codePage > 0xFFFF || !IsMultiByteCodePage(codePage)) return pos - 1;
  const char* previous = CharPrevExA(static_cast<WORD>(codePage), text, text + pos, 0);
  if (previous == nullptr || previous < text || previous >= text + pos) return pos - 1;
  return static_cast<std::size_t>(previous - text);
}

}  // namespace qm::platform
