// What the Windows backend's files share: <windows.h> behind platform.h,
// the casts between this layer's types and the system's, kernel32 entry
// points looked up by name, and the system's error messages.
//
// Wide names are passed to the W calls as they are (the plugin has already
// put names of 260 or more units into their "\\?\" form); narrow names go to
// the A calls, which read them in the ANSI code page. Nothing in this backend
// changes process-wide state of the host (no locale, no error mode, no
// environment).
//
// platform.h comes first: <windows.h> defines DeleteFile and ReplaceFile as
// macros, which must not rename this layer's functions of the same names.
#pragma once

#include "platform/platform.h"

#include <windows.h>

#undef DeleteFile
#undef ReplaceFile

#include <cstdint>
#include <string>

namespace qm::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected on Windows");

inline const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
inline const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

inline HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }
inline std::intptr_t AsNative(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// The largest piece one ReadFile/WriteFile call is given (the calls take a
// DWORD count).
inline constexpr std::size_t kMaxIoPiece = 0x40000000;

// Looks up an entry point of kernel32 (always loaded in every process) by
// name; null when the system lacks it.
template <typename Function>
Function Kernel32Entry(const char* name) {
  static const HMODULE module = GetModuleHandleW(L"kernel32.dll");
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The system's message for an error code, in UTF-8 without the trailing
// line break and full stop; "system error N" when the system has none.
std::string SystemMessage(DWORD code);

}  // namespace qm::platform::win32
