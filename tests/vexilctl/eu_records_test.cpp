// What the group and partition operations put into and read out of the
// register records: the group name as the register image carries it, the
// 16-byte name comparison, and the EU list a group or partition prints.
#include "capture_stdout.h"
#include "eu_group.h"
#include "eu_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> packed(const eug_record& record)
{
    std::vector<uint8_t> image(reg_access_hca_nic_hxu_eug_reg_ext_size(), 0);
    reg_access_hca_nic_hxu_eug_reg_ext_pack(&record, image.data());
    return image;
}

eug_record named(const char* name)
{
    eug_record record;
    memset(&record, 0, sizeof record);
    eug_name_to_words(name, record.eug_name);
    return record;
}

TEST(GroupName, EachWordCarriesItsFourBytesLeastSignificantFirst)
{
    const std::vector<uint8_t> image = packed(named("abcdefgh"));
    const std::string name_bytes(reinterpret_cast<const char*>(&image[16]), 16);
    EXPECT_EQ(name_bytes, std::string("dcbahgfe") + std::string(8, '\0'));
    /* Nothing else of the image is touched by the name. */
    for (size_t i = 0; i < image.size(); i++) {
        if (i < 16 || i >= 24) {
            EXPECT_EQ(image[i], 0) << "byte " << i;
        }
    }

    const std::vector<uint8_t> longest = packed(named("fifteen_chars_x"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&longest[16]), 16),
              std::string("tfif_neerahc") + std::string(1, '\0') + "x_s");
}

TEST(GroupName, ReadBackFromTheImageEqualsTheNameWritten)
{
    for (const char* name : {"g1", "abcd", "fifteen_chars_x", ""}) {
        const std::vector<uint8_t> image = packed(named(name));
        eug_record reply;
        memset(&reply, 0, sizeof reply);
        reg_access_hca_nic_hxu_eug_reg_ext_unpack(&reply, image.data());
        char back[EU_GROUP_NAME_BYTES + 1];
        eug_words_to_name(reply.eug_name, back);
        EXPECT_STREQ(back, name);
        EXPECT_TRUE(eug_name_equals(reply, name)) << name;
    }
}

TEST(GroupName, ComparedOverAtMostSixteenBytes)
{
    /* An adapter may hold 16 name bytes without a terminating zero. */
    eug_record full;
    memset(&full, 0, sizeof full);
    for (unsigned i = 0; i < 16; i++)
        full.eug_name[i / 4] |= uint32_t('a' + i) << (8 * (i % 4));
    char back[EU_GROUP_NAME_BYTES + 1];
    eug_words_to_name(full.eug_name, back);
    EXPECT_STREQ(back, "abcdefghijklmnop");
    EXPECT_TRUE(eug_name_equals(full, "abcdefghijklmnop"));
    EXPECT_TRUE(eug_name_equals(full, "abcdefghijklmnopq")) << "the 17th byte is past the name";
    EXPECT_FALSE(eug_name_equals(full, "abcdefghijklmno"));
    EXPECT_FALSE(eug_name_equals(named("g1"), "g"));
    EXPECT_FALSE(eug_name_equals(named("g"), "g1"));
}

/* Only the adapter's refusal of a GET, a register status other than busy
 * (0x100 to 0x1FF but 0x103), makes its id free; one step past either end of
 * that range is a failure that says nothing about the id. */
TEST(ScanResult, OnlyARegisterStatusOtherThanBusyCountsAsAFreeId)
{
    const struct {
        int rc;
        bool unknown;
    } table[] = {{0, false},     {1, true},      {0xFF, true},  {0x100, false}, {0x103, true},
                 {0x1FF, false}, {0x200, true}, {0x400, true}, {-1, true}};
    for (const auto& row : table)
        EXPECT_EQ(access_leaves_id_unknown(row.rc), row.unknown) << std::hex << "0x" << row.rc;
}

class MemberList : public ::testing::Test {
protected:
    void TearDown() override { max_num_hxu_eu = 0; }

    static std::string printed_group(const std::vector<unsigned>& eus)
    {
        eug_record group = named("g");
        group.eug_id = 7;
        for (unsigned eu : eus)
            group.member_mask[eu / 32] |= 1u << (eu % 32);
        StdoutCapture capture;
        eu_group_details_print(&group);
        return capture.finish();
    }
};

TEST_F(MemberList, EusOfTheWordsUpToTheLastEuAreShown)
{
    max_num_hxu_eu = 190;
    EXPECT_EQ(printed_group({0, 1, 2, 40}), "EU group ID: 7\nEU group name: g\nMember EUs are: 0,1,2,40\n");
    /* Words 0 to 190 / 32 = 5: EU 191 is past the last EU yet in word 5; word 6 is not read. */
    EXPECT_EQ(printed_group({189, 191, 192, 1023}),
              "EU group ID: 7\nEU group name: g\nMember EUs are: 189,191\n");
    max_num_hxu_eu = 40;
    EXPECT_EQ(printed_group({39, 63, 64}), "EU group ID: 7\nEU group name: g\nMember EUs are: 39,63\n");
    max_num_hxu_eu = 0;
    EXPECT_EQ(printed_group({5, 32}), "EU group ID: 7\nEU group name: g\nMember EUs are: 5\n");
    EXPECT_EQ(printed_group({}), "EU group ID: 7\nEU group name: g\nMember EUs are: \n");
}

TEST_F(MemberList, EveryWordWhenTheAdapterHasAllEus)
{
    for (unsigned eus : {1023u, 1024u, 65535u}) {
        max_num_hxu_eu = static_cast<uint16_t>(eus);
        EXPECT_EQ(printed_group({0, 992, 1023}), "EU group ID: 7\nEU group name: g\nMember EUs are: 0,992,1023\n")
            << eus;
    }
}

} // namespace
