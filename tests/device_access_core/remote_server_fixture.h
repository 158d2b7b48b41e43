// The fixture of the remote transport's tests: a simulated adapter, its loopback server and a bare
// remote handle, with SSH switched off and the version warning quiet.
#pragma once

#include <errno.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "remote.h"
#include "remote_link.h"
#include "remote_server.h"
#include "remote_test_support.h"

namespace remote_test {

using vexil_sim::RemoteServer;
using vexil_sim::RemoteServerConfig;
using vexil_sim::ScriptedReply;
using vexil_sim::SimulatedAdapter;

constexpr uint32_t kScratch = 0x100;  // plain CR-space memory of the adapter

inline RemoteServerConfig version(int major, int minor) {
  RemoteServerConfig config;
  config.major = major;
  config.minor = minor;
  return config;
}

class RemoteTest : public ::testing::Test {
 protected:
  explicit RemoteTest(const vexil_sim::FunctionConfig& config = {}) : adapter(config) {}
  void start(const RemoteServerConfig& config = {}) {
    server.reset(new RemoteServer(adapter, config));
  }
  int open(const std::string& device = "qdx0") {
    return remote_open(server->device_name(device).c_str(), handle.get(), 0);
  }
  uint32_t cr(uint32_t address) {
    uint32_t value = 0;
    EXPECT_TRUE(adapter.read_space(vexil_sim::kSpaceCr, address, value));
    return value;
  }

  ScopedEnv no_ssh{"SSH_TIMEOUT", "0"};
  ScopedEnv no_warn{"TQCR_REMOTE_WARN", nullptr};
  SimulatedAdapter adapter;
  std::unique_ptr<RemoteServer> server;
  RemoteHandle handle;
};

}  // namespace remote_test
