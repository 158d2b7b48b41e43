#include "address_space.h"

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
  semaphore_.write(value);
  return true;
}

}  // namespace vexil_sim
