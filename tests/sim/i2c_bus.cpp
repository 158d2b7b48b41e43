#include "i2c_bus.h"

#include <algorithm>

namespace vexil_sim {

namespace {
constexpr uint32_t kI2cGatewaySize = 16;
constexpr uint32_t kCmdShift = 29;
constexpr uint32_t kCmdWrite = 2, kCmdRead = 1, kCmdStop = 3;
constexpr uint32_t kPrimaryEnableBit = 1u << 22;
constexpr uint32_t kResultDone = 7, kResultNack = 6;
constexpr uint32_t kBusyBit = 1u << 30;
constexpr uint32_t kLockBit = 1u << 31;
constexpr uint32_t kNackBit = 1u << 1;

const SmbusLayout kLayout = {3, 4, 12, 19, 21, 28, 0x108};
const SmbusLayout kLayout21E = {2, 3, 11, 18, 20, 27, 0x10C};
}  // namespace

// ---- the bus ----

void I2cBus::add_memory(uint8_t address, uint8_t offset_bytes, const std::vector<uint8_t>& bytes,
                        uint32_t size) {
  Secondary s;
  s.offset_bytes = offset_bytes;
  s.memory.assign(std::min<uint32_t>(std::max<uint32_t>(size, 1), 0x10000), 0);
  std::copy_n(bytes.begin(), std::min(bytes.size(), s.memory.size()), s.memory.begin());
  secondaries_[address] = s;
}

void I2cBus::add_silent(uint8_t address) {
  Secondary s;
  s.acks = false;
  secondaries_[address] = s;
}

std::vector<uint8_t> I2cBus::memory(uint8_t address) const {
  auto it = secondaries_.find(address);
  return it == secondaries_.end() ? std::vector<uint8_t>() : it->second.memory;
}

I2cBus::Secondary* I2cBus::acking(uint8_t address) {
  auto it = secondaries_.find(address);
  if (it == secondaries_.end() || !it->second.acks) {
    ++stats_.i2c_nacks;
    return nullptr;
  }
  return &it->second;
}

bool I2cBus::write(uint8_t address, const uint8_t* bytes, uint32_t n) {
  Secondary* s = acking(address);
  if (!s) return false;
  for (uint32_t i = 0; i < n; ++i) {
    if (s->offset_seen < s->offset_bytes) {
      s->offset = s->offset << 8 | bytes[i];
      if (++s->offset_seen == s->offset_bytes) s->pointer = s->offset % s->memory.size();
      continue;
    }
    s->memory[s->pointer] = bytes[i];
    s->pointer = (s->pointer + 1) % s->memory.size();
  }
  return true;
}

bool I2cBus::read(uint8_t address, uint8_t* out, uint32_t n) {
  Secondary* s = acking(address);
  if (!s) return false;
  for (uint32_t i = 0; i < n; ++i) {
    out[i] = s->memory[s->pointer];
    s->pointer = (s->pointer + 1) % s->memory.size();
  }
  return true;
}

void I2cBus::stop(uint8_t address) {
  auto it = secondaries_.find(address);
  if (it == secondaries_.end()) return;
  it->second.offset_seen = 0;
  it->second.offset = 0;
}

// ---- I2C primary gateway ----

void I2cPrimaryGateway::attach_at(CrSpace& cr, uint32_t base) {
  gateways_[base];
  cr.attach(base, base + kI2cGatewaySize, this);
}

bool I2cPrimaryGateway::read(uint32_t address, uint32_t& value) {
  auto it = gateways_.upper_bound(address);
  if (it == gateways_.begin()) return false;
  --it;
  Registers& r = it->second;
  switch (address - it->first) {
    case 0: value = r.status; return true;
    case 4: value = r.data; return true;
    case 12: value = r.enable; return true;
    default: value = 0; return true;
  }
}

bool I2cPrimaryGateway::write(uint32_t address, uint32_t value) {
  auto it = gateways_.upper_bound(address);
  if (it == gateways_.begin()) return false;
  --it;
  Registers& r = it->second;
  switch (address - it->first) {
    case 0: run(it->first, r, value); return true;
    case 4: r.data = value; return true;
    case 12: r.enable = value; return true;
    default: return true;
  }
}

void I2cPrimaryGateway::run(uint32_t base, Registers& r, uint32_t ctrl) {
  ++stats_.i2c_transactions;
  stats_.last_i2c_gateway = base;
  const uint8_t address = ctrl & 0x7F;
  const uint32_t n = ((ctrl >> 22) & 3) + 1;
  uint32_t result = 0;  // neither done nor refused: the gateway is not enabled
  if (r.enable & kPrimaryEnableBit) {
    switch (ctrl >> kCmdShift) {
      case kCmdWrite: {
        uint8_t bytes[4];
        for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(r.data >> (24 - 8 * i));
        result = bus_.write(address, bytes, n) ? kResultDone : kResultNack;
        break;
      }
      case kCmdRead: {
        uint8_t bytes[4] = {};
        result = bus_.read(address, bytes, n) ? kResultDone : kResultNack;
        if (result == kResultDone) {
          r.data = 0;
          for (uint32_t i = 0; i < n; ++i) r.data |= uint32_t(bytes[i]) << (24 - 8 * i);
        }
        break;
      }
      case kCmdStop:
        bus_.stop(address);
        result = kResultDone;
        break;
      default:
        break;
    }
  }
  r.status = result << 16 | (ctrl & 0x7F);
}

// ---- SMBus primary gateway ----

void SmbusGateway::attach_at(CrSpace& cr, uint32_t base) {
  gateways_[base];
  cr.attach(base, base + kSize, this);
}

SmbusGateway::Registers& SmbusGateway::at(uint32_t address, uint32_t& offset) {
  auto it = gateways_.upper_bound(address);
  --it;  // attach_at put a gateway at or below every address this device answers
  offset = address - it->first;
  return it->second;
}

bool SmbusGateway::read(uint32_t address, uint32_t& value) {
  uint32_t offset = 0;
  Registers& r = at(address, offset);
  if (offset == 4) {
    value = r.status;
    const bool foreign = knobs_.smbus_foreign_lock_reads != 0;
    if (foreign) {
      value |= kLockBit;
      if (knobs_.smbus_foreign_lock_reads != kForever) --knobs_.smbus_foreign_lock_reads;
    }
    if (foreign || ((r.status & kLockBit) && r.lock_owner != requester_)) ++stats_.smbus_foreign_lock_shown;
    if (r.busy_left && knobs_.smbus_busy_reads) {  // turning the knob off ends them
      value |= kBusyBit;
      ++stats_.smbus_busy_shown;
      if (r.busy_left != kForever) --r.busy_left;
    }
  } else if (offset == layout_.nack_offset)
    value = r.nack;
  else if (offset >= 0x80 && offset < 0x8C)
    value = r.data[(offset - 0x80) / 4];
  else
    value = r.other[offset];
  return true;
}

bool SmbusGateway::write(uint32_t address, uint32_t value) {
  uint32_t offset = 0;
  Registers& r = at(address, offset);
  if (offset == 0) {
    if (value & kBusyBit) run(address, r, value);
  } else if (offset == 4) {
    write_lock(r, (value & kLockBit) != 0);  // only the lock bit is writable
  } else if (offset == layout_.nack_offset) {
    r.nack = value;
  } else if (offset >= 0x80 && offset < 0x8C) {
    r.data[(offset - 0x80) / 4] = value;
  } else {
    r.other[offset] = value;
  }
  return true;
}

void SmbusGateway::write_lock(Registers& r, bool set) {
  const bool foreign = knobs_.smbus_foreign_lock_reads != 0;
  const bool held = foreign || (r.status & kLockBit);
  if (set) {
    if (held) return;  // someone holds it: the write takes nothing
    r.status |= kLockBit;
    r.lock_owner = requester_;
    return;
  }
  if (!held) return;
  if (foreign || r.lock_owner != requester_) ++stats_.broken_smbus_locks;
  knobs_.smbus_foreign_lock_reads = 0;
  r.status &= ~kLockBit;
}

void SmbusGateway::run(uint32_t base, Registers& r, uint32_t ctrl) {
  ++stats_.smbus_transactions;
  if (knobs_.smbus_foreign_lock_reads || ((r.status & kLockBit) && r.lock_owner != requester_))
    ++stats_.foreign_smbus_transactions;
  else if (!(r.status & kLockBit))
    ++stats_.unlocked_smbus_transactions;
  stats_.last_smbus_gateway = base;
  const uint8_t address = (ctrl >> layout_.address_shift) & 0x7F;
  bool acked = true;
  if (ctrl & (1u << layout_.write_bit)) {
    const uint32_t n = std::min<uint32_t>((ctrl >> layout_.write_count_shift) & 0xF, 8);
    const uint8_t bytes[8] = {
        static_cast<uint8_t>(r.data[0] >> 16), static_cast<uint8_t>(r.data[0] >> 8),
        static_cast<uint8_t>(r.data[0]),       static_cast<uint8_t>(r.data[1] >> 24),
        static_cast<uint8_t>(r.data[1] >> 16), static_cast<uint8_t>(r.data[1] >> 8),
        static_cast<uint8_t>(r.data[1]),       static_cast<uint8_t>(r.data[2] >> 24)};
    acked = bus_.write(address, bytes, n);
  }
  if (acked && (ctrl & (1u << layout_.read_bit))) {
    const uint32_t n = ((ctrl >> layout_.read_count_shift) & 3) + 1;
    uint8_t bytes[4] = {};
    acked = bus_.read(address, bytes, n);
    if (acked) {
      r.data[0] = 0;
      for (uint32_t i = 0; i < n; ++i) r.data[0] |= uint32_t(bytes[i]) << (24 - 8 * i);
    }
  }
  bus_.stop(address);
  if (!acked) r.nack |= kNackBit;
  r.status &= ~kBusyBit;
  r.busy_left = knobs_.smbus_busy_reads;
}

// ---- both, where the device has them ----

I2cGateways::I2cGateways(AdapterStats& stats, FaultKnobs& knobs, const uint32_t& requester,
                         uint16_t hw_id)
    : hw_id_(hw_id),
      bus_(stats),
      i2c_(bus_, stats),
      smbus_(bus_, stats, knobs, requester, hw_id == 0x21E ? kLayout21E : kLayout) {}

void I2cGateways::attach_to(CrSpace& cr) {
  std::vector<uint32_t> i2c = {0xF0180};
  if (hw_id_ == 0x1FF) i2c = {0xF0800, 0xF0820, 0xF0850};
  if (hw_id_ == 0x1F5 || hw_id_ == 0x1F7) i2c = {0xF0180, 0xF01A0};
  if (hw_id_ == 0x209 || hw_id_ == 0x20B || hw_id_ == 0x247 || hw_id_ == 0x249 || hw_id_ == 0x24B)
    i2c = {0xF0800, 0xF0820, 0xF0850, 0xF0880, 0xF08B0, 0xF08E0};
  for (uint32_t base : i2c) i2c_.attach_at(cr, base);

  uint32_t base = 0xF4200, distance = 0x800, count = 7;
  if (hw_id_ == 0x218 || hw_id_ == 0x21C) base = 0xF5200, count = 14;
  if (hw_id_ == 0x225 || hw_id_ == 0x21E) base = 0x8A5400, count = 14;
  if (hw_id_ == 0x21E) distance = 0x1000;
  if (hw_id_ == 0x212 || hw_id_ == 0x216 || hw_id_ == 0x20F) count = 11;
  for (uint32_t i = 0; i < count; ++i) smbus_.attach_at(cr, base + distance * i);
}

}  // namespace vexil_sim
