// A simulated adapter as one PCI function sees it: a configuration space with a capability list
// ending in the vendor-specific capability, the register window behind it, CR, ICMD, semaphore and
// plain address spaces, the ICMD firmware and the register store. Independent of any transport:
// tests use it in-process, a FUSE server serves its configuration space as a file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "address_space.h"
#include "fault_knobs.h"
#include "i2c_bus.h"
#include "icmd_mailbox.h"
#include "register_store.h"
#include "tools_hcr.h"
#include "vsec_window.h"

namespace vexil_sim {

// What the function is; fixed once the adapter is built.
struct FunctionConfig {
  uint16_t vendor = 0x15b3;
  uint16_t device = 0x101d;
  uint32_t class_code = 0x020000;
  uint8_t revision = 0;
  uint16_t subsystem_vendor = 0x15b3;
  uint16_t subsystem_device = 0x0016;
  uint16_t hw_id = 0x212;  // low 16 bits of the CR dword at 0xF0014
  uint8_t hw_rev = 0;      // bits 16-19 of that dword
  // Where the firmware's "static configuration not done" bit lives in CR space.
  uint32_t not_ready_address = 0xB5E04;
  unsigned not_ready_bit = 31;
  bool vsec_present = true;
  bool cr_mailbox = false;        // CR space shows the ICMD mailbox too (CrSpace::kMailbox...)
  uint8_t vsec_type = 0;          // 0: functional window
  bool capability_loop = false;   // the list loops back on itself (and has no VSEC)
  uint32_t config_size = 4096;
};

// A function of the oldest adapters (see SimulatedAdapter::tools_hcr_mode).
inline FunctionConfig oldest_function(uint16_t hw_id = 0x1F5) {
  FunctionConfig config;
  config.hw_id = hw_id;
  return config;
}

class SimulatedAdapter : public AdapterControl {
 public:
  // Capability list: power management, PCI Express, then the vendor-specific capability.
  static constexpr uint32_t kPmCapability = 0x60;
  static constexpr uint32_t kExpressCapability = 0x70;
  static constexpr uint32_t kVsecCapability = 0xC0;
  // The legacy address/data pair into CR space.
  static constexpr uint32_t kLegacyAddress = 0x58;
  static constexpr uint32_t kLegacyData = 0x5C;

  explicit SimulatedAdapter(const FunctionConfig& config = {});
  SimulatedAdapter(const SimulatedAdapter&) = delete;
  SimulatedAdapter& operator=(const SimulatedAdapter&) = delete;

  // Configuration space, as pread/pwrite of the function's config file reach it. Reads and writes
  // may be of any length; bytes beyond the configuration space are not there (short result).
  std::vector<uint8_t> config_read(uint32_t offset, uint32_t length);
  // Returns the number of bytes taken (0 past the end).
  uint32_t config_write(uint32_t offset, const uint8_t* bytes, uint32_t length);

  const FunctionConfig& config() const { return config_; }
  RegisterStore& registers() { return registers_; }
  VsecWindow& window() { return window_; }
  // The secondaries behind the adapter's I2C and SMBus primary gateways.
  I2cBus& i2c_bus() { return i2c_.bus(); }
  // The oldest adapters (hardware ids 0x1F5, 0x1F7) answer the tools command interface in CR
  // space and have no ICMD space.
  bool tools_hcr_mode() const { return config_.hw_id == 0x1F5 || config_.hw_id == 0x1F7; }
  // Adds a plain-memory space (e.g. a space a later device needs).
  void add_plain_space(uint16_t id, uint32_t limit = 0x40000000u);
  // Who makes the accesses from now on, as far as the device can tell users apart (the FUSE server
  // gives each client process's id); 0, the default, is the adapter's own side.
  void set_requester(uint32_t who) { requester_ = who; }
  // For the server of the configuration file: counts one access by a client and tells whether
  // the knobs fail it; sends the client the knobs' signal when they want it before this access.
  bool begin_client_access(pid_t client);
  // After a client's write: sends the knobs' signal when they want it after a command started
  // and the write started one, or after the n-th read of another owner's SMBus lock bit and the
  // write made it (a CR read through the window runs when its address is written).
  void end_client_write(pid_t client, uint64_t commands_before);
  uint64_t commands_started() const {
    return stats_.icmd_commands + stats_.hcr_commands + stats_.smbus_transactions;
  }

  // AdapterControl
  FaultKnobs knobs() override { return knobs_; }
  void set_knobs(const FaultKnobs& knobs) override { knobs_ = knobs; }
  AdapterStats stats() override;
  RegisterCounts register_counts(uint16_t id) override { return registers_.counts(id); }
  std::vector<uint8_t> register_image(uint16_t id) override { return registers_.stored(id); }
  void set_register_image(uint16_t id, const std::vector<uint8_t>& image) override {
    registers_.store(id, image);
  }
  bool read_space(uint16_t space, uint32_t address, uint32_t& value) override;
  bool write_space(uint16_t space, uint32_t address, uint32_t value) override;
  std::vector<uint8_t> i2c_memory(uint8_t address) override { return i2c_.bus().memory(address); }

 private:
  uint32_t read_dword(uint32_t offset);
  uint32_t peek_dword(uint32_t offset) const;
  void write_dword(uint32_t offset, uint32_t value);
  bool in_window(uint32_t offset) const;
  uint32_t held_semaphores() const;
  void signal_client(pid_t client);

  FunctionConfig config_;
  FaultKnobs knobs_;
  AdapterStats stats_;
  RegisterStore registers_;
  std::vector<uint8_t> header_;  // fixed bytes of configuration space
  VsecWindow window_;
  CrSpace cr_;
  SemaphoreSpace semaphore_space_;
  IcmdMailbox icmd_;
  ToolsHcr hcr_;
  I2cGateways i2c_;
  std::vector<std::unique_ptr<MemorySpace>> plain_spaces_;
  uint32_t legacy_address_ = 0;
  uint32_t requester_ = 0;
  uint64_t foreign_lock_shown_before_ = 0;  // as of the client access in progress
};

}  // namespace vexil_sim
