/*
 * e2e_groups_file_test.cpp - eu_group apply run as a process against the
 * simulated adapter: a good file replaces every group, and every file that
 * fails a check leaves the adapter exactly as it was (not one SET).
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_support.h"

namespace e2e {
namespace {

const std::string processing = "Problem processing the EU group configuration file given.\n";
const std::string bad_json = "Bad Json file format, please stick to example.json example's format\n";
const std::string bad_file = "Bad file format, please stick to example.json format\n";
const std::string applying = "Applying the below groups:\n";
const std::string destroying = "\nDestroying all old EU groups, before applying new ones...\n";

std::vector<std::string> apply(const std::string& file)
{
    return {"eu_group", "apply", "-d", device, "-f", file};
}

std::string destroyed(unsigned id)
{
    return "Group with group id: " + std::to_string(id) + ", was destroyed successfully\n";
}

std::string listed(unsigned position, unsigned id, const std::string& name, const std::string& eus)
{
    return std::to_string(position) + ") " + group_text(id, name, eus) + "\n";
}

std::string total(unsigned groups)
{
    return "In total there are " + std::to_string(groups) + " EU groups configured.\n";
}

/* One group of a file, as the walk prints it. */
std::string walked(unsigned position, const std::string& name, const std::string& range)
{
    return std::to_string(position) + ")\t- Name: " + name + "\n\t- Range: " + range + "\n";
}

std::string group_json(const std::string& name, const std::string& range)
{
    return "{\"name\": \"" + name + "\", \"range\": \"" + range + "\"}";
}

std::string groups_json(const std::vector<std::string>& groups)
{
    std::string text = "{\"eu_groups\": [";
    for (size_t i = 0; i < groups.size(); i++)
        text += (i ? ", " : "") + groups[i];
    return text + "]}";
}

std::string write_file(const std::string& name, const std::string& text)
{
    const std::string path = "/tmp/" + name;
    vexil_test::add_file(path, text);
    return path;
}

AcceleratorSetup two_old_groups()
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 8;
    setup.limits.max_num_hxu_eu_partition = 2;
    setup.prepare = [](vexil_sim::Accelerator& acc) {
        ASSERT_EQ(acc.add_group("old1", {0, 1, 2, 3}), 1);
        ASSERT_EQ(acc.add_group("old2", {10}), 2);
        ASSERT_EQ(acc.add_partition({5}, {50, 51}, 1), 1);
    };
    return setup;
}

const std::string old_groups_listed =
    "1) " + group_text(1, "old1", "0,1,2,3") + "\n2) " + group_text(2, "old2", "10") + "\n" +
    "In total there are 2 EU groups configured.\n";

TEST(GroupsFileProcess, TheShippedExampleReplacesEveryGroup)
{
    RUN_WITH_ACCELERATOR(two_old_groups(), [](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        /* g1 takes the EUs of old1, which is destroyed first. Two CREATEs in a row also show
         * that the second does not carry the id the first reply left (the adapter refuses it). */
        expect_tool(apply(EXAMPLE_JSON),
                    applying + walked(1, "g1", "0-3") + walked(2, "g2", "4-7,9") + destroying + destroyed(1) +
                        destroyed(2) + listed(1, 1, "g1", "0,1,2,3") + listed(2, 2, "g2", "4,5,6,7,9") + total(2),
                    0);
        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_TRANSACTIONS(used.cap, 1, 0);
        EXPECT_TRANSACTIONS(used.partition, 2, 0);     /* one scan of the partition ids */
        EXPECT_TRANSACTIONS(used.eug, 8, 8 + 2);       /* a DESTROY per id, a CREATE per group, the listing */
    });
}

TEST(GroupsFileProcess, AnEmptyArrayDestroysEveryGroup)
{
    RUN_WITH_ACCELERATOR(two_old_groups(), [](FuseFunctionServer&) {
        expect_tool(apply(write_file("empty.json", "{\"eu_groups\": []}")),
                    destroying + destroyed(1) + destroyed(2) + total(0), 0);
        expect_tool({"eu_group", "query", "-d", device}, total(0), 0);
    });
}

TEST(GroupsFileProcess, TheLongestRangeThatFitsTheWorkBuffer)
{
    RUN_WITH_ACCELERATOR(two_old_groups(), [](FuseFunctionServer&) {
        std::string longest = "1";
        while (longest.size() < 651)
            longest += ",1";
        ASSERT_EQ(longest.size(), 651u);
        const std::string text = "{\"eu_groups\": [" + group_json("long", longest) + "]}";
        expect_tool(apply(write_file("longest.json", text)),
                    applying + walked(1, "long", longest) + destroying + destroyed(1) + destroyed(2) +
                        listed(1, 1, "long", "1") + total(1),
                    0);
    });
}

TEST(GroupsFileProcess, AFailedCreateStopsTheApply)
{
    AcceleratorSetup setup = two_old_groups();
    const auto seed = setup.prepare;
    setup.prepare = [seed](vexil_sim::Accelerator& acc) {
        seed(acc);
        acc.refuse_creates_after(1);
    };
    RUN_WITH_ACCELERATOR(setup, [](FuseFunctionServer&) {
        expect_tool(apply(EXAMPLE_JSON),
                    applying + walked(1, "g1", "0-3") + walked(2, "g2", "4-7,9") + destroying + destroyed(1) +
                        destroyed(2) + "Failed to access EU group register.\n" + hint(8) +
                        "Fatal error, failed to create EU group with id: 2\n",
                    255);
        expect_tool({"eu_group", "query", "-d", device}, listed(1, 1, "g1", "0,1,2,3") + total(1), 0);
    });
}

/* Lets `opens` more opens of the device succeed and refuses the rest; returns how many times one
 * device open opens the served file (measured with a command that opens the device once). */
unsigned allow_opens(FuseFunctionServer& server, unsigned opens)
{
    vexil_sim::FaultKnobs knobs = server.knobs();
    knobs.opens_left = 1000;
    server.set_knobs(knobs);
    expect_tool({"eu_group", "info", "-d", device}, eu_group_report(two_old_groups().limits), 0);
    const unsigned per_open = static_cast<unsigned>(1000 - server.knobs().opens_left);
    knobs.opens_left = static_cast<int32_t>(opens * per_open);
    server.set_knobs(knobs);
    return per_open;
}

/* An apply whose device open is refused part-way: this output and status 255; the device layer
 * names the file it could not open on standard error. */
void expect_refused_open(const std::string& out)
{
    const test_process::result r = tool(apply(EXAMPLE_JSON));
    EXPECT_EQ(r.out, out);
    EXPECT_NE(r.err.find("/sys/bus/pci/devices/" + device + "/config"), std::string::npos) << r.err;
    EXPECT_EQ(r.exit_status, 255);
}

TEST(GroupsFileProcess, AReopenRefusedInTheDestroyLoopStopsTheApply)
{
    RUN_WITH_ACCELERATOR(two_old_groups(), [](FuseFunctionServer& server) {
        /* The limits, the file check, the DESTROYs of ids 1 and 2; the open for id 3 fails. */
        EXPECT_GE(allow_opens(server, 4), 1u);
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        expect_refused_open(applying + walked(1, "g1", "0-3") + walked(2, "g2", "4-7,9") + destroying +
                            destroyed(1) + destroyed(2) + "Inaccessible/no privileges/invalid device: " + device +
                            "\nFatal error when removing old EU groups. Terminating\n");
        EXPECT_TRANSACTIONS((vexil_sim::accelerator_counts(server) - before).eug, 0, 2) << "nothing created";
        server.set_knobs(vexil_sim::FaultKnobs{});
        expect_tool({"eu_group", "query", "-d", device}, total(0), 0);
    });
}

/* A DESTROY that leaves its id unknown (not carried, answered "Device is busy", or meeting a mailbox
 * still busy from before) may leave a group in place: the apply stops before it creates anything. */
TEST(GroupsFileProcess, ADestroyThatLeavesTheIdUnknownStopsTheApply)
{
    for (const lost_access how : every_lost_access) {
        SCOPED_TRACE(describe(how));
        RUN_WITH_ACCELERATOR(two_old_groups(), [&](FuseFunctionServer& server) {
            /* The limits, the two partition ids, the DESTROY of id 1, then that of id 2. */
            server.set_knobs(losing(how, server, 5, vexil_sim::kRegNicHxuEug, vexil_sim::kMethodSet, 2));
            expect_tool(apply(EXAMPLE_JSON),
                        applying + walked(1, "g1", "0-3") + walked(2, "g2", "4-7,9") + destroying + destroyed(1) +
                            "Fatal error when removing old EU groups. Terminating\n",
                        255);
            server.set_knobs(vexil_sim::FaultKnobs{});
            expect_tool({"eu_group", "query", "-d", device}, listed(1, 2, "old2", "10") + total(1), 0);
        });
    }
}

TEST(GroupsFileProcess, AFailedFinalListingFailsTheApply)
{
    RUN_WITH_ACCELERATOR(two_old_groups(), [](FuseFunctionServer& server) {
        /* The limits, the file check and the 8 DESTROYs; the listing's open fails. */
        allow_opens(server, 10);
        expect_refused_open(applying + walked(1, "g1", "0-3") + walked(2, "g2", "4-7,9") + destroying +
                            destroyed(1) + destroyed(2) + "Inaccessible/no privileges/invalid device: " + device +
                            "\nFatal error when querying new EU groups. Terminating\n");
        server.set_knobs(vexil_sim::FaultKnobs{});
        expect_tool({"eu_group", "query", "-d", device},
                    listed(1, 1, "g1", "0,1,2,3") + listed(2, 2, "g2", "4,5,6,7,9") + total(2), 0);
    });
}

struct refused_file {
    const char* what;
    std::string text;
    std::string out;
};

std::vector<refused_file> refused_files()
{
    const std::string sixteen = "sixteen_chars_xx";
    const std::string too_long = std::string(652, '1');
    std::string many = "{\"eu_groups\": [";
    for (int i = 0; i < 130; i++)
        many += (i ? ", " : "") + group_json("x", "1");
    many += "]}";
    return {
        {"a top-level array", "[" + group_json("a", "11") + "]", bad_json + processing},
        {"another first key", "{\"groups\": []}", bad_json + processing},
        {"fewer than three tokens", "{}", bad_json + processing},
        {"no array", "{\"eu_groups\": 5}", bad_json + processing},
        {"not JSON", "{\"eu_groups\": [", processing},
        {"more than 512 tokens", many, processing},
        {"range before name", groups_json({"{\"range\": \"11\", \"name\": \"a\"}"}),
         applying + "1)" + bad_file + "Unexpected key: range\n" + processing},
        {"a third key", groups_json({"{\"name\": \"a\", \"range\": \"11\", \"more\": 1}"}),
         applying + walked(1, "a", "11") + bad_file + "Unexpected key: more\n" + processing},
        {"the same name twice", groups_json({group_json("a", "11"), group_json("a", "12")}),
         applying + walked(1, "a", "11") + "2)\t- Name: a\n" +
             "Group name: \"a\", is already taken by group of index N.1 in the file\n" + processing},
        {"a name of 16 characters", groups_json({group_json(sixteen, "11")}),
         applying + "1)\t- Name: " + sixteen + "\nGroup name- " + sixteen +
             ", has more chars the maximum 15 chars allowed \n" + processing},
        {"EUs of a partition", groups_json({group_json("a", "51")}),
         applying + walked(1, "a", "51") +
             "There is an overlap of EUs between the mask given and another existing EU object "
             "(group/partition)\n" + processing},
        {"EUs of an earlier group of the file", groups_json({group_json("a", "11-12"), group_json("b", "12")}),
         applying + walked(1, "a", "11-12") + walked(2, "b", "12") +
             "There is an overlap of EUs between the mask given and another existing EU object "
             "(group/partition)\n" + processing},
        {"an EU past the last", groups_json({group_json("a", "190")}),
         applying + walked(1, "a", "190") +
             "Error: A EU in the range exceeds the Max HXU EU number available\n"
             "Max number of HXU EUs available to use: 190\n" + processing},
        {"a character outside range lists", groups_json({group_json("a", "1;2")}),
         applying + walked(1, "a", "1;2") +
             "The -r/--range_eus and -v/--vhca_list arguments only accept digits 0-9, \"-\" and \",\"\n" +
             processing},
        {"a range longer than the work buffer", groups_json({group_json("a", too_long)}),
         applying + walked(1, "a", too_long) + "The range '" + too_long +
             "' is not valid and does not fit the range eus format.\n" + processing},
        {"a key after the array",
         "{\"eu_groups\": [" + group_json("a", "11") + "], \"more\": [" + group_json("x", "20") + "]}",
         applying + walked(1, "a", "11") + bad_file + "Unexpected key: more\n" + processing},
        {"a second object after the file's own", "{\"eu_groups\": []} " + group_json("y", "21"),
         bad_file + "Unexpected key: " + group_json("y", "21") + "\n" + processing},
        {"a file that ends on a key", "{\"eu_groups\": [{\"name\"}]}", applying + "1)" + bad_file + processing},
        {"an array that ends on a key", groups_json({"{\"name\": \"a\", \"range\"}"}),
         applying + "1)\t- Name: a\n" + bad_file + processing},
        {"a group without a range", groups_json({group_json("a", "11"), "{\"name\": \"b\"}"}),
         applying + walked(1, "a", "11") + "2)\t- Name: b\n" + bad_file + processing},
        {"an empty group", groups_json({group_json("a", "11"), "{}"}),
         applying + walked(1, "a", "11") + "2)" + bad_file + processing},
    };
}

TEST(GroupsFileProcess, AFileThatFailsACheckLeavesEveryGroupUntouched)
{
    RUN_WITH_ACCELERATOR(two_old_groups(), [](FuseFunctionServer& server) {
        const AcceleratorCounts before = vexil_sim::accelerator_counts(server);
        int n = 0;
        for (const refused_file& file : refused_files()) {
            SCOPED_TRACE(file.what);
            expect_tool(apply(write_file("refused" + std::to_string(n++) + ".json", file.text)), file.out, 255);
        }
        /* Files whose size cannot be taken. */
        ASSERT_EQ(mkfifo("/tmp/pipe.json", 0600), 0);
        const int writer = open("/tmp/pipe.json", O_RDWR | O_NONBLOCK);
        ASSERT_GE(writer, 0);
        const std::string example = groups_json({group_json("p", "11")});
        ASSERT_EQ(write(writer, example.data(), example.size()), static_cast<ssize_t>(example.size()));
        expect_tool(apply("/tmp/pipe.json"), processing, 255);
        close(writer);
        vexil_test::make_dirs("/tmp/dir.json");
        expect_tool(apply("/tmp/dir.json"), processing, 255);

        const AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
        EXPECT_EQ(used.eug.set, 0u) << "nothing destroyed, nothing created";
        expect_tool({"eu_group", "query", "-d", device}, old_groups_listed, 0);
    });
}

TEST(GroupsFileProcess, TheFileMustLeaveRoomForThePartitionsReservations)
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 4;
    setup.limits.max_num_hxu_eu_partition = 1;
    setup.prepare = [](vexil_sim::Accelerator& acc) { ASSERT_EQ(acc.add_partition({1}, {60}, 1), 1); };
    RUN_WITH_ACCELERATOR(setup, [](FuseFunctionServer& server) {
        const std::string text = groups_json({group_json("a", "1"), group_json("b", "2"), group_json("c", "3")});
        expect_tool(apply(write_file("three.json", text)),
                    applying + walked(1, "a", "1") + walked(2, "b", "2") +
                        "The number of groups in the config file, plus 2 existing/reserved ones, exceeds the 4 "
                        "groups allowed\n" + processing,
                    255);
        EXPECT_EQ(vexil_sim::accelerator_counts(server).eug.set, 0u);
        const std::string two = groups_json({group_json("a", "1"), group_json("b", "2")});
        expect_tool(apply(write_file("two.json", two)),
                    applying + walked(1, "a", "1") + walked(2, "b", "2") + destroying + listed(1, 1, "a", "1") +
                        listed(2, 2, "b", "2") + total(2),
                    0);
    });
}

} // namespace
} // namespace e2e
