#include "vsec_window.h"

namespace vexil_sim {

AddressSpace* VsecWindow::any_space(uint16_t id) const {
  auto it = spaces_.find(id);
  return it == spaces_.end() ? nullptr : it->second;
}

AddressSpace* VsecWindow::space(uint16_t id) const {
  for (uint16_t missing : knobs_.missing_spaces)
    if (missing != 0 && missing == id) return nullptr;
  return any_space(id);
}

uint32_t VsecWindow::peek(uint32_t reg) const {
  switch (reg) {
    case kControl:
      return selected_ | (syndrome_ & 0xF) << 24 | (space(selected_) ? kSpaceStatusPresent : 0);
    case kCounter:
      return counter_;
    case kSemaphore:
      return semaphore_.read();
    case kAddress:
      return address_;
    case kData:
      return data_;
    default:
      return 0;
  }
}

uint32_t VsecWindow::read(uint32_t reg) {
  if (reg == kCounter) {
    if (++counter_ == 0) ++counter_;  // a ticket of 0 would read as a free semaphore
    return counter_;
  }
  return peek(reg);
}

void VsecWindow::write(uint32_t reg, uint32_t value) {
  switch (reg) {
    case kControl:
      selected_ = static_cast<uint16_t>(value & 0xFFFF);
      break;
    case kSemaphore:
      semaphore_.write(value);
      break;
    case kAddress:
      access(value);
      break;
    case kData:
      data_ = value;
      break;
    default:
      break;  // the counter and the header are read-only
  }
}

void VsecWindow::access(uint32_t address_register) {
  stats_.access_spaces[stats_.window_accesses++ % AdapterStats::kSpaceLogSize] = selected_;
  if (!semaphore_.held()) ++stats_.unlocked_window_accesses;
  if (knobs_.flag_stuck) {
    address_ = address_register;  // nothing answers: the flag stays as software left it
    return;
  }
  const uint32_t address = address_register & 0x3FFFFFFFu;
  const bool is_write = (address_register & kFlag) != 0;
  AddressSpace* target = space(selected_);
  bool ok = false;
  if (target) ok = is_write ? target->write(address, data_) : target->read(address, data_);
  if (!ok && !is_write) data_ = 0;
  syndrome_ = (!ok || knobs_.vsec_syndrome) ? kSyndromeError : 0;
  address_ = is_write ? address : (address | kFlag);
}

}  // namespace vexil_sim
