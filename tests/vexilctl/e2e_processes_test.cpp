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
#include <unistd.h>

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

const std::string other_function = "0000:03:00.1"; /* of the same adapter */

/* Runs `args` with `signal` sent right before access `at` of the run
 * (counted from the run's start); whether a semaphore was held then. */
bool signalled_run(FuseFunctionServer& server, const std::vector<std::string>& args, int signal, uint64_t at,
                   test_process::result* r)
{
    const vexil_sim::AdapterStats before = server.stats();
    vexil_sim::FaultKnobs knobs;
    knobs.signal = signal;
    knobs.signal_at_access = before.config_accesses + at;
    server.set_knobs(knobs);
    *r = tool(args);
    server.set_knobs(vexil_sim::FaultKnobs{});
    const vexil_sim::AdapterStats after = server.stats();
    EXPECT_EQ(after.signals_sent, before.signals_sent + 1);
    return after.signals_sent_holding > before.signals_sent_holding;
}

/* Interrupts `eu_group query` with ending signals in turn at moments
 * spread over its run where a semaphore is held (found by a first pass with
 * SIGCONT, which does nothing), and checks that the run ends by the signal,
 * no semaphore stays taken and the next command works. */
void interrupt_runs(FuseFunctionServer& server, const AcceleratorLimits& limits)
{
    const std::vector<std::string> query = {"eu_group", "query", "-d", device};
    const uint64_t started = server.stats().config_accesses;
    ASSERT_EQ(tool(query).exit_status, 0);
    const uint64_t per_run = server.stats().config_accesses - started;

    /* Any signal whose default ends the run, not only the keyboard's and kill's. */
    const int signals[] = {SIGINT, SIGPIPE, SIGTERM, SIGUSR1, SIGHUP, SIGALRM, SIGQUIT, SIGRTMIN};
    constexpr int kMoments = 16;
    int interrupted = 0;
    for (int moment = 1; moment <= kMoments; ++moment) {
        const uint64_t at = per_run * moment / (kMoments + 1);
        test_process::result r;
        if (!signalled_run(server, query, SIGCONT, at, &r)) continue;
        const int signal = signals[interrupted++ % 8];
        SCOPED_TRACE("signal " + std::to_string(signal) + " at access " + std::to_string(at) + " of " +
                     std::to_string(per_run));
        EXPECT_TRUE(signalled_run(server, query, signal, at, &r));
        EXPECT_EQ(r.signal, signal) << r.out << r.err;
        EXPECT_EQ(server.stats().held_semaphores, 0u);
        expect_tool({"eu_group", "info", "-d", device}, eu_group_report(limits), 0);
        if (::testing::Test::HasFailure()) break; /* a semaphore left taken fails every later run */
    }
    EXPECT_GE(interrupted, kMoments / 2) << "too few moments with a semaphore held";
}

TEST(InterruptedProcess, NoWindowOrMailboxSemaphoreOutlivesTheRun)
{
    AcceleratorSetup setup = small_adapter();
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) { interrupt_runs(server, setup.limits); });
}

TEST(InterruptedProcess, NoToolsSemaphoreOutlivesTheRun)
{
    AcceleratorSetup setup = small_adapter();
    setup.function.hw_id = 0x1F5;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) { interrupt_runs(server, setup.limits); });
}

/* A command that never ends on the device (its go bit stays set): Ctrl-C or
 * a kill right after it starts ends the run at once, by the signal, with no
 * semaphore left, far from the wait's bound; a SIGHUP ignored under nohup
 * cuts nothing. Once the device finishes, the next run works. */
void interrupt_stuck_command(FuseFunctionServer& server, const AcceleratorLimits& limits, bool with_nohup)
{
    const std::vector<std::string> info = {"eu_group", "info", "-d", device};
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const bool ignored = signal == SIGHUP;
        if (ignored && !with_nohup) break;
        vexil_sim::FaultKnobs knobs;
        knobs.busy_stuck = true;
        knobs.signal = signal;
        knobs.signal_at_command = true;
        server.set_knobs(knobs);
        const vexil_sim::AdapterStats before = server.stats();
        test_process::options how;
        how.unset_env = {"ZRV_DEBUG"};
        how.env = {{"ZRV_ICMD_TIMEOUT", "40"}}; /* the HCR waits 2000 reads */
        std::vector<std::string> args = info;
        if (ignored) args.insert(args.begin(), VEXILCTL_PATH);
        const test_process::result r = test_process::run(ignored ? "/usr/bin/nohup" : VEXILCTL_PATH, args, how);
        const vexil_sim::AdapterStats after = server.stats();
        EXPECT_EQ(r.signal, ignored ? 0 : signal) << r.out << r.err;
        EXPECT_EQ(after.signals_sent_holding, before.signals_sent_holding + 1);
        if (ignored) EXPECT_GE(after.busy_reads - before.busy_reads, 40u);
        else EXPECT_LT(after.busy_reads - before.busy_reads, 10u);
        EXPECT_EQ(after.held_semaphores, 0u);
        server.set_knobs(vexil_sim::FaultKnobs{});
        expect_tool(info, eu_group_report(limits), 0);
    }
}

TEST(InterruptedProcess, CtrlCEndsTheWaitForAStuckMailboxCommand)
{
    AcceleratorSetup setup;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) { interrupt_stuck_command(server, setup.limits, true); });
}

TEST(InterruptedProcess, CtrlCEndsTheWaitForAStuckToolsCommand)
{
    AcceleratorSetup setup;
    setup.function.hw_id = 0x1F5;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) { interrupt_stuck_command(server, setup.limits, false); });
}

/* One failed access to the function at any moment of a run: the run may
 * fail, but no semaphore stays taken and the runs after it work. Each shard
 * fails every kShards-th access of the run, from its own: a few dozen runs
 * each, far inside the scenario's time limit on a loaded machine. */
constexpr int kShards = 16;

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

/* With groups a and b, one failed access as a command opens the handle of
 * its scan and starts reading group ids (the accesses right after those of
 * the limits' handle, as `eu_group info` counts them): the run gives what it
 * gives without the failure, or fails with 255; it never takes an id it
 * could not read for a free one (a listing short of a group, "No group with
 * name"). A destroy that went through is undone for the next run. */
TEST_P(FailedAccess, NoScanTakesAFailedReadForAFreeId)
{
    AcceleratorSetup setup = small_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_group("a", {0}), 1);
        ASSERT_EQ(acc.add_group("b", {1}), 2);
    };
    const std::vector<std::string> query = {"eu_group", "query", "-d", device};
    const std::string both = "1) " + group_text(1, "a", "0") + "\n2) " + group_text(2, "b", "1") +
                             "\nIn total there are 2 EU groups configured.\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
    } commands[] = {{query, both},
                    {{"eu_group", "destroy", "-d", device, "-n", "a"},
                     "Group with name: \"a\" (group_id: 1) - destructed\n"}};
    constexpr uint64_t kPerShard = 8;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const uint64_t before = server.stats().config_accesses;
        expect_tool({"eu_group", "info", "-d", device}, eu_group_report(setup.limits), 0);
        const uint64_t limits_handle = server.stats().config_accesses - before;
        for (const auto& command : commands) {
            for (uint64_t at = limits_handle + 1 + GetParam(); at <= limits_handle + kPerShard * kShards;
                 at += kShards) {
                vexil_sim::FaultKnobs knobs;
                knobs.fail_config_access_at = server.stats().config_accesses + at;
                server.set_knobs(knobs);
                const test_process::result r = tool(command.args);
                server.set_knobs(vexil_sim::FaultKnobs{});
                if (r.exit_status != 0)
                    EXPECT_EQ(r.exit_status, 255) << "access " << at << ": " << r.out;
                else
                    EXPECT_EQ(r.out, command.out) << "access " << at;
                if (tool(query).out != both)
                    expect_tool({"eu_group", "create", "-d", device, "-n", "a", "-r", "0"},
                                "Group created successfully-\n" + group_text(1, "a", "0"), 0);
            }
        }
        expect_tool(query, both, 0);
    });
}

INSTANTIATE_TEST_SUITE_P(Shards, FailedAccess, ::testing::Range(0, kShards));

/* Every run is pid 1 of its own PID namespace: the mailbox semaphore must still tell them apart. */
TEST(ProcessesSideBySide, EachRunInItsOwnPidNamespaceHoldsTheMailboxAlone)
{
    if (access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/unshare here";
    AcceleratorSetup setup = small_adapter();
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

/* Each create scans for the name and then writes: only one of four at once may find it free, though
 * they reach the adapter through two of its functions. Four rounds, four names: the runs do not
 * always overlap on their own. */
TEST(ChangingProcesses, FourCreatesOfOneNameAtOnceMakeOneGroup)
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 32;
    setup.other_functions = {other_function};
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
                    results[i] = tool({"eu_group", "create", "-d", i % 2 ? other_function : device, "-n", name,
                                       "-r", range});
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

/* The change lock as a process that opens the adapter by its other function takes it. */
lock_pair hold_change_lock()
{
    lock_pair holder = no_lock_pair();
    mfile* mf = mopen(other_function.c_str());
    EXPECT_NE(mf, nullptr);
    EXPECT_EQ(create_adapter_lock_file(mf, LOCK_KIND_EU_OBJECTS, &holder), 0);
    mclose(mf);
    EXPECT_EQ(flock_int(holder, LOCK_EX), 0);
    return holder;
}

/* The change lock is the adapter's, whichever function a command reaches. Held elsewhere for good,
 * every changing command waits for it for a minute of time passed, then ends with the busy line
 * before anything reaches the adapter (the six run side by side as processes whose monotonic clock
 * runs a hundred times as fast, so the minute passes in under a second); a query takes none. Then, in this process, whose sleeps are skipped and counted: a
 * holder that lets go only after more than a minute of sleeps was asked for is waited for, whether
 * it took the lock while /tmp's lock directory was another user's and the command after that
 * ended, or the other way round. */
void changing_commands_wait_for_the_lock(FuseFunctionServer& server)
{
    ASSERT_EQ(extract_nic_cap_ext_reg(device.c_str(), REPORT_NONE), 0);
    char range[] = "0-3";
    ASSERT_EQ(parse_member_mask(range, given_member_mask, EU_MASK_WORDS), 0);
    const char* d = device.c_str();
    const char* groups_file = "/tmp/groups.json";
    std::string json = "{\"eu_groups\": []}";
    vexil_test::add_file(groups_file, json);
    const std::string busy =
        "Timed out waiting for another process changing EU groups/partitions of device: " + device + "\n";
    const struct {
        std::vector<std::string> args;
        std::function<int()> run;
        std::string tail;
    } changes[] = {
        {{"eu_group", "create", "-d", d, "-n", "g", "-r", "0-3"},
         [d] { return eu_group_create(d, "g"); },
         "EU group creation failed.\n"},
        {{"eu_group", "destroy", "-d", d, "-n", "g"}, [d] { return eu_group_destroy(d, 0, "g", 1); }, ""},
        {{"eu_group", "destroy", "-d", d, "-g", "1"}, [d] { return eu_group_destroy(d, 1, NULL, 1); }, ""},
        {{"eu_group", "apply", "-d", d, "-f", groups_file},
         [d, &json] {
             FILE* file = fmemopen(&json[0], json.size(), "r");
             const int rc = eu_group_apply(d, file);
             fclose(file);
             return rc;
         },
         ""},
        {{"partition", "create", "-d", d, "-v", "1", "-r", "4-5", "-m", "1"},
         [d] { return partition_create(d, 1); },
         "EU partition creation failed.\n"},
        {{"partition", "destroy", "-d", d, "-p", "1"}, [d] { return partition_destroy(d, 1); }, ""},
    };

    lock_pair holder = hold_change_lock();
    AcceleratorCounts before = vexil_sim::accelerator_counts(server);
    std::vector<test_process::result> results(std::size(changes));
    std::vector<std::thread> runs;
    for (size_t i = 0; i < results.size(); ++i)
        runs.emplace_back([&results, &changes, i] {
            test_process::options how;
            how.unset_env = {"ZRV_DEBUG"};
            how.env = {{"LD_PRELOAD", FAST_CLOCK_PRELOAD}};
            /* A sanitized tool would refuse to start with the clock library loaded before its
             * runtime; that order is harmless here. */
            const char* asan = getenv("ASAN_OPTIONS");
            how.env.push_back({"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
            results[i] = test_process::run(VEXILCTL_PATH, changes[i].args, how);
        });
    for (std::thread& run : runs)
        run.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].out, busy + changes[i].tail) << joined(changes[i].args);
        EXPECT_EQ(results[i].exit_status, 255) << joined(changes[i].args) << results[i].err;
    }
    AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
    EXPECT_TRANSACTIONS(used.eug, 0, 0);
    EXPECT_TRANSACTIONS(used.partition, 0, 0);
    {
        StdoutCapture out;
        EXPECT_EQ(eu_group_query(d, QUERY_ALL_IDS, NULL), 0);
        EXPECT_EQ(out.finish(), "In total there are 0 EU groups configured.\n");
    }
    close_lock_pair(&holder);

    const std::string lock_dir = "/tmp/brasquet_lockfiles";
    for (size_t i = 0; i < std::size(changes); ++i) {
        const bool holder_had_tmp = i % 2;
        SCOPED_TRACE(joined(changes[i].args) + (holder_had_tmp ? ", the holder had both" : ", the holder had /run"));
        ASSERT_EQ(chown(lock_dir.c_str(), holder_had_tmp ? 0 : 65534, 0), 0);
        holder = hold_change_lock();
        ASSERT_EQ(holder.tmp_fd >= 0, holder_had_tmp);
        ASSERT_EQ(chown(lock_dir.c_str(), holder_had_tmp ? 65534 : 0, 0), 0);
        before = vexil_sim::accelerator_counts(server);
        vexil_test::SkippedSleeps sleeps([&](unsigned long long asked) {
            if (asked >= 61000000 && holder.run_fd >= 0) {
                used = vexil_sim::accelerator_counts(server) - before;
                close_lock_pair(&holder);
            }
        });
        StdoutCapture out;
        changes[i].run();
        EXPECT_EQ(out.finish().find(busy), std::string::npos);
        ASSERT_EQ(holder.run_fd, -1) << "went on while the lock was held";
        EXPECT_TRANSACTIONS(used.eug, 0, 0);
        EXPECT_TRANSACTIONS(used.partition, 0, 0);
    }
}

TEST(ChangingProcesses, ChangingCommandsWaitForAnotherChangeAndGiveUpBeforeWriting)
{
    AcceleratorSetup setup = small_adapter();
    setup.other_functions = {other_function};
    RUN_WITH_ACCELERATOR(setup, changing_commands_wait_for_the_lock);
}

} // namespace
} // namespace e2e
