// Child processes on Windows: CreateProcessW with the output on a pipe, in a
// job object that ends the child with its owner.
#include <mutex>
#include <vector>

#include "platform/win32/win32_common.h"

namespace qm::platform {

using namespace win32;

namespace {

// A move-only owner of one HANDLE (null or INVALID_HANDLE_VALUE: none).
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(Handle&& other) noexcept : h_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = other.Release();
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }
  HANDLE get() const { return h_; }
  HANDLE* out() {
    Reset();
    return &h_;
  }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset() {
    if (valid()) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// The attribute list that limits what the child inherits to the given
// handles (PROC_THREAD_ATTRIBUTE_HANDLE_LIST). Without it a child would also
// inherit the inheritable pipe ends another thread of the host is just
// handing to its own child, and that pipe would then see its end only when
// both children have gone.
class InheritList {
 public:
  InheritList(HANDLE* handles, std::size_t count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) return;
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                   count * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return;
    }
    list_ = list;
  }
  ~InheritList() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Serialises the starts, so that where the attribute list is not available
// the inheritable ends of one start never reach another start's child.
Mutex& StartLock() {
  static Mutex lock;
  return lock;
}

// A job object that kills its processes once its last handle closes, so
// that a child cannot outlive the process holding the handle. Null when no
// such job can be made (the child then runs without one).
HANDLE KillOnCloseJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// The child's standard handles and the end of its output that stays here.
// The child's ends are inheritable; outputRead is not.
struct ChildEnds {
  Handle outputRead;
  Handle outputWrite;  // standard output, and standard error when mixed in
  Handle inputRead;    // standard input: a pipe whose write end is closed
  Handle errorNul;     // standard error when discarded: the NUL device
};

// Standard output = write end of a pipe whose read end stays here; standard
// input = read end of a pipe whose write end is closed at once (the child
// reads end of input); standard error = the NUL device, or the output
// pipe's write end too.
bool MakeChildEnds(bool errorsIntoOutput, ChildEnds* ends) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle inputWrite;
  if (!CreatePipe(ends->outputRead.out(), ends->outputWrite.out(), &inheritable, 0)) return false;
  if (!CreatePipe(ends->inputRead.out(), inputWrite.out(), &inheritable, 0)) return false;
  if (!SetHandleInformation(ends->outputRead.get(), HANDLE_FLAG_INHERIT, 0)) return false;
  if (errorsIntoOutput) return true;
  *ends->errorNul.out() = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inheritable, OPEN_EXISTING, 0, nullptr);
  return ends->errorNul.valid();
}

// Creates the child suspended and without a window. It inherits its three
// ends and, where the system has the attribute list, nothing else.
bool CreateSuspended(std::u16string commandLine, const ChildEnds& ends, bool errorsIntoOutput,
                     PROCESS_INFORMATION* info) {
  STARTUPINFOEXW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = ends.inputRead.get();
  startup.StartupInfo.hStdOutput = ends.outputWrite.get();
  startup.StartupInfo.hStdError = errorsIntoOutput ? ends.outputWrite.get() : ends.errorNul.get();
  HANDLE inherited[3] = {ends.inputRead.get(), ends.outputWrite.get(), ends.errorNul.get()};
  InheritList inheritList(inherited, errorsIntoOutput ? 2 : 3);
  DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
  if (inheritList.get() != nullptr) {
    startup.lpAttributeList = inheritList.get();
    startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  } else {
    startup.StartupInfo.cb = sizeof(STARTUPINFOW);
  }
  ZeroMemory(info, sizeof *info);
  std::lock_guard<Mutex> lock(StartLock());
  // The command line must be writable for CreateProcessW.
  return CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(&commandLine[0]), nullptr, nullptr, TRUE,
                        flags, nullptr, nullptr, &startup.StartupInfo, info) != 0;
}

// Puts the suspended child into its job, so that nothing it starts escapes,
// and lets it run. A host already in a job that forbids nesting (before
// Windows 8) cannot do the first: the child then runs without the
// guarantee and *job is closed. False (the child ended) when it cannot run.
bool RunInJob(const Handle& process, const Handle& thread, Handle* job) {
  *job = Handle(KillOnCloseJob());
  if (job->valid() && !AssignProcessToJobObject(job->get(), process.get())) job->Reset();
  if (ResumeThread(thread.get()) != static_cast<DWORD>(-1)) return true;
  TerminateProcess(process.get(), 1);
  WaitForSingleObject(process.get(), INFINITE);
  return false;
}

}  // namespace

// The address-space limit has no Windows counterpart here and is ignored.
ChildProcess ChildProcess::Start(const std::u16string& program,
                                 const std::vector<std::u16string>& arguments, ErrorOutput errors,
                                 const Limits&) {
  ChildProcess child;
  const bool errorsIntoOutput = errors == ErrorOutput::kIntoOutput;
  ChildEnds ends;
  if (!MakeChildEnds(errorsIntoOutput, &ends)) return child;
  PROCESS_INFORMATION info;
  if (!CreateSuspended(BuildCommandLine(program, arguments), ends, errorsIntoOutput, &info)) return child;
  Handle thread(info.hThread);
  Handle process(info.hProcess);
  Handle job;
  if (!RunInJob(process, thread, &job)) return child;
  // The child's ends are closed here, so that the output pipe reports its
  // end once the child (and whatever it passed them to) has gone.
  ends.outputWrite.Reset();
  ends.inputRead.Reset();
  ends.errorNul.Reset();
  child.process_ = AsNative(process.Release());
  child.output_ = AsNative(ends.outputRead.Release());
  if (job.valid()) child.job_ = AsNative(job.Release());
  return child;
}

std::int64_t ChildProcess::ReadOutput(void* buffer, std::size_t n) {
  if (output_ == kNone) return -1;
  const DWORD piece = static_cast<DWORD>(n < kMaxIoPiece ? n : kMaxIoPiece);
  DWORD got = 0;
  if (!ReadFile(AsHandle(output_), buffer, piece, &got, nullptr)) {
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return got;
}

std::int64_t ChildProcess::AvailableOutput() {
  if (output_ == kNone) return -1;
  DWORD available = 0;
  if (!PeekNamedPipe(AsHandle(output_), nullptr, 0, nullptr, &available, nullptr)) return -1;
  return available;
}

bool ChildProcess::WaitForExit(std::uint32_t milliseconds) {
  if (process_ == kNone) return true;
  const HANDLE process = AsHandle(process_);
  if (WaitForSingleObject(process, milliseconds) == WAIT_TIMEOUT) return false;
  DWORD code = 0;
  exitCode_ = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE ? static_cast<int>(code) : -1;
  CloseHandle(process);
  process_ = kNone;
  return true;
}

// Closing the job ends whatever the child left running.
int ChildProcess::Wait() {
  if (output_ != kNone) {
    CloseHandle(AsHandle(output_));
    output_ = kNone;
  }
  if (process_ == kNone) {
    if (job_ != kNone) {
      CloseHandle(AsHandle(job_));
      job_ = kNone;
    }
    return exitCode_;
  }
  const HANDLE process = AsHandle(process_);
  process_ = kNone;
  DWORD code = 0;
  const bool ok = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                  GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  if (job_ != kNone) {
    CloseHandle(AsHandle(job_));
    job_ = kNone;
  }
  exitCode_ = ok ? static_cast<int>(code) : -1;
  return exitCode_;
}

// Exit code 1: a terminated child never reads as a success.
void ChildProcess::Terminate() {
  if (process_ != kNone) TerminateProcess(AsHandle(process_), 1);
  Wait();
}

}  // namespace qm::platform
