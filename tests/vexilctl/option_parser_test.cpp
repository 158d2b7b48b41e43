// The option parser in process: what it stores for each option, the mask
// bits it clears, the counter, and that it reads options in place whatever
// POSIXLY_CORRECT says.
#include "capture_stdout.h"
#include "utility_functions.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace {

/* Owns a writable argument vector, as main receives it. */
class Argv {
public:
    explicit Argv(std::vector<std::string> args) : strings_(std::move(args))
    {
        for (std::string& s : strings_)
            pointers_.push_back(&s[0]);
        pointers_.push_back(NULL);
    }
    int argc() const { return static_cast<int>(strings_.size()); }
    char** argv() { return pointers_.data(); }
    const char* at(size_t i) const { return pointers_[i]; }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

class OptionParser : public ::testing::Test {
protected:
    void SetUp() override
    {
        params = tool_params();
        memset(given_member_mask, 0, sizeof given_member_mask);
        memset(given_vhca_bit_mask, 0, sizeof given_vhca_bit_mask);
    }
    void TearDown() override
    {
        if (params.file_groups != NULL)
            fclose(params.file_groups);
    }

    int parse(Argv& args, uint32_t mask, const char* option_string, int minimum, int maximum)
    {
        params.flags = mask;
        count = 0;
        StdoutCapture capture;
        int result = parse_tool_flags(args.argc(), args.argv(), option_string, &count, minimum,
                                      maximum);
        printed = capture.finish();
        return result;
    }

    static std::set<unsigned> ids(const uint32_t* mask, unsigned words)
    {
        std::set<unsigned> set;
        for (unsigned id = 0; id < 32 * words; id++) {
            if (mask[id / 32] >> (id % 32) & 1u)
                set.insert(id);
        }
        return set;
    }

    int count = 0;
    std::string printed;
};

TEST_F(OptionParser, StoresDeviceNameAndEus)
{
    Argv args({"vexilctl", "eu_group", "create", "-d", "dev0", "--name_group", "g1", "-r", "0-2,40"});
    ASSERT_EQ(parse(args, OPT_HXU_DEVICE | OPT_RANGE_EUS | OPT_NAME_GROUP, "d:n:r:", 3, 3), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(params.flags, 0u);
    /* Device and name point into the argument vector. */
    EXPECT_EQ(params.hxu_device, args.at(4));
    EXPECT_EQ(params.name_group, args.at(6));
    EXPECT_EQ(ids(given_member_mask, EU_MASK_WORDS), (std::set<unsigned>{0, 1, 2, 40}));
}

TEST_F(OptionParser, StoresPartitionRequest)
{
    Argv args({"vexilctl", "partition", "create", "-d", "dev0", "-v", "1-3,65535", "-r", "7",
               "-m", "300"});
    ASSERT_EQ(parse(args, OPT_HXU_DEVICE | OPT_RANGE_EUS | OPT_VHCA_LIST | OPT_MAX_NUM_EU_GROUP,
                    "d:v:r:m:", 4, 4),
              0);
    EXPECT_EQ(params.max_num_eu_group, 300);
    EXPECT_EQ(ids(given_vhca_bit_mask, VHCA_MASK_WORDS), (std::set<unsigned>{1, 2, 3, 65535}));
    EXPECT_EQ(ids(given_member_mask, EU_MASK_WORDS), std::set<unsigned>{7});
}

TEST_F(OptionParser, IdsKeepAllSixteenBits)
{
    const std::vector<std::pair<std::string, uint16_t>> cases = {
        {"65535", 65535}, {"1", 1}, {"", 0}, {"+12", 12}, {"0010", 10}};
    for (const auto& c : cases) {
        Argv group({"vexilctl", "eu_group", "destroy", "-d", "x", "-g", c.first});
        ASSERT_EQ(parse(group, OPT_HXU_DEVICE | OPT_ID_GROUP | OPT_NAME_GROUP, "d:n:g:", 2, 2), 0)
            << c.first;
        EXPECT_EQ(params.id_group, c.second) << c.first;
        Argv partition({"vexilctl", "partition", "destroy", "-d", "x", "-p", c.first});
        ASSERT_EQ(parse(partition, OPT_HXU_DEVICE | OPT_ID_PARTITION, "d:p:", 2, 2), 0);
        EXPECT_EQ(params.id_partition, c.second) << c.first;
    }
}

TEST_F(OptionParser, OversizedIdNeverNamesAnotherId)
{
    /* 65537 cut to 16 bits would be group 1. */
    for (const std::string value : {"65537", "65536", "131073", "4294967297"}) {
        params.id_group = 9;
        Argv args({"vexilctl", "eu_group", "destroy", "-d", "x", "-g", value});
        EXPECT_EQ(parse(args, OPT_HXU_DEVICE | OPT_ID_GROUP | OPT_NAME_GROUP, "d:n:g:", 2, 2), -1);
        EXPECT_EQ(printed, "Group id \"" + value + "\" is invalid, must be an integer\n");
        EXPECT_EQ(count, 1);
    }
}

TEST_F(OptionParser, OpensTheGroupsFile)
{
    char path[] = "/tmp/vexilctl-groups-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "{}", 2), 2);
    close(fd);
    Argv args({"vexilctl", "eu_group", "apply", "-f", path, "-d", "x"});
    ASSERT_EQ(parse(args, OPT_HXU_DEVICE | OPT_FILE_GROUPS, "d:f:", 2, 2), 0);
    ASSERT_NE(params.file_groups, nullptr);
    char buf[8] = {0};
    EXPECT_EQ(fread(buf, 1, sizeof buf, params.file_groups), 2u);
    EXPECT_STREQ(buf, "{}");
    unlink(path);
}

TEST_F(OptionParser, MaskDecidesNotTheOptionString)
{
    /* The option string of info holds only d, yet every long name is known. */
    Argv args({"vexilctl", "eu_group", "info", "-d", "x", "--id_group", "1"});
    EXPECT_EQ(parse(args, OPT_HXU_DEVICE, "d:", 1, 1), -1);
    EXPECT_EQ(printed, "Current command doesn't support id_group option, or flag was already given\n");
    EXPECT_EQ(count, 1);
    EXPECT_EQ(params.id_group, 0);
}

TEST_F(OptionParser, StraysAreLeftToTheArgumentCount)
{
    for (const char* posix : std::vector<const char*>{"1", nullptr}) {
        if (posix)
            setenv("POSIXLY_CORRECT", posix, 1);
        else
            unsetenv("POSIXLY_CORRECT");
        Argv args({"vexilctl", "eu_group", "create", "stray", "-d", "D", "-n", "N", "-r", "1"});
        EXPECT_EQ(parse(args, OPT_HXU_DEVICE | OPT_RANGE_EUS | OPT_NAME_GROUP, "d:n:r:", 3, 3), -1);
        EXPECT_EQ(count, 3) << (posix ? "with" : "without") << " POSIXLY_CORRECT";
        EXPECT_EQ(printed, "Wrong command given. Expected MAX 9 arguments, but got 10\n");
    }
    unsetenv("POSIXLY_CORRECT");
}

TEST_F(OptionParser, CountsAgainstMinimumAndMaximum)
{
    Argv none({"vexilctl", "eu_group", "query"});
    EXPECT_EQ(parse(none, OPT_HXU_DEVICE | OPT_ID_GROUP | OPT_NAME_GROUP, "d:n:g:", 1, 2), -1);
    EXPECT_EQ(printed, "Wrong number of flags given. Each flag should be accompanied by an argument. "
                       "Expected 1 <= flags number <= 2\n");
    Argv one({"vexilctl", "eu_group", "query", "--hxu_device=x"});
    EXPECT_EQ(parse(one, OPT_HXU_DEVICE | OPT_ID_GROUP | OPT_NAME_GROUP, "d:n:g:", 1, 2), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(params.flags, static_cast<uint32_t>(OPT_ID_GROUP | OPT_NAME_GROUP));
}

} // namespace
