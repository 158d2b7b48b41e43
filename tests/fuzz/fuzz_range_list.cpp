// Fuzz target: range lists as given with -r, -v and in the groups file.
//
// Input: one selector byte (even: a 32-word EU mask, odd: a 2048-word VHCA
// mask), then the text up to the first zero byte. Every text goes through
// the parser into a heap mask of exactly that size, so a write past it is
// caught. Texts that pass the character check are also parsed by a simple
// model of the range-list rules; any difference in result or mask traps.
#include "utility_functions.h"

#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

/* Splits at sep, dropping empty pieces. */
std::vector<std::string> pieces(const std::string& text, char sep)
{
    std::vector<std::string> out;
    std::string current;
    for (char c : text) {
        if (c == sep) {
            if (!current.empty())
                out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        out.push_back(current);
    return out;
}

struct model_result {
    int result;
    std::vector<uint32_t> mask;
};

/* The rules over digits, '-', ',' and blanks: items split at ',', bounds at
 * '-', each bound exactly one decimal word below 32 * words. Bits of the
 * items before a bad one stay set. */
model_result model(const std::string& text, unsigned words)
{
    const unsigned long long limit = 32ull * words;
    model_result m = {0, std::vector<uint32_t>(words, 0)};
    const std::vector<std::string> items = pieces(text, ',');
    if (items.empty())
        m.result = -1;
    for (const std::string& item : items) {
        const bool dash = item.find('-') != std::string::npos;
        const std::vector<std::string> parts = pieces(item, '-');
        if (parts.empty() || parts.size() > 2 || (parts.size() == 1 && dash)) {
            m.result = -1;
            return m;
        }
        unsigned long long bounds[2] = {0, 0};
        for (size_t i = 0; i < parts.size(); i++) {
            const std::vector<std::string> bound_words = pieces(parts[i], ' ');
            if (bound_words.size() != 1) {
                m.result = -1;
                return m;
            }
            unsigned long long value = 0;
            for (char digit : bound_words[0])
                value = std::min(value * 10 + static_cast<unsigned>(digit - '0'), limit);
            bounds[i] = value;
        }
        unsigned long long low = bounds[0];
        unsigned long long high = parts.size() == 2 ? bounds[1] : low;
        if (low > high)
            std::swap(low, high);
        if (high >= limit) {
            m.result = -1;
            return m;
        }
        for (unsigned long long id = low; id <= high; id++)
            m.mask[id / 32] |= 1u << (id % 32);
    }
    return m;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    /* The parser reports to standard output; keep the fuzzer's log readable. */
    if (freopen("/dev/null", "w", stdout) == NULL)
        return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned words = (data[0] & 1) ? VHCA_MASK_WORDS : EU_MASK_WORDS;
    const std::string text(std::string(reinterpret_cast<const char*>(data + 1), size - 1).c_str());

    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    std::vector<uint32_t> mask(words, 0);
    const int result = parse_member_mask(buffer.data(), mask.data(), words);
    if (result != 0 && result != -1)
        __builtin_trap();

    if (validate_range_str_given(text.c_str()) == 0) {
        const model_result expected = model(text, words);
        if (result != expected.result || mask != expected.mask)
            __builtin_trap();
    }
    return 0;
}
