// Folder listings on Windows: FindFirstFileExW over "folder\*", names and
// folder paths in UTF-8. A reparse point that is a symbolic link or a
// junction is a link.
#include "platform/win32/win32_common.h"

namespace qm::platform {

namespace {

std::u16string WideOf(const std::string& utf8) {
  std::u16string wide;
  AppendWide(kCodePageUtf8, utf8.data(), utf8.size(), &wide);
  return wide;
}

}  // namespace

bool ListFolderEntries(const std::string& folder, std::vector<FolderEntry>* entries,
                       std::string* error) {
  std::u16string pattern = WideOf(folder);
  if (!pattern.empty() && pattern.back() != u'\\' && pattern.back() != u'/') pattern += u'\\';
  pattern += u'*';
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW(win32::W(pattern), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;  // an empty drive root has not even "."
    *error = win32::SystemMessage(code);
    return false;
  }
  DWORD code = ERROR_NO_MORE_FILES;
  do {
    const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
    if (name == u"." || name == u"..") continue;
    FolderEntry entry;
    if (!AppendNarrow(kCodePageUtf8, name.data(), name.size(), &entry.name)) continue;
    const DWORD attributes = found.dwFileAttributes;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                      (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                       found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
    if (link) {
      entry.kind = FolderEntry::Kind::kLink;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      entry.kind = FolderEntry::Kind::kFolder;
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
      entry.kind = FolderEntry::Kind::kOther;
    } else {
      entry.kind = FolderEntry::Kind::kFile;
    }
    entries->push_back(std::move(entry));
  } while (FindNextFileW(search, &found) || (code = GetLastError()) != ERROR_NO_MORE_FILES);
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) {
    *error = win32::SystemMessage(code);
    return false;
  }
  return true;
}

FolderEntry::Kind KindWithLinksFollowed(const std::string& path) {
  // CreateFileW follows links; its handle tells what is at the end.
  const HANDLE handle = CreateFileW(win32::W(WideOf(path)), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FolderEntry::Kind::kOther;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!known) return FolderEntry::Kind::kOther;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FolderEntry::Kind::kFolder
                                                                 : FolderEntry::Kind::kFile;
}

}  // namespace qm::platform
