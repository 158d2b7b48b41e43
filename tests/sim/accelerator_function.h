// The simulated adapter with its accelerator, served as the configuration file of PCI function
// 0000:03:00.0 in a private mount namespace, so that the device-access library and the tool reach
// it through the real user-level PCI path (VSEC window, ICMD mailbox, register TLVs).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "accelerator.h"
#include "fake_system.h"
#include "fuse_function_server.h"

namespace vexil_sim {

constexpr const char* kAcceleratorAddress = "0000:03:00.0";

struct AcceleratorSetup {
  AcceleratorLimits limits;
  // Runs on the model before the server takes its copy: seed groups and partitions, set faults.
  std::function<void(Accelerator&)> prepare;
  int timeout_seconds = 50;
  FunctionConfig function;  // e.g. hw_id 0x1F5: the oldest adapter, registers over the tools HCR
  // Further functions of the same adapter ("0000:03:00.1"), served by the same file.
  std::vector<std::string> other_functions;
};

// The accelerator's registers' transaction counts, and their growth between two snapshots.
struct AcceleratorCounts {
  RegisterCounts cap;
  RegisterCounts eug;
  RegisterCounts partition;
};
AcceleratorCounts accelerator_counts(AdapterControl& adapter);
AcceleratorCounts operator-(const AcceleratorCounts& after, const AcceleratorCounts& before);

// In a fresh private namespace: adds the function, serves the adapter with the accelerator as its
// configuration file, runs `body` with the running server, stops the server.
vexil_test::ScenarioResult with_accelerator_function(const AcceleratorSetup& setup,
                                                     const std::function<void(FuseFunctionServer&)>& body);

}  // namespace vexil_sim
