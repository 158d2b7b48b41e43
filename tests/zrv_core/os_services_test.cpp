// Operating-system services on Linux, and string formatting.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "OperatingSystemAPI.h"
#include "string_format.h"

using wxe::zrv::common::string_format;

namespace {

std::unique_ptr<zrv_core::OperatingSystemAPI> Os() {
  return zrv_core::FactoryOperatingSystemAPI::GetInstance();
}

// Runs `body` in a forked child that is killed after `seconds`; true when it finished.
bool FinishesWithin(unsigned seconds, const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(seconds);
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadAvailable(int fd) {
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

TEST(OperatingSystem, LittleToBig32SwapsWholeWordsOnly) {
  uint32_t words[2] = {0x11223344u, 0x55667788u};
  EXPECT_EQ(Os()->LittleToBig32(words[0], 6), 1);
  EXPECT_EQ(words[0], 0x44332211u);
  EXPECT_EQ(words[1], 0x55667788u);
  EXPECT_EQ(Os()->LittleToBig32(words[0], -8), 0);
  EXPECT_EQ(words[0], 0x44332211u);
}

TEST(OperatingSystem, MilliSecondsSleep) {
  auto start = std::chrono::steady_clock::now();
  Os()->MilliSecondsSleep(1100);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1100));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
  // A negative time must not turn into a huge unsigned one.
  EXPECT_TRUE(FinishesWithin(3, [] { Os()->MilliSecondsSleep(-1500); }));
  EXPECT_TRUE(FinishesWithin(3, [] { Os()->MilliSecondsSleep(-1); }));
}

void ScribbleStack() {
  volatile char junk[64 * 1024];
  for (size_t i = 0; i < sizeof junk; ++i) junk[i] = 'X';
}

// The link target comes back whole and nothing after it, whatever the buffer held before.
TEST(OperatingSystem, ExecutablePathNameAndDir) {
  std::string expected = std::filesystem::read_symlink("/proc/self/exe").string();
  ScribbleStack();
  EXPECT_EQ(Os()->GetExecutablePath(), expected);
  ScribbleStack();
  EXPECT_EQ(Os()->GetExecutableName(), "common_services_test");
  EXPECT_EQ(Os()->GetExecutableDir() + "/common_services_test", expected);
}

TEST(OperatingSystem, CreateDirectoryIfNotExist) {
  char base[] = "/tmp/os_test.XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  std::string dir = std::string(base) + "/d";
  EXPECT_EQ(Os()->CreateDirectoryIfNotExist(dir), 0);
  EXPECT_EQ(Os()->CreateDirectoryIfNotExist(dir), EEXIST);
  EXPECT_TRUE(Os()->FileExists(dir + "/../d"));
  EXPECT_FALSE(Os()->FileExists(dir + "/none"));
  std::string deep = std::string(base) + "/x/y";
  try {
    Os()->CreateDirectoryIfNotExist(deep);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create the directory: " + deep);
  }
  rmdir(dir.c_str());
  rmdir(base);
}

// Standard error goes to a pipe for the test; what the suppression hides never reaches it.
class StderrTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(pipe_, O_NONBLOCK), 0);
    saved_ = dup(STDERR_FILENO);
    dup2(pipe_[1], STDERR_FILENO);
  }
  void TearDown() override {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(pipe_[0]);
    close(pipe_[1]);
  }
  std::string Written() { return ReadAvailable(pipe_[0]); }
  int pipe_[2] = {-1, -1};
  int saved_ = -1;
};

TEST_F(StderrTest, SuppressAndRestore) {
  auto os = Os();
  int fd = os->SuppressStderr();
  ASSERT_GE(fd, 0);
  fputs("hidden", stderr);
  EXPECT_EQ(os->RestoreStderr(fd), 0);
  fputs("shown", stderr);
  fflush(stderr);
  EXPECT_EQ(Written(), "shown");
}

// With no descriptor to spare, nothing is redirected and there is nothing to restore.
TEST_F(StderrTest, SuppressionThatCannotRedirectLeavesStderrWorking) {
  auto os = Os();
  // A first virtual call settles the sanitizer's type check here: under the descriptor limit it
  // could not make the pipe it probes memory with, and would stop the test.
  EXPECT_GT(os->GetPID(), 0);
  int lowest_free = dup(0);
  close(lowest_free);
  struct rlimit saved_limit;
  getrlimit(RLIMIT_NOFILE, &saved_limit);
  struct rlimit low = saved_limit;
  low.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  int fd = os->SuppressStderr();
  setrlimit(RLIMIT_NOFILE, &saved_limit);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(os->RestoreStderr(fd), -1);
  fputs("still here", stderr);
  fflush(stderr);
  EXPECT_EQ(Written(), "still here");
}

// Standard input replaced by a pipe or a pseudo-terminal for each case.
class PasswordTest : public ::testing::Test {
protected:
  void SetUp() override { saved_ = dup(STDIN_FILENO); }
  void TearDown() override {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
    if (master_ >= 0) close(master_);
    ResetStdin();
  }
  static void ResetStdin() {
    __fpurge(stdin);
    clearerr(stdin);
    std::cin.clear();
  }
  void StdinFromPipe(const std::string& text) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(p[1]);
    dup2(p[0], STDIN_FILENO);
    close(p[0]);
    ResetStdin();
  }
  // Standard input becomes a terminal with echo on; returns its descriptor.
  int StdinFromTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    grantpt(master_);
    unlockpt(master_);
    int slave = open(ptsname(master_), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
    dup2(slave, STDIN_FILENO);
    close(slave);
    fcntl(master_, F_SETFL, O_NONBLOCK);
    ResetStdin();
    return STDIN_FILENO;
  }
  int saved_ = -1;
  int master_ = -1;
};

TEST_F(PasswordTest, FromAPipe) {
  char buffer[16];
  StdinFromPipe("secret\nnext\n");
  EXPECT_EQ(Os()->InputPassword(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "secret");

  char small[8];
  memset(small, '#', sizeof small);
  StdinFromPipe("abcdefgh\nnext\n");
  EXPECT_EQ(Os()->InputPassword(small, 4), -1);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(small[4], '#');
  EXPECT_EQ(Os()->InputPassword(buffer, sizeof buffer), 0) << "the overlong line was read to its end";
  EXPECT_STREQ(buffer, "next");

  StdinFromPipe("");
  EXPECT_EQ(Os()->InputPassword(buffer, sizeof buffer), -1);
}

TEST_F(PasswordTest, FromATerminalWithoutEcho) {
  int tty = StdinFromTerminal();
  char buffer[16];
  // The terminal echoes as it receives: type only once echo is off.
  std::thread typist([&] {
    struct termios now;
    for (int i = 0; i < 5000 && tcgetattr(tty, &now) == 0 && (now.c_lflag & ECHO); ++i) usleep(1000);
    EXPECT_EQ(write(master_, "pw\n", 3), 3);
  });
  EXPECT_EQ(Os()->InputPassword(buffer, sizeof buffer), 0);
  typist.join();
  EXPECT_STREQ(buffer, "pw");
  EXPECT_EQ(ReadAvailable(master_).find("pw"), std::string::npos) << "the password was echoed";
  struct termios after;
  ASSERT_EQ(tcgetattr(tty, &after), 0);
  EXPECT_TRUE(after.c_lflag & ECHO);

  // End of input (^D at the start of a line) is a failure, not an empty password.
  char eof = static_cast<char>(after.c_cc[VEOF]);
  ASSERT_EQ(write(master_, &eof, 1), 1);
  EXPECT_EQ(Os()->InputPassword(buffer, sizeof buffer), -1);
}

TEST(StringFormat, ShortLongAndEncodingError) {
  EXPECT_EQ(string_format("%d-%s", 7, "x"), "7-x");
  std::string long_text(5000, 'a');
  EXPECT_EQ(string_format("%s|%d|%s", long_text.c_str(), 42, "end"), long_text + "|42|end");
  // A wide character the C locale cannot encode.
  EXPECT_EQ(string_format("%ls", L"\u20ac"), "encoding error formatting string :%ls");
}

}  // namespace
