#include "tools_hcr.h"

#include "icmd_mailbox.h"

namespace vexil_sim {

namespace {
constexpr uint32_t kGoBit = 1u << 23;
// HCR statuses.
constexpr uint8_t kHcrOk = 0;
constexpr uint8_t kHcrBadOp = 2;
constexpr uint8_t kHcrBadSystem = 4;

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put_be32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
}  // namespace

void ToolsHcr::attach_to(CrSpace& cr) {
  cr.attach(kHcrAddress, kHcrAddress + 28, this);
  cr.attach(kMailboxAddress, kMailboxAddress + kMailboxSize, this);
  cr.attach(kSemaphoreAddress, kSemaphoreAddress + 4, this);
}

bool ToolsHcr::read(uint32_t address, uint32_t& value) {
  if (address == kSemaphoreAddress) {
    if (knobs_.hcr_semaphore_foreign || semaphore_held_) {
      value = 1;
    } else {
      semaphore_held_ = true;
      value = 0;
    }
    return true;
  }
  if (address >= kMailboxAddress && address < kMailboxAddress + kMailboxSize) {
    value = knobs_.hcr_no_cr_mailbox ? 0 : be32(mailbox_.data() + (address - kMailboxAddress));
    return true;
  }
  const uint32_t index = (address - kHcrAddress) / 4;
  value = hcr_[index];
  if (index == 6 && busy()) {
    if (stuck_ && !knobs_.busy_stuck) {
      stuck_ = false;
      start();
    } else if (busy_reads_left_ > 0) {
      --busy_reads_left_;
    }
    ++stats_.busy_reads;
    value = hcr_[6] | kGoBit;
  }
  return true;
}

bool ToolsHcr::write(uint32_t address, uint32_t value) {
  if (address == kSemaphoreAddress) {
    if (value == 0) {
      ++stats_.hcr_release_writes;
      if (knobs_.hcr_release_refusals) {
        if (knobs_.hcr_release_refusals != kForever) --knobs_.hcr_release_refusals;
        return false;
      }
    }
    if (value == 0 && !knobs_.hcr_semaphore_foreign) semaphore_held_ = false;
    return true;
  }
  if (address >= kMailboxAddress && address < kMailboxAddress + kMailboxSize) {
    if (!knobs_.hcr_no_cr_mailbox) put_be32(mailbox_.data() + (address - kMailboxAddress), value);
    return true;
  }
  const uint32_t index = (address - kHcrAddress) / 4;
  if (busy()) return true;  // the firmware owns the register until the command ends
  hcr_[index] = value;
  if (index == 6 && (value & kGoBit)) {
    ++stats_.hcr_commands;
    if (!semaphore_held_) ++stats_.unlocked_hcr_commands;
    if (knobs_.busy_stuck)
      stuck_ = true;
    else
      start();
  }
  return true;
}

void ToolsHcr::start() {
  const uint8_t status = knobs_.hcr_status ? knobs_.hcr_status : execute(hcr_[6] & 0xFFF);
  hcr_[6] = (hcr_[6] & 0x00FFFFFFu & ~kGoBit) | uint32_t(status) << 24;
  busy_reads_left_ = knobs_.busy_polls;
}

uint8_t ToolsHcr::execute(uint16_t opcode) {
  const uint32_t at = hcr_[2] * 4;  // the input modifier: the piece's dword index
  switch (opcode) {
    case kOpMailboxWrite:
    case kOpMailboxRead:
      if (at > kMailboxSize - 8) return kHcrBadSystem;
      ++stats_.hcr_mailbox_pieces;
      if (opcode == kOpMailboxWrite) {
        put_be32(mailbox_.data() + at, hcr_[1]);
        put_be32(mailbox_.data() + at + 4, hcr_[0]);
      } else {
        hcr_[4] = be32(mailbox_.data() + at);
        hcr_[3] = be32(mailbox_.data() + at + 4);
      }
      return kHcrOk;
    case kOpAccessRegister:
      return serve_register_frame(knobs_, registers_, mailbox_.data(), kMailboxSize, false) == kIcmdOk
                 ? kHcrOk
                 : kHcrBadSystem;
    default:
      return kHcrBadOp;
  }
}

}  // namespace vexil_sim
