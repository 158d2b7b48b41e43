// The kernel-driver transport against a simulated driver: "/dev/qdx" nodes are plain files in a
// private mount namespace, the driver's requests are answered through the ioctl interposer from a
// simulated adapter, and a mapped node's sparse file stands in for the BAR.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "ioctl_interposer.h"
#include "kernel_driver.h"
#include "mtcr_int.h"
#include "simulated_driver.h"

namespace {

using vexil_sim::SimulatedAdapter;
using vexil_test::add_driver_function;
using vexil_test::get_be32;
using vexil_test::put_be32;
using vexil_test::SimulatedDriver;

const std::string kConf = "/dev/qdx/tq4129_pciconf0";
const std::string kCr = "/dev/qdx/tq4129_pci_cr0";
constexpr uint32_t kMiB = 0x100000;

uint32_t u32_at(const std::vector<uint8_t>& b, size_t off) {
  uint32_t v;
  memcpy(&v, b.data() + off, 4);
  return v;
}

uint16_t u16_at(const std::vector<uint8_t>& b, size_t off) {
  uint16_t v;
  memcpy(&v, b.data() + off, 2);
  return v;
}

TEST(DriverConfNode, InitHandshakeVsecInformationAndDwords) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_driver_function();
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);

    vexil_test::CapturedStream err(2);
    mfile* mf = mopen(kConf.c_str());
    EXPECT_EQ(err.text(), "") << "an in-sync driver is not warned about";
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(mf->driver_cfg_valid, 1);
    EXPECT_EQ(mf->driver_cfg, 0x5A5A);
    EXPECT_EQ(mf->old_driver, 0);
    EXPECT_EQ(mf->vsec_supported, 1u);
    EXPECT_EQ(mf->vsec_cap_mask, 0x107u);

    ASSERT_EQ(driver.init_records.size(), 1u);
    const std::vector<uint8_t>& init = driver.init_records[0];
    EXPECT_EQ(u16_at(init, 0), 1);
    EXPECT_EQ(u16_at(init, 2), ACCESS_PCICONF);
    EXPECT_EQ(u16_at(init, 4), 1);
    EXPECT_EQ(u32_at(init, 8), 0u);
    EXPECT_EQ(u32_at(init, 12), 72u);

    EXPECT_EQ(mf->secondary_fd, -1);
    ASSERT_EQ(mpci_change(mf), 0);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF) << "a conf node has nothing to swap in";

    uint32_t v = 0;
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0x212u) << "the adapter's hardware id";
    EXPECT_EQ(driver.log().back().request, (unsigned long)PCICONF_READ4_NEW);
    EXPECT_EQ(driver.log().back().space, 2u);
    ASSERT_EQ(mwrite4(mf, 0x1000, 0xCAFEBABE), 4);
    ASSERT_TRUE(adapter.read_space(2, 0x1000, v));
    EXPECT_EQ(v, 0xCAFEBABEu);

    driver.behaviour().dword_errno = EIO;
    errno = 0;
    EXPECT_EQ(mread4(mf, 0x1000, &v), -1);
    EXPECT_EQ(errno, EIO) << "the driver's failure code reaches the caller";
    driver.behaviour().dword_errno = 0;
    EXPECT_EQ(mclose(mf), 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverConfNode, BufferRequestsCarryChunksOfAtMost256Bytes) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_driver_function();
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    mfile* mf = mopen(kConf.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);

    for (uint32_t i = 0; i < 150; ++i) ASSERT_TRUE(adapter.write_space(2, 0x2000 + 4 * i, 0xA000 + i));
    std::vector<uint32_t> data(150, 0);
    driver.clear_log();
    ASSERT_EQ(mread4_block(mf, 0x2000, data.data(), 600), 600);
    for (uint32_t i = 0; i < 150; ++i) ASSERT_EQ(data[i], 0xA000 + i) << "dword " << i;
    ASSERT_EQ(driver.count(PCICONF_READ4_BUFFER_EX), 3);
    EXPECT_EQ(driver.log()[0].size, 256u);
    EXPECT_EQ(driver.log()[1].offset, 0x2100u);
    EXPECT_EQ(driver.log()[2].size, 88u);

    // A driver whose buffer read does not answer the length: the older number must.
    driver.behaviour().buffer_ex_returns_zero = true;
    driver.clear_log();
    std::fill(data.begin(), data.end(), 0);
    ASSERT_EQ(mread4_block(mf, 0x2000, data.data(), 16), 16);
    EXPECT_EQ(data[3], 0xA003u);
    EXPECT_EQ(driver.count(PCICONF_READ4_BUFFER), 1);

    std::vector<uint32_t> out(75);
    for (uint32_t i = 0; i < 75; ++i) out[i] = 0xB000 + i;
    driver.clear_log();
    ASSERT_EQ(mwrite4_block(mf, 0x3000, out.data(), 300), 300);
    EXPECT_EQ(driver.count(PCICONF_WRITE4_BUFFER), 2);
    uint32_t v = 0;
    ASSERT_TRUE(adapter.read_space(2, 0x3000 + 4 * 74, v));
    EXPECT_EQ(v, 0xB000u + 74);

    uint8_t too_big[QDX_BUFFER_MAX + 4];
    errno = 0;
    EXPECT_EQ(kdrv_read_buffer_ex(mf, 2, 0, too_big, sizeof too_big), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(kdrv_write_buffer(mf, 2, 0, too_big, sizeof too_big), -1);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverConfNode, OutOfSyncAndOldDriversOpenAnyway) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_driver_function();
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    const std::string warning =
        "-W- Found an out-of-sync QDX kernel module. please install an up to date ZRV kernel "
        "and user space.\n";

    driver.behaviour().init_in_sync = false;
    {
      vexil_test::CapturedStream err(2);
      mfile* mf = mopen(kConf.c_str());
      EXPECT_EQ(err.text(), warning);
      ASSERT_NE(mf, nullptr);
      EXPECT_EQ(mf->driver_cfg_valid, 0);
      EXPECT_EQ(mf->vsec_supported, 1u);
      mclose(mf);
    }
    // A reply flag of 1 is not enough: both 1 fields must come back as they went.
    driver.behaviour().init_in_sync = true;
    driver.behaviour().init_clears_one = true;
    {
      vexil_test::CapturedStream err(2);
      mfile* mf = mopen(kConf.c_str());
      EXPECT_EQ(err.text(), warning);
      ASSERT_NE(mf, nullptr);
      EXPECT_EQ(mf->driver_cfg_valid, 0) << "nothing of an out-of-sync reply is kept";
      EXPECT_EQ(mf->driver_cfg, 0);
      mclose(mf);
    }
    driver.behaviour().init_clears_one = false;
    driver.behaviour().init_fails = true;
    {
      vexil_test::CapturedStream err(2);
      mfile* mf = mopen(kConf.c_str());
      EXPECT_EQ(err.text(), warning);
      ASSERT_NE(mf, nullptr) << "the init request never fails an open";
      mclose(mf);
    }

    // An old driver has no VSEC information: dwords go through the old requests.
    driver.behaviour().init_fails = false;
    driver.behaviour().vsec_info_fails = true;
    mfile* mf = mopen(kConf.c_str());
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->old_driver, 1);
    EXPECT_EQ(mf->vsec_supported, 0u);
    driver.clear_log();
    uint32_t v = 0;
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0x212u);
    ASSERT_EQ(mwrite4(mf, 0x40, 7), 4);
    EXPECT_EQ(driver.count(QDX_OLD_READ4), 1);
    EXPECT_EQ(driver.count(QDX_OLD_WRITE4), 1);
    EXPECT_EQ(driver.count(PCICONF_READ4_NEW), 0);
    mclose(mf);

    // A driver that answers VSEC information without support leaves the mask alone; the debug
    // line tells only of a mask that was taken.
    const std::string taken = "mf->vsec_cap_mask now initialized.\n";
    driver.behaviour().vsec_info_fails = false;
    driver.behaviour().vsec_supported = 0;
    setenv("ZRV_DEBUG", "1", 1);
    {
      vexil_test::CapturedStream err(2);
      mf = mopen(kConf.c_str());
      EXPECT_EQ(err.text().find(taken), std::string::npos);
    }
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->old_driver, 0);
    EXPECT_EQ(mf->vsec_supported, 0u);
    EXPECT_EQ(mf->vsec_cap_mask, 0u);
    mclose(mf);
    driver.behaviour().vsec_supported = 1;
    {
      vexil_test::CapturedStream err(2);
      mf = mopen(kConf.c_str());
      EXPECT_NE(err.text().find(taken), std::string::npos);
    }
    unsetenv("ZRV_DEBUG");
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->vsec_cap_mask, 0x107u);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverCrNode, MapsTheBarAndSwapsToTheConfNode) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_driver_function(2 * kMiB);
    put_be32(kCr, 0xF0014, 0x212);
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.behaviour().bar_size = 2 * kMiB;
    driver.serve_qdx_node(kCr);
    driver.serve_qdx_node(kConf);

    mfile* mf = mopen(kCr.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCI_MEMORY);
    EXPECT_EQ(mf->map_len, 2 * kMiB);
    EXPECT_GE(mf->secondary_fd, 0) << "the conf node beside the cr node";
    EXPECT_EQ(mf->wa_sem_addr, 0u) << "not one of the oldest NICs";
    EXPECT_EQ(driver.count(QDX_WA_SEM_BASE), 0);
    uint32_t v = 0;
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0x212u) << "read from the mapped node";
    ASSERT_EQ(mwrite4(mf, 2 * kMiB - 4, 0x01020304), 4);
    EXPECT_EQ(get_be32(kCr, 2 * kMiB - 4), 0x01020304u) << "a shared, writable map of the node";

    // The conf node becomes the primary: dwords now go to the driver's dword requests.
    ASSERT_EQ(mpci_change(mf), 0);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(mf->secondary_type, (uint32_t)ACCESS_PCI_MEMORY);
    driver.clear_log();
    ASSERT_EQ(mwrite4(mf, 0x500, 0x77), 4);
    ASSERT_EQ(driver.log().size(), 1u);
    EXPECT_EQ(driver.log()[0].node, kConf);
    EXPECT_EQ(driver.log()[0].request, (unsigned long)PCICONF_WRITE4_NEW);
    ASSERT_EQ(mpci_change(mf), 0);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCI_MEMORY);
    ASSERT_EQ(mread4(mf, 2 * kMiB - 4, &v), 4);
    EXPECT_EQ(v, 0x01020304u);
    EXPECT_EQ(mclose(mf), 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverCrNode, BarRequestOrMapFailureFailsTheOpen) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_driver_function(kMiB);
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kCr);
    driver.serve_qdx_node(kConf);
    driver.behaviour().bar_errno = ENXIO;
    errno = 0;
    EXPECT_EQ(mopen(kCr.c_str()), nullptr);
    EXPECT_EQ(errno, ENXIO) << "the request's own errno";
    driver.behaviour().bar_errno = 0;
    driver.behaviour().bar_size = 0;
    errno = 0;
    EXPECT_EQ(mopen(kCr.c_str()), nullptr);
    EXPECT_EQ(errno, EINVAL) << "an empty BAR cannot be mapped";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverCrNode, OldestNicWorkaroundSemaphoreMustLieInTheMap) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_driver_function(kMiB);
    put_be32(kCr, 0xF0014, 0x1F5);
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kCr);
    driver.serve_qdx_node(kConf);

    const uint32_t sem = (0x100 + 0x3C0E1) * 4;
    put_be32(kCr, sem, 0xFFFF);
    driver.behaviour().sem_base = 0x100;
    mfile* mf = mopen(kCr.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->wa_sem_addr, sem);
    EXPECT_EQ(get_be32(kCr, sem), 0u) << "the open ran one write confirm";
    EXPECT_EQ(mf->wa_counters[WA_CALLS], 1u);
    mclose(mf);

    // A semaphore base the driver places outside the map is refused before any access.
    for (uint32_t base : {0x10000u, 0xFFFFFFFFu, (kMiB / 4) - 0x3C0E1}) {
      driver.behaviour().sem_base = base;
      errno = 0;
      EXPECT_EQ(mopen(kCr.c_str()), nullptr) << std::hex << base;
      EXPECT_EQ(errno, EINVAL) << std::hex << base;
    }
    driver.behaviour().sem_base = (kMiB / 4) - 0x3C0E1 - 1;  // the last dword of the map
    mf = mopen(kCr.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->wa_sem_addr, kMiB - 4);
    mclose(mf);

    driver.behaviour().sem_base_fails = true;
    errno = 0;
    EXPECT_EQ(mopen(kCr.c_str()), nullptr);
    EXPECT_EQ(errno, ENOTTY);

    setenv("TQCR_TARNEL_WA", "0", 1);
    driver.clear_log();
    mf = mopen(kCr.c_str());
    ASSERT_NE(mf, nullptr) << "the workaround is off";
    EXPECT_EQ(mf->wa_sem_addr, 0u);
    EXPECT_EQ(driver.count(QDX_WA_SEM_BASE), 0);
    mclose(mf);
    unsetenv("TQCR_TARNEL_WA");
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverCrNode, BarGatewayOffsetMustLeaveRoomForItsTwoDwords) {
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kCr);
    driver.serve_qdx_node(kConf);
    // Without the workaround the open itself reads nothing: the offset is refused up front.
    setenv("TQCR_TARNEL_WA", "0", 1);
    for (const char* offset : {"0x200000", "0xFFFFC", "0xFFFFA"}) {
      add_driver_function(kMiB, std::string("bar_gw_offset = ") + offset + "\n");
      errno = 0;
      EXPECT_EQ(mopen(kCr.c_str()), nullptr) << offset;
      EXPECT_EQ(errno, EINVAL) << offset;
    }
    unsetenv("TQCR_TARNEL_WA");
    add_driver_function(kMiB, "bar_gw_offset = 0xFFFF8\n");
    mfile* mf = mopen(kCr.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCI_BAR_GW);
    EXPECT_EQ(mf->bar_gw_offset, 0xFFFF8u);
    struct stat st;
    EXPECT_EQ(stat("/tmp/brasquet_lockfiles/tq4129_pci_cr0_mem", &st), 0) << "its lock file";
    ASSERT_EQ(mwrite4(mf, 0x1234, 0xAABBCCDD), 4);
    EXPECT_EQ(get_be32(kCr, 0xFFFF8), 0xAABBCCDDu);
    EXPECT_EQ(get_be32(kCr, 0xFFFFC), 0x1234u);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverRequests, DmaPagesConfigurationDwordsAndVpd) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_driver_function();
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    mfile* mf = mopen(kConf.c_str());
    ASSERT_NE(mf, nullptr);

    uint32_t v = 0;
    ASSERT_EQ(kdrv_read_conf_dword(mf, 0, &v), 0);
    EXPECT_EQ(v, 0x101d15b3u) << "vendor and device id of the adapter's header";

    qdx_dma_pages pages = {};
    pages.entry[0].count = QDX_DMA_MAX_PAGES + 1;
    driver.clear_log();
    errno = 0;
    EXPECT_EQ(kdrv_pin_dma_pages(mf, &pages), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(driver.log().empty()) << "an over-long record never reaches the driver";
    pages.entry[0].count = 2;
    EXPECT_EQ(kdrv_pin_dma_pages(mf, &pages), 0);
    EXPECT_EQ(kdrv_release_dma_pages(mf, 2), 0);
    EXPECT_EQ(kdrv_release_dma_pages(mf, -1), -1);
    ASSERT_EQ(driver.log().size(), 2u);
    EXPECT_EQ(driver.log()[0].request, (unsigned long)QDX_DMA_PIN);
    EXPECT_EQ(driver.log()[1].request, (unsigned long)QDX_DMA_RELEASE);
    EXPECT_EQ(driver.log()[1].size, 2u) << "the page count leads the release record";

    errno = 0;
    EXPECT_EQ(kdrv_vpd_read4(mf, mf->fd, 0, &v), -1) << "this driver has no VPD";
    EXPECT_EQ(errno, ENOTTY);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace

namespace {

// A forced-SMBus transfer whose unlock cannot write the pins' words back fails, and the handle
// keeps the words it found: the next transfer writes those back, not the handed-over ones.
TEST(DriverRequests, ForcedSmbusReportsAFailedUnlockAndKeepsThePinsOwnWords) {
  auto result = vexil_test::run_in_private_namespace([] {
    add_driver_function();
    vexil_sim::FunctionConfig config;
    config.hw_id = 0x209;
    SimulatedAdapter adapter(config);
    adapter.i2c_bus().add_memory(0x50, 1, {7, 8, 9});
    adapter.write_space(vexil_sim::kSpaceCr, 0xF2028, 0x11);
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    vexil_test::ScopedEnv force("FORCE_I2C", "1");
    vexil_test::ScopedEnv smbus("FORCE_SMBUS", "1");
    mfile* mf = mopen(kConf.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);

    driver.behaviour().refused_write_address = 0xF2028;
    driver.behaviour().refused_write_skip = 1;  // the hand-over's write goes through
    uint8_t byte = 0;
    EXPECT_EQ(mread_i2cblock(mf, 0x50, 1, 1, &byte, 1), -1);
    uint32_t word = 0;
    ASSERT_TRUE(adapter.read_space(vexil_sim::kSpaceCr, 0xF2028, word));
    EXPECT_EQ(word, 0x07FF8011u) << "still handed over";

    driver.behaviour().refused_write_address = 0;
    EXPECT_EQ(mread_i2cblock(mf, 0x50, 1, 1, &byte, 1), 1);
    EXPECT_EQ(byte, 8);
    ASSERT_TRUE(adapter.read_space(vexil_sim::kSpaceCr, 0xF2028, word));
    EXPECT_EQ(word, 0x11u) << "the pins' own word";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
