// Modules on POSIX: the path of the module holding an address, and
// dynamic libraries through dlopen.
#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/posix/posix_common.h"

namespace qm::platform {
using posix::PathBytes;

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

}  // namespace qm::platform
