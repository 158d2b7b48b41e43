// The configuration file at its real path, in a private mount namespace with a fresh /etc.
#include <stdlib.h>
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
