/*
 * vexilctl.cpp - entry of vexilctl, the HXU EU management tool: checks the
 * user, picks the command and its sub-command, parses the sub-command's
 * options, reads the adapter's limits and runs one operation. Prints the
 * usage lines, the help texts and the version. All output goes to standard
 * output; the exit status is 0 on success and 255 on any failure.
 */
#include "eu_group.h"
#include "partition.h"
#include "utility_functions.h"

#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

/* ---- texts -------------------------------------------------------------- */

/* path: argv[0] made canonical, for the usage lines. */
void print_top_usage(const char* path)
{
    printf("Usage:\n    %s {help|version|eu_group|partition}\n\nType \"%s help\" for detailed help\n",
           path, path);
}

void print_eu_group_usage(const char* path)
{
    printf("Usage:\n    %s eu_group {help|info|query|create|destroy|apply}\n\n"
           "Type \"%s eu_group help\" for detailed help\n",
           path, path);
}

void print_partition_usage(const char* path)
{
    printf("Usage:\n    %s partition {help|info|query|create|destroy}\n\n"
           "Type \"%s partition help\" for detailed help\n",
           path, path);
}

void print_eu_group_invalid(const char* word)
{
    printf("Invalid eu_group command name: %s.\n", word);
}

void print_partition_invalid(const char* word)
{
    printf("Invalid partition command name: %s.\n", word);
}

/* name: the base name of argv[0], for the help texts. */
void print_top_help(const char* name)
{
    printf(
        "\n"
        "\t %s (HXU EU management) tool\n"
        "\t ======================================\n"
        "\n"
        "   HXU EU management tool enables EU resource control\n"
        "   by the user before using Wevra SDK over HXU.\n"
        "   The purpose is to optimize computation resources usage of the HXU.\n"
        "\n"
        "   The tool must run with root privileges (aka use sudo).\n"
        "   Firstly, a user should run: sudo qdx start\n"
        "   then, to get the device names: sudo qdx status -v\n"
        "\n"
        "   The flags & arguments are:\n"
        "   --------------------------\n"
        "\n"
        "   -d / --hxu_device\n"
        "\tThe device interface name (QDX/PCI/RDMA/NET).\n"
        "\tE.g. crv5_0 or dev/qdx/tq4129_pciconf0 or e2:00.0 or net-ens7f0np0.\n"
        "   -r / --range_eus\n"
        "\tThe EUs range wanted for a EU group or a partition.\n"
        "\tE.g. \"2-15,16,31,100-120\".\n"
        "   -g / --id_group\n"
        "\tThe group ID number.\n"
        "\tNote that this number should be positive and less than the \n"
        "\tmax_num_hxu_eu_group, which\n"
        "\tcould be provided to you from the \"eu_group info -d <device>\"\n"
        "\tcommand.\n"
        "   -n / --name_group\n"
        "\tThe group name is a 15 chars string.\n"
        "\tE.g. \"HG hello world1\".\n"
        "   -f / --file_groups\n"
        "\tThe full path or only the file's name if it is located in the same \n"
        "\tdirectory as the executable directory (where vexilctl is).\n"
        "   -p / --id_partition\n"
        "\tThe partition ID number.\n"
        "\tNote that this number should be positive and less or equal to the\n"
        "\tmax_num_hxu_eu_partition, which could be provided to you from the\n"
        "\t\"partition info -d <device>\" command.\n"
        "   -v / --vhca_list\n"
        "\tThe VHCA IDs that will be associated with the partition.\n"
        "\tE.g. \"1-3,5\".\n"
        "   -m / --max_num_eu_group\n"
        "\tThe number of EU groups that should be reserved for a partition on\n"
        "\tits creation.\n"
        "\n"
        "   The commands are:\n"
        "   -----------------\n"
        "\n"
        "   %s version\n"
        "\n"
        "\tPrint the version info.\n"
        "\n",
        name, name);
}

void print_eu_group_help(const char* name)
{
    printf(
        "   EU groups:\n"
        "   ~~~~~~~~~~~~\n"
        "   %s eu_group info --hxu_device <device>\n"
        "\n"
        "\tPrint the relevant HXU resources for EU groups.\n"
        "\n"
        "   %s eu_group create --hxu_device <device> --name_group <name> --range_eus <range>\n"
        "\n"
        "\tCreate a EU group on the device's partition provided, with the name specified.\n"
        "\tThe EUs given by the range will be taken from the HXU device's\n"
        "\tEU partition.\n"
        "\n"
        "   %s eu_group destroy --hxu_device <device> <--name_group <name> | --id_group <id>>\n"
        "\n"
        "\tDestroy a EU group that exists on the device's partition,\n"
        "\tthat either has the name or the id provided.\n"
        "\n"
        "   %s eu_group query --hxu_device <device> [--name_group <name> | --id_group <id>]\n"
        "\n"
        "\tQuery EU groups that reside on the device's partition provided.\n"
        "\tIf given one of the optional parameters (name or id), the command\n"
        "\twill query only the specific group, and print it out if it exists.\n"
        "\n"
        "   %s eu_group apply --hxu_device <device> --file_groups <file>\n"
        "\n"
        "\tApply the EU groups provided in the file on the device's partition.\n"
        "\tThe command will remove all the previous EU groups defined on the\n"
        "\tEU partition that the HXU device belongs to,\n"
        "\tand apply the ones from the file.\n"
        "\n",
        name, name, name, name, name);
}

void print_help(const char* name)
{
    printf(
        "   EU partitions:\n"
        "   ~~~~~~~~~~~~~~~~\n"
        "   %s partition info --hxu_device <device>\n"
        "\n"
        "\tPrint the relevant HXU resources for EU partitions.\n"
        "\n"
        "   %s partition create --hxu_device <device> --vhca_list <id_list> --range_eus <range> --max_num_eu_group <max_num>\n"
        "\n"
        "\tCreate a EU partition on the device's partition.\n"
        "\tAll the VHCAs provided in the vhca_list will belong to the new \n"
        "\tpartition and are able to control it. The EUs given by the range\n"
        "\twill be taken from the HXU device's EU partition.\n"
        "\tThe max_num_eu_group will specify the amount of EU\n"
        "\tgroups that will be reserved for creation under the new partition.\n"
        "\n"
        "   %s partition destroy --hxu_device <device> --id_partition <id>\n"
        "\n"
        "\tDestroy a EU partition that exists on the device's partition.\n"
        "\n"
        "   %s partition query --hxu_device <device> [--id_partition <id>]\n"
        "\n"
        "\tQuery EU partitions that reside on the device's partition provided.\n"
        "\tPrint out the partition if it exists.\n"
        "\n",
        name, name, name, name);
}

/* ---- sub-commands ------------------------------------------------------- */

struct invocation {
    int flag_count;           /* options accepted by the parser */
    const char* program_name; /* base name of argv[0] */
};

int run_eu_group_create(const invocation&)
{
    if (extract_nic_cap_ext_reg(params.hxu_device, REPORT_NONE) != 0)
        return -1;
    return eu_group_create(params.hxu_device, params.name_group);
}

int run_eu_group_destroy(const invocation&)
{
    if (extract_nic_cap_ext_reg(params.hxu_device, REPORT_NONE) != 0)
        return -1;
    return eu_group_destroy(params.hxu_device, params.id_group, params.name_group, 1);
}

/* With -d alone every group is listed; "all" is decided by the count, never
 * by the id, so that every id given with -g goes through the range check. */
int run_eu_group_query(const invocation& call)
{
    if (extract_nic_cap_ext_reg(params.hxu_device, REPORT_NONE) != 0)
        return -1;
    if (call.flag_count == 1)
        return eu_group_query(params.hxu_device, QUERY_ALL_IDS, NULL);
    return eu_group_query(params.hxu_device, params.id_group, params.name_group);
}

int run_eu_group_apply(const invocation&)
{
    if (extract_nic_cap_ext_reg(params.hxu_device, REPORT_NONE) != 0)
        return -1;
    int result = eu_group_apply(params.hxu_device, params.file_groups);
    fclose(params.file_groups);
    params.file_groups = NULL;
    return result;
}

int run_eu_group_info(const invocation&)
{
    return extract_nic_cap_ext_reg(params.hxu_device, EU_GROUP);
}

int run_eu_group_help(const invocation& call)
{
    print_eu_group_help(call.program_name);
    return 0;
}

int run_partition_create(const invocation&)
{
    if (extract_nic_cap_ext_reg(params.hxu_device, REPORT_NONE) != 0)
        return -1;
    return partition_create(params.hxu_device, params.max_num_eu_group);
}

int run_partition_destroy(const invocation&)
{
    if (extract_nic_cap_ext_reg(params.hxu_device, REPORT_NONE) != 0)
        return -1;
    return partition_destroy(params.hxu_device, params.id_partition);
}

int run_partition_query(const invocation& call)
{
    if (extract_nic_cap_ext_reg(params.hxu_device, REPORT_NONE) != 0)
        return -1;
    if (call.flag_count == 1)
        return partition_query(params.hxu_device, QUERY_ALL_IDS);
    return partition_query(params.hxu_device, params.id_partition);
}

int run_partition_info(const invocation&)
{
    return extract_nic_cap_ext_reg(params.hxu_device, PARTITION);
}

int run_partition_help(const invocation& call)
{
    print_help(call.program_name);
    return 0;
}

constexpr uint32_t D = OPT_HXU_DEVICE, R = OPT_RANGE_EUS, G = OPT_ID_GROUP, N = OPT_NAME_GROUP,
                   F = OPT_FILE_GROUPS, P = OPT_ID_PARTITION, V = OPT_VHCA_LIST,
                   M = OPT_MAX_NUM_EU_GROUP;

struct subcommand {
    const char* group;
    const char* name;
    uint32_t mask;             /* options allowed */
    const char* option_string; /* NULL: the sub-command takes no options */
    int min_flags;
    int max_flags;
    bool needs_device;         /* the counts allow a form without -d: check it */
    int (*run)(const invocation& call);
};

/* Looked up by exact name, in this order, within the command's group. */
constexpr subcommand subcommands[] = {
    /* group       name       mask           options      min max  check -d  run */
    {"eu_group",  "create",  D | R | N,     "d:n:r:",    3,  3,  false, run_eu_group_create},
    {"eu_group",  "destroy", D | G | N,     "d:n:g:",    2,  2,  true,  run_eu_group_destroy},
    {"eu_group",  "query",   D | G | N,     "d:n:g:",    1,  2,  true,  run_eu_group_query},
    {"eu_group",  "apply",   D | F,         "d:f:",      2,  2,  false, run_eu_group_apply},
    {"eu_group",  "info",    D,             "d:",        1,  1,  false, run_eu_group_info},
    {"eu_group",  "help",    0,             NULL,        0,  0,  false, run_eu_group_help},
    {"partition", "create",  D | R | V | M, "d:v:r:m:",  4,  4,  false, run_partition_create},
    {"partition", "destroy", D | P,         "d:p:",      2,  2,  false, run_partition_destroy},
    {"partition", "query",   D | P,         "d:p:",      1,  2,  true,  run_partition_query},
    {"partition", "info",    D,             "d:",        1,  1,  false, run_partition_info},
    {"partition", "help",    0,             NULL,        0,  0,  false, run_partition_help},
};

constexpr uint32_t option_bit(char letter)
{
    switch (letter) {
    case 'd': return D;
    case 'r': return R;
    case 'g': return G;
    case 'n': return N;
    case 'f': return F;
    case 'p': return P;
    case 'v': return V;
    case 'm': return M;
    default: return 0x80000000u; /* matches no mask */
    }
}

/* Every row's option string names exactly the options of its mask, and the
 * counts fit the number of options. */
constexpr bool rows_are_consistent()
{
    for (const subcommand& row : subcommands) {
        if (row.option_string == NULL)
            continue;
        uint32_t letters = 0;
        int options = 0;
        for (const char* c = row.option_string; *c != '\0'; c++) {
            if (*c != ':') {
                letters |= option_bit(*c);
                options++;
            }
        }
        if (letters != row.mask || row.min_flags < 1 || row.min_flags > row.max_flags ||
            row.max_flags > options)
            return false;
    }
    return true;
}
static_assert(rows_are_consistent(), "a sub-command's option string and mask disagree");

struct command_group {
    const char* name;
    void (*print_usage)(const char* path);
    void (*print_invalid)(const char* word);
};

const command_group command_groups[] = {
    {"eu_group", print_eu_group_usage, print_eu_group_invalid},
    {"partition", print_partition_usage, print_partition_invalid},
};

/* ---- program name ------------------------------------------------------- */

/* The canonical absolute path of argv[0]; argv[0] as given when it cannot
 * be resolved. */
std::string program_path(const char* argv0)
{
    char* resolved = realpath(argv0, NULL);
    if (resolved == NULL)
        return argv0;
    std::string path(resolved);
    free(resolved);
    return path;
}

/* The base name of argv[0], taken from a copy since basename may modify it. */
std::string program_name(const char* argv0)
{
    std::vector<char> copy(argv0, argv0 + strlen(argv0) + 1);
    return basename(copy.data());
}

int run_group_command(const command_group& group, int argc, char** argv)
{
    if (argc == 2) {
        group.print_usage(program_path(argv[0]).c_str());
        return -1;
    }
    for (const subcommand& row : subcommands) {
        if (strcmp(row.group, group.name) != 0 || strcmp(row.name, argv[2]) != 0)
            continue;
        invocation call = {0, NULL};
        if (row.option_string != NULL) {
            params.flags = row.mask;
            if (parse_tool_flags(argc, argv, row.option_string, &call.flag_count, row.min_flags,
                                 row.max_flags) != 0)
                return -1;
            if (row.needs_device && params.hxu_device == NULL) {
                puts("HXU device wasn't provided with -d, terminating tool.");
                return -1;
            }
        }
        const std::string name = program_name(argv[0]);
        call.program_name = name.c_str();
        return row.run(call) == 0 ? 0 : -1;
    }
    group.print_invalid(argv[2]);
    group.print_usage(program_path(argv[0]).c_str());
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (geteuid() != 0) {
        puts("Failed - the tool must run with root privileges");
        return -1;
    }
    const char* argv0 = argc > 0 && argv[0] != NULL ? argv[0] : "";
    if (argc < 2) {
        print_top_usage(program_path(argv0).c_str());
        return -1;
    }
    for (const command_group& group : command_groups) {
        if (strcmp(argv[1], group.name) == 0)
            return run_group_command(group, argc, argv);
    }
    if (strcmp(argv[1], "version") == 0) {
        printf("Version: %s\n", "'" VEXILCTL_VERSION "'");
        return 0;
    }
    if (strcmp(argv[1], "help") == 0) {
        const std::string name = program_name(argv0);
        print_top_help(name.c_str());
        print_eu_group_help(name.c_str());
        print_help(name.c_str());
        return 0;
    }
    print_top_usage(program_path(argv0).c_str());
    return -1;
}
