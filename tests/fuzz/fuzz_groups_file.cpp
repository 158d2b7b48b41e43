// Fuzz target: the groups file of "eu_group apply", walked by the real tool code over a small
// in-memory adapter that stands in for the device layer (mopen, mclose, the change lock and the two
// register functions the walk uses are defined here, in the fuzz target only).
//
// Input: byte 0 picks the group limit (0-31) and whether a partition holding EUs 100-103 exists
// (with 0-3 reserved groups); the rest, up to the first zero byte, is the file. Traps when:
//  - the apply fails after writing anything (every check comes before the first SET);
//  - a CREATE carries an id or field selection, or EUs out of range, overlapping, or too many;
//  - a successful apply left groups with names longer than 15 characters or twice the same name,
//    or more groups than the limit leaves beside the partition's reservation, or a number of
//    groups other than the number of group objects inside the "eu_groups" array;
//  - an apply succeeded on a file with anything after that array.
#define JSMN_STATIC
#include <jsmn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "eu_group.h"
#include "eu_records.h"
#include "utility_functions.h"

namespace {

const unsigned max_eus = 128;
const unsigned eus_per_group = 8;

struct fake_adapter {
    std::map<uint16_t, eug_record> groups;
    bool has_partition = false;
    uint16_t reserved = 0;
    unsigned sets = 0;
    unsigned destroys = 0;
};

fake_adapter adapter;
char handle_storage;

uint32_t partition_eus_word3() { return 0xFu << 4; } /* EUs 100-103 */

void check_create(const eug_record& request)
{
    if (request.eug_id != 0 || request.modify_field_select != 0)
        __builtin_trap();
    unsigned count = 0;
    for (unsigned eu = 0; eu < 1024; eu++) {
        if (!(request.member_mask[eu / 32] >> (eu % 32) & 1u))
            continue;
        count++;
        if (eu >= max_eus)
            __builtin_trap();
        if (adapter.has_partition && eu / 32 == 3 && (partition_eus_word3() >> (eu % 32) & 1u))
            __builtin_trap();
        for (const auto& entry : adapter.groups) {
            if (entry.second.member_mask[eu / 32] >> (eu % 32) & 1u)
                __builtin_trap();
        }
    }
    if (count > eus_per_group)
        __builtin_trap();
}

bool is_key(const char* text, const jsmntok_t& token, const char* key)
{
    const size_t length = strlen(key);
    return token.type == JSMN_STRING && static_cast<size_t>(token.end - token.start) == length &&
           memcmp(text + token.start, key, length) == 0;
}

/* The objects inside the span of the "eu_groups" array (token 2) that are not the value of a
 * "name" or "range" key: on a successful walk each of them opened one group. Called after a
 * successful apply, so a token past the array is a fault. */
size_t group_objects_in_array(const char* text)
{
    jsmntok_t tokens[512];
    jsmn_parser parser;
    jsmn_init(&parser);
    const int count = jsmn_parse(&parser, text, strlen(text), tokens, 512);
    if (count < 3)
        __builtin_trap(); /* the apply succeeded on a file that cannot hold the array */
    size_t objects = 0;
    for (int i = 3; i < count; i++) {
        if (tokens[i].start >= tokens[2].end)
            __builtin_trap(); /* the apply succeeded on a file with more after the array */
        const bool value = is_key(text, tokens[i - 1], "name") || is_key(text, tokens[i - 1], "range");
        if (tokens[i].type == JSMN_OBJECT && !(i > 3 && value))
            objects++;
    }
    return objects;
}

} // namespace

extern "C" mfile* mopen(const char*)
{
    return reinterpret_cast<mfile*>(&handle_storage);
}

extern "C" int mclose(mfile*)
{
    return 0;
}

/* One process here: the change lock of the apply has no lock file and is always had. */
extern "C" int create_adapter_lock_file(mfile*, const char*, struct lock_pair* out)
{
    *out = no_lock_pair();
    return -1;
}

extern "C" int flock_wait(struct lock_pair, int, unsigned long)
{
    return 0;
}

extern "C" void close_lock_pair(struct lock_pair* lock)
{
    *lock = no_lock_pair();
}

extern "C" int reg_access_nic_hxu_eug(mfile*, uint32_t method, struct reg_access_hca_nic_hxu_eug_reg_ext* reg)
{
    if (method == MACCESS_REG_METHOD_GET) {
        auto found = adapter.groups.find(reg->eug_id);
        if (found == adapter.groups.end())
            return ME_REG_ACCESS_BAD_PARAM;
        *reg = found->second;
        return ME_OK;
    }
    adapter.sets++;
    if (reg->operation == EU_OP_DESTROY) {
        adapter.destroys++;
        return adapter.groups.erase(reg->eug_id) == 1 ? ME_OK : ME_REG_ACCESS_BAD_PARAM;
    }
    check_create(*reg);
    for (uint32_t id = 1; id <= max_num_hxu_eu_group; id++) {
        if (adapter.groups.count(static_cast<uint16_t>(id)) == 0) {
            reg->eug_id = static_cast<uint16_t>(id);
            adapter.groups[reg->eug_id] = *reg;
            return ME_OK;
        }
    }
    __builtin_trap(); /* the walk let more groups through than there are ids */
}

extern "C" int reg_access_nic_hxu_eu_partition(mfile*, uint32_t method,
                                               struct reg_access_hca_nic_hxu_eu_partition_reg_ext* reg)
{
    if (method != MACCESS_REG_METHOD_GET || !adapter.has_partition || reg->eu_partition_id != 1)
        return ME_REG_ACCESS_BAD_PARAM;
    memset(reg, 0, sizeof *reg);
    reg->eu_partition_id = 1;
    reg->max_num_eug = adapter.reserved;
    reg->member_mask[3] = partition_eus_word3();
    return ME_OK;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    /* The walk reports to standard output; keep the fuzzer's log readable. */
    if (freopen("/dev/null", "w", stdout) == NULL)
        return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    adapter = fake_adapter();
    adapter.has_partition = (data[0] & 0x20) != 0;
    adapter.reserved = (data[0] >> 6) & 3;
    max_num_hxu_eu_group = data[0] & 0x1F;
    max_num_hxu_eu = max_eus;
    max_num_hxu_eu_per_group = eus_per_group;
    max_num_hxu_eu_partition = 2;
    memset(global_member_mask, 0, sizeof global_member_mask);
    /* Groups from an earlier apply, which a successful one replaces. */
    eug_record old;
    memset(&old, 0, sizeof old);
    old.eug_id = 1;
    old.member_mask[0] = 1;
    if (max_num_hxu_eu_group > 0)
        adapter.groups[1] = old;

    /* The file's bytes and a terminating zero, which ends the text as the file's first zero would. */
    std::vector<char> content(data + 1, data + size);
    content.push_back('\0');
    FILE* file = fmemopen(content.data(), content.size(), "r");
    if (file == NULL)
        return 0;
    const int result = eu_group_apply("fake", file);
    fclose(file);

    if (result != 0) {
        if (result != -1 || adapter.sets != 0)
            __builtin_trap();
        return 0;
    }
    if (adapter.destroys != max_num_hxu_eu_group)
        __builtin_trap();
    const unsigned reserved = adapter.has_partition ? adapter.reserved + 1u : 0u;
    if (adapter.groups.size() + reserved > max_num_hxu_eu_group && !adapter.groups.empty())
        __builtin_trap();
    /* Every group object of the array became a group: none dropped, none from outside it. */
    if (adapter.groups.size() != group_objects_in_array(content.data()))
        __builtin_trap();
    std::set<std::string> names;
    for (const auto& entry : adapter.groups) {
        char name[EU_GROUP_NAME_BYTES + 1];
        eug_words_to_name(entry.second.eug_name, name);
        if (strlen(name) > MAX_EU_GROUP_NAME_LEN || !names.insert(name).second)
            __builtin_trap();
    }
    return 0;
}
