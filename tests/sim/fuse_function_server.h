// Serves a simulated adapter's configuration space as a FUSE file and binds it over a PCI
// function's sysfs "config" file, so that a client opens, preads and pwrites it as it would a real
// device's. The file is served by a forked server process, never by the process that uses it: a
// process that serves a FUSE file and holds it open can hang in the kernel at exit. Tests reach the
// running adapter (knobs, counters, registers) through a control socket to that process.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_system.h"
#include "fault_knobs.h"
#include "simulated_adapter.h"

namespace vexil_sim {

// Empty when a function can be served here (a private mount namespace and FUSE are both usable);
// otherwise why not.
std::string fuse_function_unavailable();

// Skips the test, with the reason, where no function can be served.
#define SKIP_WITHOUT_FUSE_FUNCTION()                                                     \
  do {                                                                                   \
    const std::string why_ = ::vexil_sim::fuse_function_unavailable();                   \
    if (!why_.empty()) GTEST_SKIP() << why_;                                             \
  } while (0)

class FuseFunctionServer : public AdapterControl {
 public:
  // Empty when FUSE can be used here; otherwise why not (for GTEST_SKIP).
  static std::string unavailable_reason();

  // Forks the server process, which serves its own copy of `adapter` as it is at this call
  // (handlers set on the register store before this call come along), mounts the file and binds
  // it over `config_path`. Throws std::runtime_error when any step fails.
  FuseFunctionServer(SimulatedAdapter& adapter, const std::string& config_path);
  ~FuseFunctionServer() override;
  FuseFunctionServer(const FuseFunctionServer&) = delete;
  FuseFunctionServer& operator=(const FuseFunctionServer&) = delete;

  // Removes the bind, has the server unmount (which aborts the connection, so descriptors still
  // open on the file fail instead of hanging) and waits for it to end, killing it if it does not
  // within a few seconds. Safe to call twice.
  void stop();
  pid_t server_pid() const { return pid_; }
  const std::string& config_path() const { return config_path_; }

  // AdapterControl, answered by the server process. Each throws std::runtime_error when the
  // server does not answer.
  FaultKnobs knobs() override;
  void set_knobs(const FaultKnobs& knobs) override;
  AdapterStats stats() override;
  RegisterCounts register_counts(uint16_t register_id) override;
  std::vector<uint8_t> register_image(uint16_t register_id) override;
  void set_register_image(uint16_t register_id, const std::vector<uint8_t>& image) override;
  bool read_space(uint16_t space, uint32_t address, uint32_t& value) override;
  bool write_space(uint16_t space, uint32_t address, uint32_t value) override;
  std::vector<uint8_t> i2c_memory(uint8_t address) override;

 private:
  std::vector<uint8_t> call(const std::vector<uint8_t>& request);

  pid_t pid_ = -1;
  int control_fd_ = -1;
  std::string config_path_;
  std::string mount_file_;
  bool bound_ = false;
};

// Inside a private-namespace scenario: creates the fake function's sysfs directory (add_pci_function)
// with the ids, class and subsystem ids of `adapter`, so that sysfs and configuration space agree,
// and serves the adapter as its "config" file. The other fields of `function` (address, NUMA node,
// resource0, links, interface names) are used as given.
std::unique_ptr<FuseFunctionServer> serve_fake_function(SimulatedAdapter& adapter,
                                                        vexil_test::FakePciFunction function);

}  // namespace vexil_sim
