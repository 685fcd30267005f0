// The moves and destruction of the platform's handle owners, and the whole
// reads and writes built on one read or write. They are the same on every
// system: each backend supplies only Close, Terminate, Read, Write and the
// calls that make the handles.
#include "platform/platform.h"

namespace qm::platform {

bool File::ReadExact(void* buffer, std::size_t n) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (n > 0) {
    const std::int64_t r = Read(p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// A write that takes nothing counts as a failure: retrying it could loop
// for ever.
bool File::WriteAll(const void* buffer, std::size_t n) {
  if (!IsOpen()) return false;
  const auto* p = static_cast<const unsigned char*>(buffer);
  while (n > 0) {
    const std::int64_t w = Write(p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.Release();
  }
  return *this;
}

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(other.process_), output_(other.output_), job_(other.job_), exitCode_(other.exitCode_) {
  other.process_ = kNone;
  other.output_ = kNone;
  other.job_ = kNone;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Terminate();
    process_ = other.process_;
    output_ = other.output_;
    job_ = other.job_;
    exitCode_ = other.exitCode_;
    other.process_ = kNone;
    other.output_ = kNone;
    other.job_ = kNone;
  }
  return *this;
}

ChildProcess::~ChildProcess() { Terminate(); }

}  // namespace qm::platform
