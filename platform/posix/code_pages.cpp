// Code pages on POSIX: the host's narrow encoding from the process locale's
// charset; UTF-8 through UTF8-CPP, single-byte code pages through tables
// built once with iconv, the others through iconv itself; lead bytes of the
// double-byte code pages.
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <mutex>

#include <utf8.h>

#include "platform/posix/posix_common.h"
#include "platform/test_hooks.h"
#include "platform/utf8_step.h"

namespace qm::platform {
namespace {

std::string Utf16ToUtf8Lenient(const char16_t* units, std::size_t n) {
  std::string out;
  out.reserve(n);
  std::size_t i = 0;
  while (i < n) {
    char32_t cp = units[i++];
    if (cp >= 0xD800 && cp <= 0xDBFF && i < n && units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i++] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    utf8::unchecked::append(static_cast<std::uint32_t>(cp), std::back_inserter(out));
  }
  return out;
}

void AppendUtf8AsUtf16(const char* bytes, std::size_t n, std::u16string* out) {
  std::string valid;
  const char* end = bytes + n;
  if (utf8::find_invalid(bytes, end) == end) {
    utf8::unchecked::utf8to16(bytes, end, std::back_inserter(*out));
    return;
  }
  utf8::replace_invalid(bytes, end, std::back_inserter(valid), 0xFFFD);
  utf8::unchecked::utf8to16(valid.begin(), valid.end(), std::back_inserter(*out));
}

std::uint32_t CodePageOfCharset(const std::string& charset) {
  std::string upper;
  for (char c : charset) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (upper == "UTF-8" || upper == "UTF8") return kCodePageUtf8;
  if (upper.rfind("ISO-8859-", 0) == 0) return 28590 + static_cast<std::uint32_t>(atoi(upper.c_str() + 9));
  if (upper == "SHIFT_JIS" || upper == "CP932") return 932;
  if (upper == "GBK" || upper == "GB2312" || upper == "CP936") return 936;
  if (upper == "EUC-KR" || upper == "CP949") return 949;
  if (upper == "BIG5" || upper == "CP950") return 950;
  if (upper.rfind("CP", 0) == 0 && upper.size() > 2) return static_cast<std::uint32_t>(atoi(upper.c_str() + 2));
  return 1252;  // ASCII ("ANSI_X3.4-1968") and anything unknown
}

std::string IconvName(std::uint32_t codePage) {
  if (codePage == kCodePageUtf8) return "UTF-8";
  if (codePage > 28590 && codePage < 28606) return "ISO-8859-" + std::to_string(codePage - 28590);
  if (codePage == 20932) return "EUC-JP";
  return "CP" + std::to_string(codePage);
}

// iconv over a whole text, with the replacement rules of the Windows calls:
// an undecodable byte becomes U+FFFD; an unencodable character becomes the
// default character.
class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts; on an invalid input unit calls onInvalid(&in, &left) which must
  // skip it and write a replacement. Output goes to sink(bytes, n).
  template <typename OnInvalid, typename Sink>
  void Run(const char* input, std::size_t n, std::size_t unit, OnInvalid onInvalid, Sink sink) {
    char* in = const_cast<char*>(input);
    std::size_t left = n;
    char buffer[1024];
    while (left > 0) {
      char* out = buffer;
      std::size_t room = sizeof buffer;
      const std::size_t r = iconv(cd_, &in, &left, &out, &room);
      sink(buffer, static_cast<std::size_t>(out - buffer));
      if (r == static_cast<std::size_t>(-1)) {
        if (errno == E2BIG) continue;
        if (errno == EILSEQ || errno == EINVAL) {
          onInvalid(&in, &left, unit);
          continue;
        }
        break;
      }
    }
    char* out = buffer;
    std::size_t room = sizeof buffer;
    iconv(cd_, nullptr, nullptr, &out, &room);
    sink(buffer, static_cast<std::size_t>(out - buffer));
  }

 private:
  iconv_t cd_;
};

// Byte <-> unit tables of a single-byte code page, built once through iconv.
struct SingleByteTable {
  char16_t toUnit[256];                     // 0xFFFD: the byte maps to nothing
  std::map<char16_t, unsigned char> toByte;
};

// One byte through an open converter; 0xFFFD when it does not convert.
char16_t ConvertByte(iconv_t cd, unsigned char byte) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char in = static_cast<char>(byte);
  char* inp = &in;
  std::size_t inLeft = 1;
  unsigned char out[8];
  char* outp = reinterpret_cast<char*>(out);
  std::size_t outLeft = sizeof out;
  if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<std::size_t>(-1) ||
      sizeof out - outLeft != 2) {
    return 0xFFFD;
  }
  return static_cast<char16_t>(out[0] | (out[1] << 8));
}

// The table of a single-byte code page, or null for multi-byte and unknown
// ones. Tables live until the module unloads.
const SingleByteTable* TableFor(std::uint32_t codePage) {
  static std::mutex mutex;
  static std::map<std::uint32_t, std::unique_ptr<SingleByteTable>> tables;
  if (codePage == kCodePageUtf8 || IsMultiByteCodePage(codePage)) return nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = tables.find(codePage);
  if (it != tables.end()) return it->second.get();
  std::unique_ptr<SingleByteTable> table;
  const iconv_t cd = iconv_open("UTF-16LE", IconvName(codePage).c_str());
  if (cd != reinterpret_cast<iconv_t>(-1)) {
    table = std::make_unique<SingleByteTable>();
    for (int b = 255; b >= 0; --b) {  // downwards, so the lowest byte wins a shared unit
      const char16_t unit = ConvertByte(cd, static_cast<unsigned char>(b));
      table->toUnit[b] = unit;
      if (unit != 0xFFFD) table->toByte[unit] = static_cast<unsigned char>(b);
    }
    iconv_close(cd);
  }
  return (tables[codePage] = std::move(table)).get();
}

bool IsLeadByte(std::uint32_t codePage, unsigned char b) {
  switch (codePage) {
    case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936: case 949: case 950: return b >= 0x81 && b <= 0xFE;
    case 20932: return b >= 0x8E && b <= 0xFE;
    default: return false;
  }
}

}  // namespace

std::uint32_t AnsiCodePage() {
  if (const std::uint32_t test = detail::TestAnsiCodePage()) return test;
  static const std::uint32_t codePage = [] {
    const locale_t locale = posix::EnvironmentLocale();
    const char* charset = locale != static_cast<locale_t>(0) ? nl_langinfo_l(CODESET, locale) : "";
    return CodePageOfCharset(charset != nullptr ? charset : "");
  }();
  return codePage;
}

std::uint32_t OemCodePage() {
  if (const std::uint32_t test = detail::TestOemCodePage()) return test;
  return 437;
}

bool IsMultiByteCodePage(std::uint32_t codePage) {
  switch (codePage) {
    case kCodePageUtf8: case 932: case 936: case 949: case 950: case 20932: return true;
    default: return false;
  }
}

char DefaultCharacter(std::uint32_t /*codePage*/) { return '?'; }

bool AppendWide(std::uint32_t codePage, const char* bytes, std::size_t n, std::u16string* out) {
  if (bytes == nullptr || n == 0) return true;
  if (codePage == kCodePageUtf8) {
    AppendUtf8AsUtf16(bytes, n, out);
    return true;
  }
  if (const SingleByteTable* table = TableFor(codePage)) {
    out->reserve(out->size() + n);
    for (std::size_t i = 0; i < n; ++i) out->push_back(table->toUnit[static_cast<unsigned char>(bytes[i])]);
    return true;
  }
  Iconv cd("UTF-16LE", IconvName(codePage));
  if (!cd.ok()) return false;
  cd.Run(
      bytes, n, 1,
      [&](char** in, std::size_t* left, std::size_t) {
        out->push_back(0xFFFD);
        ++*in;
        --*left;
      },
      [&](const char* data, std::size_t len) {
        for (std::size_t i = 0; i + 1 < len; i += 2) {
          out->push_back(static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                               (static_cast<unsigned char>(data[i + 1]) << 8)));
        }
      });
  return true;
}

bool AppendNarrow(std::uint32_t codePage, const char16_t* units, std::size_t n, std::string* out) {
  if (units == nullptr || n == 0) return true;
  if (codePage == kCodePageUtf8) {
    *out += Utf16ToUtf8Lenient(units, n);
    return true;
  }
  const char fallback = DefaultCharacter(codePage);
  if (const SingleByteTable* table = TableFor(codePage)) {
    out->reserve(out->size() + n);
    for (std::size_t i = 0; i < n; ++i) {
      const auto it = table->toByte.find(units[i]);
      out->push_back(it != table->toByte.end() ? static_cast<char>(it->second) : fallback);
      // A surrogate pair is one character: one default character for both.
      if (it == table->toByte.end() && units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < n &&
          units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        ++i;
      }
    }
    return true;
  }
  Iconv cd(IconvName(codePage), "UTF-16LE");
  if (!cd.ok()) return false;
  std::string le;
  le.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    le.push_back(static_cast<char>(units[i] & 0xFF));
    le.push_back(static_cast<char>(units[i] >> 8));
  }
  cd.Run(
      le.data(), le.size(), 2,
      [&](char** in, std::size_t* left, std::size_t) {
        out->push_back(fallback);
        // A whole surrogate pair is one character; a lone lead surrogate is
        // one unit, and the unit after it is converted on its own.
        const bool pair = *left >= 4 && (static_cast<unsigned char>((*in)[1]) & 0xFC) == 0xD8 &&
                          (static_cast<unsigned char>((*in)[3]) & 0xFC) == 0xDC;
        const std::size_t skip = pair ? 4 : 2;
        const std::size_t step = skip <= *left ? skip : *left;
        *in += step;
        *left -= step;
      },
      [&](const char* data, std::size_t len) { out->append(data, len); });
  return true;
}

std::size_t PreviousCharStart(std::uint32_t codePage, const char* text, std::size_t pos) {
  if (pos == 0) return 0;
  if (codePage == kCodePageUtf8) return detail::PreviousUtf8Start(text, pos);
  if (!IsMultiByteCodePage(codePage)) return pos - 1;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < pos) {
    start = i;
    i += IsLeadByte(codePage, static_cast<unsigned char>(text[i])) && i + 1 < pos ? 2 : 1;
  }
  return start;
}

}  // namespace qm::platform
