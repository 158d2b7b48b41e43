#include "icmd_mailbox.h"

#include <algorithm>
#include <cstring>

#include "tlv_frames.h"

namespace vexil_sim {

uint32_t IcmdMailbox::buffer_limit() const {
  return std::min<uint32_t>(knobs_.max_cmd_size, kBufferCapacity);
}

bool IcmdMailbox::read(uint32_t address, uint32_t& value) {
  switch (address) {
    case kCtrlAddress:
      if (stuck_ && !knobs_.busy_stuck) complete();
      if (foreign_command_due() && foreign_armed_ == knobs_.busy_before_at) {
        foreign_shown_ = knobs_.busy_before_at;
        ++stats_.busy_reads;
        value = (ctrl_ & ~0xFF00u) | 1u;
      } else if (busy()) {
        ++stats_.busy_reads;
        if (busy_reads_left_ > 0) --busy_reads_left_;
        // While busy the status field still belongs to the firmware: it reads as 0.
        value = (ctrl_ & ~0xFF00u) | 1u;
      } else {
        value = ctrl_;
      }
      return true;
    case kMaxSizeAddress:
      value = knobs_.max_cmd_size;
      return true;
    case kSyndromeAddress:
      value = syndrome_;
      return true;
    default:
      break;
  }
  if (address % 4 != 0 || address < kBufferAddress || address - kBufferAddress >= buffer_limit())
    return false;
  // The buffer holds the frame as a byte stream: dword n is bytes 4n..4n+3, big-endian.
  const uint32_t offset = address - kBufferAddress;
  if (!busy()) stats_.last_reply_bytes = std::max(stats_.last_reply_bytes, offset + 4);
  const uint8_t* p = buffer_.data() + offset;
  value = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  return true;
}

bool IcmdMailbox::write(uint32_t address, uint32_t value) {
  switch (address) {
    case kCtrlAddress:
      if (busy()) return true;  // the firmware owns the word until the command ends
      if (value & 1u) {
        start(value);
      } else {
        ctrl_ = value;
        if (foreign_command_due()) foreign_armed_ = knobs_.busy_before_at;
      }
      return true;
    case kMaxSizeAddress:
    case kSyndromeAddress:
      return true;  // read-only
    default:
      break;
  }
  if (address % 4 != 0 || address < kBufferAddress || address - kBufferAddress >= buffer_limit())
    return false;
  const uint32_t offset = address - kBufferAddress;
  written_end_ = std::max(written_end_, offset + 4);
  uint8_t* p = buffer_.data() + offset;
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
  return true;
}

bool IcmdMailbox::foreign_command_due() const {
  return knobs_.busy_before_at != 0 && knobs_.busy_before_at == stats_.icmd_commands + 1 &&
         foreign_shown_ != knobs_.busy_before_at && !busy();
}

void IcmdMailbox::start(uint32_t ctrl) {
  ctrl_ = ctrl & ~0xFF00u;
  ++stats_.icmd_commands;
  if (!semaphore_.held()) ++stats_.unlocked_icmd_commands;
  stats_.last_opcode = ctrl >> 16;
  stats_.last_command_bytes = written_end_;
  stats_.last_reply_bytes = 0;
  written_end_ = 0;
  if (knobs_.busy_stuck) {
    ctrl_ |= 1u;
    stuck_ = true;
    return;
  }
  complete();
}

void IcmdMailbox::complete() {
  stuck_ = false;
  const uint16_t opcode = static_cast<uint16_t>(ctrl_ >> 16);
  uint8_t status;
  if (knobs_.icmd_status != 0 &&
      (knobs_.icmd_status_at == 0 || knobs_.icmd_status_at == stats_.icmd_commands)) {
    status = knobs_.icmd_status;
    syndrome_ = knobs_.icmd_syndrome;
  } else {
    status = execute(opcode, (ctrl_ & 2u) != 0);
    syndrome_ = 0;
  }
  ctrl_ = (ctrl_ & ~0xFF01u) | (uint32_t(status) << 8);
  busy_reads_left_ = knobs_.busy_polls;
}

uint8_t IcmdMailbox::execute(uint16_t opcode, bool dma) {
  if (dma) return kIcmdInvalidCmd;  // this adapter has no DMA mailbox page
  if (opcode == kOpcodeAccessRegister) return access_register(false);
  if (opcode == kOpcodeAccessRegisterWithString) return access_register(true);
  return kIcmdInvalidOpcode;
}

// Frame: operation TLV at 0, string TLV at 16 when `with_string`, register TLV after them, then
// the register image. The reply goes back in place: the operation TLV with dr 1 and the register
// status, the reply text in the string TLV, the reply image after the register TLV.
uint8_t IcmdMailbox::access_register(bool with_string) {
  return serve_register_frame(knobs_, registers_, buffer_.data(), buffer_limit(), with_string);
}

uint8_t serve_register_frame(const FaultKnobs& knobs, RegisterStore& registers, uint8_t* frame,
                             uint32_t limit, bool with_string) {
  const uint32_t reg_at = kOperationTlvBytes + (with_string ? kStringTlvBytes : 0);
  if (limit < reg_at + kRegTlvBytes) return kIcmdBadParam;

  OperationTlv op = decode_operation_tlv(frame);
  auto reply = [&](uint8_t status) {
    op.dr = 1;
    op.status = status & 0x7F;
    encode_operation_tlv(op, frame);
    return kIcmdOk;
  };
  if (op.type != kOperationTlvType || op.len != kOperationTlvBytes / 4)
    return reply(kRegStatusUnknownTlv);
  if (with_string && decode_string_tlv(frame + kOperationTlvBytes).type != kStringTlvType)
    return reply(kRegStatusUnknownTlv);
  const RegTlv reg = decode_reg_tlv(frame + reg_at);
  if (reg.type != kRegTlvType || reg.len == 0) return reply(kRegStatusUnknownTlv);
  if (op.cls != 1) return reply(kRegStatusClassNotSupported);

  const uint32_t image_at = reg_at + kRegTlvBytes;
  const uint32_t image_size = (uint32_t(reg.len) - 1) * 4;
  if (image_at + image_size > limit) return reply(kRegStatusBadParameter);

  const bool set_refused = op.method == kMethodSet && knobs.set_status >= 0;
  if (knobs.register_status >= 0 || set_refused) {
    registers.count(op.register_id, op.method);
    return reply(static_cast<uint8_t>(knobs.register_status >= 0 ? knobs.register_status : knobs.set_status));
  }
  if (knobs.busy_at != 0 && op.register_id == knobs.busy_register && op.method == knobs.busy_method) {
    const RegisterCounts seen = registers.counts(op.register_id);
    if ((op.method == kMethodGet ? seen.get : op.method == kMethodSet ? seen.set : seen.other) + 1 ==
        knobs.busy_at) {
      registers.count(op.register_id, op.method);
      return reply(kRegStatusBusy);
    }
  }
  if (op.method != kMethodGet && op.method != kMethodSet) {
    registers.count(op.register_id, op.method);
    return reply(kRegStatusMethodNotSupported);
  }

  RegisterAccess access;
  access.register_id = op.register_id;
  access.method = op.method;
  access.image.assign(frame + image_at, frame + image_at + image_size);
  const uint8_t status = registers.execute(access);
  access.image.resize(image_size, 0);
  std::memcpy(frame + image_at, access.image.data(), image_size);
  if (with_string) {
    StringTlv text;
    text.type = kStringTlvType;
    text.len = kStringTlvBytes / 4;
    text.text = access.text;
    encode_string_tlv(text, frame + kOperationTlvBytes);
  }
  return reply(status);
}

}  // namespace vexil_sim
