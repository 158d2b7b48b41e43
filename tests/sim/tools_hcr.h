// The tools command interface of the oldest adapters (hardware ids 0x1F5 and 0x1F7), as CR space
// devices: the seven-dword host command register at 0x80780 (go bit 23 and status bits 24-31 of
// dword 6), the 288-byte mailbox window at 0xE0000 and the semaphore at 0xF03BC (a read returns 0
// to the reader that obtains it, writing 0 frees it; a release the knobs refuse fails as a CR
// write). Setting the go bit runs the command: 0x70 and 0x71 move one 8-byte mailbox piece through
// the parameters, 0x3B serves the access register whose TLV frame is in the mailbox.
#pragma once

#include <cstdint>
#include <vector>

#include "address_space.h"
#include "fault_knobs.h"
#include "register_store.h"

namespace vexil_sim {

class ToolsHcr : public AddressSpace {
 public:
  static constexpr uint32_t kHcrAddress = 0x80780;
  static constexpr uint32_t kMailboxAddress = 0xE0000;
  static constexpr uint32_t kMailboxSize = 288;
  static constexpr uint32_t kSemaphoreAddress = 0xF03BC;
  static constexpr uint16_t kOpMailboxWrite = 0x70;
  static constexpr uint16_t kOpMailboxRead = 0x71;
  static constexpr uint16_t kOpAccessRegister = 0x3B;

  ToolsHcr(FaultKnobs& knobs, RegisterStore& registers, AdapterStats& stats)
      : knobs_(knobs), registers_(registers), stats_(stats), mailbox_(kMailboxSize, 0) {}
  // Attaches the register, the mailbox and the semaphore to CR space.
  void attach_to(CrSpace& cr);

  bool read(uint32_t address, uint32_t& value) override;
  bool write(uint32_t address, uint32_t value) override;
  bool semaphore_held_by_client() const { return semaphore_held_ && !knobs_.hcr_semaphore_foreign; }

 private:
  bool busy() const { return stuck_ || busy_reads_left_ > 0; }
  void start();
  uint8_t execute(uint16_t opcode);

  FaultKnobs& knobs_;
  RegisterStore& registers_;
  AdapterStats& stats_;
  std::vector<uint8_t> mailbox_;
  uint32_t hcr_[7] = {};
  bool semaphore_held_ = false;
  bool stuck_ = false;
  uint32_t busy_reads_left_ = 0;
};

}  // namespace vexil_sim
