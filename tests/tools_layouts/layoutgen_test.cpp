// The generator run as a process: it refuses bad data files with a message naming the problem
// and writes nothing, and writes a family's header and source for a good one.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct RunResult {
    int status = -1;
    std::string output;  // standard error and standard output together
};

RunResult run(const std::vector<std::string>& args)
{
    RunResult result;
    int fds[2];
    if (pipe(fds) != 0)
        return result;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0)
        result.output.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class LayoutgenProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/layoutgen_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        out_ = dir_ + "/out";
        ASSERT_EQ(mkdir(out_.c_str(), 0755), 0);
    }

    void TearDown() override
    {
        if (DIR* d = opendir(out_.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    unlink((out_ + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(out_.c_str());
        for (const std::string& f : written_)
            unlink(f.c_str());
        rmdir(dir_.c_str());
    }

    std::string write(const std::string& name, const std::string& text)
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        written_.push_back(path);
        return path;
    }

    RunResult generate(const std::vector<std::string>& files)
    {
        std::vector<std::string> args = {LAYOUTGEN_PATH, "--out", out_, "--catalogue", "cat"};
        args.insert(args.end(), files.begin(), files.end());
        return run(args);
    }

    size_t outputs() const
    {
        size_t count = 0;
        if (DIR* d = opendir(out_.c_str())) {
            while (dirent* e = readdir(d))
                count += e->d_name[0] != '.';
            closedir(d);
        }
        return count;
    }

    std::string dir_, out_;
    std::vector<std::string> written_;
};

const char* const kGood =
    "record good_inner size 4\n"
    "  field x at 0 width 8 values 1=ONE\n"
    "end\n"
    "record good_reg size 16\n"
    "  field kind at 0 width 8 values 0=A 1=B\n"
    "  select a at 32 type good_inner when kind is 0\n"
    "  field arr at 64 width 16 count 4\n"
    "end\n";

TEST_F(LayoutgenProcess, WritesHeaderSourceAndCatalogueForAGoodFile)
{
    const RunResult r = generate({write("good.layout", kGood)});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(outputs(), 4u);
    std::ifstream header(out_ + "/good_layouts.h");
    const std::string text((std::istreambuf_iterator<char>(header)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("struct good_reg {"), std::string::npos);
    EXPECT_NE(text.find("void good_reg_pack(const struct good_reg* ptr_struct, uint8_t* ptr_buff);"), std::string::npos);
    EXPECT_NE(text.find("extern const struct adb2c_node_db good_db;"), std::string::npos);
}

struct BadCase {
    const char* what;
    const char* text;
    const char* message;
};

const BadCase kBadCases[] = {
    {"overlapping fields",
     "record r size 8\n  field a at 0 width 16\n  field b at 8 width 8\nend\n",
     "bad.layout:3: error: field 'b' of 'r' overlaps field 'a' at bit 8"},
    {"field past the end",
     "record r size 8\n  field a at 60 width 8\nend\n",
     "bad.layout:2: error: 'a' of 'r' ends at bit 68, past the end of the record (64 bits)"},
    {"array past the end",
     "record r size 8\n  field a at 32 width 16 count 3\nend\n",
     "past the end of the record"},
    {"unknown nested record",
     "record r size 8\n  node n at 0 type nope\nend\n",
     "bad.layout:2: error: unknown nested record 'nope' for 'n' of 'r'"},
    {"unknown selector value",
     "record s size 4\n  field x at 0 width 8\nend\n"
     "record r size 8\n  field k at 0 width 2 values 0=A 1=B\n  select s at 32 type s when k is 2\nend\n",
     "bad.layout:6: error: unknown selector value 2 of 'k' for 's' of 'r'"},
    {"selector value too wide",
     "record s size 4\n  field x at 0 width 8\nend\n"
     "record r size 8\n  field k at 0 width 2\n  select s at 32 type s when k is 4\nend\n",
     "unknown selector value 4 of 'k'"},
    {"unknown selector field",
     "record s size 4\n  field x at 0 width 8\nend\nrecord r size 8\n  select s at 32 type s when q is 0\nend\n",
     "unknown selector field 'q'"},
    {"one value choosing two alternatives",
     "record s size 4\n  field x at 0 width 8\nend\n"
     "record r size 8\n  field k at 0 width 2\n  select s1 at 32 type s when k is 0\n  select s2 at 32 type s when k is 1,0\nend\n",
     "selector value 0 of 'k' chooses both 's1' and 's2'"},
    {"alternatives of different selectors overlapping",
     "record s size 4\n  field x at 0 width 8\nend\n"
     "record r size 8\n  field k at 0 width 2\n  field j at 2 width 2\n"
     "  select s1 at 32 type s when k is 0\n  select s2 at 32 type s when j is 0\nend\n",
     "overlaps field 's1'"},
    {"union without a member",
     "union u size 4\nend\n",
     "bad.layout:1: error: union 'u' has no member"},
    {"union larger than its largest member",
     "record s size 4\n  field x at 0 width 8\nend\nunion u size 8\n  member s type s\nend\n",
     "union 'u' is 8 bytes, its largest member 4"},
    {"union member larger than the union",
     "record s size 8\n  field x at 0 width 8\nend\nunion u size 4\n  member s type s\nend\n",
     "past the end of the union"},
    {"union going through a member it does not have",
     "record s size 4\n  field x at 0 width 8\nend\nunion u size 4 through t\n  member s type s\nend\n",
     "bad.layout:4: error: union 'u' goes through 't', not one of its members"},
    {"a name missing at the end of its line",
     "record r size 8\n  open\nend\n",
     "bad.layout:2: error: expected a field name at the end of the line"},
    {"record containing itself",
     "record r size 8\n  node n at 0 type r\nend\n",
     "record 'r' contains itself through 'n'"},
    {"record defined twice",
     "record r size 4\nend\nrecord r size 4\nend\n",
     "bad.layout:3: error: record 'r' is defined twice"},
    {"narrow element crossing a dword",
     "record r size 8\n  field a at 24 width 16 count 2\nend\n",
     "element 0 of array 'a' of 'r' crosses a dword boundary"},
    {"width outside 1 to 32 and 64",
     "record r size 8\n  field a at 0 width 40\nend\n",
     "width 40 of 'a' of 'r' is not 1 to 32 or 64"},
    {"64-bit field off a byte boundary",
     "record r size 16\n  field a at 4 width 64\nend\n",
     "64-bit field 'a' of 'r' is not on a byte boundary"},
    {"named value too wide",
     "record r size 4\n  field a at 0 width 2 values 4=FOUR\nend\n",
     "value 4 (FOUR) does not fit the 2 bits of 'a' of 'r'"},
    {"nested record off a byte boundary",
     "record s size 1\n  field x at 0 width 8\nend\nrecord r size 4\n  node n at 4 type s\nend\n",
     "nested record 'n' of 'r' is not on a byte boundary"},
    {"field overlapping a pointer's words",
     "record r size 8\n  field n at 0 width 8\n  pointer p at 32 width 32 count n/4\n  field late at 40 width 8\nend\n",
     "field 'late' overlaps pointer 'p' of 'r'"},
    {"unknown length of a pointer",
     "record r size 8\n  pointer p at 64 width 32 count m/4\nend\n",
     "unknown length field 'm'"},
    {"record left open",
     "record r size 8\n  field a at 0 width 8\n",
     "record 'r' is not closed by 'end'"},
    {"a word the format does not know",
     "record r size 8\n  feild a at 0 width 8\nend\n",
     "bad.layout:2: error: unexpected 'feild'"},
    {"a position that is not a number",
     "record r size 8\n  field a at zero width 8\nend\n",
     "'zero' is not a number"},
};

TEST_F(LayoutgenProcess, RefusesBadFilesNamingTheProblemAndWritesNothing)
{
    for (const BadCase& c : kBadCases) {
        SCOPED_TRACE(c.what);
        const RunResult r = generate({write("bad.layout", c.text)});
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_EQ(outputs(), 0u);
    }
}

TEST_F(LayoutgenProcess, RecordsNestAcrossFamiliesButFamiliesMustNotNestEachOther)
{
    const std::string base = write("base.layout", "record base_r size 4\n  field x at 0 width 32\nend\n");
    const std::string user = write("user.layout", "record user_r size 8\n  node b at 0 type base_r\nend\n");
    RunResult r = generate({base, user});
    EXPECT_EQ(r.status, 0) << r.output;
    std::ifstream header(out_ + "/user_layouts.h");
    const std::string text((std::istreambuf_iterator<char>(header)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("#include \"base_layouts.h\""), std::string::npos);

    // loop_r nests loop2_r, which nests loop_t of the first family again.
    const std::string loop = write("loop.layout", "record loop_r size 4\n  node u at 0 type loop2_r\nend\n"
                                                  "record loop_t size 4\nend\n");
    const std::string loop2 = write("loop2.layout", "record loop2_r size 4\n  node v at 0 type loop_t\nend\n");
    r = run({LAYOUTGEN_PATH, "--out", out_, loop, loop2});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("nest each other's records"), std::string::npos) << r.output;
}

TEST_F(LayoutgenProcess, UsageErrors)
{
    EXPECT_EQ(run({LAYOUTGEN_PATH}).status, 2);
    EXPECT_EQ(run({LAYOUTGEN_PATH, "--out", out_}).status, 2);
    const RunResult missing = generate({dir_ + "/absent.layout"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("cannot read the data file"), std::string::npos) << missing.output;
}

}  // namespace
