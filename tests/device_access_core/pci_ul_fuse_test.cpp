// The user-level path end to end against the simulated adapter served as a FUSE file in a private
// mount namespace: a PCI address opens through the function's sysfs configuration space (or the
// /proc/bus/pci forms), a mapped BAR takes that configuration space as its secondary, the legacy
// address/data window serves devices without a functional capability, and a semaphore left
// behind by a dead process is cleared.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "fuse_function_server.h"
#include "mtcr_int.h"
#include "pci_ul.h"
#include "simulated_driver.h"

namespace {

using vexil_sim::FunctionConfig;
using vexil_sim::FuseFunctionServer;
using vexil_sim::SimulatedAdapter;

constexpr const char* kAddress = "0000:03:00.0";
const std::string kDir = std::string("/sys/bus/pci/devices/") + kAddress;
constexpr uint32_t kMiB = 0x100000;
constexpr uint32_t kVsec = SimulatedAdapter::kVsecCapability;

vexil_test::ScenarioOptions timeout() {
  vexil_test::ScenarioOptions o;
  o.timeout_seconds = 50;  // below the ctest timeout, so a hang is reported by the fixture
  return o;
}

std::unique_ptr<FuseFunctionServer> serve(SimulatedAdapter& adapter, uint64_t resource0 = 0) {
  vexil_test::FakePciFunction fn;
  fn.address = kAddress;
  fn.resource0_size = resource0;
  return vexil_sim::serve_fake_function(adapter, fn);
}

TEST(ConfigSpaceOpen, PciAddressOpensThroughSysfsConfigSpace) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    FunctionConfig cfg;
    cfg.hw_rev = 1;
    SimulatedAdapter adapter(cfg);
    auto server = serve(adapter);

    mfile* mf = mopen("0000:03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    ASSERT_NE(mf->ul_ctx, nullptr) << "no driver nodes: the user-level path";
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(mf->vsec_supported, 1u);
    EXPECT_EQ(mf->address_space, 2);
    EXPECT_EQ(mf->vsec_cap_mask & 0x107u, 0x107u);
    EXPECT_GE(mf->ul_ctx->lock_fd.run_fd, 0);
    EXPECT_GE(mf->ul_ctx->lock_fd.tmp_fd, 0);
    struct stat st;
    EXPECT_EQ(stat("/tmp/brasquet_lockfiles/0000:03:00.0_config", &st), 0);

    uint32_t id = 0;
    ASSERT_EQ(read_device_id(mf, &id), 4);
    EXPECT_EQ(id, 0x212u);
    EXPECT_EQ(mf->hw_rev_id, 1);
    ASSERT_EQ(mwrite4(mf, 0x700, 0xDEC0DE), 4);
    uint32_t v = 0;
    ASSERT_TRUE(server->read_space(2, 0x700, v));
    EXPECT_EQ(v, 0xDEC0DEu);
    for (uint32_t i = 0; i < 70; ++i) ASSERT_TRUE(server->write_space(2, 0x1000 + 4 * i, i + 1));
    std::vector<uint32_t> data(70);
    ASSERT_EQ(mread4_block(mf, 0x1000, data.data(), 280), 280);
    EXPECT_EQ(data[0], 1u);
    EXPECT_EQ(data[69], 70u);
    EXPECT_EQ(server->stats().unlocked_window_accesses, 0u) << "every access held the semaphore";
    EXPECT_EQ(mclose(mf), 0);
  }, timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(ConfigSpaceOpen, ProcBusPciFormWithoutTheDomain) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    auto sysfs = serve(adapter);
    sysfs->stop();
    ASSERT_EQ(unlink((kDir + "/config").c_str()), 0) << "no sysfs configuration space";
    ASSERT_EQ(mount("tmpfs", "/proc/bus/pci", "tmpfs", 0, nullptr), 0) << strerror(errno);
    vexil_test::add_file("/proc/bus/pci/03/00.0", "");
    FuseFunctionServer proc(adapter, "/proc/bus/pci/03/00.0");

    mfile* mf = mopen_ul(kAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    uint32_t v = 0;
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0x212u);
    mclose(mf);

    // The forced /proc form opens its own file.
    mf = mopen_ul("/proc/bus/pci/03/00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    mclose(mf);
    proc.stop();
    ASSERT_EQ(unlink("/proc/bus/pci/03/00.0"), 0);
    errno = 0;
    EXPECT_EQ(mopen_ul(kAddress), nullptr) << "no form opens";
    EXPECT_EQ(errno, ENOENT);
  }, timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(ConfigSpaceOpen, BarTakesTheConfigSpaceAsSecondaryWithItsCapability) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    auto server = serve(adapter, kMiB);
    const std::string resource0 = kDir + "/resource0";
    vexil_test::put_be32(resource0, 0xF0014, 0xBAD0CAFE);  // what the BAR says, unlike the model
    mfile* mf = mopen_ul(resource0.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCI_MEMORY);
    EXPECT_EQ(mf->secondary_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(mf->vsec_supported, 1u);
    EXPECT_GE(mf->ul_ctx->secondary_lock_fd.tmp_fd, 0);
    const int lock = mf->ul_ctx->lock_fd.tmp_fd, secondary_lock = mf->ul_ctx->secondary_lock_fd.tmp_fd;

    ASSERT_EQ(mpci_change(mf), 0);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(mf->ul_ctx->lock_fd.tmp_fd, secondary_lock);
    EXPECT_EQ(mf->ul_ctx->secondary_lock_fd.tmp_fd, lock);
    const uint64_t before = server->stats().window_accesses;
    uint32_t v = 0;
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4) << "the window found through the adopted capability";
    EXPECT_EQ(v, 0x212u);
    ASSERT_EQ(mwrite4(mf, 0x40, 0x99), 4);
    ASSERT_TRUE(server->read_space(2, 0x40, v));
    EXPECT_EQ(v, 0x99u);
    EXPECT_GT(server->stats().window_accesses, before);
    EXPECT_EQ(server->stats().unlocked_window_accesses, 0u);

    ASSERT_EQ(mpci_change(mf), 0);
    ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
    EXPECT_EQ(v, 0xBAD0CAFEu) << "the map again";
    EXPECT_EQ(mclose(mf), 0);
  }, timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(ConfigSpaceOpen, LegacyWindowWithoutAFunctionalCapability) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    for (bool present : {false, true}) {
      FunctionConfig cfg;
      cfg.vsec_present = present;
      cfg.vsec_type = present ? 1 : 0;  // a capability that is not functional
      SimulatedAdapter adapter(cfg);
      auto server = serve(adapter);
      mfile* mf = mopen_ul(kAddress);
      ASSERT_NE(mf, nullptr) << strerror(errno);
      EXPECT_EQ(mf->vsec_supported, 0u);
      uint32_t v = 0;
      ASSERT_EQ(mread4(mf, 0xF0014, &v), 4);
      EXPECT_EQ(v, 0x212u) << "through the address/data pair";
      ASSERT_EQ(mwrite4(mf, 0x600, 0x4321), 4);
      ASSERT_TRUE(server->read_space(2, 0x600, v));
      EXPECT_EQ(v, 0x4321u);
      uint32_t block[3] = {};
      ASSERT_EQ(mread4_block(mf, 0x600, block, 12), 12);
      EXPECT_EQ(block[0], 0x4321u);
      mclose(mf);
      server->stop();
    }
  }, timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(ConfigSpaceOpen, SemaphoreLeftByADeadProcessIsCleared) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    auto server = serve(adapter);
    // Take the window semaphore by hand and never give it back.
    int fd = open((kDir + "/config").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint32_t ticket = 0;
    ASSERT_EQ(pread(fd, &ticket, 4, kVsec + 0x08), 4);
    ASSERT_EQ(pwrite(fd, &ticket, 4, kVsec + 0x0C), 4);
    close(fd);

    errno = 0;
    EXPECT_EQ(mopen_ul(kAddress), nullptr);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(mclear_pci_semaphore_ul(kAddress), 0);
    mfile* mf = mopen_ul(kAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    mclose(mf);
  }, timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
