// Preloaded into dualrow by the end-to-end tests (LD_PRELOAD) to record the
// order of its port calls and to inject the faults a real port can show:
// short writes, EINTR, EIO after a hangup, an unreadable settings record, a
// stop signal arriving mid-frame. The tool itself is not changed.
//
//   DUALROW_SHIM_LOG=path           append one line per call
//   DUALROW_SHIM_WRITE_MAX=n        each write moves at most n bytes
//   DUALROW_SHIM_WRITE_EINTR=1      every other write fails with EINTR first
//   DUALROW_SHIM_WRITE_EIO_AT=k     the k-th write (from 1) fails with EIO
//   DUALROW_SHIM_SIGNAL_AT=k        the k-th write first sends a signal to the process:
//   DUALROW_SHIM_SIGNAL=n           signal n (default SIGTERM)
//   DUALROW_SHIM_FAIL=call:k[:e],…  the k-th call (from 1) of open, tcgetattr, tcflush,
//                                   tcsetattr, tcdrain or sigprocmask fails with errno e (EIO)
//   DUALROW_SHIM_TCDRAIN_EINTR=1    the first tcdrain fails with EINTR
//   DUALROW_SHIM_KEPT_CFLAG=x       the second tcgetattr (the read-back) shows c_cflag
//   DUALROW_SHIM_KEPT_OFLAG=x       and c_oflag XOR x (hexadecimal): what a UART kept
//   DUALROW_SHIM_ALARM_ON_SIGACTION=1  a SIGALRM arrives right after SIGALRM's
//                                   outside action is put back

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long setting(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? 0 : std::strtol(value, nullptr, 10);
}

// A flag mask in hexadecimal; unsigned, so that the top bit (CRTSCTS) fits
// where long has 32 bits.
tcflag_t flag_setting(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? 0 : static_cast<tcflag_t>(std::strtoul(value, nullptr, 16));
}

void log_call(const char* format, ...) {
  const char* path = std::getenv("DUALROW_SHIM_LOG");
  if (path == nullptr) return;
  char line[256];
  va_list args;
  va_start(args, format);
  const int wanted = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (wanted < 0) return;
  // A longer line was cut to the buffer; write what the buffer holds.
  const int length =
      wanted < static_cast<int>(sizeof line) ? wanted : static_cast<int>(sizeof line) - 1;
  const int saved_errno = errno;
  const long fd =
      syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    syscall(SYS_write, fd, line, static_cast<size_t>(length));
    syscall(SYS_close, fd);
  }
  errno = saved_errno;
}

// True, with errno set, when an entry of DUALROW_SHIM_FAIL names this, the
// `count`-th call of `call`.
bool fails(const char* call, long count) {
  const std::size_t length = std::strlen(call);
  for (const char* plan = std::getenv("DUALROW_SHIM_FAIL"); plan != nullptr && *plan != '\0';) {
    char* rest = nullptr;
    if (std::strncmp(plan, call, length) == 0 && plan[length] == ':' &&
        std::strtol(plan + length + 1, &rest, 10) == count) {
      errno = *rest == ':' ? static_cast<int>(std::strtol(rest + 1, nullptr, 10)) : EIO;
      return true;
    }
    plan = std::strchr(plan, ',');
    plan = plan == nullptr ? nullptr : plan + 1;
  }
  return false;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

long open_calls = 0;
long write_calls = 0;
long tcgetattr_calls = 0;
long tcflush_calls = 0;
long tcsetattr_calls = 0;
long tcdrain_calls = 0;
long sigprocmask_calls = 0;
bool eintr_due = true;
bool drain_eintr_due = true;

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = va_arg(args, mode_t);
  va_end(args);
  if (fails("open", ++open_calls)) {
    log_call("open %s -> error\n", path);
    return -1;
  }
  log_call("open %s flags=0x%x\n", path, static_cast<unsigned>(flags));
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

// The same call under its large-file name, which some builds bind to.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

int flock(int fd, int operation) {
  log_call("flock %d\n", operation);
  return next<int (*)(int, int)>("flock")(fd, operation);
}

int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  const long argument = va_arg(args, long);
  va_end(args);
  if (command == F_SETFL) log_call("fcntl F_SETFL 0x%lx\n", argument);
  return static_cast<int>(syscall(SYS_fcntl, fd, command, argument));
}

ssize_t write(int fd, const void* bytes, size_t count) {
  ++write_calls;
  if (write_calls == setting("DUALROW_SHIM_SIGNAL_AT")) {
    const long signal = setting("DUALROW_SHIM_SIGNAL");
    log_call("kill %ld\n", signal != 0 ? signal : SIGTERM);
    kill(getpid(), static_cast<int>(signal != 0 ? signal : SIGTERM));
  }
  if (setting("DUALROW_SHIM_WRITE_EINTR") != 0) {
    eintr_due = !eintr_due;
    if (!eintr_due) {
      log_call("write fd=%d %zu -> EINTR\n", fd, count);
      errno = EINTR;
      return -1;
    }
  }
  if (write_calls == setting("DUALROW_SHIM_WRITE_EIO_AT")) {
    log_call("write fd=%d %zu -> EIO\n", fd, count);
    errno = EIO;
    return -1;
  }
  const long most = setting("DUALROW_SHIM_WRITE_MAX");
  if (most > 0 && count > static_cast<size_t>(most)) count = static_cast<size_t>(most);
  const ssize_t written = next<ssize_t (*)(int, const void*, size_t)>("write")(fd, bytes, count);
  log_call("write fd=%d %zu -> %zd\n", fd, count, written);
  return written;
}

int tcgetattr(int fd, termios* settings) {
  if (fails("tcgetattr", ++tcgetattr_calls)) {
    log_call("tcgetattr -> error\n");
    std::memset(settings, 0, sizeof *settings);
    return -1;
  }
  log_call("tcgetattr\n");
  const int result = next<int (*)(int, termios*)>("tcgetattr")(fd, settings);
  if (result == 0 && tcgetattr_calls == 2) {
    settings->c_cflag ^= flag_setting("DUALROW_SHIM_KEPT_CFLAG");
    settings->c_oflag ^= flag_setting("DUALROW_SHIM_KEPT_OFLAG");
  }
  return result;
}

int tcflush(int fd, int queue) {
  if (fails("tcflush", ++tcflush_calls)) {
    log_call("tcflush %d -> error\n", queue);
    return -1;
  }
  log_call("tcflush %d\n", queue);
  return next<int (*)(int, int)>("tcflush")(fd, queue);
}

int tcsetattr(int fd, int when, const termios* settings) {
  if (fails("tcsetattr", ++tcsetattr_calls)) {
    log_call("tcsetattr %d -> error\n", when);
    return -1;
  }
  log_call("tcsetattr %d cflag=0x%x\n", when, static_cast<unsigned>(settings->c_cflag));
  return next<int (*)(int, int, const termios*)>("tcsetattr")(fd, when, settings);
}

int tcdrain(int fd) {
  if (fails("tcdrain", ++tcdrain_calls)) {
    log_call("tcdrain -> error\n");
    return -1;
  }
  if (setting("DUALROW_SHIM_TCDRAIN_EINTR") != 0 && drain_eintr_due) {
    drain_eintr_due = false;
    log_call("tcdrain -> EINTR\n");
    errno = EINTR;
    return -1;
  }
  log_call("tcdrain\n");
  return next<int (*)(int)>("tcdrain")(fd);
}

int puts(const char* text) {
  log_call("puts\n");
  return next<int (*)(const char*)>("puts")(text);
}

int sigaction(int number, const struct sigaction* action, struct sigaction* old) {
  const int result = next<int (*)(int, const struct sigaction*, struct sigaction*)>("sigaction")(
      number, action, old);
  const bool outside_back =
      number == SIGALRM && action != nullptr && (action->sa_flags & SA_SIGINFO) == 0;
  if (outside_back && setting("DUALROW_SHIM_ALARM_ON_SIGACTION") != 0) {
    log_call("kill %d\n", SIGALRM);
    kill(getpid(), SIGALRM);
  }
  return result;
}

int sigprocmask(int how, const sigset_t* set, sigset_t* old) {
  if (fails("sigprocmask", ++sigprocmask_calls)) {
    log_call("sigprocmask -> error\n");
    return -1;
  }
  const bool holds_term = set != nullptr && sigismember(set, SIGTERM) == 1;
  log_call("sigprocmask %s%s\n",
           how == SIG_BLOCK     ? "block"
           : how == SIG_SETMASK ? "setmask"
                                : "unblock",
           holds_term ? " term" : "");
  return next<int (*)(int, const sigset_t*, sigset_t*)>("sigprocmask")(how, set, old);
}

}  // extern "C"
