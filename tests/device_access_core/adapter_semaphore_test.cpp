// Named semaphores for real: the semaphore object on names of its own, and the adapters'
// transactions serialised by tqusb_semaphore and ndc_semaphore, which are given back on failure.
// The tests hold system-wide names: they run serially.
#include <fcntl.h>
#include <semaphore.h>
#include <stdlib.h>
#include <unistd.h>

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
