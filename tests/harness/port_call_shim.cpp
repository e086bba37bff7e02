// Preloaded into dualrow by the end-to-end tests (LD_PRELOAD) to record the
// order of its port calls and to inject the faults a real port can show:
// short writes, EINTR (a FAIL with errno 4), EIO after a hangup, an unreadable
// settings record, a stop signal arriving mid-frame. A fault is chosen by the
// call and its occurrence (the second tcsetattr), never by a global count. The
// tool itself is not changed. The kernel's settings calls (TCGETS2, TCSETS2)
// are logged and counted as "tcgetattr" and "tcsetattr".
//
//   DUALROW_SHIM_LOG=path           append one line per call
//   DUALROW_SHIM_WRITE_MAX=n        each write moves at most n bytes
//   DUALROW_SHIM_SIGNAL_AT=k        the k-th write first sends a signal to the process:
//   DUALROW_SHIM_SIGNAL=n           signal n (default SIGTERM)
//   DUALROW_SHIM_FAIL=call:k[:e],…  the k-th call (from 1) of open, write, tcgetattr,
//                                   tcflush, tcsetattr, tcdrain or sigprocmask fails
//                                   with errno e (EIO)
//   DUALROW_SHIM_OPEN_AS=k:path     the k-th open opens `path` instead
//   DUALROW_SHIM_READ_BACK=k:field:x,…  the k-th tcgetattr reads back field
//                                   iflag, oflag, cflag or lflag XOR x (hexadecimal)
//   DUALROW_SHIM_ALARM_ON_SIGACTION=1  a SIGALRM arrives right after SIGALRM's
//                                   old action is put back

#include <asm/termbits.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
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

// What follows "call:k" in the comma-separated entry of `variable` that names
// the `count`-th call of `call` (an empty `call`: entries start at k); null
// when no entry does.
const char* planned(const char* variable, const char* call, long count) {
  const std::size_t length = std::strlen(call);
  for (const char* plan = std::getenv(variable); plan != nullptr && *plan != '\0';) {
    char* rest = nullptr;
    const char* number = plan + (length == 0 ? 0 : length + 1);
    if (std::strncmp(plan, call, length) == 0 && (length == 0 || plan[length] == ':') &&
        std::strtol(number, &rest, 10) == count && rest != number) {
      return rest;
    }
    plan = std::strchr(plan, ',');
    plan = plan == nullptr ? nullptr : plan + 1;
  }
  return nullptr;
}

// True, with errno set, when DUALROW_SHIM_FAIL names the `count`-th call of `call`.
bool fails(const char* call, long count) {
  const char* error = planned("DUALROW_SHIM_FAIL", call, count);
  if (error == nullptr) return false;
  errno = *error == ':' ? static_cast<int>(std::strtol(error + 1, nullptr, 10)) : EIO;
  return true;
}

// What DUALROW_SHIM_READ_BACK makes the `count`-th settings read show. Masks are
// read unsigned, so that the top bit (CRTSCTS) fits where long has 32 bits.
// Record is the kernel's termios2, or its termios where only the older calls
// are known (qemu-user).
template <typename Record>
void read_back(Record& settings, long count) {
  const char* field = planned("DUALROW_SHIM_READ_BACK", "", count);
  const char* value = field == nullptr ? nullptr : std::strchr(field + 1, ':');
  if (value == nullptr) return;
  const auto x = static_cast<tcflag_t>(std::strtoul(value + 1, nullptr, 16));
  const auto is = [&](const char* name) { return std::strncmp(field + 1, name, 5) == 0; };
  if (is("iflag")) settings.c_iflag ^= x;
  if (is("oflag")) settings.c_oflag ^= x;
  if (is("cflag")) settings.c_cflag ^= x;
  if (is("lflag")) settings.c_lflag ^= x;
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
  const char* instead = planned("DUALROW_SHIM_OPEN_AS", "", open_calls);
  if (instead != nullptr && *instead == ':') path = instead + 1;
  log_call("open %s flags=0x%x\n", path, static_cast<unsigned>(flags));
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

// The same call under its large-file name, which some builds bind to.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

ssize_t write(int fd, const void* bytes, size_t count) {
  ++write_calls;
  if (write_calls == setting("DUALROW_SHIM_SIGNAL_AT")) {
    const long signal = setting("DUALROW_SHIM_SIGNAL");
    log_call("kill %ld\n", signal != 0 ? signal : SIGTERM);
    kill(getpid(), static_cast<int>(signal != 0 ? signal : SIGTERM));
  }
  if (fails("write", write_calls)) {
    log_call("write fd=%d %zu -> error\n", fd, count);
    return -1;
  }
  const long most = setting("DUALROW_SHIM_WRITE_MAX");
  if (most > 0 && count > static_cast<size_t>(most)) count = static_cast<size_t>(most);
  const ssize_t written = next<ssize_t (*)(int, const void*, size_t)>("write")(fd, bytes, count);
  log_call("write fd=%d %zu -> %zd\n", fd, count, written);
  return written;
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  const auto call = next<int (*)(int, unsigned long, ...)>("ioctl");
  const bool get = request == TCGETS2 || request == TCGETS;
  if (!get && request != TCSETS2 && request != TCSETS) return call(fd, request, argument);
  long& calls = get ? tcgetattr_calls : tcsetattr_calls;
  const char* name = get ? "tcgetattr" : "tcsetattr";
  if (fails(name, ++calls)) {
    log_call("%s -> error\n", name);
    return -1;
  }
  const int result = call(fd, request, argument);
  if (result != 0 && errno == ENOSYS) {
    --calls;  // unknown to qemu-user: the tool asks again with the older call
    return result;
  }
  log_call("%s\n", name);
  if (result == 0 && request == TCGETS2) read_back(*static_cast<termios2*>(argument), calls);
  if (result == 0 && request == TCGETS) read_back(*static_cast<termios*>(argument), calls);
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

int tcdrain(int fd) {
  if (fails("tcdrain", ++tcdrain_calls)) {
    log_call("tcdrain -> error\n");
    return -1;
  }
  log_call("tcdrain\n");
  return next<int (*)(int)>("tcdrain")(fd);
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
