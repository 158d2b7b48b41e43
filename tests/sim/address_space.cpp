#include "address_space.h"

#include "icmd_mailbox.h"

namespace vexil_sim {

bool MemorySpace::read(uint32_t address, uint32_t& value) {
  if (!valid(address)) return false;
  auto it = dwords_.find(address);
  value = it == dwords_.end() ? 0 : it->second;
  return true;
}

bool MemorySpace::write(uint32_t address, uint32_t value) {
  if (!valid(address)) return false;
  dwords_[address] = value;
  return true;
}

bool CrSpace::in_mailbox(uint32_t address, uint32_t& mailbox_address) const {
  if (!mailbox_ || address < kMailboxAddress || address >= kMailboxAddress + kMailboxCtrlOffset + 4)
    return false;
  const uint32_t offset = address - kMailboxAddress;
  if (offset == kMailboxCtrlOffset)
    mailbox_address = IcmdMailbox::kCtrlAddress;
  else if (offset == kMailboxSyndromeOffset)
    mailbox_address = IcmdMailbox::kSyndromeAddress;
  else
    mailbox_address = IcmdMailbox::kBufferAddress + offset;
  return true;
}

AddressSpace* CrSpace::device_at(uint32_t address) const {
  for (const Attached& a : devices_)
    if (address >= a.first && address < a.end) return a.device;
  return nullptr;
}

bool CrSpace::read(uint32_t address, uint32_t& value) {
  if (AddressSpace* device = device_at(address)) return valid(address) && device->read(address, value);
  if (address == kHwIdAddress) {
    value = hw_id_dword_;
    return true;
  }
  uint32_t at = 0;
  if (in_mailbox(address, at)) return mailbox_->read(at, value);
  if (mailbox_ && address == kMailboxVersionAddress) {
    value = 1u << 24;
    return true;
  }
  if (mailbox_ && address == kMailboxPointerAddress) {
    value = kMailboxPointerJunk | kMailboxAddress;
    return true;
  }
  if (mailbox_ && address == kMailboxSemaphoreAddress) {
    value = semaphore_->read();
    if (value == 0) semaphore_->write(1);  // the read that sees it free takes it
    return true;
  }
  if (!MemorySpace::read(address, value)) return false;
  if (address == not_ready_address_) {
    const uint32_t bit = 1u << not_ready_bit_;
    value = knobs_.not_ready ? (value | bit) : (value & ~bit);
  }
  return true;
}

bool CrSpace::write(uint32_t address, uint32_t value) {
  if (AddressSpace* device = device_at(address)) return valid(address) && device->write(address, value);
  if (address == kHwIdAddress) return valid(address);  // read-only: the write is dropped
  uint32_t at = 0;
  if (in_mailbox(address, at)) return mailbox_->write(at, value);
  if (mailbox_ && address == kMailboxSemaphoreAddress) {
    if (value == 0) semaphore_->write(0);
    return true;
  }
  return MemorySpace::write(address, value);
}

void HardwareSemaphore::write(uint32_t ticket) {
  if (held_by_foreigner()) return;
  if (ticket == 0)
    owner_ = 0;
  else if (owner_ == 0)
    owner_ = ticket;
}

bool SemaphoreSpace::read(uint32_t address, uint32_t& value) {
  if (address != 0) return false;
  value = semaphore_.read();
  return true;
}

bool SemaphoreSpace::write(uint32_t address, uint32_t value) {
  if (address != 0) return false;
  if (value != 0) ++stats_.icmd_semaphore_tickets;
  else ++stats_.icmd_semaphore_releases;
  semaphore_.write(value);
  return true;
}

}  // namespace vexil_sim
