// The POSIX (Linux) backend of the platform layer.
//
// Divisions: names; files; code pages (tables for single-byte code pages,
// iconv for the others); classification and collation through locale
// objects (the process locale is never changed); lock, time and memory;
// environment; module path; libraries; child processes; test hooks.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <iconv.h>
#include <langinfo.h>
#include <link.h>
#include <locale.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include <utf8.h>

#include "platform/platform.h"

extern char** environ;

namespace qm::platform {
namespace {

// ---------------------------------------------------------------------------
// Names: wide names are UTF-16 and become the file system's UTF-8 bytes here.
// ---------------------------------------------------------------------------
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

std::string PathBytes(const FileName& name) {
  if (name.wide != nullptr) {
    std::size_t n = 0;
    while (name.wide[n] != 0) ++n;
    std::string bytes;
    return WideToFileNameBytes(std::u16string_view(name.wide, n), &bytes) ? bytes : std::string();
  }
  return name.narrow != nullptr ? std::string(name.narrow) : std::string();
}

std::string PathBytes(const std::u16string& path) {
  std::string bytes;
  return WideToFileNameBytes(path, &bytes) ? bytes : std::string();
}

// ---------------------------------------------------------------------------
// Locale objects, made once and freed when the module unloads.
// ---------------------------------------------------------------------------
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

std::atomic<std::uint32_t> g_testAnsi{0};
std::atomic<std::uint32_t> g_testOem{0};
std::atomic<std::uint64_t> g_testFreeMemory{0};

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

constexpr std::uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

}  // namespace

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------
std::u16string ShortPathName(const std::u16string& path) { return path; }

std::u16string FileNameBytesToWide(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  std::size_t i = 0;
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
  bytes->reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
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

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
bool QueryFileInfo(const FileName& name, FileInfo* info) {
  const std::string path = PathBytes(name);
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return false;
  std::uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= kAttributeDirectory;
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) attributes |= kAttributeDevice;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= kAttributeReadOnly;
  if (attributes == 0) attributes = kAttributeNormal;
  const std::uint64_t filetime = kFiletimeUnixEpoch +
                                 static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 10000000ull +
                                 static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
  info->attributes = attributes;
  info->lastWriteLow = static_cast<std::uint32_t>(filetime);
  info->lastWriteHigh = static_cast<std::uint32_t>(filetime >> 32);
  info->size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  return true;
}

bool FindFirstMatches(const FileName& name) {
  const std::string path = PathBytes(name);
  if (path.empty()) return false;
  if (path.find_first_of("*?") == std::string::npos) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  glob_t found;
  const int r = glob(path.c_str(), GLOB_NOSORT, nullptr, &found);
  const bool any = r == 0 && found.gl_pathc > 0;
  globfree(&found);
  return any;
}

void File::Close() {
  if (native_ != kClosed) {
    // close() is not retried on EINTR: the descriptor is released either way.
    ::close(static_cast<int>(native_));
    native_ = kClosed;
  }
}

std::int64_t File::Read(void* buffer, std::size_t n) {
  if (!IsOpen()) return -1;
  const int fd = static_cast<int>(native_);
  bool blockingTried = false;
  for (;;) {
    const ssize_t r = ::read(fd, buffer, n);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    // A content descriptor is non-blocking. Should a regular file ever
    // answer that it would block, it is read blocking from then on; anything
    // else that would block (a FIFO that replaced the file) fails.
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && !blockingTried) {
      blockingTried = true;
      struct stat st;
      const int flags = ::fcntl(fd, F_GETFL);
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 &&
          ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
        continue;
      }
    }
    return -1;
  }
}

std::int64_t File::Write(const void* buffer, std::size_t n) {
  if (!IsOpen()) return -1;
  for (;;) {
    const ssize_t r = ::write(static_cast<int>(native_), buffer, n);
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

bool File::SeekRelative(std::int64_t delta) {
  return IsOpen() && ::lseek(static_cast<int>(native_), static_cast<off_t>(delta), SEEK_CUR) >= 0;
}

bool File::SeekToEnd() {
  return IsOpen() && ::lseek(static_cast<int>(native_), 0, SEEK_END) >= 0;
}

void File::AdviseSequential() {
  if (IsOpen()) posix_fadvise(static_cast<int>(native_), 0, 0, POSIX_FADV_SEQUENTIAL);
}

bool File::Sync() { return IsOpen() && ::fsync(static_cast<int>(native_)) == 0; }

bool File::TruncateHere() {
  if (!IsOpen()) return false;
  const off_t here = ::lseek(static_cast<int>(native_), 0, SEEK_CUR);
  return here >= 0 && ::ftruncate(static_cast<int>(native_), here) == 0;
}

File OpenFile(const FileName& name, OpenMode mode, bool* created) {
  const std::string path = PathBytes(name);
  if (path.empty()) return File();
  if (created != nullptr) *created = false;
  int fd = -1;
  switch (mode) {
    case OpenMode::kReadShared: {
      // O_NONBLOCK: opening a FIFO without a writer (or a device) must not
      // wait; the descriptor then tells what was opened, whatever the name
      // pointed to when it was last looked at. For a regular file the flag
      // changes nothing and is cleared.
      do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
      while (fd < 0 && errno == EINTR);
      if (fd < 0) break;
      struct stat st;
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fd = -1;
        break;
      }
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      break;
    }
    case OpenMode::kReadContent:
      // No fstat and no flag changes: the caller's query found a regular
      // file, and the non-blocking flag keeps anything else from waiting.
      do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
      while (fd < 0 && errno == EINTR);
      break;
    case OpenMode::kReadWriteOpenAlways:
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0) {
        if (created != nullptr) *created = true;
      } else if (errno == EEXIST) {
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      }
      break;
    case OpenMode::kWriteCreateNew:
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0 && created != nullptr) *created = true;
      break;
  }
  return fd >= 0 ? File(fd) : File();
}

bool ReplaceFile(const std::u16string& source, const std::u16string& target) {
  const std::string from = PathBytes(source);
  const std::string to = PathBytes(target);
  // The new content reaches the disk before it takes the old file's name,
  // and it keeps the old file's owner, group and permissions. Owner and
  // group first (a change of owner may clear set-id bits), each as far as
  // the process may give them: root gives both, others at most a group
  // they belong to.
  const int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat old;
  if (::stat(to.c_str(), &old) == 0) {
    struct stat now;
    if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0) {
      [[maybe_unused]] const int ignored = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    ::fchmod(fd, old.st_mode & 07777);
  }
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced && ::rename(from.c_str(), to.c_str()) == 0;
}

bool ResolveWriteTarget(const std::u16string& name, std::u16string* target, bool* hardLinked) {
  std::string path = PathBytes(name);
  if (path.empty()) return false;
  *hardLinked = false;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) break;  // missing: the name is written as it is
    if (!S_ISLNK(st.st_mode)) {
      *hardLinked = S_ISREG(st.st_mode) && st.st_nlink > 1;
      break;
    }
    if (hops >= 40) return false;
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return false;
    link.resize(static_cast<std::size_t>(n));
    if (link[0] != '/') {
      const std::size_t cut = path.find_last_of('/');
      link = (cut == std::string::npos ? std::string() : path.substr(0, cut + 1)) + link;
    }
    path = link;
  }
  *target = FileNameBytesToWide(path);
  return true;
}

bool DeleteFile(const std::u16string& name) { return ::unlink(PathBytes(name).c_str()) == 0; }

std::u16string TemporaryFolder() {
  const char* variable = ::getenv("TMPDIR");
  std::string folder = variable != nullptr && *variable != '\0' ? variable : "/tmp";
  if (folder.back() != '/') folder += '/';
  return FileNameBytesToWide(folder);
}

// strerror_r in its two forms: the XSI one fills the buffer, the GNU one
// may return a static text instead.
[[maybe_unused]] static std::string StrerrorText(int, const char* buffer) { return buffer; }
[[maybe_unused]] static std::string StrerrorText(const char* text, const char*) {
  return text != nullptr ? text : "";
}

std::string LastErrorMessage() {
  const int code = errno;
  char buffer[256] = {};
  return StrerrorText(strerror_r(code, buffer, sizeof buffer), buffer);
}

// ---------------------------------------------------------------------------
// Code pages
// ---------------------------------------------------------------------------
std::uint32_t AnsiCodePage() {
  if (const std::uint32_t test = g_testAnsi.load()) return test;
  static const std::uint32_t codePage = [] {
    const locale_t locale = GetLocales().environment;
    const char* charset = locale != static_cast<locale_t>(0) ? nl_langinfo_l(CODESET, locale) : "";
    return CodePageOfCharset(charset != nullptr ? charset : "");
  }();
  return codePage;
}

std::uint32_t OemCodePage() {
  if (const std::uint32_t test = g_testOem.load()) return test;
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
  if (codePage == kCodePageUtf8) {
    std::size_t p = pos - 1;
    for (int k = 0; k < 3 && p > 0 && (static_cast<unsigned char>(text[p]) & 0xC0) == 0x80; ++k) --p;
    return p;
  }
  if (!IsMultiByteCodePage(codePage)) return pos - 1;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < pos) {
    start = i;
    i += IsLeadByte(codePage, static_cast<unsigned char>(text[i])) && i + 1 < pos ? 2 : 1;
  }
  return start;
}

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

// ---------------------------------------------------------------------------
// Synchronisation and time
// ---------------------------------------------------------------------------
static_assert(sizeof(pthread_mutex_t) <= 64, "Mutex storage too small");

ThreadSlot::ThreadSlot() {
  pthread_key_t key;
  valid_ = pthread_key_create(&key, nullptr) == 0;
  if (valid_) key_ = key;
}
ThreadSlot::~ThreadSlot() {
  if (valid_) pthread_key_delete(static_cast<pthread_key_t>(key_));
}
void* ThreadSlot::Get() const {
  return valid_ ? pthread_getspecific(static_cast<pthread_key_t>(key_)) : nullptr;
}
void ThreadSlot::Set(void* value) const {
  if (valid_) pthread_setspecific(static_cast<pthread_key_t>(key_), value);
}

Mutex::Mutex() { new (storage_) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
Mutex::~Mutex() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Mutex::lock() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Mutex::unlock() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

std::uint32_t TickCount() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

LocalTime CurrentLocalTime() {
  const time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

std::int64_t CurrentTimeSeconds() { return static_cast<std::int64_t>(time(nullptr)); }

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
std::uint64_t FreePhysicalMemory() {
  if (const std::uint64_t test = g_testFreeMemory.load()) return test;
  FILE* f = std::fopen("/proc/meminfo", "re");
  if (f == nullptr) return 0;
  char line[256];
  std::uint64_t kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long value = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &value) == 1) {
      kib = value;
      break;
    }
  }
  std::fclose(f);
  return kib * 1024;
}

void* AllocatePages(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // Where huge pages are only given on request; a failure changes nothing.
  ::madvise(pages, bytes, MADV_HUGEPAGE);
#endif
  return pages;
}

void FreePages(void* pages, std::size_t bytes) {
  if (pages != nullptr) ::munmap(pages, bytes);
}

void DiscardPageContents(void* pages, std::size_t bytes) {
  if (pages == nullptr || bytes == 0) return;
#ifdef MADV_FREE
  if (::madvise(pages, bytes, MADV_FREE) == 0) return;
#endif
  // Systems without lazy freeing keep the pages: dropping them at once would
  // cost the faults that keeping them is meant to save.
}

// ---------------------------------------------------------------------------
// Environment
// ---------------------------------------------------------------------------
std::u16string ExpandEnvironment(const std::u16string& text) {
  std::string in;
  if (!WideToFileNameBytes(text, &in)) return text;
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    if (in[i] != '$') {
      out += in[i++];
      continue;
    }
    std::size_t start = i + 1, end = start;
    const bool braced = start < in.size() && in[start] == '{';
    if (braced) {
      end = in.find('}', start + 1);
      if (end == std::string::npos) {
        out += in.substr(i);
        break;
      }
      ++start;
    } else {
      while (end < in.size() && (isalnum(static_cast<unsigned char>(in[end])) || in[end] == '_')) ++end;
    }
    const std::string name = in.substr(start, end - start);
    const char* value = name.empty() ? nullptr : getenv(name.c_str());
    if (value != nullptr) {
      out += value;
    } else {
      out += in.substr(i, end - i + (braced ? 1 : 0));
    }
    i = end + (braced ? 1 : 0);
  }
  return FileNameBytesToWide(out);
}

// ---------------------------------------------------------------------------
// Module path
// ---------------------------------------------------------------------------
bool QueryModulePath(const void* addressInModule, std::u16string* wide, std::string* narrow) {
  Dl_info info;
  struct link_map* map = nullptr;
  if (dladdr1(addressInModule, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
    return false;
  }
  std::string path;
  if (map != nullptr && (map->l_name == nullptr || map->l_name[0] == 0)) {
    // The main program: the loader only knows it by argv[0], which may be a
    // bare name found through PATH, so ask the kernel for the real file.
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof buffer) path.assign(buffer, static_cast<std::size_t>(n));
  }
  if (path.empty()) {
    if (info.dli_fname == nullptr || *info.dli_fname == 0) return false;
    path = info.dli_fname;
  }
  if (path[0] != '/') {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
      path = resolved;
      free(resolved);
    }
  }
  if (wide != nullptr) {
    wide->clear();
    *wide = FileNameBytesToWide(path);
  }
  if (narrow != nullptr) *narrow = path;
  return true;
}

// ---------------------------------------------------------------------------
// Dynamic libraries
// ---------------------------------------------------------------------------
Library Library::Open(const std::u16string& path, std::string* error) {
  Library library;
  const std::string bytes = PathBytes(path);
  if (bytes.empty()) {
    // dlopen("") would give the main program.
    if (error != nullptr) *error = "no such library";
    return library;
  }
  library.handle_ = dlopen(bytes.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle_ == nullptr) {
    const char* message = dlerror();
    if (error != nullptr) *error = message != nullptr ? message : "cannot load the library";
  }
  return library;
}

void* Library::Symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void Library::Close() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Child processes
// ---------------------------------------------------------------------------
namespace {

// Runs in the forked child until execve: only async-signal-safe calls, no
// allocation (the host's other threads may have held locks at the fork).
// Reports a failure's errno on report and exits with 127.
[[noreturn]] void ExecChild(const char* path, char* const* argv, int output, int devNull, int report,
                            bool errorsIntoOutput, pid_t parent, std::uint64_t addressSpace,
                            const sigset_t& mask) {
  const auto fail = [report]() {
    const int e = errno;
    ssize_t w;
    do w = ::write(report, &e, sizeof e); while (w < 0 && errno == EINTR);
    _exit(127);
  };
  // Handlers of the host are no use here: a signal arriving before execve
  // would run host code in this copy. Ignored signals stay ignored.
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN && (current.sa_flags & SA_SIGINFO) == 0) continue;
    struct sigaction reset;
    memset(&reset, 0, sizeof reset);
    reset.sa_handler = SIG_DFL;
    sigaction(sig, &reset, nullptr);
  }
  // The child dies with the thread that forked it. If that thread (or the
  // whole host) ended before the request took effect, the parent is
  // already another process: give up at once.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail();
  if (getppid() != parent) _exit(127);
  if (addressSpace != 0) {
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(addressSpace);
    if (setrlimit(RLIMIT_AS, &limit) != 0) fail();
  }
  if (dup2(devNull, 0) < 0 || dup2(output, 1) < 0) fail();
  if (dup2(errorsIntoOutput ? output : devNull, 2) < 0) fail();
  // Descriptors the host opened without close-on-exec stay out of the
  // child; the report pipe is close-on-exec and closes with a good execve.
  if (report > 3) {
    closefrom(report + 1);
    for (int fd = 3; fd < report; ++fd) ::close(fd);
  } else {
    closefrom(4);
  }
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  execve(path, argv, environ);
  fail();
  _exit(127);  // not reached: fail exits
}

int ReadReport(int fd) {
  int e = 0;
  ssize_t r;
  do r = ::read(fd, &e, sizeof e); while (r < 0 && errno == EINTR);
  return r == static_cast<ssize_t>(sizeof e) ? e : 0;
}

}  // namespace

ChildProcess ChildProcess::Start(const std::u16string& program,
                                 const std::vector<std::u16string>& arguments, ErrorOutput errors,
                                 const Limits& limits) {
  ChildProcess child;
  // Everything the child needs is made before the fork.
  std::vector<std::string> argStrings;
  argStrings.push_back(PathBytes(program));
  for (const auto& a : arguments) argStrings.push_back(PathBytes(a));
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return child;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    ::close(output[0]);
    ::close(output[1]);
    return child;
  }
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t parent = getpid();
  pid_t pid = -1;
  if (devNull >= 0) {
    // No signal may reach the child before its handlers are reset.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid = fork();
    if (pid == 0) {
      ExecChild(argStrings[0].c_str(), argv.data(), output[1], devNull, report[1],
                errors == ErrorOutput::kIntoOutput, parent, limits.addressSpaceBytes, previous);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(devNull);
  }
  ::close(output[1]);
  ::close(report[1]);
  // The report pipe ends without a word when execve succeeded.
  const int failure = pid > 0 ? ReadReport(report[0]) : -1;
  ::close(report[0]);
  if (failure != 0) {
    if (pid > 0) {
      pid_t r;
      do r = waitpid(pid, nullptr, 0); while (r < 0 && errno == EINTR);
    }
    ::close(output[0]);
    return child;
  }
  child.process_ = pid;
  child.output_ = output[0];
  return child;
}

std::int64_t ChildProcess::ReadOutput(void* buffer, std::size_t n) {
  if (output_ == kNone) return -1;
  for (;;) {
    const ssize_t r = ::read(static_cast<int>(output_), buffer, n);
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

std::int64_t ChildProcess::AvailableOutput() {
  if (output_ == kNone) return -1;
  int n = 0;
  if (ioctl(static_cast<int>(output_), FIONREAD, &n) != 0) return -1;
  return n;
}

bool ChildProcess::WaitForExit(std::uint32_t milliseconds) {
  if (process_ == kNone) return true;
  if (output_ != kNone) {
    pollfd p{static_cast<int>(output_), POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(milliseconds));
    // A closed pipe (the child ended or closed its output) reports at once:
    // sleep instead, so that waiting never spins.
    if (r > 0 && (p.revents & POLLIN) == 0) usleep(milliseconds * 1000);
  } else {
    usleep(milliseconds * 1000);
  }
  int status = 0;
  pid_t r;
  do r = waitpid(static_cast<pid_t>(process_), &status, WNOHANG); while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  process_ = kNone;
  exitCode_ = r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

int ChildProcess::Wait() {
  if (output_ != kNone) {
    ::close(static_cast<int>(output_));
    output_ = kNone;
  }
  if (process_ == kNone) return exitCode_;
  int status = 0;
  pid_t r;
  do r = waitpid(static_cast<pid_t>(process_), &status, 0); while (r < 0 && errno == EINTR);
  process_ = kNone;
  exitCode_ = r < 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
  return exitCode_;
}

void ChildProcess::Terminate() {
  if (process_ != kNone) {
    kill(static_cast<pid_t>(process_), SIGKILL);
    exitCode_ = -1;
  }
  Wait();
}

// ---------------------------------------------------------------------------
// Test hooks
// ---------------------------------------------------------------------------
void SetCodePagesForTesting(std::uint32_t ansi, std::uint32_t oem) {
  g_testAnsi = ansi;
  g_testOem = oem;
}

void SetFreePhysicalMemoryForTesting(std::uint64_t bytes) { g_testFreeMemory = bytes; }

}  // namespace qm::platform
