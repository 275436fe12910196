// libvarquin-faultshim.so: an LD_PRELOAD library that lets the stress driver make the bridge's
// file-system calls fail, kill the bridge in the middle of them, and log how long it holds the
// staging lock. It changes nothing unless it is told to through the environment:
//
//   VARQUIN_FAULT_PREFIX=<dir>        only calls on paths at or below <dir> match (required)
//   VARQUIN_FAULT_TARGET=<name>       only act in the program of that name (default: the bridge)
//   VARQUIN_FAULT_KIND=<k>[,<k>...]   kinds that match: create mkdir write sync rename remove
//                                     list lock read, or "any"
//   VARQUIN_FAULT_NTH=<n>             act on the n-th matching call (1-based; 0 or unset: never)
//   VARQUIN_FAULT_TIMES=<n>           act on n consecutive matching calls (0: all that follow)
//   VARQUIN_FAULT_ACTION=<a>          fail (default), kill-before or kill-after (SIGKILL), or
//                                     stall (the call waits, then runs: a slow disk or share)
//   VARQUIN_FAULT_STALL_MS=<n>        how long a stalled call waits (default 1000)
//   VARQUIN_FAULT_ERRNO=<n>           the error a failed call reports (default EIO)
//   VARQUIN_FAULT_KILL_AFTER_NS=<n>   SIGKILL n nanoseconds after the first matching call
//   VARQUIN_FAULT_TRACE=<file>        append "<index> <kind> <monotonic ns> <path>" for every
//                                     matching call, and
//                                     "fault ...", "kill ..." or "stall ..." when it acts
//   VARQUIN_FAULT_LOCK_LOG=<file>     append "hold <pid> <from> <to>" for every staging-lock hold,
//                                     "wait <pid> <from> <to>" for every wait that ended in the
//                                     lock, "gave-up <pid> <from> <to>" for one that did not
//                                     (CLOCK_MONOTONIC nanoseconds)
//
// It is built without sanitizers; an ASan bridge needs ASAN_OPTIONS=verify_asan_link_order=0.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Kind : unsigned {
  kCreate = 1u << 0,
  kMkdir = 1u << 1,
  kWrite = 1u << 2,
  kSync = 1u << 3,
  kRename = 1u << 4,
  kRemove = 1u << 5,
  kList = 1u << 6,
  kLock = 1u << 7,
  kRead = 1u << 8,
};

struct KindName {
  Kind kind;
  const char* name;
};
constexpr KindName kKindNames[] = {{kCreate, "create"}, {kMkdir, "mkdir"},   {kWrite, "write"},
                                   {kSync, "sync"},     {kRename, "rename"}, {kRemove, "remove"},
                                   {kList, "list"},     {kLock, "lock"},     {kRead, "read"}};

const char* kind_name(Kind kind) {
  for (const KindName& k : kKindNames) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

enum class Action { Fail, KillBefore, KillAfter, Stall };

struct Config {
  bool active = false;
  char prefix[4096] = {};
  std::size_t prefix_length = 0;
  unsigned kinds = 0;
  long nth = 0;
  long times = 1;
  Action action = Action::Fail;
  int error = EIO;
  long long kill_after_ns = 0;
  long stall_ms = 1000;
  int trace_fd = -1;
  int lock_log_fd = -1;
};

Config config;
std::atomic<long> matching_calls{0};
std::atomic<bool> timer_armed{false};

// The real functions, looked up past this library on first use.
template <typename F>
F next_symbol(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

#define REAL(name)                                          \
  ([] {                                                     \
    static auto fn = next_symbol<decltype(&::name)>(#name); \
    return fn;                                              \
  }())

void write_text(int fd, const char* text) {
  if (fd < 0) return;
  // One write per line with O_APPEND, so lines from concurrent processes never interleave.
  (void)REAL(write)(fd, text, std::strlen(text));
}

long long monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

long env_long(const char* name, long fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return std::strtol(value, nullptr, 10);
}

int open_log(const char* name) {
  const char* path = std::getenv(name);
  if (path == nullptr || *path == '\0') return -1;
  return REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

bool runs_in_target() {
  const char* target = std::getenv("VARQUIN_FAULT_TARGET");
  if (target == nullptr || *target == '\0') target = "varquin-browser-bridge";
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return false;
  exe[n] = '\0';
  const char* base = std::strrchr(exe, '/');
  return std::strcmp(base ? base + 1 : exe, target) == 0;
}

unsigned parse_kinds(const char* text) {
  if (text == nullptr) return 0;
  if (std::strcmp(text, "any") == 0) return ~0u;
  unsigned kinds = 0;
  for (const KindName& k : kKindNames) {
    const char* at = std::strstr(text, k.name);
    if (at != nullptr) kinds |= k.kind;
  }
  return kinds;
}

Action parse_action(const char* text) {
  if (text != nullptr && std::strcmp(text, "kill-before") == 0) return Action::KillBefore;
  if (text != nullptr && std::strcmp(text, "kill-after") == 0) return Action::KillAfter;
  if (text != nullptr && std::strcmp(text, "stall") == 0) return Action::Stall;
  return Action::Fail;
}

__attribute__((constructor)) void load_config() {
  const char* prefix = std::getenv("VARQUIN_FAULT_PREFIX");
  if (prefix == nullptr || *prefix == '\0' || !runs_in_target()) return;
  std::snprintf(config.prefix, sizeof config.prefix, "%s", prefix);
  config.prefix_length = std::strlen(config.prefix);
  while (config.prefix_length > 1 && config.prefix[config.prefix_length - 1] == '/') {
    config.prefix[--config.prefix_length] = '\0';
  }
  config.kinds = parse_kinds(std::getenv("VARQUIN_FAULT_KIND"));
  config.nth = env_long("VARQUIN_FAULT_NTH", 0);
  config.times = env_long("VARQUIN_FAULT_TIMES", 1);
  config.action = parse_action(std::getenv("VARQUIN_FAULT_ACTION"));
  config.error = static_cast<int>(env_long("VARQUIN_FAULT_ERRNO", EIO));
  config.kill_after_ns = env_long("VARQUIN_FAULT_KILL_AFTER_NS", 0);
  config.stall_ms = env_long("VARQUIN_FAULT_STALL_MS", 1000);
  config.trace_fd = open_log("VARQUIN_FAULT_TRACE");
  config.lock_log_fd = open_log("VARQUIN_FAULT_LOCK_LOG");
  config.active = true;
}

bool under_prefix(const char* path) {
  if (path == nullptr || std::strncmp(path, config.prefix, config.prefix_length) != 0) {
    return false;
  }
  char next = path[config.prefix_length];
  return next == '\0' || next == '/';
}

// The absolute path a descriptor was opened on, as the kernel reports it.
bool fd_path(int fd, char* out, std::size_t size) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = ::readlink(link, out, size - 1);
  if (n <= 0) return false;
  out[n] = '\0';
  return true;
}

// `name` as an absolute path, resolved against `dir_fd` when it is relative.
void at_path(int dir_fd, const char* name, char* out, std::size_t size) {
  if (name == nullptr) {
    out[0] = '\0';
    return;
  }
  if (name[0] == '/') {
    std::snprintf(out, size, "%s", name);
    return;
  }
  char base[4096];
  bool known = dir_fd == AT_FDCWD ? ::getcwd(base, sizeof base) != nullptr
                                  : fd_path(dir_fd, base, sizeof base);
  if (!known) base[0] = '\0';
  std::snprintf(out, size, "%s/%s", base, name);
}

void arm_timer() {
  if (config.kill_after_ns <= 0 || timer_armed.exchange(true)) return;
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGKILL;
  timer_t timer;
  if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return;
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(config.kill_after_ns / 1000000000LL);
  when.it_value.tv_nsec = static_cast<long>(config.kill_after_ns % 1000000000LL);
  (void)::timer_settime(timer, 0, &when, nullptr);
}

[[noreturn]] void die(long index, Kind kind, const char* path, const char* when) {
  char line[4400];
  std::snprintf(line, sizeof line, "kill %ld %s %s %s\n", index, kind_name(kind), when, path);
  write_text(config.trace_fd, line);
  ::kill(::getpid(), SIGKILL);
  for (;;) ::pause();
}

// What the wrapper should do with one call.
struct Decision {
  bool fail = false;
  bool kill_after = false;
  long index = 0;
  Kind kind = kCreate;
  char path[4096] = {};
};

Decision decide(Kind kind, const char* path) {
  Decision decision;
  if (!config.active || !under_prefix(path)) return decision;
  arm_timer();
  if ((config.kinds & kind) == 0) return decision;
  long index = ++matching_calls;
  decision.index = index;
  decision.kind = kind;
  std::snprintf(decision.path, sizeof decision.path, "%s", path);
  if (config.trace_fd >= 0) {
    char line[4400];
    std::snprintf(line, sizeof line, "%ld %s %lld %s\n", index, kind_name(kind), monotonic_ns(),
                  path);
    write_text(config.trace_fd, line);
  }
  bool hit = config.nth > 0 && index >= config.nth &&
             (config.times == 0 || index < config.nth + config.times);
  if (!hit) return decision;
  switch (config.action) {
    case Action::KillBefore:
      die(index, kind, path, "before");
    case Action::KillAfter:
      decision.kill_after = true;
      return decision;
    case Action::Stall: {
      char line[4400];
      std::snprintf(line, sizeof line, "stall %ld %s %ld %s\n", index, kind_name(kind),
                    config.stall_ms, path);
      write_text(config.trace_fd, line);
      timespec wait{config.stall_ms / 1000, (config.stall_ms % 1000) * 1000000L};
      while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
      }
      return decision;
    }
    case Action::Fail: {
      char line[4400];
      std::snprintf(line, sizeof line, "fault %ld %s %d %s\n", index, kind_name(kind), config.error,
                    path);
      write_text(config.trace_fd, line);
      decision.fail = true;
      return decision;
    }
  }
  return decision;
}

// Runs the real call unless the decision says to fail it; kills afterwards when asked to.
template <typename Call>
auto perform(const Decision& decision, Call call) {
  if (decision.fail) {
    errno = config.error;
    return static_cast<decltype(call())>(-1);
  }
  auto result = call();
  if (decision.kill_after) {
    int saved = errno;
    die(decision.index, decision.kind, decision.path, "after");
    errno = saved;
  }
  return result;
}

Decision decide_fd(Kind kind, int fd) {
  if (!config.active) return {};
  char path[4096];
  if (!fd_path(fd, path, sizeof path)) return {};
  return decide(kind, path);
}

Decision decide_at(Kind kind, int dir_fd, const char* name) {
  if (!config.active) return {};
  char path[4096];
  at_path(dir_fd, name, path, sizeof path);
  return decide(kind, path);
}

// ---- staging-lock log --------------------------------------------------------------------------

constexpr int kTrackedFds = 4096;
struct LockState {
  long long wait_started = 0;  // first refused attempt of the current wait
  long long held_since = 0;
};
LockState lock_states[kTrackedFds];

void log_interval(const char* what, long long from, long long to) {
  char line[128];
  std::snprintf(line, sizeof line, "%s %d %lld %lld\n", what, static_cast<int>(::getpid()), from,
                to);
  write_text(config.lock_log_fd, line);
}

void note_lock_call(int fd, int operation, int result, int error) {
  if (config.lock_log_fd < 0 || fd < 0 || fd >= kTrackedFds) return;
  LockState& state = lock_states[fd];
  long long now = monotonic_ns();
  if ((operation & LOCK_EX) != 0) {
    if (result == 0) {
      if (state.wait_started != 0) log_interval("wait", state.wait_started, now);
      state.wait_started = 0;
      state.held_since = now;
    } else if (error == EWOULDBLOCK && state.wait_started == 0) {
      state.wait_started = now;
    }
  } else if ((operation & LOCK_UN) != 0 && state.held_since != 0) {
    log_interval("hold", state.held_since, now);
    state.held_since = 0;
  }
}

void note_close(int fd) {
  if (config.lock_log_fd < 0 || fd < 0 || fd >= kTrackedFds) return;
  LockState& state = lock_states[fd];
  long long now = monotonic_ns();
  if (state.held_since != 0) log_interval("hold", state.held_since, now);
  if (state.wait_started != 0) log_interval("gave-up", state.wait_started, now);
  state = LockState{};
}

int open_mode_flags(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (open_mode_flags(flags)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  Decision d = (flags & O_CREAT) != 0 ? decide_at(kCreate, AT_FDCWD, path) : Decision{};
  return perform(d, [&] { return REAL(open)(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (open_mode_flags(flags)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  Decision d = (flags & O_CREAT) != 0 ? decide_at(kCreate, AT_FDCWD, path) : Decision{};
  return perform(d, [&] { return REAL(open64)(path, flags, mode); });
}

int openat(int dir_fd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (open_mode_flags(flags)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  Decision d = (flags & O_CREAT) != 0 ? decide_at(kCreate, dir_fd, path) : Decision{};
  return perform(d, [&] { return REAL(openat)(dir_fd, path, flags, mode); });
}

int openat64(int dir_fd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (open_mode_flags(flags)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  Decision d = (flags & O_CREAT) != 0 ? decide_at(kCreate, dir_fd, path) : Decision{};
  return perform(d, [&] { return REAL(openat64)(dir_fd, path, flags, mode); });
}

int mkdir(const char* path, mode_t mode) {
  Decision d = decide_at(kMkdir, AT_FDCWD, path);
  return perform(d, [&] { return REAL(mkdir)(path, mode); });
}

int mkdirat(int dir_fd, const char* path, mode_t mode) {
  Decision d = decide_at(kMkdir, dir_fd, path);
  return perform(d, [&] { return REAL(mkdirat)(dir_fd, path, mode); });
}

ssize_t write(int fd, const void* buffer, size_t count) {
  Decision d = decide_fd(kWrite, fd);
  return perform(d, [&] { return REAL(write)(fd, buffer, count); });
}

int fsync(int fd) {
  Decision d = decide_fd(kSync, fd);
  return perform(d, [&] { return REAL(fsync)(fd); });
}

int fdatasync(int fd) {
  Decision d = decide_fd(kSync, fd);
  return perform(d, [&] { return REAL(fdatasync)(fd); });
}

int rename(const char* from, const char* to) {
  Decision d = decide_at(kRename, AT_FDCWD, from);
  if (d.index == 0) d = decide_at(kRename, AT_FDCWD, to);
  return perform(d, [&] { return REAL(rename)(from, to); });
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  Decision d = decide_at(kRename, from_dir, from);
  if (d.index == 0) d = decide_at(kRename, to_dir, to);
  return perform(d, [&] { return REAL(renameat)(from_dir, from, to_dir, to); });
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  Decision d = decide_at(kRename, from_dir, from);
  if (d.index == 0) d = decide_at(kRename, to_dir, to);
  return perform(d, [&] { return REAL(renameat2)(from_dir, from, to_dir, to, flags); });
}

int unlink(const char* path) {
  Decision d = decide_at(kRemove, AT_FDCWD, path);
  return perform(d, [&] { return REAL(unlink)(path); });
}

int unlinkat(int dir_fd, const char* path, int flags) {
  Decision d = decide_at(kRemove, dir_fd, path);
  return perform(d, [&] { return REAL(unlinkat)(dir_fd, path, flags); });
}

int rmdir(const char* path) {
  Decision d = decide_at(kRemove, AT_FDCWD, path);
  return perform(d, [&] { return REAL(rmdir)(path); });
}

DIR* opendir(const char* path) {
  Decision d = decide_at(kList, AT_FDCWD, path);
  if (d.fail) {
    errno = config.error;
    return nullptr;
  }
  DIR* result = REAL(opendir)(path);
  if (d.kill_after) die(d.index, d.kind, d.path, "after");
  return result;
}

DIR* fdopendir(int fd) {
  Decision d = decide_fd(kList, fd);
  if (d.fail) {
    errno = config.error;
    return nullptr;
  }
  DIR* result = REAL(fdopendir)(fd);
  if (d.kill_after) die(d.index, d.kind, d.path, "after");
  return result;
}

ssize_t read(int fd, void* buffer, size_t count) {
  // Only looked at when asked for: the bridge reads its frames through here too.
  Decision d = (config.active && (config.kinds & kRead) != 0) ? decide_fd(kRead, fd) : Decision{};
  return perform(d, [&] { return REAL(read)(fd, buffer, count); });
}

int flock(int fd, int operation) {
  Decision d = decide_fd(kLock, fd);
  int result = perform(d, [&] { return REAL(flock)(fd, operation); });
  int error = errno;
  note_lock_call(fd, operation, result, error);
  errno = error;
  return result;
}

int close(int fd) {
  note_close(fd);
  return REAL(close)(fd);
}

}  // extern "C"
