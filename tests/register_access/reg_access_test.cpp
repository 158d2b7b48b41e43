// The accelerator's register functions through mopen, maccess_reg, the VSEC window and the ICMD
// mailbox of the simulated adapter: what each sends, what comes back into the record, and what
// is refused before anything is sent.
#include "reg_access.h"

#include <gtest/gtest.h>

#include <cstring>

#include "accelerator_function.h"

namespace {

using vexil_sim::AcceleratorCounts;
using vexil_sim::FuseFunctionServer;

template <typename Record>
Record zeroed()
{
    Record r;
    std::memset(&r, 0, sizeof r);
    return r;
}

vexil_sim::AcceleratorSetup setup()
{
    vexil_sim::AcceleratorSetup s;
    s.limits.max_num_hxu_eug = 8;
    s.limits.max_num_hxu_eu = 190;
    s.limits.max_num_hxu_eu_partition = 2;
    s.limits.max_num_hxu_eu_per_group = 16;
    s.limits.max_num_partition_vhca_id = 256;
    s.limits.process_perf_cnt = 1;
    return s;
}

/* Every register transaction the adapter saw, whatever the register. */
uint64_t all_transactions(FuseFunctionServer& server)
{
    uint64_t total = 0;
    for (uint16_t id : {0xC011, 0xC012, 0xC014, 0xC015}) {
        const vexil_sim::RegisterCounts c = server.register_counts(id);
        total += c.get + c.set + c.other;
    }
    return total;
}

TEST(RegisterFunctions, ErrorTextsAreTheCoreTexts)
{
    EXPECT_STREQ(reg_access_err2str(ME_OK), "ME_OK");
    EXPECT_STREQ(reg_access_err2str(ME_REG_ACCESS_BAD_METHOD), "Bad method");
    EXPECT_STREQ(reg_access_err2str(ME_REG_ACCESS_BAD_PARAM), "Bad parameter");
    EXPECT_STREQ(reg_access_err2str(0x7777), "Unknown error code");
    for (int code : {0, 2, 6, 11, 0x101, 0x10c, 0x203})
        EXPECT_STREQ(reg_access_err2str(code), m_err2str(static_cast<uint32_t>(code)));
}

TEST(RegisterFunctions, NoHandleIsABadParameterButABadMethodComesFirst)
{
    auto eug = zeroed<reg_access_hca_nic_hxu_eug_reg_ext>();
    EXPECT_EQ(reg_access_nic_hxu_eug(nullptr, MACCESS_REG_METHOD_GET, &eug), ME_BAD_PARAMS);
    EXPECT_EQ(reg_access_nic_hxu_eug(nullptr, 3, &eug), ME_REG_ACCESS_BAD_METHOD);
    auto perf = zeroed<reg_access_hca_nic_hxu_perf_ctrl_reg_ext>();
    EXPECT_EQ(reg_access_nic_hxu_perf_ctrl(nullptr, 0, &perf), ME_REG_ACCESS_BAD_METHOD);
}

TEST(RegisterFunctions, EachAcceleratorRegisterCrossesTheDevice)
{
    SKIP_WITHOUT_FUSE_FUNCTION();
    VEXIL_EXPECT_SCENARIO(vexil_sim::with_accelerator_function(setup(), [](FuseFunctionServer& server) {
        mfile* mf = mopen(vexil_sim::kAcceleratorAddress);
        ASSERT_NE(mf, nullptr);

        auto cap = zeroed<reg_access_hca_nic_cap_ext_reg_ext>();
        cap.cap_group = 1;
        ASSERT_EQ(reg_access_nic_cap_ext(mf, MACCESS_REG_METHOD_GET, &cap), ME_OK);
        const auto& hxu = cap.cap_data.nic_cap_ext_hxu_cap_ext;
        EXPECT_EQ(hxu.max_num_hxu_eug, 8);
        EXPECT_EQ(hxu.max_num_hxu_eu, 190);
        EXPECT_EQ(hxu.max_num_hxu_eu_partition, 2);
        EXPECT_EQ(hxu.max_num_hxu_eu_per_group, 16);
        EXPECT_EQ(hxu.max_num_partition_vhca_id, 256);
        EXPECT_EQ(hxu.process_perf_cnt, 1);

        auto group = zeroed<reg_access_hca_nic_hxu_eug_reg_ext>();
        group.eug_name[0] = 'g' | '1' << 8;
        group.member_mask[1] = 0x80000001u; /* EUs 32 and 63 */
        ASSERT_EQ(reg_access_nic_hxu_eug(mf, MACCESS_REG_METHOD_SET, &group), ME_OK);
        EXPECT_EQ(group.eug_id, 1) << "the reply names the id the adapter gave";
        auto read_back = zeroed<reg_access_hca_nic_hxu_eug_reg_ext>();
        read_back.eug_id = 1;
        ASSERT_EQ(reg_access_nic_hxu_eug(mf, MACCESS_REG_METHOD_GET, &read_back), ME_OK);
        EXPECT_EQ(read_back.eug_name[0], group.eug_name[0]);
        EXPECT_EQ(read_back.member_mask[1], 0x80000001u);

        auto partition = zeroed<reg_access_hca_nic_hxu_eu_partition_reg_ext>();
        partition.max_num_eug = 2;
        partition.num_vhca_id = 2;
        partition.vhca_id[0] = 7;
        partition.vhca_id[1] = 0xFFFF;
        partition.member_mask[5] = 1u << 29; /* EU 189 */
        ASSERT_EQ(reg_access_nic_hxu_eu_partition(mf, MACCESS_REG_METHOD_SET, &partition), ME_OK);
        EXPECT_EQ(partition.eu_partition_id, 1);
        auto partition_back = zeroed<reg_access_hca_nic_hxu_eu_partition_reg_ext>();
        partition_back.eu_partition_id = 1;
        ASSERT_EQ(reg_access_nic_hxu_eu_partition(mf, MACCESS_REG_METHOD_GET, &partition_back), ME_OK);
        EXPECT_EQ(partition_back.max_num_eug, 2);
        EXPECT_EQ(partition_back.num_vhca_id, 2);
        EXPECT_EQ(partition_back.vhca_id[1], 0xFFFF);
        EXPECT_EQ(partition_back.member_mask[5], 1u << 29);

        /* The performance control has no model here: the adapter keeps what was written. */
        auto perf = zeroed<reg_access_hca_nic_hxu_perf_ctrl_reg_ext>();
        perf.hxu_process_id = 0xDEADBEEF;
        perf.other_vhca_id = 0x1234;
        perf.other_vhca_id_valid = 1;
        perf.sample_type = 1;
        perf.count_state = 3;
        ASSERT_EQ(reg_access_nic_hxu_perf_ctrl(mf, MACCESS_REG_METHOD_SET, &perf), ME_OK);
        const std::vector<uint8_t> image = server.register_image(REG_ID_nic_hxu_perf_ctrl);
        ASSERT_EQ(image.size(), 64u) << "the register's full image";
        EXPECT_EQ(image[0], 0xDE);
        EXPECT_EQ(image[4], 0xC9); /* count_state 3, valid, sample type 1 */
        EXPECT_EQ(image[6] << 8 | image[7], 0x1234);
        auto perf_back = zeroed<reg_access_hca_nic_hxu_perf_ctrl_reg_ext>();
        ASSERT_EQ(reg_access_nic_hxu_perf_ctrl(mf, MACCESS_REG_METHOD_GET, &perf_back), ME_OK);
        EXPECT_EQ(perf_back.hxu_process_id, 0xDEADBEEFu);
        EXPECT_EQ(perf_back.count_state, 3);
        EXPECT_EQ(perf_back.other_vhca_id_valid, 1);

        const AcceleratorCounts counts = vexil_sim::accelerator_counts(server);
        EXPECT_EQ(counts.cap.get, 1u);
        EXPECT_EQ(counts.eug.get + counts.eug.set, 2u);
        EXPECT_EQ(counts.partition.get + counts.partition.set, 2u);
        EXPECT_EQ(server.register_counts(REG_ID_nic_hxu_perf_ctrl).set, 1u);
        mclose(mf);
    }));
}

TEST(RegisterFunctions, RefusalsAndFailedAccesses)
{
    SKIP_WITHOUT_FUSE_FUNCTION();
    VEXIL_EXPECT_SCENARIO(vexil_sim::with_accelerator_function(setup(), [](FuseFunctionServer& server) {
        mfile* mf = mopen(vexil_sim::kAcceleratorAddress);
        ASSERT_NE(mf, nullptr);
        auto group = zeroed<reg_access_hca_nic_hxu_eug_reg_ext>();
        group.eug_id = 5;
        for (uint32_t method : {0u, 3u, 0xFFFFFFFFu}) {
            EXPECT_EQ(reg_access_nic_hxu_eug(mf, method, &group), ME_REG_ACCESS_BAD_METHOD) << method;
            auto cap = zeroed<reg_access_hca_nic_cap_ext_reg_ext>();
            EXPECT_EQ(reg_access_nic_cap_ext(mf, method, &cap), ME_REG_ACCESS_BAD_METHOD) << method;
        }
        EXPECT_EQ(all_transactions(server), 0u) << "refused before anything is sent";

        /* A GET of a free id: the adapter's refusal comes back as its error code, and the record
         * holds what the buffer held (here the request, echoed). */
        group.eug_name[0] = 0x61626364;
        group.member_mask[0] = 0xF0;
        EXPECT_EQ(reg_access_nic_hxu_eug(mf, MACCESS_REG_METHOD_GET, &group), ME_REG_ACCESS_BAD_PARAM);
        EXPECT_EQ(group.eug_id, 5);
        EXPECT_EQ(group.eug_name[0], 0x61626364u);
        EXPECT_EQ(group.member_mask[0], 0xF0u);

        auto cap = zeroed<reg_access_hca_nic_cap_ext_reg_ext>();
        cap.cap_group = 1;
        EXPECT_EQ(reg_access_nic_cap_ext(mf, MACCESS_REG_METHOD_SET, &cap), ME_REG_ACCESS_METHOD_NOT_SUPP);
        EXPECT_EQ(all_transactions(server), 2u);
        mclose(mf);
    }));
}

} // namespace
