// The test binary's own ioctl (and open, usleep, sleep, poll and the clock reads): registered
// handlers first, the real calls for everything else.
#include "ioctl_interposer.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <limits.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vexil_test {
namespace {

using SharedHandler = std::shared_ptr<const IoctlHandler>;

// A descriptor whose path matched a path handler, kept with the file it was open on: later calls
// on it need no path lookup while it still refers to that file.
struct Resolved {
  dev_t dev;
  ino_t ino;
  SharedHandler handler;
};

struct Registry {
  std::mutex lock;
  std::map<int, SharedHandler> by_fd;
  std::map<std::string, SharedHandler> by_path;
  std::map<std::string, SharedHandler> redirected;  // device node -> handler
  std::map<std::string, int> failing;               // device node -> errno of its opens
  std::map<int, Resolved> resolved;
  int handled = 0;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: ioctl may run during exit
  return *r;
}

std::string fd_path(int fd) {
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof(target) - 1);
  if (n < 0) return {};
  return std::string(target, static_cast<size_t>(n));
}

// The handler for a descriptor, or none; shared out so it runs without the lock held.
SharedHandler find_handler(int fd) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.by_fd.find(fd);
  if (it != r.by_fd.end()) {
    r.handled++;
    return it->second;
  }
  if (r.by_path.empty()) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  auto known = r.resolved.find(fd);
  if (known != r.resolved.end() && known->second.dev == st.st_dev && known->second.ino == st.st_ino) {
    r.handled++;
    return known->second.handler;
  }
  auto p = r.by_path.find(fd_path(fd));
  if (p == r.by_path.end()) return nullptr;
  r.resolved[fd] = Resolved{st.st_dev, st.st_ino, p->second};
  r.handled++;
  return p->second;
}

}  // namespace

void set_ioctl_handler_for_fd(int fd, IoctlHandler handler) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.by_fd[fd] = std::make_shared<const IoctlHandler>(std::move(handler));
}

void set_ioctl_handler_for_path(const std::string& path, IoctlHandler handler) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.by_path[path] = std::make_shared<const IoctlHandler>(std::move(handler));
  r.resolved.clear();
}

void clear_ioctl_handlers() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.by_fd.clear();
  r.by_path.clear();
  r.redirected.clear();
  r.failing.clear();
  r.resolved.clear();
  r.handled = 0;
}

int handled_ioctl_calls() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.handled;
}

// A memory file's name carries the node it stands for; '/' cannot be part of it.
const char kStandInPrefix[] = "vexil-node:";

std::string stand_in_name(const std::string& node) {
  std::string name = kStandInPrefix + node;
  for (char& c : name)
    if (c == '/') c = '!';
  return name;
}

void redirect_opens_of_path(const std::string& node, IoctlHandler handler) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto shared = std::make_shared<const IoctlHandler>(std::move(handler));
  r.by_path["/memfd:" + stand_in_name(node) + " (deleted)"] = shared;
  r.redirected[node] = shared;
  r.resolved.clear();
}

void fail_opens_of_path(const std::string& node, int error) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.failing[node] = error;
}

std::string redirected_node(int fd) {
  const std::string prefix = std::string("/memfd:") + kStandInPrefix;
  std::string path = fd_path(fd);
  if (path.compare(0, prefix.size(), prefix) != 0) return {};
  path = path.substr(prefix.size());
  const std::string deleted = " (deleted)";
  if (path.size() >= deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  for (char& c : path)
    if (c == '!') c = '/';
  return path;
}

int redirected_descriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.' && !redirected_node(atoi(e->d_name)).empty()) n++;
  closedir(dir);
  return n;
}

// -2: not redirected; else the stand-in descriptor (or -1 with errno).
int open_stand_in(const char* path, int flags) {
  if (!path) return -2;
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    auto failing = r.failing.find(path);
    if (failing != r.failing.end()) {
      errno = failing->second;
      return -1;
    }
    if (r.redirected.empty() || r.redirected.find(path) == r.redirected.end()) return -2;
  }
  struct stat st;
  if (stat(path, &st) != 0) return -1;  // the node must exist: the client made it
  return memfd_create(stand_in_name(path).c_str(), (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
}

int real_clock_gettime(clockid_t clock, timespec* out) {
  using real_t = int (*)(clockid_t, timespec*);
  static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "clock_gettime"));
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(clock, out);
}

long long real_monotonic_ns() {
  timespec now;
  real_clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The clocks as ShiftedClocks leaves them: monotonic readings run `monotonic_rate` times as fast
// from `rate_from_ns` on the real clock, and the wall clock reads `wall_step_s` off.
std::atomic<unsigned> monotonic_rate{1};
std::atomic<long long> rate_from_ns{0};
std::atomic<long> wall_step_s{0};

bool is_monotonic(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_MONOTONIC_RAW ||
         clock == CLOCK_BOOTTIME;
}

void shift(clockid_t clock, timespec* ts) {
  if (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE) {
    ts->tv_sec += wall_step_s;
  } else if (is_monotonic(clock) && monotonic_rate != 1) {
    const long long read_ns = ts->tv_sec * 1000000000LL + ts->tv_nsec;
    const long long from = rate_from_ns;
    const long long ns = from + (read_ns - from) * monotonic_rate;
    ts->tv_sec = ns / 1000000000;
    ts->tv_nsec = ns % 1000000000;
  }
}

#ifdef VEXIL_PRELOAD_MONOTONIC_RATE
__attribute__((constructor)) void run_monotonic_clocks_fast() {
  rate_from_ns = real_monotonic_ns();
  monotonic_rate = VEXIL_PRELOAD_MONOTONIC_RATE;
}
#endif

std::atomic<bool> skipping_sleeps{false};
std::atomic<unsigned long long> skipped_us{0};
std::atomic<unsigned long> skipped_sleeps{0};
std::atomic<time_t> skipping_from{0};

time_t real_time() {
  timespec now;
  real_clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

std::function<void(unsigned long long)> on_skipped_sleep;

bool skip_sleep(unsigned long long us) {
  if (!skipping_sleeps) return false;
  skipped_us += us;
  ++skipped_sleeps;
  if (on_skipped_sleep) on_skipped_sleep(skipped_us);
  return true;
}

SkippedSleeps::SkippedSleeps(std::function<void(unsigned long long)> on_sleep) {
  skipped_us = 0;
  skipped_sleeps = 0;
  skipping_from = real_time();
  on_skipped_sleep = std::move(on_sleep);
  skipping_sleeps = true;
}

SkippedSleeps::~SkippedSleeps() {
  skipping_sleeps = false;
  on_skipped_sleep = nullptr;
}

unsigned long long SkippedSleeps::asked_us() const { return skipped_us; }

unsigned long SkippedSleeps::sleeps() const { return skipped_sleeps; }

ShiftedClocks::ShiftedClocks(unsigned rate) {
  wall_step_s = 0;
  rate_from_ns = real_monotonic_ns();
  monotonic_rate = rate;
}

ShiftedClocks::~ShiftedClocks() {
  monotonic_rate = 1;
  wall_step_s = 0;
}

void ShiftedClocks::step_wall_clock(long seconds) { wall_step_s += seconds; }

std::atomic<bool> recording_polls{false};
std::mutex polls_lock;
std::vector<std::pair<int, int>> recorded_polls;  // first descriptor, time-out

// The array is not const: the C library declares poll's array write-only, and the compiler takes
// handing it on as read-only for a read of uninitialised memory.
void record_poll(pollfd* fds, nfds_t count, int timeout) {
  if (!recording_polls || count == 0 || !fds) return;
  std::lock_guard<std::mutex> guard(polls_lock);
  recorded_polls.emplace_back(fds[0].fd, timeout);
}

RecordedPolls::RecordedPolls() {
  std::lock_guard<std::mutex> guard(polls_lock);
  recorded_polls.clear();
  recording_polls = true;
}

RecordedPolls::~RecordedPolls() { recording_polls = false; }

std::vector<int> RecordedPolls::timeouts(int fd) const {
  std::lock_guard<std::mutex> guard(polls_lock);
  std::vector<int> out;
  for (const auto& p : recorded_polls)
    if (p.first == fd) out.push_back(p.second);
  return out;
}

}  // namespace vexil_test

extern "C" int usleep(useconds_t us) {
  if (vexil_test::skip_sleep(us)) return 0;
  using real_usleep_t = int (*)(useconds_t);
  static real_usleep_t real = reinterpret_cast<real_usleep_t>(dlsym(RTLD_NEXT, "usleep"));
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(us);
}

extern "C" unsigned int sleep(unsigned int seconds) {
  if (vexil_test::skip_sleep(seconds * 1000000ull)) return 0;
  using real_sleep_t = unsigned int (*)(unsigned int);
  static real_sleep_t real = reinterpret_cast<real_sleep_t>(dlsym(RTLD_NEXT, "sleep"));
  return real ? real(seconds) : seconds;
}

extern "C" time_t time(time_t* out) {
  using vexil_test::skipped_us;
  const time_t now = (vexil_test::skipping_sleeps
                          ? vexil_test::skipping_from + static_cast<time_t>(skipped_us / 1000000)
                          : vexil_test::real_time()) +
                     vexil_test::wall_step_s;
  if (out) *out = now;
  return now;
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* out) {
  const int rc = vexil_test::real_clock_gettime(clock, out);
  if (rc == 0) vexil_test::shift(clock, out);
  return rc;
}

extern "C" int gettimeofday(struct timeval* out, void* zone) {
  (void)zone;  // obsolete, and never filled by Linux
  timespec now;
  const int rc = clock_gettime(CLOCK_REALTIME, &now);
  if (rc == 0) {
    out->tv_sec = now.tv_sec;
    out->tv_usec = now.tv_nsec / 1000;
  }
  return rc;
}

namespace {

using real_open_t = int (*)(const char*, int, ...);

int open_through(const char* symbol, const char* path, int flags, mode_t mode) {
  const int stand_in = vexil_test::open_stand_in(path, flags);
  if (stand_in != -2) return stand_in;
  real_open_t real = reinterpret_cast<real_open_t>(dlsym(RTLD_NEXT, symbol));
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(path, flags, mode);
}

mode_t mode_argument(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  return open_through("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  return open_through("open64", path, flags, mode);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (const auto handler = vexil_test::find_handler(fd)) return (*handler)(fd, request, arg);
  using real_ioctl_t = int (*)(int, unsigned long, ...);
  static real_ioctl_t real = reinterpret_cast<real_ioctl_t>(dlsym(RTLD_NEXT, "ioctl"));
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, request, arg);
}

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout) {
  vexil_test::record_poll(fds, count, timeout);
  using real_poll_t = int (*)(struct pollfd*, nfds_t, int);
  static real_poll_t real = reinterpret_cast<real_poll_t>(dlsym(RTLD_NEXT, "poll"));
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(fds, count, timeout);
}
