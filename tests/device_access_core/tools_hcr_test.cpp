// The tools command interface of the oldest adapters end to end: access registers through the
// real user-level PCI path (sysfs config file -> VSEC window -> CR space) to the simulated
// adapter's HCR, through its CR mailbox or eight bytes at a time, with its statuses and limits.
#include <errno.h>

#include <gtest/gtest.h>

#include <vector>

#include "mtcr_int.h"
#include "sim_function.h"

namespace vexil_core_test {
namespace {

using vexil_sim::FuseFunctionServer;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kEugRegister = 0xC012;

SimOptions oldest_adapter(uint16_t hw_id = 0x1F5) {
  SimOptions o;
  o.config.device = kSimPciId;
  o.config.hw_id = hw_id;
  return o;
}

int access(mfile* mf, int method, Bytes& data) {
  int status = -1;
  const int rc = maccess_reg(mf, kEugRegister, method, data.data(), (uint32_t)data.size(),
                             (uint32_t)data.size(), (uint32_t)data.size(), &status);
  return rc ? rc : status;
}

Bytes pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = (uint8_t)(seed + i * 5);
  return b;
}

// The semaphore is free when a read obtains it; the read then holds it, so give it back.
bool semaphore_free(FuseFunctionServer& server) {
  uint32_t v = 1;
  if (!server.read_space(vexil_sim::kSpaceCr, 0xF03BC, v) || v != 0) return false;
  return server.write_space(vexil_sim::kSpaceCr, 0xF03BC, 0);
}

TEST(ToolsHcr, RegistersTravelThroughTheCrMailboxWithTheirOwnLimit) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  for (uint16_t hw_id : {0x1F5, 0x1F7}) {
    auto result = run_with_sim_function(oldest_adapter(hw_id), [](FuseFunctionServer& server) {
      mfile* mf = mopen(kSimAddress);
      ASSERT_NE(mf, nullptr) << strerror(errno);
      EXPECT_EQ(supports_icmd(mf), 0);
      EXPECT_EQ(mget_max_reg_size(mf, MACCESS_REG_METHOD_GET), 268);

      // 268 bytes fill the 288-byte mailbox with the operation and register TLVs.
      const Bytes image = pattern(268, 1);
      Bytes data = image;
      ASSERT_EQ(access(mf, MACCESS_REG_METHOD_SET, data), 0);
      EXPECT_EQ(server.register_image(kEugRegister), image);
      Bytes got(268, 0);
      ASSERT_EQ(access(mf, MACCESS_REG_METHOD_GET, got), 0);
      EXPECT_EQ(got, image);
      EXPECT_EQ(mf->tools_cmdif.cr_mailbox, 1);

      const vexil_sim::AdapterStats stats = server.stats();
      EXPECT_EQ(stats.icmd_commands, 0u);
      EXPECT_GE(stats.hcr_commands, 2u);
      EXPECT_EQ(stats.unlocked_hcr_commands, 0u) << "every command ran under the semaphore";
      EXPECT_TRUE(semaphore_free(server)) << "released after each command";

      Bytes too_large(269, 0);
      EXPECT_EQ(access(mf, MACCESS_REG_METHOD_SET, too_large), 269);
      EXPECT_EQ(server.register_counts(kEugRegister).set, 1u) << "refused unsent";

      // The mailbox bounds, checked before the semaphore is asked for.
      Bytes frame(289, 0);
      EXPECT_EQ(tools_cmdif_send_mbox_command_int(mf, 0, 0x3B, 0, 0, frame.data(), 289, 8, 0, 1), 2);
      EXPECT_EQ(tools_cmdif_send_mbox_command_int(mf, 0, 0x3B, 0, 8, frame.data(), 8, 284, 0, 1), 2);
      EXPECT_EQ(tools_cmdif_send_mbox_command_int(mf, 0, 0x3B, 0, 4, frame.data(), 8, 8, 0, 1), 2);
      EXPECT_EQ(server.stats().hcr_commands, stats.hcr_commands);
      mclose(mf);
    });
    VEXIL_EXPECT_SCENARIO(result);
  }
}

TEST(ToolsHcr, AMailboxWindowThatHoldsNothingSwitchesToPiecesForGood) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  SimOptions o = oldest_adapter();
  o.knobs.hcr_no_cr_mailbox = true;
  o.knobs.busy_polls = 8;  // the go bit stays up a while after every command
  auto result = run_with_sim_function(o, [](FuseFunctionServer& server) {
    mfile* mf = mopen(kSimAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    const Bytes image = pattern(100, 7);
    Bytes data = image;
    ASSERT_EQ(access(mf, MACCESS_REG_METHOD_SET, data), 0);
    EXPECT_EQ(server.register_image(kEugRegister), image);
    EXPECT_EQ(mf->tools_cmdif.cr_mailbox, -1);
    // 36 pieces in, 15 pieces of the 120-byte frame back.
    const uint64_t pieces = server.stats().hcr_mailbox_pieces;
    EXPECT_EQ(pieces, 3u + 36 + 15) << "each support probe (size, route, send) moves a piece";

    vexil_sim::FaultKnobs knobs = server.knobs();
    knobs.hcr_no_cr_mailbox = false;
    server.set_knobs(knobs);
    Bytes got(100, 0);
    ASSERT_EQ(access(mf, MACCESS_REG_METHOD_GET, got), 0);
    EXPECT_EQ(got, image);
    EXPECT_EQ(mf->tools_cmdif.cr_mailbox, -1) << "decided once per handle";
    EXPECT_EQ(server.stats().hcr_mailbox_pieces, pieces + 3 + 36 + 15);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(ToolsHcr, StatusesAndAHeldSemaphoreGiveTheirCodes) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(oldest_adapter(), [](FuseFunctionServer& server) {
    mfile* mf = mopen(kSimAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    Bytes data(16, 0);
    ASSERT_EQ(access(mf, MACCESS_REG_METHOD_GET, data), 0);

    const struct {
      uint8_t status;
      int code;
    } cases[] = {{1, 768}, {2, 771}, {3, 774}, {4, 773}, {7, 776}, {9, 775}, {12, 776}};
    for (const auto& c : cases) {
      vexil_sim::FaultKnobs knobs = server.knobs();
      knobs.hcr_status = c.status;
      server.set_knobs(knobs);
      Bytes frame(40, 0);
      EXPECT_EQ(tools_cmdif_reg_access(mf, frame.data(), 40, 40), c.code) << int(c.status);
      EXPECT_TRUE(semaphore_free(server)) << "released after a refused command";
    }
    EXPECT_STREQ(m_err2str(769), "Tools HCR time out.");

    vexil_sim::FaultKnobs knobs = server.knobs();
    knobs.hcr_status = 0;
    knobs.hcr_semaphore_foreign = true;
    server.set_knobs(knobs);
    const uint64_t commands = server.stats().hcr_commands;
    Bytes frame(40, 0);
    EXPECT_EQ(tools_cmdif_reg_access(mf, frame.data(), 40, 40), 5);
    EXPECT_EQ(server.stats().hcr_commands, commands) << "nothing sent without the semaphore";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A release whose write of 0 failed before it left is written again; one whose 0 may have landed
// is not (another process may hold the semaphore by then), and is said. Through the VSEC window
// that write is its semaphore (accesses 1-4) and space (5-7), the data (8), the address that
// carries the 0 (9; failed, it is not carried out) and the flag (10); through the legacy window
// (no functional capability) the address (1) and the data that carries the 0 (2).
TEST(ToolsHcr, AReleaseThatMayHaveLandedIsNotWrittenAgain) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  struct Window {
    const char* name;
    bool vsec;
    std::vector<uint64_t> refused;  // the 0 never left: written again
    uint64_t landed;                // the 0 may have landed (0: no such access)
  } windows[] = {{"VSEC", true, {8, 9}, 10}, {"legacy", false, {1, 2}, 0}};
  for (const Window& w : windows) {
    SimOptions o = oldest_adapter();
    o.config.vsec_present = w.vsec;
    auto result = run_with_sim_function(o, [&w](FuseFunctionServer& server) {
      mfile* mf = mopen(kSimAddress);
      ASSERT_NE(mf, nullptr) << strerror(errno);
      ASSERT_EQ(mf->vsec_supported, w.vsec ? 1u : 0u);
      std::vector<uint64_t> positions = w.refused;
      if (w.landed) positions.push_back(w.landed);
      for (uint64_t at : positions) {
        SCOPED_TRACE(at);
        ASSERT_EQ(tools_cmdif_flash_lock(mf, 1), ME_OK);
        vexil_sim::FaultKnobs knobs;
        knobs.fail_config_access_at = server.stats().config_accesses + at;
        server.set_knobs(knobs);
        const uint64_t writes = server.stats().hcr_release_writes;
        const bool may_have_landed = at == w.landed;
        vexil_test::CapturedStream err(2);
        EXPECT_EQ(tools_cmdif_flash_lock(mf, 0), may_have_landed ? ME_CR_ERROR : ME_OK);
        EXPECT_EQ(err.text().find("-W-") != std::string::npos, may_have_landed) << err.text();
        EXPECT_EQ(err.text().find("-W- The tools semaphore could not be released.\n") != std::string::npos,
                  may_have_landed) << err.text();
        EXPECT_EQ(server.stats().hcr_release_writes - writes, 1u) << "writes of 0 that reached it";
        EXPECT_EQ(server.stats().held_semaphores, 0u);
      }
      mclose(mf);
    });
    SCOPED_TRACE(w.name);
    VEXIL_EXPECT_SCENARIO(result);
  }
}

}  // namespace
}  // namespace vexil_core_test
