#include "accelerator_function.h"

#include <sys/mount.h>

#include <stdexcept>

namespace vexil_sim {

namespace {
RegisterCounts minus(const RegisterCounts& a, const RegisterCounts& b) {
  return RegisterCounts{a.get - b.get, a.set - b.set, a.other - b.other};
}
}  // namespace

AcceleratorCounts accelerator_counts(AdapterControl& adapter) {
  return AcceleratorCounts{adapter.register_counts(kRegNicCapExt), adapter.register_counts(kRegNicHxuEug),
                           adapter.register_counts(kRegNicHxuEuPartition)};
}

AcceleratorCounts operator-(const AcceleratorCounts& after, const AcceleratorCounts& before) {
  return AcceleratorCounts{minus(after.cap, before.cap), minus(after.eug, before.eug),
                           minus(after.partition, before.partition)};
}

vexil_test::ScenarioResult with_accelerator_function(const AcceleratorSetup& setup,
                                                     const std::function<void(FuseFunctionServer&)>& body) {
  vexil_test::ScenarioOptions options;
  options.timeout_seconds = setup.timeout_seconds;
  return vexil_test::run_in_private_namespace(
      [&] {
        const FunctionConfig& config = setup.function;
        vexil_test::FakePciFunction fn;
        fn.address = kAcceleratorAddress;
        fn.device = config.device;
        vexil_test::add_pci_function(fn);
        SimulatedAdapter adapter(config);
        std::shared_ptr<Accelerator> model = Accelerator::install(adapter.registers(), setup.limits);
        if (setup.prepare) setup.prepare(*model);
        FuseFunctionServer server(adapter, std::string("/sys/bus/pci/devices/") + kAcceleratorAddress + "/config");
        std::vector<std::string> others;
        for (const std::string& address : setup.other_functions) {
          fn.address = address;
          others.push_back(vexil_test::add_pci_function(fn) + "/config");
          if (mount(server.config_path().c_str(), others.back().c_str(), nullptr, MS_BIND, nullptr) != 0)
            throw std::runtime_error("cannot serve " + address);
        }
        body(server);
        for (const std::string& path : others) umount2(path.c_str(), MNT_DETACH);
        server.stop();
      },
      options);
}

}  // namespace vexil_sim
