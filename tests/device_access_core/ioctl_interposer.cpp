// The test binary's own ioctl: registered handlers first, the real ioctl for everything else.
#include "ioctl_interposer.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace vexil_test {
namespace {

struct Registry {
  std::mutex lock;
  std::map<int, IoctlHandler> by_fd;
  std::map<std::string, IoctlHandler> by_path;
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

// The handler for a descriptor, or none; copied out so it runs without the lock held.
bool find_handler(int fd, IoctlHandler* out) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.by_fd.find(fd);
  if (it == r.by_fd.end() && !r.by_path.empty()) {
    auto p = r.by_path.find(fd_path(fd));
    if (p != r.by_path.end()) {
      *out = p->second;
      r.handled++;
      return true;
    }
  }
  if (it == r.by_fd.end()) return false;
  *out = it->second;
  r.handled++;
  return true;
}

}  // namespace

void set_ioctl_handler_for_fd(int fd, IoctlHandler handler) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.by_fd[fd] = std::move(handler);
}

void set_ioctl_handler_for_path(const std::string& path, IoctlHandler handler) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.by_path[path] = std::move(handler);
}

void clear_ioctl_handlers() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.by_fd.clear();
  r.by_path.clear();
  r.handled = 0;
}

int handled_ioctl_calls() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.handled;
}

}  // namespace vexil_test

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  vexil_test::IoctlHandler handler;
  if (vexil_test::find_handler(fd, &handler)) return handler(fd, request, arg);
  using real_ioctl_t = int (*)(int, unsigned long, ...);
  static real_ioctl_t real = reinterpret_cast<real_ioctl_t>(dlsym(RTLD_NEXT, "ioctl"));
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, request, arg);
}
