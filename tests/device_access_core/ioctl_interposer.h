// An ioctl interposer for tests: the test binary defines ioctl itself, so production code keeps
// calling plain ioctl while a test answers the driver's requests. A handler is registered for one
// descriptor or for every descriptor opened on a path (matched through /proc/self/fd at the
// descriptor's first call, then by the file it refers to, so a busy descriptor costs no path
// lookup); every other call goes on to the real ioctl found with dlsym(RTLD_NEXT, "ioctl").
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vexil_test {

// Answers one request: the value ioctl returns (set errno yourself for -1).
using IoctlHandler = std::function<int(int fd, unsigned long request, void* arg)>;

void set_ioctl_handler_for_fd(int fd, IoctlHandler handler);
void set_ioctl_handler_for_path(const std::string& path, IoctlHandler handler);
void clear_ioctl_handlers();

// Opens of `node` (a device node a scenario made, with no kernel driver behind it) get a fresh
// memory file instead, and that descriptor's ioctls go to `handler`. The test binary's open()
// does the swap; every other path opens as usual. Cleared with the handlers.
void redirect_opens_of_path(const std::string& node, IoctlHandler handler);
// Opens of `node` fail with `error`, as a driver's open does when its device will not come up.
// Cleared with the handlers.
void fail_opens_of_path(const std::string& node, int error);
// The node a redirected descriptor was opened for, or "" for any other descriptor.
std::string redirected_node(int fd);
// How many descriptors of this process stand for redirected nodes.
int redirected_descriptors();

// Calls answered by a handler since the last clear_ioctl_handlers().
int handled_ioctl_calls();

// While one lives, usleep and sleep in this process return at once and only add up the time asked
// for, and time() is the whole second the scope began at plus the time asked for, so a test
// reaches the end of a bounded wait without sitting through its sleeps. Other sleeps, and these
// calls outside a scope, are real. `on_sleep`, when given, is called in the sleeping thread after
// each skipped sleep with the total asked for so far: a test acts at a moment of the wait.
class SkippedSleeps {
 public:
  explicit SkippedSleeps(std::function<void(unsigned long long asked_us)> on_sleep = nullptr);
  ~SkippedSleeps();
  SkippedSleeps(const SkippedSleeps&) = delete;
  SkippedSleeps& operator=(const SkippedSleeps&) = delete;
  // Microseconds asked for since the scope began.
  unsigned long long asked_us() const;
  // Sleeps asked for since the scope began.
  unsigned long sleeps() const;
};

// While one lives, the clocks as this process reads them (clock_gettime, gettimeofday, time) are
// off, the host's never touched: CLOCK_MONOTONIC and its kin run `monotonic_rate` times as fast as
// the real ones from the scope's start, and the wall clock moves when the test steps it, as an
// administrator or a time daemon would step the host's. A test built with
// VEXIL_PRELOAD_MONOTONIC_RATE runs its monotonic clocks that fast for the whole process, from
// load: preloaded into a program, a wait bound by time passed ends without that time passing.
class ShiftedClocks {
 public:
  explicit ShiftedClocks(unsigned monotonic_rate = 1);
  ~ShiftedClocks();
  ShiftedClocks(const ShiftedClocks&) = delete;
  ShiftedClocks& operator=(const ShiftedClocks&) = delete;
  // Moves the wall clock by `seconds`, forward or back, from now on.
  void step_wall_clock(long seconds);
};

// While one lives, every poll() of this process is recorded with the time-out it asks for, then
// made as usual: a test checks how long a wait may block without timing it.
class RecordedPolls {
 public:
  RecordedPolls();
  ~RecordedPolls();
  RecordedPolls(const RecordedPolls&) = delete;
  RecordedPolls& operator=(const RecordedPolls&) = delete;
  // The time-outs (ms) of the polls whose first descriptor was `fd`, in order.
  std::vector<int> timeouts(int fd) const;
};

// Clears the handlers when it goes out of scope.
struct IoctlHandlerScope {
  IoctlHandlerScope() = default;
  IoctlHandlerScope(const IoctlHandlerScope&) = delete;
  IoctlHandlerScope& operator=(const IoctlHandlerScope&) = delete;
  ~IoctlHandlerScope() { clear_ioctl_handlers(); }
};

}  // namespace vexil_test
