// Commands that reach no device read no device file: version and help, with the default lookup
// of the device database pointed at a directory of device files (in a private namespace).
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_files.h"
#include "fake_system.h"
#include "test_process.h"

namespace {

TEST(DeviceFiles, VersionAndHelpReadNone) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::DeviceFileDir dir;
    dir.add("0xf00", vexil_test::device_object("fixture adapter"));
    dir.make_default();
    vexil_test::ReadWatch files(dir.path());
    vexil_test::ReadWatch config("/etc/zrv");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"version"}, {"help"}}) {
      const test_process::result r = test_process::run(VEXILCTL_PATH, args);
      EXPECT_EQ(r.exit_status, 0) << args[0] << ": " << r.err;
    }
    EXPECT_EQ(files.reads(), 0);
    EXPECT_EQ(config.reads(), 0) << "not even the configuration file";
    std::ifstream(dir.path() + "/0xf00.json").get();
    EXPECT_EQ(files.reads("0xf00.json"), 1) << "the watch sees a read";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
