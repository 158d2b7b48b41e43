#include "sim_function.h"

namespace vexil_core_test {

std::string sim_config_path() { return std::string("/sys/bus/pci/devices/") + kSimAddress + "/config"; }

vexil_test::ScenarioResult run_with_sim_function(
    const SimOptions& options, const std::function<void(vexil_sim::FuseFunctionServer&)>& body) {
  vexil_test::ScenarioOptions scenario;
  scenario.timeout_seconds = options.timeout_seconds;
  return vexil_test::run_in_private_namespace(
      [&] {
        vexil_test::FakePciFunction fn;
        fn.address = kSimAddress;
        fn.device = options.config.device;
        vexil_test::add_pci_function(fn);
        vexil_sim::SimulatedAdapter adapter(options.config);
        adapter.set_knobs(options.knobs);
        if (options.prepare) options.prepare(adapter);
        vexil_sim::FuseFunctionServer server(adapter, sim_config_path());
        body(server);
        server.stop();
      },
      scenario);
}

}  // namespace vexil_core_test
