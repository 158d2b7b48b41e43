// The ICMD firmware of the in-process adapter, driven through the window with hand-built frames:
// register GET and SET, the string-TLV variant, statuses, the register store and the fault knobs.
#include <gtest/gtest.h>

#include "simulated_adapter.h"
#include "window_driver.h"

namespace vexil_sim {
namespace {

using vexil_sim_test::ModelPort;
using vexil_sim_test::register_frame;
using vexil_sim_test::reply_dr;
using vexil_sim_test::reply_image;
using vexil_sim_test::reply_status;
using vexil_sim_test::reply_text;
using vexil_sim_test::WindowDriver;

constexpr uint16_t kEug = 0xC012;

class AdapterIcmd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(drv.attach()); }
  void set(const FaultKnobs& k) { adapter.set_knobs(k); }

  SimulatedAdapter adapter;
  ModelPort port{adapter};
  WindowDriver drv{port};
};

TEST_F(AdapterIcmd, MailboxLayout) {
  uint32_t value = 0;
  ASSERT_TRUE(drv.read(kSpaceIcmd, IcmdMailbox::kMaxSizeAddress, value));
  EXPECT_EQ(value, 0x340u);
  ASSERT_TRUE(drv.read(kSpaceIcmd, IcmdMailbox::kCtrlAddress, value));
  EXPECT_EQ(value & 1u, 0u) << "idle";
  ASSERT_TRUE(drv.write(kSpaceIcmd, IcmdMailbox::kBufferAddress + 8, 0x01020304));
  ASSERT_TRUE(drv.read(kSpaceIcmd, IcmdMailbox::kBufferAddress + 8, value));
  EXPECT_EQ(value, 0x01020304u);
  EXPECT_FALSE(drv.read(kSpaceIcmd, 0x2000, value) && drv.syndrome() == 0) << "a hole in the space";

  // The ICMD semaphore in the semaphore space takes the first ticket and frees on 0; every
  // ticket presented is counted, taken or not, the release is not.
  const uint64_t tickets = adapter.stats().icmd_semaphore_tickets;
  ASSERT_TRUE(drv.write(kSpaceSemaphore, 0, 4242));
  ASSERT_TRUE(drv.write(kSpaceSemaphore, 0, 777));
  ASSERT_TRUE(drv.read(kSpaceSemaphore, 0, value));
  EXPECT_EQ(value, 4242u);
  ASSERT_TRUE(drv.write(kSpaceSemaphore, 0, 0));
  ASSERT_TRUE(drv.read(kSpaceSemaphore, 0, value));
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(adapter.stats().icmd_semaphore_tickets - tickets, 2u);
}

TEST_F(AdapterIcmd, SetThenGetThroughFrames) {
  const std::vector<uint8_t> image = {0x00, 0x00, 0x00, 0x07, 0x61, 0x62, 0x63, 0x00};
  std::vector<uint8_t> frame = register_frame(kEug, 2, image);
  ASSERT_EQ(frame.size(), 28u);
  frame[8] = 0x5A;  // a transaction id that must come back untouched
  ASSERT_EQ(drv.icmd(0x9001, frame), 0);
  EXPECT_TRUE(reply_dr(frame));
  EXPECT_EQ(reply_status(frame), 0);
  EXPECT_EQ(frame[8], 0x5A);
  EXPECT_EQ(reply_image(frame, 8), image) << "SET echoes the image";
  EXPECT_EQ(adapter.register_image(kEug), image);

  std::vector<uint8_t> get = register_frame(kEug, 1, std::vector<uint8_t>(8, 0xFF));
  ASSERT_EQ(drv.icmd(0x9001, get), 0);
  EXPECT_EQ(reply_status(get), 0);
  EXPECT_EQ(reply_image(get, 8), image);

  // A longer GET than the stored image is zero-padded; the counts see 1 SET and 2 GETs.
  std::vector<uint8_t> longer = register_frame(kEug, 1, std::vector<uint8_t>(12, 0xFF));
  ASSERT_EQ(drv.icmd(0x9001, longer), 0);
  std::vector<uint8_t> want = image;
  want.resize(12, 0);
  EXPECT_EQ(reply_image(longer, 12), want);
  EXPECT_EQ(adapter.register_counts(kEug).set, 1u);
  EXPECT_EQ(adapter.register_counts(kEug).get, 2u);
  EXPECT_EQ(adapter.register_counts(0xC011).get, 0u);

  const AdapterStats stats = adapter.stats();
  EXPECT_EQ(stats.icmd_commands, 3u);
  EXPECT_EQ(stats.unlocked_icmd_commands, 0u) << "each ran under the ICMD semaphore";
  EXPECT_EQ(stats.last_opcode, 0x9001u);

  // Raising the busy bit without the ICMD semaphore is served but counted.
  ASSERT_TRUE(drv.write(kSpaceIcmd, IcmdMailbox::kCtrlAddress, 0x12340001u));
  EXPECT_EQ(adapter.stats().icmd_commands, 4u);
  EXPECT_EQ(adapter.stats().unlocked_icmd_commands, 1u);
  EXPECT_EQ(adapter.stats().last_opcode, 0x1234u);
}

TEST_F(AdapterIcmd, HandlersAndStringTlv) {
  adapter.registers().set_handler(0xC011, [](RegisterAccess& a) -> uint8_t {
    if (a.method != kMethodGet) return kRegStatusBadParameter;
    a.image.assign(a.image.size(), 0);
    a.image[3] = 0x40;  // a capability value
    a.text = "limits ok";
    return kRegStatusOk;
  });
  std::vector<uint8_t> frame = register_frame(0xC011, 1, std::vector<uint8_t>(16, 0xEE), true);
  ASSERT_EQ(frame.size(), 16u + 132 + 4 + 16);
  ASSERT_EQ(drv.icmd(0x9003, frame), 0);
  EXPECT_EQ(reply_status(frame), 0);
  EXPECT_EQ(reply_text(frame), "limits ok");
  std::vector<uint8_t> want(16, 0);
  want[3] = 0x40;
  EXPECT_EQ(reply_image(frame, 16, true), want);

  std::vector<uint8_t> set = register_frame(0xC011, 2, std::vector<uint8_t>(16, 0));
  ASSERT_EQ(drv.icmd(0x9001, set), 0);
  EXPECT_EQ(reply_status(set), kRegStatusBadParameter);
  EXPECT_EQ(adapter.register_counts(0xC011).get, 1u);
  EXPECT_EQ(adapter.register_counts(0xC011).set, 1u);

  adapter.registers().set_plain_storage(false);
  std::vector<uint8_t> unknown = register_frame(0x9999, 1, std::vector<uint8_t>(4, 0));
  ASSERT_EQ(drv.icmd(0x9001, unknown), 0);
  EXPECT_EQ(reply_status(unknown), kRegStatusRegisterNotSupported);
}

TEST_F(AdapterIcmd, MalformedFrames) {
  std::vector<uint8_t> frame = register_frame(kEug, 1, std::vector<uint8_t>(4, 0));
  frame[0] = 0x10;  // operation TLV with type 2
  ASSERT_EQ(drv.icmd(0x9001, frame), 0);
  EXPECT_EQ(reply_status(frame), kRegStatusUnknownTlv);

  frame = register_frame(kEug, 1, std::vector<uint8_t>(4, 0));
  frame[16] = 0x08 | (frame[16] & 0x07);  // register TLV with type 1
  ASSERT_EQ(drv.icmd(0x9001, frame), 0);
  EXPECT_EQ(reply_status(frame), kRegStatusUnknownTlv);

  frame = register_frame(kEug, 1, std::vector<uint8_t>(4, 0));
  frame[7] = 2;  // class 2
  ASSERT_EQ(drv.icmd(0x9001, frame), 0);
  EXPECT_EQ(reply_status(frame), kRegStatusClassNotSupported);

  frame = register_frame(kEug, 3, std::vector<uint8_t>(4, 0));
  ASSERT_EQ(drv.icmd(0x9001, frame), 0);
  EXPECT_EQ(reply_status(frame), kRegStatusMethodNotSupported);
  EXPECT_EQ(adapter.register_counts(kEug).other, 1u);

  // 0x9003 expects a string TLV after the operation TLV.
  frame = register_frame(kEug, 1, std::vector<uint8_t>(4, 0));
  ASSERT_EQ(drv.icmd(0x9003, frame), 0);
  EXPECT_EQ(reply_status(frame), kRegStatusUnknownTlv);

  EXPECT_EQ(drv.icmd(0x1234, frame), kIcmdInvalidOpcode);
  EXPECT_EQ(adapter.register_counts(kEug).get, 0u) << "nothing malformed reached the store";
}

TEST_F(AdapterIcmd, StatusKnobs) {
  FaultKnobs k;
  k.register_status = 8;
  set(k);
  std::vector<uint8_t> frame = register_frame(kEug, 2, {1, 2, 3, 4});
  ASSERT_EQ(drv.icmd(0x9001, frame), 0);
  EXPECT_EQ(reply_status(frame), 8);
  EXPECT_TRUE(adapter.register_image(kEug).empty()) << "a refused SET changes nothing";
  EXPECT_EQ(adapter.register_counts(kEug).set, 1u);

  k = FaultKnobs{};
  k.icmd_status = 3;
  k.icmd_syndrome = 0x00ABCDEF;
  set(k);
  frame = register_frame(kEug, 2, {1, 2, 3, 4});
  EXPECT_EQ(drv.icmd(0x9001, frame), 3);
  uint32_t syndrome = 0;
  ASSERT_TRUE(drv.read(kSpaceIcmd, IcmdMailbox::kSyndromeAddress, syndrome));
  EXPECT_EQ(syndrome, 0x00ABCDEFu);
  EXPECT_TRUE(adapter.register_image(kEug).empty());

  set(FaultKnobs{});
  frame = register_frame(kEug, 2, {1, 2, 3, 4});
  EXPECT_EQ(drv.icmd(0x9001, frame), 0);
  ASSERT_TRUE(drv.read(kSpaceIcmd, IcmdMailbox::kSyndromeAddress, syndrome));
  EXPECT_EQ(syndrome, 0u) << "a good command clears the syndrome";
}

TEST_F(AdapterIcmd, BusyKnobs) {
  FaultKnobs k;
  k.busy_polls = 5;
  set(k);
  std::vector<uint8_t> frame = register_frame(kEug, 1, std::vector<uint8_t>(4, 0));
  EXPECT_EQ(drv.icmd(0x9001, frame, 0x1234, 5), -1) << "still busy after five polls";
  uint32_t ctrl = 0;
  ASSERT_TRUE(drv.read(kSpaceIcmd, 0, ctrl));
  EXPECT_EQ(ctrl & 1u, 0u) << "the sixth read shows it done";
  EXPECT_EQ((ctrl >> 16), 0x9001u);
  EXPECT_EQ(drv.icmd(0x9001, frame, 0x1234, 6), 0);

  k = FaultKnobs{};
  k.busy_stuck = true;
  set(k);
  frame = register_frame(kEug, 2, {9, 9, 9, 9});
  EXPECT_EQ(drv.icmd(0x9001, frame), -1);
  ASSERT_TRUE(drv.read(kSpaceIcmd, 0, ctrl));
  EXPECT_EQ(ctrl & 1u, 1u);
  ASSERT_TRUE(drv.write(kSpaceIcmd, 0, 0x90010000u));
  ASSERT_TRUE(drv.read(kSpaceIcmd, 0, ctrl));
  EXPECT_EQ(ctrl & 1u, 1u) << "software cannot clear the busy bit";
  EXPECT_TRUE(adapter.register_image(kEug).empty()) << "the stuck command has not run";

  set(FaultKnobs{});
  ASSERT_TRUE(drv.read(kSpaceIcmd, 0, ctrl));
  EXPECT_EQ(ctrl & 1u, 0u) << "the firmware finishes once it is unstuck";
  EXPECT_EQ(adapter.register_image(kEug), (std::vector<uint8_t>{9, 9, 9, 9}));
}

TEST_F(AdapterIcmd, SemaphoreAndSizeKnobs) {
  FaultKnobs k;
  k.icmd_semaphore_foreign = true;
  set(k);
  std::vector<uint8_t> frame = register_frame(kEug, 1, std::vector<uint8_t>(4, 0));
  EXPECT_EQ(drv.icmd(0x9001, frame), -2);
  uint32_t owner = 0;
  ASSERT_TRUE(drv.read(kSpaceSemaphore, 0, owner));
  EXPECT_EQ(owner, kForeignOwner);

  k = FaultKnobs{};
  k.max_cmd_size = 24;
  set(k);
  uint32_t value = 0;
  ASSERT_TRUE(drv.read(kSpaceIcmd, IcmdMailbox::kMaxSizeAddress, value));
  EXPECT_EQ(value, 24u);
  EXPECT_FALSE(drv.write(kSpaceIcmd, IcmdMailbox::kBufferAddress + 24, 1) && drv.syndrome() == 0)
      << "the buffer ends at the size it reports";
  frame = register_frame(kEug, 1, std::vector<uint8_t>(4, 0));  // 24 bytes: fits
  ASSERT_EQ(drv.icmd(0x9001, frame), 0);
  EXPECT_EQ(reply_status(frame), 0);

  // A register TLV that claims more than the buffer holds is refused, not read past the end.
  frame = register_frame(kEug, 1, std::vector<uint8_t>(4, 0));
  frame[17] = 8;
  ASSERT_EQ(drv.icmd(0x9001, frame), 0);
  EXPECT_EQ(reply_status(frame), kRegStatusBadParameter);

  // The DMA bit asks for a mailbox page this adapter does not have.
  set(FaultKnobs{});
  ASSERT_TRUE(drv.write(kSpaceIcmd, 0, 0x90010003u));
  ASSERT_TRUE(drv.read(kSpaceIcmd, 0, value));
  EXPECT_EQ((value >> 8) & 0xFF, kIcmdInvalidCmd);
}

}  // namespace
}  // namespace vexil_sim
