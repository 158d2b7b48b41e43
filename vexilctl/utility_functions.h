/*
 * utility_functions.h - the option record and option parser of vexilctl, the
 * EU and VHCA range lists and masks, and the adapter's limits.
 *
 * Masks are arrays of 32-bit words: id i is bit (i % 32) of word (i / 32).
 * The 32-word EU masks have the layout of the member_mask field of the EU
 * group and partition registers and are copied to and from them word for word.
 */
#ifndef VEXILCTL_UTILITY_FUNCTIONS_H
#define VEXILCTL_UTILITY_FUNCTIONS_H

#include <stdint.h>
#include <stdio.h>

/* One bit per option; a sub-command's mask says which options it allows. */
enum tool_option_bit : uint32_t {
    OPT_HXU_DEVICE = 0x01,       /* -d */
    OPT_RANGE_EUS = 0x02,        /* -r */
    OPT_ID_GROUP = 0x04,         /* -g */
    OPT_NAME_GROUP = 0x08,       /* -n */
    OPT_FILE_GROUPS = 0x10,      /* -f */
    OPT_ID_PARTITION = 0x20,     /* -p */
    OPT_VHCA_LIST = 0x40,        /* -v */
    OPT_MAX_NUM_EU_GROUP = 0x80, /* -m */
};

/* Limits-report types of print_nic_cap_ext_reg; EU_GROUP and PARTITION also
 * name the kind of id that check_before_query_or_destroy checks. */
enum report_type {
    REPORT_NONE = 0,
    REPORT_EUS = 1,
    EU_GROUP = 2,
    PARTITION = 3,
};

/* The tool's one option record, filled by parse_tool_flags. */
struct tool_params {
    uint32_t flags;         /* options still allowed; a bit is cleared when taken */
    char* hxu_device;       /* -d, points into the argument vector */
    char* name_group;       /* -n, points into the argument vector */
    uint16_t id_group;      /* -g */
    uint16_t id_partition;  /* -p */
    uint16_t max_num_eu_group; /* -m */
    FILE* file_groups;      /* -f, opened for reading */
};
extern tool_params params;

#define EU_MASK_WORDS 32     /* EUs 0-1023 */
#define VHCA_MASK_WORDS 2048 /* VHCA ids 0-65535 */

extern uint32_t given_member_mask[EU_MASK_WORDS];      /* EUs requested by -r */
extern uint32_t global_member_mask[EU_MASK_WORDS];     /* EUs of the groups and partitions found */
extern uint32_t given_vhca_bit_mask[VHCA_MASK_WORDS];  /* VHCA ids requested by -v */
extern uint32_t global_vhca_bit_mask[VHCA_MASK_WORDS]; /* VHCA ids of the partitions found */

/* Accelerator limits read from the adapter, zero until read. */
extern uint16_t max_num_hxu_eu_group;      /* EU objects, and the highest group id */
extern uint16_t max_num_hxu_eu_per_group;  /* EUs in one group */
extern uint16_t max_num_hxu_eu;            /* EUs 0 to this minus 1 */
extern uint16_t max_num_hxu_eu_partition;  /* partitions, and the highest partition id */
extern uint16_t max_num_partition_vhca_id; /* VHCA ids in one partition */

#define MAX_EU_GROUP_NAME_LEN 15

/* Passed as the id of a group or partition query to list every id. It lies
 * outside the 16-bit id range, so no id given on the command line can be
 * taken for it. */
#define QUERY_ALL_IDS (-1)

/*
 * Reads the options that follow the command and the sub-command into params
 * and the request masks. params.flags must hold the sub-command's allowed
 * options; *counter is incremented once per accepted option. Returns 0 when
 * every option was accepted and between minimum and maximum were given, else
 * -1 after printing the first fault.
 */
int parse_tool_flags(int argc, char** argv, const char* option_string, int* counter,
                     int minimum, int maximum);

/* 0 when the text holds only digits, '-', ',' and blanks; else -1 after the message. */
int validate_range_str_given(const char* text);
/* 1 if the text holds a '-' anywhere, else 0. */
int string_contains_dash(const char* text);
/*
 * ORs the ids of a range list such as "2-15,16,31,100-120" into a mask of
 * `words` words; the text is split in place. 0 on success, -1 after the
 * message on failure (bits of earlier items stay set).
 */
int parse_member_mask(char* text, uint32_t* mask, unsigned words);

/* -1 after the message if the 32-word mask shares an EU with global_member_mask, else 0. */
int eu_object_members_overlap(const uint32_t* mask);
/* Checks a 32-word EU mask against max_num_hxu_eu and, when per_group is
 * nonzero, against max_num_hxu_eu_per_group; 0 or -1 after the messages. */
int check_validity_of_eu_member_mask(const uint32_t* mask, int per_group);
/* Checks a group (type EU_GROUP) or partition (type PARTITION) id against
 * min..max; 0 or -1 after the messages. Any other type aborts. */
int check_before_query_or_destroy(uint16_t max, uint16_t min, uint16_t id, int type);

/* Reads the limits from the device into the globals above and prints the
 * report of report_type; 0 or -1 after the message. */
int extract_nic_cap_ext_reg(const char* device, int report_type);
/* Prints limits report 1, 2 or 3; any other type prints nothing. */
void print_nic_cap_ext_reg(int report_type);

#endif
