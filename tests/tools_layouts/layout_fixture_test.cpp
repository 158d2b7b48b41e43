// The generated code for every kind of line of the layout format, on the test-only fixture
// families: selected areas, unions, pointer members, narrow and wide arrays, nested arrays,
// 64-bit fields, empty records and records nested across families.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fixture_sel_layouts.h"
#include "layout_test_util.h"

namespace {


fixture_sel_reg sample_sel(uint8_t kind)
{
    fixture_sel_reg rec{};
    rec.kind = kind;
    for (int i = 0; i < 8; ++i)
        rec.nibbles[i] = static_cast<uint8_t>(i + 1);
    rec.wide = 0x0102030405060708ull;
    for (int i = 0; i < 4; ++i)
        rec.bytes[i].val = static_cast<uint8_t>(0xA0 + i);
    rec.halves[0] = 0xAAAA;
    rec.halves[1] = 0xBBBB;
    return rec;
}

Image pack_sel(const fixture_sel_reg& rec)
{
    Image img(fixture_sel_reg_size(), 0);
    fixture_sel_reg_pack(&rec, img.data());
    return img;
}

TEST(FixtureLayouts, ArraysAndWideFieldsLandAtTheirBytes)
{
    const Image img = pack_sel(sample_sel(3));
    ASSERT_EQ(img.size(), 32u);
    EXPECT_EQ(img[0], 0x03);
    const uint8_t nibbles[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(memcmp(&img[4], nibbles, 4), 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(img[8 + i], i + 1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(img[24 + i], 0xA0 + i);
    const uint8_t halves[] = {0xAA, 0xAA, 0xBB, 0xBB};
    EXPECT_EQ(memcmp(&img[28], halves, 4), 0);
}

TEST(FixtureLayouts, SelectorChoosesTheAlternativeOfTheArea)
{
    fixture_sel_reg a = sample_sel(0);
    a.alt_a.a = 0x1234;
    a.alt_a.a2 = 0x55667788;
    Image img = pack_sel(a);
    const uint8_t alt_a[] = {0x12, 0x34, 0, 0, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(memcmp(&img[16], alt_a, 8), 0);

    for (uint8_t kind : {1, 2, 0x21}) {  // 0x21 is cut to the selector's 5 bits: 1
        fixture_sel_reg b = sample_sel(kind);
        b.alt_b.b = 0xCAFEF00D;
        img = pack_sel(b);
        const uint8_t alt_b[] = {0xCA, 0xFE, 0xF0, 0x0D, 0, 0, 0, 0};
        EXPECT_EQ(memcmp(&img[16], alt_b, 8), 0) << "kind " << int(kind);
    }

    // A value without an alternative packs, unpacks and prints no area.
    fixture_sel_reg none = sample_sel(3);
    none.alt_a.a = 0x1234;
    none.alt_a.a2 = 0x55667788;
    img = pack_sel(none);
    for (int i = 16; i < 24; ++i)
        EXPECT_EQ(img[i], 0) << i;
    img[16] = 0x99;
    fixture_sel_reg back{};
    back.alt_a.a = 0x4242;
    fixture_sel_reg_unpack(&back, img.data());
    EXPECT_EQ(back.kind, 3);
    EXPECT_EQ(back.alt_a.a, 0x4242) << "unpack touched an area no alternative was chosen for";
    const std::string text = capture_output([&](FILE* f) { fixture_sel_reg_print(&none, f, 0); });
    EXPECT_EQ(text.find("alt_a:"), std::string::npos);
    EXPECT_EQ(text.find("alt_b:"), std::string::npos);
}

TEST(FixtureLayouts, UnpackReadsTheSelectorBeforeTheArea)
{
    Image img(32, 0);
    img[0] = 0x02;  // B_TOO: alt_b
    img[16] = 0xDE;
    img[17] = 0xAD;
    img[18] = 0xBE;
    img[19] = 0xEF;
    fixture_sel_reg rec{};
    fixture_sel_reg_unpack(&rec, img.data());
    EXPECT_EQ(rec.alt_b.b, 0xDEADBEEFu);
}

TEST(FixtureLayouts, PrintOfSelectedAreaNestedArraysAndOpenArray)
{
    fixture_sel_reg rec = sample_sel(0);
    rec.alt_a.a = 1;
    const std::string text = capture_output([&](FILE* f) { fixture_sel_reg_dump(&rec, f); });
    const std::string expect =
        "======== fixture_sel_reg ========\n"
        "kind                 : A (0x0)\n"
        "nibbles_000         : 0x1\n"
        "nibbles_001         : 0x2\n"
        "nibbles_002         : 0x3\n"
        "nibbles_003         : 0x4\n"
        "nibbles_004         : 0x5\n"
        "nibbles_005         : 0x6\n"
        "nibbles_006         : 0x7\n"
        "nibbles_007         : 0x8\n"
        "wide                 : 0x0102030405060708\n"
        "alt_a:\n"
        "\t======== fixture_alt_a ========\n"
        "\ta                    : ONE (0x1)\n"
        "\ta2                   : 0x00000000\n"
        "bytes_000:\n"
        "\t======== fixture_byte ========\n"
        "\tval                  : 0xa0\n"
        "bytes_001:\n"
        "\t======== fixture_byte ========\n"
        "\tval                  : 0xa1\n"
        "bytes_002:\n"
        "\t======== fixture_byte ========\n"
        "\tval                  : 0xa2\n"
        "bytes_003:\n"
        "\t======== fixture_byte ========\n"
        "\tval                  : 0xa3\n"
        "halves_000          : 0xaaaa\n"
        "halves_001          : 0xbbbb\n"
        "unlimited array subnode: (extra)\n";
    EXPECT_EQ(text, expect);
}

TEST(FixtureLayouts, UnionPacksThroughItsLastMemberAndPrintsAll)
{
    fixture_holder rec{};
    rec.tag = 0xDEADBEEF;
    rec.u.second.b = 0x11111111;  // the last member: packed
    Image img(fixture_holder_size(), 0x5A);
    fixture_holder_pack(&rec, img.data());
    // The first member's second word lies past the last member: left as it was.
    const Image expect = {0xDE, 0xAD, 0xBE, 0xEF, 0x11, 0x11, 0x11, 0x11, 0x5A, 0x5A, 0x5A, 0x5A};
    EXPECT_EQ(img, expect);

    fixture_holder back{};
    fixture_holder_unpack(&back, expect.data());
    EXPECT_EQ(back.u.second.b, 0x11111111u);
    EXPECT_EQ(back.u.first.lo, 0u) << "unpack read past the last member";

    EXPECT_EQ(fixture_union_size(), 8u);
    const std::string text = capture_output([&](FILE* f) { fixture_holder_print(&back, f, 0); });
    EXPECT_EQ(text,
              "======== fixture_holder ========\n"
              "tag                  : BEEF (0xdeadbeef)\n"
              "u:\n"
              "\t======== fixture_union ========\n"
              "\tfirst:\n"
              "\t\t======== fixture_pair ========\n"
              "\t\thi                   : 0x11111111\n"
              "\t\tlo                   : 0x00000000\n"
              "\tsecond:\n"
              "\t\t======== fixture_alt_b ========\n"
              "\t\tb                    : 0x11111111\n");
}

TEST(FixtureLayouts, UnionNamingItsMemberPacksThroughThatMember)
{
    fixture_union_first rec{};
    rec.first.hi = 0x01020304;
    rec.first.lo = 0x05060708;
    Image img(fixture_union_first_size(), 0x5A);
    fixture_union_first_pack(&rec, img.data());
    // Through the last member only bytes 0-3 would be written.
    const Image expect = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    EXPECT_EQ(img, expect);

    fixture_union_first back{};
    fixture_union_first_unpack(&back, expect.data());
    EXPECT_EQ(back.first.hi, 0x01020304u);
    EXPECT_EQ(back.first.lo, 0x05060708u);
}

TEST(FixtureLayouts, PointerMemberMovesLengthOverFourWords)
{
    EXPECT_EQ(fixture_ptr_reg_size(), 8u);
    uint32_t data[3] = {0x01020304, 0x05060708, 0x090A0B0C};
    fixture_ptr_reg rec{};
    rec.length = 12;
    rec.index = 5;
    rec.end = 1;
    rec.start = 704;
    rec.data = data;
    Image img(8 + 12, 0);
    fixture_ptr_reg_pack(&rec, img.data());
    const Image expect = {0x58, 0, 0, 12, 0, 0, 0x02, 0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(img, expect);

    uint32_t read[3] = {};
    fixture_ptr_reg back{};
    back.data = read;
    fixture_ptr_reg_unpack(&back, img.data());
    EXPECT_EQ(back.length, 12u);
    EXPECT_EQ(memcmp(read, data, sizeof(data)), 0);

    const std::string text = capture_output([&](FILE* f) { fixture_ptr_reg_print(&rec, f, 0); });
    EXPECT_EQ(text,
              "======== fixture_ptr_reg ========\n"
              "length               : 0xc\n"
              "index                : 0x5\n"
              "end                  : 0x1\n"
              "start                : 0x000002c0\n"
              "data_000            : 0x01020304\n"
              "data_001            : 0x05060708\n"
              "data_002            : 0x090a0b0c\n");
}

TEST(FixtureLayouts, NullPointerMovesNoData)
{
    fixture_ptr_reg rec{};
    rec.length = 4096;
    Image img(8, 0);  // the fixed part only: any data access would overrun it
    fixture_ptr_reg_pack(&rec, img.data());
    fixture_ptr_reg back{};
    fixture_ptr_reg_unpack(&back, img.data());
    EXPECT_EQ(back.length, 4096u);
    EXPECT_EQ(back.data, nullptr);
    const std::string text = capture_output([&](FILE* f) { fixture_ptr_reg_print(&back, f, 0); });
    EXPECT_EQ(text.find("data_"), std::string::npos);
}

TEST(FixtureLayouts, WideNestedElementsAndEmptyRecords)
{
    fixture_pairs rec{};
    for (int i = 0; i < 3; ++i) {
        rec.pairs[i].hi = 0x10u * (i + 1);
        rec.pairs[i].lo = 0x01u * (i + 1);
    }
    Image img(fixture_pairs_size(), 0);
    fixture_pairs_pack(&rec, img.data());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(img[8 * i + 3], 0x10 * (i + 1)) << i;
        EXPECT_EQ(img[8 * i + 7], i + 1) << i;
    }

    fixture_empty empty{};
    Image four(4, 0x5A);
    fixture_empty_pack(&empty, four.data());
    EXPECT_EQ(four, Image(4, 0x5A));
    fixture_empty_unpack(&empty, four.data());
    EXPECT_EQ(fixture_empty_size(), 4u);
    EXPECT_EQ(capture_output([&](FILE* f) { fixture_empty_print(&empty, f, 1); }),
              "\t======== fixture_empty ========\n");
}

TEST(FixtureLayouts, DescriptionTableListsSelectorsAndPointers)
{
    const adb2c_node_format* node = adb2c_db_find_node(&fixture_sel_db, "fixture_sel_reg");
    ASSERT_NE(node, nullptr);
    const adb2c_field_format* alt_b = adb2c_db_find_field(node, "alt_b");
    ASSERT_NE(alt_b, nullptr);
    EXPECT_STREQ(adb2c_db_get_field_attr(alt_b, "kind"), "select");
    EXPECT_STREQ(adb2c_db_get_field_attr(alt_b, "selector"), "kind");
    EXPECT_STREQ(adb2c_db_get_field_attr(alt_b, "select_values"), "1,2");
    EXPECT_STREQ(alt_b->subnode, "fixture_alt_b");
    EXPECT_EQ(alt_b->offset, 128u);
    const adb2c_field_format* nibbles = adb2c_db_find_field(node, "nibbles");
    ASSERT_NE(nibbles, nullptr);
    EXPECT_EQ(nibbles->offset, 32u);
    EXPECT_EQ(nibbles->count, 8u);
    EXPECT_STREQ(adb2c_db_get_field_attr(adb2c_db_find_field(node, "extra"), "kind"), "open");

    const adb2c_node_format* ptr = adb2c_db_find_node(&fixture_sel_db, "fixture_ptr_reg");
    ASSERT_NE(ptr, nullptr);
    EXPECT_STREQ(adb2c_db_get_field_attr(adb2c_db_find_field(ptr, "data"), "count"), "length/4");
    // Records of the nested family live in their own family's table.
    EXPECT_EQ(adb2c_db_find_node(&fixture_sel_db, "fixture_pair"), nullptr);
    EXPECT_NE(adb2c_db_find_node(&fixture_base_db, "fixture_pair"), nullptr);
}

}  // namespace
