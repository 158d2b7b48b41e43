// The user-level PCI path over fake sysfs functions in a private mount namespace: lock files and
// their locking, the BAR mapped from a sparse resource0 file (CR window bounds, signature check,
// the oldest NICs' flush), the GPU BAR, in-band register access and the open's refusals.
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "ioctl_interposer.h"
#include "mtcr_int.h"
#include "pci_ul.h"
#include "simulated_driver.h"

namespace {

using vexil_test::get_be32;
using vexil_test::holds_descriptor_on;
using vexil_test::put_be32;

constexpr const char* kAddress = "0000:03:00.0";
const std::string kDir = std::string("/sys/bus/pci/devices/") + kAddress;
const std::string kResource0 = kDir + "/resource0";
const std::string kLockDir = "/tmp/brasquet_lockfiles";
constexpr uint32_t kMiB = 0x100000;

void add_function(uint64_t resource0_size, uint16_t device = 0x101d) {
  vexil_test::FakePciFunction fn;
  fn.address = kAddress;
  fn.device = device;
  fn.resource0_size = resource0_size;
  vexil_test::add_pci_function(fn);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A function whose BAR holds `hw_id` at the hardware-id dword, opened by its resource0 file.
mfile* open_bar(uint32_t hw_id) {
  put_be32(kResource0, 0xF0014, hw_id);
  return mopen_ul(kResource0.c_str());
}

const std::string kFallbackDir = "/run/brasquet_lockfiles";
const std::string kFile = "/0000:03:00.0_config";

bool same_file(int fd, const std::string& path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// kAddress's configuration lock as one process opens it, its warning dropped.
lock_pair open_lock() {
  lock_pair lock = no_lock_pair();
  vexil_test::CapturedStream err(2);
  create_lock_file(kAddress, LOCK_KIND_CONFIG, &lock);
  return lock;
}

// Whether a process that opens the lock now finds it taken (an open file of its own stands for
// it: flock locks of two open files conflict), without waiting.
bool kept_out() {
  lock_pair own = open_lock();
  const bool out = flock_wait(own, LOCK_EX, 0) == -1 && errno == EWOULDBLOCK;
  close_lock_pair(&own);
  return out;
}

// One create_lock_file of kAddress's configuration lock: which files it gave ("run+tmp", "run",
// "tmp" or "" for none), what it warned, and whether a second process, taking the lock by the
// same name, is kept out while this one holds it.
struct Taken {
  std::string where;
  std::string warning;
  bool excludes = false;
};

Taken take_lock() {
  Taken t;
  lock_pair lock = no_lock_pair();
  {
    vexil_test::CapturedStream err(2);
    create_lock_file(kAddress, LOCK_KIND_CONFIG, &lock);
    t.warning = err.text();
  }
  if (lock.run_fd >= 0) t.where = same_file(lock.run_fd, kFallbackDir + kFile) ? "run" : "?";
  if (lock.tmp_fd >= 0) t.where += std::string(t.where.empty() ? "" : "+") +
                                   (same_file(lock.tmp_fd, kLockDir + kFile) ? "tmp" : "?");
  if (flock_int(lock, LOCK_EX) == 0) {
    const pid_t child = fork();
    if (child == 0) _exit(kept_out() ? 0 : 1);
    int status = -1;
    t.excludes = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                 WEXITSTATUS(status) == 0;
  }
  close_lock_pair(&lock);
  return t;
}

const std::string kFellBack =
    "Warrning: Failed to create lockfile: /tmp/brasquet_lockfiles/0000:03:00.0_config (using "
    "/run/brasquet_lockfiles/0000:03:00.0_config instead)\n";

TEST(LockFiles, CreatedInTheirDirectoryAndNeverThroughALink) {
  auto result = vexil_test::run_in_private_namespace([] {
    lock_pair lock = no_lock_pair();
    ASSERT_EQ(create_lock_file(kAddress, LOCK_KIND_CONFIG, &lock), 0);
    EXPECT_TRUE(same_file(lock.run_fd, kFallbackDir + kFile));
    EXPECT_TRUE(same_file(lock.tmp_fd, kLockDir + kFile));
    EXPECT_EQ(fcntl(lock.run_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "not inherited by programs we run";
    EXPECT_EQ(fcntl(lock.tmp_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close_lock_pair(&lock);
    EXPECT_EQ(lock.run_fd, -1);
    EXPECT_EQ(lock.tmp_fd, -1);
    ASSERT_EQ(create_lock_file(kAddress, LOCK_KIND_MEM, &lock), 0);
    EXPECT_TRUE(exists(kLockDir + "/0000:03:00.0_mem"));
    EXPECT_TRUE(exists(kFallbackDir + "/0000:03:00.0_mem"));
    close_lock_pair(&lock);

    // A link planted where the lock file goes is not followed: the lock is taken under /run alone.
    ASSERT_EQ(unlink((kLockDir + kFile).c_str()), 0);
    ASSERT_EQ(symlink("/tmp/victim", (kLockDir + kFile).c_str()), 0);
    Taken t = take_lock();
    EXPECT_EQ(t.where, "run");
    EXPECT_EQ(t.warning, kFellBack);
    EXPECT_TRUE(t.excludes);
    EXPECT_FALSE(exists("/tmp/victim"));

    // Nor is a link in place of the directory.
    ASSERT_EQ(rename(kLockDir.c_str(), "/tmp/old_locks"), 0);
    vexil_test::make_dirs("/tmp/elsewhere");
    ASSERT_EQ(symlink("/tmp/elsewhere", kLockDir.c_str()), 0);
    t = take_lock();
    EXPECT_EQ(t.where, "run");
    EXPECT_TRUE(t.excludes);
    EXPECT_FALSE(exists("/tmp/elsewhere/0000:03:00.0_config"));

    // With neither directory to be had, no lock, a warning and -1.
    ASSERT_EQ(chown("/run", 65534, 65534), 0);
    ASSERT_EQ(unlink((kFallbackDir + kFile).c_str()), 0);
    t = take_lock();
    EXPECT_EQ(t.where, "");
    EXPECT_EQ(t.warning,
              "Warrning: Failed to create lockfile: /tmp/brasquet_lockfiles/0000:03:00.0_config "
              "(parallel access not supported)\n");
    lock.run_fd = lock.tmp_fd = 7;
    EXPECT_EQ(create_lock_file(kAddress, LOCK_KIND_CONFIG, &lock), -1);
    EXPECT_EQ(lock.run_fd, -1) << "no lock is -1, never a descriptor number";
    EXPECT_EQ(lock.tmp_fd, -1);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Only root can place, swap or hold a lock: what another local user plants in /tmp is refused at
// once (never waited on) and the lock is taken under /run alone, where every process finds the
// same file. A directory of root's that others may write is closed to them and used.
TEST(LockFiles, NothingAnotherUserPlantsIsTaken) {
  vexil_test::ScenarioOptions quick;
  quick.timeout_seconds = 20;  // a FIFO opened without O_NONBLOCK would hang here for good
  auto result = vexil_test::run_in_private_namespace([] {
    constexpr uid_t kNobody = 65534;
    const std::string lock = kLockDir + kFile;
    auto mode_of = [](const std::string& path) {
      struct stat st;
      return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    auto expect_taken = [](const char* where, const char* why) {
      const Taken t = take_lock();
      EXPECT_EQ(t.where, where) << why;
      EXPECT_EQ(t.warning, std::string(where) == "run" ? kFellBack : "") << why;
      EXPECT_TRUE(t.excludes) << why;
    };

    // Made by root: the directories closed to others, the files root's alone.
    ::umask(0);
    expect_taken("run+tmp", "made here");
    EXPECT_EQ(mode_of(kLockDir), 0755u);
    EXPECT_EQ(mode_of(lock), 0600u);
    EXPECT_EQ(mode_of(kFallbackDir), 0755u);
    EXPECT_EQ(mode_of(kFallbackDir + kFile), 0600u);

    // Left open to everyone by a peer that makes it 0777: closed, and used.
    ASSERT_EQ(chmod(kLockDir.c_str(), 0777), 0);
    expect_taken("run+tmp", "root's directory that anyone may write");
    EXPECT_EQ(mode_of(kLockDir), 0755u);

    // A directory another user made (after a boot /tmp is empty) with a FIFO in the file's place.
    ASSERT_EQ(unlink(lock.c_str()), 0);
    ASSERT_EQ(rmdir(kLockDir.c_str()), 0);
    ASSERT_EQ(mkdir(kLockDir.c_str(), 0777), 0);
    ASSERT_EQ(chown(kLockDir.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0);
    expect_taken("run", "another user's directory");
    EXPECT_EQ(mode_of(kLockDir), 0777u) << "not ours to change";
    ASSERT_EQ(chown(kLockDir.c_str(), 0, 0), 0);
    expect_taken("run", "a FIFO planted while root's directory was open");
    EXPECT_EQ(mode_of(kLockDir), 0755u);
    ASSERT_EQ(chmod(kLockDir.c_str(), 01777), 0);
    expect_taken("run", "a FIFO in a sticky directory");
    EXPECT_EQ(mode_of(kLockDir), 01777u);
    ASSERT_EQ(unlink(lock.c_str()), 0);

    // Another user's file, and a file of root's that others may open and hold the lock on.
    vexil_test::add_file(lock, "", 0600);
    ASSERT_EQ(chown(lock.c_str(), kNobody, kNobody), 0);
    expect_taken("run", "another user's file");
    ASSERT_EQ(chown(lock.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(lock.c_str(), 0777), 0);
    expect_taken("run+tmp", "an older run's file is root's");
    EXPECT_EQ(mode_of(lock), 0600u) << "and is closed to others";
    ASSERT_EQ(chmod(lock.c_str(), 0644), 0);
    ASSERT_EQ(link(lock.c_str(), "/tmp/elsewhere"), 0);
    expect_taken("run", "a file also linked elsewhere keeps its mode");
    EXPECT_EQ(mode_of("/tmp/elsewhere"), 0644u);
  }, quick);
  VEXIL_EXPECT_SCENARIO(result);
}

// Two processes meet whichever directories each could have when it opened the lock: /tmp's
// taken over and given back between their opens (either way round), /run unusable for one of
// them, a peer that locks /tmp's file alone, or one directory under both paths.
TEST(LockFiles, ProcessesMeetWhicheverDirectoriesEachCouldHave) {
  auto result = vexil_test::run_in_private_namespace([] {
    auto tmp_taken_over = [](bool over) {
      ASSERT_EQ(chown(kLockDir.c_str(), over ? 65534 : 0, 0), 0);
    };
    lock_pair probe = open_lock();  // makes both directories
    close_lock_pair(&probe);

    for (bool holder_had_tmp : {false, true}) {
      SCOPED_TRACE(holder_had_tmp ? "the holder had both" : "the holder had /run alone");
      tmp_taken_over(!holder_had_tmp);
      lock_pair holder = open_lock();
      ASSERT_EQ(holder.tmp_fd >= 0, holder_had_tmp);
      ASSERT_EQ(flock_int(holder, LOCK_EX), 0);
      tmp_taken_over(holder_had_tmp);
      EXPECT_TRUE(kept_out());
      close_lock_pair(&holder);
      EXPECT_FALSE(kept_out());
    }
    tmp_taken_over(false);

    // /run unusable: /tmp's file alone, without a word, still meets a process that has both.
    lock_pair holder = open_lock();
    ASSERT_EQ(flock_int(holder, LOCK_EX), 0);
    ASSERT_EQ(chown("/run", 65534, 65534), 0);
    {
      vexil_test::CapturedStream err(2);
      lock_pair own = no_lock_pair();
      ASSERT_EQ(create_lock_file(kAddress, LOCK_KIND_CONFIG, &own), 0);
      EXPECT_EQ(own.run_fd, -1);
      EXPECT_EQ(flock_wait(own, LOCK_EX, 0), -1);
      close_lock_pair(&own);
      EXPECT_EQ(err.text(), "");
    }
    ASSERT_EQ(chown("/run", 0, 0), 0);
    close_lock_pair(&holder);

    // A peer that locks /tmp's file alone keeps us out, and /run's file is given back when /tmp's
    // cannot be had; while we hold the lock the peer is kept out.
    const int peer = open((kLockDir + kFile).c_str(), O_RDONLY);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(flock(peer, LOCK_EX | LOCK_NB), 0);
    lock_pair own = open_lock();
    {
      vexil_test::CapturedStream out(1);
      EXPECT_EQ(flock_int(own, LOCK_EX), -1);
      EXPECT_EQ(out.text(), "failed to perform lock operation. errno 11\n");
    }
    const int run_file = open((kFallbackDir + kFile).c_str(), O_RDONLY);
    EXPECT_EQ(flock(run_file, LOCK_EX | LOCK_NB), 0) << "/run's lock was given back";
    close(run_file);
    ASSERT_EQ(flock(peer, LOCK_UN), 0);
    ASSERT_EQ(flock_int(own, LOCK_EX), 0);
    EXPECT_EQ(flock(peer, LOCK_EX | LOCK_NB), -1);
    ASSERT_EQ(flock_int(own, LOCK_UN), 0);
    EXPECT_EQ(flock(peer, LOCK_EX | LOCK_NB), 0);
    close_lock_pair(&own);
    close(peer);

    // One directory under both paths (a container that maps one folder to both): the pair's two
    // files are one, taken once, and another process is still kept out.
    ASSERT_EQ(mount(kFallbackDir.c_str(), kLockDir.c_str(), nullptr, MS_BIND, nullptr), 0);
    vexil_test::CapturedStream out(1);
    const Taken t = take_lock();
    EXPECT_EQ(t.where, "run");
    EXPECT_EQ(t.warning, "");
    EXPECT_TRUE(t.excludes);
    EXPECT_EQ(out.text(), "");
  });
  VEXIL_EXPECT_SCENARIO(result);
}

long long monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// A timed wait lasts as long as it says on the clock, however short the sleeps between its
// attempts turn out (here they return at once) and wherever the wall clock is stepped meanwhile
// (an hour on would end it at once, an hour back stretch it: past 10 s the holder lets go, and
// such a wait would take the lock), and gives nothing back held; an ending signal waiting while
// the thread holds them back ends it at once.
TEST(LockFiles, TimedWaitIsBoundByTimePassed) {
  auto result = vexil_test::run_in_private_namespace([] {
    lock_pair holder = open_lock();
    lock_pair own = open_lock();
    for (long step : {3600L, -3600L}) {
      SCOPED_TRACE("wall clock stepped by " + std::to_string(step) + " s");
      ASSERT_EQ(flock(holder.tmp_fd, LOCK_EX), 0);
      vexil_test::ShiftedClocks clocks;
      const long long start = monotonic_ms();
      {
        bool stepped = false;
        vexil_test::SkippedSleeps sleeps([&](unsigned long long) {
          if (!stepped) clocks.step_wall_clock(step);
          stepped = true;
          if (monotonic_ms() - start > 10000) flock(holder.tmp_fd, LOCK_UN);
        });
        errno = 0;
        EXPECT_EQ(flock_wait(own, LOCK_EX, 200000), -1);
        EXPECT_EQ(errno, EWOULDBLOCK);
        EXPECT_TRUE(stepped);
      }
      EXPECT_GE(monotonic_ms() - start, 200);
      EXPECT_EQ(flock(holder.run_fd, LOCK_EX | LOCK_NB), 0) << "/run's lock was given back";
      ASSERT_EQ(flock(holder.run_fd, LOCK_UN), 0);
    }

    signal_hold hold = {};
    signal_hold_take(&hold);
    raise(SIGTERM);
    {
      vexil_test::SkippedSleeps sleeps;
      errno = 0;
      EXPECT_EQ(flock_wait(own, LOCK_EX, 5000000), -1);
      EXPECT_EQ(errno, EINTR);
      EXPECT_EQ(sleeps.sleeps(), 0u);
    }
    EXPECT_EQ(flock(holder.run_fd, LOCK_EX | LOCK_NB), 0) << "/run's lock was given back";
    signal(SIGTERM, SIG_IGN);  // drops the pending signal
    signal_hold_give(&hold);
    close_lock_pair(&own);
    close_lock_pair(&holder);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(LockFiles, FlockRetriesWhileAnotherProcessHoldsTheLock) {
  auto result = vexil_test::run_in_private_namespace([] {
    EXPECT_EQ(flock_int(no_lock_pair(), LOCK_EX), 0) << "a handle without a lock file takes no lock";
    lock_pair lock = no_lock_pair();
    ASSERT_EQ(create_lock_file(kAddress, LOCK_KIND_CONFIG, &lock), 0);

    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
      int own = open((kFallbackDir + kFile).c_str(), O_RDONLY);
      char c = flock(own, LOCK_EX) == 0 ? 'y' : 'n';
      (void)!write(ready[1], &c, 1);
      (void)!read(release[0], &c, 1);
      _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    {
      vexil_test::CapturedStream out(1);
      vexil_test::SkippedSleeps sleeps;
      EXPECT_EQ(flock_int(lock, LOCK_EX), -1);
      EXPECT_EQ(out.text(), "failed to perform lock operation. errno 11\n");
      EXPECT_EQ(sleeps.sleeps(), 4095u) << "4096 attempts";
    }
    ASSERT_EQ(write(release[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(flock_int(lock, LOCK_EX), 0);
    EXPECT_EQ(flock_int(lock, LOCK_UN), 0);
    close_lock_pair(&lock);
    {
      vexil_test::CapturedStream out(1);
      lock_pair closed = {9999, -1};
      EXPECT_EQ(flock_int(closed, LOCK_EX), -1) << "a descriptor that is not open is not retried";
      EXPECT_EQ(out.text(), "failed to perform lock operation. errno 9\n");
    }
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(BarOpen, SparseResource0IsTheCrWindow) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kMiB);
    mfile* mf = open_bar(0x212);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCI_MEMORY);
    EXPECT_EQ(mf->flags, (uint32_t)DEVFLAG_PCI);
    EXPECT_EQ(mf->map_len, kMiB);
    EXPECT_TRUE(exists(kLockDir + "/0000:03:00.0_mem"));
    ASSERT_NE(mf->dinfo, nullptr);
    EXPECT_EQ(mf->dinfo->dev_id, 0x101d);

    uint32_t v = 0;
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0x212u);
    ASSERT_EQ(mwrite4(mf, 0x100, 0x11223344), 4);
    EXPECT_EQ(get_be32(kResource0, 0x100), 0x11223344u) << "big-endian in the device";
    put_be32(kResource0, kMiB - 4, 0xA5A5A5A5);
    ASSERT_EQ(mread4(mf, kMiB - 4, &v), 4);
    EXPECT_EQ(v, 0xA5A5A5A5u);

    // The last three bytes and everything past the window are refused (result 0, EINVAL).
    for (uint32_t bad : {kMiB - 3, kMiB - 2, kMiB - 1, kMiB, 0xFFFFFFFCu, 2u}) {
      v = 0x5A5A5A5A;
      errno = 0;
      EXPECT_EQ(mread4(mf, bad, &v), 0) << std::hex << bad;
      EXPECT_EQ(errno, EINVAL) << std::hex << bad;
      EXPECT_EQ(v, 0x5A5A5A5Au) << "the output is left as it was";
      errno = 0;
      EXPECT_EQ(mwrite4(mf, bad, 1), 0) << std::hex << bad;
      EXPECT_EQ(errno, EINVAL);
    }

    uint32_t block[4] = {1, 2, 3, 4}, back[4] = {};
    ASSERT_EQ(mwrite4_block(mf, 0x200, block, 16), 16);
    ASSERT_EQ(mread4_block(mf, 0x200, back, 16), 16);
    EXPECT_EQ(memcmp(block, back, 16), 0);
    errno = 0;
    EXPECT_EQ(mread4_block(mf, 0x200, back, 10), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mread4_block(mf, kMiB - 8, back, 16), -1) << "a block running off the window";
    uint8_t bytes[8];
    ASSERT_EQ(mread_buffer(mf, 0x100, bytes, 8), 8);
    EXPECT_EQ(bytes[0], 0x11);
    EXPECT_EQ(bytes[3], 0x44);

    // The BAR took its configuration space as secondary, with that one's lock file: the close
    // lets go of both lock files, the map and both function files.
    EXPECT_EQ(mf->secondary_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_TRUE(holds_descriptor_on(kLockDir + "/0000:03:00.0_mem"));
    EXPECT_TRUE(holds_descriptor_on(kLockDir + "/0000:03:00.0_config"));
    EXPECT_EQ(mclose(mf), 0);
    EXPECT_FALSE(holds_descriptor_on(kLockDir + "/0000:03:00.0_mem"));
    EXPECT_FALSE(holds_descriptor_on(kLockDir + "/0000:03:00.0_config"));
    EXPECT_FALSE(holds_descriptor_on(kResource0));
    EXPECT_FALSE(holds_descriptor_on(kDir + "/config"));
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(BarOpen, SignatureCheckAndTheOldestNicsFlush) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kMiB);
    for (uint32_t unusable : {0xFFFFFFFFu, 0xBADACCE5u}) {
      errno = 0;
      EXPECT_EQ(open_bar(unusable), nullptr) << std::hex << unusable;
      EXPECT_EQ(errno, EIO);
    }

    put_be32(kResource0, 0xF0380, 5);
    mfile* mf = open_bar(0xBAD0CAFE);
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->ul_ctx->needs_flush, 0);
    EXPECT_EQ(get_be32(kResource0, 0xF0380), 5u) << "no flush for a usable, newer device";
    mclose(mf);

    for (uint32_t oldest : {0x1F5u, 0x301F7u, 0xA00190u}) {
      put_be32(kResource0, 0xF0380, 7);
      mf = open_bar(oldest);
      ASSERT_NE(mf, nullptr) << std::hex << oldest;
      EXPECT_EQ(mf->ul_ctx->needs_flush, 1);
      EXPECT_EQ(get_be32(kResource0, 0xF0380), 0u) << "the open flushed once";

      // Reads flush only after a write.
      put_be32(kResource0, 0xF0380, 9);
      uint32_t v = 0;
      ASSERT_EQ(mread4(mf, 0x10, &v), 4);
      EXPECT_EQ(get_be32(kResource0, 0xF0380), 9u);
      ASSERT_EQ(mwrite4(mf, 0x10, 3), 4);
      EXPECT_EQ(mf->ul_ctx->flush_pending, 1);
      ASSERT_EQ(mread4(mf, 0x10, &v), 4);
      EXPECT_EQ(v, 3u);
      EXPECT_EQ(get_be32(kResource0, 0xF0380), 0u) << "the read flushed first";
      EXPECT_EQ(mf->ul_ctx->flush_pending, 0);
      mclose(mf);
    }

    setenv("TARNEL_FLUSH", "0", 1);
    put_be32(kResource0, 0xF0380, 7);
    mf = open_bar(0x1F5);
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->ul_ctx->needs_flush, 0);
    EXPECT_EQ(get_be32(kResource0, 0xF0380), 7u);
    mclose(mf);
    unsetenv("TARNEL_FLUSH");
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(BarOpen, ShortOrMissingResourceAndNoLockDirectory) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(64 * 1024);
    errno = 0;
    EXPECT_EQ(mopen_ul(kResource0.c_str()), nullptr) << "a 1 MiB window over a 64 KiB BAR";
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(unlink(kResource0.c_str()), 0);
    errno = 0;
    EXPECT_EQ(mopen_ul(kResource0.c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);

    // With no usable lock directory (in /tmp nor in /run) the open warns and goes on without a lock.
    add_function(kMiB);
    for (const std::string& dir : {kLockDir, kFallbackDir}) {
      unlink((dir + "/0000:03:00.0_mem").c_str());
      ASSERT_EQ(rmdir(dir.c_str()), 0);
    }
    vexil_test::add_file(kLockDir, "not a directory");
    vexil_test::add_file(kFallbackDir, "not a directory");
    vexil_test::CapturedStream err(2);
    mfile* mf = open_bar(0x1F5);
    EXPECT_NE(err.text().find("Warrning: Failed to create lockfile: "), std::string::npos);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->ul_ctx->lock_fd.run_fd, -1);
    EXPECT_EQ(mf->ul_ctx->lock_fd.tmp_fd, -1);
    ASSERT_EQ(mwrite4(mf, 0x20, 1), 4);
    uint32_t v = 0;
    EXPECT_EQ(mread4(mf, 0x20, &v), 4) << "the flush runs without a lock";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(LegacyWindow, AddressAndDataThroughConfigurationSpace) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(0);  // a plain configuration file: no vendor-specific capability
    const std::string config = kDir + "/config";
    mfile* mf = mopen_ul(config.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->vsec_supported, 0u);
    EXPECT_EQ(mf->ul_ctx->conf_gw_data_first, 0) << "the address reads back as written";
    auto conf_dword = [&](uint32_t offset) {
      uint32_t v = 0;
      int fd = open(config.c_str(), O_RDONLY);
      EXPECT_EQ(pread(fd, &v, 4, offset), 4);
      close(fd);
      return le32toh(v);
    };
    uint32_t v = 0;
    ASSERT_EQ(mwrite4(mf, 0x2000, 7), 4);
    EXPECT_EQ(conf_dword(0x58), 0x2000u);
    EXPECT_EQ(conf_dword(0x5C), 7u);
    ASSERT_EQ(mread4(mf, 0x3000, &v), 4);
    EXPECT_EQ(conf_dword(0x58), 0x3000u);
    EXPECT_EQ(v, 7u) << "the data dword as the file holds it";

    // A device whose address register is write-only gets reads flagged in bit 0.
    mf->ul_ctx->conf_gw_data_first = 1;
    ASSERT_EQ(mread4(mf, 0x1234, &v), 4);
    EXPECT_EQ(conf_dword(0x58), 0x1235u);
    ASSERT_EQ(mwrite4(mf, 0x4000, 9), 4);
    EXPECT_EQ(conf_dword(0x58), 0x4000u);
    EXPECT_EQ(conf_dword(0x5C), 9u);

    // A failing step prints the system error of that step, and the lock is given back anyway.
    const std::string lock = kLockDir + "/0000:03:00.0_config";
    auto lock_is_free = [&] {
      int fd = open(lock.c_str(), O_RDONLY);
      bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
      if (fd >= 0) close(fd);
      return free;
    };
    auto reopen_as = [&](int flags) {
      int fd = open(config.c_str(), flags);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(dup2(fd, mf->fd), mf->fd);
      close(fd);
    };
    struct Step {
      int open_flags;
      int data_first;
      bool read;
      const char* message;
    };
    const Step steps[] = {
        {O_RDONLY, 0, true, "write offset: Bad file descriptor\n"},
        {O_RDONLY, 0, false, "write offset: Bad file descriptor\n"},
        {O_RDONLY, 1, false, "write value: Bad file descriptor\n"},
        {O_WRONLY, 0, true, "read value: Bad file descriptor\n"},
    };
    for (const Step& step : steps) {
      reopen_as(step.open_flags);
      mf->ul_ctx->conf_gw_data_first = step.data_first;
      vexil_test::CapturedStream err(2);
      errno = 0;
      EXPECT_EQ(step.read ? mread4(mf, 0x10, &v) : mwrite4(mf, 0x10, 1), -1) << step.message;
      EXPECT_EQ(errno, EBADF) << step.message;
      EXPECT_EQ(err.text(), step.message);
      EXPECT_TRUE(lock_is_free()) << step.message;
    }
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(GpuBar, WholeBarInHostOrderAndItsBounds) {
  auto result = vexil_test::run_in_private_namespace([] {
    const uint32_t size = 64 * kMiB;
    add_function(size, 0x2900);
    EXPECT_EQ(check_force_config(0, 3, 0, 0), 0) << "a GPU-class function";
    mfile* mf = mopen_ul(kResource0.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->host_endian, 1u);
    EXPECT_EQ(mf->map_len, size);
    EXPECT_EQ(mf->cr_space_offset, 0x3000000u);

    uint32_t id = 0x2900, v = 0;
    int fd = open(kResource0.c_str(), O_RDWR);
    ASSERT_EQ(pwrite(fd, &id, 4, 0x30F0014), 4);
    ASSERT_EQ(mread4(mf, 0x30F0014, &v), 4);
    EXPECT_EQ(v, 0x2900u) << "host order, unswapped";
    ASSERT_EQ(mwrite4(mf, size - 4, 0x01020304), 4);
    ASSERT_EQ(pread(fd, &v, 4, size - 4), 4);
    EXPECT_EQ(v, 0x01020304u);
    close(fd);
    for (uint32_t bad : {size - 2, size, size + 0x1000}) {
      errno = 0;
      EXPECT_EQ(mread4(mf, bad, &v), 0) << std::hex << bad;
      EXPECT_EQ(errno, EINVAL);
      EXPECT_EQ(mwrite4(mf, bad, 0), 0) << std::hex << bad;
    }
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(GpuBar, ConfigurationCheckAndItsResourceFile) {
  auto result = vexil_test::run_in_private_namespace([] {
    EXPECT_EQ(check_force_config(0, 3, 0, 0), 0) << "no configuration header";
    add_function(kMiB);
    EXPECT_EQ(check_force_config(0, 3, 0, 0), 1) << "not GPU-class";

    add_function(kMiB, 0x2F7F);
    struct Case {
      const char* resource;  // null: no resource file
      const char* message;
    };
    const Case cases[] = {
        {nullptr, "Failed to open resource file for device 0000:03:00.0\n"},
        {"", "Failed to read from resource file\n"},
        {"garbage\n", "Failed to parse BAR0 size\n"},
        {"0x2000 0x1000 0x0\n", "Failed to parse BAR0 size\n"},
    };
    for (const Case& c : cases) {
      unlink((kDir + "/resource").c_str());
      if (c.resource) vexil_test::add_file(kDir + "/resource", c.resource);
      vexil_test::CapturedStream err(2);
      EXPECT_EQ(check_force_config(0, 3, 0, 0), 0);
      EXPECT_EQ(err.text(), c.message);
    }
    // Without a BAR0 size the BAR open maps the 1 MiB CR window, which cannot hold the
    // GPU-class hardware-id dword (CR offset 0x3000000): the signature read is refused.
    errno = 0;
    EXPECT_EQ(mopen_ul(kResource0.c_str()), nullptr);
    EXPECT_EQ(errno, EINVAL);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(InbandRegisterAccess, FindsTheRdmaDeviceAndFailsCleanlyAfterwards) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kMiB);
    uint8_t frame[64] = {};
    EXPECT_EQ(maccess_reg_mad_ul(nullptr, frame), 2);
    mfile* mf = open_bar(0x212);
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(maccess_reg_mad_ul(mf, nullptr), 2);

    // No RDMA device of this function: the handle keeps its transport.
    vexil_test::FakePciFunction other;
    other.address = "0000:05:00.0";
    vexil_test::add_pci_function(other);
    vexil_test::add_rdma_class_device("crv5_7", "0000:05:00.0");
    // Nor is a function whose address merely ends in this one's, or whose bus wraps into it.
    vexil_test::add_rdma_class_device("crv5_1", "10000:03:00.0");
    vexil_test::add_rdma_class_device("crv5_2", "0000:100000003:00.0");
    errno = 0;
    EXPECT_EQ(tqcr_parse_name("crv5_2", nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(maccess_reg_mad_ul(mf, frame), 268);
    EXPECT_EQ(errno, ENODEV);
    uint32_t v = 0;
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0x212u);

    // Its RDMA device is found; the device layer cannot open it here, and the closed PCI
    // transport is not used again.
    vexil_test::add_rdma_class_device("crv5_0", kAddress);
    errno = 0;
    EXPECT_EQ(maccess_reg_mad_ul(mf, frame), 268);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_STREQ(mf->dev_name, "ibdr-0,crv5_0,1");
    EXPECT_EQ(mf->map, nullptr);
    errno = 0;
    EXPECT_EQ(mread4(mf, 0xF0014, &v), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(mwrite4(mf, 0x10, 1), -1);
    EXPECT_EQ(mread4_block(mf, 0, &v, 4), -1);
    EXPECT_EQ(mpci_change(mf), 0);
    EXPECT_EQ(mread4(mf, 0xF0014, &v), -1) << "no secondary transport to swap in";
    EXPECT_EQ(mclose(mf), 0);

    errno = 0;
    EXPECT_EQ(mopen_ul("ibdr-0,crv5_0,1"), nullptr) << "no device object without the MAD library";
    EXPECT_NE(errno, 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A handle without its record finds its RDMA device by the address its name gives, in the short
// three-field form too.
TEST(InbandRegisterAccess, AHandleNamedByItsShortAddressFindsItsRdmaDevice) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kMiB);
    vexil_test::add_rdma_class_device("crv5_0", kAddress);
    mfile* mf = mopen_ul("03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    dev_info* record = mf->dinfo;
    mf->dinfo = nullptr;
    uint8_t frame[64] = {};
    EXPECT_EQ(maccess_reg_mad_ul(mf, frame), 268) << "the device layer cannot open it here";
    EXPECT_STREQ(mf->dev_name, "ibdr-0,crv5_0,1");
    mf->dinfo = record;
    EXPECT_EQ(mclose(mf), 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(UserLevelOpen, Refusals) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kMiB);
    put_be32(kResource0, 0xF0014, 0x212);
    ASSERT_EQ(seteuid(65534), 0);
    errno = 0;
    mfile* denied = mopen_ul(kResource0.c_str());
    int err = errno;
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(denied, nullptr);
    EXPECT_EQ(err, EACCES);

    {
      vexil_test::CapturedStream err2(2);
      errno = 0;
      EXPECT_EQ(mopen_ul("no-such-device"), nullptr);
      EXPECT_EQ(errno, EINVAL);
      EXPECT_EQ(err2.text(), "Unable to parse device name no-such-device\n");
    }
    errno = 0;
    EXPECT_EQ(mopen_ul("/tmp/some/config"), nullptr) << "a forced name names no function";
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(mopen_ul(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);

    add_function(kMiB, 0x1234);
    errno = 0;
    EXPECT_EQ(mopen_ul(kResource0.c_str()), nullptr);
    EXPECT_EQ(errno, EOPNOTSUPP);

    EXPECT_EQ(mclear_pci_semaphore_ul("no-such-device"), 1);
    add_function(kMiB);
    put_be32(kResource0, 0xF0014, 0x212);
    EXPECT_EQ(mclear_pci_semaphore_ul(kResource0.c_str()), 0);
    EXPECT_EQ(mpci_change(nullptr), -1);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
