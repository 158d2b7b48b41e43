/*
 * e2e_processes_test.cpp - the tool among other processes: Ctrl-C and the
 * other ending signals at any moment of a command must not leave a semaphore
 * of the adapter taken, and runs side by side (each in a PID namespace of
 * its own, as in containers) must each hold the mailbox alone.
 */
#include "e2e_support.h"

#include <signal.h>
#include <time.h>

#include <thread>

namespace e2e {
namespace {

double seconds_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* Interrupts `eu_group create` at moments spread over its run, each time
 * with another ending signal, and checks that the next command works. */
void interrupt_runs(const AcceleratorLimits& limits)
{
    const std::vector<std::string> create = {"eu_group", "create", "-d", device, "-n", "g", "-r", "0-3"};
    const double started = seconds_now();
    const test_process::result whole = tool({"eu_group", "query", "-d", device});
    const double run_ms = (seconds_now() - started) * 1000;
    ASSERT_EQ(whole.exit_status, 0) << whole.out;

    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    constexpr int kRuns = 12;
    int ended_by_signal = 0;
    for (int run = 0; run < kRuns; ++run) {
        test_process::options how;
        how.unset_env = {"ZRV_DEBUG"};
        how.signal = signals[run % 4];
        how.signal_after_ms = 1 + static_cast<int>(run_ms * (run + 1) / (kRuns + 1));
        const test_process::result r = test_process::run(VEXILCTL_PATH, create, how);
        if (r.signal == how.signal) ++ended_by_signal;
        else EXPECT_EQ(r.signal, 0) << "run " << run;

        SCOPED_TRACE("after run " + std::to_string(run) + ", signal at " +
                     std::to_string(how.signal_after_ms) + " ms");
        expect_tool({"eu_group", "info", "-d", device}, eu_group_report(limits), 0);
        if (::testing::Test::HasFailure()) break; /* a semaphore left taken fails every later run */
    }
    EXPECT_GE(ended_by_signal, kRuns / 2) << "the signals came too late to test anything";
}

TEST(InterruptedProcess, NoWindowOrMailboxSemaphoreOutlivesTheRun)
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 8;
    setup.limits.max_num_hxu_eu_partition = 2;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer&) { interrupt_runs(setup.limits); });
}

TEST(InterruptedProcess, NoToolsSemaphoreOutlivesTheRun)
{
    AcceleratorSetup setup;
    setup.function.hw_id = 0x1F5;
    setup.limits.max_num_hxu_eug = 8;
    setup.limits.max_num_hxu_eu_partition = 2;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer&) { interrupt_runs(setup.limits); });
}

/* One failed access to the function at any moment of a run: the run may
 * fail, but no semaphore stays taken and the runs after it work. Each shard
 * fails every kShards-th access of the run, from its own. */
constexpr int kShards = 4;

class FailedAccess : public ::testing::TestWithParam<int> {};

TEST_P(FailedAccess, NoSemaphoreOutlivesTheRun)
{
    AcceleratorSetup setup;
    const std::vector<std::string> info = {"eu_group", "info", "-d", device};
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const uint64_t before = server.stats().config_accesses;
        expect_tool(info, eu_group_report(setup.limits), 0);
        const uint64_t per_run = server.stats().config_accesses - before;
        vexil_sim::FaultKnobs knobs;
        for (uint64_t at = 1 + GetParam(); at <= per_run; at += kShards) {
            knobs.fail_config_access_at = server.stats().config_accesses + at;
            server.set_knobs(knobs);
            const test_process::result r = tool(info);
            ASSERT_EQ(server.stats().held_semaphores, 0u) << "access " << at << " of " << per_run << ": " << r.err;
        }
        server.set_knobs(vexil_sim::FaultKnobs{});
        expect_tool(info, eu_group_report(setup.limits), 0);
    });
}

INSTANTIATE_TEST_SUITE_P(Shards, FailedAccess, ::testing::Range(0, kShards));

/* Every run is pid 1 of its own PID namespace: the mailbox semaphore must still tell them apart. */
TEST(ProcessesSideBySide, EachRunInItsOwnPidNamespaceHoldsTheMailboxAlone)
{
    if (access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/unshare here";
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 8;
    setup.limits.max_num_hxu_eu_partition = 2;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        constexpr int kRuns = 4;
        std::vector<test_process::result> results(kRuns);
        std::vector<std::thread> runs;
        for (int i = 0; i < kRuns; ++i)
            runs.emplace_back([&results, i] {
                results[i] = test_process::run("/usr/bin/unshare",
                                               {"-p", "-f", "--", VEXILCTL_PATH, "eu_group", "create", "-d",
                                                device, "-n", "g" + std::to_string(i), "-r",
                                                std::to_string(10 * i) + "-" + std::to_string(10 * i + 3)});
            });
        for (std::thread& run : runs)
            run.join();
        for (int i = 0; i < kRuns; ++i) {
            EXPECT_EQ(results[i].exit_status, 0) << "run " << i << ": " << results[i].out << results[i].err;
            EXPECT_EQ(results[i].out.rfind("Group created successfully-\n", 0), 0u) << results[i].out;
        }
        const vexil_sim::AdapterStats stats = server.stats();
        EXPECT_EQ(stats.unlocked_icmd_commands, 0u) << "of " << stats.icmd_commands << " commands";
        EXPECT_EQ(stats.unlocked_window_accesses, 0u);
        EXPECT_TRANSACTIONS(vexil_sim::accelerator_counts(server).eug, kRuns * 8u, kRuns);
    });
}

} // namespace
} // namespace e2e
