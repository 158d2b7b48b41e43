// The partition command: sub-command lookup, help, and every option, count
// and value refusal of create, destroy, query and info. Commands that pass
// the parser end at the device, which cannot be opened under these names.
#include "cli_support.h"

namespace {

using cli::CliTest;
using cli::expect_cli;
using cli::inaccessible;
using cli::refusal;
using cli::wrong_flag_count;
using Args = std::vector<std::string>;

Args sub(const std::string& name, const Args& options)
{
    Args args = {"partition", name};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

Args create(const std::string& vhca, const std::string& range, const std::string& groups)
{
    return sub("create", {"-d", "nodev0", "-v", vhca, "-r", range, "-m", groups});
}

std::string partition_id_invalid(const std::string& v)
{
    return "Partition id \"" + v + "\" is invalid, must be an integer\n";
}

TEST_F(CliTest, PartitionAloneShowsItsUsage)
{
    expect_cli({"partition"}, cli::partition_usage(cli::canonical_tool()), 255);
}

TEST_F(CliTest, PartitionUnknownSubcommand)
{
    const std::string usage = cli::partition_usage(cli::canonical_tool());
    /* apply belongs to eu_group only. */
    for (const std::string word : {"apply", "bogus", "Info", ""})
        expect_cli({"partition", word}, "Invalid partition command name: " + word + ".\n" + usage,
                   255);
}

TEST_F(CliTest, PartitionHelp)
{
    expect_cli({"partition", "help"}, cli::expected_help("partition_help.txt"), 0);
    expect_cli({"partition", "help", "extra"}, cli::expected_help("partition_help.txt"), 0);
}

/* ---- create --------------------------------------------------------------- */

TEST_F(CliTest, PartitionCreateReachesTheDevice)
{
    expect_cli(create("1-3,5", "0-15", "2"), inaccessible("nodev0"), 255);
    expect_cli(create("0", "0", "0"), inaccessible("nodev0"), 255);
    expect_cli(create("65535", "1023", "65535"), inaccessible("nodev0"), 255);
    expect_cli(create("0-65535", "0-1023", "1"), inaccessible("nodev0"), 255);
    expect_cli(sub("create", {"--max_num_eu_group", "3", "--range_eus", "4", "--vhca_list", "7",
                              "--hxu_device", "nodev1"}),
               inaccessible("nodev1"), 255);
}

TEST_F(CliTest, PartitionCreateValues)
{
    expect_cli(create("65536", "0", "1"), cli::bad_range("65536"), 255);
    expect_cli(create("1,65530-65536", "0", "1"), cli::bad_range("65530-65536"), 255);
    expect_cli(create("4294967296", "0", "1"), cli::bad_range("4294967296"), 255);
    expect_cli(create("1,a", "0", "1"), cli::bad_range_chars, 255);
    expect_cli(create("1", "1024", "1"), cli::bad_range("1024"), 255);
    expect_cli(create("1", "2-", "1"), cli::bad_range("2-"), 255);
    for (const std::string v : {"65536", "1e3", "99999999999999999999"})
        expect_cli(create("1", "0", v),
                   "Maximum number of EU groups in partition \"" + v +
                       "\" is invalid, must be an integer\n",
                   255);
    for (const std::string v : {"-1", "-99999999999999999999"})
        expect_cli(create("1", "0", v),
                   "Maximum number of EU group in partition must be a POSITIVE integer, number "
                   "given: " + v + "\n",
                   255);
}

TEST_F(CliTest, PartitionCreateOptionsAndCounts)
{
    expect_cli(sub("create", {"-d", "a", "-v", "1", "-r", "1"}), wrong_flag_count(4, 4), 255);
    expect_cli(sub("create", {"-d", "a", "-v", "1", "-r", "1", "-m", "1", "stray"}),
               "Wrong command given. Expected MAX 11 arguments, but got 12\n", 255);
    expect_cli(sub("create", {"-d", "a", "--name_group", "g"}), refusal("name_group"), 255);
    expect_cli(sub("create", {"-d", "a", "--id_group", "1"}), refusal("id_group"), 255);
    expect_cli(sub("create", {"-d", "a", "--id_partition", "1"}), refusal("id_partition"), 255);
    expect_cli(sub("create", {"-v", "1", "-v", "2"}), refusal("vhca_list"), 255);
    expect_cli(sub("create", {"-m", "1", "--max_num_eu_group=2"}), refusal("max_num_eu_group"),
               255);
}

/* ---- destroy -------------------------------------------------------------- */

TEST_F(CliTest, PartitionDestroy)
{
    expect_cli(sub("destroy", {"-d", "nodev0", "-p", "2"}), inaccessible("nodev0"), 255);
    expect_cli(sub("destroy", {"-d", "nodev0", "-p", "65535"}), inaccessible("nodev0"), 255);
    for (const std::string v : {"65536", "70000", "2x", "99999999999999999999"})
        expect_cli(sub("destroy", {"-d", "D", "-p", v}), partition_id_invalid(v), 255);
    for (const std::string v : {"-3", "-99999999999999999999"})
        expect_cli(sub("destroy", {"-d", "D", "-p", v}),
                   "Partition ID must be a POSITIVE integer, Partition ID given: " + v + "\n", 255);
    /* Only -d and -p are allowed, so two options always include the device. */
    expect_cli(sub("destroy", {"-p", "1"}), wrong_flag_count(2, 2), 255);
    expect_cli(sub("destroy", {"-d", "D", "--id_group", "1"}), refusal("id_group"), 255);
}

/* ---- query ---------------------------------------------------------------- */

TEST_F(CliTest, PartitionQuery)
{
    expect_cli(sub("query", {"-d", "nodev0"}), inaccessible("nodev0"), 255);
    expect_cli(sub("query", {"-d", "nodev0", "-p", "65535"}), inaccessible("nodev0"), 255);
    expect_cli(sub("query", {"-p", "1"}), cli::no_device, 255);
    expect_cli(sub("query", {"-d", "a", "-p", "65536"}), partition_id_invalid("65536"), 255);
    expect_cli(sub("query", {}), wrong_flag_count(1, 2), 255);
    expect_cli(sub("query", {"-d", "a", "-p", "1", "-p", "2"}), refusal("id_partition"), 255);
}

/* ---- info ----------------------------------------------------------------- */

TEST_F(CliTest, PartitionInfo)
{
    expect_cli(sub("info", {"-d", "nodev0"}), inaccessible("nodev0"), 255);
    expect_cli(sub("info", {}), wrong_flag_count(1, 1), 255);
    expect_cli(sub("info", {"-d", "a", "--vhca_list", "1"}), refusal("vhca_list"), 255);
}

} // namespace
