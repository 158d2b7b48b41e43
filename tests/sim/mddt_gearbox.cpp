#include "mddt_gearbox.h"

#include <algorithm>

#include "reg_access_switch_layouts.h"

namespace vexil_sim {
namespace {

constexpr uint32_t kHwIdAddress = 0xF0014;
constexpr unsigned kPayloadWords = 64;  // register and CR data
constexpr unsigned kCommandWords = 65;

std::vector<uint8_t> words_to_bytes(const uint32_t* words, unsigned count) {
  std::vector<uint8_t> bytes;
  for (unsigned i = 0; i < count; ++i)
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(words[i] >> shift));
  return bytes;
}

void bytes_to_words(const std::vector<uint8_t>& bytes, uint32_t* words, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    uint32_t w = 0;
    for (unsigned b = 0; b < 4; ++b) {
      size_t at = i * 4 + b;
      w = w << 8 | (at < bytes.size() ? bytes[at] : 0);
    }
    words[i] = w;
  }
}

}  // namespace

std::shared_ptr<MddtGearbox> MddtGearbox::install(RegisterStore& switch_registers, uint16_t hw_id) {
  auto gearbox = std::make_shared<MddtGearbox>(hw_id);
  switch_registers.set_handler(kRegMddt, [gearbox](RegisterAccess& a) { return gearbox->mddt(a); });
  return gearbox;
}

MddtGearbox::MddtGearbox(uint16_t hw_id) : cr_(0x1000000) { cr_.write(kHwIdAddress, hw_id); }

uint8_t MddtGearbox::mddt(RegisterAccess& access) {
  reg_access_switch_mddt_reg_ext reg = {};
  std::vector<uint8_t> image = access.image;
  image.resize(std::max<size_t>(image.size(), reg_access_switch_mddt_reg_ext_size()));
  reg_access_switch_mddt_reg_ext_unpack(&reg, image.data());
  log_.push_back({access.method, reg.device_index, reg.slot_index, reg.type, reg.write_size, reg.read_size});

  const unsigned limit = reg.type == 1 ? kCommandWords : kPayloadWords;
  if (reg.write_size > limit || reg.read_size > limit) return kRegStatusBadParameter;
  switch (reg.type) {
    case 0: {  // an access register of the gearbox
      auto& prm = reg.prm_register_payload_ext;
      RegisterAccess inner;
      inner.register_id = prm.register_id;
      inner.method = uint8_t(prm.method + 1);
      inner.image = words_to_bytes(prm.register_data, std::max(reg.write_size, reg.read_size));
      prm.status = registers_.execute(inner);
      std::fill(std::begin(prm.register_data), std::end(prm.register_data), 0);
      bytes_to_words(inner.image, prm.register_data, reg.read_size);
      break;
    }
    case 1: {  // a command
      auto& cmd = reg.command_payload_ext;
      std::vector<uint8_t> reply;
      if (command_) reply = command_(words_to_bytes(cmd.data, reg.write_size));
      std::fill(std::begin(cmd.data), std::end(cmd.data), 0);
      bytes_to_words(reply, cmd.data, reg.read_size);
      break;
    }
    case 2: {  // CR-space dwords: written, or read back
      auto& cr = reg.crspace_access_payload_ext;
      for (unsigned i = 0; i < reg.write_size; ++i)
        if (!cr_.write(cr.address + 4 * i, cr.data[i])) return kRegStatusBadParameter;
      for (unsigned i = 0; i < reg.read_size; ++i)
        if (!cr_.read(cr.address + 4 * i, cr.data[i])) return kRegStatusBadParameter;
      break;
    }
    default:
      return kRegStatusBadParameter;
  }
  reg_access_switch_mddt_reg_ext_pack(&reg, image.data());
  std::copy_n(image.begin(), access.image.size(), access.image.begin());
  return kRegStatusOk;
}

}  // namespace vexil_sim
