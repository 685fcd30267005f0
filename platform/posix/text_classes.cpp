// Classification, case and collation on POSIX, through locale objects made
// once (the process locale is never changed).
#include <locale.h>
#include <string.h>
#include <wctype.h>

#include "platform/posix/posix_common.h"

namespace qm::platform {
namespace {

// The locale objects, made once and freed when the module unloads.
struct Locales {
  locale_t environment = static_cast<locale_t>(0);  // the process's configured locale
  locale_t utf8 = static_cast<locale_t>(0);         // classification of UTF-16 units
  Locales() {
    environment = newlocale(LC_CTYPE_MASK | LC_COLLATE_MASK, "", static_cast<locale_t>(0));
    if (environment == static_cast<locale_t>(0)) {
      environment = newlocale(LC_CTYPE_MASK | LC_COLLATE_MASK, "C", static_cast<locale_t>(0));
    }
    utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8 == static_cast<locale_t>(0)) utf8 = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  }
  ~Locales() {
    if (environment != static_cast<locale_t>(0)) freelocale(environment);
    if (utf8 != static_cast<locale_t>(0)) freelocale(utf8);
  }
};

const Locales& GetLocales() {
  static const Locales locales;
  return locales;
}

}  // namespace

namespace posix {

locale_t EnvironmentLocale() { return GetLocales().environment; }
locale_t Utf8Locale() { return GetLocales().utf8; }

}  // namespace posix

std::uint32_t ClassifyUnit(char16_t unit) {
  const locale_t l = GetLocales().utf8;
  const auto c = static_cast<wint_t>(unit);
  if (unit >= 0xD800 && unit <= 0xDFFF) return 0;
  std::uint32_t cls = 0;
  if (iswalpha_l(c, l)) cls |= charclass::kAlpha;
  if (iswdigit_l(c, l)) cls |= charclass::kDigit;
  if (iswspace_l(c, l)) cls |= charclass::kSpace;
  if (iswupper_l(c, l)) cls |= charclass::kUpper;
  if (iswlower_l(c, l)) cls |= charclass::kLower;
  if (iswpunct_l(c, l)) cls |= charclass::kPunct;
  if (iswcntrl_l(c, l)) cls |= charclass::kCntrl;
  if (iswprint_l(c, l)) cls |= charclass::kPrint;
  if (iswgraph_l(c, l)) cls |= charclass::kGraph;
  if (iswxdigit_l(c, l)) cls |= charclass::kXdigit;
  return cls;
}

char16_t ToLowerUnit(char16_t unit) {
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  const wint_t lower = towlower_l(static_cast<wint_t>(unit), GetLocales().utf8);
  return lower <= 0xFFFF ? static_cast<char16_t>(lower) : unit;
}

char16_t ToUpperUnit(char16_t unit) {
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  const wint_t upper = towupper_l(static_cast<wint_t>(unit), GetLocales().utf8);
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

// ---------------------------------------------------------------------------
// Collation and case
// ---------------------------------------------------------------------------
int CollateNarrow(const std::string& a, const std::string& b) {
  const locale_t l = GetLocales().environment;
  if (l == static_cast<locale_t>(0)) return a.compare(b);
  return strcoll_l(a.c_str(), b.c_str(), l);
}

int CompareCaseless(std::u16string_view a, std::u16string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = ToLowerUnit(a[i]);
    const char16_t y = ToLowerUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int CompareCaselessInvariant(std::u16string_view a, std::u16string_view b) {
  // Case mapping here never depends on the process locale already.
  return CompareCaseless(a, b);
}

int CompareCaselessNarrow(std::uint32_t codePage, std::string_view a, std::string_view b) {
  std::u16string wa, wb;
  AppendWide(codePage, a.data(), a.size(), &wa);
  AppendWide(codePage, b.data(), b.size(), &wb);
  return CompareCaseless(wa, wb);
}

}  // namespace qm::platform
