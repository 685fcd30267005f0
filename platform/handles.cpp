// The moves and destruction of the platform's handle owners. They are the
// same on every system: each backend supplies only Close, Terminate and the
// calls that make the handles.
#include "platform/platform.h"

namespace qm::platform {

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
