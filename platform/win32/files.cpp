// Files on Windows: short names, attributes, find-first, the File owner's
// calls, opening in the platform's modes, replacing, deleting, the
// temporary folder and error messages.
#include "platform/win32/win32_common.h"

namespace qm::platform {

using namespace win32;

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

std::string LastErrorMessage() { return SystemMessage(GetLastError()); }

namespace win32 {

std::string SystemMessage(DWORD code) {
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

}  // namespace win32

}  // namespace qm::platform
