// The tools command interface of the oldest adapters through the kernel driver's dword requests,
// where a CR write the device refuses fails as the driver reports it: the go bit's two time-outs
// with their sleeps skipped, and a release of the semaphore that the device refuses.
#include <errno.h>

#include <string>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "ioctl_interposer.h"
#include "mtcr_int.h"
#include "simulated_driver.h"

namespace {

using vexil_sim::SimulatedAdapter;
using vexil_test::SimulatedDriver;

const std::string kConf = "/dev/qdx/tq4129_pciconf0";

vexil_sim::FunctionConfig oldest_adapter() {
  vexil_sim::FunctionConfig config;
  config.hw_id = 0x1F5;
  return config;
}

// The semaphore is free when a read obtains it; the read then holds it, so give it back.
bool semaphore_free(SimulatedAdapter& adapter) {
  uint32_t v = 1;
  if (!adapter.read_space(vexil_sim::kSpaceCr, 0xF03BC, v) || v != 0) return false;
  return adapter.write_space(vexil_sim::kSpaceCr, 0xF03BC, 0);
}

// 2000 reads of the go bit, the seventh on after sleeps of 1, 2, 4 and then 8 ms: 15.935 s asked
// for each time-out, none of it waited.
TEST(ToolsHcrDriver, GoBitThatNeverClearsTimesOutBeforeAndAfterTheCommand) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::add_driver_function();
    SimulatedAdapter adapter(oldest_adapter());
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    mfile* mf = mopen(kConf.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);

    vexil_sim::FaultKnobs knobs = adapter.knobs();
    knobs.busy_stuck = true;
    adapter.set_knobs(knobs);
    const uint64_t commands = adapter.stats().hcr_commands;
    constexpr unsigned long long kTimeOutUs = (1 + 2 + 4 + 8ull * 1991) * 1000;
    {
      vexil_test::SkippedSleeps sleeps;
      EXPECT_EQ(tools_cmdif_send_inline_cmd(mf, 0, nullptr, 0, 0x70, 0), ME_CMDIF_TOUT)
          << "the go bit stays up after the command";
      EXPECT_EQ(sleeps.asked_us(), kTimeOutUs);
    }
    EXPECT_TRUE(semaphore_free(adapter)) << "released after the time-out";
    {
      vexil_test::SkippedSleeps sleeps;
      EXPECT_EQ(tools_cmdif_send_inline_cmd(mf, 0, nullptr, 0, 0x70, 0), ME_CMDIF_BUSY)
          << "the go bit is still up before the next one";
      EXPECT_EQ(sleeps.asked_us(), kTimeOutUs);
    }
    EXPECT_EQ(adapter.stats().hcr_commands - commands, 1u) << "nothing sent over a busy register";
    EXPECT_TRUE(semaphore_free(adapter));

    knobs.busy_stuck = false;
    adapter.set_knobs(knobs);
    EXPECT_EQ(tools_cmdif_send_inline_cmd(mf, 0, nullptr, 0, 0x70, 0), ME_OK);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A release write the device refuses is tried again; one refused for good leaves the command's own
// result and says that the semaphore is still taken.
TEST(ToolsHcrDriver, RefusedReleaseIsRetriedAndThenReported) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::add_driver_function();
    SimulatedAdapter adapter(oldest_adapter());
    SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    driver.serve_qdx_node(kConf);
    mfile* mf = mopen(kConf.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);

    vexil_sim::FaultKnobs knobs = adapter.knobs();
    knobs.hcr_release_refusals = 2;
    adapter.set_knobs(knobs);
    uint64_t writes = adapter.stats().hcr_release_writes;
    {
      vexil_test::CapturedStream err(2);
      EXPECT_EQ(tools_cmdif_send_inline_cmd(mf, 0, nullptr, 0, 0x70, 0), ME_OK);
      EXPECT_EQ(err.text(), "");
    }
    EXPECT_EQ(adapter.stats().hcr_release_writes - writes, 3u);
    EXPECT_TRUE(semaphore_free(adapter)) << "the third write released it";

    knobs.hcr_release_refusals = vexil_sim::kForever;
    adapter.set_knobs(knobs);
    writes = adapter.stats().hcr_release_writes;
    {
      vexil_test::CapturedStream err(2);
      uint64_t out = 0;
      EXPECT_EQ(tools_cmdif_send_inline_cmd(mf, 0, &out, 0, 0x70, 0), ME_OK);
      EXPECT_EQ(err.text(), "-W- The tools semaphore could not be released.\n");
    }
    EXPECT_EQ(adapter.stats().hcr_release_writes - writes, 3u);
    EXPECT_FALSE(semaphore_free(adapter)) << "still taken, as the warning says";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
