// A gearbox behind a switch, reached only through the switch's MDDT register (0x9160): installed
// as the switch's MDDT handler, it unpacks each MDDT transaction with the generated layout and
// answers the tunnelled access from its own side: access registers from its own register store,
// CR-space dwords from its own memory (its hardware id at 0xF0014), commands through a handler.
// The inner register status goes back in the payload; the MDDT register itself fails only for a
// malformed tunnel (bad type, sizes past the payload, a CR address the memory does not answer).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "address_space.h"
#include "register_store.h"

namespace vexil_sim {

constexpr uint16_t kRegMddt = 0x9160;

class MddtGearbox {
 public:
  // One MDDT transaction as the switch received it.
  struct Request {
    uint8_t method = 0;
    uint8_t device_index = 0, slot_index = 0, type = 0, write_size = 0, read_size = 0;
  };
  // The command's bytes (write_size dwords) in, the reply's bytes out.
  using CommandHandler = std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)>;

  static std::shared_ptr<MddtGearbox> install(RegisterStore& switch_registers, uint16_t hw_id);
  explicit MddtGearbox(uint16_t hw_id);

  RegisterStore& registers() { return registers_; }
  MemorySpace& cr() { return cr_; }
  void set_command_handler(CommandHandler handler) { command_ = std::move(handler); }
  const std::vector<Request>& log() const { return log_; }

  // The MDDT register handler.
  uint8_t mddt(RegisterAccess& access);

 private:
  RegisterStore registers_;
  MemorySpace cr_;
  CommandHandler command_;
  std::vector<Request> log_;
};

}  // namespace vexil_sim
