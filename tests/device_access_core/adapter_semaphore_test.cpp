// Named semaphores for real: the semaphore object on names of its own, and the adapters'
// transactions serialised by tqusb_semaphore and ndc_semaphore, which are given back on failure
// and under every signal, while a wait for another holder stays interruptible.
// The tests hold system-wide names: they run serially.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Semaphore.h"
#include "device_bridge.h"
#include "fake_system.h"
#include "i2c_adapter_fronts.h"
#include "ioctl_interposer.h"
#include "simulated_adapter.h"

namespace {

int value_of(const char* name) {
  sem_t* s = sem_open(name, 0);
  if (s == SEM_FAILED) return -1;
  int value = -1;
  sem_getvalue(s, &value);
  sem_close(s);
  return value;
}

// Whether the semaphore `name` is free now: taken and given back at once when it is, else removed
// so that the next opener makes a fresh one.
bool free_now(const char* name) {
  sem_t* s = sem_open(name, 0);
  if (s == SEM_FAILED) return false;
  const bool taken = sem_trywait(s) == 0;
  if (taken) sem_post(s);
  else sem_unlink(name);
  sem_close(s);
  return taken;
}

// The blocked signals of the calling thread, one bit per signal number.
uint64_t blocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  uint64_t bits = 0;
  for (int s = 1; s < 64; ++s) bits |= static_cast<uint64_t>(sigismember(&mask, s) == 1) << s;
  return bits;
}

// Waits (ten seconds at most) until `done` holds; false when it never did.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 10000; ++i) {
    if (done()) return true;
    usleep(1000);
  }
  return false;
}

// Whether thread or process `id` sleeps in a futex wait, as a waiter for a semaphore does.
bool on_futex(pid_t id) {
  std::ifstream in("/proc/" + std::to_string(id) + "/syscall");
  std::string call;
  return in >> call && call == std::to_string(SYS_futex);
}

// Whether `sig`, sent to process `pid`, waits there held back.
bool held_in(pid_t pid, int sig) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("ShdPnd:", 0) == 0)
      return std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1;
  return false;
}

// Whether the child `pid` has ended (it is not reaped).
bool ended(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// The child's next wait status (with WUNTRACED, a stop too) within ten seconds; -1 when nothing
// came by then, and the child is killed.
int next_status(pid_t child, int options = 0) {
  int status = -1;
  if (!eventually([&] { return waitpid(child, &status, options | WNOHANG) == child; })) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
  }
  return status;
}

// Runs `transaction` in a child and sends it `sig` once `inside` (a pipe the adapter writes to
// in the middle of the transaction) says it is there; `let_go`, when given, then lets the adapter
// go on. The child must end by that signal.
void end_in_the_middle(const std::function<void()>& transaction, int inside, int sig = SIGTERM,
                       const std::function<void(pid_t)>& let_go = nullptr) {
  const pid_t child = fork();
  if (child == 0) {
    transaction();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  pollfd ready = {inside, POLLIN, 0};
  char byte;
  const bool there = poll(&ready, 1, 10000) == 1 && read(inside, &byte, 1) == 1;
  EXPECT_TRUE(there) << "the transaction never got there";
  kill(child, there ? sig : SIGKILL);
  if (there && let_go) let_go(child);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
}

// In the child, inside the adapter: tells the test, then waits (ten seconds at most) until the
// signal is pending. A signal that is not held back ends the child here.
void tell_and_wait_for_the_signal(int tell) {
  if (write(tell, "x", 1) != 1) _exit(3);
  for (int i = 0; i < 10000; ++i) {
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGTERM) == 1) return;
    usleep(1000);
  }
}

volatile sig_atomic_t caught;

class NamedSemaphore : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "/vexil_test_sem_" + std::to_string(getpid());
    sem_unlink(name_.c_str());
  }
  void TearDown() override { sem_unlink(name_.c_str()); }
  std::string name_;
};

}  // namespace

// While the semaphore is taken every signal that can be blocked is; the unlock lets through
// exactly what was let through before.
TEST_F(NamedSemaphore, LocksAcrossHandlesAndCloseRemovesOnlyTheName) {
  LinuxBaseSemaphore semaphore;
  sigset_t usr2;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
  const uint64_t before = blocked();
  EXPECT_EQ(semaphore.semaphore_lock(), -1) << "no semaphore yet";
  EXPECT_EQ(semaphore.semaphore_unlock(), -1);
  EXPECT_EQ(blocked(), before);
  ASSERT_EQ(semaphore.semaphore_init(1, name_), 0);
  EXPECT_EQ(value_of(name_.c_str()), 1);
  EXPECT_EQ(semaphore.semaphore_lock(), 0);
  const uint64_t unblockable = uint64_t{1} << SIGKILL | uint64_t{1} << SIGSTOP;
  const uint64_t all = ((uint64_t{1} << 32) - 2) & ~unblockable;  // glibc keeps 32 and 33
  EXPECT_EQ(blocked() & all, all) << "signals let through while the semaphore is taken";
  EXPECT_EQ(value_of(name_.c_str()), 0) << "another opener sees it taken";
  EXPECT_EQ(semaphore.semaphore_close(), 0);
  EXPECT_EQ(value_of(name_.c_str()), -1) << "the name is gone";
  EXPECT_EQ(semaphore.semaphore_unlock(), 0) << "the handle stays usable";
  EXPECT_EQ(blocked(), before);
  pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);

  std::unique_ptr<BaseSemaphore>& shared = FactorySemaphoreOS::GetInstance();
  EXPECT_EQ(&shared, &FactorySemaphoreOS::GetInstance());
  EXPECT_EQ(FactorySemaphoreOS::destroy_semaphore(FactorySemaphoreOS::create_semaphore()), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(FactorySemaphoreOS::destroy_semaphore(nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "destroy_semaphoreis failed, error code:1\n");
}

// A process waiting for a semaphore another holds stays as interruptible as in sem_wait: SIGUSR1
// ends it; caught, its handler runs and the lock fails with EINTR; SIGTSTP stops it and, once
// continued, it goes on waiting, and so it does after a handler installed with SA_RESTART; it then
// takes the semaphore when the holder gives it back. Each signal is sent once the waiter is seen
// asleep on the semaphore.
TEST_F(NamedSemaphore, WaitForAnotherHolderStaysInterruptible) {
  sem_t* held = sem_open(name_.c_str(), O_CREAT, 0600, 1);
  ASSERT_NE(held, SEM_FAILED);
  ASSERT_EQ(sem_wait(held), 0);
  enum Way { kEnds, kCaught, kGoesOn };
  for (Way way : {kEnds, kCaught, kGoesOn}) {
    const pid_t child = fork();
    if (child == 0) {
      setpgid(0, 0);  // a group of its own whose parent is outside it: SIGTSTP stops it
      struct sigaction action = {};
      action.sa_handler = [](int) { caught = 1; };
      action.sa_flags = way == kGoesOn ? SA_RESTART : 0;
      if (way != kEnds) sigaction(SIGUSR1, &action, nullptr);
      LinuxBaseSemaphore semaphore;
      if (semaphore.semaphore_init(1, name_) != 0) _exit(2);
      const int rc = semaphore.semaphore_lock();
      if (way == kGoesOn) _exit(rc == 0 && semaphore.semaphore_unlock() == 0 && caught ? 0 : 3);
      _exit(rc == -1 && errno == EINTR && caught ? 0 : 4);
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(eventually([&] { return on_futex(child); })) << "way " << way;
    if (way == kGoesOn) {
      kill(child, SIGTSTP);
      const int stopped = next_status(child, WUNTRACED);
      EXPECT_TRUE(WIFSTOPPED(stopped) && WSTOPSIG(stopped) == SIGTSTP) << "status " << stopped;
      kill(child, SIGCONT);
      EXPECT_TRUE(eventually([&] { return on_futex(child); })) << "waits again";
    }
    kill(child, SIGUSR1);
    if (way == kGoesOn) {
      EXPECT_TRUE(eventually([&] { return !held_in(child, SIGUSR1) && on_futex(child); }));
      sem_post(held);
    }
    const int status = next_status(child);
    if (way == kEnds) EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGUSR1) << status;
    else EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << way << ": " << status;
    EXPECT_EQ(sem_trywait(held), way == kGoesOn ? 0 : -1) << "taken by the test alone";
  }
  sem_close(held);
}

// A transaction waits while another holder has the adapter's semaphore, and every failed
// transaction gives it back at once.
TEST(AdapterSemaphore, TransactionsWaitForTheHolderAndFailuresReleaseIt) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_sim::SimulatedAdapter adapter;
    vexil_sim::I2cTargets bus;
    bus.add_memory(0x50, 2);
    vexil_sim::TqusbAdapterModel usb(bus);
    vexil_sim::NdcAdapterModel ndc(bus);
    vexil_test::add_file("/dev/tqusb-1", "");
    vexil_test::IoctlHandlerScope scope;
    vexil_test::UsbAdapterNode node("/dev/tqusb-1", usb);
    vexil_test::NdcLine line("/dev/ndc-0.1", ndc);
    sem_unlink("/tqusb_semaphore");
    sem_unlink("/ndc_semaphore");
    setenv("USE_SEMAPHORE_TQUSB", "", 1);
    void* device = nullptr;
    ASSERT_EQ(init_device("/dev/tqusb-1", &device, 0, 0), 512);

    sem_t* held = sem_open("tqusb_semaphore", 0);
    ASSERT_NE(held, SEM_FAILED);
    ASSERT_EQ(sem_wait(held), 0);
    const size_t sent = usb.requests().size();
    uint32_t serial = 0;
    int rc = -1;
    std::atomic<pid_t> waiter{0};
    std::thread other([&] {
      waiter = static_cast<pid_t>(syscall(SYS_gettid));
      rc = tqusb_get_serial_number(&serial, device);
    });
    EXPECT_TRUE(eventually([&] { return waiter && on_futex(waiter); }));
    EXPECT_EQ(usb.requests().size(), sent) << "no request while the semaphore is held elsewhere";
    sem_post(held);
    other.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(serial, 0xA1B2C3D4u);

    node.bulk_in_failures = 1;
    EXPECT_EQ(tqusb_get_serial_number(&serial, device), 1);
    ASSERT_EQ(value_of("tqusb_semaphore"), 1) << "a failed exchange left the semaphore taken";
    node.claim_failures = 1;
    EXPECT_EQ(tqusb_access_set_frequency(1, device), 1);
    ASSERT_EQ(value_of("tqusb_semaphore"), 1) << "a refused claim left the semaphore taken";
    destroy_device(device);
    sem_close(held);

    setenv("NDC_SEMAPHORE", "1", 1);
    setenv("NDC_TRANSACTION_TIMEOUT", "10000", 1);
    ASSERT_EQ(init_device("/dev/ndc-0.1", &device, 0, 0), 0x1000000);
    ndc.silent = true;
    int frequency = 0;
    EXPECT_EQ(tqusb_access_get_frequency(&frequency, device), 1);
    EXPECT_EQ(value_of("ndc_semaphore"), 1) << "the timeout gave the semaphore back";
    ndc.silent = false;
    ndc.error_type = 2;
    usleep(30000);
    EXPECT_EQ(tqusb_access_get_frequency(&frequency, device), 1);
    EXPECT_EQ(value_of("ndc_semaphore"), 1) << "an adapter error gave it back";
    destroy_device(device);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A process ended by a signal in the middle of a transaction (SIGTERM while the USB adapter claims
// its interface, while it waits for the answer; SIGTERM, SIGUSR1, SIGALRM or SIGPIPE while the NDC
// adapter waits for a reply the line holds back until the signal is seen held) ends only after the
// adapter's semaphore is given back: the next process takes it at once.
TEST(AdapterSemaphore, ASignalInATransactionLeavesTheSemaphoreFree) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_sim::I2cTargets bus;
    bus.add_memory(0x50, 2);
    vexil_sim::TqusbAdapterModel usb(bus);
    vexil_sim::NdcAdapterModel ndc(bus);
    vexil_test::add_file("/dev/tqusb-1", "");
    vexil_test::IoctlHandlerScope scope;
    vexil_test::UsbAdapterNode node("/dev/tqusb-1", usb);
    sem_unlink("/tqusb_semaphore");
    sem_unlink("/ndc_semaphore");
    setenv("USE_SEMAPHORE_TQUSB", "", 1);
    setenv("NDC_SEMAPHORE", "1", 1);
    setenv("NDC_TRANSACTION_TIMEOUT", "60000000", 1);
    int inside[2];
    ASSERT_EQ(pipe(inside), 0);

    const auto serial_number = [] {
      void* device = nullptr;
      if (init_device("/dev/tqusb-1", &device, 0, 0) != 512) _exit(2);
      uint32_t serial = 0;
      tqusb_get_serial_number(&serial, device);
    };
    for (unsigned long step : {static_cast<unsigned long>(USBDEVFS_CLAIMINTERFACE),
                               static_cast<unsigned long>(USBDEVFS_BULK)}) {
      node.before_answer = [&](unsigned long request, unsigned endpoint) {
        if (request == step && (step != USBDEVFS_BULK || endpoint == 0x84))
          tell_and_wait_for_the_signal(inside[1]);
      };
      end_in_the_middle(serial_number, inside[0]);
      EXPECT_TRUE(free_now("tqusb_semaphore")) << "ended at request " << std::hex << step;
    }

    const auto frequency = [] {
      void* device = nullptr;
      if (init_device("/dev/ndc-0.1", &device, 0, 0) != 0x1000000) _exit(2);
      int value = 0;
      tqusb_access_get_frequency(&value, device);
    };
    for (int sig : {SIGTERM, SIGUSR1, SIGALRM, SIGPIPE}) {
      vexil_test::NdcLine line("/dev/ndc-0.1", ndc);
      line.hold_replies = true;
      const size_t asked = ndc.requests().size();
      std::thread tell([&] {  // once the line has the request
        for (int i = 0; i < 10000 && line.requests().size() == asked; ++i) usleep(1000);
        if (write(inside[1], "x", 1) != 1) return;
      });
      end_in_the_middle(frequency, inside[0], sig, [&](pid_t child) {
        eventually([&] { return held_in(child, sig) || ended(child); });
        line.hold_replies = false;
      });
      tell.join();
      EXPECT_TRUE(free_now("ndc_semaphore")) << "ended by signal " << sig;
    }
  });
  VEXIL_EXPECT_SCENARIO(result);
}
