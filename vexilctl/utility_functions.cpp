/*
 * utility_functions.cpp - option parsing, range lists, mask checks and the
 * limits report of vexilctl. Every message goes to standard output.
 */
#include "utility_functions.h"

#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

tool_params params;

uint32_t given_member_mask[EU_MASK_WORDS];
uint32_t global_member_mask[EU_MASK_WORDS];
uint32_t given_vhca_bit_mask[VHCA_MASK_WORDS];
uint32_t global_vhca_bit_mask[VHCA_MASK_WORDS];

uint16_t max_num_hxu_eu_group;
uint16_t max_num_hxu_eu_per_group;
uint16_t max_num_hxu_eu;
uint16_t max_num_hxu_eu_partition;
uint16_t max_num_partition_vhca_id;

namespace {

const size_t max_argument_len = 1023;

/* ---- option values ---------------------------------------------------- */

enum number_verdict { NUMBER_OK, NUMBER_INVALID, NUMBER_NOT_POSITIVE };

/* Reads a positive decimal id or count into 16 bits: trailing text makes it
 * invalid, then a '-' anywhere makes it not positive (however large). Values
 * that do not fit are invalid, so that a stored value never names another id
 * than the one given. */
number_verdict read_number(const char* argument, uint16_t* store)
{
    char* end = NULL;
    errno = 0;
    long value = strtol(argument, &end, 10);
    if (*end != '\0')
        return NUMBER_INVALID;
    if (string_contains_dash(argument))
        return NUMBER_NOT_POSITIVE;
    if (errno == ERANGE || value > UINT16_MAX)
        return NUMBER_INVALID;
    *store = static_cast<uint16_t>(value);
    return NUMBER_OK;
}

int take_device(char* argument)
{
    params.hxu_device = argument;
    return 0;
}

int take_name_group(char* argument)
{
    if (argument[0] == '\0') {
        puts("Group name cannot be an empty string");
        return -1;
    }
    params.name_group = argument;
    return 0;
}

int take_file_groups(char* argument)
{
    params.file_groups = fopen(argument, "r");
    if (params.file_groups == NULL) {
        printf("Can't open groups configuration file \"%s\"\n", argument);
        return -1;
    }
    return 0;
}

int take_id_group(char* argument)
{
    number_verdict verdict = read_number(argument, &params.id_group);
    if (verdict == NUMBER_INVALID)
        printf("Group id \"%s\" is invalid, must be an integer\n", argument);
    else if (verdict == NUMBER_NOT_POSITIVE)
        printf("Group ID must be a POSITIVE integer, group ID given: %s\n", argument);
    return verdict == NUMBER_OK ? 0 : -1;
}

int take_id_partition(char* argument)
{
    number_verdict verdict = read_number(argument, &params.id_partition);
    if (verdict == NUMBER_INVALID)
        printf("Partition id \"%s\" is invalid, must be an integer\n", argument);
    else if (verdict == NUMBER_NOT_POSITIVE)
        printf("Partition ID must be a POSITIVE integer, Partition ID given: %s\n", argument);
    return verdict == NUMBER_OK ? 0 : -1;
}

int take_max_num_eu_group(char* argument)
{
    number_verdict verdict = read_number(argument, &params.max_num_eu_group);
    if (verdict == NUMBER_INVALID)
        printf("Maximum number of EU groups in partition \"%s\" is invalid, must be an integer\n",
               argument);
    else if (verdict == NUMBER_NOT_POSITIVE)
        printf("Maximum number of EU group in partition must be a POSITIVE integer, number given: "
               "%s\n",
               argument);
    return verdict == NUMBER_OK ? 0 : -1;
}

int take_range_eus(char* argument)
{
    if (validate_range_str_given(argument) != 0)
        return -1;
    return parse_member_mask(argument, given_member_mask, EU_MASK_WORDS);
}

int take_vhca_list(char* argument)
{
    if (validate_range_str_given(argument) != 0)
        return -1;
    return parse_member_mask(argument, given_vhca_bit_mask, VHCA_MASK_WORDS);
}

/* ---- the options -------------------------------------------------------- */

struct option_rule {
    int letter;
    uint32_t bit;
    const char* refusal; /* option not allowed here, or given twice */
    int (*take)(char* argument); /* checks and stores the value */
};

const option_rule option_rules[] = {
    {'d', OPT_HXU_DEVICE,
     "Current command doesn't support hxu_device option, or flag was already given", take_device},
    {'r', OPT_RANGE_EUS,
     "Current command doesn't support range_eus option, or flag was already given", take_range_eus},
    {'g', OPT_ID_GROUP,
     "Current command doesn't support id_group option, or flag was already given", take_id_group},
    {'n', OPT_NAME_GROUP,
     "Current command doesn't support name_group option, or flag was already given",
     take_name_group},
    {'f', OPT_FILE_GROUPS,
     "Current command doesn't support file_groups option, or flag was already given",
     take_file_groups},
    {'p', OPT_ID_PARTITION,
     "Current command doesn't support id_partition option, or flag was already given",
     take_id_partition},
    {'v', OPT_VHCA_LIST,
     "Current command doesn't support vhca_list option, or flag was already given", take_vhca_list},
    {'m', OPT_MAX_NUM_EU_GROUP,
     "Current command doesn't support max_num_eu_group option, or flag was already given",
     take_max_num_eu_group},
};

/* Every long name is recognised whatever the sub-command's option string
 * says; the allowed-option mask decides. */
const struct option long_options[] = {
    {"hxu_device", required_argument, NULL, 'd'},
    {"range_eus", required_argument, NULL, 'r'},
    {"id_group", required_argument, NULL, 'g'},
    {"name_group", required_argument, NULL, 'n'},
    {"file_groups", required_argument, NULL, 'f'},
    {"id_partition", required_argument, NULL, 'p'},
    {"vhca_list", required_argument, NULL, 'v'},
    {"max_num_eu_group", required_argument, NULL, 'm'},
    {NULL, 0, NULL, 0},
};

const option_rule* find_option_rule(int letter)
{
    for (const option_rule& rule : option_rules) {
        if (rule.letter == letter)
            return &rule;
    }
    return NULL;
}

} // namespace

int parse_tool_flags(int argc, char** argv, const char* option_string, int* counter,
                     int minimum, int maximum)
{
    /*
     * Options start after the command and the sub-command. getopt_long sees
     * the program name followed by the options only, so a command word never
     * stops it. The leading '-' makes it return every non-option in place
     * (as 1) instead of permuting or, with POSIXLY_CORRECT set, stopping at
     * it; strays are left to the argument count below.
     */
    std::vector<char*> options;
    options.push_back(argv[0]);
    for (int i = 3; i < argc; i++)
        options.push_back(argv[i]);
    options.push_back(NULL);
    const std::string in_order = std::string("-") + option_string;

    optind = 0; /* full restart of getopt's scan */
    int letter;
    int index = 0;
    while ((letter = getopt_long(static_cast<int>(options.size()) - 1, options.data(),
                                 in_order.c_str(), long_options, &index)) != -1) {
        if (letter == 1)
            continue;
        const option_rule* rule = find_option_rule(letter);
        if (rule == NULL)
            return -1; /* unknown option or missing argument, reported by getopt_long */
        if (strlen(optarg) > max_argument_len) {
            puts("One of the arguments exceeds 1023 chars allowed");
            return -1;
        }
        if ((params.flags & rule->bit) == 0) {
            puts(rule->refusal);
            return -1;
        }
        if (rule->take(optarg) != 0)
            return -1;
        params.flags &= ~rule->bit;
        (*counter)++;
    }

    if (*counter < minimum || *counter > maximum) {
        printf("Wrong number of flags given. Each flag should be accompanied by an argument. "
               "Expected %d <= flags number <= %d\n",
               minimum, maximum);
        return -1;
    }
    const int max_arguments = 2 * *counter + 3;
    if (argc > max_arguments) {
        printf("Wrong command given. Expected MAX %d arguments, but got %d\n", max_arguments, argc);
        return -1;
    }
    return 0;
}

/* ---- range lists -------------------------------------------------------- */

int validate_range_str_given(const char* text)
{
    for (const char* c = text; *c != '\0'; c++) {
        if ((*c < '0' || *c > '9') && *c != '-' && *c != ',' && *c != ' ') {
            puts("The -r/--range_eus and -v/--vhca_list arguments only accept digits 0-9, \"-\" "
                 "and \",\"");
            return -1;
        }
    }
    return 0;
}

int string_contains_dash(const char* text)
{
    return strchr(text, '-') != NULL ? 1 : 0;
}

namespace {

void print_bad_range(const char* text)
{
    printf("The range '%s' is not valid and does not fit the range eus format.\n", text);
}

/* Reads the one word of a range bound ("  12 " is 12, "1 2" and " " are not
 * bounds). The whole long is returned, so values past 32 bits stay too large. */
int read_bound(char* part, long* value)
{
    char* save = NULL;
    char* word = strtok_r(part, " \t\n", &save);
    if (word == NULL || strtok_r(NULL, " \t\n", &save) != NULL)
        return -1;
    *value = strtol(word, NULL, 10);
    return 0;
}

/* One item of a range list: "n" or "a-b" (either order). */
int parse_range_item(char* item, uint32_t* mask, long limit)
{
    const std::string shown(item);
    const bool has_dash = string_contains_dash(item) != 0;

    char* save = NULL;
    char* parts[3];
    int count = 0;
    for (char* part = strtok_r(item, "-", &save); part != NULL && count < 3;
         part = strtok_r(NULL, "-", &save))
        parts[count++] = part;

    long bounds[2];
    bool ok = count == 2 || (count == 1 && !has_dash);
    for (int i = 0; ok && i < count; i++)
        ok = read_bound(parts[i], &bounds[i]) == 0;
    if (!ok) {
        print_bad_range(shown.c_str());
        return -1;
    }
    long low = bounds[0];
    long high = count == 2 ? bounds[1] : low;
    if (low > high) {
        long swap = low;
        low = high;
        high = swap;
    }
    if (high >= limit) {
        print_bad_range(shown.c_str());
        return -1;
    }
    for (long id = low; id <= high; id++)
        mask[id / 32] |= 1u << (id % 32);
    return 0;
}

} // namespace

int parse_member_mask(char* text, uint32_t* mask, unsigned words)
{
    const long limit = 32L * words;
    const std::string whole(text);

    char* save = NULL;
    char* item = strtok_r(text, ",", &save);
    if (item == NULL) {
        print_bad_range(whole.c_str());
        return -1;
    }
    for (; item != NULL; item = strtok_r(NULL, ",", &save)) {
        if (parse_range_item(item, mask, limit) != 0)
            return -1;
    }
    return 0;
}

/* ---- mask and id checks ------------------------------------------------- */

int eu_object_members_overlap(const uint32_t* mask)
{
    for (unsigned w = 0; w < EU_MASK_WORDS; w++) {
        if ((mask[w] & global_member_mask[w]) != 0) {
            puts("There is an overlap of EUs between the mask given and another existing EU "
                 "object (group/partition)");
            return -1;
        }
    }
    return 0;
}

int check_validity_of_eu_member_mask(const uint32_t* mask, int per_group)
{
    unsigned count = 0;
    for (unsigned eu = 0; eu < 32 * EU_MASK_WORDS; eu++) {
        if ((mask[eu / 32] >> (eu % 32) & 1u) == 0)
            continue;
        if (eu >= max_num_hxu_eu) {
            puts("Error: A EU in the range exceeds the Max HXU EU number available");
            printf("Max number of HXU EUs available to use: %d\n", max_num_hxu_eu);
            return -1;
        }
        count++;
    }
    if (per_group && count > max_num_hxu_eu_per_group) {
        puts("Error: Sum of requested EUs exceeds the Max number of EUs per EU GROUP");
        print_nic_cap_ext_reg(EU_GROUP);
        return -1;
    }
    return 0;
}

int check_before_query_or_destroy(uint16_t max, uint16_t min, uint16_t id, int type)
{
    if (type != EU_GROUP && type != PARTITION) {
        /* A caller passed a kind of id that has no range: a programming error.
         * Stop whatever the build's NDEBUG setting. */
        fprintf(stderr, "%s:%d: %s: Assertion `type == PARTITION' failed.\n", __FILE__, __LINE__,
                __func__);
        abort();
    }
    const char* word = type == EU_GROUP ? "group" : "partition";
    if (max == 0) {
        printf("Error: this VHCA's partition doesn't and can't contain any %ss \n", word);
        print_nic_cap_ext_reg(type);
        return -1;
    }
    if (min <= id && id <= max)
        return 0;
    printf("Error: %s ID given - %d doesn't fit EU %ss ID range: %d <= ID <= %d\n", word, id, word,
           min, max);
    print_nic_cap_ext_reg(type);
    return -1;
}

/* ---- limits ------------------------------------------------------------- */

void print_nic_cap_ext_reg(int report_type)
{
    switch (report_type) {
    case REPORT_EUS:
        printf("Max number of HXU EUs available to use: %d\n", max_num_hxu_eu);
        break;
    case EU_GROUP:
        printf("Max number of HXU EU groups: %d\n", max_num_hxu_eu_group);
        printf("Max number of HXU EUs in one HXU EU group: %d\n", max_num_hxu_eu_per_group);
        printf("Max HXU EU number available to use: %d\n", max_num_hxu_eu);
        printf("Max EU group name length is %d chars\n", MAX_EU_GROUP_NAME_LEN);
        break;
    case PARTITION:
        printf("Max number of HXU EU partitions: %d\n", max_num_hxu_eu_partition);
        printf("Max number of VHCAs associated with a single partition: %d\n",
               max_num_partition_vhca_id);
        printf("Max number of HXU EU groups: %d\n", max_num_hxu_eu_group);
        puts("Note- an allocation of a partition consumes from the number of HXU EU *groups* "
             "available to create");
        print_nic_cap_ext_reg(REPORT_EUS);
        break;
    default:
        break;
    }
}
