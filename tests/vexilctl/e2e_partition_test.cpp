/*
 * e2e_partition_test.cpp - partition info, create, destroy and query run as
 * processes against the simulated adapter through the user-level PCI path.
 */
#include "e2e_support.h"

namespace e2e {
namespace {

const std::string failed = "EU partition creation failed.\n";
const std::string vhca_overlap =
    "There is an overlap of VHCA IDs between the VHCA IDs given and another existing EU partition. A VHCA's ID can "
    "belong at most to a single partition\n";
const std::string vhca_sum =
    "Error: Sum of requested VHCAs for the Partition exceeds the Max number of possible VHCAs that can be "
    "associated with a single EU Partition\n";

std::vector<std::string> create(const std::string& vhcas, const std::string& range, const std::string& groups)
{
    return {"partition", "create", "-d", device, "-v", vhcas, "-r", range, "-m", groups};
}

std::vector<std::string> sub(const std::string& what, const std::vector<std::string>& options)
{
    std::vector<std::string> args = {"partition", what, "-d", device};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

AcceleratorSetup partition_adapter()
{
    AcceleratorSetup setup = small_adapter();
    setup.limits.max_num_partition_vhca_id = 3;
    return setup;
}

/* "first,...,last" */
std::string id_list(unsigned first, unsigned last)
{
    std::string text;
    for (unsigned id = first; id <= last; id++)
        text += (id == first ? "" : ",") + std::to_string(id);
    return text;
}

TEST(PartitionProcess, InfoPrintsThePartitionLimits)
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 64;
    setup.limits.max_num_hxu_eu_per_group = 16;
    setup.limits.max_num_hxu_eu = 190;
    setup.limits.max_num_hxu_eu_partition = 8;
    setup.limits.max_num_partition_vhca_id = 256;
    RUN_WITH_ACCELERATOR(setup, [](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(sub("info", {}),
                    "Max number of HXU EU partitions: 8\n"
                    "Max number of VHCAs associated with a single partition: 256\n"
                    "Max number of HXU EU groups: 64\n"
                    "Note- an allocation of a partition consumes from the number of HXU EU *groups* available "
                    "to create\n"
                    "Max number of HXU EUs available to use: 190\n",
                    0);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.cap, 1, 0);
        EXPECT_TRANSACTIONS(used.partition, 0, 0);
    });
}

TEST(PartitionProcess, CreateQueryAndDestroy)
{
    const AcceleratorSetup setup = partition_adapter();
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const std::string first = partition_text(1, 2, "1,2,3", 3, "10,11");
        AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("3,1-2", "11,10", "2"), "Partition created successfully-\n" + first, 0);
        AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.cap, 1, 0);
        EXPECT_TRANSACTIONS(used.partition, 2, 1);
        EXPECT_TRANSACTIONS(used.eug, 8, 0);

        /* No per-group EU count for a partition: 21 EUs where a group may hold 16. */
        expect_tool(create("4", "20-40", "0"),
                    "Partition created successfully-\n" + partition_text(2, 0, "4", 1, id_list(20, 40)), 0);

        before = vexil_sim::accelerator_counts(server);
        expect_tool(sub("query", {}),
                    "1) " + first + "\n2) " + partition_text(2, 0, "4", 1, id_list(20, 40)) +
                        "\nIn total there are 2 EU partitions configured.\n",
                    0);
        used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.partition, 2, 0);
        EXPECT_TRANSACTIONS(used.eug, 0, 0);

        expect_tool(sub("query", {"-p", "1"}), first, 0);
        expect_tool(sub("destroy", {"-p", "2"}), "Partition with partition id: 2, was destroyed successfully\n", 0);
        expect_tool(sub("query", {"--id_partition", "2"}), "Error when querying partition id: 2.\n", 0);
        expect_tool(sub("query", {"-p", "3"}),
                    "Error: partition ID given - 3 doesn't fit EU partitions ID range: 1 <= ID <= 2\n" +
                        partition_report(limits),
                    255);
        expect_tool(sub("destroy", {"-p", "2"}),
                    "Error when trying to destroy EU partition id: 2.\n"
                    "Make sure no EU groups are configured on the partition. Terminating..\n",
                    255);
        expect_tool(sub("destroy", {"-p", "0"}),
                    "Error: partition ID given - 0 doesn't fit EU partitions ID range: 1 <= ID <= 2\n" +
                        partition_report(limits),
                    255);
    });
}

TEST(PartitionProcess, VhcaCountsUpToTheLimit)
{
    const AcceleratorSetup setup = partition_adapter();
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("1-4", "0", "0"), vhca_sum + partition_report(limits) + failed, 255);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.partition, 0, 0) << "refused before the device opens";
        expect_tool(create("1-3", "0", "0"), "Partition created successfully-\n" + partition_text(1, 0, "1,2,3", 3, "0"),
                    0);
    });
}

/* 256 ids travel with num_vhca_id 0 and every entry filled; a partition without ids (made by
 * another tool) reads back as 0 ids, so VHCA 0 stays free. */
TEST(PartitionProcess, TwoHundredFiftySixVhcaIdsAreKeptWhole)
{
    AcceleratorSetup setup = partition_adapter();
    setup.limits.max_num_partition_vhca_id = 256;
    setup.limits.max_num_hxu_eu_partition = 3;
    setup.prepare = [](vexil_sim::Accelerator& acc) { ASSERT_EQ(acc.add_partition({}, {7}, 0), 1); };
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const std::string whole = partition_text(2, 0, id_list(0, 255), 256, "0");
        expect_tool(create("0-255", "0", "0"), "Partition created successfully-\n" + whole, 0);
        expect_tool(sub("query", {"-p", "2"}), whole, 0);
        expect_tool(sub("query", {"-p", "1"}), partition_text(1, 0, "", 0, "7"), 0);

        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("255", "1", "0"), vhca_overlap + failed, 255);
        EXPECT_EQ((vexil_sim::accelerator_counts(server) - before).partition.set, 0u) << "refused by the tool";
        expect_tool(create("256", "1", "0"), "Partition created successfully-\n" + partition_text(3, 0, "256", 1, "1"),
                    0);
    });
}

TEST(PartitionProcess, AVhcaLimitBeyondTheRegisterIsRefused)
{
    AcceleratorSetup setup = partition_adapter();
    setup.limits.max_num_partition_vhca_id = 300;
    RUN_WITH_ACCELERATOR(setup, [](FuseFunctionServer&) {
        expect_tool(create("1", "0", "0"),
                    "Fatal error - the maximal possible number of VHCAs associated with a Partition, exceeds "
                    "register's memory capacity\n" + failed,
                    255);
    });
}

TEST(PartitionProcess, EveryPartitionIdInUseStopsBeforeTheGroupsAreRead)
{
    AcceleratorSetup setup = partition_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_partition({1}, {1}, 0), 1);
        ASSERT_EQ(acc.add_partition({2}, {2}, 0), 2);
    };
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("3", "3", "0"),
                    "Error: There are 2 EU partitions, can't exceed Max number of HXU EU partitions\n" +
                        partition_report(limits) + failed,
                    255);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.partition, 2, 0);
        EXPECT_TRANSACTIONS(used.eug, 0, 0);
    });
}

TEST(PartitionProcess, ReservedGroupsCountAgainstTheObjectLimit)
{
    AcceleratorSetup setup = partition_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_partition({1}, {30}, 2), 1);
        ASSERT_EQ(acc.add_group("a", {0}), 1);
        ASSERT_EQ(acc.add_group("b", {1}), 2);
        ASSERT_EQ(acc.add_group("c", {2}), 3);
    };
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer&) {
        expect_tool(create("2", "40", "2"),
                    "Error: There are total 6 EU Partition and Groups, request for 2 groups + new partition, "
                    "exceeds Max number of HXU EU groups\n" + partition_report(limits) + failed,
                    255);
        /* 1 + 5 + 65535 wraps to 0 in 16 bits; the sum must not. */
        expect_tool(create("2", "40", "65535"),
                    "Error: There are total 6 EU Partition and Groups, request for 65535 groups + new "
                    "partition, exceeds Max number of HXU EU groups\n" + partition_report(limits) + failed,
                    255);
        expect_tool(create("2", "40", "1"),
                    "Partition created successfully-\n" + partition_text(2, 1, "2", 1, "40"), 0);
    });
}

TEST(PartitionProcess, OverlapsAndAdapterRefusals)
{
    AcceleratorSetup setup = partition_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_partition({5, 1024, 65535}, {50, 51}, 1), 1);
        ASSERT_NE(acc.add_group("inside", {50}, 1), 0);
        ASSERT_EQ(acc.add_group("outside", {1}), 2);
        acc.refuse_creates_after(0);
    };
    RUN_WITH_ACCELERATOR(setup, [](FuseFunctionServer& server) {
        const std::string eu_overlap =
            "There is an overlap of EUs between the mask given and another existing EU object (group/partition)\n";
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("6", "1", "0"), eu_overlap + failed, 255);
        expect_tool(create("6", "51", "0"), eu_overlap + failed, 255);
        /* Ids past the first 1024 overlap as well, up to the last one. */
        for (const char* vhcas : {"4-5", "1024", "65535"}) {
            SCOPED_TRACE(vhcas);
            expect_tool(create(vhcas, "60", "0"), vhca_overlap + failed, 255);
        }
        EXPECT_EQ((vexil_sim::accelerator_counts(server) - before).partition.set, 0u);
        expect_tool(create("6", "60", "0"), "Failed to access EU partition register.\n" + hint(8) + failed, 255);
        expect_tool(sub("destroy", {"-p", "1"}),
                    "Error when trying to destroy EU partition id: 1.\n"
                    "Make sure no EU groups are configured on the partition. Terminating..\n",
                    255);
        expect_tool(sub("query", {"-p", "1"}), partition_text(1, 1, "5,1024,65535", 3, "50,51"), 0);
    });
}

} // namespace
} // namespace e2e
