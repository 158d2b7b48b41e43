// Named semaphores for real: the semaphore object on names of its own, and the adapters'
// transactions serialised by tqusb_semaphore and ndc_semaphore, which are given back on failure.
// The tests hold system-wide names: they run serially.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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

// Whether the semaphore `name` can be taken within three seconds; given back when it was, else
// removed so that the next opener makes a fresh one.
bool takes_in_time(const char* name) {
  sem_t* s = sem_open(name, 0);
  if (s == SEM_FAILED) return false;
  timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 3;
  const bool taken = sem_timedwait(s, &until) == 0;
  if (taken) sem_post(s);
  else sem_unlink(name);
  sem_close(s);
  return taken;
}

// Runs `transaction` in a child and sends it SIGTERM once `inside` (a pipe the adapter writes to
// in the middle of the transaction) says it is there. The child must end by that signal.
void end_in_the_middle(const std::function<void()>& transaction, int inside) {
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
  kill(child, there ? SIGTERM : SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
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

TEST_F(NamedSemaphore, LocksAcrossHandlesAndCloseRemovesOnlyTheName) {
  LinuxBaseSemaphore semaphore;
  EXPECT_EQ(semaphore.semaphore_lock(), -1) << "no semaphore yet";
  EXPECT_EQ(semaphore.semaphore_unlock(), -1);
  ASSERT_EQ(semaphore.semaphore_init(1, name_), 0);
  EXPECT_EQ(value_of(name_.c_str()), 1);
  EXPECT_EQ(semaphore.semaphore_lock(), 0);
  EXPECT_EQ(value_of(name_.c_str()), 0) << "another opener sees it taken";
  EXPECT_EQ(semaphore.semaphore_close(), 0);
  EXPECT_EQ(value_of(name_.c_str()), -1) << "the name is gone";
  EXPECT_EQ(semaphore.semaphore_unlock(), 0) << "the handle stays usable";

  std::unique_ptr<BaseSemaphore>& shared = FactorySemaphoreOS::GetInstance();
  EXPECT_EQ(&shared, &FactorySemaphoreOS::GetInstance());
  EXPECT_EQ(FactorySemaphoreOS::destroy_semaphore(FactorySemaphoreOS::create_semaphore()), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(FactorySemaphoreOS::destroy_semaphore(nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "destroy_semaphoreis failed, error code:1\n");
}

// A transaction waits while another holder has the adapter's semaphore, and every failed
// transaction gives it back.
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
    std::thread other([&] { rc = tqusb_get_serial_number(&serial, device); });
    usleep(100000);
    EXPECT_EQ(usb.requests().size(), sent) << "no request while the semaphore is held elsewhere";
    sem_post(held);
    other.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(serial, 0xA1B2C3D4u);

    tqusb_update_slave_address(0x50, device);
    uint8_t byte = 0;
    node.bulk_in_failures = 10;
    EXPECT_EQ(tqusb_read(0, 1, &byte, device), 1);
    EXPECT_EQ(value_of("tqusb_semaphore"), 1);
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

// A process ended by a signal in the middle of a transaction (while the USB adapter claims its
// interface, while it waits for the answer; while the NDC adapter waits for a reply the line holds
// back) ends only after the adapter's semaphore is given back: the next process can take it.
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
    setenv("NDC_TRANSACTION_TIMEOUT", "300000", 1);
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
      EXPECT_TRUE(takes_in_time("tqusb_semaphore")) << "ended at request " << std::hex << step;
    }

    vexil_test::NdcLine line("/dev/ndc-0.1", ndc);
    ndc.silent = true;
    const auto frequency = [] {
      void* device = nullptr;
      if (init_device("/dev/ndc-0.1", &device, 0, 0) != 0x1000000) _exit(2);
      int value = 0;
      tqusb_access_get_frequency(&value, device);
    };
    std::thread tell([&] {  // once the line has the request
      for (int i = 0; i < 10000 && line.requests().empty(); ++i) usleep(1000);
      if (write(inside[1], "x", 1) != 1) return;
    });
    end_in_the_middle(frequency, inside[0]);
    tell.join();
    EXPECT_TRUE(takes_in_time("ndc_semaphore"));
  });
  VEXIL_EXPECT_SCENARIO(result);
}
