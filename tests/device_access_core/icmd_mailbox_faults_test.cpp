// The ICMD mailbox driven by the client itself, dword by dword over a 1.4 server with the VSC
// flag, with single requests refused on the way: the caller's buffer comes back in its own byte
// order exactly when it was swapped for the mailbox and not read back, and a syndrome that cannot
// be read is recorded as 512 under the command's own code.
#include <stdint.h>

#include <gtest/gtest.h>

#include "icmd.h"
#include "mtcr_int.h"
#include "remote_server.h"
#include "remote_test_support.h"

namespace {

using remote_test::ScopedEnv;
using vexil_sim::RemoteServer;
using vexil_sim::RemoteServerConfig;
using vexil_sim::ScriptedReply;
using vexil_sim::SimulatedAdapter;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kEug = 0xC012;
constexpr uint16_t kCap = 0xC011;
const ScriptedReply kRefused{"E", true, false};

Bytes pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = uint8_t(seed + i * 7);
  return b;
}

class IcmdMailboxFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoteServerConfig config;
    config.minor = 4;  // no "I": the client runs the mailbox through "A", "R", "W", "B" and "U"
    server.reset(new RemoteServer(adapter, config));
    mf = mopen(server->device_name("mt4125_pciconf0").c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    ASSERT_EQ(mget_vsec_supp(mf), 1);
  }
  void TearDown() override {
    if (mf) {
      mf->gearbox_line = 0;
      mf->gearbox_kind = 0;
      EXPECT_EQ(mclose(mf), 0);
    }
  }
  int access(uint16_t id, int method, Bytes& data, int* status) {
    return maccess_reg(mf, id, method, data.data(), (uint32_t)data.size(), (uint32_t)data.size(),
                       (uint32_t)data.size(), status);
  }
  // How many requests beginning with `command` the server got before the first one beginning
  // with `marker`; -1 when no such request came.
  int count_before(char command, const std::string& marker) const {
    int n = 0;
    for (const std::string& r : server->requests()) {
      if (r.compare(0, marker.size(), marker) == 0) return n;
      n += !r.empty() && r[0] == command;
    }
    return -1;
  }
  void expect_semaphore_free() {
    uint32_t sem = 1;
    ASSERT_TRUE(adapter.read_space(vexil_sim::kSpaceSemaphore, 0, sem));
    EXPECT_EQ(sem, 0u);
  }

  ScopedEnv no_ssh{"SSH_TIMEOUT", "0"};
  SimulatedAdapter adapter;
  std::unique_ptr<RemoteServer> server;
  mfile* mf = nullptr;
};

TEST_F(IcmdMailboxFaults, CallersBytesAreRestoredExactlyWhereTheyWereSwappedAndNotReadBack) {
  const Bytes image = pattern(8, 1);
  Bytes data = image;
  int status = -1;
  ASSERT_EQ(access(kEug, MACCESS_REG_METHOD_SET, data, &status), 0);  // opens the mailbox
  server->clear_requests();
  ASSERT_EQ(access(kEug, MACCESS_REG_METHOD_SET, data, &status), 0);
  // The last "A" before the buffer's "U" selects the ICMD space for the buffer write.
  const int select_for_write = count_before('A', "U ") - 1;
  ASSERT_GE(select_for_write, 0);

  struct Case {
    const char* what;
    char command;
    int after;
  } cases[] = {{"space switch refused before the buffer was swapped", 'A', select_for_write},
               {"buffer write refused after the in-place swap", 'U', 0},
               {"read-back refused", 'B', 0}};
  for (const Case& c : cases) {
    server->inject(c.command, kRefused, 1, c.after);
    data = image;
    status = -1;
    EXPECT_EQ(access(kEug, MACCESS_REG_METHOD_SET, data, &status), ME_ICMD_STATUS_CR_FAIL) << c.what;
    EXPECT_EQ(data, image) << c.what;
    EXPECT_EQ(status, 0) << c.what << ": the status of the operation TLV as it was sent";
    expect_semaphore_free();
  }

  // A read-back that stops after its first 512-byte chunk: the reply's bytes stay, the rest of
  // the command is turned back.
  const Bytes stored = pattern(812, 9), sent = pattern(812, 200);
  adapter.set_register_image(kCap, stored);
  server->inject('B', kRefused, 1, 1);
  data = sent;
  EXPECT_EQ(access(kCap, MACCESS_REG_METHOD_GET, data, &status), ME_ICMD_STATUS_CR_FAIL);
  const size_t replied = 512 - 16 - 4;  // the chunk less the operation and register TLVs
  EXPECT_EQ(Bytes(data.begin(), data.begin() + replied), Bytes(stored.begin(), stored.begin() + replied));
  EXPECT_EQ(Bytes(data.begin() + replied, data.end()), Bytes(sent.begin() + replied, sent.end()));
}

// The same for the USB gearbox's mailbox, whose command ends where its control word sits (here a
// place in the mailbox buffer that never clears its busy bit).
TEST_F(IcmdMailboxFaults, GearboxMailboxRestoresOnlyASwappedBuffer) {
  Bytes frame = pattern(24, 3);
  ASSERT_EQ(icmd_send_command(mf, 0x9001, frame.data(), (int)frame.size(), 0), 0);
  mf->gearbox_line = 1;
  mf->gearbox_kind = GEARBOX_KIND_USB;
  mf->icmd.ctrl_addr = vexil_sim::IcmdMailbox::kBufferAddress + 0x100;
  ScopedEnv short_poll("ZRV_ICMD_TIMEOUT", "2");

  const Bytes command = pattern(24, 50);
  Bytes data = command;
  server->clear_requests();
  EXPECT_EQ(icmd_send_command(mf, 0x9001, data.data(), (int)data.size(), 0),
            ME_ICMD_STATUS_EXECUTE_TO);
  EXPECT_EQ(data, command) << "timed out after the write";
  const int select_for_write = count_before('A', "U ") - 1;
  ASSERT_GE(select_for_write, 0);
  ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceIcmd, mf->icmd.ctrl_addr, 0));  // not busy

  server->inject('U', kRefused);
  EXPECT_EQ(icmd_send_command(mf, 0x9001, data.data(), (int)data.size(), 0), ME_ICMD_STATUS_CR_FAIL);
  EXPECT_EQ(data, command) << "buffer write refused after the swap";

  server->inject('A', kRefused, 1, select_for_write);
  EXPECT_EQ(icmd_send_command(mf, 0x9001, data.data(), (int)data.size(), 0), ME_ICMD_STATUS_CR_FAIL);
  EXPECT_EQ(data, command) << "space switch refused before the swap";
  expect_semaphore_free();
}

// The USB gearbox's mailbox gathers its reply in a 256-byte buffer of its own: a command shorter
// than the reply's status word, or either size past that buffer, is refused before anything is
// sent, although the mailbox this handle opened would take 832 bytes.
TEST_F(IcmdMailboxFaults, GearboxMailboxRefusesSizesItsReplyCannotHold) {
  Bytes frame = pattern(24, 3);
  ASSERT_EQ(icmd_send_command(mf, 0x9001, frame.data(), (int)frame.size(), 0), 0);
  ASSERT_GT(mf->icmd.max_cmd_size, 260u);
  mf->gearbox_line = 1;
  mf->gearbox_kind = GEARBOX_KIND_USB;
  ScopedEnv short_poll("ZRV_ICMD_TIMEOUT", "2");
  Bytes data(300, 0);
  server->clear_requests();
  EXPECT_EQ(icmd_send_command_int(mf, 0x9001, data.data(), 3, 3, 0), ME_BAD_PARAMS);
  EXPECT_EQ(icmd_send_command_int(mf, 0x9001, data.data(), 260, 8, 0), ME_ICMD_SIZE_EXCEEDS_LIMIT);
  EXPECT_EQ(icmd_send_command_int(mf, 0x9001, data.data(), 8, 260, 0), ME_ICMD_SIZE_EXCEEDS_LIMIT);
  EXPECT_TRUE(server->requests().empty());

  // A reply shorter than the size asked for is zero-filled after the status word: here the
  // gateway's control word (a place in the mailbox buffer) reports the command done, with the
  // register status 0x2a, on the first poll, and the gateway holds one reply dword.
  mf->icmd.ctrl_addr = vexil_sim::IcmdMailbox::kBufferAddress + 0x100;
  mf->icmd.gbox_reply_addr = mf->icmd.ctrl_addr + 4;
  ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceIcmd, mf->icmd.gbox_reply_addr, 0x11223344));
  ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceIcmd, mf->icmd.ctrl_addr, 0));  // not busy
  EXPECT_EQ(icmd_send_command_int(mf, 0x9001, data.data(), 8, 16, 0), ME_ICMD_STATUS_EXECUTE_TO);
  char ctrl_write[40];
  snprintf(ctrl_write, sizeof(ctrl_write), "W 0x%08x 0x80ff0001", mf->icmd.ctrl_addr);
  const int poll = count_before('R', ctrl_write);
  ASSERT_GE(poll, 0);
  ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceIcmd, mf->icmd.ctrl_addr, 0));
  server->clear_requests();
  server->inject('R', ScriptedReply{"O 0x00002a00"}, 1, poll);
  data.assign(16, 0xEE);
  EXPECT_EQ(icmd_send_command_int(mf, 0x9001, data.data(), 8, 16, 0), 0);
  EXPECT_EQ(data, (Bytes{0x2a, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0, 0, 0, 0, 0}))
      << "the register status word, the reply dword, then zeros";
  expect_semaphore_free();
}

// A buffer at an odd address is swapped back byte-wise (the sanitizer build traps a misaligned
// dword).
TEST_F(IcmdMailboxFaults, UnalignedBufferComesBackAfterAFailedCommand) {
  vexil_sim::FaultKnobs knobs;
  knobs.icmd_status = 3;
  adapter.set_knobs(knobs);
  alignas(4) uint8_t buffer[36] = {};
  const Bytes command = pattern(28, 77);
  memcpy(buffer + 1, command.data(), command.size());
  EXPECT_EQ(icmd_send_command(mf, 0x9001, buffer + 1, (int)command.size(), 0),
            ME_ICMD_OPERATIONAL_ERROR);
  EXPECT_EQ(Bytes(buffer + 1, buffer + 1 + command.size()), command);
}

TEST_F(IcmdMailboxFaults, SyndromeThatCannotBeReadIs512AndTheCommandKeepsItsCode) {
  vexil_sim::FaultKnobs knobs;
  knobs.icmd_status = 3;
  knobs.icmd_syndrome = 0xAB123456;
  adapter.set_knobs(knobs);
  Bytes data = pattern(8, 1);
  int status = -1;
  EXPECT_EQ(access(kEug, MACCESS_REG_METHOD_SET, data, &status), ME_ICMD_OPERATIONAL_ERROR);
  EXPECT_EQ(mf->icmd.syndrome, 0x123456u);
  server->clear_requests();
  EXPECT_EQ(access(kEug, MACCESS_REG_METHOD_SET, data, &status), ME_ICMD_OPERATIONAL_ERROR);
  const int syndrome_read = count_before('R', "R 0x00001008");
  ASSERT_GE(syndrome_read, 0);

  server->inject('R', kRefused, 1, syndrome_read);
  EXPECT_EQ(access(kEug, MACCESS_REG_METHOD_SET, data, &status), ME_ICMD_OPERATIONAL_ERROR);
  EXPECT_EQ(mf->icmd.syndrome, uint32_t(ME_ICMD_STATUS_CR_FAIL));
  expect_semaphore_free();
}

}  // namespace
