// The ioctl interposer answers registered descriptors and paths and forwards everything else to
// the real ioctl.
#include "ioctl_interposer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(IoctlInterposer, AnswersARegisteredDescriptor) {
  vexil_test::IoctlHandlerScope scope;
  int fd = open("/dev/null", O_RDWR);
  ASSERT_GE(fd, 0);
  unsigned long seen = 0;
  vexil_test::set_ioctl_handler_for_fd(fd, [&](int, unsigned long request, void* arg) {
    seen = request;
    *static_cast<uint32_t*>(arg) = 0x1234;
    return 0;
  });
  uint32_t value = 0;
  EXPECT_EQ(ioctl(fd, 0x800CD207ul, &value), 0);
  EXPECT_EQ(seen, 0x800CD207ul);
  EXPECT_EQ(value, 0x1234u);
  EXPECT_EQ(vexil_test::handled_ioctl_calls(), 1);
  close(fd);
}

TEST(IoctlInterposer, AnswersDescriptorsOpenedOnAPath) {
  vexil_test::IoctlHandlerScope scope;
  char tmpl[] = "/tmp/ioctl_node_XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  vexil_test::set_ioctl_handler_for_path(tmpl, [](int, unsigned long, void*) {
    errno = EIO;
    return -1;
  });
  int again = open(tmpl, O_RDWR);
  errno = 0;
  EXPECT_EQ(ioctl(again, 1ul, nullptr), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(ioctl(fd, 1ul, nullptr), -1);
  EXPECT_EQ(vexil_test::handled_ioctl_calls(), 2);
  close(again);
  close(fd);
  unlink(tmpl);
}

TEST(IoctlInterposer, ForwardsOtherDescriptorsToTheRealIoctl) {
  vexil_test::IoctlHandlerScope scope;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(write(sv[0], "abc", 3), 3);
  int pending = -1;
  EXPECT_EQ(ioctl(sv[1], FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 3) << "the real ioctl answered";
  struct termios t;
  errno = 0;
  EXPECT_EQ(ioctl(sv[1], TCGETS, &t), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(vexil_test::handled_ioctl_calls(), 0);
  close(sv[0]);
  close(sv[1]);
}

}  // namespace
