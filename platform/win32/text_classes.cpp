// Classification, case and collation of text on Windows: GetStringTypeW,
// CharLowerBuffW/CharUpperBuffW and the CompareString calls.
#include <climits>

#include "platform/win32/win32_common.h"

namespace qm::platform {

using namespace win32;

// Classification of UTF-16 units: the CT_CTYPE1 classes, combined the way the
// C runtime derives its ctype tables from them (print = blank, punctuation,
// letter or digit; graph the same without blanks; control characters are
// neither).
// ---------------------------------------------------------------------------
std::uint32_t ClassifyUnit(char16_t unit) {
  if (unit >= 0xD800 && unit <= 0xDFFF) return 0;
  const wchar_t c = static_cast<wchar_t>(unit);
  WORD type = 0;
  if (!GetStringTypeW(CT_CTYPE1, &c, 1, &type)) return 0;
  std::uint32_t cls = 0;
  if (type & (C1_ALPHA | C1_UPPER | C1_LOWER)) cls |= charclass::kAlpha;
  if (type & C1_DIGIT) cls |= charclass::kDigit;
  if (type & C1_SPACE) cls |= charclass::kSpace;
  if (type & C1_UPPER) cls |= charclass::kUpper;
  if (type & C1_LOWER) cls |= charclass::kLower;
  if (type & C1_PUNCT) cls |= charclass::kPunct;
  if (type & C1_CNTRL) cls |= charclass::kCntrl;
  if (type & C1_XDIGIT) cls |= charclass::kXdigit;
  if (!(type & C1_CNTRL)) {
    const bool graph = (type & (C1_ALPHA | C1_UPPER | C1_LOWER | C1_DIGIT | C1_PUNCT)) != 0;
    if (graph) cls |= charclass::kGraph;
    if (graph || (type & C1_BLANK)) cls |= charclass::kPrint;
  }
  return cls;
}

char16_t ToLowerUnit(char16_t unit) {
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  wchar_t c = static_cast<wchar_t>(unit);
  CharLowerBuffW(&c, 1);
  return static_cast<char16_t>(c);
}

char16_t ToUpperUnit(char16_t unit) {
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  wchar_t c = static_cast<wchar_t>(unit);
  CharUpperBuffW(&c, 1);
  return static_cast<char16_t>(c);
}

// ---------------------------------------------------------------------------
// Collation and case
// ---------------------------------------------------------------------------
namespace {

int FromCompareResult(int result) { return result - CSTR_EQUAL; }  // CSTR_* are 1, 2, 3

int CompareUnits(std::u16string_view a, std::u16string_view b) {
  const int r = a.compare(b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

using CompareStringExFunction = int(WINAPI*)(LPCWSTR, DWORD, LPCWSTR, int, LPCWSTR, int,
                                             LPNLSVERSIONINFO, LPVOID, LPARAM);

}  // namespace

// strcoll under the ANSI collation: the user's locale over ANSI bytes with
// the string sort, up to the first NUL as strcoll reads it.
int CollateNarrow(const std::string& a, const std::string& b) {
  const int r = CompareStringA(LOCALE_USER_DEFAULT, SORT_STRINGSORT, a.c_str(), -1, b.c_str(), -1);
  if (r == 0) {
    const int plain = std::string_view(a.c_str()).compare(b.c_str());
    return plain < 0 ? -1 : (plain > 0 ? 1 : 0);
  }
  return FromCompareResult(r);
}

namespace {

// Caseless comparison in a locale: by name through CompareStringEx where the
// system has it (looked up once), else by number through CompareStringW.
// Texts too long for an int, or a failing call, fall back to code-unit
// order.
int CompareCaselessIn(LPCWSTR localeName, LCID locale, std::u16string_view a, std::u16string_view b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX) return CompareUnits(a, b);
  static const CompareStringExFunction compareEx =
      Kernel32Entry<CompareStringExFunction>("CompareStringEx");
  const auto* pa = reinterpret_cast<const wchar_t*>(a.data());
  const auto* pb = reinterpret_cast<const wchar_t*>(b.data());
  const int na = static_cast<int>(a.size());
  const int nb = static_cast<int>(b.size());
  int r = 0;
  if (compareEx != nullptr) {
    r = compareEx(localeName, NORM_IGNORECASE, pa, na, pb, nb, nullptr, nullptr, 0);
  } else {
    r = CompareStringW(locale, NORM_IGNORECASE, pa, na, pb, nb);
  }
  return r == 0 ? CompareUnits(a, b) : FromCompareResult(r);
}

}  // namespace

// The user's locale.
int CompareCaseless(std::u16string_view a, std::u16string_view b) {
  return CompareCaselessIn(LOCALE_NAME_USER_DEFAULT, LOCALE_USER_DEFAULT, a, b);
}

// The invariant locale.
int CompareCaselessInvariant(std::u16string_view a, std::u16string_view b) {
  return CompareCaselessIn(LOCALE_NAME_INVARIANT, LOCALE_INVARIANT, a, b);
}

// The user's locale over the bytes, as CompareStringA reads them (its code
// page is the ANSI one whatever codePage says).
int CompareCaselessNarrow(std::uint32_t /*codePage*/, std::string_view a, std::string_view b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX) {
    const int plain = a.compare(b);
    return plain < 0 ? -1 : (plain > 0 ? 1 : 0);
  }
  const int r = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                               static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
  if (r == 0) {
    const int plain = a.compare(b);
    return plain < 0 ? -1 : (plain > 0 ? 1 : 0);
  }
  return FromCompareResult(r);
}

}  // namespace qm::platform
