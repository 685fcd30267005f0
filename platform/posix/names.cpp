// File names on POSIX: wide names are UTF-16 and become the file system's
// bytes here, losslessly both ways (platform.h says how).
#include <utf8.h>

#include "platform/posix/posix_common.h"

namespace qm::platform {

std::u16string ShortPathName(const std::u16string& path) { return path; }

std::u16string FileNameBytesToWide(std::string_view bytes) {
  // Most names are ASCII up to their end: those units are the bytes.
  std::size_t ascii = 0;
  while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
  std::u16string out(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(ascii));
  if (ascii == bytes.size()) return out;
  out.reserve(bytes.size());
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  std::size_t i = ascii;
  while (i < bytes.size()) {
    const unsigned char lead = at(i);
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      length = 1;
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, cp = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, cp = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, cp = lead & 0x07, least = 0x10000;
    }
    bool valid = length != 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      valid = (at(i + k) & 0xC0) == 0x80;
      cp = (cp << 6) | (at(i + k) & 0x3F);
    }
    // Overlong forms, encoded surrogates and values beyond U+10FFFF are not
    // UTF-8 either: their bytes are escaped one by one.
    if (valid && (cp < least || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)) valid = false;
    if (!valid) {
      out.push_back(static_cast<char16_t>(0xDC00 + lead));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += length;
  }
  return out;
}

bool WideToFileNameBytes(std::u16string_view units, std::string* bytes) {
  bytes->clear();
  // Most names are ASCII up to their end: those bytes are the units.
  std::size_t ascii = 0;
  while (ascii < units.size() && units[ascii] < 0x80) ++ascii;
  bytes->resize(ascii);
  for (std::size_t i = 0; i < ascii; ++i) (*bytes)[i] = static_cast<char>(units[i]);
  if (ascii == units.size()) return true;
  bytes->reserve(units.size() * 3);
  for (std::size_t i = ascii; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
      bytes->push_back(static_cast<char>(cp - 0xDC00));  // an escaped byte
      continue;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      return false;  // no byte sequence has this form
    }
    utf8::unchecked::append(static_cast<std::uint32_t>(cp), std::back_inserter(*bytes));
  }
  return true;
}

namespace posix {

std::string PathBytes(const FileName& name) {
  if (name.wide != nullptr) {
    std::size_t n = 0;
    while (name.wide[n] != 0) ++n;
    std::string bytes;
    return WideToFileNameBytes(std::u16string_view(name.wide, n), &bytes) ? bytes : std::string();
  }
  return name.narrow != nullptr ? std::string(name.narrow) : std::string();
}

const char* PathChars(const FileName& name, std::string* storage) {
  if (name.wide == nullptr) return name.narrow;
  *storage = PathBytes(name);
  return storage->empty() ? nullptr : storage->c_str();
}

std::string PathBytes(const std::u16string& path) {
  std::string bytes;
  return WideToFileNameBytes(path, &bytes) ? bytes : std::string();
}

}  // namespace posix
}  // namespace qm::platform
