// Handle services against the simulated driver in a private namespace: VPD through the driver's
// requests and through the function's sysfs "vpd" file, DMA pages, the LPC refusal, and the
// device objects behind a handle (a device class built only in the tests).
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "handle_services.h"
#include "ioctl_interposer.h"
#include "kernel_driver.h"
#include "mtcr_int.h"
#include "reg_delivery.h"
#include "simulated_driver.h"
#include "test_device.h"
#include "test_handle.h"

namespace {

using vexil_sim::SimulatedAdapter;
using vexil_test::SimulatedDriver;
using vexil_test::TestDevice;

const std::string kConf = "/dev/qdx/tq4129_pciconf0";
const std::string kCr = "/dev/qdx/tq4129_pci_cr0";
const std::string kVpdFile = "/sys/bus/pci/devices/0000:03:00.0/vpd";

std::string vpd4(mfile* mf, unsigned offset, int* rc) {
  uint8_t bytes[4] = {};
  *rc = mvpd_read4(mf, offset, bytes);
  return std::string(reinterpret_cast<char*>(bytes), 4);
}

// The driver answers VPD dwords; where it has none, the function's sysfs file does, and only a
// read of all four bytes counts. An unaligned read needs both dwords around it.
TEST(Vpd, ThroughTheDriverThenSysfs) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::add_driver_function(0x100000);
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    driver.serve_qdx_node(kCr);
    const std::string image = "ABCDEFGHIJKLMNOP";
    driver.vpd.assign(image.begin(), image.end());
    mfile* conf = mopen(kConf.c_str());
    mfile* cr = mopen(kCr.c_str());
    ASSERT_NE(conf, nullptr);
    ASSERT_NE(cr, nullptr);

    int rc = -7;
    EXPECT_EQ(vpd4(conf, 0, &rc), "ABCD");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(vpd4(conf, 5, &rc), "FGHI");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(vpd4(cr, 12, &rc), "MNOP") << "a PCI-memory handle asks over its conf node";
    EXPECT_EQ(rc, 0);
    uint8_t word[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(mvpd_write4(conf, 4, word), 0);
    EXPECT_EQ(std::string(driver.vpd.begin(), driver.vpd.end()), "ABCDwxyzIJKLMNOP");
    errno = 0;
    EXPECT_EQ(mvpd_write4(cr, 4, word), -1);
    EXPECT_EQ(errno, EPERM);
    errno = 0;
    EXPECT_EQ(mvpd_read4(nullptr, 0, word), 2);
    EXPECT_EQ(errno, EINVAL);

    // The driver has no VPD: sysfs, 12 bytes.
    driver.vpd.clear();
    vexil_test::add_file(kVpdFile, "0123456789AB");
    EXPECT_EQ(vpd4(conf, 4, &rc), "4567");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(vpd4(conf, 6, &rc), "6789");
    EXPECT_EQ(rc, 0);
    for (unsigned offset : {12u, 10u}) {  // empty, and an unaligned read across the end
      errno = 0;
      vpd4(conf, offset, &rc);
      EXPECT_EQ(rc, EIO) << offset;
      EXPECT_EQ(errno, EIO) << offset;
    }
    vexil_test::add_file(kVpdFile, "0123456789");
    errno = 0;
    vpd4(conf, 8, &rc);
    EXPECT_EQ(rc, EIO) << "two bytes are not a dword";
    EXPECT_EQ(errno, EIO);
    unlink(kVpdFile.c_str());
    vpd4(conf, 0, &rc);
    EXPECT_EQ(rc, ENOENT);

    free(conf->dinfo);
    conf->dinfo = nullptr;
    errno = 0;
    vpd4(conf, 0, &rc);
    EXPECT_EQ(rc, -1) << "no function to find the file of";
    EXPECT_EQ(errno, EPERM);
    mclose(conf);
    mclose(cr);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// 1 to 8 zeroed, page-aligned pages; a failed pin leaves the handle holding nothing, so the close
// neither releases nor frees them again.
TEST(DmaPages, PinReleaseAndFailedPin) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::add_driver_function(0x100000);
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    mfile* mf = mopen(kConf.c_str());
    ASSERT_NE(mf, nullptr);
    driver.clear_log();
    qdx_dma_pages record = {};

    for (int count : {0, 9, -1}) {
      errno = 0;
      EXPECT_EQ(get_dma_pages(mf, &record, count), -1) << count;
      EXPECT_EQ(errno, EINVAL) << count;
      EXPECT_EQ(mf->dma_pages, nullptr);
    }
    EXPECT_EQ(driver.count(QDX_DMA_PIN), 0);

    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    ASSERT_EQ(get_dma_pages(mf, &record, 3), 0);
    const uintptr_t area = reinterpret_cast<uintptr_t>(mf->dma_pages);
    EXPECT_EQ(area % page, 0u);
    EXPECT_EQ(mf->dma_page_count, 3);
    EXPECT_EQ(driver.last_pin.entry[0].count, 3u);
    EXPECT_EQ(driver.last_pin.entry[0].address, area);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(driver.last_pin.entry[1 + i].address, area + i * page);
    EXPECT_EQ(driver.last_pin.entry[4].address, 0u);
    const uint8_t* bytes = static_cast<const uint8_t*>(mf->dma_pages);
    EXPECT_EQ(bytes[0] | bytes[3 * page - 1], 0);
    errno = 0;
    EXPECT_EQ(get_dma_pages(mf, &record, 1), -1) << "one area at a time";
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(release_dma_pages(mf, 3), 0);
    EXPECT_EQ(driver.log().back().request, (unsigned long)QDX_DMA_RELEASE);
    EXPECT_EQ(driver.log().back().size, 3u);
    EXPECT_EQ(mf->dma_pages, nullptr);
    EXPECT_EQ(mf->dma_page_count, 0);

    driver.behaviour().dma_pin_errno = EFAULT;
    errno = 0;
    EXPECT_EQ(get_dma_pages(mf, &record, 2), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(mf->dma_pages, nullptr);
    EXPECT_EQ(mf->dma_page_count, 0);
    const int releases = driver.count(QDX_DMA_RELEASE);
    mclose(mf);
    EXPECT_EQ(driver.count(QDX_DMA_RELEASE), releases) << "nothing was pinned to release";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Memory this process holds locked, from /proc/self/status (kB).
long locked_kb() {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof(line), f))
    if (sscanf(line, "VmLck: %ld", &kb) == 1) break;
  fclose(f);
  return kb;
}

// The release names the pages the handle pinned, whatever count the caller gives. While the driver
// refuses it the device may still write there: the pages stay pinned and the handle's, and the
// failure is reported, by the close as well.
TEST(DmaPages, ARefusedReleaseKeepsThePagesPinned) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::add_driver_function(0x100000);
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    mfile* mf = mopen(kConf.c_str());
    ASSERT_NE(mf, nullptr);
    const long page_kb = sysconf(_SC_PAGESIZE) / 1024;
    const long before = locked_kb();
    qdx_dma_pages record = {};
    ASSERT_EQ(get_dma_pages(mf, &record, 3), 0);
    void* const area = mf->dma_pages;
    // Locked memory is counted where mlock really locks (sanitizer builds make it do nothing).
    const long counted_kb = locked_kb() != before ? page_kb : 0;
    EXPECT_EQ(locked_kb() - before, 3 * counted_kb);

    driver.behaviour().dma_release_errno = EBUSY;
    errno = 0;
    EXPECT_EQ(release_dma_pages(mf, 1), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(driver.log().back().request, (unsigned long)QDX_DMA_RELEASE);
    EXPECT_EQ(driver.log().back().size, 3u) << "the pages the handle pinned";
    EXPECT_EQ(mf->dma_pages, area);
    EXPECT_EQ(mf->dma_page_count, 3);
    EXPECT_EQ(locked_kb() - before, 3 * counted_kb);

    driver.behaviour().dma_release_errno = 0;
    EXPECT_EQ(release_dma_pages(mf, 5), 0);
    EXPECT_EQ(driver.log().back().size, 3u);
    EXPECT_EQ(mf->dma_pages, nullptr);
    EXPECT_EQ(locked_kb(), before);

    ASSERT_EQ(get_dma_pages(mf, &record, 2), 0);
    driver.behaviour().dma_release_errno = EBUSY;
    errno = 0;
    EXPECT_EQ(mclose(mf), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(driver.log().back().request, (unsigned long)QDX_DMA_RELEASE);
    EXPECT_EQ(driver.log().back().size, 2u);
    EXPECT_EQ(locked_kb() - before, 2 * counted_kb) << "still pinned for the device";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// There is no LPC port access here: the open fails and leaves no node open behind.
TEST(Lpc, OpenFailsAndLeavesNothingOpen) {
  auto result = vexil_test::run_in_private_namespace([] {
    const std::string node = vexil_test::add_qdx_node("lpc0");
    errno = 0;
    EXPECT_EQ(mopen(node.c_str()), nullptr);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_FALSE(vexil_test::holds_descriptor_on(node));
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(HandleUtilities, EnvironmentNumbersAndReplacement) {
  unsetenv("VEXIL_TEST_NUMBER");
  EXPECT_EQ(get_env_variable_by_name("VEXIL_TEST_NUMBER"), 0u);
  setenv("VEXIL_TEST_NUMBER", "0x1f", 1);
  EXPECT_EQ(get_env_variable_by_name("VEXIL_TEST_NUMBER"), 31u);
  setenv("VEXIL_TEST_NUMBER", "12ab", 1);
  setenv("ZRV_DEBUG", "1", 1);
  {
    vexil_test::CapturedStream err(2);
    EXPECT_EQ(get_env_variable_by_name("VEXIL_TEST_NUMBER"), 12u);
    EXPECT_EQ(err.text(), "bad format give for environment variable!");
  }
  unsetenv("ZRV_DEBUG");
  unsetenv("VEXIL_TEST_NUMBER");

  char out[16];
  EXPECT_EQ(search_replace("tq4129_cr0", out, sizeof(out), "_cr", "conf"), 0);
  EXPECT_STREQ(out, "tq4129conf0");
  EXPECT_EQ(search_replace("tq4129", out, sizeof(out), "_cr", "conf"), 1);
  EXPECT_STREQ(out, "tq4129");
  EXPECT_EQ(search_replace("abcdefghij_cr", out, sizeof(out), "_cr", "_longer"), -1);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_STREQ(out, "") << "nothing past the buffer, nothing half-written";

}

// A device object placed in a handle takes its dwords, blocks and registers through the flat
// functions, and the close destroys it.
TEST(DeviceObjectHandle, AccessesGoThroughTheDeviceAndCloseDestroysIt) {
  auto result = vexil_test::run_in_private_namespace([] {
    bool destroyed = false;
    auto* dev = new TestDevice("crvlsw-1", zrv_core::eCommunicationTypeSwitchOS, &destroyed);
    mfile* mf = new_handle(ACCESS_SWITCH_OS);
    mf->flags = DEVFLAG_SWITCH_OS;
    mf->device = dev;
    uint32_t v = 0;
    EXPECT_EQ(mwrite4(mf, 8, 0x12345678), 4);
    EXPECT_EQ(dev->cr_space[2], 0x12345678u);
    dev->cr_space[3] = 0xCAFE;
    EXPECT_EQ(mread4(mf, 12, &v), 4);
    EXPECT_EQ(v, 0xCAFEu);
    uint32_t block[4] = {1, 2, 3, 4}, back[4] = {};
    EXPECT_EQ(mwrite4_block(mf, 0x20, block, 16), 16);
    EXPECT_EQ(mread4_block(mf, 0x20, back, 16), 16);
    EXPECT_EQ(back[3], 4u);
    dev->throws = TestDevice::Throw::kStandard;
    EXPECT_EQ(mread4(mf, 12, &v), -1);
    mclose(mf);
    EXPECT_TRUE(destroyed);

    destroyed = false;
    dev = new TestDevice("gpu0", zrv_core::eCommunicationTypeGpu, &destroyed);
    mf = new_handle(ACCESS_GPU_DRIVER);
    mf->flags = DEVFLAG_GPU;
    mf->device = dev;
    dev->reg_image = {0x01020304, 0, 0, 0x0A0B0C0D};
    uint32_t reg[4] = {};
    int status = -1;
    EXPECT_EQ(maccess_reg(mf, 0xC011, MACCESS_REG_METHOD_GET, reg, 16, 16, 16, &status), ME_OK);
    EXPECT_EQ(dev->last_op, "Get");
    EXPECT_EQ(dev->last_target, 0xC011u);
    EXPECT_EQ(dev->last_length, 16u) << "the bare image, without the core's framing";
    EXPECT_EQ(reg[3], 0x0A0B0C0Du);
    dev->register_status = 4;
    reg[0] = 0x55;
    EXPECT_EQ(maccess_reg(mf, 0xC012, MACCESS_REG_METHOD_SET, reg, 16, 16, 16, &status),
              ME_REG_ACCESS_REG_NOT_SUPP);
    EXPECT_EQ(dev->reg_image[0], 0x55u);
    dev->throws = TestDevice::Throw::kZrv;
    EXPECT_NE(maccess_reg(mf, 0xC011, MACCESS_REG_METHOD_GET, reg, 16, 16, 16, &status), ME_OK);
    mclose(mf);
    EXPECT_TRUE(destroyed);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
