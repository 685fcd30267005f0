// What the POSIX backend's files share: the bytes of a file name, and the
// locale objects through which text is classified and collated (the process
// locale is never changed).
#pragma once

#include <locale.h>

#include <string>

#include "platform/platform.h"

namespace qm::platform::posix {

// The file system's bytes of a name; empty when the name has none (a wide
// name holding a lone surrogate no file name can have).
std::string PathBytes(const FileName& name);
std::string PathBytes(const std::u16string& path);
// The name's bytes without a copy where it has them (a narrow name), else
// the wide name converted into *storage; null when there are none.
const char* PathChars(const FileName& name, std::string* storage);

// The process's configured locale (LC_CTYPE and LC_COLLATE of the
// environment, else "C"), and a UTF-8 locale for classifying UTF-16 units.
// Made once and freed when the module unloads; either may be (locale_t)0
// when the system has none.
locale_t EnvironmentLocale();
locale_t Utf8Locale();

}  // namespace qm::platform::posix
