// Checks of EU masks and ids against the adapter's limits, the EU overlap
// check, and the limits reports they print.
#include "capture_stdout.h"
#include "utility_functions.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

/* Limits of the example adapter: 64 groups, 16 EUs per group, 190 EUs,
 * 8 partitions, 256 VHCA ids per partition. */
class MaskCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        max_num_hxu_eu_group = 64;
        max_num_hxu_eu_per_group = 16;
        max_num_hxu_eu = 190;
        max_num_hxu_eu_partition = 8;
        max_num_partition_vhca_id = 256;
        memset(global_member_mask, 0, sizeof global_member_mask);
    }

    static std::vector<uint32_t> mask_of(std::initializer_list<unsigned> eus)
    {
        std::vector<uint32_t> mask(EU_MASK_WORDS, 0);
        for (unsigned eu : eus)
            mask[eu / 32] |= 1u << (eu % 32);
        return mask;
    }

    static std::vector<uint32_t> span(unsigned low, unsigned high)
    {
        std::vector<uint32_t> mask(EU_MASK_WORDS, 0);
        for (unsigned eu = low; eu <= high; eu++)
            mask[eu / 32] |= 1u << (eu % 32);
        return mask;
    }

    struct outcome {
        int result;
        std::string out;
    };

    static outcome validity(const std::vector<uint32_t>& mask, int per_group)
    {
        StdoutCapture capture;
        int r = check_validity_of_eu_member_mask(mask.data(), per_group);
        return {r, capture.finish()};
    }

    static outcome id_check(uint16_t max, uint16_t id, int type)
    {
        StdoutCapture capture;
        int r = check_before_query_or_destroy(max, 1, id, type);
        return {r, capture.finish()};
    }
};

const char* const report_groups = "Max number of HXU EU groups: 64\n"
                                  "Max number of HXU EUs in one HXU EU group: 16\n"
                                  "Max HXU EU number available to use: 190\n"
                                  "Max EU group name length is 15 chars\n";

const char* const report_partitions =
    "Max number of HXU EU partitions: 8\n"
    "Max number of VHCAs associated with a single partition: 256\n"
    "Max number of HXU EU groups: 64\n"
    "Note- an allocation of a partition consumes from the number of HXU EU *groups* available to "
    "create\n"
    "Max number of HXU EUs available to use: 190\n";

TEST_F(MaskCheck, LimitsReports)
{
    const std::vector<std::pair<int, std::string>> reports = {
        {0, ""},
        {1, "Max number of HXU EUs available to use: 190\n"},
        {2, report_groups},
        {3, report_partitions},
        {4, ""},
        {-1, ""},
    };
    for (const auto& r : reports) {
        StdoutCapture capture;
        print_nic_cap_ext_reg(r.first);
        EXPECT_EQ(capture.finish(), r.second) << "report " << r.first;
    }
}

TEST_F(MaskCheck, EuNumbersAgainstTheAdapter)
{
    const std::string beyond = "Error: A EU in the range exceeds the Max HXU EU number available\n"
                               "Max number of HXU EUs available to use: 40\n";
    max_num_hxu_eu = 40;
    EXPECT_EQ(validity(mask_of({39}), 1).result, 0);
    EXPECT_EQ(validity(mask_of({39}), 1).out, "");
    EXPECT_EQ(validity(mask_of({}), 1).result, 0);
    for (int per_group : {0, 1}) {
        for (unsigned eu : {40u, 41u, 1023u}) {
            outcome o = validity(mask_of({0, eu}), per_group);
            EXPECT_EQ(o.result, -1) << eu;
            EXPECT_EQ(o.out, beyond) << eu;
        }
    }

    /* An adapter with 1024 EUs or more takes every EU a mask can hold. */
    max_num_hxu_eu = 1024;
    EXPECT_EQ(validity(mask_of({1023}), 0).result, 0);
    max_num_hxu_eu = 65535;
    EXPECT_EQ(validity(mask_of({1023}), 0).result, 0);

    max_num_hxu_eu = 0;
    outcome o = validity(mask_of({0}), 0);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, "Error: A EU in the range exceeds the Max HXU EU number available\n"
                     "Max number of HXU EUs available to use: 0\n");
}

TEST_F(MaskCheck, EusPerGroupOnlyForGroups)
{
    max_num_hxu_eu_per_group = 4;
    EXPECT_EQ(validity(span(0, 3), 1).result, 0);
    outcome o = validity(span(0, 4), 1);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, std::string("Error: Sum of requested EUs exceeds the Max number of EUs per EU "
                                 "GROUP\n") +
                         "Max number of HXU EU groups: 64\n"
                         "Max number of HXU EUs in one HXU EU group: 4\n"
                         "Max HXU EU number available to use: 190\n"
                         "Max EU group name length is 15 chars\n");
    /* A partition has no per-group count. */
    EXPECT_EQ(validity(span(0, 4), 0).result, 0);
    EXPECT_EQ(validity(span(0, 189), 0).result, 0);
    /* EUs spread over several words are all counted. */
    EXPECT_EQ(validity(mask_of({0, 33, 66, 99, 132}), 1).result, -1);
    EXPECT_EQ(validity(mask_of({0, 33, 66, 99}), 1).result, 0);
}

TEST_F(MaskCheck, OverlapWithExistingObjects)
{
    global_member_mask[0] = 1u << 5;
    global_member_mask[31] = 1u << 31; /* EU 1023 */
    const std::string message = "There is an overlap of EUs between the mask given and another "
                                "existing EU object (group/partition)\n";
    for (const auto& m : {mask_of({4, 6, 37}), mask_of({}), mask_of({1022})}) {
        StdoutCapture capture;
        EXPECT_EQ(eu_object_members_overlap(m.data()), 0);
        EXPECT_EQ(capture.finish(), "");
    }
    for (const auto& m : {mask_of({5}), mask_of({1, 1023})}) {
        StdoutCapture capture;
        EXPECT_EQ(eu_object_members_overlap(m.data()), -1);
        EXPECT_EQ(capture.finish(), message);
    }
}

TEST_F(MaskCheck, IdRange)
{
    for (uint16_t id : {1, 5}) {
        EXPECT_EQ(id_check(5, id, EU_GROUP).result, 0) << id;
        EXPECT_EQ(id_check(5, id, EU_GROUP).out, "") << id;
        EXPECT_EQ(id_check(5, id, PARTITION).result, 0) << id;
    }
    for (uint16_t id : {0, 6, 65535}) {
        outcome o = id_check(5, id, EU_GROUP);
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.out, "Error: group ID given - " + std::to_string(id) +
                             " doesn't fit EU groups ID range: 1 <= ID <= 5\n" + report_groups);
        o = id_check(5, id, PARTITION);
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.out, "Error: partition ID given - " + std::to_string(id) +
                             " doesn't fit EU partitions ID range: 1 <= ID <= 5\n" +
                             report_partitions);
    }
}

TEST_F(MaskCheck, IdRangeOfAnAdapterWithoutObjects)
{
    outcome o = id_check(0, 1, EU_GROUP);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out,
              std::string("Error: this VHCA's partition doesn't and can't contain any groups \n") +
                  report_groups);
    o = id_check(0, 0, PARTITION);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out,
              std::string("Error: this VHCA's partition doesn't and can't contain any partitions \n") +
                  report_partitions);
}

TEST_F(MaskCheck, IdCheckOfAnotherKindStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(check_before_query_or_destroy(5, 1, 1, REPORT_EUS), "type == PARTITION");
    EXPECT_DEATH(check_before_query_or_destroy(5, 1, 1, 7), "type == PARTITION");
}

} // namespace
