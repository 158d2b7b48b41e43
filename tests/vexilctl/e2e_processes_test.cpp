/*
 * e2e_processes_test.cpp - the tool among other processes: Ctrl-C and the
 * other ending signals at any moment of a command must not leave a semaphore
 * of the adapter taken, runs side by side (each in a PID namespace of its
 * own, as in containers) must each hold the mailbox alone, and commands that
 * change groups or partitions take turns.
 */
#include "e2e_support.h"

#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <time.h>

#include <functional>
#include <thread>

#include "capture_stdout.h"
#include "eu_group.h"
#include "ioctl_interposer.h"
#include "lock_files.h"
#include "mtcr.h"
#include "partition.h"
#include "utility_functions.h"

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

AcceleratorSetup small_adapter()
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 8;
    setup.limits.max_num_hxu_eu_partition = 2;
    return setup;
}

/* Each create scans for the name and then writes: only one of four at once may find it free.
 * Four rounds, four names: the runs do not always overlap on their own. */
TEST(ChangingProcesses, FourCreatesOfOneNameAtOnceMakeOneGroup)
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 32;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        constexpr int kRuns = 4;
        constexpr int kRounds = 4;
        uint64_t gets = 0;
        for (int round = 0; round < kRounds; ++round) {
            const std::string name = "dup" + std::to_string(round);
            std::vector<test_process::result> results(kRuns);
            std::vector<std::thread> runs;
            for (int i = 0; i < kRuns; ++i)
                runs.emplace_back([&results, &name, i, round] {
                    const int first = 40 * round + 10 * i;
                    const std::string range = std::to_string(first) + "-" + std::to_string(first + 3);
                    results[i] = tool({"eu_group", "create", "-d", device, "-n", name, "-r", range});
                });
            for (std::thread& run : runs)
                run.join();
            int created = 0;
            for (const test_process::result& r : results) {
                EXPECT_EQ(r.err, "");
                if (r.exit_status == 0 && r.out.rfind("Group created successfully-\n", 0) == 0)
                    ++created;
                else
                    EXPECT_EQ(r.out, "Group name: \"" + name + "\", is already taken by group_id: " +
                                         std::to_string(round + 1) + "\nEU group creation failed.\n");
            }
            EXPECT_EQ(created, 1) << name;
            gets += 32 + (kRuns - 1) * (round + 1); /* the others stop at the new group's id */
        }
        EXPECT_TRANSACTIONS(vexil_sim::accelerator_counts(server).eug, gets, kRounds);
    });
}

/* Run in this process, whose sleeps are skipped and counted: every changing command waits for a
 * change lock held elsewhere as long as an apply may take (a minute), then ends with the busy line
 * before anything reaches the adapter; a query takes none; a holder that lets go after half a
 * minute is waited for. */
void changing_commands_wait_for_the_lock(FuseFunctionServer& server)
{
    ASSERT_EQ(extract_nic_cap_ext_reg(device.c_str(), REPORT_NONE), 0);
    char range[] = "0-3";
    ASSERT_EQ(parse_member_mask(range, given_member_mask, EU_MASK_WORDS), 0);
    const char* d = device.c_str();
    int holder = -1;
    mfile* mf = mopen(d);
    ASSERT_NE(mf, nullptr);
    ASSERT_EQ(create_function_lock_file(mf, LOCK_KIND_EU_OBJECTS, &holder), 0);
    mclose(mf);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);

    const std::string busy =
        "Timed out waiting for another process changing EU groups/partitions of device: " + device + "\n";
    std::string json = "{\"eu_groups\": []}";
    const struct {
        const char* what;
        std::function<int()> run;
        std::string tail;
    } changes[] = {
        {"create", [d] { return eu_group_create(d, "g"); }, "EU group creation failed.\n"},
        {"destroy by name", [d] { return eu_group_destroy(d, 0, "g", 1); }, ""},
        {"destroy by id", [d] { return eu_group_destroy(d, 1, NULL, 1); }, ""},
        {"apply",
         [d, &json] {
             FILE* file = fmemopen(&json[0], json.size(), "r");
             const int rc = eu_group_apply(d, file);
             fclose(file);
             return rc;
         },
         ""},
        {"partition create", [d] { return partition_create(d, 1); }, "EU partition creation failed.\n"},
        {"partition destroy", [d] { return partition_destroy(d, 1); }, ""},
    };
    const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
    for (const auto& change : changes) {
        vexil_test::SkippedSleeps sleeps;
        StdoutCapture out;
        EXPECT_EQ(change.run(), -1) << change.what;
        EXPECT_EQ(out.finish(), busy + change.tail) << change.what;
        EXPECT_GE(sleeps.asked_us(), 60000000u) << change.what;
    }
    AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
    EXPECT_TRANSACTIONS(used.eug, 0, 0);
    EXPECT_TRANSACTIONS(used.partition, 0, 0);
    {
        StdoutCapture out;
        EXPECT_EQ(eu_group_query(d, QUERY_ALL_IDS, NULL), 0);
        EXPECT_EQ(out.finish(), "In total there are 0 EU groups configured.\n");
    }

    vexil_test::SkippedSleeps sleeps([&holder](unsigned long long asked) {
        if (asked >= 30000000 && holder >= 0) {
            close(holder);
            holder = -1;
        }
    });
    StdoutCapture out;
    EXPECT_EQ(eu_group_create(d, "g"), 0);
    EXPECT_EQ(out.finish().rfind("Group created successfully-\n", 0), 0u);
    EXPECT_EQ(holder, -1) << "created while the lock was held";
}

TEST(ChangingProcesses, ChangingCommandsWaitForAnotherChangeAndGiveUpBeforeWriting)
{
    RUN_WITH_ACCELERATOR(small_adapter(), changing_commands_wait_for_the_lock);
}

} // namespace
} // namespace e2e
