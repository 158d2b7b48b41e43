// Identification: the id tables, GPU-class PCI ids, the device-id read and its cache, the handle
// accessors and their null-handle answers.
#include <errno.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "device_files.h"
#include "fake_system.h"
#include "mtcr_int.h"
#include "test_handle.h"

namespace {

TEST(IdTables, GpuClassRangesAreInclusive) {
  struct { uint16_t pci_id; int kd100, ks100; uint16_t hw_id; } cases[] = {
      {0x2900, 1, 0, 0x2900}, {0x29FF, 1, 0, 0x2900}, {0x2A00, 0, 0, 0},
      {0x2F00, 1, 0, 0x2900}, {0x2F7F, 1, 0, 0x2900}, {0x2F80, 0, 0, 0},
      {0x3000, 0, 1, 0x3000}, {0x30FF, 0, 1, 0x3000}, {0x3100, 0, 0, 0},
      {0x3180, 1, 0, 0x2900}, {0x327F, 1, 0, 0x2900}, {0x3280, 0, 1, 0x3000},
      {0x32FF, 0, 1, 0x3000}, {0x347F, 1, 0, 0x2900}, {0x3480, 0, 0, 0},
      {0x1021, 0, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_kd100_pci_device(c.pci_id), c.kd100) << std::hex << c.pci_id;
    EXPECT_EQ(is_ks100_pci_device(c.pci_id), c.ks100) << std::hex << c.pci_id;
    EXPECT_EQ(is_gpu_pci_device(c.pci_id), c.kd100 || c.ks100) << std::hex << c.pci_id;
    EXPECT_EQ(get_hw_dev_id_by_pci_id(c.pci_id), c.hw_id) << std::hex << c.pci_id;
  }
  EXPECT_TRUE(is_gpu_device(0x2900));
  EXPECT_TRUE(is_gpu_device(0x3000));
  EXPECT_FALSE(is_gpu_device(0x2901));
}

TEST(IdTables, SecureDebugDevicesAreAllSupported) {
  const uint16_t secured[] = {0x218, 0x21E, 0x257, 0x25B, 0x21C, 0x220, 0x254,
                              0x282, 0x278, 0x270, 0x274, 0x276, 0x225};
  for (uint16_t id : secured) {
    EXPECT_TRUE(is_secure_debug_access(id)) << std::hex << id;
    EXPECT_TRUE(is_supported_device_id(id)) << std::hex << id;
  }
  EXPECT_FALSE(is_secure_debug_access(0x209));
  EXPECT_TRUE(is_supported_device_id(0x209));
}

TEST(IdTables, SupportedHardwareIds) {
  for (uint16_t id : {0x1F5, 0x1FF, 0x1F7, 0x3, 0x19, 0xD, 0xCAFE, 0x2900, 0x3000, 0x35, 0x225})
    EXPECT_TRUE(is_supported_device_id(id)) << std::hex << id;
  for (uint16_t id : {0x0, 0x1, 0x1F6, 0x246, 0x2901, 0xFFFF})
    EXPECT_FALSE(is_supported_device_id(id)) << std::hex << id;
}

TEST(IdTables, SupportedPciIdsIncludeRecoveryAndGpuIds) {
  EXPECT_TRUE(is_supported_devid(0x1021));
  EXPECT_TRUE(is_supported_devid(0xD2F4));
  EXPECT_TRUE(is_supported_devid(0x246)) << "a device in recovery answers with its PCI id";
  EXPECT_TRUE(is_supported_devid(0x2F7F));
  EXPECT_FALSE(is_supported_devid(0x2F80));
  EXPECT_FALSE(is_supported_devid(0x1022));
  EXPECT_FALSE(is_supported_devid(0xFFFFFFFFu)) << "the list end marker is no id";
}

TEST(DeviceId, GpuDriverHandleReportsItsIdWithoutARead) {
  mfile* mf = new_handle(ACCESS_GPU_DRIVER);
  uint32_t id = 0;
  EXPECT_EQ(read_device_id(mf, &id), 4);
  EXPECT_EQ(id, 0x2900u);
  EXPECT_EQ(mf->hw_dev_id, 0x2900);
  EXPECT_EQ(mclose(mf), 0);
}

TEST(DeviceId, AFailedReadKeepsTheCachedIds) {
  mfile* mf = new_handle(ACCESS_PCI_MEMORY);  // no map: the read fails with EFAULT
  mf->hw_dev_id = 0x209;
  mf->hw_rev_id = 3;
  uint32_t id = 0xdead;
  errno = 0;
  EXPECT_EQ(read_device_id(mf, &id), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(mf->hw_dev_id, 0x209);
  EXPECT_EQ(mf->hw_rev_id, 3);
  EXPECT_EQ(id, 0xdeadu) << "a failed read is no data";
  EXPECT_EQ(mf->device_info, nullptr);
  EXPECT_EQ(read_device_id(nullptr, &id), -1);
  EXPECT_EQ(read_device_id(mf, nullptr), -1);
  mclose(mf);
}

TEST(DeviceId, ADatabaseHandleMadeForAnotherIdIsReplaced) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::DeviceFileDir dir;
    dir.add("0xf00", vexil_test::device_object("fixture one"));
    dir.add("0xf01", vexil_test::device_object("fixture two"));
    dir.make_default();
    mfile* mf = new_handle(ACCESS_GPU_DRIVER);
    ASSERT_EQ(init_device_info_by_id(mf, 0xF00), 0);
    ASSERT_NE(mf->device_info, nullptr);
    EXPECT_EQ(get_device_hw_id(mf->device_info), 0xF00);
    ASSERT_EQ(init_device_info_by_id(mf, 0xF01), 0);
    EXPECT_EQ(get_device_hw_id(mf->device_info), 0xF01);
    const device_info_handle kept = mf->device_info;
    ASSERT_EQ(init_device_info_by_id(mf, 0xF01), 0);
    EXPECT_EQ(mf->device_info, kept) << "a handle made for the id asked for stays";
    uint32_t id = 0;
    ASSERT_EQ(read_device_id(mf, &id), 4);  // 0x2900 without a read; no file describes it
    EXPECT_EQ(mf->device_info, nullptr) << "the handle of 0xf01 must not stand for 0x2900";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(Accessors, CopyFieldsAndRefuseNullArguments) {
  mfile* mf = new_handle(ACCESS_PCICONF);
  mf->flags = DEVFLAG_PCI;
  mf->vsec_supported = 1;
  uint32_t v = 0;
  EXPECT_EQ(mget_mdevs_type(mf, &v), 0);
  EXPECT_EQ(v, (uint32_t)ACCESS_PCICONF);
  EXPECT_EQ(mget_mdevs_flags(mf, &v), 0);
  EXPECT_EQ(v, (uint32_t)DEVFLAG_PCI);
  EXPECT_EQ(mget_addr_space(mf), 2);
  EXPECT_EQ(mget_vsec_supp(mf), 1);
  EXPECT_EQ(is_remote_dev(mf), 0);
  errno = 0;
  EXPECT_EQ(mget_mdevs_type(nullptr, &v), 1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(mget_mdevs_flags(mf, nullptr), 1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(is_remote_dev(nullptr), 0);
  EXPECT_EQ(mclose(nullptr), 0);
  mf->vsec_supported = 0;
  mf->access_type = ACCESS_PCI_BAR_GW;
  EXPECT_EQ(mget_vsec_supp(mf), 1) << "the BAR gateway always counts as VSEC";
  mf->access_type = ACCESS_PCICONF;
  mclose(mf);
}

TEST(Accessors, VsecTests) {
  mfile* mf = new_handle(ACCESS_PCICONF);
  mf->vsec_cap_mask = 0x107;
  EXPECT_EQ(VSEC_SUPPORTED_UL(mf), 0) << "needs vsec_supported";
  mf->vsec_supported = 1;
  EXPECT_EQ(VSEC_SUPPORTED_UL(mf), 1);
  mf->vsec_cap_mask = 0x7;
  EXPECT_EQ(VSEC_SUPPORTED_UL(mf), 0);
  mf->hw_dev_id = 542;
  EXPECT_EQ(VSEC_SUPPORTED_UL(mf), 1);
  mclose(mf);
}

TEST(Recovery, LivefishAndZombiefishWithoutADevice) {
  EXPECT_EQ(is_livefish_device(nullptr), 0);
  mfile* mf = new_handle(ACCESS_LIVEFISH);
  EXPECT_EQ(is_livefish_device(mf), 0) << "no dev_info";
  mf->dinfo = static_cast<dev_info*>(calloc(1, sizeof(dev_info)));
  EXPECT_EQ(is_livefish_device(mf), 1);
  mf->hw_dev_id = 0x209;
  EXPECT_EQ(is_zombiefish_device(mf), 0) << "only four hardware ids can be zombiefish";
  mclose(mf);
}

}  // namespace
