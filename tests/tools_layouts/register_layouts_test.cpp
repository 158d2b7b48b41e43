// Adapter and tools registers whose nested records, arrays and unions are easy to get wrong,
// against images worked out by hand from the registers' byte and bit positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "layout_test_util.h"
#include "reg_access_hca_layouts.h"
#include "switchen_layouts.h"
#include "tools_layouts.h"
#include "tools_open_layouts.h"

namespace {

// The twelve timeouts: PCIE_TOGGLE_TO in bytes 4-7, the other eleven in bytes 20-63; each is
// a 3-bit multiplier at the top of its dword and a 20-bit value at the bottom.
TEST(RegisterLayouts, DtorTimeoutsTakeTheirDwords)
{
    ASSERT_EQ(reg_access_hca_dtor_reg_ext_size(), 64u);
    auto rec = zeroed<reg_access_hca_dtor_reg_ext>();
    rec.PCIE_TOGGLE_TO.to_multiplier = 2;
    rec.PCIE_TOGGLE_TO.to_value = 0x12345;
    reg_access_hca_default_timeout_ext* later[] = {
        &rec.HEALTH_POLL_TO,     &rec.FULL_CRDUMP_TO,       &rec.FW_RESET_TO,
        &rec.FLUSH_ON_ERR_TO,    &rec.PCI_SYNC_UPDATE_TO,   &rec.TEAR_DOWN_TO,
        &rec.FSM_REACTIVATE_TO,  &rec.RECLAIM_PAGES_TO,     &rec.RECLAIM_VFS_PAGES_TO,
        &rec.DRIVER_UNLOAD_AND_RESET_TO, &rec.EMBEDDED_CPU_OS_SHUTDOWN_TO};
    std::vector<std::pair<size_t, uint8_t>> bytes = {{4, 0x40}, {5, 0x01}, {6, 0x23}, {7, 0x45}};
    for (size_t i = 0; i < 11; ++i) {
        later[i]->to_multiplier = 7;
        later[i]->to_value = 0xF0000u + i;
        bytes.insert(bytes.end(), {{20 + 4 * i, 0xE0}, {21 + 4 * i, 0x0F}, {23 + 4 * i, static_cast<uint8_t>(i)}});
    }
    Image img(64, 0);
    reg_access_hca_dtor_reg_ext_pack(&rec, img.data());
    EXPECT_EQ(img, image_of(64, bytes));

    // Bytes 0-3 and 8-19 and the reserved bits 3-11 of each timeout are not written.
    Image kept(64, 0xAA);
    reg_access_hca_dtor_reg_ext_pack(&rec, kept.data());
    for (size_t b : {0, 3, 8, 13, 19})
        EXPECT_EQ(kept[b], 0xAA) << "byte " << b;
    EXPECT_EQ(kept[4], 0x40 | 0x0A);
    EXPECT_EQ(kept[5], 0xA1);

    auto back = zeroed<reg_access_hca_dtor_reg_ext>();
    reg_access_hca_dtor_reg_ext_unpack(&back, img.data());
    EXPECT_EQ(memcmp(&back, &rec, sizeof(rec)), 0);
}

// Eight string-db parameters of 8 bytes from byte 16 on: a 32-bit base address, then a 24-bit
// size in the low bytes of the second dword.
TEST(RegisterLayouts, MtrcCapStringDbParameters)
{
    ASSERT_EQ(reg_access_hca_mtrc_cap_reg_ext_size(), 132u);
    auto rec = zeroed<reg_access_hca_mtrc_cap_reg_ext>();
    rec.trace_owner = 1;
    rec.trc_ver = 2;
    rec.num_string_db = 8;
    rec.first_string_trace = 0x11;
    rec.num_string_trace = 0x22;
    rec.tracer_capabilities = 3;
    rec.log_max_trace_buffer_size = 0x33;
    std::vector<std::pair<size_t, uint8_t>> bytes = {{0, 0x82}, {3, 0x08}, {4, 0x11}, {5, 0x22}, {8, 0xC0}, {11, 0x33}};
    for (uint8_t i = 0; i < 8; ++i) {
        rec.string_db_param[i].string_db_base_address = 0xA0B0C000u + i;
        rec.string_db_param[i].string_db_size = 0x010200u + i;
        const size_t at = 16 + 8u * i;
        bytes.insert(bytes.end(), {{at, 0xA0}, {at + 1, 0xB0}, {at + 2, 0xC0}, {at + 3, i},
                                   {at + 5, 0x01}, {at + 6, 0x02}, {at + 7, i}});
    }
    Image img(132, 0);
    reg_access_hca_mtrc_cap_reg_ext_pack(&rec, img.data());
    EXPECT_EQ(img, image_of(132, bytes));

    auto back = zeroed<reg_access_hca_mtrc_cap_reg_ext>();
    reg_access_hca_mtrc_cap_reg_ext_unpack(&back, img.data());
    EXPECT_EQ(memcmp(&back, &rec, sizeof(rec)), 0);
}

// psid is bytes 16-31 of the firmware info, which MGIR holds from byte 32: bytes 48-63.
TEST(RegisterLayouts, MgirPsidOneByteEach)
{
    const char psid[] = "MT_0000000123XYZ";
    auto fw = zeroed<reg_access_hca_mgir_fw_info_ext>();
    for (int i = 0; i < 16; ++i)
        fw.psid[i] = static_cast<uint8_t>(psid[i]);
    Image img(64, 0);
    reg_access_hca_mgir_fw_info_ext_pack(&fw, img.data());
    EXPECT_EQ(memcmp(img.data() + 16, psid, 16), 0);
    EXPECT_EQ(Image(img.begin(), img.begin() + 16), Image(16, 0));
    EXPECT_EQ(Image(img.begin() + 32, img.end()), Image(32, 0));

    ASSERT_EQ(reg_access_hca_mgir_ext_size(), 160u);
    Image reply(160, 0);
    memcpy(reply.data() + 48, psid, 16);
    reply[2] = 0x02;   // hw_info.device_id
    reply[3] = 0x1F;
    reply[33] = 28;    // fw_info.major
    reply[34] = 41;    // fw_info.minor
    reply[35] = 2024 % 256;  // fw_info.sub_minor
    reply[128] = 'r';  // dev_info.dev_branch_tag[0]
    reply[155] = 'z';  // dev_info.dev_branch_tag[27]
    auto mgir = zeroed<reg_access_hca_mgir_ext>();
    reg_access_hca_mgir_ext_unpack(&mgir, reply.data());
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(mgir.fw_info.psid[i], static_cast<uint8_t>(psid[i])) << i;
    EXPECT_EQ(mgir.hw_info.device_id, 0x021F);
    EXPECT_EQ(mgir.fw_info.major, 28);
    EXPECT_EQ(mgir.fw_info.minor, 41);
    EXPECT_EQ(mgir.fw_info.sub_minor, 2024 % 256);
    EXPECT_EQ(mgir.dev_info.dev_branch_tag[0], 'r');
    EXPECT_EQ(mgir.dev_info.dev_branch_tag[27], 'z');
}

// Transaction i is byte 4 + i: tms bit 0, tdi bit 1, tdo bit 3.
TEST(RegisterLayouts, MjtagTransactionsOneBytePerTransaction)
{
    ASSERT_EQ(tools_mjtag_size(), 44u);
    auto rec = zeroed<tools_mjtag>();
    rec.cmd = 1;
    rec.sequence_number = 0xA;
    rec.size = 40;
    std::vector<std::pair<size_t, uint8_t>> bytes = {{0, 0x4A}, {3, 40}};
    for (unsigned i = 0; i < 40; ++i) {
        rec.jtag_transaction_set[i].tms = i & 1;
        rec.jtag_transaction_set[i].tdi = (i >> 1) & 1;
        rec.jtag_transaction_set[i].tdo = (i >> 2) & 1;
        bytes.push_back({4 + i, static_cast<uint8_t>((i & 1) | (i & 2) | ((i & 4) << 1))});
    }
    Image img(44, 0);
    tools_mjtag_pack(&rec, img.data());
    EXPECT_EQ(img, image_of(44, bytes));

    auto back = zeroed<tools_mjtag>();
    tools_mjtag_unpack(&back, image_of(44, {}, 0xFF).data());
    EXPECT_EQ(back.cmd, 3);
    EXPECT_EQ(back.sequence_number, 0xF);
    EXPECT_EQ(back.size, 0xFF);
    EXPECT_EQ(back.jtag_transaction_set[39].tms, 1);
    EXPECT_EQ(back.jtag_transaction_set[39].tdi, 1);
    EXPECT_EQ(back.jtag_transaction_set[39].tdo, 1);
}

// The header's type union travels as its last alternative, the whole dword at bytes 4-7; the
// other alternatives would cut it (global keeps 24 bits of it and puts param_class in byte 4).
TEST(RegisterLayouts, NvHeaderTypeIsItsDword)
{
    ASSERT_EQ(tools_open_nv_hdr_fifth_gen_size(), 12u);
    ASSERT_EQ(tools_open_tlv_type_size(), 4u);
    auto hdr = zeroed<tools_open_nv_hdr_fifth_gen>();
    hdr.length = 0x1FF;
    hdr.writer_host_id = 5;
    hdr.version = 3;
    hdr.writer_id = 31;
    hdr.read_current = 1;
    hdr.rd_en = 1;
    hdr.priority = 2;
    hdr.type.tlv_type_dw.tlv_type_dw = 0x11223344;
    Image img(12, 0);
    tools_open_nv_hdr_fifth_gen_pack(&hdr, img.data());
    EXPECT_EQ(img, image_of(12, {{0, 0x21}, {1, 0x5F}, {2, 0x3B}, {3, 0xFF}, {4, 0x11}, {5, 0x22}, {6, 0x33}, {7, 0x44}}));

    auto back = zeroed<tools_open_nv_hdr_fifth_gen>();
    tools_open_nv_hdr_fifth_gen_unpack(&back, image_of(12, {{4, 0xAA}, {5, 0xBB}, {6, 0xCC}, {7, 0xDD}}).data());
    EXPECT_EQ(back.type.tlv_type_dw.tlv_type_dw, 0xAABBCCDDu);
    EXPECT_EQ(back.length, 0);

    // MNVDA carries the header in bytes 0-11 and its data from byte 12.
    auto nvda = zeroed<tools_open_mnvda>();
    nvda.nv_hdr = hdr;
    nvda.data[0] = 0x5A;
    nvda.data[255] = 0xA5;
    Image whole(268, 0);
    tools_open_mnvda_pack(&nvda, whole.data());
    EXPECT_EQ(Image(whole.begin(), whole.begin() + 12), img);
    EXPECT_EQ(whole[12], 0x5A);
    EXPECT_EQ(whole[267], 0xA5);
}

// A union packs its last alternative alone: the counter sets' mpls_separated fills bytes 0-159
// of the 240 and leaves the rest.
TEST(RegisterLayouts, SwitchUnionAndByteStrings)
{
    ASSERT_EQ(switchen_router_counter_sets_size(), 240u);
    auto sets = zeroed<switchen_router_counter_sets>();
    sets.mpls_separated.ipv4_ipv6.good_unicast_packets_hi = 0x01020304;
    sets.mpls_separated.mpls.discard_bytes_lo = 0x0A0B0C0D;
    Image img(240, 0xEE);
    switchen_router_counter_sets_pack(&sets, img.data());
    Image expect(240, 0xEE);
    std::fill(expect.begin(), expect.begin() + 160, 0);
    expect[0] = 1, expect[1] = 2, expect[2] = 3, expect[3] = 4;
    expect[156] = 0x0A, expect[157] = 0x0B, expect[158] = 0x0C, expect[159] = 0x0D;
    EXPECT_EQ(img, expect);

    // MSGI: serial number bytes 0-23, part number 32-51, revision 56-59, date 60-62, name 64-127.
    ASSERT_EQ(switchen_msgi_size(), 128u);
    Image reply(128, 0);
    for (size_t i = 0; i < 128; ++i)
        reply[i] = static_cast<uint8_t>(i + 1);
    auto msgi = zeroed<switchen_msgi>();
    switchen_msgi_unpack(&msgi, reply.data());
    EXPECT_EQ(msgi.serial_number.Byte[0].val, 1);
    EXPECT_EQ(msgi.serial_number.Byte[23].val, 24);
    EXPECT_EQ(msgi.part_number.Byte[0].val, 33);
    EXPECT_EQ(msgi.part_number.Byte[19].val, 52);
    EXPECT_EQ(msgi.revision.Byte[3].val, 60);
    EXPECT_EQ(msgi.manufacturing_date.Byte[0].val, 61);
    EXPECT_EQ(msgi.manufacturing_date.Byte[2].val, 63);
    EXPECT_EQ(msgi.product_name.Byte[0].val, 65);
    EXPECT_EQ(msgi.product_name.Byte[63].val, 128);
}

// A value without a name prints as unknown.
TEST(RegisterLayouts, McqsUnnamedIdentifier)
{
    auto rec = zeroed<reg_access_hca_mcqs_reg_ext>();
    rec.identifier = 2;
    rec.component_update_state = 4;
    const std::string text = capture_output([&](FILE* f) { reg_access_hca_mcqs_reg_ext_dump(&rec, f); });
    EXPECT_NE(text.find("identifier           : unknown (0x2)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("component_update_state : ACTIVE_PENDING_RESET (0x4)\n"), std::string::npos) << text;
}

}  // namespace
