// The adapter's address spaces as the vendor-specific window reaches them: dword reads and writes
// at byte addresses. A read or write that the space does not answer returns false; the window
// turns that into its error syndrome.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "fault_knobs.h"

namespace vexil_sim {

class AddressSpace {
 public:
  virtual ~AddressSpace() = default;
  virtual bool read(uint32_t address, uint32_t& value) = 0;
  virtual bool write(uint32_t address, uint32_t value) = 0;
};

// Plain memory: aligned dwords below `limit`, zero until written.
class MemorySpace : public AddressSpace {
 public:
  explicit MemorySpace(uint32_t limit) : limit_(limit) {}
  bool read(uint32_t address, uint32_t& value) override;
  bool write(uint32_t address, uint32_t value) override;

 protected:
  bool valid(uint32_t address) const { return address % 4 == 0 && address < limit_; }

 private:
  uint32_t limit_;
  std::unordered_map<uint32_t, uint32_t> dwords_;
};

class HardwareSemaphore;

// CR space: memory with the read-only hardware id dword and the firmware's readiness bit. Once a
// mailbox is attached it also shows the ICMD mailbox as devices without a usable VSEC have it: a
// version word, a command-pointer word, a semaphore taken by the read that returns 0, and the
// mailbox at the pointer with the syndrome and control words at its end.
class CrSpace : public MemorySpace {
 public:
  static constexpr uint32_t kHwIdAddress = 0xF0014;
  static constexpr uint32_t kSize = 0x1000000;
  static constexpr uint32_t kMailboxVersionAddress = 0xE0000;  // version 1 in bits 24-31
  static constexpr uint32_t kMailboxPointerAddress = 0xE0004;  // the mailbox in bits 0-23
  static constexpr uint32_t kMailboxPointerJunk = 0x5A000000;  // bits 24-31 of that word
  static constexpr uint32_t kMailboxSemaphoreAddress = 0xE0008;
  static constexpr uint32_t kMailboxAddress = 0x100000;
  static constexpr uint32_t kMailboxSyndromeOffset = 0x3F8;
  static constexpr uint32_t kMailboxCtrlOffset = 0x3FC;

  CrSpace(const FaultKnobs& knobs, uint32_t hw_id_dword, uint32_t not_ready_address,
          unsigned not_ready_bit)
      : MemorySpace(kSize), knobs_(knobs), hw_id_dword_(hw_id_dword),
        not_ready_address_(not_ready_address), not_ready_bit_(not_ready_bit) {}
  bool read(uint32_t address, uint32_t& value) override;
  bool write(uint32_t address, uint32_t value) override;
  // `mailbox` is the ICMD space (control word at 0, syndrome and buffer at their addresses).
  void attach_mailbox(AddressSpace* mailbox, HardwareSemaphore* semaphore) {
    mailbox_ = mailbox;
    semaphore_ = semaphore;
  }
  // A device that answers the addresses [first, end) of CR space (at their CR addresses) instead
  // of the plain memory; the device must outlive the space.
  void attach(uint32_t first, uint32_t end, AddressSpace* device) { devices_.push_back({first, end, device}); }

 private:
  struct Attached {
    uint32_t first, end;
    AddressSpace* device;
  };
  // The mailbox-space address of a CR address inside the mailbox, or false.
  bool in_mailbox(uint32_t address, uint32_t& mailbox_address) const;
  AddressSpace* device_at(uint32_t address) const;

  std::vector<Attached> devices_;
  const FaultKnobs& knobs_;
  AddressSpace* mailbox_ = nullptr;
  HardwareSemaphore* semaphore_ = nullptr;
  uint32_t hw_id_dword_;
  uint32_t not_ready_address_;
  unsigned not_ready_bit_;
};

// A hardware semaphore dword: writing a non-zero ticket while it is free takes it (the owner reads
// its own ticket back), any other ticket is ignored while it is held, and 0 frees it. `foreign`
// points at the knob that makes another owner hold it for good.
class HardwareSemaphore {
 public:
  explicit HardwareSemaphore(const bool* foreign = nullptr) : foreign_(foreign) {}
  uint32_t read() const { return held_by_foreigner() ? kForeignOwner : owner_; }
  void write(uint32_t ticket);
  bool held() const { return read() != 0; }
  bool held_by_client() const { return owner_ != 0; }

 private:
  bool held_by_foreigner() const { return foreign_ && *foreign_; }
  const bool* foreign_;
  uint32_t owner_ = 0;
};

// The semaphore space: the ICMD semaphore at address 0, nothing else. Counts the tickets
// presented to it and the writes of 0, so that tests see how often a client tried.
class SemaphoreSpace : public AddressSpace {
 public:
  SemaphoreSpace(const FaultKnobs& knobs, AdapterStats& stats)
      : stats_(stats), semaphore_(&knobs.icmd_semaphore_foreign) {}
  bool read(uint32_t address, uint32_t& value) override;
  bool write(uint32_t address, uint32_t value) override;
  const HardwareSemaphore& icmd_semaphore() const { return semaphore_; }
  HardwareSemaphore& icmd_semaphore() { return semaphore_; }

 private:
  AdapterStats& stats_;
  HardwareSemaphore semaphore_;
};

}  // namespace vexil_sim
