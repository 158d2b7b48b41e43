// The I2C side of the simulated adapter and the debug adapters in front of it.
//
// I2cTargets is a bus as a USB-to-I2C adapter, an NDC adapter or an i2c-dev node drives it: the
// simulated adapter's CR space at one secondary (a write's first 4 bytes, most significant first,
// set the CR address; further written bytes and read bytes are CR space bytes from that address
// on, each dword most significant byte first), and EEPROM-like memories at others (the first
// `offset_bytes` bytes of a write set the pointer, the rest is stored there; reads come from the
// pointer, which moves on and wraps). Any other address does not acknowledge.
//
// TqusbAdapterModel and NdcAdapterModel are the two adapters' firmware: a request frame in, the
// bus driven, the response frame out. Offsets arrive least significant byte first in both and go
// on the bus most significant byte first.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "fault_knobs.h"

namespace vexil_sim {

class I2cTargets {
 public:
  void add_cr_space(uint8_t address, AdapterControl& adapter);
  void add_memory(uint8_t address, unsigned offset_bytes, uint32_t size = 256);
  std::vector<uint8_t>& memory(uint8_t address) { return targets_.at(address).memory; }
  // False when nobody acknowledged the address.
  bool write(uint8_t address, const uint8_t* bytes, uint32_t n);
  bool read(uint8_t address, uint8_t* out, uint32_t n);
  // The 7-bit addresses that acknowledge, ascending.
  std::vector<uint8_t> answering() const;

 private:
  struct Target {
    AdapterControl* cr = nullptr;  // CR space target, else memory
    unsigned offset_bytes = 4;
    std::vector<uint8_t> memory;
    uint32_t pointer = 0;
  };
  uint8_t cr_byte(Target& t, uint32_t address);
  void set_cr_byte(Target& t, uint32_t address, uint8_t value);

  std::map<uint8_t, Target> targets_;
};

// The USB-to-I2C adapter: one bulk-out request, then the bulk-in reply (the status last).
class TqusbAdapterModel {
 public:
  explicit TqusbAdapterModel(I2cTargets& bus) : bus_(bus) {}
  void request(const uint8_t* bytes, uint32_t n);
  const std::vector<uint8_t>& reply() const { return reply_; }
  const std::vector<std::vector<uint8_t>>& requests() const { return requests_; }

  uint8_t frequency = 100;
  uint8_t major = 3, minor = 7;
  uint32_t serial = 0xA1B2C3D4;
  uint8_t refuse_with = 0;   // non-zero: every reply ends with this status
  bool status_only = false;  // every reply is its status byte alone

 private:
  I2cTargets& bus_;
  std::vector<uint8_t> reply_;
  std::vector<std::vector<uint8_t>> requests_;
};

// The NDC adapter: request frames from the serial line, response frames back.
class NdcAdapterModel {
 public:
  explicit NdcAdapterModel(I2cTargets& bus) : bus_(bus) {}
  // Takes bytes as they come; returns the responses of every request they completed.
  std::vector<uint8_t> feed(const uint8_t* bytes, uint32_t n);
  const std::vector<std::vector<uint8_t>>& requests() const { return requests_; }

  bool silent = false;       // takes requests, never answers
  uint8_t error_type = 0;    // non-zero: every response reports this error type
  uint16_t kilohertz = 100;  // the bus frequency it reports
  uint16_t serial = 0xBEEF;
  uint8_t cut_to = 0;        // 2 or more: responses are cut to this many bytes, length byte too
  std::vector<uint8_t> raw_reply;  // non-empty: the next request gets these bytes as they stand

 private:
  std::vector<uint8_t> answer(const std::vector<uint8_t>& request);

  I2cTargets& bus_;
  std::vector<uint8_t> pending_;
  std::vector<std::vector<uint8_t>> requests_;
};

}  // namespace vexil_sim
