// The logger: thresholds from ZRV_PRINT_LOG, the line format, Hexify and the log directory.
#include <ctype.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "Logger.h"
#include "capture_stdout.h"

using zrv_core::Logger;

namespace {

class LoggerTest : public ::testing::Test {
protected:
  void SetUp() override { Logger::DeleteInstance(); }
  void TearDown() override {
    Logger::DeleteInstance();
    unsetenv("ZRV_PRINT_LOG");
  }
  // A fresh logger for `value` (null: the variable unset), one message per level.
  static std::string LogEveryLevel(const char* value) {
    if (value) setenv("ZRV_PRINT_LOG", value, 1); else unsetenv("ZRV_PRINT_LOG");
    Logger::DeleteInstance();
    StdoutCapture capture;
    Logger* logger = Logger::GetInstance(zrv_core::LogLocation("src/Unit", "Func", 12), "ZRV_PRINT_LOG");
    logger->Debug("d");
    logger->Info("i");
    logger->Warning("w");
    logger->Error("e");
    logger->Fatal("f");
    return capture.finish();
  }
  // The level names of the lines printed, each followed by a blank.
  static std::string Levels(const std::string& out) {
    std::string levels;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
      if (out.compare(start, 1, "[") == 0)
        levels += out.substr(start + 1, out.find(']', start) - start - 1) + " ";
    return levels;
  }
};

TEST_F(LoggerTest, ThresholdsFromTheVariable) {
  EXPECT_EQ(LogEveryLevel(nullptr), "");
  EXPECT_EQ(Levels(LogEveryLevel("2")), "Warning Error Fatal ");
  for (const char* zero : {"7", "-1", "abc", "", "99999999999"})
    EXPECT_EQ(Levels(LogEveryLevel(zero)), "Debug Info Warning Error Fatal ") << "'" << zero << "'";
}

TEST_F(LoggerTest, LineFormatWithLocation) {
  std::string out = LogEveryLevel("4");
  const std::string shape = "[Fatal] 9999-99-99_99:99:99 [src/Unit_Func():12] | f\n";
  ASSERT_EQ(out.size(), shape.size()) << out;
  for (size_t i = 0; i < shape.size(); ++i)
    EXPECT_TRUE(shape[i] == '9' ? isdigit(static_cast<unsigned char>(out[i])) != 0 : out[i] == shape[i])
        << out;
  setenv("ZRV_PRINT_LOG", "0", 1);
  Logger::DeleteInstance();
  StdoutCapture capture;
  Logger::GetInstance(" [a_b():1]", "ZRV_PRINT_LOG")->Error("ends in a line end\n");
  std::string line = capture.finish();
  EXPECT_EQ(line.substr(line.find(" | ")), " | ends in a line end\n\n");
}

// The variable read again: text that does not convert counts as 0 there too, and unset turns
// logging off.
TEST_F(LoggerTest, UpdateEnvVariable) {
  setenv("ZRV_PRINT_LOG", "3", 1);
  Logger* logger = Logger::GetInstance("", "ZRV_PRINT_LOG");
  setenv("ZRV_PRINT_LOG", "abc", 1);
  EXPECT_NO_THROW(logger->UpdateEnvVariable("ZRV_PRINT_LOG"));
  {
    StdoutCapture capture;
    logger->Debug("shown");
    EXPECT_NE(capture.finish().find("| shown"), std::string::npos);
  }
  unsetenv("ZRV_PRINT_LOG");
  logger->UpdateEnvVariable("ZRV_PRINT_LOG");
  StdoutCapture capture;
  logger->Fatal("hidden");
  EXPECT_EQ(capture.finish(), "");
}

TEST_F(LoggerTest, HexifyStartsAfreshOnEveryCall) {
  Logger* logger = Logger::GetInstance("", "ZRV_PRINT_LOG");
  EXPECT_EQ(logger->Hexify(1), "0x1");
  EXPECT_EQ(logger->Hexify(0xABC), "0xabc");
  EXPECT_EQ(logger->Hexify(-1), "0xffffffff");
  EXPECT_EQ(logger->Hexify(0), "0x0");
}

// Init creates the directory (an existing one is fine), sets the minimum level, opens nothing.
TEST_F(LoggerTest, InitMakesTheDirectoryAndSetsTheMinimumLevel) {
  char base[] = "/tmp/logger_test.XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  std::string dir = std::string(base) + "/logs/";
  setenv("ZRV_PRINT_LOG", "0", 1);
  Logger* logger = Logger::GetInstance("", "ZRV_PRINT_LOG");
  logger->Init(zrv_core::eLogError, dir);
  logger->Init(zrv_core::eLogError, dir);
  struct stat st;
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  StdoutCapture capture;
  logger->Warning("dropped");
  logger->Error("kept");
  EXPECT_EQ(Levels(capture.finish()), "Error ");
  EXPECT_EQ(rmdir(dir.c_str()), 0) << "Init must not create files";
  EXPECT_THROW(logger->Init(zrv_core::eLogDebug, std::string(base) + "/no/such/"), std::runtime_error);
  rmdir(base);
}

}  // namespace
