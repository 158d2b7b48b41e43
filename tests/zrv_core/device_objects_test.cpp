// Device objects: the factory's choice of class by name, and the flat functions over a device
// class built only here (in a private namespace, since every device prepares the log directory).
#include <errno.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "DeviceFactory.h"
#include "device_bridge.h"
#include "fake_system.h"
#include "test_device.h"

using vexil_test::TestDevice;
using zrv_core::DeviceFactory;
using zrv_core::eCommunicationType;

namespace {

int type_of(const std::string& name) {
  eCommunicationType type = static_cast<eCommunicationType>(-5);
  if (!DeviceFactory::GetCommunicationType(name, type, DeviceFactory::GetDeviceNameSubStringMap()))
    return type == -5 ? 0 : -99;  // no match must leave the type alone
  return type;
}

}  // namespace

// Matching goes by key order, not by where a substring stands in the name.
TEST(DeviceFactory, MatchesByKeyOrder) {
  EXPECT_EQ(type_of("lid-0x5,crv5_0"), 64);
  EXPECT_EQ(type_of("/dev/bus/usb/001/004"), 513);
  EXPECT_EQ(type_of("tqusb-1"), 512);
  EXPECT_EQ(type_of("crvlsw-1"), 2);
  EXPECT_EQ(type_of("gpu0"), 0x800000);
  EXPECT_EQ(type_of("/dev/qdx/tq4129_pciconf0"), 0);
  EXPECT_EQ(type_of("dev-i2c_nicx"), 1024);
  EXPECT_EQ(type_of("gpu_lid-3"), 64);
  EXPECT_EQ(type_of("ndc-gpu-dev-i2c-1"), 0x1000);
  EXPECT_EQ(type_of("/dev/bus/usb/tqusb-2"), 512);
  EXPECT_EQ(type_of("x_obl-7"), 64);
  EXPECT_EQ(type_of("objtag_crvlsw-1"), 2);
}

// The adapter classes fail on a name that is no node of their transport rather than build half (in a private namespace: every device prepares the log
// directory; the other classes reach outside it when built and have their own tests); a value that
// names no class gives null.
TEST(DeviceFactory, AFailedOpenBuildsNothing) {
  auto result = vexil_test::run_in_private_namespace([] {
    const std::set<int> adapters = {zrv_core::eCommunicationTypeUsbByName,
                                    zrv_core::eCommunicationTypeUsbByPath,
                                    zrv_core::eCommunicationTypeI2C, zrv_core::eCommunicationTypeNdc};
    size_t keys = 0, tried = 0;
    for (const auto& entry : DeviceFactory::GetDeviceNameSubStringMap()) {
      ++keys;
      if (!adapters.count(entry.first)) continue;
      ++tried;
      try {
        delete DeviceFactory::CreateDevice("name-" + entry.second[0] + ".1", entry.first);
        ADD_FAILURE() << entry.first << " built a device";
      } catch (const zrv_core::ZrvGeneralException&) {
      }
    }
    EXPECT_EQ(keys, 9u);
    EXPECT_EQ(tried, 4u);
  });
  VEXIL_EXPECT_SCENARIO(result);
  EXPECT_EQ(DeviceFactory::CreateDevice("x", static_cast<eCommunicationType>(4)), nullptr);

  void* device = reinterpret_cast<void*>(1);
  EXPECT_EQ(init_device("/dev/qdx/tq4129_pciconf0", &device, 0, 0), 0);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(init_device("gpu0", nullptr, 0, 0), -1);
  EXPECT_EQ(destroy_device(nullptr), 0);
}

// The flat functions hand the device what the core gives them and let no exception out.
TEST(DeviceBridge, PassesThroughAndCatchesEverything) {
  auto result = vexil_test::run_in_private_namespace([] {
    bool destroyed = false;
    auto* dev = new TestDevice("crvlsw-1", zrv_core::eCommunicationTypeSwitchOS, &destroyed);
    struct stat st;
    EXPECT_EQ(stat("/var/log/zrv", &st), 0) << "a device prepares the log directory";
    void* device = dev;

    uint32_t image[2] = {0x11223344, 0x55667788};
    int status = -1;
    dev->register_status = 0x6;
    EXPECT_EQ(reg_access_send(image, 8, 0x1234C011, &status, device), 0);
    EXPECT_EQ(dev->last_op, "Send");
    EXPECT_EQ(dev->last_target, 0xC011u) << "only the low 16 bits of the register id";
    EXPECT_EQ(dev->last_length, 8u);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(dev->reg_image[1], 0x55667788u);
    uint32_t back[2] = {};
    EXPECT_EQ(reg_access_get(back, 8, 0xC012, &status, device), 0);
    EXPECT_EQ(dev->last_op, "Get");
    EXPECT_EQ(back[0], 0x11223344u);

    uint32_t words[2] = {0xA, 0xB};
    EXPECT_EQ(config_space_access_write(0x10, 8, words, device), 8);
    EXPECT_EQ(dev->cr_space[5], 0xBu);
    uint32_t read[2] = {};
    EXPECT_EQ(config_space_access_read(0x10, 8, read, device), 8);
    EXPECT_EQ(read[1], 0xBu);

    for (auto kind : {TestDevice::Throw::kZrv, TestDevice::Throw::kStandard,
                      TestDevice::Throw::kInteger}) {
      dev->throws = kind;
      EXPECT_EQ(reg_access_send(image, 8, 1, &status, device), -1);
      EXPECT_EQ(reg_access_get(image, 8, 1, &status, device), -1);
      EXPECT_EQ(config_space_access_read(0, 4, read, device), -1);
      EXPECT_EQ(config_space_access_write(0, 4, read, device), -1);
    }
    dev->throws = TestDevice::Throw::kNothing;

    // Null devices and devices of another class get the failure value.
    dev->last_op.clear();
    EXPECT_EQ(reg_access_send(image, 8, 1, &status, nullptr), -1);
    EXPECT_EQ(reg_access_get(image, 8, 1, nullptr, device), -1);
    EXPECT_EQ(config_space_access_read(0, 4, read, nullptr), -1);
    EXPECT_EQ(config_space_access_write(0, 4, read, nullptr), -1);
    for (void* other : {static_cast<void*>(nullptr), device}) {
      EXPECT_EQ(is_gmp_supported(1, other), 0);
      EXPECT_EQ(is_class_a_supported(2, other), 0);
      EXPECT_EQ(reset_ib_device(other), -1);
      uint8_t mad[64] = {};
      EXPECT_EQ(mad_set(mad, 0xFF52, 0, other), -1);
      EXPECT_EQ(mad_get(mad, 0xFF52, 0, other), -1);
      EXPECT_LE(get_ib_max_chunk_size(other), 0) << "a block over no IB device must not loop";
      EXPECT_EQ(get_register_maximum_size(other), 0);
      i2c_set_i2c_address_width(2, other);
      i2c_update_secondary_address(0x148, other);
      tqusb_update_slave_address(0x48, other);
      tqusb_set_i2c_address_width(2, other);
      uint32_t word = 0;
      uint8_t map[128] = {};
      EXPECT_EQ(tqusb_read(0, 4, &word, other), 1);
      EXPECT_EQ(tqusb_detect(map, other), 1);
      force_use_smp(other);
    }
    EXPECT_EQ(dev->last_op, "") << "the class-specific functions never reach another class";

    EXPECT_EQ(destroy_device(device), 0);
    EXPECT_TRUE(destroyed);
  });
  VEXIL_EXPECT_SCENARIO(result);
}
