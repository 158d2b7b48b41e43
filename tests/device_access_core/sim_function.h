// A simulated adapter served as one PCI function's sysfs "config" file (a FUSE file) inside a
// private mount namespace, for the tests that reach it through the real user-level PCI path.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "fuse_function_server.h"
#include "simulated_adapter.h"

namespace vexil_core_test {

constexpr const char* kSimAddress = "0000:05:00.0";
constexpr uint16_t kSimPciId = 0x101d;  // a supported adapter's PCI device id

struct SimOptions {
  vexil_sim::FunctionConfig config;
  vexil_sim::FaultKnobs knobs;  // set on the adapter before it is served
  // Runs on the adapter before it is served (handlers, extra spaces).
  std::function<void(vexil_sim::SimulatedAdapter&)> prepare;
  int timeout_seconds = 50;
};

// In a fresh private namespace: adds the function's sysfs directory, serves the adapter as its
// config file, runs `body` with the running server (knobs, counters, registers), stops the server.
vexil_test::ScenarioResult run_with_sim_function(
    const SimOptions& options, const std::function<void(vexil_sim::FuseFunctionServer&)>& body);

// Path of the function's configuration file.
std::string sim_config_path();

// Whether the calling thread lets `sig` through: a step that failed while it held a semaphore or
// lock bit of the adapter gave its signal hold back.
inline bool let_through(int sig) {
  sigset_t blocked;
  pthread_sigmask(SIG_SETMASK, nullptr, &blocked);
  return sigismember(&blocked, sig) == 0;
}

}  // namespace vexil_core_test
