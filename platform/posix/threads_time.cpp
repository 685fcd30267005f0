// The lock, per-thread slots and clocks on POSIX.
#include <pthread.h>
#include <time.h>

#include <new>

#include "platform/platform.h"

namespace qm::platform {
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

}  // namespace qm::platform
