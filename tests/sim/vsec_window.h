// The register window of the vendor-specific capability (offsets from the capability):
//   +0x04 control: bits 0-15 the selected address space, bits 24-27 syndrome (3 = error),
//         bits 29-31 space status (non-zero only while the selected space exists)
//   +0x08 counter: every read hands out a new non-zero ticket
//   +0x0C semaphore: 0 free; a ticket written while free takes it; 0 frees it
//   +0x10 address: bits 0-29 byte address, bit 31 flag. Software writes the address with the flag
//         set to write the data register there (the flag then reads 0), or clear to read it (the
//         data register then holds the dword and the flag reads 1)
//   +0x14 data
#pragma once

#include <cstdint>
#include <map>

#include "address_space.h"
#include "fault_knobs.h"

namespace vexil_sim {

class VsecWindow {
 public:
  static constexpr uint32_t kControl = 0x04;
  static constexpr uint32_t kCounter = 0x08;
  static constexpr uint32_t kSemaphore = 0x0C;
  static constexpr uint32_t kAddress = 0x10;
  static constexpr uint32_t kData = 0x14;
  static constexpr uint32_t kSize = 0x18;  // the capability's length, header included

  static constexpr uint32_t kFlag = 0x80000000u;
  static constexpr uint32_t kSpaceStatusPresent = 1u << 29;
  static constexpr uint32_t kSyndromeError = 3;

  VsecWindow(const FaultKnobs& knobs, AdapterStats& stats)
      : knobs_(knobs), stats_(stats), semaphore_(&knobs.vsec_semaphore_foreign) {}

  // Registers an address space; the window does not own it.
  void add_space(uint16_t id, AddressSpace* space) { spaces_[id] = space; }
  // The space as the window sees it: null when absent or switched off by the missing-space knob.
  AddressSpace* space(uint16_t id) const;
  // The space regardless of the knob (for inspection by tests).
  AddressSpace* any_space(uint16_t id) const;

  // One register read or write, with the device's side effects.
  uint32_t read(uint32_t reg);
  void write(uint32_t reg, uint32_t value);
  // The register's current value without side effects (for partial-dword writes).
  uint32_t peek(uint32_t reg) const;

  const HardwareSemaphore& semaphore() const { return semaphore_; }

 private:
  void access(uint32_t address_register);

  const FaultKnobs& knobs_;
  AdapterStats& stats_;
  std::map<uint16_t, AddressSpace*> spaces_;
  HardwareSemaphore semaphore_;
  uint16_t selected_ = 0;
  uint32_t syndrome_ = 0;
  uint32_t counter_ = 0;
  uint32_t address_ = 0;
  uint32_t data_ = 0;
};

}  // namespace vexil_sim
