// Remote devices through the public interface: mopen of "127.0.0.1:<port>,<device>", dword and
// block access, address spaces, access registers over "I" frames and over the VSC-flag path where
// the client drives the ICMD mailbox itself, and mclose.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "mtcr_int.h"
#include "remote_server.h"
#include "remote_test_support.h"

namespace {

using remote_test::ScopedEnv;
using vexil_sim::RemoteServer;
using vexil_sim::RemoteServerConfig;
using vexil_sim::SimulatedAdapter;

constexpr uint16_t kEug = 0xC012;

class RemoteHandleTest : public ::testing::Test {
 protected:
  void start(int minor, bool vsc = true) {
    RemoteServerConfig config;
    config.minor = minor;
    config.functional_vsc = vsc;
    config.device = "mt4125_pciconf0";
    server.reset(new RemoteServer(adapter, config));
    mf = mopen(server->device_name("mt4125_pciconf0").c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
  }
  void TearDown() override {
    if (mf) {
      EXPECT_EQ(mclose(mf), 0);
    }
  }
  // A SET then a GET of a register through maccess_reg; the GET's image.
  std::vector<uint8_t> set_then_get(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> data = image;
    int status = -1;
    EXPECT_EQ(maccess_reg(mf, kEug, MACCESS_REG_METHOD_SET, data.data(), data.size(), data.size(),
                          data.size(), &status), 0);
    EXPECT_EQ(status, 0);
    std::vector<uint8_t> back(image.size(), 0xEE);
    EXPECT_EQ(maccess_reg(mf, kEug, MACCESS_REG_METHOD_GET, back.data(), back.size(), back.size(),
                          back.size(), &status), 0);
    return back;
  }

  ScopedEnv no_ssh{"SSH_TIMEOUT", "0"};
  SimulatedAdapter adapter;
  std::unique_ptr<RemoteServer> server;
  mfile* mf = nullptr;
};

TEST_F(RemoteHandleTest, OpensAsARemoteHandleAndReadsTheHardwareId) {
  start(7);
  uint32_t type = 0, flags = 0;
  ASSERT_EQ(mget_mdevs_type(mf, &type), 0);
  EXPECT_EQ(type, uint32_t(ACCESS_REMOTE));
  ASSERT_EQ(mget_mdevs_flags(mf, &flags), 0);
  EXPECT_EQ(flags, uint32_t(DEVFLAG_REMOTE));
  EXPECT_EQ(is_remote_dev(mf), 1);
  EXPECT_EQ(mf->hw_dev_id, adapter.config().hw_id);
  EXPECT_EQ(server->count('D'), 1) << "the server knows \"D\" from minor 6 on";
  EXPECT_EQ(get_chunk_size(mf), 512);
}

TEST_F(RemoteHandleTest, DwordsBlocksAndSpacesGoThroughTheDispatch) {
  start(7);
  ASSERT_EQ(mwrite4(mf, 0x100, 0x12345678), 4);
  uint32_t value = 0;
  ASSERT_EQ(mread4(mf, 0x100, &value), 4);
  EXPECT_EQ(value, 0x12345678u);
  EXPECT_EQ(mread4(mf, 0x102, &value), -1) << "misaligned, never sent";

  std::vector<uint32_t> out(300), in(300);
  for (size_t i = 0; i < out.size(); ++i) out[i] = uint32_t(i * 0x01000193u);
  server->clear_requests();
  ASSERT_EQ(mwrite4_block(mf, 0x4000, out.data(), 1200), 1200);
  ASSERT_EQ(mread4_block(mf, 0x4000, in.data(), 1200), 1200);
  EXPECT_EQ(in, out);
  EXPECT_EQ(server->count('U'), 3) << "512 + 512 + 176 bytes";
  EXPECT_EQ(server->count('B'), 3);

  ASSERT_EQ(mset_addr_space(mf, 3), 0);
  EXPECT_EQ(mget_addr_space(mf), 3);
  ASSERT_EQ(mread4(mf, 0x1000, &value), 4);
  EXPECT_EQ(value, adapter.knobs().max_cmd_size);
  EXPECT_EQ(mset_addr_space(mf, 267), -1);
}

TEST_F(RemoteHandleTest, RegistersTravelAsIcmdFrames) {
  start(7);
  const std::vector<uint8_t> image = {0, 0, 0, 5, 'r', 'e', 'm', 0};
  EXPECT_EQ(set_then_get(image), image);
  EXPECT_EQ(adapter.register_image(kEug), image);
  EXPECT_EQ(server->count('I'), 2);
  EXPECT_EQ(server->count('A'), 0) << "the server runs the mailbox";

  vexil_sim::FaultKnobs knobs;
  knobs.register_status = vexil_sim::kRegStatusRegisterNotSupported;
  adapter.set_knobs(knobs);
  std::vector<uint8_t> data = image;
  int status = 0;
  EXPECT_NE(maccess_reg(mf, kEug, MACCESS_REG_METHOD_GET, data.data(), data.size(), data.size(),
                        data.size(), &status), 0);
  EXPECT_EQ(status, vexil_sim::kRegStatusRegisterNotSupported);
}

TEST_F(RemoteHandleTest, ServerThatRunsIcmdGetsFramesWhateverItsVscFlag) {
  start(5, false);
  EXPECT_EQ(mget_vsec_supp(mf), 0);
  const std::vector<uint8_t> image = {0, 0, 0, 7, 'o', 'f', 'f', 0};
  EXPECT_EQ(set_then_get(image), image);
  EXPECT_EQ(adapter.register_image(kEug), image);
  EXPECT_EQ(server->count('I'), 2) << "from minor 5 on the server runs ICMD, flag or no flag";
  EXPECT_EQ(server->count('A'), 0);
}

TEST_F(RemoteHandleTest, VscFlagLetsAnOlderServerCarryTheMailboxDwordByDword) {
  start(4);
  EXPECT_EQ(mget_vsec_supp(mf), 1);
  const std::vector<uint8_t> image = {0, 0, 0, 9, 'v', 's', 'c', 0};
  EXPECT_EQ(set_then_get(image), image);
  EXPECT_EQ(adapter.register_image(kEug), image);
  EXPECT_EQ(server->count('I'), 0);
  EXPECT_GT(server->count('A'), 0);
  EXPECT_EQ(adapter.stats().unlocked_icmd_commands, 0u) << "the client held the ICMD semaphore";
  EXPECT_EQ(adapter.stats().icmd_commands, 2u);
}

TEST_F(RemoteHandleTest, CloseSaysGoodbye) {
  start(5);
  EXPECT_EQ(mclose(mf), 0);
  mf = nullptr;
  EXPECT_EQ(server->requests().back(), "C");
}

TEST(RemoteHandleOpen, RefusedDeviceFailsTheOpen) {
  ScopedEnv no_ssh("SSH_TIMEOUT", "0");
  SimulatedAdapter adapter;
  RemoteServerConfig config;
  config.device = "mt4125_pciconf0";
  RemoteServer server(adapter, config);
  errno = 0;
  EXPECT_EQ(mopen(server.device_name("mt4125_pciconf9").c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(mopen(server.device_name("mt4125_pciconf0").substr(0, 12).c_str()), nullptr);
}

// A cable chip behind a remote device: the plug-in opens over the connection, then the handle is a
// chip handle (refused by mopen) whose dwords go to the chip entries, and mclose still says
// goodbye to the server.
TEST(RemoteHandleOpen, ChipNameGivesAChipHandleOverTheConnection) {
  ScopedEnv no_ssh("SSH_TIMEOUT", "0");
  ScopedEnv plugin("MCABLES_PATH", TEST_CABLE_PLUGIN);
  SimulatedAdapter adapter;
  RemoteServer server(adapter);
  const std::string name = server.device_name("mt4125_pciconf0_lx1");
  errno = 0;
  EXPECT_EQ(mopen(name.c_str()), nullptr);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(server.count('C'), 1) << "the refused handle closed its connection";

  mfile* mf = mopend(name.c_str(), 1);
  ASSERT_NE(mf, nullptr) << strerror(errno);
  EXPECT_EQ(mf->access_type, uint32_t(ACCESS_CABLON_CHIP));
  EXPECT_EQ(is_remote_dev(mf), 1);
  EXPECT_EQ(mf->hw_dev_id, adapter.config().hw_id);
  void* lib = dlopen(TEST_CABLE_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr);
  const int* chip_reads = static_cast<int*>(dlsym(lib, "test_cable_chip_read4s"));
  const int reads_before = *chip_reads;
  uint32_t value = 0;
  EXPECT_EQ(mread4(mf, 8, &value), 4);
  EXPECT_EQ(*chip_reads, reads_before + 1);
  EXPECT_EQ(server.count('R'), 0);
  EXPECT_EQ(mclose(mf), 0);
  EXPECT_EQ(server.requests().back(), "C");
  dlclose(lib);
}

}  // namespace
