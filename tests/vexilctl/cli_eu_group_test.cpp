// The eu_group command: sub-command lookup, help, and every option, count
// and value refusal of create, destroy, query, apply and info. Commands that
// pass the parser end at the device, which cannot be opened under these names.
#include "cli_support.h"

#include <stdio.h>

#include <filesystem>

namespace {

using cli::CliTest;
using cli::expect_cli;
using cli::inaccessible;
using cli::refusal;
using cli::wrong_flag_count;
using Args = std::vector<std::string>;

std::string group_id_invalid(const std::string& v)
{
    return "Group id \"" + v + "\" is invalid, must be an integer\n";
}

std::string group_id_not_positive(const std::string& v)
{
    return "Group ID must be a POSITIVE integer, group ID given: " + v + "\n";
}

Args create(const Args& options)
{
    Args args = {"eu_group", "create"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

Args sub(const std::string& name, const Args& options)
{
    Args args = {"eu_group", name};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

/* ---- the command word --------------------------------------------------- */

TEST_F(CliTest, EuGroupAloneShowsItsUsage)
{
    expect_cli({"eu_group"}, cli::eu_group_usage(cli::canonical_tool()), 255);
}

TEST_F(CliTest, EuGroupUnknownSubcommand)
{
    const std::string usage = cli::eu_group_usage(cli::canonical_tool());
    for (const std::string word : {"bogus", "Create", "", "-d", "partition"})
        expect_cli({"eu_group", word, "-d", "x"},
                   "Invalid eu_group command name: " + word + ".\n" + usage, 255);
}

TEST_F(CliTest, EuGroupHelpTakesNoOptions)
{
    expect_cli({"eu_group", "help"}, cli::expected_help("eu_group_help.txt"), 0);
    expect_cli({"eu_group", "help", "-d", "x", "--bogus"}, cli::expected_help("eu_group_help.txt"),
               0);
}

/* ---- create --------------------------------------------------------------- */

TEST_F(CliTest, EuGroupCreateReachesTheDevice)
{
    expect_cli(create({"-d", "nodev0", "-n", "g1", "-r", "0-3"}), inaccessible("nodev0"), 255);
    expect_cli(create({"--range_eus", "1023", "--name_group", "HG hello world1", "--hxu_device",
                       "nodev1"}),
               inaccessible("nodev1"), 255);
    /* "--opt=value" is one argument, so fewer arguments are expected. */
    expect_cli(create({"--hxu_device=nodev2", "-n", "g", "-r", "1,,2"}), inaccessible("nodev2"),
               255);
    expect_cli(create({"-dnodev3", "-ng", "-r", " 1 - 3, 5"}), inaccessible("nodev3"), 255);
}

TEST_F(CliTest, EuGroupCreateNeedsExactlyThreeOptions)
{
    expect_cli(create({}), wrong_flag_count(3, 3), 255);
    expect_cli(create({"-d", "nodev0", "-n", "g1"}), wrong_flag_count(3, 3), 255);
}

TEST_F(CliTest, EuGroupCreateRefusesForeignAndRepeatedOptions)
{
    const Args base = {"-d", "nodev0", "-n", "g1", "-r", "1"};
    const std::vector<std::pair<Args, std::string>> cases = {
        {{"--id_group", "3"}, "id_group"},
        {{"--file_groups", "/nonexistent/groups.json"}, "file_groups"},
        {{"--id_partition", "1"}, "id_partition"},
        {{"--vhca_list", "1"}, "vhca_list"},
        {{"--max_num_eu_group", "1"}, "max_num_eu_group"},
        {{"-d", "other"}, "hxu_device"},
        {{"--name_group", "g2"}, "name_group"},
        {{"-r", "2"}, "range_eus"},
    };
    for (const auto& c : cases) {
        Args options = base;
        options.insert(options.end(), c.first.begin(), c.first.end());
        expect_cli(create(options), refusal(c.second), 255);
    }
    /* The refusal comes first: the foreign option is refused before its value is looked at. */
    expect_cli(create({"--id_group", "5x"}), refusal("id_group"), 255);
}

TEST_F(CliTest, EuGroupCreateStrayArgument)
{
    expect_cli(create({"-d", "D", "-n", "N", "-r", "1", "stray"}),
               "Wrong command given. Expected MAX 9 arguments, but got 10\n", 255);
    expect_cli(create({"--hxu_device=D", "-n", "N", "-r", "1", "x", "y"}),
               "Wrong command given. Expected MAX 9 arguments, but got 10\n", 255);
}

TEST_F(CliTest, EuGroupCreateEmptyName)
{
    expect_cli(create({"-d", "D", "-n", "", "-r", "1"}), "Group name cannot be an empty string\n",
               255);
    /* The first fault ends the parse. */
    expect_cli(create({"-n", "", "--id_group", "1"}), "Group name cannot be an empty string\n", 255);
}

TEST_F(CliTest, EuGroupCreateRangeList)
{
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"1024", cli::bad_range("1024")},
        {"1000-1024", cli::bad_range("1000-1024")},
        {"4294967296", cli::bad_range("4294967296")},
        {"4294967297-1", cli::bad_range("4294967297-1")},
        {"99999999999999999999999", cli::bad_range("99999999999999999999999")},
        {"", cli::bad_range("")},
        {",,,", cli::bad_range(",,,")},
        {"5-", cli::bad_range("5-")},
        {"1,-5", cli::bad_range("-5")},
        {"1-2-3", cli::bad_range("1-2-3")},
        {"1 2-3", cli::bad_range("1 2-3")},
        {"0,1- ,2", cli::bad_range("1- ")},
        {"1\t2", cli::bad_range_chars},
        {"0x10", cli::bad_range_chars},
        {"+1", cli::bad_range_chars},
    };
    for (const auto& c : bad)
        expect_cli(create({"-d", "D", "-n", "N", "-r", c.first}), c.second, 255);
    for (const std::string good : {"0", "1023", "9-3", "1--3", ",1,", "0-1023"})
        expect_cli(create({"-d", "D", "-n", "N", "-r", good}), inaccessible("D"), 255);
}

TEST_F(CliTest, EuGroupCreateArgumentLength)
{
    const std::string longest(1023, 'a');
    const std::string too_long(1024, 'a');
    expect_cli(create({"-d", longest, "-n", "N", "-r", "1"}), inaccessible(longest), 255);
    expect_cli(create({"-d", too_long, "-n", "N", "-r", "1"}),
               "One of the arguments exceeds 1023 chars allowed\n", 255);
    /* Length comes before the option's own checks. */
    expect_cli(create({"--id_group", std::string(1024, '1')}),
               "One of the arguments exceeds 1023 chars allowed\n", 255);
    expect_cli(create({"-d", "D", "-n", "N", "--range_eus=" + std::string(1024, '1')}),
               "One of the arguments exceeds 1023 chars allowed\n", 255);
}

TEST_F(CliTest, EuGroupCreateUnknownOrIncompleteOptionLeftToGetopt)
{
    const std::vector<std::pair<Args, std::string>> cases = {
        {create({"-x", "1"}), "invalid option"},
        {create({"-g", "3"}), "invalid option"}, /* short -g is not in create's option string */
        {create({"--bogus", "1"}), "unrecognized option"},
        {create({"--id", "1"}), "ambiguous"},
        {create({"-d", "D", "-n", "N", "-r"}), "requires an argument"},
    };
    for (const auto& c : cases) {
        test_process::result r = cli::run(c.first);
        EXPECT_EQ(r.out, "") << cli::joined(c.first);
        EXPECT_NE(r.err.find(c.second), std::string::npos) << cli::joined(c.first) << ": " << r.err;
        EXPECT_EQ(r.exit_status, 255) << cli::joined(c.first);
    }
}

/* ---- destroy -------------------------------------------------------------- */

TEST_F(CliTest, EuGroupDestroyByIdOrName)
{
    expect_cli(sub("destroy", {"-d", "nodev0", "-g", "3"}), inaccessible("nodev0"), 255);
    expect_cli(sub("destroy", {"--name_group", "g1", "--hxu_device", "nodev0"}),
               inaccessible("nodev0"), 255);
    expect_cli(sub("destroy", {"-n", "g1", "-g", "3"}), cli::no_device, 255);
    expect_cli(sub("destroy", {"-d", "nodev0"}), wrong_flag_count(2, 2), 255);
    expect_cli(sub("destroy", {"-d", "nodev0", "-n", "g", "-g", "1"}), wrong_flag_count(2, 2), 255);
    expect_cli(sub("destroy", {"-d", "nodev0", "--range_eus", "1"}), refusal("range_eus"), 255);
}

TEST_F(CliTest, EuGroupDestroyIdValues)
{
    for (const std::string v : {"65536", "65537", "5x", "0x10", "1.0", "3 ", "99999999999999999999",
                                "-5x"})
        expect_cli(sub("destroy", {"-d", "D", "-g", v}), group_id_invalid(v), 255);
    /* A '-' anywhere in a number makes it not positive, however far past 64 bits it runs. */
    for (const std::string v : {"-5", "-0", " -1", "-99999999999999999999"})
        expect_cli(sub("destroy", {"-d", "D", "-g", v}), group_id_not_positive(v), 255);
    /* Values that fit 16 bits are range-checked later against the adapter's limits. */
    for (const std::string v : {"0", "1", "65535", "", " 7", "+7", "007"})
        expect_cli(sub("destroy", {"-d", "D", "-g", v}), inaccessible("D"), 255);
    /* The id is checked while parsing, before the missing device is noticed. */
    expect_cli(sub("destroy", {"-g", "70000", "-n", "x"}), group_id_invalid("70000"), 255);
}

/* ---- query ---------------------------------------------------------------- */

TEST_F(CliTest, EuGroupQueryForms)
{
    expect_cli(sub("query", {"-d", "nodev0"}), inaccessible("nodev0"), 255);
    expect_cli(sub("query", {"-d", "nodev0", "-n", "g1"}), inaccessible("nodev0"), 255);
    expect_cli(sub("query", {"-d", "nodev0", "-g", "65535"}), inaccessible("nodev0"), 255);
    expect_cli(sub("query", {"-n", "x"}), cli::no_device, 255);
    expect_cli(sub("query", {"--id_group", "1"}), cli::no_device, 255);
    expect_cli(sub("query", {}), wrong_flag_count(1, 2), 255);
    expect_cli(sub("query", {"-d", "a", "-n", "b", "-g", "1"}), wrong_flag_count(1, 2), 255);
    expect_cli(sub("query", {"-d", "a", "--file_groups", "x"}), refusal("file_groups"), 255);
    expect_cli(sub("query", {"-d", "a", "-g", "65536"}), group_id_invalid("65536"), 255);
    expect_cli(sub("query", {"-d", "a", "extra"}),
               "Wrong command given. Expected MAX 5 arguments, but got 6\n", 255);
}

/* ---- apply ---------------------------------------------------------------- */

TEST_F(CliTest, EuGroupApplyOpensTheFileWhileParsing)
{
    char pattern[] = "/tmp/vexilctl-apply-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string file = dir + "/groups.json";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("{\"eu_groups\": []}\n", f);
    fclose(f);

    expect_cli(sub("apply", {"-d", "nodev0", "-f", file}), inaccessible("nodev0"), 255);
    expect_cli(sub("apply", {"-d", "nodev0", "-f", dir + "/missing.json"}),
               "Can't open groups configuration file \"" + dir + "/missing.json\"\n", 255);
    /* A bare file name is opened in the working directory. */
    test_process::options how;
    how.cwd = dir;
    test_process::result r = cli::run(sub("apply", {"--file_groups", "groups.json", "-d", "n"}), how);
    EXPECT_EQ(r.out, inaccessible("n"));
    EXPECT_EQ(r.exit_status, 255);

    expect_cli(sub("apply", {"-d", "nodev0"}), wrong_flag_count(2, 2), 255);
    expect_cli(sub("apply", {"-f", file}), wrong_flag_count(2, 2), 255);
    expect_cli(sub("apply", {"-d", "nodev0", "--range_eus", "1"}), refusal("range_eus"), 255);
    expect_cli(sub("apply", {"-d", "nodev0", "-f", file, "--file_groups", file}),
               refusal("file_groups"), 255);
    std::filesystem::remove_all(dir);
}

/* ---- info ----------------------------------------------------------------- */

TEST_F(CliTest, EuGroupInfo)
{
    expect_cli(sub("info", {"-d", "nodev0"}), inaccessible("nodev0"), 255);
    expect_cli(sub("info", {"-d", ""}), inaccessible(""), 255);
    expect_cli(sub("info", {}), wrong_flag_count(1, 1), 255);
    expect_cli(sub("info", {"-d", "a", "--name_group", "x"}), refusal("name_group"), 255);
    expect_cli(sub("info", {"-d", "a", "extra"}),
               "Wrong command given. Expected MAX 5 arguments, but got 6\n", 255);
}

} // namespace
