// Every generated record of every family, walked through the generated catalogues: a round trip
// through the image, agreement of the description tables with the pack code, and a self-check
// of every description row. New families are covered as soon as they are generated.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fixture_catalogue.h"
#include "layout_test_util.h"
#include "layouts_catalogue.h"

namespace {

struct Catalogue {
    const char* name;
    const layout_catalogue_entry* entries;
    size_t count;
};

const Catalogue kCatalogues[] = {
    {"layouts", layouts_catalogue, layouts_catalogue_count},
    {"fixture", fixture_catalogue, fixture_catalogue_count},
};

// A zeroed host record of the entry's type, suitably aligned.
struct RecordBuffer {
    explicit RecordBuffer(size_t size) : words((size + 7) / 8 + 1, 0) {}
    void* data() { return words.data(); }
    std::vector<uint64_t> words;
};

using Image = std::vector<uint8_t>;

std::string id(const layout_catalogue_entry& e)
{
    return e.name;
}

// Pack into a zeroed image, unpack, compare: run on the record that unpacking `source` gives.
void check_round_trip(const layout_catalogue_entry& e, const Image& source, const std::string& trial)
{
    SCOPED_TRACE(id(e) + " " + trial);
    RecordBuffer first(e.record_size), second(e.record_size);
    e.unpack(first.data(), source.data());
    Image packed(e.size(), 0);
    e.pack(first.data(), packed.data());
    e.unpack(second.data(), packed.data());
    ASSERT_EQ(memcmp(first.data(), second.data(), e.record_size), 0) << "unpack(pack(record)) differs";
    for (size_t i = 0; i < packed.size(); ++i)
        ASSERT_EQ(packed[i] & ~source[i], 0) << "pack set bits of byte " << i << " that the record did not hold";
    Image again(e.size(), 0);
    e.pack(second.data(), again.data());
    ASSERT_EQ(again, packed) << "packing the same record twice differs";
}

const layout_catalogue_entry* find_entry(const char* name)
{
    for (const Catalogue& cat : kCatalogues)
        for (size_t n = 0; n < cat.count; ++n)
            if (strcmp(cat.entries[n].name, name) == 0)
                return &cat.entries[n];
    return nullptr;
}

const adb2c_node_format* node_of(const layout_catalogue_entry& e)
{
    return adb2c_db_find_node(e.db, e.name);
}

TEST(LayoutCatalogue, EveryRecordRoundTripsThroughItsImage)
{
    std::mt19937 rng(2407);
    size_t records = 0;
    for (const Catalogue& cat : kCatalogues) {
        ASSERT_GT(cat.count, 0u) << cat.name;
        for (size_t n = 0; n < cat.count; ++n) {
            const layout_catalogue_entry& e = cat.entries[n];
            const adb2c_node_format* node = node_of(e);
            ASSERT_NE(node, nullptr) << e.name << " is missing from its description table";
            ++records;
            for (int trial = 0; trial < 16; ++trial) {
                Image source(e.size());
                for (auto& b : source)
                    b = static_cast<uint8_t>(rng());
                check_round_trip(e, source, "random image " + std::to_string(trial));
            }
            check_round_trip(e, Image(e.size(), 0xFF), "all ones");
            // Every alternative of every selected area, chosen through its selector.
            for (int f = 0; f < node->fields_len; ++f) {
                const adb2c_field_format& alt = node->fields[f];
                const char* selector = adb2c_db_get_field_attr(&alt, "selector");
                if (!selector)
                    continue;
                const adb2c_field_format* sel = adb2c_db_find_field(node, selector);
                ASSERT_NE(sel, nullptr) << e.name << "." << alt.name;
                const std::string values = adb2c_db_get_field_attr(&alt, "select_values");
                size_t start = 0;
                while (start < values.size()) {
                    const size_t comma = std::min(values.find(',', start), values.size());
                    const uint32_t v = static_cast<uint32_t>(std::stoul(values.substr(start, comma - start)));
                    Image source(e.size());
                    for (auto& b : source)
                        b = static_cast<uint8_t>(rng());
                    adb2c_push_bits_to_buff(source.data(), sel->offset, sel->size, v);
                    check_round_trip(e, source, std::string(alt.name) + " chosen by " + std::to_string(v));
                    start = comma + 1;
                }
            }
        }
    }
    EXPECT_GE(records, 6u);
}

// Unpacking an image of all ones and packing it again sets exactly the bits the record holds:
// each single field the description lists must come back all ones at its listed position.
TEST(LayoutCatalogue, DescriptionPositionsAgreeWithThePackCode)
{
    for (const Catalogue& cat : kCatalogues) {
        for (size_t n = 0; n < cat.count; ++n) {
            const layout_catalogue_entry& e = cat.entries[n];
            const adb2c_node_format* node = node_of(e);
            ASSERT_NE(node, nullptr) << e.name;
            RecordBuffer rec(e.record_size);
            e.unpack(rec.data(), Image(e.size(), 0xFF).data());
            Image packed(e.size(), 0);
            e.pack(rec.data(), packed.data());
            for (int f = 0; f < node->fields_len; ++f) {
                const adb2c_field_format& field = node->fields[f];
                if (strcmp(adb2c_db_get_field_attr(&field, "kind"), "field") != 0)
                    continue;
                SCOPED_TRACE(std::string(e.name) + "." + field.name);
                if (field.size == 64) {
                    EXPECT_EQ(adb2c_pop_integer_from_buff(packed.data(), field.offset, 8), ~0ull);
                } else {
                    const uint32_t ones = field.size == 32 ? 0xFFFFFFFFu : (1u << field.size) - 1;
                    EXPECT_EQ(adb2c_pop_bits_from_buff(packed.data(), field.offset, field.size), ones);
                }
            }
        }
    }
}

TEST(LayoutCatalogue, PrintAndDumpIndentEveryLine)
{
    for (const Catalogue& cat : kCatalogues) {
        for (size_t n = 0; n < cat.count; ++n) {
            const layout_catalogue_entry& e = cat.entries[n];
            SCOPED_TRACE(e.name);
            RecordBuffer rec(e.record_size);
            const std::string header = std::string("======== ") + e.name + " ========\n";
            const std::string dump = capture_output([&](FILE* f) { e.dump(rec.data(), f); });
            EXPECT_EQ(dump.substr(0, header.size()), header);
            const std::string printed = capture_output([&](FILE* f) { e.print(rec.data(), f, 2); });
            EXPECT_EQ(printed.substr(0, header.size() + 2), "\t\t" + header);
            size_t lines = 0;
            for (size_t at = 0; at < printed.size(); at = printed.find('\n', at) + 1) {
                EXPECT_EQ(printed.compare(at, 2, "\t\t"), 0) << "line " << lines << " is not indented";
                ++lines;
            }
            EXPECT_EQ(lines, static_cast<size_t>(std::count(dump.begin(), dump.end(), '\n')));
        }
    }
}

// Invariants of every row of every description table, naming the row that breaks one.
TEST(LayoutCatalogue, DescriptionTablesSelfCheck)
{
    for (const Catalogue& cat : kCatalogues) {
        for (size_t n = 0; n < cat.count; ++n) {
            const layout_catalogue_entry& e = cat.entries[n];
            const adb2c_node_format* node = node_of(e);
            ASSERT_NE(node, nullptr) << e.name;
            EXPECT_EQ(node->size, e.size()) << e.name << ": description size differs from _size()";
            EXPECT_GT(node->size, 0u) << e.name;
            const char* kind = adb2c_db_get_node_attr(node, "kind");
            ASSERT_NE(kind, nullptr) << e.name;
            EXPECT_STREQ(kind, node->is_union ? "union" : "record") << e.name;
            if (node->is_union) {
                EXPECT_NE(adb2c_db_find_field(node, adb2c_db_get_node_attr(node, "packs")), nullptr)
                    << e.name << ": the member it packs is not one of its fields";
            }
            for (int f = 0; f < node->fields_len; ++f) {
                const adb2c_field_format& field = node->fields[f];
                const std::string row = std::string(e.name) + "." + field.name;
                EXPECT_EQ(adb2c_db_find_field(node, field.name), &field) << row << ": name not unique";
                const char* fkind = adb2c_db_get_field_attr(&field, "kind");
                ASSERT_NE(fkind, nullptr) << row;
                const std::string k = fkind;
                if (k == "field") {
                    EXPECT_TRUE((field.size >= 1 && field.size <= 32) || field.size == 64) << row << ": width";
                    EXPECT_LE(field.offset + field.size, node->size * 8) << row << ": element 0 past the end";
                } else if (k == "node" || k == "select" || k == "member") {
                    ASSERT_NE(field.subnode, nullptr) << row;
                    const layout_catalogue_entry* sub = find_entry(field.subnode);
                    ASSERT_NE(sub, nullptr) << row << ": nested record " << field.subnode << " is not generated";
                    EXPECT_EQ(field.size, sub->size() * 8) << row << ": width differs from the nested record's";
                    EXPECT_EQ(field.offset % 8, 0u) << row << ": nested record off a byte boundary";
                }
                for (int v = 0; v < field.enums_len; ++v) {
                    const adb2c_enum_format& ev = field.enums[v];
                    if (field.size < 64) {
                        EXPECT_LT(ev.val, 1ull << field.size) << row << " value " << ev.name << ": too wide";
                    }
                    EXPECT_EQ(adb2c_db_get_field_enum_val(&field, ev.name), static_cast<int64_t>(ev.val))
                        << row << " value " << ev.name << ": name not unique";
                    EXPECT_STREQ(adb2c_db_get_field_enum_name(&field, ev.val), ev.name)
                        << row << " value " << ev.val << ": value not unique";
                }
            }
        }
    }
}

}  // namespace
