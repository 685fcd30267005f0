// The lock, per-thread slots and clocks on Windows.
#include <new>

#include "platform/win32/win32_common.h"

namespace qm::platform {

namespace {

// 1970-01-01 in FILETIME units (100 ns since 1601).
constexpr std::uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

}  // namespace

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

}  // namespace qm::platform
