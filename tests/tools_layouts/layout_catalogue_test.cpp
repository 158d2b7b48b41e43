// Every generated record of every family, walked through the generated catalogues: a round trip
// through the image, agreement of the description tables with the pack code, and a self-check
// of every description row (sizes, overlaps, selector values). New families are covered as soon
// as they are generated.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
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
                ASSERT_GT(node->fields_len, 0) << e.name;
                const char* packs = adb2c_db_get_node_attr(node, "packs");
                ASSERT_NE(packs, nullptr) << e.name;
                EXPECT_NE(adb2c_db_find_field(node, packs), nullptr) << e.name << ": a union packs one of its members";
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

// ---- bit geometry of the description rows ----

std::string kind_of(const adb2c_field_format& f)
{
    const char* k = adb2c_db_get_field_attr(&f, "kind");
    return k ? k : "";
}

// Bit position of element i of a row, from element 0's own position as the table gives it.
uint32_t element_at(const adb2c_node_format& node, const adb2c_field_format& f, uint32_t i)
{
    if (f.size > 32)
        return f.offset + i * f.size;
    const uint32_t bits = node.size * 8;
    const uint32_t node_width = bits < 32 ? bits : 32;
    const uint32_t start = node_width + 2 * (f.offset & ~31u) - f.size - f.offset;
    return adb2c_calc_array_field_address(start, f.size, static_cast<int>(i), bits, 1);
}

// Rows whose bits occupy the image, element by element: pointers and open arrays have none.
bool occupies(const adb2c_field_format& f)
{
    const std::string k = kind_of(f);
    return k == "field" || k == "node" || k == "select" || k == "member";
}

// Alternatives of one area: union members, or the selected alternatives of one selector there.
bool share_area(const adb2c_field_format& a, const adb2c_field_format& b)
{
    const std::string ka = kind_of(a), kb = kind_of(b);
    if (ka == "member" && kb == "member")
        return true;
    return ka == "select" && kb == "select" && a.offset == b.offset &&
           strcmp(adb2c_db_get_field_attr(&a, "selector"), adb2c_db_get_field_attr(&b, "selector")) == 0;
}

std::vector<uint64_t> select_values(const adb2c_field_format& alt)
{
    std::vector<uint64_t> values;
    const std::string text = adb2c_db_get_field_attr(&alt, "select_values");
    for (size_t start = 0; start < text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        values.push_back(std::stoull(text.substr(start, comma - start)));
        start = comma + 1;
    }
    return values;
}

// Every record's rows stay inside its image and claim no bit twice, except alternatives of one
// area; unions are the size of their largest member; every selector value is one the selector
// can hold and names (when it names values), and chooses one alternative of its area.
TEST(LayoutCatalogue, SizesOverlapsAndSelectorValues)
{
    size_t rows = 0;
    for (const Catalogue& cat : kCatalogues) {
        for (size_t n = 0; n < cat.count; ++n) {
            const layout_catalogue_entry& e = cat.entries[n];
            const adb2c_node_format* node = node_of(e);
            ASSERT_NE(node, nullptr) << e.name;
            const uint32_t bits = node->size * 8;
            std::vector<int> owner(bits, -1);
            uint32_t largest = 0;
            for (int f = 0; f < node->fields_len; ++f) {
                const adb2c_field_format& field = node->fields[f];
                const std::string row = std::string(e.name) + "." + field.name;
                ++rows;
                if (!occupies(field))
                    continue;
                largest = std::max(largest, field.size / 8);
                const uint32_t count = field.count ? field.count : 1;
                for (uint32_t i = 0; i < count; ++i) {
                    const uint32_t at = field.count ? element_at(*node, field, i) : field.offset;
                    ASSERT_LE(static_cast<uint64_t>(at) + field.size, bits)
                        << row << " element " << i << " ends past the image (" << node->size << " bytes)";
                    for (uint32_t b = at; b < at + field.size; ++b) {
                        const int prev = owner[b];
                        ASSERT_FALSE(prev == f) << row << ": elements " << i << " and an earlier one share bit " << b;
                        ASSERT_TRUE(prev < 0 || share_area(node->fields[prev], field))
                            << row << " overlaps " << node->fields[prev].name << " at bit " << b;
                        owner[b] = f;
                    }
                }
            }
            if (node->is_union) {
                EXPECT_EQ(largest, node->size) << e.name << ": a union is the size of its largest member";
            }
            for (int f = 0; f < node->fields_len; ++f) {
                const adb2c_field_format& alt = node->fields[f];
                if (kind_of(alt) != "select")
                    continue;
                const std::string row = std::string(e.name) + "." + alt.name;
                const adb2c_field_format* sel = adb2c_db_find_field(node, adb2c_db_get_field_attr(&alt, "selector"));
                ASSERT_NE(sel, nullptr) << row << ": unknown selector";
                ASSERT_EQ(kind_of(*sel), "field") << row;
                ASSERT_EQ(sel->count, 0u) << row;
                ASSERT_LE(sel->size, 32u) << row;
                for (uint64_t v : select_values(alt)) {
                    EXPECT_LT(v, 1ull << sel->size) << row << ": value " << v << " does not fit the selector";
                    if (sel->enums_len > 0) {
                        EXPECT_STRNE(adb2c_db_get_field_enum_name(sel, v), "Unknown Enum Value")
                            << row << ": the selector names no value " << v;
                    }
                    for (int o = 0; o < f; ++o) {
                        const adb2c_field_format& other = node->fields[o];
                        if (kind_of(other) == "select" && share_area(other, alt)) {
                            const std::vector<uint64_t> taken = select_values(other);
                            EXPECT_EQ(std::count(taken.begin(), taken.end(), v), 0)
                                << row << ": value " << v << " also chooses " << other.name;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(rows, 0u);
}

// ---- a distinct value in every field ----

void model_put(std::vector<uint8_t>& img, uint32_t at, uint32_t width, uint64_t value)
{
    for (uint32_t k = 0; k < width; ++k) {
        const uint32_t p = at + k;
        const uint8_t m = static_cast<uint8_t>(1u << (7 - p % 8));
        img[p / 8] = ((value >> (width - 1 - k)) & 1) ? (img[p / 8] | m) : (img[p / 8] & ~m);
    }
}

uint64_t model_get(const std::vector<uint8_t>& img, uint32_t at, uint32_t width)
{
    uint64_t v = 0;
    for (uint32_t k = 0; k < width; ++k)
        v = (v << 1) | ((img[(at + k) / 8] >> (7 - (at + k) % 8)) & 1);
    return v;
}

// Writes the image that a record holding a distinct non-zero value in every field packs to,
// through the description alone: k numbers the fields written so far; values in `chosen`
// replace those of the record's own selectors (nested records keep their numbered ones).
class ImageModel {
public:
    explicit ImageModel(std::vector<uint8_t>& img) : img_(img) {}

    void fill(const adb2c_node_format& node, uint32_t base, const std::map<std::string, uint64_t>& chosen)
    {
        if (node.is_union) {
            const adb2c_field_format& last = node.fields[node.fields_len - 1];
            return fill(sub_node(last), base, {});
        }
        for (int f = 0; f < node.fields_len; ++f) {
            const adb2c_field_format& field = node.fields[f];
            const std::string k = kind_of(field);
            const uint32_t count = field.count ? field.count : 1;
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t at = base + (field.count ? element_at(node, field, i) : field.offset);
                if (k == "field") {
                    const uint64_t mask = field.size == 64 ? ~0ull : (1ull << field.size) - 1;
                    uint64_t v = (k_++ % mask) + 1;
                    const auto it = chosen.find(field.name);
                    if (it != chosen.end())
                        v = it->second;
                    model_put(img_, at, field.size, v);
                } else if (k == "node") {
                    fill(sub_node(field), at, {});
                }
            }
        }
        // Selected areas follow the selector's value in the image, as unpack reads them.
        for (int f = 0; f < node.fields_len; ++f) {
            const adb2c_field_format& alt = node.fields[f];
            if (kind_of(alt) != "select")
                continue;
            const adb2c_field_format* sel = adb2c_db_find_field(&node, adb2c_db_get_field_attr(&alt, "selector"));
            const uint64_t v = model_get(img_, base + sel->offset, sel->size);
            const std::vector<uint64_t> values = select_values(alt);
            if (std::find(values.begin(), values.end(), v) != values.end())
                fill(sub_node(alt), base + alt.offset, {});
        }
    }

private:
    static const adb2c_node_format& sub_node(const adb2c_field_format& f)
    {
        const layout_catalogue_entry* sub = find_entry(f.subnode);
        return *node_of(*sub);
    }

    std::vector<uint8_t>& img_;
    uint64_t k_ = 0;
};

// Unpacking the modelled image and packing the record into a zeroed image gives the modelled
// image back, bit for bit: every field is read and written where the table says, none is
// dropped or moved onto another, and reserved bits stay zero. Every alternative of every
// selected area is taken in turn, and so is a value that chooses none of them.
TEST(LayoutCatalogue, DistinctValueInEveryFieldSurvivesTheRoundTrip)
{
    for (const Catalogue& cat : kCatalogues) {
        for (size_t n = 0; n < cat.count; ++n) {
            const layout_catalogue_entry& e = cat.entries[n];
            const adb2c_node_format* node = node_of(e);
            ASSERT_NE(node, nullptr) << e.name;
            std::vector<std::map<std::string, uint64_t>> trials = {{}};
            for (int f = 0; f < node->fields_len; ++f) {
                const adb2c_field_format& alt = node->fields[f];
                if (kind_of(alt) != "select")
                    continue;
                const std::string selector = adb2c_db_get_field_attr(&alt, "selector");
                for (uint64_t v : select_values(alt))
                    trials.push_back({{selector, v}});
                // The selector's largest value, which no area of the fixtures or registers uses.
                const adb2c_field_format* sel = adb2c_db_find_field(node, selector.c_str());
                trials.push_back({{selector, (1ull << sel->size) - 1}});
            }
            for (const auto& chosen : trials) {
                std::string trial = "numbered selectors";
                for (const auto& c : chosen)
                    trial = c.first + " = " + std::to_string(c.second);
                SCOPED_TRACE(std::string(e.name) + ", " + trial);
                Image modelled(e.size(), 0);
                ImageModel(modelled).fill(*node, 0, chosen);
                RecordBuffer rec(e.record_size);
                e.unpack(rec.data(), modelled.data());
                Image packed(e.size(), 0);
                e.pack(rec.data(), packed.data());
                for (size_t i = 0; i < packed.size(); ++i)
                    ASSERT_EQ(packed[i], modelled[i]) << "byte " << i;
            }
        }
    }
}

}  // namespace
