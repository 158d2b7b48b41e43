/*
 * e2e_oldest_adapter_test.cpp - the tool against the oldest adapter (hardware
 * id 0x1F5), whose registers travel through the tools command interface:
 * the group commands work, the partition register is larger than its mailbox
 * carries and is refused before anything is sent.
 */
#include "e2e_support.h"

namespace e2e {
namespace {

TEST(OldestAdapterProcess, GroupsWorkAndThePartitionRegisterIsRefused)
{
    AcceleratorSetup setup;
    setup.function.hw_id = 0x1F5;
    setup.limits.max_num_hxu_eug = 4;
    setup.limits.max_num_hxu_eu_partition = 2;
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        expect_tool({"eu_group", "info", "-d", device}, eu_group_report(limits), 0);
        expect_tool({"eu_group", "create", "-d", device, "-n", "old", "-r", "2-4"},
                    "Group created successfully-\n" + group_text(1, "old", "2,3,4"), 0);
        expect_tool({"eu_group", "query", "-d", device},
                    "1) " + group_text(1, "old", "2,3,4") + "\nIn total there are 1 EU groups configured.\n", 0);
        expect_tool({"partition", "query", "-d", device, "-p", "1"}, "Error when querying partition id: 1.\n", 0);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server);
        EXPECT_TRANSACTIONS(used.eug, 2 * limits.max_num_hxu_eug, 1);
        EXPECT_EQ(used.partition.get + used.partition.set, 0u) << "refused unsent";
        EXPECT_EQ(server.stats().icmd_commands, 0u);
        EXPECT_GT(server.stats().hcr_commands, 0u);
    });
}

} // namespace
} // namespace e2e
