// The user-level path through the driver's per-function nodes: "/dev/<address>_qdxcr" and
// "_qdxconf" are plain files in a private mount namespace whose requests a simulated driver
// answers from a simulated adapter. Covers the cr node with its conf secondary, the fall-back to
// the conf node, the oldest NICs' flush through the driver and its bound, block chunking, and
// ICMD in CR space at the geometry the device's file gives.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_files.h"
#include "fake_system.h"
#include "ioctl_interposer.h"
#include "kernel_driver.h"
#include "mtcr_int.h"
#include "pci_ul_int.h"
#include "simulated_driver.h"

namespace {

using vexil_sim::FunctionConfig;
using vexil_sim::SimulatedAdapter;
using vexil_test::holds_descriptor_on;
using vexil_test::SimulatedDriver;

const std::string kCrNode = "/dev/0000:03:00.0_qdxcr";
const std::string kConfNode = "/dev/0000:03:00.0_qdxconf";
constexpr uint32_t kSemBase = 0x100;
constexpr uint32_t kSem = (kSemBase + 0x3C0E1) * 4;

// The function in sysfs and its driver nodes (the cr node only when asked for).
void build_function(SimulatedDriver& driver, bool with_cr = true) {
  vexil_test::FakePciFunction fn;
  fn.address = "0000:03:00.0";
  fn.device = 0x101d;
  vexil_test::add_pci_function(fn);
  if (with_cr) {
    vexil_test::add_file(kCrNode, "");
    driver.serve_function_node(kCrNode);
  }
  vexil_test::add_file(kConfNode, "");
  driver.serve_function_node(kConfNode);
  driver.behaviour().sem_base = kSemBase;
}

TEST(DriverNodes, CrNodeWithTheConfNodeAsSecondary) {
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    build_function(driver);

    // The public open reaches the user-level path: no "/dev/qdx" nodes here.
    mfile* mf = mopen("0000:03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    ASSERT_NE(mf->ul_ctx, nullptr);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCI_MEMORY);
    EXPECT_EQ(mf->ul_ctx->via_driver, 1);
    EXPECT_EQ(mf->wa_sem_addr, kSem);
    EXPECT_EQ(mf->secondary_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_TRUE(holds_descriptor_on(kConfNode));
    ASSERT_NE(mf->dinfo, nullptr);
    EXPECT_EQ(mf->dinfo->dev_id, 0x101d);
    EXPECT_EQ(mf->ul_ctx->needs_flush, 0);

    uint32_t v = 0;
    driver.clear_log();
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0x212u);
    ASSERT_EQ(driver.log().size(), 1u);
    EXPECT_EQ(driver.log()[0].node, kCrNode);
    EXPECT_EQ(driver.log()[0].request, (unsigned long)QDX_UL_READ4);
    ASSERT_EQ(mwrite4(mf, 0x800, 0x1234), 4);
    ASSERT_TRUE(adapter.read_space(2, 0x800, v));
    EXPECT_EQ(v, 0x1234u);

    // Blocks in chunks of 256 bytes: the offset moves by the chunk, the buffer by its dwords.
    for (uint32_t i = 0; i < 150; ++i) ASSERT_TRUE(adapter.write_space(2, 0x4000 + 4 * i, i * 3));
    std::vector<uint32_t> data(150);
    driver.clear_log();
    ASSERT_EQ(mread4_block(mf, 0x4000, data.data(), 600), 600);
    for (uint32_t i = 0; i < 150; ++i) ASSERT_EQ(data[i], i * 3) << "dword " << i;
    ASSERT_EQ(driver.log().size(), 3u);
    EXPECT_EQ(driver.log()[1].offset, 0x4100u);
    EXPECT_EQ(driver.log()[2].offset, 0x4200u);
    EXPECT_EQ(driver.log()[2].size, 88u);
    for (uint32_t& d : data) d ^= 0xFFFF;
    ASSERT_EQ(mwrite4_block(mf, 0x4000, data.data(), 300), 300);
    EXPECT_EQ(driver.count(QDX_UL_WRITE_BLOCK), 2);
    ASSERT_TRUE(adapter.read_space(2, 0x4000 + 4 * 74, v));
    EXPECT_EQ(v, (74u * 3) ^ 0xFFFF);

    // A failing block read is tried once more, then with the older number.
    driver.behaviour().block_read_failures = 2;
    driver.clear_log();
    ASSERT_EQ(mread4_block(mf, 0x4000, data.data(), 16), 16);
    EXPECT_EQ(data[1], 3u ^ 0xFFFF);
    EXPECT_EQ(driver.count(QDX_UL_READ_BLOCK), 2);
    EXPECT_EQ(driver.count(QDX_UL_READ_BLOCK_OLD), 1);
    driver.behaviour().block_read_failures = 3;
    errno = 0;
    EXPECT_EQ(mread4_block(mf, 0x4000, data.data(), 8), -1) << "all three requests failed";
    EXPECT_EQ(errno, EIO);

    // The conf node as primary: its dword requests, blocks dword by dword.
    ASSERT_EQ(mpci_change(mf), 0);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    driver.clear_log();
    ASSERT_EQ(mread4_block(mf, 0x4000, data.data(), 16), 16);
    EXPECT_EQ(data[2], 6u ^ 0xFFFF);
    ASSERT_EQ(driver.log().size(), 4u);
    for (const auto& r : driver.log()) {
      EXPECT_EQ(r.node, kConfNode);
      EXPECT_EQ(r.request, (unsigned long)QDX_UL_READ4);
    }
    ASSERT_EQ(mpci_change(mf), 0);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCI_MEMORY);
    driver.clear_log();
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(driver.log()[0].node, kCrNode);
    EXPECT_EQ(mclose(mf), 0);
    EXPECT_FALSE(holds_descriptor_on(kCrNode));
    EXPECT_FALSE(holds_descriptor_on(kConfNode));
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverNodes, ConfNodeWhenTheCrNodeCannotServe) {
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    build_function(driver);

    // No semaphore base on the cr node: it is closed and the conf node is used.
    driver.behaviour().sem_base_fails = true;
    mfile* mf = mopen_ul("0000:03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(mf->vsec_supported, 1u);
    EXPECT_EQ(mf->address_space, 2);
    EXPECT_EQ(mf->vsec_cap_mask, 0x10Fu);
    EXPECT_FALSE(holds_descriptor_on(kCrNode));
    uint32_t v = 0;
    driver.clear_log();
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0x212u);
    EXPECT_EQ(driver.log()[0].node, kConfNode);
    EXPECT_EQ(driver.log()[0].space, 2u);
    std::vector<uint32_t> data(70);
    driver.clear_log();
    ASSERT_EQ(mread4_block(mf, 0, data.data(), 280), 280);
    EXPECT_EQ(driver.count(QDX_UL_READ_BLOCK), 2) << "block requests on the conf node";
    errno = 0;
    EXPECT_EQ(kdrv_ul_vpd_read4(mf, 0x10, &v), -1) << "this driver keeps no VPD";
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(driver.log().back().request, (unsigned long)QDX_UL_VPD_READ4);
    EXPECT_EQ(driver.log().back().node, kConfNode);
    mclose(mf);

    // A device without VSEC keeps the default space and an empty mask.
    driver.behaviour().vsec_supported = 0;
    mf = mopen_ul("0000:03:00.0");
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->vsec_supported, 0u);
    EXPECT_EQ(mf->vsec_cap_mask, 0u);
    mclose(mf);

    // The device parameters must answer.
    driver.behaviour().params_fails = true;
    {
      vexil_test::CapturedStream err(2);
      errno = 0;
      EXPECT_EQ(mopen_ul("0000:03:00.0"), nullptr);
      EXPECT_EQ(errno, ENODEV);
      EXPECT_EQ(err.text(), "-E- Failed to get Device PARAMS!\n");
    }
    EXPECT_FALSE(holds_descriptor_on(kConfNode)) << "closed again after the failure";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverNodes, OnlyAConfNode) {
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    build_function(driver, false);
    mfile* mf = mopen_ul("pciconf-03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(driver.count(QDX_UL_WA_SEM_BASE), 0) << "no cr node was there to ask";
    EXPECT_EQ(mpci_change(mf), 0);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF) << "no secondary to swap in";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverNodes, ANameEndingInConfigIsConfigurationSpaceWhateverNodesExist) {
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    build_function(driver);
    const std::string config = "/sys/bus/pci/devices/0000:03:00.0/config";
    mfile* mf = mopen_ul(config.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(mf->ul_ctx->via_driver, 0);
    EXPECT_TRUE(holds_descriptor_on(config));
    EXPECT_FALSE(holds_descriptor_on(kCrNode));
    EXPECT_FALSE(holds_descriptor_on(kConfNode));
    EXPECT_TRUE(holds_descriptor_on("/tmp/brasquet_lockfiles/0000:03:00.0_config"));
    ASSERT_EQ(mwrite4(mf, 0x2000, 7), 4) << "through the configuration file's own window";
    EXPECT_TRUE(driver.log().empty()) << "the driver was never asked";
    mclose(mf);
    EXPECT_FALSE(holds_descriptor_on(config));
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverNodes, SignatureOfTheCrNode) {
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    build_function(driver);
    for (uint32_t unusable : {0xFFFFFFFFu, 0xBADACCE5u}) {
      driver.behaviour().hw_id_override = unusable;
      errno = 0;
      EXPECT_EQ(mopen_ul("0000:03:00.0"), nullptr) << std::hex << unusable;
      EXPECT_EQ(errno, EIO);
      EXPECT_FALSE(holds_descriptor_on(kCrNode));
    }
    driver.behaviour().hw_id_override = 0;
    driver.behaviour().dword_errno = ENXIO;
    errno = 0;
    EXPECT_EQ(mopen_ul("0000:03:00.0"), nullptr);
    EXPECT_EQ(errno, ENXIO) << "the failing read's own errno";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverNodes, OldestNicFlushesThroughTheDriverAndGivesUp) {
  auto result = vexil_test::run_in_private_namespace([] {
    FunctionConfig cfg;
    cfg.hw_id = 0x1F7;
    SimulatedAdapter adapter(cfg);
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    build_function(driver);
    ASSERT_TRUE(adapter.write_space(2, kSem, 0x55));
    mfile* mf = mopen_ul("0000:03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->ul_ctx->needs_flush, 1);
    uint32_t v = 1;
    ASSERT_TRUE(adapter.read_space(2, kSem, v));
    EXPECT_EQ(v, 0u) << "the open flushed through the semaphore";

    ASSERT_EQ(mwrite4(mf, 0x900, 5), 4);
    ASSERT_TRUE(adapter.write_space(2, kSem, 0x55));
    driver.clear_log();
    ASSERT_EQ(mread4(mf, 0x900, &v), 4);
    EXPECT_EQ(v, 5u);
    ASSERT_GE(driver.log().size(), 3u);
    EXPECT_EQ(driver.log()[0].request, (unsigned long)QDX_UL_WRITE4);
    EXPECT_EQ(driver.log()[0].offset, kSem);
    EXPECT_EQ(driver.log()[1].offset, kSem);
    EXPECT_EQ(driver.log().back().offset, 0x900u);
    driver.clear_log();
    ASSERT_EQ(mread4(mf, 0x900, &v), 4);
    EXPECT_EQ(driver.log().size(), 1u) << "no flush without a write";

    // A semaphore that never clears: the flush gives up after a bounded number of reads, counted
    // rather than timed, so a busy machine changes nothing.
    auto semaphore_reads = [&driver] {
      int n = 0;
      for (const auto& r : driver.log()) n += r.request == QDX_UL_READ4 && r.offset == kSem;
      return n;
    };
    driver.behaviour().stuck_address = kSem;
    ASSERT_EQ(mwrite4(mf, 0x900, 6), 4);
    driver.clear_log();
    errno = 0;
    EXPECT_EQ(mread4(mf, 0x900, &v), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(driver.count(QDX_UL_READ4), (int)UL_FLUSH_MAX_READS);
    mclose(mf);

    driver.clear_log();
    errno = 0;
    EXPECT_EQ(mopen_ul("0000:03:00.0"), nullptr) << "the open's own flush is bounded too";
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(semaphore_reads(), (int)UL_FLUSH_MAX_READS);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace

// ICMD where the device has no usable VSEC: the mailbox sits in CR space where the device file
// says, and the cr node's dword requests reach it.
namespace icmd_in_cr_space {

constexpr uint16_t kCapRegister = 0xC011;
constexpr uint32_t kFixtureId = 0xF00;  // no known device has it

vexil_test::IcmdGeometry sim_geometry(const FunctionConfig& cfg) {
  using vexil_sim::CrSpace;
  vexil_test::IcmdGeometry g;
  g.cmd_ptr_address = CrSpace::kMailboxPointerAddress;
  g.cmd_ptr_bitlen = 24;
  g.semaphore_address = CrSpace::kMailboxSemaphoreAddress;
  g.static_cfg_not_done_address = cfg.not_ready_address;
  g.static_cfg_not_done_offset = cfg.not_ready_bit;
  g.version_address = CrSpace::kMailboxVersionAddress;
  g.version_bit_offset = 24;
  g.version_bitlen = 8;
  return g;
}

TEST(DriverNodes, IcmdInCrSpaceTakesItsMailboxFromTheDeviceFile) {
  auto result = vexil_test::run_in_private_namespace([] {
    FunctionConfig cfg;
    cfg.hw_id = kFixtureId;
    cfg.cr_mailbox = true;
    SimulatedAdapter adapter(cfg);
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    build_function(driver);
    driver.behaviour().vsec_supported = 0;
    const std::vector<uint8_t> limits = {0, 1, 0, 0, 0x12, 0x34, 0x56, 0x78};
    adapter.set_register_image(kCapRegister, limits);

    // Without a device file the version word is looked for at 0 and reads 0.
    std::vector<uint8_t> data(8, 0);
    int status = -1;
    mfile* mf = mopen("0000:03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    ASSERT_EQ(mf->vsec_supported, 0u);
    {
      vexil_test::CapturedStream err(2);
      EXPECT_EQ(maccess_reg(mf, kCapRegister, MACCESS_REG_METHOD_GET, data.data(), 8, 8, 8, &status),
                ME_ICMD_UNSUPPORTED_ICMD_VERSION);
      EXPECT_EQ(err.text(), "ICMD version 0 unsupported\n");
    }
    EXPECT_EQ(mf->device_info, nullptr);
    EXPECT_EQ(adapter.stats().icmd_commands, 0u);
    mclose(mf);

    vexil_test::DeviceFileDir dir;
    dir.add("0xf00", vexil_test::device_object("fixture adapter", "NIC", sim_geometry(cfg)));
    dir.make_default();
    vexil_test::ReadWatch watch(dir.path());
    mf = mopen("0000:03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(maccess_reg(mf, kCapRegister, MACCESS_REG_METHOD_GET, data.data(), 8, 8, 8, &status), 0);
    EXPECT_NE(mf->device_info, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(data, limits);
    EXPECT_EQ(mf->icmd.cmd_addr, vexil_sim::CrSpace::kMailboxAddress) << "the pointer's low 24 bits";
    EXPECT_EQ(mf->icmd.ctrl_addr, vexil_sim::CrSpace::kMailboxAddress + 0x3FC);
    const vexil_sim::AdapterStats stats = adapter.stats();
    EXPECT_EQ(stats.icmd_commands, 1u);
    EXPECT_EQ(stats.unlocked_icmd_commands, 0u) << "under the CR-space semaphore";
    EXPECT_EQ(stats.last_opcode, 0x9001u);
    EXPECT_EQ(mf->icmd.took_semaphore, 0);
    for (const auto& r : driver.log()) EXPECT_EQ(r.node, kCrNode);
    EXPECT_EQ(adapter.register_counts(kCapRegister).get, 1u);
    // A failing command leaves its syndrome in the word before the control word.
    vexil_sim::FaultKnobs knobs;
    knobs.icmd_status = 3;
    knobs.icmd_syndrome = 0xAB123456;
    adapter.set_knobs(knobs);
    EXPECT_EQ(icmd_send_command(mf, 0x9001, data.data(), 8, 0), ME_ICMD_OPERATIONAL_ERROR);
    EXPECT_EQ(mf->icmd.syndrome, 0x123456u);
    adapter.set_knobs(vexil_sim::FaultKnobs{});
    // A semaphore read that fails: the read made again takes the semaphore, and it is released.
    driver.behaviour().refused_read_address = vexil_sim::CrSpace::kMailboxSemaphoreAddress;
    driver.behaviour().refused_reads = 1;
    EXPECT_EQ(icmd_send_command(mf, 0x9001, data.data(), 8, 0), ME_ICMD_STATUS_CR_FAIL);
    EXPECT_EQ(driver.behaviour().refused_reads, 0);
    EXPECT_EQ(adapter.stats().held_semaphores, 0u);
    mclose(mf);
    EXPECT_EQ(watch.reads("0xf00.json"), 1) << "one read of the device file for the handle";

    // A cable has no mailbox, by its file's device type.
    dir.add("0xf00", vexil_test::device_object("fixture cable", "Cable", sim_geometry(cfg)));
    mf = mopen("0000:03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(maccess_reg(mf, kCapRegister, MACCESS_REG_METHOD_GET, data.data(), 8, 8, 8, &status),
              ME_REG_ACCESS_ICMD_NOT_SUPPORTED);
    EXPECT_EQ(adapter.stats().icmd_commands, 2u) << "none since the two above";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace icmd_in_cr_space
