// Replies a faulty or hostile server can give, one by one: each fails the access cleanly, leaves
// the caller's buffer as it was, and keeps the connection in step for the next request.
#include <signal.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "icmd_internal.h"
#include "ioctl_interposer.h"
#include "remote_server_fixture.h"
#include "signal_hold.h"

namespace {

using remote_test::kScratch;
using remote_test::RemoteTest;
using remote_test::version;
using vexil_sim::RemoteServerConfig;
using vexil_sim::ScriptedReply;

ScriptedReply reply(const std::string& text) { return ScriptedReply{text, true, false}; }
ScriptedReply cut_off(const std::string& text) { return ScriptedReply{text, false, true}; }

class RemoteFaults : public RemoteTest {
 protected:
  void SetUp() override {
    start(version(1, 7));
    ASSERT_EQ(open(), 0);
  }
  // The connection still answers in step after a refused reply.
  void expect_in_step() {
    ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceCr, kScratch, 0x5A5A0001));
    uint32_t value = 0;
    EXPECT_EQ(remote_read4(handle.get(), kScratch, &value), 4);
    EXPECT_EQ(value, 0x5A5A0001u);
  }
};

TEST_F(RemoteFaults, RefusalsAndMalformedDwordRepliesFailWithEio) {
  const char* replies[] = {"E", "O", "O ", "O zz", "O 0x", "O 0x1ffffffff", "O 12 13", "Oops"};
  for (const char* text : replies) {
    server->inject('R', reply(text));
    uint32_t value = 0xDEADBEEF;
    errno = 0;
    EXPECT_EQ(remote_read4(handle.get(), kScratch, &value), -1) << text;
    EXPECT_EQ(errno, EIO) << text;
    EXPECT_EQ(value, 0xDEADBEEFu) << "a failed read is not data: " << text;
  }
  server->inject('W', reply("E"));
  EXPECT_EQ(remote_write4(handle.get(), kScratch, 1), -1);
  expect_in_step();
}

TEST_F(RemoteFaults, BlockReplyMustCarryExactlyTheChunksDwords) {
  const char* replies[] = {"E", "O 1 2 3", "O 1 2 3 4 5", "O 1  2 3 4", "O 1 2 3 x4", "O1 2 3 4"};
  for (const char* text : replies) {
    server->inject('B', reply(text));
    uint32_t block[4] = {7, 7, 7, 7};
    errno = 0;
    EXPECT_EQ(remote_read4_block_chunk(handle.get(), kScratch, block, 16), -1) << text;
    EXPECT_EQ(errno, EIO) << text;
    EXPECT_EQ(block[3], 7u) << "buffer untouched: " << text;
  }
  server->inject('B', reply("O 1 2 3 0x4 "));
  uint32_t block[4] = {};
  ASSERT_EQ(remote_read4_block_chunk(handle.get(), kScratch, block, 16), 16);
  EXPECT_EQ(block[3], 4u);
  server->inject('U', reply("E"));
  EXPECT_EQ(remote_write4_block_chunk(handle.get(), kScratch, block, 16), -1);
  expect_in_step();
}

TEST_F(RemoteFaults, OverlongReplyIsDrainedAndTheNextReplyStaysInStep) {
  server->inject('R', reply("O " + std::string(300, '1')));
  uint32_t value = 0;
  EXPECT_EQ(remote_read4(handle.get(), kScratch, &value), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(handle->remote.connected, 1);
  expect_in_step();
}

// One request is outstanding at a time: what arrives before a request is sent answers nothing.
// An unrequested copy of an answer is dropped, with a note in the debug log, and every later
// access reads its own reply.
TEST_F(RemoteFaults, AnUnrequestedCopyIsDroppedBeforeTheNextRequest) {
  ScriptedReply stray;
  stray.own = true;
  stray.twice = true;
  server->inject('R', stray);
  ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceCr, kScratch, 7));
  uint32_t value = 0;
  EXPECT_EQ(remote_read4(handle.get(), kScratch, &value), 4);
  EXPECT_EQ(value, 7u);
  remote_test::ScopedEnv debug("ZRV_DEBUG", "1");
  vexil_test::CapturedStream err(2);
  expect_in_step();
  EXPECT_EQ(err.text(), "-D- Dropped 13 bytes from the remote server that answer no request\n");
}

// Ctrl-C while a semaphore is held over the connection and the far end is silent: the reply wait
// gives up within a tenth of a second of waiting (the time-outs its polls ask for), so the command
// releases what it holds and the signal acts, and the connection stays for that release.
TEST_F(RemoteFaults, AnEndingSignalCutsTheReplyWaitWithinATenthOfASecond) {
  uint32_t value = 0;
  {
    vexil_test::RecordedPolls polls;
    ASSERT_EQ(remote_read4(handle.get(), kScratch, &value), 4);
    ASSERT_FALSE(polls.timeouts(handle->sock_fd).empty()) << "the reply wait polls";
  }
  server->inject('R', ScriptedReply{"", false});  // no reply at all
  vexil_test::RecordedPolls polls;
  signal_hold hold{};
  signal_hold_take(&hold);
  raise(SIGINT);  // held back, pending
  errno = 0;
  EXPECT_EQ(remote_read4(handle.get(), kScratch, &value), -1);
  EXPECT_EQ(errno, EINTR);
  sigset_t sigint;
  sigemptyset(&sigint);
  sigaddset(&sigint, SIGINT);
  const timespec now = {0, 0};
  EXPECT_EQ(sigtimedwait(&sigint, nullptr, &now), SIGINT) << "taken back before the hold ends";
  signal_hold_give(&hold);
  const std::vector<int> asked = polls.timeouts(handle->sock_fd);
  EXPECT_TRUE(std::all_of(asked.begin(), asked.end(), [](int ms) { return ms >= 0; }));
  EXPECT_LE(std::accumulate(asked.begin(), asked.end(), 0), 100);
  EXPECT_EQ(handle->remote.connected, 1);
}

// The ICMD semaphore in CR space, over a server that runs no ICMD itself, is taken by the read that
// returns 0, carried out on the far end (the oldest adapter's semaphore at 0xF03BC works so). Ctrl-C
// while that read's reply is on its way (300 ms late): the reply is still waited for and the
// semaphore given back at once. A reply that never comes may have taken it: nothing is written,
// and the warning says so.
class RemoteCrSemaphore : public RemoteTest {
 protected:
  RemoteCrSemaphore() : RemoteTest(vexil_sim::oldest_function()) {}
};

TEST_F(RemoteCrSemaphore, CtrlCWhileTheTakingReadIsAnsweredGivesItBack) {
  RemoteServerConfig no_vsc = version(1, 4);
  no_vsc.functional_vsc = false;
  start(no_vsc);
  ASSERT_EQ(open(), 0);
  handle->icmd.semaphore_addr = 0xF03BC;
  const std::string release = "W 0x000f03bc 0x00000000";
  for (const int delay_ms : {300, -1}) {
    SCOPED_TRACE(delay_ms);
    server->clear_requests();
    server->hold_reply({"R 0x000f03bc", 1, delay_ms, 0});
    signal_hold hold{};
    signal_hold_take(&hold);
    raise(SIGINT);  // held back, pending
    vexil_test::CapturedStream err(2);
    EXPECT_NE(icmd_take_semaphore_com(handle.get(), 0), ME_OK);
    const bool unknown = delay_ms < 0;
    EXPECT_EQ(err.text(), unknown ? "-W- The ICMD semaphore could not be released.\n" : "");
    EXPECT_EQ(server->count(release), unknown ? 0 : 1);
    EXPECT_EQ(adapter.stats().held_semaphores, unknown ? vexil_sim::AdapterStats::kHeldTools : 0u);
    sigset_t sigint;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    const timespec now = {0, 0};
    EXPECT_EQ(sigtimedwait(&sigint, nullptr, &now), SIGINT);
    signal_hold_give(&hold);
  }
}

TEST_F(RemoteFaults, EndOfStreamInMidReplyFailsAndClosesTheConnection) {
  server->inject('R', cut_off("O 0x000"));
  uint32_t value = 0xDEADBEEF;
  EXPECT_EQ(remote_read4(handle.get(), kScratch, &value), -1);
  EXPECT_EQ(value, 0xDEADBEEFu) << "the half reply is not data";
  EXPECT_EQ(handle->remote.connected, 0);
  EXPECT_EQ(handle->sock_fd, -1);
  EXPECT_EQ(remote_write4(handle.get(), kScratch, 1), -1) << "nothing more goes out";
  EXPECT_EQ(mclose_remote(handle.get()), 1);
  EXPECT_EQ(server->count('C'), 0);
}

TEST_F(RemoteFaults, CloseRefusedGivesOne) {
  server->inject('C', reply("E, not closing it"));
  EXPECT_EQ(mclose_remote(handle.get()), 1);
  EXPECT_EQ(handle->remote.connected, 0);
}

TEST_F(RemoteFaults, CloseCountsOnlyTheFirstLetterOfTheGoodbye) {
  server->inject('C', reply("O, goodbye for now"));
  EXPECT_EQ(mclose_remote(handle.get()), 0) << "a goodbye longer than ten characters";
  EXPECT_EQ(handle->remote.connected, 0);
  EXPECT_EQ(handle->sock_fd, -1);
}

TEST_F(RemoteFaults, DeviceIdAndAddressSpaceRefusals) {
  server->inject('D', reply("O"));
  uint32_t id = 0x1234;
  EXPECT_EQ(remote_read_device_id(handle.get(), &id), -1);
  EXPECT_EQ(id, 0x1234u);
  server->inject('A', reply("E"));
  EXPECT_EQ(remote_mset_addr_space(handle.get(), 3), -1);
  server->inject('s', reply("E"));
  errno = 0;
  EXPECT_EQ(remote_mset_i2c_address(handle.get(), 0x50), -1);
  EXPECT_EQ(errno, ENOENT);
  expect_in_step();
}

// Faults of the negotiation: each fails the open and leaves nothing connected.
class RemoteOpenFaults : public RemoteTest,
                         public ::testing::WithParamInterface<std::pair<char, std::string>> {};

TEST_P(RemoteOpenFaults, FailTheOpen) {
  start(version(1, 7));
  server->inject(GetParam().first, reply(GetParam().second));
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(handle->remote.connected, 0);
  EXPECT_EQ(handle->sock_fd, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RemoteOpenFaults,
    ::testing::Values(std::make_pair('V', std::string("O")), std::make_pair('V', std::string("O x.y")),
                      std::make_pair('V', std::string("O 1.")), std::make_pair('V', std::string("O 15")),
                      std::make_pair('V', std::string("Z 1.5")), std::make_pair('V', std::string("O 1.5.9")),
                      std::make_pair('O', std::string("O x")), std::make_pair('O', std::string("O 1x")),
                      std::make_pair('O', std::string("E"))));

TEST_F(RemoteTest, EndOfStreamDuringTheVersionQueryFailsTheOpen) {
  start();
  server->inject('V', cut_off(""));
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(handle->remote.connected, 0);
}

TEST_F(RemoteTest, OpenReplyOfAnOlderServerNeedsNoFlag) {
  start(version(1, 3));
  server->inject('O', reply("O"));
  EXPECT_EQ(open(), 0);
}

TEST_F(RemoteTest, UnreachableServerFailsTheOpen) {
  start();
  const std::string name = server->device_name("qdx0");
  server->stop();
  server.reset();
  EXPECT_EQ(remote_open(name.c_str(), handle.get(), 0), -1);
  EXPECT_EQ(handle->remote.connected, 0);
}

}  // namespace
