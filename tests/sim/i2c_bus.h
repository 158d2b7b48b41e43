// The adapter's own I2C bus and the two primary gateways in CR space that drive it.
//
// Secondaries: an EEPROM-like memory with a fixed offset width (the first `offset_bytes` bytes
// written after a start set its pointer, later bytes are stored at the pointer, reads come from
// the pointer; the pointer moves on and wraps) and devices that acknowledge nothing.
//
// The I2C primary gateway (hardware ids' gateway tables, default 0xF0180): control and status at
// +0 (secondary bits 0-6, byte count - 1 in bits 22-23, command in bits 29-31: 2 write, 1 read,
// 3 stop; on completion the command bits clear and bits 16-18 hold 7 done or 6 not acknowledged),
// data at +4 (bytes from the most significant end), primary enable at +12 (bit 22; without it no
// command completes with 7 or 6).
//
// The SMBus primary gateway (a base and a distance per hardware id, hardware id 0x21E with its own
// bit layout): control at +0, status at +4 (busy bit 30, lock bit 31), data registers at +0x80,
// NACK register (bit 1) at +0x108 or +0x10C. A control word with the busy bit runs one transaction
// at once: its write bytes from the data registers (the byte after the address byte first), then
// its read bytes into data register 0 from the most significant end.
//
// The lock bit is what a user holds the gateway with for one transaction pair, and it has an
// owner: whoever set it while it was clear (the requester of the access, see
// SimulatedAdapter::set_requester). Setting it while another owner holds it changes nothing; a
// clear frees it whoever writes it, as the hardware cannot tell, but a clear by someone else is
// counted as a broken lock, and so is every transaction started while another owner held it. The
// registers themselves are shared: nothing stops another user's transaction.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "address_space.h"
#include "fault_knobs.h"

namespace vexil_sim {

class I2cBus {
 public:
  explicit I2cBus(AdapterStats& stats) : stats_(stats) {}
  // An EEPROM-like secondary of `size` bytes (at most 64 KiB) holding `bytes` from 0.
  void add_memory(uint8_t address, uint8_t offset_bytes, const std::vector<uint8_t>& bytes,
                  uint32_t size = 256);
  // A secondary that acknowledges nothing.
  void add_silent(uint8_t address);
  std::vector<uint8_t> memory(uint8_t address) const;

  // One transaction step; false when nobody acknowledged.
  bool write(uint8_t address, const uint8_t* bytes, uint32_t n);
  bool read(uint8_t address, uint8_t* out, uint32_t n);
  void stop(uint8_t address);

 private:
  struct Secondary {
    bool acks = true;
    uint8_t offset_bytes = 1;
    std::vector<uint8_t> memory;
    uint32_t pointer = 0;
    uint32_t offset_seen = 0;  // offset bytes taken since the last stop
    uint32_t offset = 0;
  };
  Secondary* acking(uint8_t address);

  AdapterStats& stats_;
  std::map<uint8_t, Secondary> secondaries_;
};

class I2cPrimaryGateway : public AddressSpace {
 public:
  I2cPrimaryGateway(I2cBus& bus, AdapterStats& stats) : bus_(bus), stats_(stats) {}
  // Attaches one gateway's registers at `base` in CR space.
  void attach_at(CrSpace& cr, uint32_t base);
  bool read(uint32_t address, uint32_t& value) override;
  bool write(uint32_t address, uint32_t value) override;

 private:
  struct Registers {
    uint32_t status = 0, data = 0, enable = 0;
  };
  void run(uint32_t base, Registers& r, uint32_t ctrl);

  I2cBus& bus_;
  AdapterStats& stats_;
  std::map<uint32_t, Registers> gateways_;  // by base address
};

struct SmbusLayout {
  unsigned start_bit, read_count_shift, address_shift, read_bit, write_count_shift, write_bit;
  uint32_t nack_offset;
};

class SmbusGateway : public AddressSpace {
 public:
  static constexpr uint32_t kSize = 0x400;
  SmbusGateway(I2cBus& bus, AdapterStats& stats, FaultKnobs& knobs, const uint32_t& requester,
               const SmbusLayout& layout)
      : bus_(bus), stats_(stats), knobs_(knobs), requester_(requester), layout_(layout) {}
  void attach_at(CrSpace& cr, uint32_t base);
  bool read(uint32_t address, uint32_t& value) override;
  bool write(uint32_t address, uint32_t value) override;

 private:
  struct Registers {
    uint32_t status = 0, nack = 0;
    uint32_t data[3] = {};
    std::map<uint32_t, uint32_t> other;
    uint32_t lock_owner = 0;  // meaningful while the lock bit is set
    uint32_t busy_left = 0;   // status reads that still show the last transaction running
  };
  Registers& at(uint32_t address, uint32_t& offset);
  void write_lock(Registers& r, bool set);
  void run(uint32_t base, Registers& r, uint32_t ctrl);

  I2cBus& bus_;
  AdapterStats& stats_;
  FaultKnobs& knobs_;
  const uint32_t& requester_;
  SmbusLayout layout_;
  std::map<uint32_t, Registers> gateways_;
};

// The bus with both gateway kinds attached where a device of `hw_id` has them.
class I2cGateways {
 public:
  I2cGateways(AdapterStats& stats, FaultKnobs& knobs, const uint32_t& requester, uint16_t hw_id);
  void attach_to(CrSpace& cr);
  I2cBus& bus() { return bus_; }

 private:
  uint16_t hw_id_;
  I2cBus bus_;
  I2cPrimaryGateway i2c_;
  SmbusGateway smbus_;
};

}  // namespace vexil_sim
