// The in-process adapter as a configuration-space client sees it: header and capability list,
// the window's semaphore, space selection and address/flag handshake, and their fault knobs.
#include <gtest/gtest.h>

#include "simulated_adapter.h"
#include "window_driver.h"

namespace vexil_sim {
namespace {

using vexil_sim_test::ModelPort;
using vexil_sim_test::WindowDriver;

constexpr uint32_t V = SimulatedAdapter::kVsecCapability;

TEST(AdapterConfig, HeaderAndCapabilityList) {
  FunctionConfig cfg;
  cfg.vendor = 0x15b3;
  cfg.device = 0x1021;
  cfg.class_code = 0x020700;
  cfg.subsystem_device = 0x00A1;
  SimulatedAdapter adapter(cfg);
  ModelPort port(adapter);
  WindowDriver drv(port);

  EXPECT_EQ(drv.read4(0), 0x102115b3u);
  EXPECT_EQ(drv.read4(8) >> 8, 0x020700u);
  EXPECT_EQ(drv.read4(0x2C), 0x00A115b3u);
  EXPECT_EQ(adapter.config_read(0, 4096).size(), 4096u);
  EXPECT_TRUE(adapter.config_read(4096, 4).empty()) << "nothing past the end";

  ASSERT_TRUE(drv.attach());
  EXPECT_EQ(drv.base(), V);
  const uint32_t header = drv.read4(V);
  EXPECT_EQ(header & 0xFF, 0x09u);
  EXPECT_EQ(header >> 24, 0u) << "functional window";
  EXPECT_EQ((header >> 16) & 0xFF, 0x18u);
  EXPECT_EQ(drv.find_capability(0x10), SimulatedAdapter::kExpressCapability);

  // Header bytes are read-only.
  const uint8_t junk[4] = {1, 2, 3, 4};
  adapter.config_write(0, junk, 4);
  EXPECT_EQ(drv.read4(0), 0x102115b3u);
}

TEST(AdapterConfig, CapabilityVariants) {
  FunctionConfig no_vsec;
  no_vsec.vsec_present = false;
  SimulatedAdapter plain(no_vsec);
  ModelPort plain_port(plain);
  EXPECT_EQ(WindowDriver(plain_port).find_capability(9), 0u);

  FunctionConfig looped;
  looped.capability_loop = true;
  SimulatedAdapter loop(looped);
  ModelPort loop_port(loop);
  WindowDriver loop_drv(loop_port);
  EXPECT_EQ(loop_drv.find_capability(9), 0u);
  EXPECT_EQ(loop.config_read(SimulatedAdapter::kExpressCapability + 1, 1).at(0),
            SimulatedAdapter::kPmCapability) << "the list points back at its first entry";

  FunctionConfig typed;
  typed.vsec_type = 1;
  SimulatedAdapter other(typed);
  ModelPort other_port(other);
  WindowDriver other_drv(other_port);
  ASSERT_TRUE(other_drv.attach());
  EXPECT_EQ(other_drv.read4(V) >> 24, 1u);
}

TEST(AdapterWindow, CounterAndSemaphore) {
  SimulatedAdapter adapter;
  ModelPort port(adapter);
  WindowDriver drv(port);
  ASSERT_TRUE(drv.attach());

  const uint32_t first = drv.read4(V + 0x08);
  const uint32_t second = drv.read4(V + 0x08);
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, first) << "every read is a new ticket";

  EXPECT_EQ(drv.read4(V + 0x0C), 0u);
  drv.write4(V + 0x0C, second);
  EXPECT_EQ(drv.read4(V + 0x0C), second) << "a ticket written while free takes it";
  drv.write4(V + 0x0C, 0x77);
  EXPECT_EQ(drv.read4(V + 0x0C), second) << "another ticket does not steal it";
  drv.write4(V + 0x0C, 0);
  EXPECT_EQ(drv.read4(V + 0x0C), 0u);

  FaultKnobs knobs;
  knobs.vsec_semaphore_foreign = true;
  adapter.set_knobs(knobs);
  EXPECT_EQ(drv.read4(V + 0x0C), kForeignOwner);
  EXPECT_FALSE(drv.lock());
  drv.write4(V + 0x0C, 0);
  EXPECT_EQ(drv.read4(V + 0x0C), kForeignOwner) << "the other owner keeps it";
  adapter.set_knobs(FaultKnobs{});
  EXPECT_TRUE(drv.lock());
  drv.unlock();
}

TEST(AdapterWindow, SpaceProbe) {
  SimulatedAdapter adapter;
  ModelPort port(adapter);
  WindowDriver drv(port);
  ASSERT_TRUE(drv.attach());
  ASSERT_TRUE(drv.lock());
  // The order a client probes in; only the spaces this adapter has report a status.
  const uint16_t probe[] = {3, 4, 5, 6, 7, 15, 1, 10, 2, 257, 258, 259, 263, 266, 12};
  std::vector<uint16_t> present;
  for (uint16_t s : probe)
    if (drv.select(s)) present.push_back(s);
  EXPECT_EQ(present, (std::vector<uint16_t>{3, 1, 10, 2}));
  EXPECT_EQ(drv.read4(V + 0x04) & 0xFFFF, 12u) << "control keeps the last selection";

  FaultKnobs knobs;
  knobs.missing_spaces[0] = kSpaceIcmd;
  adapter.set_knobs(knobs);
  EXPECT_FALSE(drv.select(kSpaceIcmd));
  EXPECT_TRUE(drv.select(kSpaceCr));
  adapter.add_plain_space(kSpaceRecovery);
  EXPECT_TRUE(drv.select(kSpaceRecovery));
  drv.unlock();
}

TEST(AdapterWindow, ReadAndWriteHandshake) {
  FunctionConfig cfg;
  cfg.hw_id = 0x21C;
  cfg.hw_rev = 2;
  SimulatedAdapter adapter(cfg);
  ModelPort port(adapter);
  WindowDriver drv(port);
  ASSERT_TRUE(drv.attach());
  ASSERT_TRUE(drv.lock());
  ASSERT_TRUE(drv.select(kSpaceCr));

  // Read: software writes the address with the flag clear; the device sets the flag.
  drv.write4(V + 0x10, 0xF0014);
  EXPECT_EQ(drv.read4(V + 0x10), 0x800F0014u);
  EXPECT_EQ(drv.read4(V + 0x14), 0x0002021Cu);
  EXPECT_EQ(drv.syndrome(), 0u);

  // Write: data first, then the address with the flag set; the device clears the flag.
  drv.write4(V + 0x14, 0xCAFEF00D);
  drv.write4(V + 0x10, 0x80000100u);
  EXPECT_EQ(drv.read4(V + 0x10), 0x00000100u);
  uint32_t value = 0;
  ASSERT_TRUE(drv.rw(0x100, value, false));
  EXPECT_EQ(value, 0xCAFEF00Du);

  value = 0x1234;
  ASSERT_TRUE(drv.rw(0xF0014, value, true));
  ASSERT_TRUE(drv.rw(0xF0014, value, false));
  EXPECT_EQ(value, 0x0002021Cu) << "the hardware id is read-only";

  // Spaces are separate: the same address in plain space 1 is still 0.
  ASSERT_TRUE(drv.select(kSpaceIcmdExt));
  ASSERT_TRUE(drv.rw(0x100, value, false));
  EXPECT_EQ(value, 0u);
  drv.unlock();

  // 16-bit writes into the control register select a space too (byte-merged).
  const uint8_t space_bytes[2] = {kSpaceCr, 0};
  adapter.config_write(V + 0x04, space_bytes, 2);
  EXPECT_EQ(drv.read4(V + 0x04) & 0xFFFF, kSpaceCr);
}

TEST(AdapterWindow, SyndromeAndFaults) {
  SimulatedAdapter adapter;
  ModelPort port(adapter);
  WindowDriver drv(port);
  ASSERT_TRUE(drv.attach());
  ASSERT_TRUE(drv.lock());
  ASSERT_TRUE(drv.select(kSpaceCr));
  uint32_t value = 0x55;
  ASSERT_TRUE(drv.rw(CrSpace::kSize, value, false)) << "the flag still completes";
  EXPECT_EQ(value, 0u) << "an address the space lacks reads no data";
  EXPECT_EQ(drv.syndrome(), 3u);
  ASSERT_TRUE(drv.rw(0x102, value, false));
  EXPECT_EQ(drv.syndrome(), 3u) << "unaligned";
  ASSERT_TRUE(drv.rw(0x100, value, false));
  EXPECT_EQ(drv.syndrome(), 0u) << "a good access clears it";

  FaultKnobs knobs;
  knobs.vsec_syndrome = true;
  adapter.set_knobs(knobs);
  ASSERT_TRUE(drv.rw(0x100, value, false));
  EXPECT_EQ(drv.syndrome(), 3u);

  knobs = FaultKnobs{};
  knobs.flag_stuck = true;
  adapter.set_knobs(knobs);
  EXPECT_FALSE(drv.rw(0xF0014, value, false)) << "the read flag never comes";
  EXPECT_EQ(drv.read4(V + 0x10), 0xF0014u);
  value = 0xABCD;
  EXPECT_FALSE(drv.rw(0x200, value, true)) << "the write flag never clears";
  adapter.set_knobs(FaultKnobs{});
  ASSERT_TRUE(drv.rw(0x200, value, false));
  EXPECT_EQ(value, 0u) << "a stuck write was not carried out";

  knobs = FaultKnobs{};
  knobs.missing_spaces[3] = kSpaceCr;
  adapter.set_knobs(knobs);
  ASSERT_TRUE(drv.rw(0xF0014, value, false));
  EXPECT_EQ(drv.syndrome(), 3u) << "a missing space answers nothing";
  drv.unlock();
}

TEST(AdapterWindow, CountsAccessesWithoutTheSemaphore) {
  SimulatedAdapter adapter;
  ModelPort port(adapter);
  WindowDriver drv(port);
  ASSERT_TRUE(drv.attach());
  uint32_t value;
  ASSERT_TRUE(drv.read(kSpaceCr, 0xF0014, value));
  EXPECT_EQ(adapter.stats().window_accesses, 1u);
  EXPECT_EQ(adapter.stats().unlocked_window_accesses, 0u);
  drv.select(kSpaceCr);
  drv.rw(0xF0014, value, false);
  EXPECT_EQ(adapter.stats().window_accesses, 2u);
  EXPECT_EQ(adapter.stats().unlocked_window_accesses, 1u);
}

TEST(AdapterWindow, LegacyAddressDataPair) {
  SimulatedAdapter adapter;
  ModelPort port(adapter);
  WindowDriver drv(port);
  drv.write4(SimulatedAdapter::kLegacyAddress, 0xF0014);
  EXPECT_EQ(drv.read4(SimulatedAdapter::kLegacyAddress), 0xF0014u) << "not write-only";
  EXPECT_EQ(drv.read4(SimulatedAdapter::kLegacyData), uint32_t(adapter.config().hw_id));
  drv.write4(SimulatedAdapter::kLegacyAddress, 0x400);
  drv.write4(SimulatedAdapter::kLegacyData, 0x600DF00D);
  uint32_t value = 0;
  ASSERT_TRUE(adapter.read_space(kSpaceCr, 0x400, value));
  EXPECT_EQ(value, 0x600DF00Du);
}

TEST(AdapterWindow, ReadinessBit) {
  FunctionConfig cfg;
  cfg.not_ready_address = 0xB5E04;
  cfg.not_ready_bit = 29;
  SimulatedAdapter adapter(cfg);
  ModelPort port(adapter);
  WindowDriver drv(port);
  ASSERT_TRUE(drv.attach());
  ASSERT_TRUE(drv.write(kSpaceCr, 0xB5E04, 0x3));
  uint32_t value = 0;
  ASSERT_TRUE(drv.read(kSpaceCr, 0xB5E04, value));
  EXPECT_EQ(value, 0x3u);
  FaultKnobs knobs;
  knobs.not_ready = true;
  adapter.set_knobs(knobs);
  ASSERT_TRUE(drv.read(kSpaceCr, 0xB5E04, value));
  EXPECT_EQ(value, 0x3u | 1u << 29) << "only the readiness bit changes";
}

}  // namespace
}  // namespace vexil_sim
