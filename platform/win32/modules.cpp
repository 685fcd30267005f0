// Modules on Windows: the path of the module holding an address, and
// dynamic libraries.
#include "platform/win32/win32_common.h"

namespace qm::platform {

using namespace win32;

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

}  // namespace qm::platform
