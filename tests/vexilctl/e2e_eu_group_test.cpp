/*
 * e2e_eu_group_test.cpp - eu_group info, create, destroy and query run as
 * processes against the simulated adapter through the user-level PCI path:
 * exact output, exit status, what the adapter holds afterwards and how many
 * register transactions each command cost.
 */
#include "e2e_support.h"

#include "reg_access_hca_layouts.h"

namespace e2e {
namespace {

std::vector<std::string> create(const std::string& name, const std::string& range)
{
    return {"eu_group", "create", "-d", device, "-n", name, "-r", range};
}

std::vector<std::string> sub(const std::string& what, const std::vector<std::string>& options)
{
    std::vector<std::string> args = {"eu_group", what, "-d", device};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

const std::string failed = "EU group creation failed.\n";

TEST(EuGroupProcess, InfoPrintsTheGroupLimitsFromOneRead)
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
                    "Max number of HXU EU groups: 64\nMax number of HXU EUs in one HXU EU group: 16\n"
                    "Max HXU EU number available to use: 190\nMax EU group name length is 15 chars\n",
                    0);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.cap, 1, 0);
        EXPECT_TRANSACTIONS(used.eug, 0, 0);
        EXPECT_TRANSACTIONS(used.partition, 0, 0);
    });
}

TEST(EuGroupProcess, AnUnreadableCapabilityRegisterEndsEveryCommand)
{
    RUN_WITH_ACCELERATOR(small_adapter(), [](FuseFunctionServer& server) {
        vexil_sim::FaultKnobs knobs = server.knobs();
        knobs.register_status = 4; /* register not supported */
        server.set_knobs(knobs);
        const std::string refused = "Failed to access NIC capability extension register.\n";
        for (const std::vector<std::string>& args :
             {sub("info", {}), sub("query", {}), create("g", "1"), sub("destroy", {"-g", "1"}),
              std::vector<std::string>{"partition", "info", "-d", device},
              std::vector<std::string>{"partition", "query", "-d", device, "-p", "1"}})
            expect_tool(args, refused, 255);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server);
        EXPECT_EQ(used.eug.get + used.eug.set, 0u) << "no operation runs without the limits";
        EXPECT_EQ(used.partition.get + used.partition.set, 0u);
    });
}

TEST(EuGroupProcess, CreateThenQueryEveryForm)
{
    AcceleratorSetup setup = small_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) { ASSERT_EQ(acc.add_partition({1}, {100, 101}, 1), 1); };
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("g1", "0-3"), "Group created successfully-\n" + group_text(1, "g1", "0,1,2,3"), 0);
        AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.cap, 1, 0);
        EXPECT_TRANSACTIONS(used.eug, limits.max_num_hxu_eug, 1); // one scan, one write
        EXPECT_TRANSACTIONS(used.partition, limits.max_num_hxu_eu_partition, 0);

        expect_tool(create("fifteen_chars_x", "40,2,0-1"),
                    "There is an overlap of EUs between the mask given and another existing EU object "
                    "(group/partition)\n" + failed,
                    255);
        expect_tool(create("fifteen_chars_x", "40, 4 - 6,189"),
                    "Group created successfully-\n" + group_text(2, "fifteen_chars_x", "4,5,6,40,189"), 0);

        before = vexil_sim::accelerator_counts(server);
        expect_tool(sub("query", {}),
                    "1) " + group_text(1, "g1", "0,1,2,3") + "\n2) " +
                        group_text(2, "fifteen_chars_x", "4,5,6,40,189") +
                        "\nIn total there are 2 EU groups configured.\n",
                    0);
        used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.cap, 1, 0);
        EXPECT_TRANSACTIONS(used.eug, limits.max_num_hxu_eug, 0);
        EXPECT_TRANSACTIONS(used.partition, 0, 0);

        expect_tool(sub("query", {"-g", "2"}), group_text(2, "fifteen_chars_x", "4,5,6,40,189"), 0);
        expect_tool(sub("query", {"--name_group", "g1"}), group_text(1, "g1", "0,1,2,3"), 0);
        expect_tool(sub("query", {"-g", "3"}), "Error when querying group id: 3.\n", 0);
        expect_tool(sub("query", {"-n", "g"}), "No group with name: \"g\" exists.\n", 0);
        expect_tool(sub("query", {"-g", "9"}),
                    "Error: group ID given - 9 doesn't fit EU groups ID range: 1 <= ID <= 8\n" +
                        eu_group_report(limits),
                    255);
    });
}

TEST(EuGroupProcess, NameLengthIsCheckedBeforeTheDeviceOpens)
{
    RUN_WITH_ACCELERATOR(small_adapter(), [](FuseFunctionServer& server) {
        AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("fifteen_chars_x", "1"),
                    "Group created successfully-\n" + group_text(1, "fifteen_chars_x", "1"), 0);
        before = vexil_sim::accelerator_counts(server);
        expect_tool(create("sixteen_chars_xx", "2"),
                    "EU group name could be at max 15 chars, got 16 chars\n" + failed, 255);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.cap, 1, 0);
        EXPECT_TRANSACTIONS(used.eug, 0, 0);
        EXPECT_TRANSACTIONS(used.partition, 0, 0);
    });
}

TEST(EuGroupProcess, CreateRefusalsWriteNothing)
{
    AcceleratorSetup setup = small_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_group("taken", {0, 1}), 1);
        ASSERT_EQ(acc.add_partition({1}, {50, 51}, 0), 1);
    };
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const std::string overlap =
            "There is an overlap of EUs between the mask given and another existing EU object (group/partition)\n";
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("taken", "9"), "Group name: \"taken\", is already taken by group_id: 1\n" + failed, 255);
        expect_tool(create("new", "1"), overlap + failed, 255);
        expect_tool(create("new", "51"), overlap + failed, 255);
        expect_tool(create("new", "190"),
                    "Error: A EU in the range exceeds the Max HXU EU number available\n"
                    "Max number of HXU EUs available to use: 190\n" + failed,
                    255);
        expect_tool(create("new", "2-18"),
                    "Error: Sum of requested EUs exceeds the Max number of EUs per EU GROUP\n" +
                        eu_group_report(limits) + failed,
                    255);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_EQ(used.eug.set, 0u);
        // The name clash ends the scan at id 1; the two overlaps scan every id; the EU checks
        // refuse before the device is opened.
        EXPECT_EQ(used.eug.get, 1u + 2u * limits.max_num_hxu_eug);
        expect_tool(create("new", "2-17"),
                    "Group created successfully-\n" +
                        group_text(2, "new", "2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17"),
                    0);
    });
}

TEST(EuGroupProcess, CreateCountsGroupsPartitionsAndReservedSlots)
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 4;
    setup.limits.max_num_hxu_eu_partition = 2;
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_group("a", {0}), 1);
        ASSERT_EQ(acc.add_group("b", {1}), 2);
        ASSERT_EQ(acc.add_partition({7}, {20}, 1), 1); /* itself and one reserved group */
    };
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("c", "2"),
                    "Error: There are total 4 EU Partition and Groups, can't exceed Max number of HXU EU "
                    "groups\n" + partition_report(limits) + failed,
                    255);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.eug, 4, 0);
        EXPECT_TRANSACTIONS(used.partition, 2, 0);
    });
}

TEST(EuGroupProcess, CreateStopsWhenEveryGroupIdIsTaken)
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 2;
    setup.limits.max_num_hxu_eu_partition = 0;
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_group("a", {0}), 1);
        ASSERT_EQ(acc.add_group("b", {1}), 2);
    };
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("c", "2"),
                    "Error: There are 2 EU groups, exceeded Max number of HXU EU groups\n" +
                        eu_group_report(limits) + failed,
                    255);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.partition, 0, 0) << "no partition ids to read";
        expect_tool(sub("query", {"-g", "1"}), group_text(1, "a", "0"), 0);
    });
}

TEST(EuGroupProcess, AnAdapterThatRefusesTheWriteFailsTheCreate)
{
    AcceleratorSetup setup = small_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) { acc.refuse_creates_after(0); };
    RUN_WITH_ACCELERATOR(setup, [](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(create("g", "1"), "Failed to access EU group register.\n" + hint(8) + failed, 255);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.eug, 8, 1);
    });
}

TEST(EuGroupProcess, DestroyByIdAndByName)
{
    AcceleratorSetup setup = small_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_group("a", {0}), 1);
        ASSERT_EQ(acc.add_group("b", {1, 2}), 2);
        ASSERT_EQ(acc.add_group("c", {3}), 3);
    };
    const AcceleratorLimits limits = setup.limits;
    RUN_WITH_ACCELERATOR(setup, [&](FuseFunctionServer& server) {
        AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_tool(sub("destroy", {"-n", "zz"}), "No group with name: \"zz\" exists.\n", 0);
        expect_tool(sub("destroy", {"-g", "4"}), "Error when trying to destroy EU group id: 4.\n", 255);
        expect_tool(sub("destroy", {"-g", "0"}),
                    "Error: group ID given - 0 doesn't fit EU groups ID range: 1 <= ID <= 8\n" +
                        eu_group_report(limits),
                    255);
        AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.eug, 8, 1) << "a full scan for the name, the refused SET of id 4";

        before = vexil_sim::accelerator_counts(server);
        expect_tool(sub("destroy", {"-g", "1"}), "Group with group id: 1, was destroyed successfully\n", 0);
        used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.eug, 0, 1);

        before = vexil_sim::accelerator_counts(server);
        expect_tool(sub("destroy", {"--name_group", "b"}), "Group with name: \"b\" (group_id: 2) - destructed\n", 0);
        used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.eug, 2, 1) << "the scan stops at the group found";
        /* The DESTROY is group b as read (name and EUs too), with only the operation changed. */
        reg_access_hca_nic_hxu_eug_reg_ext as_read;
        memset(&as_read, 0, sizeof as_read);
        as_read.eug_id = 2;
        as_read.operation = 2;
        as_read.eug_name[0] = 'b';
        as_read.member_mask[0] = 0x6;
        std::vector<uint8_t> image(reg_access_hca_nic_hxu_eug_reg_ext_size());
        reg_access_hca_nic_hxu_eug_reg_ext_pack(&as_read, image.data());
        EXPECT_EQ(server.register_image(vexil_sim::kRegNicHxuEug), image);

        expect_tool(sub("destroy", {"-g", "2"}), "Error when trying to destroy EU group id: 2.\n", 255);

        vexil_sim::FaultKnobs knobs = server.knobs();
        knobs.set_status = 7; /* the adapter refuses every SET */
        server.set_knobs(knobs);
        before = vexil_sim::accelerator_counts(server);
        expect_tool(sub("destroy", {"-n", "c"}), "Failed to destroy group name: \"c\" (group id: 3).\n", 255);
        used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.eug, 3, 1);
        server.set_knobs(vexil_sim::FaultKnobs{});
        expect_tool(sub("query", {}), "1) " + group_text(3, "c", "3") + "\nIn total there are 1 EU groups configured.\n",
                    0);
    });
}

/* A scan stops at a GET that leaves its id unknown: one the mailbox did not carry (answered busy by
 * the ICMD firmware, or found still busy with another tool's command) or one the adapter answered
 * "Device is busy". Such an id says nothing about a group there, so every scanning command fails
 * and writes nothing, where counting the id as free would duplicate a name, under-count, or
 * destroy another group; a query of that id alone fails as well. */
TEST(EuGroupProcess, AGetThatLeavesTheIdUnknownFailsTheScanAndChangesNothing)
{
    AcceleratorSetup setup = small_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_group("dup", {0, 1}), 1);
        ASSERT_EQ(acc.add_group("dup", {2, 3}), 2);
        ASSERT_EQ(acc.add_partition({100}, {8, 9}, 1), 1);
    };
    const auto body = [&](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        vexil_test::add_file("/tmp/groups.json", R"({"eu_groups": [{"name": "a", "range": "20"}]})");
        const std::string group_1 = "Error when querying group id: 1.\n";
        const std::string partition_1 = "Error when querying partition id: 1.\n";
        struct scan_run {
            std::vector<std::string> args;
            std::string out;
            uint16_t first_scanned; /* the register whose id 1 the command reads first */
        };
        const uint16_t groups = vexil_sim::kRegNicHxuEug, partitions = vexil_sim::kRegNicHxuEuPartition;
        const std::vector<scan_run> runs = {
            {create("dup", "4-5"), group_1 + failed, groups},
            {sub("query", {}), group_1, groups},
            {sub("query", {"-n", "dup"}), group_1, groups},
            {sub("query", {"-g", "1"}), group_1, groups},
            {sub("destroy", {"-n", "dup"}), group_1, groups},
            {create("new", "6"), group_1 + failed, groups},
            {{"partition", "query", "-d", device}, partition_1, partitions},
            {{"partition", "query", "-d", device, "-p", "1"}, partition_1, partitions},
            {{"partition", "create", "-d", device, "-v", "7", "-r", "30", "-m", "1"},
             partition_1 + "EU partition creation failed.\n", partitions},
            {{"eu_group", "apply", "-d", device, "-f", "/tmp/groups.json"},
             partition_1 + "Problem processing the EU group configuration file given.\n", partitions},
        };
        for (const lost_access how : every_lost_access) {
            SCOPED_TRACE(describe(how));
            for (const scan_run& run : runs) {
                /* The limits' GET first, then the first id of the scan. */
                server.set_knobs(losing(how, server, 2, run.first_scanned, vexil_sim::kMethodGet, 1));
                expect_tool(run.args, run.out, 255);
            }
        }
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_EQ(used.eug.set + used.partition.set, 0u) << "nothing written";
        server.set_knobs(vexil_sim::FaultKnobs());
        expect_tool(sub("query", {}),
                    "1) " + group_text(1, "dup", "0,1") + "\n2) " + group_text(2, "dup", "2,3") +
                        "\nIn total there are 2 EU groups configured.\n",
                    0);
    };
    RUN_WITH_ACCELERATOR(setup, body);
}

/* A reply that carries another id than the one asked answers another request: a query of one id
 * reports it unread rather than print that other record. */
TEST(EuGroupProcess, AQueryByIdAnsweredWithAnotherIdFails)
{
    AcceleratorSetup setup = small_adapter();
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_group("g1", {0}), 1);
        ASSERT_EQ(acc.add_group("g2", {1}), 2);
        ASSERT_EQ(acc.add_partition({1}, {8}, 0), 1);
        ASSERT_EQ(acc.add_partition({2}, {9}, 0), 2);
        acc.answer_gets_with(1);
    };
    RUN_WITH_ACCELERATOR(setup, [](FuseFunctionServer&) {
        expect_tool(sub("query", {"-g", "2"}), "Error when querying group id: 2.\n", 255);
        expect_tool({"partition", "query", "-d", device, "-p", "2"}, "Error when querying partition id: 2.\n", 255);
    });
}

} // namespace
} // namespace e2e
