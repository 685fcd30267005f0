// The INI document type both deliverables parse the settings file with.
//
// SimpleIni over narrow characters with its case-insensitive key comparison;
// no character conversion (the stored text is UTF-8 and is handed on as
// bytes). Create it with MakeIniDocument() so that both deliverables use the
// same three options: UTF-8 text, one value per key, multi-line values.
#pragma once

#ifndef SI_NO_CONVERSION
#define SI_NO_CONVERSION
#endif
#ifndef SI_IMPLEMENTATION
#define SI_IMPLEMENTATION
#endif
#include <SimpleIni.h>

namespace qm::settings {

using IniDocument = CSimpleIniTempl<char, SI_NoCase<char>, SI_ConvertA<char>>;

inline void ConfigureIniDocument(IniDocument& ini) {
  ini.SetUnicode(true);
  ini.SetMultiKey(false);
  ini.SetMultiLine(true);
}

}  // namespace qm::settings
