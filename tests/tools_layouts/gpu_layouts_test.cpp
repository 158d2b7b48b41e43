// GPU registers whose narrow arrays, selected pages, nested arrays and unions are easy to get
// wrong, against images worked out by hand from the registers' byte and bit positions. The
// register tables give a narrow array by the start that the array-address routine takes (the
// bit past element 0 counted from the low end of its dword); every element below is placed by
// hand from that start.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "layout_test_util.h"
#include "reg_access_gpu_int_layouts.h"
#include "reg_access_gpu_layouts.h"

namespace {

// Unpacks the golden image, lets the test check the record, and packs the record back into a
// zeroed image, which must give the golden image again.
template <typename Rec, typename Check>
void unpack_and_repack(const Image& golden, void (*unpack)(Rec*, const uint8_t*),
                       void (*pack)(const Rec*, uint8_t*), Check check)
{
    Rec rec = zeroed<Rec>();
    unpack(&rec, golden.data());
    check(rec);
    Image again(golden.size(), 0);
    pack(&rec, again.data());
    EXPECT_EQ(again, golden);
}

// MTEIM: first_tile_core_event_id has 8-bit elements from start 120, so element 0 is the top
// byte of dword 3 (byte 12) and the eight elements are bytes 12 to 19.
TEST(GpuLayouts, MteimTileEventIdsFromByte12)
{
    ASSERT_EQ(reg_access_gpu_int_mteim_reg_size(), 48u);
    const Image golden = image_of(48, {{3, 0x11}, {7, 0x05}, {8, 0x22}, {9, 0x33}, {12, 0xE0}, {13, 0xE1},
                                       {14, 0xE2}, {15, 0xE3}, {16, 0xE4}, {17, 0xE5}, {18, 0xE6}, {19, 0xE7}});
    unpack_and_repack<reg_access_gpu_int_mteim_reg>(golden, reg_access_gpu_int_mteim_reg_unpack,
                                                    reg_access_gpu_int_mteim_reg_pack, [](const auto& r) {
        EXPECT_EQ(r.cap_core_tile, 0x11);
        EXPECT_EQ(r.type_core_tile, 5);
        EXPECT_EQ(r.first_main_core_event_id, 0x22);
        EXPECT_EQ(r.first_hxu_core_event_id, 0x33);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(r.first_tile_core_event_id[i], 0xE0 + i) << i;
    });
}

// MLPC: cnt_type has 4-bit elements from start 156, element 0 the high nibble of byte 16 and
// element 7 the low nibble of byte 19; cnt_val words follow from byte 32.
TEST(GpuLayouts, MlpcCounterTypesAreNibblesFromByte16)
{
    const Image golden = image_of(64, {{15, 0x9C}, {16, 0x12}, {17, 0x34}, {18, 0x56}, {19, 0x78}, {32, 0xCA},
                                       {33, 0xFE}, {34, 0xF0}, {35, 0x0D}, {63, 0x01}});
    unpack_and_repack<reg_access_gpu_MLPC_ext>(golden, reg_access_gpu_MLPC_ext_unpack, reg_access_gpu_MLPC_ext_pack,
                                               [](const auto& r) {
        EXPECT_EQ(r.force_count_mask, 0x9C);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(r.cnt_type[i], i + 1) << i;
        EXPECT_EQ(r.cnt_val[0], 0xCAFEF00Du);
        EXPECT_EQ(r.cnt_val[7], 1u);
    });
}

// PUCG: payload_data has 122 16-bit elements from start 208: element 0 in bytes 24-25, the
// last in bytes 266-267, the end of the 268-byte image.
TEST(GpuLayouts, PucgPayloadRunsToTheEndOfTheImage)
{
    ASSERT_EQ(reg_access_gpu_int_pucg_reg_size(), 268u);
    const Image golden = image_of(268, {{0, 0x01}, {6, 0x0A}, {7, 0xBC}, {20, 0x44}, {23, 0x55}, {24, 0x12},
                                        {25, 0x34}, {26, 0x56}, {27, 0x78}, {266, 0xAB}, {267, 0xCD}});
    unpack_and_repack<reg_access_gpu_int_pucg_reg>(golden, reg_access_gpu_int_pucg_reg_unpack,
                                                   reg_access_gpu_int_pucg_reg_pack, [](const auto& r) {
        EXPECT_EQ(r.unit, 1);  // bit 7: byte 0's lowest bit
        EXPECT_EQ(r.address, 0xABC);
        EXPECT_EQ(r.rxtx_mask[3], 0x44000055u);
        EXPECT_EQ(r.payload_data[0], 0x1234);
        EXPECT_EQ(r.payload_data[1], 0x5678);
        EXPECT_EQ(r.payload_data[121], 0xABCD);
    });
}

// PDDR: the page at byte 8 is read as the one page_select names. The module-information page
// has dp_st_lane (4-bit elements from start 1308, page byte 160, image byte 168); the PHY page
// has eth_last_link_down_lane (8-bit elements from start 248, page byte 28, image byte 36).
TEST(GpuLayouts, PddrPageChosenByPageSelect)
{
    const Image module_page = image_of(256, {{7, 3}, {168, 0x12}, {169, 0x34}, {170, 0x56}, {171, 0x78}});
    unpack_and_repack<reg_access_gpu_pddr_reg_ext>(module_page, reg_access_gpu_pddr_reg_ext_unpack,
                                                   reg_access_gpu_pddr_reg_ext_pack, [](const auto& r) {
        EXPECT_EQ(r.page_select, 3);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(r.pddr_module_info_ext.dp_st_lane[i], i + 1) << i;
    });

    const Image phy_page = image_of(256, {{7, 2}, {36, 0xA0}, {37, 0xA1}, {38, 0xA2}, {39, 0xA3}});
    unpack_and_repack<reg_access_gpu_pddr_reg_ext>(phy_page, reg_access_gpu_pddr_reg_ext_unpack,
                                                   reg_access_gpu_pddr_reg_ext_pack, [](const auto& r) {
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(r.pddr_phy_info_page_ext.eth_last_link_down_lane[i], 0xA0 + i) << i;
    });

    // A page_select that names no page leaves the page alone.
    Image other = phy_page;
    other[7] = 7;
    auto rec = zeroed<reg_access_gpu_pddr_reg_ext>();
    reg_access_gpu_pddr_reg_ext_unpack(&rec, other.data());
    EXPECT_EQ(rec.page_select, 7);
    EXPECT_EQ(rec.pddr_phy_info_page_ext.eth_last_link_down_lane[0], 0);
}

// SLREG: the page data at byte 4 is read as slreg_usr, the member its union line names:
// grade is the low 29 bits of bytes 4-7, amp_phase0 the low half of page dword 3 (bytes 18-19).
TEST(GpuLayouts, SlregPageReadAsTheNamedMember)
{
    const Image golden = image_of(76, {{0, 0x03}, {3, 0x03}, {4, 0x1F}, {5, 0xFF}, {6, 0xFF}, {7, 0xFE},
                                       {18, 0xBE}, {19, 0xEF}});
    unpack_and_repack<reg_access_gpu_int_slreg_reg>(golden, reg_access_gpu_int_slreg_reg_unpack,
                                                    reg_access_gpu_int_slreg_reg_pack, [](const auto& r) {
        EXPECT_EQ(r.version, 3);
        EXPECT_EQ(r.eidx, 3);
        EXPECT_EQ(r.page_data.slreg_usr.grade, 0x1FFFFFFEu);
        EXPECT_EQ(r.page_data.slreg_usr.amp_phase0, 0xBEEF);
    });
}

// PPLL version 1 (the low nibble of byte 3): the 28nm page at byte 4 holds four 8-byte PLL
// records from byte 8 on; PMLP: eight 4-byte lane mappings from byte 4 on.
TEST(GpuLayouts, NestedRecordArrays)
{
    const Image ppll = image_of(40, {{0, 0x10}, {3, 0x01}, {7, 0x01}, {26, 0x03}, {27, 0xFF}, {31, 0x2A}});
    unpack_and_repack<reg_access_gpu_int_ppll_reg>(ppll, reg_access_gpu_int_ppll_reg_unpack,
                                                   reg_access_gpu_int_ppll_reg_pack, [](const auto& r) {
        EXPECT_EQ(r.num_pll_groups, 0x10);
        EXPECT_EQ(r.version, 1);
        EXPECT_EQ(r.ppll_28nm.ae, 1);
        EXPECT_EQ(r.ppll_28nm.pll_status[2].f_ctrl_measure, 0x3FF);
        EXPECT_EQ(r.ppll_28nm.pll_status[2].mid_var, 0x2A);
        EXPECT_EQ(r.ppll_28nm.pll_status[1].f_ctrl_measure, 0);
    });
    Image version0 = ppll;
    version0[3] = 0;
    auto rec = zeroed<reg_access_gpu_int_ppll_reg>();
    reg_access_gpu_int_ppll_reg_unpack(&rec, version0.data());
    EXPECT_EQ(rec.ppll_28nm.pll_status[2].f_ctrl_measure, 0) << "version 0 names no page";

    const Image pmlp = image_of(64, {{3, 8}, {33, 0x0C}, {35, 0x1D}});
    unpack_and_repack<reg_access_gpu_int_pmlp_reg>(pmlp, reg_access_gpu_int_pmlp_reg_unpack,
                                                   reg_access_gpu_int_pmlp_reg_pack, [](const auto& r) {
        EXPECT_EQ(r.width, 8);
        EXPECT_EQ(r.lane_module_mapping[7].tx_lane, 0xC);
        EXPECT_EQ(r.lane_module_mapping[7].module, 0x1D);
        EXPECT_EQ(r.lane_module_mapping[0].module, 0);
    });
}

}  // namespace
