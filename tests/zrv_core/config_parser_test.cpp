// The configuration file at its real path, in a private mount namespace with a fresh /etc.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "Logger.h"
#include "ZrvConfigParser.h"
#include "ZrvGeneralException.h"
#include "capture_stdout.h"
#include "fake_system.h"

namespace {

std::string FailureText(const zrv_core::ZrvConfigParser& parser, const std::string& key) {
  try {
    parser.GetFieldValue(key);
  } catch (const zrv_core::ZrvGeneralException& e) {
    EXPECT_EQ(e.GetErrorCode(), 0);
    return e.what();
  }
  return "no exception";
}

TEST(ZrvConfigParser, FirstLineHoldingTheKey) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::write_zrv_conf("old_key=1\nkey=2\nplain_entry\nblank= v\n# hashed=3\na=b=c\n");
    zrv_core::ZrvConfigParser parser("/etc/zrv/zrv.conf", '=');
    EXPECT_EQ(parser.GetFieldValue("key"), "1");
    EXPECT_EQ(parser.GetFieldValue("plain_entry"), "plain_entry");
    EXPECT_EQ(parser.GetFieldValue("blank"), " v");
    EXPECT_EQ(parser.GetFieldValue("hashed"), "3");
    EXPECT_EQ(parser.GetFieldValue("a=b"), "b=c");
    EXPECT_EQ(FailureText(parser, "missing"),
              "Following field not found in ZRV configuration file: missing\n");
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Lines are read up to 4096 characters; the rest of a longer line is skipped, so an endless
// file (here 64 MiB of NULs without a newline) costs no more memory than one line.
TEST(ZrvConfigParser, LongLinesAreCutAtTheBound) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::write_zrv_conf(std::string(5000, 'x') + "hidden=1\nlong=" + std::string(5000, 'v') +
                               "\nkey=2\n");
    zrv_core::ZrvConfigParser parser("/etc/zrv/zrv.conf", '=');
    EXPECT_EQ(FailureText(parser, "hidden"),
              "Following field not found in ZRV configuration file: hidden\n");
    EXPECT_EQ(parser.GetFieldValue("long").size(), 4096u - 5);
    EXPECT_EQ(parser.GetFieldValue("key"), "2");

    vexil_test::write_zrv_conf("");
    ASSERT_EQ(truncate("/etc/zrv/zrv.conf", 64 << 20), 0);
    const long growth = vexil_test::peak_memory_growth_kib(
        [&] { EXPECT_EQ(FailureText(parser, "key").rfind("Following field not found", 0), 0u); });
    EXPECT_LT(growth, 16 * 1024);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Only a regular file is read (a link to one still works), and no further than its first MiB: a
// line is read when it ends within it, at the end of a file of exactly a MiB, or with a newline as
// the first byte past it; a line the bound cuts is not read as a shorter one, nor is anything after
// it. A link to an endless device and a FIFO count as files that cannot be opened; neither may hold
// the reader (a hang fails the scenario by its time-out).
TEST(ZrvConfigParser, OnlyARegularFileAndOnlyItsFirstMiB) {
  vexil_test::ScenarioOptions options;
  options.timeout_seconds = 20;
  auto result = vexil_test::run_in_private_namespace([] {
    const char* path = "/etc/zrv/zrv.conf";
    zrv_core::ZrvConfigParser parser(path, '=');
    const size_t mib = 1u << 20;
    const struct {
      size_t line_start;
      const char* text;
      const char* key;
      const char* value;  // null: not found
    } bound_cases[] = {
        {mib - 10, "key=valuee\n", "key", "valuee"},          // the newline first past the bound
        {mib - 10, "key=valuee\nlate=1\n", "key", "valuee"},  // and the file goes on
        {mib - 10, "key=valuee\nlate=1\n", "late", nullptr},
        {mib - 10, "key=valuee", "key", "valuee"},  // a file of exactly a MiB, no newline
        {mib - 9, "key=valuee\n", "key", nullptr},  // the bound cuts the line before its last 'e'
        {mib - 4, "key=valuee\n", "key", nullptr},  // or right after the '='
    };
    for (const auto& c : bound_cases) {
      vexil_test::write_zrv_conf(std::string(c.line_start - 1, '#') + "\n" + c.text);
      std::string found;
      try {
        found = parser.GetFieldValue(c.key);
      } catch (const zrv_core::ZrvGeneralException& e) {
        found = e.what();
      }
      EXPECT_EQ(found, c.value ? c.value
                               : "Following field not found in ZRV configuration file: " +
                                     std::string(c.key) + "\n")
          << "line at MiB - " << mib - c.line_start << ": " << c.text;
    }

    const std::string refused = std::string("Failed to open ZRV configuration file: ") + path + "\n";
    ASSERT_EQ(unlink(path), 0);
    ASSERT_EQ(symlink("/dev/zero", path), 0);
    EXPECT_EQ(FailureText(parser, "key"), refused);
    ASSERT_EQ(unlink(path), 0);
    ASSERT_EQ(mkfifo(path, 0644), 0);
    EXPECT_EQ(FailureText(parser, "key"), refused);
    ASSERT_EQ(unlink(path), 0);
    vexil_test::add_file("/tmp/real.conf", "key=4\n");
    ASSERT_EQ(symlink("/tmp/real.conf", path), 0);
    EXPECT_EQ(parser.GetFieldValue("key"), "4");
  }, options);
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(ZrvConfigParser, NoFileIsLoggedAndThrown) {
  auto result = vexil_test::run_in_private_namespace([] {
    setenv("ZRV_PRINT_LOG", "3", 1);
    zrv_core::Logger::DeleteInstance();
    zrv_core::ZrvConfigParser parser("/etc/zrv/zrv.conf", '=');
    StdoutCapture capture;
    EXPECT_EQ(FailureText(parser, "key"), "Failed to open ZRV configuration file: /etc/zrv/zrv.conf\n");
    std::string out = capture.finish();
    EXPECT_NE(out.find("[Error] "), std::string::npos) << out;
    EXPECT_NE(out.find("ZrvConfigParser_GetFieldValue():"), std::string::npos) << out;
    EXPECT_NE(out.find("| Failed to open ZRV configuration file: /etc/zrv/zrv.conf\n\n"),
              std::string::npos)
        << out;
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
