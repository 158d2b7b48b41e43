/*
 * rm_deprecated.cpp - the 23 older control commands and their conversion.
 *
 * A converter copies the caller's old record and the lists it points to
 * (through a parameter token), builds the newer record, sends the newer
 * command and copies the answer back. The newer records are laid out as the
 * count word of each list (one per distinct count) followed by the lists, each
 * at the room its limit gives; the p-state tables and the level records have
 * layouts of their own below.
 *
 * The caller's record and lists are written only when the driver answered
 * with success, and only within the sizes acquired from them; the newer
 * record's status goes into the caller's control record.
 */
#include "rm_deprecated.h"

#include <stdlib.h>
#include <string.h>

#include "rm_api.h"
#include "rm_internal.h"

namespace {

/* Sends the newer command on the caller's client and object; the newer
 * record's status goes into the caller's control record. */
ObStatus send_newer(struct ob_escape_control* old_record, uint32_t cmd, void* params,
                    uint32_t size)
{
    struct ob_escape_control record = {};
    record.client = old_record->client;
    record.object = old_record->object;
    record.cmd = cmd;
    record.params = (uint64_t)(uintptr_t)params;
    record.params_size = size;
    ObStatus status = doApiEscape(obRmCtlFd, OB_ESC_CONTROL, sizeof(record),
                                  OB_ESCAPE_CODE(OB_ESC_CONTROL, sizeof(record)), &record,
                                  offsetof(struct ob_escape_control, status));
    old_record->status = record.status;
    return status;
}

/* One list of a generic row. */
struct list_rule {
    uint32_t ptr_offset;
    uint32_t count_offset; /* OB_TOKEN_NO_COUNT never: every list here has one */
    uint32_t element_size;
    uint32_t multiply;
    uint32_t limit;
    bool inclusive; /* at most `limit` bytes; else under it */
};

struct generic_row {
    uint32_t new_cmd;
    uint32_t new_size;
    uint32_t record_size;
    uint32_t lists;
    list_rule rule[3];
    bool counts_travel; /* the count words lead the newer record */
};

/* Largest whole number of elements that the limit leaves room for, in bytes. */
uint32_t room_of(const list_rule& rule)
{
    const uint32_t most = rule.inclusive ? rule.limit : rule.limit - 1;
    return rule.multiply ? most / rule.element_size * rule.element_size : most;
}

ObStatus convert_generic(struct ob_escape_control* record, const generic_row& row)
{
    if (record->params_size < row.record_size)
        return OB_ERR_INVALID_ARGUMENT;
    struct ob_params_token token;
    ObStatus status = _ctrlparamsTokenInit(&token, reinterpret_cast<void*>((uintptr_t)record->params),
                                           row.record_size);
    for (uint32_t i = 0; i < row.lists && status == OB_OK; i++)
        status = _ctrlparamsTokenAddEmbeddedPtr(&token, row.rule[i].ptr_offset,
                                                row.rule[i].count_offset, row.rule[i].multiply,
                                                row.rule[i].element_size);
    if (status == OB_OK)
        status = ctrlparamAcquire(&token);
    if (status != OB_OK)
        return status;

    /* Where each count and list sits in the newer record. */
    uint32_t count_offsets[3], count_slot[3], list_at[3], counts = 0;
    for (uint32_t i = 0; i < row.lists; i++) {
        uint32_t slot = counts;
        for (uint32_t j = 0; j < counts; j++)
            if (count_offsets[j] == row.rule[i].count_offset)
                slot = j;
        if (slot == counts)
            count_offsets[counts++] = row.rule[i].count_offset;
        count_slot[i] = slot;
    }
    uint32_t at = row.counts_travel ? 4 * counts : 0;
    for (uint32_t i = 0; i < row.lists; i++) {
        list_at[i] = at;
        at += room_of(row.rule[i]);
    }
    char* newer = static_cast<char*>(calloc(1, at > row.new_size ? at : row.new_size));
    if (!newer) {
        ctrlparamRelease(&token, 0);
        return OB_ERR_NO_MEMORY;
    }
    const void* copy = token.entry[0].copy;
    for (uint32_t i = 0; i < row.lists; i++) {
        const struct ob_token_entry& list = token.entry[1 + i];
        if (list.size > room_of(row.rule[i])) {
            free(newer);
            ctrlparamRelease(&token, 0);
            return OB_ERR_INSUFFICIENT_RESOURCES;
        }
    }
    for (uint32_t j = 0; j < counts && row.counts_travel; j++)
        ob_set_word(newer, 4 * j, ob_word_at(copy, count_offsets[j]));
    for (uint32_t i = 0; i < row.lists; i++) {
        const struct ob_token_entry& list = token.entry[1 + i];
        if (list.size)
            memcpy(newer + list_at[i], list.copy, list.size);
    }

    status = send_newer(record, row.new_cmd, newer, row.new_size);
    const bool answered = status == OB_OK && record->status == OB_OK;
    if (answered) {
        /* Back within the sizes acquired; a count is taken back only when the
         * list it describes still fits what was acquired. */
        for (uint32_t i = 0; i < row.lists; i++) {
            struct ob_token_entry& list = token.entry[1 + i];
            if (list.size)
                memcpy(list.copy, newer + list_at[i], list.size);
        }
        for (uint32_t j = 0; j < counts && row.counts_travel; j++) {
            const uint32_t count = ob_word_at(newer, 4 * j);
            bool fits = true;
            for (uint32_t i = 0; i < row.lists; i++) {
                if (count_slot[i] != j)
                    continue;
                const uint64_t bytes =
                    row.rule[i].multiply ? (uint64_t)count * row.rule[i].element_size : count;
                fits = fits && bytes <= token.entry[1 + i].size;
            }
            if (fits)
                ob_set_word(token.entry[0].copy, count_offsets[j], count);
        }
    }
    free(newer);
    ctrlparamRelease(&token, answered);
    return status;
}

/* ---- the p-state tables (no token) ----
 * Old record: {p-state count, global count, p-state entries address, global
 * list address}; a p-state entry: {first count, second count, first list
 * address, second list address} (24 bytes). Newer record: both counts, then
 * per p-state its two counts, then the global list and per p-state its two
 * lists, each at its full room. */
enum {
    kPstates = 16,
    kPstateEntry = 24,
    kFirstItem = 44,
    kFirstRoom = 1408,
    kSecondItem = 36,
    kSecondRoom = 1152,
    kGlobalRoom = 1152,
    kPstatesNewSize = 42264,
    kPstatesHeader = 8 + kPstates * 8,
};
static_assert(kPstatesHeader + kGlobalRoom + kPstates * (kFirstRoom + kSecondRoom) <= kPstatesNewSize,
              "p-state record room");

ObStatus convert_pstates20(struct ob_escape_control* record, uint32_t new_cmd)
{
    void* old = reinterpret_cast<void*>((uintptr_t)record->params);
    if (!old || record->params_size < 24)
        return OB_ERR_INVALID_ARGUMENT;
    const uint32_t pstates = ob_word_at(old, 0), global = ob_word_at(old, 4);
    if (pstates > kPstates)
        return OB_ERR_INVALID_ARGUMENT;
    char* entries = reinterpret_cast<char*>((uintptr_t)ob_wide_at(old, 8));
    char* global_list = reinterpret_cast<char*>((uintptr_t)ob_wide_at(old, 16));
    if ((uint64_t)global * kSecondItem > kGlobalRoom)
        return OB_ERR_INSUFFICIENT_RESOURCES;
    if ((pstates && !entries) || (global && !global_list))
        return OB_ERR_INVALID_ARGUMENT;
    for (uint32_t p = 0; p < pstates; p++) {
        const char* entry = entries + p * kPstateEntry;
        if ((uint64_t)ob_word_at(entry, 0) * kFirstItem > kFirstRoom ||
            (uint64_t)ob_word_at(entry, 4) * kSecondItem > kSecondRoom)
            return OB_ERR_INSUFFICIENT_RESOURCES;
        if ((ob_word_at(entry, 0) && !ob_wide_at(entry, 8)) ||
            (ob_word_at(entry, 4) && !ob_wide_at(entry, 16)))
            return OB_ERR_INVALID_ARGUMENT;
    }
    char* newer = static_cast<char*>(calloc(1, kPstatesNewSize));
    if (!newer)
        return OB_ERR_NO_MEMORY;
    const uint32_t global_at = kPstatesHeader;
    auto first_at = [](uint32_t p) { return kPstatesHeader + kGlobalRoom + p * (kFirstRoom + kSecondRoom); };
    /* An empty list may come as no list at all: only non-empty lists are copied. */
    auto copy = [](void* to, const void* from, uint64_t bytes) {
        if (bytes)
            memcpy(to, from, bytes);
    };
    ob_set_word(newer, 0, pstates);
    ob_set_word(newer, 4, global);
    copy(newer + global_at, global_list, global * kSecondItem);
    for (uint32_t p = 0; p < pstates; p++) {
        const char* entry = entries + p * kPstateEntry;
        const uint32_t first = ob_word_at(entry, 0), second = ob_word_at(entry, 4);
        ob_set_word(newer, 8 + 8 * p, first);
        ob_set_word(newer, 12 + 8 * p, second);
        copy(newer + first_at(p), reinterpret_cast<char*>((uintptr_t)ob_wide_at(entry, 8)),
             first * kFirstItem);
        copy(newer + first_at(p) + kFirstRoom,
             reinterpret_cast<char*>((uintptr_t)ob_wide_at(entry, 16)), second * kSecondItem);
    }
    ObStatus status = send_newer(record, new_cmd, newer, kPstatesNewSize);
    if (status == OB_OK && record->status == OB_OK) {
        /* The counts stay the caller's: each list comes back at the size it went. */
        copy(global_list, newer + global_at, global * kSecondItem);
        for (uint32_t p = 0; p < pstates; p++) {
            const char* entry = entries + p * kPstateEntry;
            copy(reinterpret_cast<char*>((uintptr_t)ob_wide_at(entry, 8)), newer + first_at(p),
                 ob_word_at(entry, 0) * kFirstItem);
            copy(reinterpret_cast<char*>((uintptr_t)ob_wide_at(entry, 16)),
                 newer + first_at(p) + kFirstRoom, ob_word_at(entry, 4) * kSecondItem);
        }
    }
    free(newer);
    return status;
}

/* ---- the level records (no token) ----
 * Old record: {first word, second word, count, padding, list address} (24
 * bytes); newer: the three words, then the list's room. */
enum { kLevelItem = 24, kLevelRoom = 768, kLevelNewSize = 780, kSetLevelNewSize = 268 };

ObStatus convert_levels(struct ob_escape_control* record, uint32_t new_cmd, uint32_t new_size,
                        uint32_t room)
{
    void* old = reinterpret_cast<void*>((uintptr_t)record->params);
    if (!old || record->params_size < 24)
        return OB_ERR_INVALID_ARGUMENT;
    const uint32_t count = ob_word_at(old, 8);
    char* list = reinterpret_cast<char*>((uintptr_t)ob_wide_at(old, 16));
    if ((uint64_t)count * kLevelItem > room)
        return OB_ERR_INSUFFICIENT_RESOURCES;
    if (count && !list)
        return OB_ERR_INVALID_ARGUMENT;
    char* newer = static_cast<char*>(calloc(1, new_size));
    if (!newer)
        return OB_ERR_NO_MEMORY;
    memcpy(newer, old, 12);
    if (count)
        memcpy(newer + 12, list, count * kLevelItem);
    ObStatus status = send_newer(record, new_cmd, newer, new_size);
    if (status == OB_OK && record->status == OB_OK && count)
        memcpy(list, newer + 12, count * kLevelItem);
    free(newer);
    return status;
}

/* The rows that go through the token. */
const list_rule kClkInfo = {8, 4, 20, 1, 644, false};
const list_rule kDomains = {8, 4, 16, 1, 528, false};
const list_rule kRatio = {24, 16, 16, 1, 528, false};

const generic_row kClkGetInfo = {0x20809062, 648, 16, 1, {kClkInfo}, true};
const generic_row kPublicDomain = {0x20809064, 520, 16, 1, {kDomains}, true};
const generic_row kLimitsGet = {0x2080A079, 83972, 16, 1, {{8, 0, 328, 1, 83976, false}}, true};
const generic_row kLimitsSet = {0x2080E0AF, 80904, 16, 1, {{8, 0, 316, 1, 80900, false}}, true};
const generic_row kPstates2Info = {0x20809063, 520, 16, 1, {kDomains}, true};
const generic_row kPstate2Info = {
    0x2080A028, 2192, 48, 3,
    {{16, 8, 16, 1, 512, true}, {24, 8, 16, 1, 512, true}, {40, 32, 36, 1, 1155, true}}, true};
const generic_row kVirtualPstate = {0x2080A026, 532, 32, 1, {kRatio}, true};
const generic_row kSetPstateInfo = {
    0x2080A027, 1680, 40, 2, {{16, 8, 16, 1, 528, false}, {32, 24, 36, 1, 1152, true}}, true};
const generic_row kPerfCaps = {0x00809910, 1, 16, 1, {{8, 0, 1, 1, 1, true}}, false};
const generic_row kPerfmonUtil = {0x20802096, 50704, 24, 1, {{16, 4, 1, 0, 50689, false}}, true};
const generic_row kPerfmonSample = {0x2080A097, 1168, 40, 1, {{8, 0, 16, 1, 528, false}}, true};
const generic_row kPerfmonSampleV2 = {
    0x2080A097, 1168, 40, 2, {{8, 0, 16, 1, 528, false}, {24, 16, 20, 1, 640, true}}, true};
const generic_row kPstateInfo = {
    0x2080A09F, 1680, 40, 2, {{16, 8, 16, 1, 528, false}, {32, 24, 36, 1, 1152, true}}, true};
const generic_row kClkSetInfo = {0x2080D041, 648, 16, 1, {kClkInfo}, true};
const generic_row kSensorCntr = {0x2080A043, 4088, 24, 1, {{8, 0, 16, 1, 4096, false}}, true};
const generic_row kRatioClk = {0x2080A00D, 532, 32, 1, {kRatio}, true};
const generic_row kVfTablesGet = {
    0x2080A0BE, 17348, 32, 2, {{8, 0, 16, 1, 4095, true}, {24, 16, 52, 1, 13260, true}}, true};
const generic_row kVfTablesSet = {
    0x2080A0BF, 17348, 32, 2, {{8, 0, 16, 1, 4095, true}, {24, 16, 52, 1, 13260, true}}, true};
const generic_row kVoltageLevels = {0x2080A07F, 1032, 24, 1, {{16, 8, 4, 1, 1024, false}}, true};

} // namespace

#define OB_GENERIC_CONVERTER(name, row)                                           \
    static ObStatus name(struct ob_escape_control* record)                        \
    {                                                                             \
        return convert_generic(record, row);                                      \
    }

OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_CLK_GET_INFO, kClkGetInfo)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_CLK_GET_PUBLIC_DOMAIN_INFO, kPublicDomain)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_LIMITS_GET_STATUS, kLimitsGet)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_LIMITS_SET_STATUS, kLimitsSet)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_CLK_GET_PSTATES2_INFO, kPstates2Info)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_PSTATE2_INFO, kPstate2Info)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_VIRTUAL_PSTATE_INFO, kVirtualPstate)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_SET_PSTATE_INFO, kSetPstateInfo)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB0080_CTRL_CMD_PERF_GET_CAPS, kPerfCaps)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_GPUMON_PERFMON_UTIL_SAMPLES,
                     kPerfmonUtil)
OB_GENERIC_CONVERTER(_ctrl_convert_v3_OB2080_CTRL_CMD_PERF_GET_PERFMON_SAMPLE, kPerfmonSample)
OB_GENERIC_CONVERTER(_ctrl_convert_v3_OB2080_CTRL_CMD_PERF_GET_PERFMON_SAMPLE_V2, kPerfmonSampleV2)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_PSTATE_INFO, kPstateInfo)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_CLK_SET_INFO, kClkSetInfo)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_PERFMON_SENSOR_CNTR_INFO, kSensorCntr)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_RATIO_CLK_FREQ, kRatioClk)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_VF_TABLES_ENTRIES_GET_INFO, kVfTablesGet)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_VF_TABLES_ENTRIES_SET_INFO, kVfTablesSet)
OB_GENERIC_CONVERTER(_ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_VOLTAGE_DOMAIN_LEVELS, kVoltageLevels)

static ObStatus _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_SET_PSTATES20_DATA(struct ob_escape_control* r)
{
    return convert_pstates20(r, 0x2080E06C);
}

static ObStatus _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_PSTATES20_DATA(struct ob_escape_control* r)
{
    return convert_pstates20(r, 0x2080A06B);
}

static ObStatus _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_LEVEL_INFO(struct ob_escape_control* r)
{
    return convert_levels(r, 0x2080200B, kLevelNewSize, kLevelRoom);
}

static ObStatus _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_SET_LEVEL_INFO(struct ob_escape_control* r)
{
    /* Only the two leading words and the count travel: a list cannot. */
    return convert_levels(r, 0x2080A00C, kSetLevelNewSize, 0);
}

extern "C" {

const struct ob_deprecated_row rmDeprecatedControlTable[] = {
    {0x20809002, _ctrl_convert_v2_OB2080_CTRL_CMD_CLK_GET_INFO, 0},
    {0x2080900A, _ctrl_convert_v2_OB2080_CTRL_CMD_CLK_GET_PUBLIC_DOMAIN_INFO, 1},
    {0x2080A077, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_LIMITS_GET_STATUS, 0},
    {0x2080E078, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_LIMITS_SET_STATUS, 0},
    {0x2080900D, _ctrl_convert_v2_OB2080_CTRL_CMD_CLK_GET_PSTATES2_INFO, 0},
    {0x2080A067, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_PSTATE2_INFO, 1},
    {0x2080A016, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_VIRTUAL_PSTATE_INFO, 1},
    {0x2080A062, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_SET_PSTATE_INFO, 1},
    {0x00809901, _ctrl_convert_v2_OB0080_CTRL_CMD_PERF_GET_CAPS, 1},
    {0x2080A083, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_GPUMON_PERFMON_UTIL_SAMPLES, 1},
    {0x2080A040, _ctrl_convert_v3_OB2080_CTRL_CMD_PERF_GET_PERFMON_SAMPLE, 1},
    {0x2080A094, _ctrl_convert_v3_OB2080_CTRL_CMD_PERF_GET_PERFMON_SAMPLE_V2, 0},
    {0x2080A061, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_PSTATE_INFO, 1},
    {0x2080D003, _ctrl_convert_v2_OB2080_CTRL_CMD_CLK_SET_INFO, 0},
    {0x2080E06B, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_SET_PSTATES20_DATA, 1},
    {0x2080A06A, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_PSTATES20_DATA, 1},
    {0x2080A041, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_PERFMON_SENSOR_CNTR_INFO, 0},
    {0x2080A069, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_RATIO_CLK_FREQ, 0},
    {0x2080A0A1, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_VF_TABLES_ENTRIES_GET_INFO, 0},
    {0x2080A0A2, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_VF_TABLES_ENTRIES_SET_INFO, 0},
    {0x2080A065, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_VOLTAGE_DOMAIN_LEVELS, 0},
    {0x20802002, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_GET_LEVEL_INFO, 0},
    {0x2080A003, _ctrl_convert_v2_OB2080_CTRL_CMD_PERF_SET_LEVEL_INFO, 0},
    {0, nullptr, 0},
};

int RmDoDeprecatedControl(struct ob_escape_control* record, ObStatus* status)
{
    for (const struct ob_deprecated_row* row = rmDeprecatedControlTable; row->cmd != 0; row++) {
        if (row->cmd != record->cmd)
            continue;
        if (row->vgpu && RmIsVgpuGuest(record->client, record->object))
            continue;
        *status = row->convert(record);
        return 1;
    }
    return 0;
}

ObStatus _ctrlparamsTokenInit(struct ob_params_token* token, void* record, uint32_t size)
{
    memset(token, 0, sizeof(*token));
    token->entries = 1;
    token->entry[0].user = record;
    token->entry[0].size = size;
    return OB_OK;
}

ObStatus _ctrlparamsTokenAddEmbeddedPtr(struct ob_params_token* token, uint32_t ptr_offset,
                                        uint32_t count_offset, uint32_t multiply,
                                        uint32_t element_size)
{
    if (token->entries >= OB_TOKEN_MAX_ENTRIES)
        return OB_ERR_INSUFFICIENT_RESOURCES;
    const uint32_t record_size = token->entry[0].size;
    if (ptr_offset % 8 != 0 || record_size < 8 || ptr_offset > record_size - 8)
        return OB_ERR_INVALID_OFFSET;
    if (count_offset != OB_TOKEN_NO_COUNT && (record_size < 4 || count_offset > record_size - 4))
        return OB_ERR_INVALID_OFFSET;
    if (element_size == 0)
        return OB_ERR_INVALID_ARGUMENT;
    struct ob_token_entry& entry = token->entry[token->entries++];
    entry.ptr_offset = ptr_offset;
    entry.count_offset = count_offset;
    entry.multiply = multiply;
    entry.element_size = element_size;
    return OB_OK;
}

ObStatus ctrlparamAcquire(struct ob_params_token* token)
{
    struct ob_token_entry& record = token->entry[0];
    if (!record.user || record.size == 0)
        return OB_ERR_INVALID_ARGUMENT;
    record.copy = malloc(record.size);
    if (!record.copy)
        return OB_ERR_NO_MEMORY;
    memcpy(record.copy, record.user, record.size);
    for (uint32_t i = 1; i < token->entries; i++) {
        struct ob_token_entry& list = token->entry[i];
        const uint32_t count =
            list.count_offset == OB_TOKEN_NO_COUNT ? 0 : ob_word_at(record.copy, list.count_offset);
        const uint64_t bytes = list.multiply ? (uint64_t)count * list.element_size : count;
        list.size = 0;
        list.user = reinterpret_cast<void*>((uintptr_t)ob_wide_at(record.copy, list.ptr_offset));
        if (bytes > UINT32_MAX) {
            ctrlparamRelease(token, 0);
            return OB_ERR_INVALID_ARGUMENT;
        }
        if (bytes == 0)
            continue;
        if (!list.user) {
            ctrlparamRelease(token, 0);
            return OB_ERR_INVALID_ARGUMENT;
        }
        list.copy = malloc(bytes);
        if (!list.copy) {
            ctrlparamRelease(token, 0);
            return OB_ERR_NO_MEMORY;
        }
        memcpy(list.copy, list.user, bytes);
        list.size = (uint32_t)bytes;
        ob_set_wide(record.copy, list.ptr_offset, (uint64_t)(uintptr_t)list.copy);
    }
    return OB_OK;
}

void ctrlparamRelease(struct ob_params_token* token, int copy_back)
{
    struct ob_token_entry& record = token->entry[0];
    for (uint32_t i = token->entries; i-- > 1;) {
        struct ob_token_entry& list = token->entry[i];
        if (list.copy) {
            if (copy_back)
                memcpy(list.user, list.copy, list.size);
            if (record.copy)
                ob_set_wide(record.copy, list.ptr_offset, (uint64_t)(uintptr_t)list.user);
            free(list.copy);
            list.copy = nullptr;
        }
    }
    if (record.copy) {
        if (copy_back)
            memcpy(record.user, record.copy, record.size);
        free(record.copy);
        record.copy = nullptr;
    }
}

} /* extern "C" */
