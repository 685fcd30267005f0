// Files on POSIX: attributes, find-first, the File owner's calls, opening in
// the platform's modes, replacing, following links for a write, deleting,
// the temporary folder and error messages.
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_common.h"

namespace qm::platform {

using posix::PathBytes;

namespace {

// 1970-01-01 in Windows FILETIME units (100 ns since 1601).
constexpr std::uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

}  // namespace

bool QueryFileInfo(const FileName& name, FileInfo* info) {
  std::string storage;
  const char* path = posix::PathChars(name, &storage);
  struct stat st;
  if (path == nullptr || *path == 0 || stat(path, &st) != 0) return false;
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
  std::string storage;
  const char* path = posix::PathChars(name, &storage);
  if (path == nullptr || *path == 0) return File();
  if (created != nullptr) *created = false;
  int fd = -1;
  switch (mode) {
    case OpenMode::kReadShared: {
      // O_NONBLOCK: opening a FIFO without a writer (or a device) must not
      // wait; the descriptor then tells what was opened, whatever the name
      // pointed to when it was last looked at. For a regular file the flag
      // changes nothing and is cleared.
      do fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
      do fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
      while (fd < 0 && errno == EINTR);
      break;
    case OpenMode::kReadWriteOpenAlways:
      fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0) {
        if (created != nullptr) *created = true;
      } else if (errno == EEXIST) {
        fd = ::open(path, O_RDWR | O_CLOEXEC);
      }
      break;
    case OpenMode::kWriteCreateNew:
      fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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

}  // namespace qm::platform
