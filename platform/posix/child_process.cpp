// Child processes on POSIX: fork and execve with the output on a pipe, the
// input and (unless mixed into the output) the errors on /dev/null.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/posix_common.h"

extern char** environ;

namespace qm::platform {
using posix::PathBytes;

namespace {

// Everything from here to execve runs in the forked child: only
// async-signal-safe calls, no allocation (the host's other threads may have
// held locks at the fork).

// Ends the child after telling the parent why: errno on the report pipe.
[[noreturn]] void FailChild(int report) {
  const int e = errno;
  ssize_t w;
  do w = ::write(report, &e, sizeof e); while (w < 0 && errno == EINTR);
  _exit(127);
}

// Handlers of the host are no use here: a signal arriving before execve
// would run host code in this copy. Ignored signals stay ignored.
void ResetSignalHandlers() {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN && (current.sa_flags & SA_SIGINFO) == 0) continue;
    struct sigaction reset;
    memset(&reset, 0, sizeof reset);
    reset.sa_handler = SIG_DFL;
    sigaction(sig, &reset, nullptr);
  }
}

// The descriptor under a number above standard error (a close-on-exec copy
// where it is 0, 1 or 2), or -1. A host that closed its standard streams
// gets those numbers from pipe2 and open: a dup2 onto 0, 1 or 2 would then
// overwrite a descriptor still to be passed on, and a dup2 of a descriptor
// onto its own number leaves it close-on-exec, so the program would start
// without that stream.
int AboveStandardStreams(int fd) { return fd > 2 ? fd : ::fcntl(fd, F_DUPFD_CLOEXEC, 3); }

// Descriptors the host opened without close-on-exec stay out of the child;
// the report pipe (close-on-exec, above the standard streams) closes with a
// good execve.
void CloseAllBut(int report) {
  if (report > 3) {
    closefrom(report + 1);
    for (int fd = 3; fd < report; ++fd) ::close(fd);
  } else {
    closefrom(4);
  }
}

// Makes the child and runs the program: input from devNull, output into
// output, errors into either. Reports a failure's errno on report and exits
// with 127.
[[noreturn]] void ExecChild(const char* path, char* const* argv, int output, int devNull, int report,
                            bool errorsIntoOutput, pid_t parent, std::uint64_t addressSpace,
                            const sigset_t& mask) {
  ResetSignalHandlers();
  // The child dies with the thread that forked it. If that thread (or the
  // whole host) ended before the request took effect, the parent is
  // already another process: give up at once.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) FailChild(report);
  if (getppid() != parent) _exit(127);
  if (addressSpace != 0) {
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(addressSpace);
    if (setrlimit(RLIMIT_AS, &limit) != 0) FailChild(report);
  }
  const int movedReport = AboveStandardStreams(report);
  if (movedReport < 0) FailChild(report);
  report = movedReport;
  output = AboveStandardStreams(output);
  devNull = AboveStandardStreams(devNull);
  if (output < 0 || devNull < 0) FailChild(report);
  if (dup2(devNull, 0) < 0 || dup2(output, 1) < 0) FailChild(report);
  if (dup2(errorsIntoOutput ? output : devNull, 2) < 0) FailChild(report);
  CloseAllBut(report);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  execve(path, argv, environ);
  FailChild(report);
}

int ReadReport(int fd) {
  int e = 0;
  ssize_t r;
  do r = ::read(fd, &e, sizeof e); while (r < 0 && errno == EINTR);
  return r == static_cast<ssize_t>(sizeof e) ? e : 0;
}

}  // namespace

ChildProcess ChildProcess::Start(const std::u16string& program,
                                 const std::vector<std::u16string>& arguments, ErrorOutput errors,
                                 const Limits& limits) {
  ChildProcess child;
  // Everything the child needs is made before the fork.
  std::vector<std::string> argStrings;
  argStrings.push_back(PathBytes(program));
  for (const auto& a : arguments) argStrings.push_back(PathBytes(a));
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return child;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    ::close(output[0]);
    ::close(output[1]);
    return child;
  }
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t parent = getpid();
  pid_t pid = -1;
  if (devNull >= 0) {
    // No signal may reach the child before its handlers are reset.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid = fork();
    if (pid == 0) {
      ExecChild(argStrings[0].c_str(), argv.data(), output[1], devNull, report[1],
                errors == ErrorOutput::kIntoOutput, parent, limits.addressSpaceBytes, previous);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(devNull);
  }
  ::close(output[1]);
  ::close(report[1]);
  // The report pipe ends without a word when execve succeeded.
  const int failure = pid > 0 ? ReadReport(report[0]) : -1;
  ::close(report[0]);
  if (failure != 0) {
    if (pid > 0) {
      pid_t r;
      do r = waitpid(pid, nullptr, 0); while (r < 0 && errno == EINTR);
    }
    ::close(output[0]);
    return child;
  }
  child.process_ = pid;
  child.output_ = output[0];
  return child;
}

std::int64_t ChildProcess::ReadOutput(void* buffer, std::size_t n) {
  if (output_ == kNone) return -1;
  for (;;) {
    const ssize_t r = ::read(static_cast<int>(output_), buffer, n);
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

std::int64_t ChildProcess::AvailableOutput() {
  if (output_ == kNone) return -1;
  int n = 0;
  if (ioctl(static_cast<int>(output_), FIONREAD, &n) != 0) return -1;
  return n;
}

bool ChildProcess::WaitForExit(std::uint32_t milliseconds) {
  if (process_ == kNone) return true;
  if (output_ != kNone) {
    pollfd p{static_cast<int>(output_), POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(milliseconds));
    // A closed pipe (the child ended or closed its output) reports at once:
    // sleep instead, so that waiting never spins.
    if (r > 0 && (p.revents & POLLIN) == 0) usleep(milliseconds * 1000);
  } else {
    usleep(milliseconds * 1000);
  }
  int status = 0;
  pid_t r;
  do r = waitpid(static_cast<pid_t>(process_), &status, WNOHANG); while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  process_ = kNone;
  exitCode_ = r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

int ChildProcess::Wait() {
  if (output_ != kNone) {
    ::close(static_cast<int>(output_));
    output_ = kNone;
  }
  if (process_ == kNone) return exitCode_;
  int status = 0;
  pid_t r;
  do r = waitpid(static_cast<pid_t>(process_), &status, 0); while (r < 0 && errno == EINTR);
  process_ = kNone;
  exitCode_ = r < 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
  return exitCode_;
}

void ChildProcess::Terminate() {
  if (process_ != kNone) {
    kill(static_cast<pid_t>(process_), SIGKILL);
    exitCode_ = -1;
  }
  Wait();
}

}  // namespace qm::platform
