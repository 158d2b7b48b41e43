// The ICMD address space and the firmware behind it: the control word (opcode in bits 16-31,
// status in bits 8-15, DMA bit 1, busy bit 0), the largest command size, the syndrome word and the
// command buffer. Raising the busy bit runs the command in the buffer; access-register commands
// decode the operation, string and register TLVs and answer from the register store.
#pragma once

#include <cstdint>
#include <vector>

#include "address_space.h"
#include "fault_knobs.h"
#include "register_store.h"

namespace vexil_sim {

constexpr uint16_t kOpcodeAccessRegister = 0x9001;
constexpr uint16_t kOpcodeAccessRegisterWithString = 0x9003;

// ICMD statuses (bits 8-15 of the control word).
constexpr uint8_t kIcmdOk = 0;
constexpr uint8_t kIcmdInvalidOpcode = 1;
constexpr uint8_t kIcmdInvalidCmd = 2;
constexpr uint8_t kIcmdBadParam = 4;

// Runs the access register in `frame` (`limit` bytes) and leaves the reply in place: the
// operation TLV with dr 1 and the register status, the reply image after the register TLV. Returns
// kIcmdOk, or kIcmdBadParam when the frame cannot hold even the TLVs. The ICMD firmware and the
// tools command interface both serve registers this way.
uint8_t serve_register_frame(const FaultKnobs& knobs, RegisterStore& registers, uint8_t* frame,
                             uint32_t limit, bool with_string);

class IcmdMailbox : public AddressSpace {
 public:
  static constexpr uint32_t kCtrlAddress = 0;
  static constexpr uint32_t kMaxSizeAddress = 0x1000;
  static constexpr uint32_t kSyndromeAddress = 0x1008;
  static constexpr uint32_t kBufferAddress = 0x100000;
  static constexpr uint32_t kBufferCapacity = 0x1000;

  IcmdMailbox(const FaultKnobs& knobs, RegisterStore& registers, const HardwareSemaphore& semaphore,
              AdapterStats& stats)
      : knobs_(knobs), registers_(registers), semaphore_(semaphore), stats_(stats),
        buffer_(kBufferCapacity, 0) {}

  bool read(uint32_t address, uint32_t& value) override;
  bool write(uint32_t address, uint32_t value) override;

 private:
  uint32_t buffer_limit() const;
  bool busy() const { return stuck_ || busy_reads_left_ > 0; }
  // Whether the next command is the one FaultKnobs::busy_before_at names, not yet shown busy.
  bool foreign_command_due() const;
  void start(uint32_t ctrl);
  void complete();
  uint8_t execute(uint16_t opcode, bool dma);
  uint8_t access_register(bool with_string);

  const FaultKnobs& knobs_;
  RegisterStore& registers_;
  const HardwareSemaphore& semaphore_;
  AdapterStats& stats_;
  std::vector<uint8_t> buffer_;
  uint32_t ctrl_ = 0;
  uint32_t syndrome_ = 0;
  uint32_t busy_reads_left_ = 0;
  uint32_t written_end_ = 0;  // end of the buffer bytes written since the last command started
  bool stuck_ = false;  // started while the busy-stuck knob was on; runs once it is turned off
  uint64_t foreign_armed_ = 0;  // busy_before_at once its command's opcode is written
  uint64_t foreign_shown_ = 0;  // busy_before_at once its busy read was shown
};

}  // namespace vexil_sim
