// Range lists: the character check, the split into items, parts and words,
// the id limit of the mask (including numbers past 32 bits), and what is
// left in the mask after a failure.
#include "capture_stdout.h"
#include "utility_functions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

struct parsed {
    int result;
    std::string out;
    std::set<unsigned> ids;
};

/* Parses into a heap mask of exactly `words` words, so that a write past
 * the end is caught under AddressSanitizer. */
parsed parse(const std::string& text, unsigned words, const std::set<unsigned>& initial = {})
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    std::vector<uint32_t> mask(words, 0);
    for (unsigned id : initial)
        mask[id / 32] |= 1u << (id % 32);
    StdoutCapture capture;
    parsed p;
    p.result = parse_member_mask(buf.data(), mask.data(), words);
    p.out = capture.finish();
    for (unsigned id = 0; id < 32 * words; id++) {
        if (mask[id / 32] >> (id % 32) & 1u)
            p.ids.insert(id);
    }
    return p;
}

std::set<unsigned> span(unsigned low, unsigned high)
{
    std::set<unsigned> ids;
    for (unsigned id = low; id <= high; id++)
        ids.insert(id);
    return ids;
}

std::string bad(const std::string& item)
{
    return "The range '" + item + "' is not valid and does not fit the range eus format.\n";
}

TEST(RangeList, SinglesAndSpans)
{
    const std::vector<std::pair<std::string, std::set<unsigned>>> cases = {
        {"0", {0}},
        {"1-1", {1}},
        {"9-3", span(3, 9)},
        {"3-9", span(3, 9)},
        {"1--3", span(1, 3)},
        {"1,,2", {1, 2}},
        {",1,", {1}},
        {" 1 - 3, 5", {1, 2, 3, 5}},
        {"1\t-\n3", span(1, 3)},
        {"007", {7}},
        {"31,32", {31, 32}},
    };
    for (const auto& c : cases) {
        parsed p = parse(c.first, EU_MASK_WORDS);
        EXPECT_EQ(p.result, 0) << c.first;
        EXPECT_EQ(p.out, "") << c.first;
        EXPECT_EQ(p.ids, c.second) << c.first;
    }
    std::set<unsigned> example = span(2, 16);
    example.insert(31);
    for (unsigned id = 100; id <= 120; id++)
        example.insert(id);
    EXPECT_EQ(parse("2-15,16,31,100-120", EU_MASK_WORDS).ids, example);
}

TEST(RangeList, AddsToWhatTheMaskHolds)
{
    EXPECT_EQ(parse("1", EU_MASK_WORDS, {5, 1000}).ids, (std::set<unsigned>{1, 5, 1000}));
}

TEST(RangeList, IdLimitFollowsTheMaskSize)
{
    EXPECT_EQ(parse("1023", EU_MASK_WORDS).ids, std::set<unsigned>{1023});
    EXPECT_EQ(parse("0-1023", EU_MASK_WORDS).ids.size(), 1024u);
    EXPECT_EQ(parse("65535", VHCA_MASK_WORDS).ids, std::set<unsigned>{65535});
    EXPECT_EQ(parse("65535-0", VHCA_MASK_WORDS).ids.size(), 65536u);
    EXPECT_EQ(parse("1024", VHCA_MASK_WORDS).ids, std::set<unsigned>{1024});

    for (const std::string text : {"1024", "1000-1024", "1024-0"}) {
        parsed p = parse(text, EU_MASK_WORDS);
        EXPECT_EQ(p.result, -1) << text;
        EXPECT_EQ(p.out, bad(text)) << text;
        EXPECT_TRUE(p.ids.empty()) << text;
    }
    parsed p = parse("65536", VHCA_MASK_WORDS);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, bad("65536"));
}

TEST(RangeList, NumbersPastThirtyTwoBitsAreRefused)
{
    /* 2^32 and 2^32 + 1 would wrap to ids 0 and 1 if cut to 32 bits; numbers
     * past the range of long saturate and are refused too. */
    for (const std::string text : {"4294967296", "4294967297", "4294967297-1", "0-4294967296",
                                   "9223372036854775807", "99999999999999999999999"}) {
        for (unsigned words : {EU_MASK_WORDS, VHCA_MASK_WORDS}) {
            parsed p = parse(text, words);
            EXPECT_EQ(p.result, -1) << text;
            EXPECT_EQ(p.out, bad(text)) << text;
            EXPECT_TRUE(p.ids.empty()) << text;
        }
    }
}

TEST(RangeList, MalformedItems)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},              /* no item: the whole text is shown */
        {",,,", ",,,"},
        {"5-", "5-"},
        {"-5", "-5"},
        {"-", "-"},
        {"--", "--"},
        {"1-2-3", "1-2-3"},
        {"1 2-3", "1 2-3"},
        {"1 2", "1 2"},
        {" ", " "},
        {"1- ,2", "1- "},
        {"0, - 4", " - 4"},
    };
    for (const auto& c : cases) {
        parsed p = parse(c.first, EU_MASK_WORDS);
        EXPECT_EQ(p.result, -1) << "'" << c.first << "'";
        EXPECT_EQ(p.out, bad(c.second)) << "'" << c.first << "'";
    }
}

TEST(RangeList, EarlierItemsStaySetAfterAFailure)
{
    parsed p = parse("1,2,1024,3", EU_MASK_WORDS);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, bad("1024"));
    EXPECT_EQ(p.ids, (std::set<unsigned>{1, 2}));
}

TEST(RangeList, LongTextsAndItems)
{
    std::string many;
    for (unsigned id = 0; id < 1024; id++)
        many += (id ? "," : "") + std::to_string(id);
    EXPECT_EQ(parse(many, EU_MASK_WORDS).ids.size(), 1024u);

    const std::string padded = std::string(5000, ' ') + "7" + std::string(5000, ' ');
    EXPECT_EQ(parse(padded, EU_MASK_WORDS).ids, std::set<unsigned>{7});
    const std::string zeros = std::string(3000, '0') + "12";
    EXPECT_EQ(parse(zeros, EU_MASK_WORDS).ids, std::set<unsigned>{12});
}

TEST(RangeCharacters, OnlyDigitsDashCommaAndBlank)
{
    const char* const message =
        "The -r/--range_eus and -v/--vhca_list arguments only accept digits 0-9, \"-\" and \",\"\n";
    for (const char* good : {"", "0123456789", "1-3, 5 ,  - ,", " "}) {
        StdoutCapture capture;
        EXPECT_EQ(validate_range_str_given(good), 0) << good;
        EXPECT_EQ(capture.finish(), "") << good;
    }
    for (const char* text : {"1\t2", "1\n", "a", "1;2", "0x1", "+1", "1.5", "\xff", "1_2"}) {
        StdoutCapture capture;
        EXPECT_EQ(validate_range_str_given(text), -1) << text;
        EXPECT_EQ(capture.finish(), message) << text;
    }
}

TEST(RangeCharacters, Dash)
{
    EXPECT_EQ(string_contains_dash("-"), 1);
    EXPECT_EQ(string_contains_dash("12-"), 1);
    EXPECT_EQ(string_contains_dash(" -5"), 1);
    EXPECT_EQ(string_contains_dash(""), 0);
    EXPECT_EQ(string_contains_dash("12,3"), 0);
}

} // namespace
