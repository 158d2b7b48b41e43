/*
 * cli_support.h - runs the built vexilctl as a process and builds the exact
 * texts it is expected to print.
 */
#ifndef VEXILCTL_TEST_CLI_SUPPORT_H
#define VEXILCTL_TEST_CLI_SUPPORT_H

#include "test_process.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cli {

inline const std::string& tool()
{
    static const std::string path = VEXILCTL_PATH;
    return path;
}

/* What the usage lines show: the canonical path of the tool. */
inline std::string canonical_tool()
{
    char* resolved = realpath(VEXILCTL_PATH, NULL);
    std::string path = resolved ? resolved : "";
    free(resolved);
    return path;
}

inline test_process::result run(const std::vector<std::string>& args,
                                const test_process::options& how = test_process::options())
{
    return test_process::run(tool(), args, how);
}

/* A help text from expected/, where %s stands for the program's base name. */
inline std::string expected_help(const std::string& file, const std::string& name = "vexilctl")
{
    std::ifstream in(std::string(EXPECTED_DIR) + "/" + file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    for (size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", at + name.size()))
        text.replace(at, 2, name);
    return text;
}

inline std::string full_help(const std::string& name = "vexilctl")
{
    return expected_help("top_help.txt", name) + expected_help("eu_group_help.txt", name) +
           expected_help("partition_help.txt", name);
}

inline std::string top_usage(const std::string& q)
{
    return "Usage:\n    " + q + " {help|version|eu_group|partition}\n\nType \"" + q +
           " help\" for detailed help\n";
}

inline std::string eu_group_usage(const std::string& q)
{
    return "Usage:\n    " + q + " eu_group {help|info|query|create|destroy|apply}\n\nType \"" + q +
           " eu_group help\" for detailed help\n";
}

inline std::string partition_usage(const std::string& q)
{
    return "Usage:\n    " + q + " partition {help|info|query|create|destroy}\n\nType \"" + q +
           " partition help\" for detailed help\n";
}

inline std::string inaccessible(const std::string& device)
{
    return "Inaccessible/no privileges/invalid device: " + device + "\n";
}

inline std::string wrong_flag_count(int min, int max)
{
    return "Wrong number of flags given. Each flag should be accompanied by an argument. Expected " +
           std::to_string(min) + " <= flags number <= " + std::to_string(max) + "\n";
}

inline std::string refusal(const std::string& option)
{
    return "Current command doesn't support " + option +
           " option, or flag was already given\n";
}

inline std::string bad_range(const std::string& item)
{
    return "The range '" + item + "' is not valid and does not fit the range eus format.\n";
}

const char* const bad_range_chars =
    "The -r/--range_eus and -v/--vhca_list arguments only accept digits 0-9, \"-\" and \",\"\n";
const char* const no_device = "HXU device wasn't provided with -d, terminating tool.\n";

/* The tool refuses every command unless it runs as root. */
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "vexilctl only runs as root; run the suite as root";
    }
};

inline std::string joined(const std::vector<std::string>& args)
{
    std::string text = "vexilctl";
    for (const std::string& a : args)
        text += " '" + a + "'";
    return text;
}

/* Runs the tool with the arguments and expects exactly this standard output,
 * nothing on standard error, and the status. */
inline void expect_cli(const std::vector<std::string>& args, const std::string& expected_out,
                       int expected_status)
{
    test_process::result r = run(args);
    EXPECT_EQ(r.out, expected_out) << joined(args);
    EXPECT_EQ(r.err, "") << joined(args);
    EXPECT_EQ(r.exit_status, expected_status) << joined(args);
}

} // namespace cli

#endif
