// Folder listings on POSIX: readdir's entry types, with an lstat only where
// the file system leaves the type unknown.
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "platform/platform.h"

namespace qm::platform {

namespace {

FolderEntry::Kind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FolderEntry::Kind::kFile;
  if (S_ISDIR(mode)) return FolderEntry::Kind::kFolder;
  if (S_ISLNK(mode)) return FolderEntry::Kind::kLink;
  return FolderEntry::Kind::kOther;
}

std::string Joined(const std::string& folder, const char* name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + name;
}

}  // namespace

bool ListFolderEntries(const std::string& folder, std::vector<FolderEntry>* entries,
                       std::string* error) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    *error = LastErrorMessage();
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(dir);
    if (d == nullptr) break;
    if (d->d_name[0] == '.' && (d->d_name[1] == 0 || (d->d_name[1] == '.' && d->d_name[2] == 0))) {
      continue;
    }
    FolderEntry entry;
    entry.name = d->d_name;
    switch (d->d_type) {
      case DT_REG: entry.kind = FolderEntry::Kind::kFile; break;
      case DT_DIR: entry.kind = FolderEntry::Kind::kFolder; break;
      case DT_LNK: entry.kind = FolderEntry::Kind::kLink; break;
      case DT_UNKNOWN: {
        struct stat st;
        if (::lstat(Joined(folder, d->d_name).c_str(), &st) != 0) continue;  // gone meanwhile
        entry.kind = KindOfMode(st.st_mode);
        break;
      }
      default: entry.kind = FolderEntry::Kind::kOther; break;
    }
    entries->push_back(std::move(entry));
  }
  const int readError = errno;
  ::closedir(dir);
  if (readError != 0) {
    errno = readError;
    *error = LastErrorMessage();
    return false;
  }
  return true;
}

FolderEntry::Kind KindWithLinksFollowed(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FolderEntry::Kind::kOther;
  return KindOfMode(st.st_mode);
}

}  // namespace qm::platform
