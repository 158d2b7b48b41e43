// A minimal hand-written client of the vendor-specific window, for the simulator's own tests:
// it walks the capability list, takes the window semaphore, selects spaces and moves dwords, and
// runs ICMD commands, all through 1-, 2- and 4-byte configuration accesses. It shares no code with
// the device-access library, so the simulator is checked against an independent reading.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulated_adapter.h"

namespace vexil_sim_test {

// Configuration-space access: in-process to a model, or pread/pwrite on a file.
class ConfigPort {
 public:
  virtual ~ConfigPort() = default;
  virtual bool read(uint32_t offset, void* out, uint32_t length) = 0;
  virtual bool write(uint32_t offset, const void* bytes, uint32_t length) = 0;
};

class ModelPort : public ConfigPort {
 public:
  explicit ModelPort(vexil_sim::SimulatedAdapter& adapter) : adapter_(adapter) {}
  bool read(uint32_t offset, void* out, uint32_t length) override;
  bool write(uint32_t offset, const void* bytes, uint32_t length) override;

 private:
  vexil_sim::SimulatedAdapter& adapter_;
};

class FilePort : public ConfigPort {
 public:
  explicit FilePort(int fd) : fd_(fd) {}
  bool read(uint32_t offset, void* out, uint32_t length) override;
  bool write(uint32_t offset, const void* bytes, uint32_t length) override;

 private:
  int fd_;
};

class WindowDriver {
 public:
  explicit WindowDriver(ConfigPort& port) : port_(port) {}

  uint32_t read4(uint32_t offset);            // throws on a failed access
  void write4(uint32_t offset, uint32_t value);

  // Offset of the first capability with this id, 0 when none or when the list loops.
  uint32_t find_capability(uint8_t id);
  // Finds the vendor-specific capability; false when there is none.
  bool attach();
  uint32_t base() const { return base_; }

  bool lock(unsigned rounds = 64);  // window semaphore with a counter ticket
  void unlock();
  // Selects a space; true when its status bits say it exists.
  bool select(uint16_t space);
  // One dword in the selected space; false when the flag never came.
  bool rw(uint32_t address, uint32_t& value, bool write, unsigned polls = 64);
  // Semaphore, select, access, release.
  bool read(uint16_t space, uint32_t address, uint32_t& value);
  bool write(uint16_t space, uint32_t address, uint32_t value);
  uint32_t syndrome();  // bits 24-27 of the control register

  // Runs one ICMD command: takes the ICMD semaphore with `ticket`, writes the frame to the buffer
  // as big-endian dwords, sets the opcode and the busy bit, polls, reads the frame back. Returns
  // the ICMD status, or -1 when the command never completed, -2 when the semaphore was not taken.
  int icmd(uint16_t opcode, std::vector<uint8_t>& frame, uint32_t ticket = 0x1234,
           unsigned polls = 64);

 private:
  ConfigPort& port_;
  uint32_t base_ = 0;
};

// A register frame built byte by byte: operation TLV, optional string TLV, register TLV, image.
std::vector<uint8_t> register_frame(uint16_t register_id, uint8_t method,
                                    const std::vector<uint8_t>& image, bool with_string = false);
// The reply's register status (bits 1-7 of byte 2), dr bit, and image.
uint8_t reply_status(const std::vector<uint8_t>& frame);
bool reply_dr(const std::vector<uint8_t>& frame);
std::vector<uint8_t> reply_image(const std::vector<uint8_t>& frame, size_t size, bool with_string = false);
std::string reply_text(const std::vector<uint8_t>& frame);

}  // namespace vexil_sim_test
