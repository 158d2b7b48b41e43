/*
 * groups_file.cpp - eu_group apply: replaces every EU group of the adapter by
 * the groups of a JSON file such as
 *
 *     {"eu_groups": [{"name": "g1", "range": "0-3"}, {"name": "g2", "range": "4-7,9"}]}
 *
 * The whole file is read and checked first (names, ranges, EU numbers and
 * counts, overlaps with the partitions' EUs and between the file's groups,
 * room beside the partitions' reservations); only then is every group id
 * destroyed and the file's groups created in file order.
 */
#define JSMN_STATIC
#include <jsmn.h>

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "eu_group.h"
#include "eu_records.h"

namespace {

const unsigned max_tokens = 512;
const size_t range_buffer_bytes = 652;

struct free_deleter {
    void operator()(char* p) const { free(p); }
};
using file_text = std::unique_ptr<char, free_deleter>;

/* The groups the file asks for, in file order. */
struct file_groups {
    std::vector<std::array<char, EU_GROUP_NAME_BYTES>> names;
    std::vector<std::array<uint32_t, EU_MASK_WORDS>> masks;
    unsigned count = 0;
};

void print_bad_file()
{
    puts("Bad file format, please stick to example.json format");
}

void print_processing_failed()
{
    puts("Problem processing the EU group configuration file given.");
}

/* The whole file, terminated; NULL after a message when its size cannot be
 * taken (a pipe, a directory), memory runs out, or it cannot be read whole. */
file_text read_whole_file(FILE* file)
{
    if (fseek(file, 0, SEEK_END) != 0)
        return nullptr;
    const long size = ftell(file);
    if (size < 0 || size == LONG_MAX || fseek(file, 0, SEEK_SET) != 0)
        return nullptr;
    file_text text(static_cast<char*>(malloc(static_cast<size_t>(size) + 1)));
    if (!text) {
        puts("Problem with memory allocation for EU group file content");
        return nullptr;
    }
    const size_t length = static_cast<size_t>(size);
    if (fread(text.get(), 1, length, file) != length || ferror(file))
        return nullptr;
    text.get()[length] = '\0';
    return text;
}

bool token_is(const char* text, const jsmntok_t& token, jsmntype_t type, const char* word)
{
    const size_t length = strlen(word);
    return token.type == type && static_cast<size_t>(token.end - token.start) == length &&
           memcmp(text + token.start, word, length) == 0;
}

int token_length(const jsmntok_t& token)
{
    return token.end - token.start;
}

/* Walks the tokens of the "eu_groups" array into `groups`. */
class group_walk {
public:
    /* end: the first token past the "eu_groups" array; count: all the tokens of the file. */
    group_walk(const char* text, const jsmntok_t* tokens, unsigned end, unsigned count,
               uint32_t reserved, file_groups& groups)
        : text_(text), tokens_(tokens), end_(end), count_(count), reserved_(reserved),
          groups_(groups)
    {
    }

    /* Walks every token after the array's own. Groups come only from inside the array: any
     * token after it (another key, or a second top-level value) is unexpected. */
    int run()
    {
        for (unsigned i = 3; i < count_; i++) {
            const jsmntok_t& token = tokens_[i];
            int taken;
            if (i >= end_)
                taken = unexpected(token);
            else if (token.type == JSMN_OBJECT && expect_ == EXPECT_GROUP)
                taken = open_group();
            else if (expect_ == EXPECT_NAME && token_is(text_, token, JSMN_STRING, "name"))
                taken = take_name(i);
            else if (expect_ == EXPECT_RANGE && token_is(text_, token, JSMN_STRING, "range"))
                taken = take_range(i);
            else
                taken = unexpected(token);
            if (taken < 0)
                return -1;
            i += static_cast<unsigned>(taken);
        }
        if (expect_ != EXPECT_GROUP) {
            /* A group whose name or range never came. */
            print_bad_file();
            return -1;
        }
        return 0;
    }

private:
    enum expectation { EXPECT_GROUP, EXPECT_NAME, EXPECT_RANGE };

    /* Each step returns how many tokens it consumed beyond its own, or -1. */
    int open_group()
    {
        if (reserved_ + groups_.count >= max_num_hxu_eu_group) {
            printf("The number of groups in the config file, plus %d existing/reserved ones, "
                   "exceeds the %u groups allowed\n",
                   static_cast<int>(reserved_), max_num_hxu_eu_group);
            return -1;
        }
        if (groups_.count == 0)
            puts("Applying the below groups:");
        printf("%d)", static_cast<int>(groups_.count) + 1);
        expect_ = EXPECT_NAME;
        return 0;
    }

    /* The key's value, or NULL after the bad-file line when the key ends the array. */
    const jsmntok_t* value_of(unsigned key)
    {
        if (key + 1 >= end_) {
            print_bad_file();
            return nullptr;
        }
        return &tokens_[key + 1];
    }

    int take_name(unsigned key)
    {
        const jsmntok_t* value = value_of(key);
        if (value == nullptr)
            return -1;
        const int length = token_length(*value);
        const std::string name(text_ + value->start, static_cast<size_t>(length));
        printf("\t- Name: %.*s\n", length, name.c_str());
        if (name.size() > MAX_EU_GROUP_NAME_LEN) {
            printf("Group name- %s, has more chars the maximum %d chars allowed \n", name.c_str(),
                   MAX_EU_GROUP_NAME_LEN);
            return -1;
        }
        std::array<char, EU_GROUP_NAME_BYTES>& slot = groups_.names[groups_.count];
        slot.fill('\0');
        memcpy(slot.data(), name.data(), name.size());
        for (unsigned earlier = groups_.count; earlier-- > 0;) {
            if (strncmp(groups_.names[earlier].data(), slot.data(), EU_GROUP_NAME_BYTES) == 0) {
                printf("Group name: \"%s\", is already taken by group of index N.%d in the file\n",
                       name.c_str(), static_cast<int>(earlier) + 1);
                return -1;
            }
        }
        expect_ = EXPECT_RANGE;
        return 1;
    }

    int take_range(unsigned key)
    {
        const jsmntok_t* value = value_of(key);
        if (value == nullptr)
            return -1;
        const int length = token_length(*value);
        const char* range = text_ + value->start;
        printf("\t- Range: %.*s\n", length, range);
        if (static_cast<size_t>(length) >= range_buffer_bytes) {
            printf("The range '%.*s' is not valid and does not fit the range eus format.\n", length,
                   range);
            return -1;
        }
        char work[range_buffer_bytes];
        memcpy(work, range, static_cast<size_t>(length));
        work[length] = '\0';
        uint32_t* mask = groups_.masks[groups_.count].data();
        if (validate_range_str_given(work) != 0 || parse_member_mask(work, mask, EU_MASK_WORDS) != 0 ||
            check_validity_of_eu_member_mask(mask, 1) != 0 || eu_object_members_overlap(mask) != 0)
            return -1;
        add_to_global_member_mask(mask);
        groups_.count++;
        expect_ = EXPECT_GROUP;
        return 1;
    }

    int unexpected(const jsmntok_t& token)
    {
        print_bad_file();
        printf("Unexpected key: %.*s\n", token_length(token), text_ + token.start);
        return -1;
    }

    const char* text_;
    const jsmntok_t* tokens_;
    unsigned end_;
    unsigned count_;
    uint32_t reserved_;
    file_groups& groups_;
    expectation expect_ = EXPECT_GROUP;
};

/* The first token past the "eu_groups" array (token 2) and everything inside it. */
unsigned array_end(const jsmntok_t* tokens, unsigned count)
{
    unsigned end = 3;
    while (end < count && tokens[end].start < tokens[2].end)
        end++;
    return end;
}

/* Reads, tokenises and checks the whole file; on success `groups` holds what to create.
 * Returns 0, -1 after the processing line, or -2 when the device cannot be opened (or another
 * command kept it). */
int check_file(const char* device, FILE* file, device_session& session, file_groups& groups)
{
    file_text text = read_whole_file(file);
    if (!text)
        return -1;
    std::vector<jsmntok_t> tokens(max_tokens);
    jsmn_parser parser;
    jsmn_init(&parser);
    const int count = jsmn_parse(&parser, text.get(), strlen(text.get()), tokens.data(), max_tokens);
    if (count < 0)
        return -1;
    if (count < 3 || tokens[0].type != JSMN_OBJECT || tokens[2].type != JSMN_ARRAY ||
        !token_is(text.get(), tokens[1], JSMN_STRING, "eu_groups")) {
        puts("Bad Json file format, please stick to example.json example's format");
        return -1;
    }
    if (!session.open_for_writing(device))
        return -2;
    uint32_t reserved = 0;
    if (max_num_hxu_eu_partition != 0 && !collect_partition_reservations(session.handle(), &reserved))
        return -1;
    groups.names.resize(max_num_hxu_eu_group);
    groups.masks.resize(max_num_hxu_eu_group);
    for (auto& mask : groups.masks)
        mask.fill(0);
    const unsigned tokens_read = static_cast<unsigned>(count);
    group_walk walk(text.get(), tokens.data(), array_end(tokens.data(), tokens_read), tokens_read,
                    reserved, groups);
    return walk.run();
}

/* Destroys every group id, each through a handle of its own. A DESTROY the
 * adapter refused with a register status means there was no group; one that
 * left the id unknown (access_leaves_id_unknown) may have left a group in
 * place, so nothing is created after it. */
int destroy_every_group(const char* device)
{
    puts("\nDestroying all old EU groups, before applying new ones...");
    for (uint32_t id = 1; id <= max_num_hxu_eu_group; id++) {
        device_session session;
        if (!session.open(device)) {
            puts("Fatal error when removing old EU groups. Terminating");
            return -1;
        }
        const int rc = destroy_group_id(session.handle(), static_cast<uint16_t>(id));
        if (rc == ME_OK) {
            printf("Group with group id: %u, was destroyed successfully\n", id);
        } else if (access_leaves_id_unknown(rc)) {
            puts("Fatal error when removing old EU groups. Terminating");
            return -1;
        }
    }
    return 0;
}

int create_file_groups(mfile* mf, const file_groups& groups)
{
    for (unsigned i = 0; i < groups.count; i++) {
        /* A fresh request each time: a CREATE carries id 0 and no field selection, never what
         * the previous reply left. */
        eug_record request;
        memset(&request, 0, sizeof request);
        request.operation = EU_OP_CREATE;
        eug_name_to_words(groups.names[i].data(), request.eug_name);
        memcpy(request.member_mask, groups.masks[i].data(), sizeof request.member_mask);
        if (reg_access_nic_hxu_eug(mf, MACCESS_REG_METHOD_SET, &request) != ME_OK) {
            puts("Failed to access EU group register.");
            print_object_limit_hint();
            printf("Fatal error, failed to create EU group with id: %d\n", static_cast<int>(i) + 1);
            return -1;
        }
    }
    return 0;
}

} // namespace

int eu_group_apply(const char* device, FILE* file)
{
    device_session session;
    file_groups groups;
    const int checked = check_file(device, file, session, groups);
    if (checked != 0) {
        if (checked == -1) {
            session.close();
            print_processing_failed();
        }
        return -1;
    }
    if (destroy_every_group(device) != 0 || create_file_groups(session.handle(), groups) != 0)
        return -1;
    if (eu_group_query(device, QUERY_ALL_IDS, NULL) != 0) {
        puts("Fatal error when querying new EU groups. Terminating");
        return -1;
    }
    return 0;
}
