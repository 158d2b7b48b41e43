// The remote access protocol against the simulated adapter's loopback server: device names, the
// version negotiation and its gates, dword, block and address-space access, the hardware id, and
// every malformed or missing reply a server can give.
#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>

#include "i2c_access.h"
#include "remote_server_fixture.h"

namespace {

using vexil_test::CapturedStream;
using remote_test::kScratch;
using remote_test::RemoteTest;
using remote_test::ScopedEnv;
using remote_test::version;
using vexil_sim::RemoteServerConfig;

// ---- names ----

TEST(RemoteNames, SplitsHostPortAndDevice) {
  char host[REMOTE_HOST_SZ], device[DEV_NAME_SZ];
  int port = 0;
  ASSERT_EQ(parse_remote_device_name("10.0.0.1:18000,0000:03:00.0", host, &port, device), 0);
  EXPECT_STREQ(host, "10.0.0.1");
  EXPECT_EQ(port, 18000);
  EXPECT_STREQ(device, "0000:03:00.0") << "the device keeps its own ':'";

  // The last '/' cuts everything before it; '@' stands for '/' in the device part.
  ASSERT_EQ(parse_remote_device_name("/dev/qdx/srv:5,@dev@qdx@mt4125_pciconf0", host, &port, device), 0);
  EXPECT_STREQ(host, "srv");
  EXPECT_STREQ(device, "/dev/qdx/mt4125_pciconf0");
  errno = 0;
  EXPECT_EQ(parse_remote_device_name("srv:5,/dev/qdx/mt4125_pciconf0", host, &port, device), -1);
  EXPECT_EQ(errno, EINVAL) << "the '/' of the device cut host and port away";
}

TEST(RemoteNames, RefusesMalformedAndOversizedParts) {
  char host[REMOTE_HOST_SZ], device[DEV_NAME_SZ];
  int port = 0;
  const std::string long_host(REMOTE_HOST_SZ, 'h');
  const std::string long_device(DEV_NAME_SZ, 'd');
  const std::string bad[] = {"srv,qdx0", "srv:5", ":5,qdx0", "srv:,qdx0", "srv:5x,qdx0",
                             "srv:0,qdx0", "srv:70000,qdx0", long_host + ":5,qdx0",
                             "srv:5," + long_device, "srv:5," + std::string(1100, 'd')};
  for (const std::string& name : bad) {
    errno = 0;
    memset(host, 'Z', sizeof(host));
    EXPECT_EQ(parse_remote_device_name(name.c_str(), host, &port, device), -1) << name.substr(0, 40);
    EXPECT_EQ(errno, EINVAL);
  }
  // Exactly the largest parts that fit are taken.
  const std::string fits = std::string(REMOTE_HOST_SZ - 1, 'h') + ":5," + std::string(DEV_NAME_SZ - 1, 'd');
  ASSERT_EQ(parse_remote_device_name(fits.c_str(), host, &port, device), 0);
  EXPECT_EQ(strlen(host), size_t(REMOTE_HOST_SZ - 1));
  EXPECT_EQ(strlen(device), size_t(DEV_NAME_SZ - 1));
}

// ---- negotiation and version gates ----

TEST_F(RemoteTest, OpensAndClosesWithTheProtocolsWords) {
  start(version(1, 7));
  ASSERT_EQ(open("mt4125_pciconf0"), 0);
  EXPECT_EQ(handle->remote.server_major, 1);
  EXPECT_EQ(handle->remote.server_minor, 7);
  EXPECT_GE(handle->sock_fd, 0);
  EXPECT_EQ(handle->flags, uint32_t(DEVFLAG_REMOTE));
  EXPECT_EQ(handle->remote.functional_vsc, 1);
  EXPECT_EQ(handle->address_space, 2);
  EXPECT_EQ(mclose_remote(handle.get()), 0);
  EXPECT_EQ(handle->sock_fd, -1);
  EXPECT_EQ(server->requests(),
            (std::vector<std::string>{"V", "O 0x00000000 mt4125_pciconf0", "C"}));
}

TEST_F(RemoteTest, SendsTheForcedI2cAddressBeforeTheOpen) {
  start();
  set_force_i2c_address(0x48);
  const int rc = open();
  set_force_i2c_address(-1);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(server->requests()[1], "i 72");
  EXPECT_EQ(server->forced_i2c_address(), 72);
}

TEST_F(RemoteTest, ServerThatRefusesTheDeviceFailsTheOpenWithEnoent) {
  RemoteServerConfig config;
  config.device = "qdx0";
  start(config);
  errno = 0;
  EXPECT_EQ(open("qdx1"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(handle->remote.connected, 0);
  EXPECT_EQ(handle->sock_fd, -1);
}

TEST_F(RemoteTest, Version13OpensWithAWarningButGetsNoAddressSpaceNorIcmd) {
  start(version(1, 3));
  ScopedEnv warn("TQCR_REMOTE_WARN", "1");
  CapturedStream out(1);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(out.text(),
            "-W- The QDX remote version 1.3 is older than local client version 1.5. Some features "
            "may not work.\n");
  EXPECT_EQ(handle->remote.functional_vsc, 0) << "no flag before minor 4";
  EXPECT_EQ(remote_mset_addr_space(handle.get(), 3), -1);
  EXPECT_FALSE(remote_server_supports_icmd(handle.get()));
  EXPECT_FALSE(remote_server_supports_read_devid(handle.get()));
  EXPECT_EQ(server->count('A'), 0);
  EXPECT_EQ(server->count('I'), 0);
}

TEST_F(RemoteTest, WarningStaysQuietUnlessAskedFor) {
  start(version(1, 2));
  CapturedStream out(1);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(out.text(), "");
}

TEST_F(RemoteTest, Version20FailsWithTheMismatchMessage) {
  start(version(2, 0));
  CapturedStream out(1);
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(out.text(),
            "-E- The QDX remote version mismatch: Remote Server: 2.0, Local Client: 1.5. Please "
            "install a newer ZRV.\n");
  EXPECT_EQ(server->count('O'), 0) << "no open after the mismatch";
  EXPECT_EQ(handle->remote.connected, 0);
}

TEST_F(RemoteTest, VersionReplyOfEightCharactersIsReadWhole) {
  start();
  server->inject('V', vexil_sim::ScriptedReply{"O 1.0007", true, false});
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(handle->remote.server_minor, 7);
  EXPECT_EQ(mclose_remote(handle.get()), 0);

  server->inject('V', vexil_sim::ScriptedReply{"O 1.00007", true, false});
  errno = 0;
  EXPECT_EQ(open(), -1) << "nine characters are more than a version reply holds";
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(handle->remote.connected, 0);
}

TEST_F(RemoteTest, OldServerAnswersTheVersionWithEAndGetsDwordByDwordBlocks) {
  RemoteServerConfig config;
  config.old_server = true;
  start(config);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(handle->remote.server_minor, 0);
  ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceCr, kScratch, 0x11));
  ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceCr, kScratch + 4, 0x22));
  uint32_t block[2] = {};
  server->clear_requests();
  ASSERT_EQ(remote_read4_block_chunk(handle.get(), kScratch, block, 8), 8);
  EXPECT_EQ(block[0], 0x11u);
  EXPECT_EQ(block[1], 0x22u);
  EXPECT_EQ(server->requests(), (std::vector<std::string>{"R 0x00000100", "R 0x00000104"}));
}

// Which request each version may use: "A" from 1.4, "I" from 1.5, "D" from 1.6, "s" from 1.7.
class RemoteGates : public RemoteTest, public ::testing::WithParamInterface<int> {};

TEST_P(RemoteGates, FeaturesFollowTheMinorVersion) {
  const int minor = GetParam();
  start(version(1, minor));
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(remote_mset_addr_space(handle.get(), 2) == 0, minor >= 4);
  EXPECT_EQ(remote_server_supports_icmd(handle.get()) != 0, minor >= 5);
  EXPECT_EQ(remote_server_supports_icmd_syndrome(handle.get()) != 0, minor >= 6);
  uint32_t id = 0;
  EXPECT_EQ(remote_read_device_id(handle.get(), &id), minor >= 6 ? 4 : -1);
  if (minor >= 6) {
    EXPECT_EQ(id & 0xFFFF, adapter.config().hw_id);
  }
  EXPECT_EQ(remote_mset_i2c_address(handle.get(), 0x50), minor >= 7 ? 0 : -1);
  EXPECT_EQ(server->secondary_address(), minor >= 7 ? 0x50 : -1);
  EXPECT_EQ(server->count('A'), minor >= 4 ? 1 : 0) << "never sent to a server that lacks it";
  EXPECT_EQ(server->count('D'), minor >= 6 ? 1 : 0);
  EXPECT_EQ(server->count('s'), minor >= 7 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Minors, RemoteGates, ::testing::Values(3, 4, 5, 6, 7));

TEST_F(RemoteTest, FunctionalVscFlagOffKeepsTheHandleWithoutVsec) {
  RemoteServerConfig config;
  config.functional_vsc = false;
  start(config);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(handle->remote.functional_vsc, 0);
  EXPECT_EQ(handle->vsec_supported, 0u);
}

TEST_F(RemoteTest, BareOpenReplyFromAServerWithTheFlagMeansNoFunctionalVsc) {
  start(version(1, 4));
  server->inject('O', vexil_sim::ScriptedReply{"O", true, false});
  ASSERT_EQ(open(), 0) << strerror(errno);
  EXPECT_EQ(handle->remote.functional_vsc, 0);
  EXPECT_EQ(handle->vsec_supported, 0u);
  EXPECT_EQ(remote_mset_addr_space(handle.get(), 3), 0) << "the handle works";
}

// ---- dword, block and address space ----

TEST_F(RemoteTest, DwordsAndBlocksReachTheAdaptersSpaces) {
  start();
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(remote_write4(handle.get(), kScratch, 0xCAFEF00D), 4);
  EXPECT_EQ(cr(kScratch), 0xCAFEF00Du);
  uint32_t value = 0;
  ASSERT_EQ(remote_read4(handle.get(), vexil_sim::CrSpace::kHwIdAddress, &value), 4);
  EXPECT_EQ(value & 0xFFFF, adapter.config().hw_id);

  uint32_t out[128], in[128];
  for (uint32_t i = 0; i < 128; ++i) out[i] = 0x01010101u * i ^ 0x80000000u;
  ASSERT_EQ(remote_write4_block_chunk(handle.get(), 0x1000, out, 512), 512);
  ASSERT_EQ(remote_read4_block_chunk(handle.get(), 0x1000, in, 512), 512);
  EXPECT_EQ(memcmp(in, out, sizeof(in)), 0);
  EXPECT_EQ(cr(0x1000 + 4 * 77), out[77]);

  // A tail of 1 to 3 bytes goes last byte first and replaces only those bytes.
  ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceCr, 0x2004, 0xAABBCCDD));
  uint32_t tail[2] = {0x11223344, 0};
  memcpy(reinterpret_cast<uint8_t*>(tail) + 4, "\x01\x02", 2);
  server->clear_requests();
  ASSERT_EQ(remote_write4_block_chunk(handle.get(), 0x2000, tail, 6), 6);
  EXPECT_EQ(server->requests()[0], "U 0x00002000 0x00000006 0x11223344 0x0201");
  EXPECT_EQ(cr(0x2004), 0xAABB0201u);

  // The address space moves later accesses into the ICMD space.
  ASSERT_EQ(remote_mset_addr_space(handle.get(), 3), 0);
  ASSERT_EQ(remote_read4(handle.get(), 0x1000, &value), 4);
  EXPECT_EQ(value, 0x340u) << "the mailbox size word of the ICMD space";
  EXPECT_EQ(remote_mset_addr_space(handle.get(), 0x77), -1) << "a space the adapter lacks";
}

}  // namespace
