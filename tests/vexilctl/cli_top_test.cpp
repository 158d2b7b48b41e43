// The command word: the root check, the top usage, version and help, and what
// the usage and help lines show for the program's own name.
#include "cli_support.h"

#include <sys/stat.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using cli::CliTest;
using cli::expect_cli;

const char* const not_root = "Failed - the tool must run with root privileges\n";

/* A private, world-readable copy of the tool that an unprivileged user can
 * run wherever the build tree lives. */
class UnprivilegedCopy {
public:
    UnprivilegedCopy()
    {
        char pattern[] = "/tmp/vexilctl-test-XXXXXX";
        dir_ = mkdtemp(pattern);
        chmod(dir_.c_str(), 0755);
        path_ = dir_ + "/vexilctl";
        fs::copy_file(cli::tool(), path_);
        chmod(path_.c_str(), 0755);
    }
    ~UnprivilegedCopy() { fs::remove_all(dir_); }
    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

const std::vector<std::vector<std::string>> any_commands = {
    {},
    {"help"},
    {"version"},
    {"eu_group", "help"},
    {"eu_group", "info", "-d", "nodev0"},
    {"partition", "query", "--bogus"},
};

TEST(RootCheck, EveryCommandRefusedForAnUnprivilegedUser)
{
    UnprivilegedCopy copy;
    test_process::options how;
    how.drop_privileges = geteuid() == 0; /* otherwise the suite itself is unprivileged */
    for (const auto& args : any_commands) {
        test_process::result r = test_process::run(copy.path(), args, how);
        EXPECT_EQ(r.out, not_root) << cli::joined(args);
        EXPECT_EQ(r.err, "") << cli::joined(args);
        EXPECT_EQ(r.exit_status, 255) << cli::joined(args);
    }
}

TEST(RootCheck, RefusedUnderSetpriv)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "setpriv can only change the user when run as root";
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "/usr/bin/setpriv is not installed (util-linux)";
    UnprivilegedCopy copy;
    for (const char* command : {"help", "version"}) {
        test_process::result r = test_process::run(
            "/usr/bin/setpriv",
            {"--reuid=65534", "--regid=65534", "--clear-groups", copy.path(), command});
        EXPECT_EQ(r.out, not_root) << command;
        EXPECT_EQ(r.exit_status, 255) << command;
    }
}

TEST_F(CliTest, TopUsageForMissingOrUnknownCommand)
{
    const std::string usage = cli::top_usage(cli::canonical_tool());
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"bogus"}, {"EU_GROUP"}, {"Help"}, {""}, {"--help"}, {"-d", "x"}, {"helpx"}})
        expect_cli(args, usage, 255);
}

TEST_F(CliTest, VersionIgnoresFurtherArguments)
{
    expect_cli({"version"}, "Version: '24.10.2407'\n", 0);
    expect_cli({"version", "extra", "-d", "x", "--bogus"}, "Version: '24.10.2407'\n", 0);
}

TEST_F(CliTest, HelpPrintsAllThreeTexts)
{
    expect_cli({"help"}, cli::full_help(), 0);
    expect_cli({"help", "eu_group", "-x"}, cli::full_help(), 0);
}

TEST_F(CliTest, UnresolvableProgramPathShownAsGiven)
{
    test_process::options how;
    how.argv0 = "/nonexistent/dir/vx";
    test_process::result r = cli::run({}, how);
    EXPECT_EQ(r.out, cli::top_usage("/nonexistent/dir/vx"));
    EXPECT_EQ(r.exit_status, 255);

    r = cli::run({"eu_group"}, how);
    EXPECT_EQ(r.out, cli::eu_group_usage("/nonexistent/dir/vx"));
    r = cli::run({"partition", "bogus"}, how);
    EXPECT_EQ(r.out, "Invalid partition command name: bogus.\n" +
                         cli::partition_usage("/nonexistent/dir/vx"));

    r = cli::run({"help"}, how);
    EXPECT_EQ(r.out, cli::full_help("vx"));
    EXPECT_EQ(r.exit_status, 0);
}

TEST_F(CliTest, UsageShowsCanonicalPathHelpShowsNameAsCalled)
{
    char pattern[] = "/tmp/vexilctl-link-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string link = dir + "/othername";
    fs::create_symlink(cli::tool(), link);

    test_process::result r = test_process::run(link, {});
    EXPECT_EQ(r.out, cli::top_usage(cli::canonical_tool()));
    r = test_process::run(link, {"help"});
    EXPECT_EQ(r.out, cli::full_help("othername"));
    r = test_process::run(link, {"partition", "help"});
    EXPECT_EQ(r.out, cli::expected_help("partition_help.txt", "othername"));

    /* A relative argv[0] is resolved against the working directory. */
    test_process::options how;
    how.cwd = dir;
    how.argv0 = "./othername";
    r = test_process::run(link, {"eu_group"}, how);
    EXPECT_EQ(r.out, cli::eu_group_usage(cli::canonical_tool()));
    fs::remove_all(dir);
}

TEST_F(CliTest, PosixlyCorrectDoesNotChangeParsing)
{
    test_process::options posix;
    posix.env.emplace_back("POSIXLY_CORRECT", "1");
    test_process::options plain;
    plain.unset_env.push_back("POSIXLY_CORRECT");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"eu_group", "info", "-d", "nodev0"}, cli::inaccessible("nodev0")},
        {{"eu_group", "create", "-d", "D", "-n", "N", "-r", "1", "stray"},
         "Wrong command given. Expected MAX 9 arguments, but got 10\n"},
        {{"eu_group", "create", "stray", "-d", "D", "-n", "N", "-r", "1"},
         "Wrong command given. Expected MAX 9 arguments, but got 10\n"},
        {{"partition", "query", "stray", "-d", "nodev1"},
         "Wrong command given. Expected MAX 5 arguments, but got 6\n"},
        {{"partition", "query", "-d", "nodev1", "--", "-p", "3"},
         "Wrong command given. Expected MAX 5 arguments, but got 8\n"},
    };
    for (const auto& c : cases) {
        for (const test_process::options* how : {&posix, &plain}) {
            test_process::result r = cli::run(c.first, *how);
            EXPECT_EQ(r.out, c.second) << cli::joined(c.first);
            EXPECT_EQ(r.exit_status, 255) << cli::joined(c.first);
        }
    }
}

} // namespace
