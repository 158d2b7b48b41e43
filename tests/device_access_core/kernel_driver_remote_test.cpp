// The primary/secondary swap of a remote handle is the server's: the client asks for the version
// and, from 1.3 on, sends "P", which the server must acknowledge.
#include <errno.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernel_driver.h"
#include "remote_server_fixture.h"

namespace remote_test {
namespace {

TEST_F(RemoteTest, PciChangeAsksTheServerToSwap) {
  start(version(1, 7));
  ASSERT_EQ(open(), 0) << strerror(errno);
  server->clear_requests();
  server->inject('P', ScriptedReply{"O"});
  EXPECT_EQ(mpci_change_kdrv(handle.get()), 0);
  EXPECT_EQ(server->requests(), (std::vector<std::string>{"V", "P"}));
  EXPECT_EQ(handle->access_type, (uint32_t)ACCESS_REMOTE) << "nothing swaps on this side";

  server->clear_requests();
  errno = 0;
  EXPECT_EQ(mpci_change_kdrv(handle.get()), -1) << "a server that refuses the swap";
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(server->count('P'), 1);
}

TEST_F(RemoteTest, PciChangeFromVersion13On) {
  start(version(1, 3));
  ASSERT_EQ(open(), 0) << strerror(errno);
  server->clear_requests();
  server->inject('P', ScriptedReply{"O"});
  EXPECT_EQ(mpci_change_kdrv(handle.get()), 0);
  EXPECT_EQ(server->requests(), (std::vector<std::string>{"V", "P"})) << "1.3 is above 1.2";
}

TEST_F(RemoteTest, PciChangeOnOlderServersIsTheVersionExchangeOnly) {
  start(version(1, 2));
  ASSERT_EQ(open(), 0) << strerror(errno);
  server->clear_requests();
  EXPECT_EQ(mpci_change_kdrv(handle.get()), 0);
  EXPECT_EQ(server->requests(), (std::vector<std::string>{"V"}));
}

}  // namespace
}  // namespace remote_test
