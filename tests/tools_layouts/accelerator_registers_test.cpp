// The four accelerator registers against images and print texts worked out by hand from the
// registers' byte positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "layout_test_util.h"
#include "reg_access_hca_layouts.h"

namespace {


template <typename Rec, typename Pack>
Image pack_zeroed(const Rec& rec, unsigned size, Pack pack)
{
    Image img(size, 0);
    pack(&rec, img.data());
    return img;
}

// Name bytes 4i..4i+3 make word i with byte 4i as its least significant byte.
uint32_t name_word(const char* name, int word)
{
    uint32_t v = 0;
    for (int j = 3; j >= 0; --j)
        v = (v << 8) | static_cast<uint8_t>(name[4 * word + j]);
    return v;
}

// One field of a record at all ones of its width, and the image bits that must carry it: the
// bytes and masks written out from the registers' byte and bit positions.
template <typename Rec>
struct FieldBits {
    const char* name;
    void (*set_ones)(Rec&);
    uint64_t (*get)(const Rec&);
    uint64_t ones;
    std::vector<std::pair<int, uint8_t>> bits;
};

std::vector<std::pair<int, uint8_t>> whole_bytes(int first, int last)
{
    std::vector<std::pair<int, uint8_t>> bytes;
    for (int b = first; b <= last; ++b)
        bytes.push_back({b, 0xFF});
    return bytes;
}

// Packs each field alone and finds exactly its bits set; unpacks its bits alone and finds only
// that field set; unpacks every other bit set and finds that field clear.
template <typename Rec>
void check_field_bits(const std::vector<FieldBits<Rec>>& rows, unsigned size, void (*pack)(const Rec*, uint8_t*),
                      void (*unpack)(Rec*, const uint8_t*))
{
    for (const FieldBits<Rec>& row : rows) {
        SCOPED_TRACE(row.name);
        Rec rec;
        memset(&rec, 0, sizeof(rec));
        row.set_ones(rec);
        ASSERT_EQ(row.get(rec), row.ones);
        Image expect(size, 0);
        for (const auto& b : row.bits)
            expect[b.first] |= b.second;
        Image img(size, 0);
        pack(&rec, img.data());
        EXPECT_EQ(img, expect);

        Rec back;
        memset(&back, 0, sizeof(back));
        unpack(&back, expect.data());
        EXPECT_EQ(memcmp(&back, &rec, sizeof(rec)), 0) << "unpack of the field's bits alone set other fields";

        Image others(size, 0xFF);
        for (const auto& b : row.bits)
            others[b.first] &= static_cast<uint8_t>(~b.second);
        unpack(&back, others.data());
        EXPECT_EQ(row.get(back), 0u) << "the field reads bits outside its position";
    }
}

TEST(EuGroupRegister, EveryFieldAtItsImageBits)
{
    using R = reg_access_hca_nic_hxu_eug_reg_ext;
    const std::vector<FieldBits<R>> rows = {
        {"eug_id", [](R& r) { r.eug_id = 0xFFFF; }, [](const R& r) -> uint64_t { return r.eug_id; }, 0xFFFF,
         whole_bytes(2, 3)},
        {"operation", [](R& r) { r.operation = 7; }, [](const R& r) -> uint64_t { return r.operation; }, 7, {{0, 0x70}}},
        {"modify_field_select", [](R& r) { r.modify_field_select = ~0u; },
         [](const R& r) -> uint64_t { return r.modify_field_select; }, 0xFFFFFFFF, whole_bytes(4, 7)},
        {"eug_name[0]", [](R& r) { r.eug_name[0] = ~0u; }, [](const R& r) -> uint64_t { return r.eug_name[0]; },
         0xFFFFFFFF, whole_bytes(16, 19)},
        {"eug_name[3]", [](R& r) { r.eug_name[3] = ~0u; }, [](const R& r) -> uint64_t { return r.eug_name[3]; },
         0xFFFFFFFF, whole_bytes(28, 31)},
        {"member_mask[0]", [](R& r) { r.member_mask[0] = ~0u; },
         [](const R& r) -> uint64_t { return r.member_mask[0]; }, 0xFFFFFFFF, whole_bytes(64, 67)},
        {"member_mask[31]", [](R& r) { r.member_mask[31] = ~0u; },
         [](const R& r) -> uint64_t { return r.member_mask[31]; }, 0xFFFFFFFF, whole_bytes(188, 191)},
    };
    check_field_bits<R>(rows, 256, reg_access_hca_nic_hxu_eug_reg_ext_pack, reg_access_hca_nic_hxu_eug_reg_ext_unpack);
}

TEST(PartitionRegister, EveryFieldAtItsImageBits)
{
    using R = reg_access_hca_nic_hxu_eu_partition_reg_ext;
    const std::vector<FieldBits<R>> rows = {
        {"eu_partition_id", [](R& r) { r.eu_partition_id = 0xFFFF; },
         [](const R& r) -> uint64_t { return r.eu_partition_id; }, 0xFFFF, whole_bytes(2, 3)},
        {"operation", [](R& r) { r.operation = 7; }, [](const R& r) -> uint64_t { return r.operation; }, 7, {{0, 0x70}}},
        {"modify_field_select", [](R& r) { r.modify_field_select = ~0u; },
         [](const R& r) -> uint64_t { return r.modify_field_select; }, 0xFFFFFFFF, whole_bytes(4, 7)},
        {"max_num_eug", [](R& r) { r.max_num_eug = 0xFFFF; }, [](const R& r) -> uint64_t { return r.max_num_eug; },
         0xFFFF, whole_bytes(10, 11)},
        {"num_vhca_id", [](R& r) { r.num_vhca_id = 0xFF; }, [](const R& r) -> uint64_t { return r.num_vhca_id; }, 0xFF,
         {{9, 0xFF}}},
        {"member_mask[0]", [](R& r) { r.member_mask[0] = ~0u; },
         [](const R& r) -> uint64_t { return r.member_mask[0]; }, 0xFFFFFFFF, whole_bytes(64, 67)},
        {"member_mask[31]", [](R& r) { r.member_mask[31] = ~0u; },
         [](const R& r) -> uint64_t { return r.member_mask[31]; }, 0xFFFFFFFF, whole_bytes(188, 191)},
        {"vhca_id[0]", [](R& r) { r.vhca_id[0] = 0xFFFF; }, [](const R& r) -> uint64_t { return r.vhca_id[0]; }, 0xFFFF,
         whole_bytes(192, 193)},
        {"vhca_id[1]", [](R& r) { r.vhca_id[1] = 0xFFFF; }, [](const R& r) -> uint64_t { return r.vhca_id[1]; }, 0xFFFF,
         whole_bytes(194, 195)},
        {"vhca_id[2]", [](R& r) { r.vhca_id[2] = 0xFFFF; }, [](const R& r) -> uint64_t { return r.vhca_id[2]; }, 0xFFFF,
         whole_bytes(196, 197)},
        {"vhca_id[255]", [](R& r) { r.vhca_id[255] = 0xFFFF; }, [](const R& r) -> uint64_t { return r.vhca_id[255]; },
         0xFFFF, whole_bytes(702, 703)},
    };
    check_field_bits<R>(rows, 768, reg_access_hca_nic_hxu_eu_partition_reg_ext_pack,
                        reg_access_hca_nic_hxu_eu_partition_reg_ext_unpack);
}

TEST(CapabilityRegister, EveryFieldAtItsImageBits)
{
    using R = reg_access_hca_nic_cap_ext_reg_ext;
    const std::vector<FieldBits<R>> rows = {
        {"cap_group", [](R& r) { r.cap_group = 0xFFFF; }, [](const R& r) -> uint64_t { return r.cap_group; }, 0xFFFF,
         whole_bytes(0, 1)},
        {"max_num_hxu_eug", [](R& r) { r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eug = 0xFFFF; },
         [](const R& r) -> uint64_t { return r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eug; }, 0xFFFF,
         whole_bytes(18, 19)},
        {"max_num_hxu_eu", [](R& r) { r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eu = 0xFFFF; },
         [](const R& r) -> uint64_t { return r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eu; }, 0xFFFF,
         whole_bytes(16, 17)},
        {"max_num_hxu_eu_partition", [](R& r) { r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eu_partition = 0xFFFF; },
         [](const R& r) -> uint64_t { return r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eu_partition; }, 0xFFFF,
         whole_bytes(22, 23)},
        {"max_num_hxu_eu_per_group", [](R& r) { r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eu_per_group = 0xFFFF; },
         [](const R& r) -> uint64_t { return r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eu_per_group; }, 0xFFFF,
         whole_bytes(20, 21)},
        {"hxu_perf_sample_type", [](R& r) { r.cap_data.nic_cap_ext_hxu_cap_ext.hxu_perf_sample_type = 0xFF; },
         [](const R& r) -> uint64_t { return r.cap_data.nic_cap_ext_hxu_cap_ext.hxu_perf_sample_type; }, 0xFF,
         {{26, 0xFF}}},
        {"max_num_partition_vhca_id",
         [](R& r) { r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_partition_vhca_id = 0x1FF; },
         [](const R& r) -> uint64_t { return r.cap_data.nic_cap_ext_hxu_cap_ext.max_num_partition_vhca_id; }, 0x1FF,
         {{24, 0x01}, {25, 0xFF}}},
        {"process_perf_cnt", [](R& r) { r.cap_data.nic_cap_ext_hxu_cap_ext.process_perf_cnt = 1; },
         [](const R& r) -> uint64_t { return r.cap_data.nic_cap_ext_hxu_cap_ext.process_perf_cnt; }, 1, {{24, 0x40}}},
    };
    check_field_bits<R>(rows, 128, reg_access_hca_nic_cap_ext_reg_ext_pack, reg_access_hca_nic_cap_ext_reg_ext_unpack);
}

TEST(PerfControlRegister, EveryFieldAtItsImageBits)
{
    using R = reg_access_hca_nic_hxu_perf_ctrl_reg_ext;
    const std::vector<FieldBits<R>> rows = {
        {"hxu_process_id", [](R& r) { r.hxu_process_id = ~0u; }, [](const R& r) -> uint64_t { return r.hxu_process_id; },
         0xFFFFFFFF, whole_bytes(0, 3)},
        {"other_vhca_id", [](R& r) { r.other_vhca_id = 0xFFFF; }, [](const R& r) -> uint64_t { return r.other_vhca_id; },
         0xFFFF, whole_bytes(6, 7)},
        {"sample_type", [](R& r) { r.sample_type = 7; }, [](const R& r) -> uint64_t { return r.sample_type; }, 7,
         {{4, 0x07}}},
        {"other_vhca_id_valid", [](R& r) { r.other_vhca_id_valid = 1; },
         [](const R& r) -> uint64_t { return r.other_vhca_id_valid; }, 1, {{4, 0x08}}},
        {"count_state", [](R& r) { r.count_state = 3; }, [](const R& r) -> uint64_t { return r.count_state; }, 3,
         {{4, 0xC0}}},
    };
    check_field_bits<R>(rows, 64, reg_access_hca_nic_hxu_perf_ctrl_reg_ext_pack,
                        reg_access_hca_nic_hxu_perf_ctrl_reg_ext_unpack);
}

TEST(EuGroupRegister, SizesOfTheFourRegisters)
{
    EXPECT_EQ(reg_access_hca_nic_hxu_eug_reg_ext_size(), 256u);
    EXPECT_EQ(reg_access_hca_nic_hxu_eu_partition_reg_ext_size(), 768u);
    EXPECT_EQ(reg_access_hca_nic_cap_ext_reg_ext_size(), 128u);
    EXPECT_EQ(reg_access_hca_nic_hxu_perf_ctrl_reg_ext_size(), 64u);
    EXPECT_EQ(reg_access_hca_nic_cap_ext_reg_cap_data_auto_ext_size(), 112u);
    EXPECT_EQ(reg_access_hca_nic_cap_ext_hxu_cap_ext_size(), 112u);
}

TEST(EuGroupRegister, DestroyOfGroupFive)
{
    reg_access_hca_nic_hxu_eug_reg_ext rec{};
    rec.eug_id = 5;
    rec.operation = 2;
    Image expect(256, 0);
    expect[0] = 0x20;
    expect[3] = 0x05;
    EXPECT_EQ(pack_zeroed(rec, 256, reg_access_hca_nic_hxu_eug_reg_ext_pack), expect);
}

TEST(EuGroupRegister, GroupWithNameAndMembers)
{
    char name[16] = "grp1";
    reg_access_hca_nic_hxu_eug_reg_ext rec{};
    rec.eug_id = 5;
    for (int i = 0; i < 4; ++i)
        rec.eug_name[i] = name_word(name, i);
    rec.member_mask[0] = 0xF;      // EUs 0-3
    rec.member_mask[1] = 1u << 8;  // EU 40
    Image expect(256, 0);
    expect[3] = 0x05;
    expect[16] = '1';
    expect[17] = 'p';
    expect[18] = 'r';
    expect[19] = 'g';
    expect[67] = 0x0F;
    expect[70] = 0x01;
    const Image img = pack_zeroed(rec, 256, reg_access_hca_nic_hxu_eug_reg_ext_pack);
    EXPECT_EQ(img, expect);

    reg_access_hca_nic_hxu_eug_reg_ext back{};
    reg_access_hca_nic_hxu_eug_reg_ext_unpack(&back, expect.data());
    EXPECT_EQ(memcmp(&back, &rec, sizeof(rec)), 0);
    char read_name[17] = {};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            read_name[4 * i + j] = static_cast<char>(back.eug_name[i] >> (8 * j));
    EXPECT_STREQ(read_name, "grp1");
}

TEST(EuGroupRegister, NameBytesTravelReversedPerWord)
{
    char name[16] = "abcdefgh";
    reg_access_hca_nic_hxu_eug_reg_ext rec{};
    for (int i = 0; i < 4; ++i)
        rec.eug_name[i] = name_word(name, i);
    const Image img = pack_zeroed(rec, 256, reg_access_hca_nic_hxu_eug_reg_ext_pack);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&img[16]), 8), "dcbahgfe");
    for (int i = 24; i < 32; ++i)
        EXPECT_EQ(img[i], 0) << i;
}

TEST(EuGroupRegister, PrintFormat)
{
    reg_access_hca_nic_hxu_eug_reg_ext rec{};
    rec.eug_id = 5;
    rec.operation = 1;
    rec.modify_field_select = 1;
    rec.eug_name[0] = 0x31707267;
    rec.member_mask[0] = 0xF;
    rec.member_mask[31] = 0x80000000u;
    const std::string text = capture_output([&](FILE* f) { reg_access_hca_nic_hxu_eug_reg_ext_print(&rec, f, 0); });
    const std::string head =
        "======== reg_access_hca_nic_hxu_eug_reg_ext ========\n"
        "eug_id               : 0x5\n"
        "operation            : MODIFY (0x1)\n"
        "modify_field_select  : member_mask (0x00000001)\n"
        "eug_name_000        : 0x31707267\n"
        "eug_name_001        : 0x00000000\n"
        "eug_name_002        : 0x00000000\n"
        "eug_name_003        : 0x00000000\n"
        "member_mask_000     : 0x0000000f\n"
        "member_mask_001     : 0x00000000\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    const std::string tail = "member_mask_030     : 0x00000000\nmember_mask_031     : 0x80000000\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 3 + 4 + 32);

    rec.modify_field_select = 0;
    rec.operation = 2;
    const std::string dump = capture_output([&](FILE* f) { reg_access_hca_nic_hxu_eug_reg_ext_dump(&rec, f); });
    EXPECT_NE(dump.find("operation            : DESTROY (0x2)\n"), std::string::npos);
    EXPECT_NE(dump.find("modify_field_select  : unknown (0x00000000)\n"), std::string::npos);
}

TEST(PartitionRegister, PartitionWithThreeVhcaIds)
{
    reg_access_hca_nic_hxu_eu_partition_reg_ext rec{};
    rec.eu_partition_id = 7;
    rec.operation = 1;
    rec.modify_field_select = 4;
    rec.max_num_eug = 4;
    rec.num_vhca_id = 3;
    rec.member_mask[0] = 0xF;
    rec.vhca_id[0] = 1;
    rec.vhca_id[1] = 2;
    rec.vhca_id[2] = 3;
    rec.vhca_id[255] = 0xBEEF;
    Image expect(768, 0);
    expect[0] = 0x10;
    expect[3] = 0x07;
    expect[7] = 0x04;
    expect[9] = 0x03;
    expect[11] = 0x04;
    expect[67] = 0x0F;
    const uint8_t vhca[] = {0x00, 0x01, 0x00, 0x02, 0x00, 0x03};
    memcpy(&expect[192], vhca, sizeof(vhca));
    expect[702] = 0xBE;
    expect[703] = 0xEF;
    EXPECT_EQ(pack_zeroed(rec, 768, reg_access_hca_nic_hxu_eu_partition_reg_ext_pack), expect);

    // Reserved bytes are ignored on unpack.
    Image reply = expect;
    for (size_t i = 704; i < 768; ++i)
        reply[i] = 0xFF;
    reply[8] = 0xFF;
    reg_access_hca_nic_hxu_eu_partition_reg_ext back{};
    reg_access_hca_nic_hxu_eu_partition_reg_ext_unpack(&back, reply.data());
    EXPECT_EQ(memcmp(&back, &rec, sizeof(rec)), 0);
}

TEST(PartitionRegister, PrintShowsTheRegistersOwnOperationNames)
{
    reg_access_hca_nic_hxu_eu_partition_reg_ext rec{};
    rec.num_vhca_id = 2;
    rec.max_num_eug = 3;
    rec.modify_field_select = 2;
    rec.vhca_id[1] = 0x12;
    const std::string text =
        capture_output([&](FILE* f) { reg_access_hca_nic_hxu_eu_partition_reg_ext_print(&rec, f, 1); });
    const std::string head =
        "\t======== reg_access_hca_nic_hxu_eu_partition_reg_ext ========\n"
        "\teu_partition_id      : 0x0\n"
        "\toperation            : CRETAE (0x0)\n"
        "\tmodify_field_select  : max_num_eug (0x00000002)\n"
        "\tmax_num_eug          : 0x3\n"
        "\tnum_vhca_id          : 0x2\n"
        "\tmember_mask_000     : 0x00000000\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_NE(text.find("\tvhca_id_001         : 0x12\n"), std::string::npos);
    EXPECT_NE(text.find("\tvhca_id_255         : 0x0\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 5 + 32 + 256);
}

TEST(CapabilityRegister, ReplyBytesGiveTheLimits)
{
    Image reply(128, 0);
    reply[1] = 0x01;   // cap_group HXU_CAP
    reply[16] = 0x04;  // max_num_hxu_eu 1024
    reply[19] = 0x10;  // max_num_hxu_eug 16
    reply[21] = 0x40;  // max_num_hxu_eu_per_group 64
    reply[23] = 0x08;  // max_num_hxu_eu_partition 8
    reply[24] = 0x01;
    reply[25] = 0x00;
    reply[26] = 0x02;  // EVENT_TRACER
    reg_access_hca_nic_cap_ext_reg_ext rec{};
    reg_access_hca_nic_cap_ext_reg_ext_unpack(&rec, reply.data());
    const auto& cap = rec.cap_data.nic_cap_ext_hxu_cap_ext;
    EXPECT_EQ(rec.cap_group, 1);
    EXPECT_EQ(cap.max_num_hxu_eu, 1024);
    EXPECT_EQ(cap.max_num_hxu_eug, 16);
    EXPECT_EQ(cap.max_num_hxu_eu_per_group, 64);
    EXPECT_EQ(cap.max_num_hxu_eu_partition, 8);
    EXPECT_EQ(cap.max_num_partition_vhca_id, 256);
    EXPECT_EQ(cap.process_perf_cnt, 0);
    EXPECT_EQ(cap.hxu_perf_sample_type, 2);
    EXPECT_EQ(pack_zeroed(rec, 128, reg_access_hca_nic_cap_ext_reg_ext_pack), reply);

    reply[24] = 0x41;
    reply[25] = 0xFF;
    reg_access_hca_nic_cap_ext_reg_ext_unpack(&rec, reply.data());
    EXPECT_EQ(cap.max_num_partition_vhca_id, 511);
    EXPECT_EQ(cap.process_perf_cnt, 1);
    EXPECT_EQ(pack_zeroed(rec, 128, reg_access_hca_nic_cap_ext_reg_ext_pack), reply);
}

TEST(CapabilityRegister, PrintNestsTheUnionAndItsMember)
{
    reg_access_hca_nic_cap_ext_reg_ext rec{};
    rec.cap_group = 1;
    auto& cap = rec.cap_data.nic_cap_ext_hxu_cap_ext;
    cap.max_num_hxu_eug = 16;
    cap.max_num_hxu_eu = 1024;
    cap.max_num_hxu_eu_partition = 8;
    cap.max_num_hxu_eu_per_group = 64;
    cap.hxu_perf_sample_type = 2;
    cap.max_num_partition_vhca_id = 511;
    cap.process_perf_cnt = 1;
    EXPECT_EQ(capture_output([&](FILE* f) { reg_access_hca_nic_cap_ext_reg_ext_dump(&rec, f); }),
              "======== reg_access_hca_nic_cap_ext_reg_ext ========\n"
              "cap_group            : HXU_CAP (0x1)\n"
              "cap_data:\n"
              "\t======== reg_access_hca_nic_cap_ext_reg_cap_data_auto_ext ========\n"
              "\tnic_cap_ext_hxu_cap_ext:\n"
              "\t\t======== reg_access_hca_nic_cap_ext_hxu_cap_ext ========\n"
              "\t\tmax_num_hxu_eug      : 0x10\n"
              "\t\tmax_num_hxu_eu       : 0x400\n"
              "\t\tmax_num_hxu_eu_partition : 0x8\n"
              "\t\tmax_num_hxu_eu_per_group : 0x40\n"
              "\t\thxu_perf_sample_type : EVENT_TRACER (0x2)\n"
              "\t\tmax_num_partition_vhca_id : 0x1ff\n"
              "\t\tprocess_perf_cnt     : 0x1\n");
    rec.cap_group = 2;
    cap.hxu_perf_sample_type = 0;
    const std::string text = capture_output([&](FILE* f) { reg_access_hca_nic_cap_ext_reg_ext_dump(&rec, f); });
    EXPECT_NE(text.find("cap_group            : unknown (0x2)\n"), std::string::npos);
    EXPECT_NE(text.find("\t\thxu_perf_sample_type : unknown (0x0)\n"), std::string::npos);
}

TEST(PerfControlRegister, PackUnpackAndPrint)
{
    reg_access_hca_nic_hxu_perf_ctrl_reg_ext rec{};
    rec.hxu_process_id = 0x12345678;
    rec.other_vhca_id = 0x0203;
    rec.sample_type = 1;
    rec.other_vhca_id_valid = 1;
    rec.count_state = 3;
    Image expect(64, 0);
    expect[0] = 0x12;
    expect[1] = 0x34;
    expect[2] = 0x56;
    expect[3] = 0x78;
    expect[4] = 0xC9;  // count_state 0xC0, other_vhca_id_valid 0x08, sample_type 0x01
    expect[6] = 0x02;
    expect[7] = 0x03;
    EXPECT_EQ(pack_zeroed(rec, 64, reg_access_hca_nic_hxu_perf_ctrl_reg_ext_pack), expect);
    reg_access_hca_nic_hxu_perf_ctrl_reg_ext back{};
    reg_access_hca_nic_hxu_perf_ctrl_reg_ext_unpack(&back, expect.data());
    EXPECT_EQ(memcmp(&back, &rec, sizeof(rec)), 0);
    EXPECT_EQ(capture_output([&](FILE* f) { reg_access_hca_nic_hxu_perf_ctrl_reg_ext_print(&rec, f, 0); }),
              "======== reg_access_hca_nic_hxu_perf_ctrl_reg_ext ========\n"
              "hxu_process_id       : 0x12345678\n"
              "other_vhca_id        : 0x203\n"
              "sample_type          : EVENT_TRACER (0x1)\n"
              "other_vhca_id_valid  : 0x1\n"
              "count_state          : RESET_COUNTERS (0x3)\n");
}

TEST(PerfControlRegister, TooWideValuesAreCutAndLeaveTheirNeighbours)
{
    reg_access_hca_nic_hxu_perf_ctrl_reg_ext rec{};
    rec.sample_type = 0xFF;  // 3 bits
    rec.count_state = 0x05;  // 2 bits
    const Image img = pack_zeroed(rec, 64, reg_access_hca_nic_hxu_perf_ctrl_reg_ext_pack);
    EXPECT_EQ(img[4], 0x47);
    reg_access_hca_nic_hxu_perf_ctrl_reg_ext back{};
    reg_access_hca_nic_hxu_perf_ctrl_reg_ext_unpack(&back, img.data());
    EXPECT_EQ(back.sample_type, 7);
    EXPECT_EQ(back.count_state, 1);
    EXPECT_EQ(back.other_vhca_id_valid, 0);
}

}  // namespace
