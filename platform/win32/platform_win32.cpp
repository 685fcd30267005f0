// The Windows backend of the platform layer: the system calls behind every
// function of platform/platform.h.
//
// Divisions: name conversion at the edge; names; files; code pages;
// classification; collation and case; lock, time and memory; environment;
// module path; libraries; child processes; test hooks.
//
// Wide names are passed to the W calls as they are (the plugin has already
// put names of 260 or more units into their "\\?\" form); narrow names go to
// the A calls, which read them in the ANSI code page. Nothing here changes
// process-wide state of the host (no locale, no error mode, no environment).
//
// platform.h comes first: <windows.h> defines DeleteFile and ReplaceFile as
// macros, which must not rename this layer's functions of the same names.
#include "platform/platform.h"

#include <windows.h>

#undef DeleteFile
#undef ReplaceFile

#include <atomic>
#include <climits>
#include <mutex>
#include <new>
#include <string>

namespace qm::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected on Windows");

const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }
std::intptr_t AsNative(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// The largest piece one ReadFile/WriteFile call is given (the calls take a
// DWORD count).
constexpr std::size_t kMaxIoPiece = 0x40000000;

// Returns the module of kernel32 (always loaded in every process).
HMODULE Kernel32() {
  static const HMODULE module = GetModuleHandleW(L"kernel32.dll");
  return module;
}

// Looks up an entry point of kernel32 by name; null when the system lacks it.
template <typename Function>
Function Kernel32Entry(const char* name) {
  const HMODULE module = Kernel32();
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::atomic<std::uint32_t> g_testAnsi{0};
std::atomic<std::uint32_t> g_testOem{0};
std::atomic<std::uint64_t> g_testFreeMemory{0};

constexpr std::uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

}  // namespace

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------
// GetShortPathNameW answers the length it needs when the buffer is too small;
// the buffer grows once to that length. No short form (or no file): the path
// unchanged.
std::u16string ShortPathName(const std::u16string& path) {
  std::u16string buffer(1024, u'\0');
  DWORD n = GetShortPathNameW(W(path), reinterpret_cast<wchar_t*>(&buffer[0]),
                              static_cast<DWORD>(buffer.size()));
  if (n >= buffer.size()) {
    buffer.assign(n + 1, u'\0');
    n = GetShortPathNameW(W(path), reinterpret_cast<wchar_t*>(&buffer[0]),
                          static_cast<DWORD>(buffer.size()));
  }
  if (n == 0 || n >= buffer.size()) return path;
  buffer.resize(n);
  return buffer;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
bool QueryFileInfo(const FileName& name, FileInfo* info) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  BOOL ok = FALSE;
  if (name.wide != nullptr) {
    ok = GetFileAttributesExW(W(name.wide), GetFileExInfoStandard, &data);
  } else if (name.narrow != nullptr) {
    ok = GetFileAttributesExA(name.narrow, GetFileExInfoStandard, &data);
  }
  if (!ok) return false;
  info->attributes = data.dwFileAttributes;
  info->lastWriteLow = data.ftLastWriteTime.dwLowDateTime;
  info->lastWriteHigh = data.ftLastWriteTime.dwHighDateTime;
  info->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool FindFirstMatches(const FileName& name) {
  HANDLE found = INVALID_HANDLE_VALUE;
  if (name.wide != nullptr) {
    WIN32_FIND_DATAW data;
    found = FindFirstFileW(W(name.wide), &data);
  } else if (name.narrow != nullptr) {
    WIN32_FIND_DATAA data;
    found = FindFirstFileA(name.narrow, &data);
  }
  if (found == INVALID_HANDLE_VALUE) return false;
  FindClose(found);
  return true;
}

// kClosed (-1) is INVALID_HANDLE_VALUE, the value CreateFile fails with.
static_assert(File::kClosed == -1, "File::kClosed must equal INVALID_HANDLE_VALUE");

void File::Close() {
  if (native_ != kClosed) {
    CloseHandle(AsHandle(native_));
    native_ = kClosed;
  }
}

// The end of the file reads as 0 bytes (also the end of a pipe).
std::int64_t File::Read(void* buffer, std::size_t n) {
  if (!IsOpen()) return -1;
  const DWORD piece = static_cast<DWORD>(n < kMaxIoPiece ? n : kMaxIoPiece);
  DWORD got = 0;
  if (!ReadFile(AsHandle(native_), buffer, piece, &got, nullptr)) {
    const DWORD error = GetLastError();
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return got;
}

std::int64_t File::Write(const void* buffer, std::size_t n) {
  if (!IsOpen()) return -1;
  const DWORD piece = static_cast<DWORD>(n < kMaxIoPiece ? n : kMaxIoPiece);
  DWORD written = 0;
  if (!WriteFile(AsHandle(native_), buffer, piece, &written, nullptr)) return -1;
  return written;
}

bool File::SeekRelative(std::int64_t delta) {
  LARGE_INTEGER distance;
  distance.QuadPart = delta;
  return IsOpen() && SetFilePointerEx(AsHandle(native_), distance, nullptr, FILE_CURRENT) != 0;
}

bool File::SeekToEnd() {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return IsOpen() && SetFilePointerEx(AsHandle(native_), zero, nullptr, FILE_END) != 0;
}

bool File::TruncateHere() { return IsOpen() && SetEndOfFile(AsHandle(native_)) != 0; }

bool File::Sync() { return IsOpen() && FlushFileBuffers(AsHandle(native_)) != 0; }

void File::AdviseSequential() {}

File OpenFile(const FileName& name, OpenMode mode, bool* created) {
  if (created != nullptr) *created = false;
  DWORD access = 0, share = 0, disposition = 0, flags = 0;
  switch (mode) {
    case OpenMode::kReadShared:
    case OpenMode::kReadContent:
      access = GENERIC_READ;
      share = FILE_SHARE_READ;
      disposition = OPEN_EXISTING;
      flags = FILE_FLAG_SEQUENTIAL_SCAN;
      break;
    case OpenMode::kReadWriteOpenAlways:
      access = GENERIC_READ | GENERIC_WRITE;
      share = FILE_SHARE_READ;
      disposition = OPEN_ALWAYS;
      flags = FILE_ATTRIBUTE_NORMAL;
      break;
    case OpenMode::kWriteCreateNew:
      access = GENERIC_WRITE;
      disposition = CREATE_NEW;
      flags = FILE_ATTRIBUTE_NORMAL;
      break;
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (name.wide != nullptr) {
    handle = CreateFileW(W(name.wide), access, share, nullptr, disposition, flags, nullptr);
  } else if (name.narrow != nullptr) {
    handle = CreateFileA(name.narrow, access, share, nullptr, disposition, flags, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) return File();
  if ((mode == OpenMode::kReadShared || mode == OpenMode::kReadContent) &&
      GetFileType(handle) != FILE_TYPE_DISK) {
    // A pipe or a character device ("CON", "\\.\pipe\...") may never end.
    CloseHandle(handle);
    return File();
  }
  if (created != nullptr) {
    // OPEN_ALWAYS reports an existing file through the last error.
    *created = mode == OpenMode::kWriteCreateNew ||
               (mode == OpenMode::kReadWriteOpenAlways && GetLastError() != ERROR_ALREADY_EXISTS);
  }
  return File(AsNative(handle));
}

// Write-through, so that the new contents are on disk when the name points
// at them.
bool ReplaceFile(const std::u16string& source, const std::u16string& target) {
  return MoveFileExW(W(source), W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool ResolveWriteTarget(const std::u16string& name, std::u16string* target, bool* hardLinked) {
  *target = name;
  *hardLinked = false;
  return !name.empty();
}

bool DeleteFile(const std::u16string& name) { return DeleteFileW(W(name)) != 0; }

std::u16string TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH + 1) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

std::string LastErrorMessage() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message;
  if (n != 0 && text != nullptr) {
    AppendNarrow(kCodePageUtf8, reinterpret_cast<const char16_t*>(text), n, &message);
  }
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) message = "system error " + std::to_string(code);
  return message;
}

// ---------------------------------------------------------------------------
// Code pages
// ---------------------------------------------------------------------------
std::uint32_t AnsiCodePage() {
  if (const std::uint32_t test = g_testAnsi.load()) return test;
  return GetACP();
}

std::uint32_t OemCodePage() {
  if (const std::uint32_t test = g_testOem.load()) return test;
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
  if (codePage == kCodePageUtf8) {
    std::size_t p = pos - 1;
    for (int k = 0; k < 3 && p > 0 && (static_cast<unsigned char>(text[p]) & 0xC0) == 0x80; ++k) --p;
    return p;
  }
  if (codePage > 0xFFFF || !IsMultiByteCodePage(codePage)) return pos - 1;
  const char* previous = CharPrevExA(static_cast<WORD>(codePage), text, text + pos, 0);
  if (previous == nullptr || previous < text || previous >= text + pos) return pos - 1;
  return static_cast<std::size_t>(previous - text);
}

// ---------------------------------------------------------------------------
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

// CompareStringEx where the system has it (looked up once), else
// CompareStringW; both with the user's locale and NORM_IGNORECASE. Texts too
// long for an int, or a failing call, fall back to code-unit order.
int CompareCaseless(std::u16string_view a, std::u16string_view b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX) return CompareUnits(a, b);
  static const CompareStringExFunction compareEx =
      Kernel32Entry<CompareStringExFunction>("CompareStringEx");
  const auto* pa = reinterpret_cast<const wchar_t*>(a.data());
  const auto* pb = reinterpret_cast<const wchar_t*>(b.data());
  const int na = static_cast<int>(a.size());
  const int nb = static_cast<int>(b.size());
  int r = 0;
  if (compareEx != nullptr) {
    r = compareEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, pa, na, pb, nb, nullptr, nullptr, 0);
  } else {
    r = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, pa, na, pb, nb);
  }
  return r == 0 ? CompareUnits(a, b) : FromCompareResult(r);
}

// The invariant locale: by name through CompareStringEx where the system
// offers it (looked up once), else by number through CompareStringW.
int CompareCaselessInvariant(std::u16string_view a, std::u16string_view b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX) return CompareUnits(a, b);
  static const CompareStringExFunction compareEx =
      Kernel32Entry<CompareStringExFunction>("CompareStringEx");
  const auto* pa = reinterpret_cast<const wchar_t*>(a.data());
  const auto* pb = reinterpret_cast<const wchar_t*>(b.data());
  const int na = static_cast<int>(a.size());
  const int nb = static_cast<int>(b.size());
  int r = 0;
  if (compareEx != nullptr) {
    r = compareEx(LOCALE_NAME_INVARIANT, NORM_IGNORECASE, pa, na, pb, nb, nullptr, nullptr, 0);
  } else {
    r = CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, pa, na, pb, nb);
  }
  return r == 0 ? CompareUnits(a, b) : FromCompareResult(r);
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

// ---------------------------------------------------------------------------
// Synchronisation and time
// ---------------------------------------------------------------------------
static_assert(sizeof(CRITICAL_SECTION) <= 64, "Mutex storage too small for a CRITICAL_SECTION");
static_assert(alignof(CRITICAL_SECTION) <= 16, "Mutex storage alignment too small");

ThreadSlot::ThreadSlot() {
  const DWORD index = TlsAlloc();
  valid_ = index != TLS_OUT_OF_INDEXES;
  if (valid_) key_ = index;
}
ThreadSlot::~ThreadSlot() {
  if (valid_) TlsFree(static_cast<DWORD>(key_));
}
void* ThreadSlot::Get() const { return valid_ ? TlsGetValue(static_cast<DWORD>(key_)) : nullptr; }
void ThreadSlot::Set(void* value) const {
  if (valid_) TlsSetValue(static_cast<DWORD>(key_), value);
}

Mutex::Mutex() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
Mutex::~Mutex() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Mutex::lock() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Mutex::unlock() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

std::uint32_t TickCount() { return GetTickCount(); }

LocalTime CurrentLocalTime() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

std::int64_t CurrentTimeSeconds() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const std::uint64_t t = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>((t - kFiletimeUnixEpoch) / 10000000u);
}

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
std::uint64_t FreePhysicalMemory() {
  if (const std::uint64_t test = g_testFreeMemory.load()) return test;
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullAvailPhys;
}

void* AllocatePages(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreePages(void* pages, std::size_t) {
  if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}

void DiscardPageContents(void* pages, std::size_t bytes) {
  if (pages != nullptr && bytes != 0) VirtualAlloc(pages, bytes, MEM_RESET, PAGE_READWRITE);
}

// ---------------------------------------------------------------------------
// Environment
// ---------------------------------------------------------------------------
// ExpandEnvironmentStringsW, looked up by name. Its answer counts the
// terminating zero; a result that grew between the two calls is asked for
// once more.
std::u16string ExpandEnvironment(const std::u16string& text) {
  using ExpandFunction = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
  static const ExpandFunction expand = Kernel32Entry<ExpandFunction>("ExpandEnvironmentStringsW");
  if (expand == nullptr || text.empty()) return text;
  std::u16string buffer(text.size() + 64, u'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD n = expand(W(text), reinterpret_cast<wchar_t*>(&buffer[0]),
                           static_cast<DWORD>(buffer.size()));
    if (n == 0) return text;
    if (n <= buffer.size()) {
      buffer.resize(n - 1);
      return buffer;
    }
    buffer.assign(n, u'\0');
  }
  return text;
}

// ---------------------------------------------------------------------------
// Module path
// ---------------------------------------------------------------------------
namespace {

// The module that holds the address (the program for a null address),
// without taking a reference.
HMODULE ModuleOf(const void* address) {
  if (address == nullptr) return GetModuleHandleW(nullptr);
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module)) {
    return nullptr;
  }
  return module;
}

// GetModuleFileName* fills the whole buffer when the path is cut; the buffer
// then doubles, up to the longest path the system has.
template <typename Char, typename Query>
bool ModuleFileName(Query query, HMODULE module, std::basic_string<Char>* out) {
  std::basic_string<Char> buffer(1024, Char());
  while (buffer.size() <= 32768) {
    const DWORD n = query(module, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0) return false;
    if (n < buffer.size()) {
      buffer.resize(n);
      *out = buffer;
      return true;
    }
    buffer.assign(buffer.size() * 2, Char());
  }
  return false;
}

}  // namespace

bool QueryModulePath(const void* addressInModule, std::u16string* wide, std::string* narrow) {
  const HMODULE module = ModuleOf(addressInModule);
  if (module == nullptr) return false;
  bool any = false;
  if (wide != nullptr) {
    std::wstring path;
    if (ModuleFileName<wchar_t>(GetModuleFileNameW, module, &path)) {
      wide->assign(reinterpret_cast<const char16_t*>(path.data()), path.size());
      any = true;
    } else {
      wide->clear();
    }
  }
  if (narrow != nullptr) {
    if (ModuleFileName<char>(GetModuleFileNameA, module, narrow)) {
      any = true;
    } else {
      narrow->clear();
    }
  }
  return any;
}

// ---------------------------------------------------------------------------
// Dynamic libraries
// ---------------------------------------------------------------------------
namespace {

std::string SystemMessage(DWORD error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message;
  if (n != 0 && text != nullptr) {
    message.assign(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
      message.pop_back();
    }
  }
  if (text != nullptr) LocalFree(text);
  if (message.empty()) message = "system error " + std::to_string(error);
  return message;
}

}  // namespace

// The altered search path: the library's own folder is searched for the
// libraries it depends on. Critical-error boxes are off for this thread
// while it loads (a missing dependency must not stop the host with a box).
Library Library::Open(const std::u16string& path, std::string* error) {
  Library library;
  DWORD previousMode = 0;
  const BOOL modeSet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
  HMODULE module = LoadLibraryExW(W(path), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  const DWORD code = GetLastError();
  if (modeSet) SetThreadErrorMode(previousMode, nullptr);
  if (module == nullptr) {
    if (error != nullptr) *error = SystemMessage(code);
  } else {
    library.handle_ = module;
  }
  return library;
}

void* Library::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void Library::Close() {
  if (handle_ != nullptr) {
    FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Child processes
// ---------------------------------------------------------------------------
namespace {

// A move-only owner of one HANDLE (null or INVALID_HANDLE_VALUE: none).
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(Handle&& other) noexcept : h_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = other.Release();
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }
  HANDLE get() const { return h_; }
  HANDLE* out() {
    Reset();
    return &h_;
  }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset() {
    if (valid()) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// The attribute list that limits what the child inherits to the given
// handles (PROC_THREAD_ATTRIBUTE_HANDLE_LIST). Without it a child would also
// inherit the inheritable pipe ends another thread of the host is just
// handing to its own child, and that pipe would then see its end only when
// both children have gone.
class InheritList {
 public:
  InheritList(HANDLE* handles, std::size_t count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) return;
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                   count * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return;
    }
    list_ = list;
  }
  ~InheritList() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Serialises the inheritable window of every start: used only when the
// attribute list is not available.
Mutex& StartLock() {
  static Mutex lock;
  return lock;
}

}  // namespace

// The child gets: standard output = write end of a pipe whose read end stays
// here; standard input = read end of a pipe whose write end is closed at
// once (the child reads end of input); standard error = the NUL device, or
// the output pipe's write end too.
// Only these three handles are inheritable, and the child is created
// suspended and without a window, then resumed.
namespace {

// A job object that kills its processes once its last handle closes, so
// that a child cannot outlive the process holding the handle. Null when no
// such job can be made (the child then runs without one).
HANDLE KillOnCloseJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

}  // namespace

// The address-space limit has no Windows counterpart here and is ignored.
ChildProcess ChildProcess::Start(const std::u16string& program,
                                 const std::vector<std::u16string>& arguments, ErrorOutput errors,
                                 const Limits&) {
  ChildProcess child;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle outputRead, outputWrite, inputRead, inputWrite, errorNul;
  if (!CreatePipe(outputRead.out(), outputWrite.out(), &inheritable, 0)) return child;
  if (!CreatePipe(inputRead.out(), inputWrite.out(), &inheritable, 0)) return child;
  // The ends that stay here must not be inherited.
  if (!SetHandleInformation(outputRead.get(), HANDLE_FLAG_INHERIT, 0)) return child;
  inputWrite.Reset();
  const bool errorsIntoOutput = errors == ErrorOutput::kIntoOutput;
  if (!errorsIntoOutput) {
    *errorNul.out() = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                  OPEN_EXISTING, 0, nullptr);
    if (!errorNul.valid()) return child;
  }

  std::u16string commandLine = BuildCommandLine(program, arguments);
  STARTUPINFOEXW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inputRead.get();
  startup.StartupInfo.hStdOutput = outputWrite.get();
  startup.StartupInfo.hStdError = errorsIntoOutput ? outputWrite.get() : errorNul.get();
  HANDLE inherited[3] = {inputRead.get(), outputWrite.get(), errorNul.get()};
  InheritList inheritList(inherited, errorsIntoOutput ? 2 : 3);
  DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
  if (inheritList.get() != nullptr) {
    startup.lpAttributeList = inheritList.get();
    startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  } else {
    startup.StartupInfo.cb = sizeof(STARTUPINFOW);
  }
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  BOOL started = FALSE;
  {
    std::lock_guard<Mutex> lock(StartLock());
    // The command line must be writable for CreateProcessW.
    started = CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(&commandLine[0]), nullptr, nullptr, TRUE,
                             flags, nullptr, nullptr, &startup.StartupInfo, &info);
  }
  if (!started) return child;
  Handle thread(info.hThread);
  Handle process(info.hProcess);
  // Into its job while still suspended, so that nothing it starts escapes.
  // A host already in a job that forbids nesting (before Windows 8) cannot
  // do this: the child then runs as before, without the guarantee.
  Handle job(KillOnCloseJob());
  if (job.valid() && !AssignProcessToJobObject(job.get(), process.get())) job.Reset();
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
    return child;
  }
  // The child's ends are closed here, so that the output pipe reports its
  // end once the child (and whatever it passed them to) has gone.
  outputWrite.Reset();
  inputRead.Reset();
  errorNul.Reset();
  child.process_ = AsNative(process.Release());
  child.output_ = AsNative(outputRead.Release());
  if (job.valid()) child.job_ = AsNative(job.Release());
  return child;
}

std::int64_t ChildProcess::ReadOutput(void* buffer, std::size_t n) {
  if (output_ == kNone) return -1;
  const DWORD piece = static_cast<DWORD>(n < kMaxIoPiece ? n : kMaxIoPiece);
  DWORD got = 0;
  if (!ReadFile(AsHandle(output_), buffer, piece, &got, nullptr)) {
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return got;
}

std::int64_t ChildProcess::AvailableOutput() {
  if (output_ == kNone) return -1;
  DWORD available = 0;
  if (!PeekNamedPipe(AsHandle(output_), nullptr, 0, nullptr, &available, nullptr)) return -1;
  return available;
}

bool ChildProcess::WaitForExit(std::uint32_t milliseconds) {
  if (process_ == kNone) return true;
  const HANDLE process = AsHandle(process_);
  if (WaitForSingleObject(process, milliseconds) == WAIT_TIMEOUT) return false;
  DWORD code = 0;
  exitCode_ = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE ? static_cast<int>(code) : -1;
  CloseHandle(process);
  process_ = kNone;
  return true;
}

// Closing the job ends whatever the child left running.
int ChildProcess::Wait() {
  if (output_ != kNone) {
    CloseHandle(AsHandle(output_));
    output_ = kNone;
  }
  if (process_ == kNone) {
    if (job_ != kNone) {
      CloseHandle(AsHandle(job_));
      job_ = kNone;
    }
    return exitCode_;
  }
  const HANDLE process = AsHandle(process_);
  process_ = kNone;
  DWORD code = 0;
  const bool ok = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                  GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  if (job_ != kNone) {
    CloseHandle(AsHandle(job_));
    job_ = kNone;
  }
  exitCode_ = ok ? static_cast<int>(code) : -1;
  return exitCode_;
}

// Exit code 1: a terminated child never reads as a success.
void ChildProcess::Terminate() {
  if (process_ != kNone) TerminateProcess(AsHandle(process_), 1);
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
