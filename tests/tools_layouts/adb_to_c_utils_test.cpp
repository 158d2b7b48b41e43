// The adb2c_ routines: bit and integer fields of big- and little-endian images, array element
// positions, the raw dump and the look-ups in the description tables.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "adb_to_c_utils.h"
#include "layout_test_util.h"
#include "reg_access_hca_layouts.h"

namespace {

// Independent model of a big-endian image: bit position p is bit (7 - p % 8) of byte p / 8.
bool model_bit(const std::vector<uint8_t>& img, uint32_t p)
{
    return (img[p / 8] >> (7 - p % 8)) & 1;
}

void model_set_bit(std::vector<uint8_t>& img, uint32_t p, bool v)
{
    const uint8_t m = static_cast<uint8_t>(1u << (7 - p % 8));
    img[p / 8] = v ? (img[p / 8] | m) : (img[p / 8] & ~m);
}

TEST(BitFields, SpecimenPushes)
{
    uint8_t byte = 0;
    adb2c_push_bits_to_buff(&byte, 1, 3, 2);
    EXPECT_EQ(byte, 0x20);

    std::vector<uint8_t> img(12, 0xAA);
    adb2c_push_bits_to_buff(img.data(), 71, 9, 0x1FF);
    EXPECT_EQ(img[8], 0xAB);  // only bit 0 of byte 8 is the field's
    EXPECT_EQ(img[9], 0xFF);
    for (size_t i = 0; i < img.size(); ++i) {
        if (i != 8 && i != 9) {
            EXPECT_EQ(img[i], 0xAA) << "byte " << i;
        }
    }
    EXPECT_EQ(adb2c_pop_bits_from_buff(img.data(), 71, 9), 0x1FFu);
}

TEST(BitFields, ValueIsCutToTheFieldWidth)
{
    uint8_t img[2] = {0, 0};
    adb2c_push_bits_to_buff(img, 4, 3, 0xFF);
    EXPECT_EQ(img[0], 0x0E);
    EXPECT_EQ(img[1], 0x00);
    EXPECT_EQ(adb2c_pop_bits_from_buff(img, 4, 3), 7u);
}

// Every width at every sub-byte offset, against the bit-by-bit model, with the bits around the
// field left as they were.
TEST(BitFields, AgreeWithBitModelAtEveryOffsetAndWidth)
{
    std::mt19937 rng(7);
    for (uint32_t width = 1; width <= 32; ++width) {
        for (uint32_t pos = 0; pos < 16; ++pos) {
            std::vector<uint8_t> img(8);
            for (auto& b : img)
                b = static_cast<uint8_t>(rng());
            std::vector<uint8_t> expect = img;
            const uint32_t value = static_cast<uint32_t>(rng());
            for (uint32_t k = 0; k < width; ++k)
                model_set_bit(expect, pos + k, (value >> (width - 1 - k)) & 1);
            adb2c_push_bits_to_buff(img.data(), pos, width, value);
            ASSERT_EQ(img, expect) << "width " << width << " at " << pos;
            uint32_t modelled = 0;
            for (uint32_t k = 0; k < width; ++k)
                modelled = (modelled << 1) | model_bit(img, pos + k);
            const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
            ASSERT_EQ(modelled, value & mask);
            ASSERT_EQ(adb2c_pop_bits_from_buff(img.data(), pos, width), modelled) << "width " << width << " at " << pos;
        }
    }
}

TEST(IntegerFields, BigEndianLengths)
{
    std::vector<uint8_t> img(16, 0);
    adb2c_push_integer_to_buff(img.data(), 32, 4, 0x1122334455667788ull);
    const std::vector<uint8_t> four = {0, 0, 0, 0, 0x55, 0x66, 0x77, 0x88, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(img, four);
    EXPECT_EQ(adb2c_pop_integer_from_buff(img.data(), 32, 4), 0x55667788u);

    std::vector<uint8_t> two(16, 0);
    adb2c_push_integer_to_buff(two.data(), 32, 2, 0xABCD1234u);
    EXPECT_EQ(two[4], 0x12);
    EXPECT_EQ(two[5], 0x34);
    EXPECT_EQ(two[6], 0x00);

    std::vector<uint8_t> eight(16, 0);
    adb2c_push_integer_to_buff(eight.data(), 64, 8, 0x0102030405060708ull);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(eight[8 + i], i + 1);
    EXPECT_EQ(adb2c_pop_integer_from_buff(eight.data(), 64, 8), 0x0102030405060708ull);
    // The byte position of an integer is bit_offset / 8.
    EXPECT_EQ(adb2c_pop_integer_from_buff(eight.data(), 70, 2), 0x0102u);

    // Every length writes its low bytes, most significant first, and nothing around them.
    for (uint32_t len = 1; len <= 8; ++len) {
        std::vector<uint8_t> any(12, 0xEE);
        adb2c_push_integer_to_buff(any.data(), 8, len, 0x1122334455667788ull);
        for (uint32_t i = 0; i < 12; ++i) {
            const uint8_t want = i >= 1 && i <= len ? static_cast<uint8_t>(0x88 + 0x11 * (i - len)) : 0xEE;
            ASSERT_EQ(any[i], want) << "length " << len << " byte " << i;
        }
        const uint64_t mask = len == 8 ? ~0ull : (1ull << (8 * len)) - 1;
        ASSERT_EQ(adb2c_pop_integer_from_buff(any.data(), 8, len), 0x1122334455667788ull & mask) << len;
    }
}

TEST(ArrayAddress, NarrowElementsFillEachDwordFromTheTop)
{
    const uint32_t sixteen[] = {1536, 1552, 1568, 1584};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(adb2c_calc_array_field_address(1552, 16, i, 6144, 1), sixteen[i]) << i;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(adb2c_calc_array_field_address(128, 32, i, 2048, 1), 128u + 32u * i) << i;
    // Bytes from element 0 at bit 256: start 280, consecutive bytes across dwords.
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(adb2c_calc_array_field_address(280, 8, i, 1024, 1), 256u + 8u * i) << i;
    // Element 0 in the record's first dword: the offset falls below zero and still maps up.
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(adb2c_calc_array_field_address(28, 4, i, 256, 1), 4u * i) << i;
    // A record narrower than a dword counts from its own end.
    EXPECT_EQ(adb2c_calc_array_field_address(8, 8, 0, 16, 1), 0u);
    EXPECT_EQ(adb2c_calc_array_field_address(8, 8, 1, 16, 1), 8u);
}

TEST(ArrayAddress, WideElementsFollowOneAnother)
{
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(adb2c_calc_array_field_address(1024, 64, i, 4096, 1), 1024u + 64u * i);
    EXPECT_EQ(adb2c_calc_array_field_address(32, 640, 2, 8192, 1), 32u + 1280u);
    EXPECT_EQ(adb2c_calc_array_field_address(40, 8, 3, 256, 0), 64u);
}

TEST(ArrayAddressDeathTest, WideElementNotAMultipleOf32StopsTheProcess)
{
    EXPECT_DEATH(adb2c_calc_array_field_address(0, 40, 1, 1024, 1), "!\\(arr_elemnt_size % 32\\)");
}

TEST(DwordOffsetFields, ConvertFromTheLeastSignificantEnd)
{
    std::vector<uint8_t> img(16, 0);
    adb2c_push_to_buf(img.data(), 0, 8, 0xAB);  // low byte of dword 0
    EXPECT_EQ(img[3], 0xAB);
    adb2c_push_to_buf(img.data(), 40, 4, 0xC);  // dword 1, bits 11-8
    EXPECT_EQ(img[6], 0x0C);
    EXPECT_EQ(adb2c_pop_from_buf(img.data(), 40, 4), 0xCu);
    adb2c_push_to_buf(img.data(), 64, 64, 0x0102030405060708ull);
    EXPECT_EQ(img[8], 0x01);
    EXPECT_EQ(img[15], 0x08);
    EXPECT_EQ(adb2c_pop_from_buf(img.data(), 64, 64), 0x0102030405060708ull);
    EXPECT_EQ(adb2c_pop_from_buf(img.data(), 0, 32), 0xABu);
}

TEST(LittleEndian, IntegersInHostOrderAndBitFieldsFromTheHighestByte)
{
    if (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
        GTEST_SKIP() << "the expected bytes are those of a little-endian host";
    std::vector<uint8_t> img(16, 0);
    adb2c_push_integer_to_buff_le(img.data(), 32, 4, 0x11223344u);
    EXPECT_EQ(img[4], 0x44);
    EXPECT_EQ(img[7], 0x11);
    EXPECT_EQ(adb2c_pop_integer_from_buff_le(img.data(), 32, 4), 0x11223344u);
    adb2c_push_integer_to_buff_le(img.data(), 64, 2, 0xAABBCCDDu);
    EXPECT_EQ(img[8], 0xDD);
    EXPECT_EQ(img[9], 0xCC);
    EXPECT_EQ(img[10], 0x00);

    std::vector<uint8_t> bits(4, 0);
    adb2c_push_bits_to_buff_le(bits.data(), 0, 16, 0xABCD);
    EXPECT_EQ(bits[0], 0xCD);
    EXPECT_EQ(bits[1], 0xAB);
    EXPECT_EQ(adb2c_pop_bits_from_buff_le(bits.data(), 0, 16), 0xABCDu);

    std::vector<uint8_t> twelve(4, 0);
    adb2c_push_bits_to_buff_le(twelve.data(), 0, 12, 0xABC);
    EXPECT_EQ(twelve[1], 0xA0);  // the first step: the 4 top bits, in the highest byte
    EXPECT_EQ(twelve[0], 0xBC);
    EXPECT_EQ(adb2c_pop_bits_from_buff_le(twelve.data(), 0, 12), 0xABCu);

    uint8_t byte = 0;
    adb2c_push_bits_to_buff_le(&byte, 1, 3, 2);
    EXPECT_EQ(byte, 0x20);

    std::vector<uint8_t> dw(8, 0);
    adb2c_push_to_buf_le(dw.data(), 0, 32, 0x01020304u);
    EXPECT_EQ(dw[0], 0x04);
    EXPECT_EQ(adb2c_pop_from_buf_le(dw.data(), 0, 32), 0x01020304u);
}

TEST(Printing, RawDumpAndIndentation)
{
    const uint8_t bytes[] = {1, 2, 3, 4, 0xA5, 0xFF};
    EXPECT_EQ(capture_output([&](FILE* f) { adb2c_print_raw(f, bytes, sizeof(bytes)); }),
              "\n0x00000000:  0x01 0x02 0x03 0x04\n0x00000004:  0xa5 0xff\n");
    EXPECT_EQ(capture_output([&](FILE* f) { adb2c_print_raw(f, bytes, 0); }), "\n");
    EXPECT_EQ(capture_output([](FILE* f) { adb2c_add_indentation(f, 3); }), "\t\t\t");
    EXPECT_EQ(capture_output([](FILE* f) { adb2c_add_indentation(f, 0); }), "");
}

TEST(DescriptionLookups, FindNodesFieldsAttributesAndValues)
{
    const adb2c_node_format* eug = adb2c_db_find_node(&reg_access_hca_db, "reg_access_hca_nic_hxu_eug_reg_ext");
    ASSERT_NE(eug, nullptr);
    EXPECT_EQ(eug->size, 256u);
    EXPECT_STREQ(adb2c_db_get_node_attr(eug, "kind"), "record");
    EXPECT_EQ(adb2c_db_get_node_attr(eug, "packs"), nullptr);

    const adb2c_field_format* op = adb2c_db_find_field(eug, "operation");
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->offset, 1u);
    EXPECT_EQ(op->size, 3u);
    EXPECT_EQ(adb2c_db_get_field_enum_val(op, "DESTROY"), 2);
    EXPECT_EQ(adb2c_db_get_field_enum_val(op, "REMOVE"), -1);
    EXPECT_STREQ(adb2c_db_get_field_enum_name(op, 1), "MODIFY");
    EXPECT_STREQ(adb2c_db_get_field_enum_name(op, 7), "Unknown Enum Value");
    EXPECT_STREQ(adb2c_db_get_field_attr(op, "kind"), "field");
    EXPECT_EQ(adb2c_db_get_field_attr(op, "selector"), nullptr);
    EXPECT_EQ(adb2c_db_find_field(eug, "no_such_field"), nullptr);

    const adb2c_field_format* mask = adb2c_db_find_field(eug, "member_mask");
    ASSERT_NE(mask, nullptr);
    EXPECT_EQ(mask->offset, 512u);
    EXPECT_EQ(mask->count, 32u);

    const adb2c_node_format* cap_union =
        adb2c_db_find_node(&reg_access_hca_db, "reg_access_hca_nic_cap_ext_reg_cap_data_auto_ext");
    ASSERT_NE(cap_union, nullptr);
    EXPECT_EQ(cap_union->is_union, 1);
    EXPECT_STREQ(adb2c_db_get_node_attr(cap_union, "packs"), "nic_cap_ext_hxu_cap_ext");

    EXPECT_EQ(adb2c_db_find_node(&reg_access_hca_db, "reg_access_hca_nic_hxu_eug"), nullptr);
    EXPECT_EQ(adb2c_db_find_node(nullptr, "x"), nullptr);
    EXPECT_EQ(adb2c_db_get_field_enum_val(nullptr, "x"), -1);
    EXPECT_STREQ(adb2c_db_get_field_enum_name(nullptr, 0), "Unknown Enum Value");
}

}  // namespace
