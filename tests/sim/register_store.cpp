#include "register_store.h"

#include <algorithm>

namespace vexil_sim {

void RegisterStore::set_handler(uint16_t register_id, RegisterHandler handler) {
  handlers_[register_id] = std::move(handler);
}

void RegisterStore::count(uint16_t register_id, uint8_t method) {
  RegisterCounts& c = counts_[register_id];
  if (method == kMethodGet)
    ++c.get;
  else if (method == kMethodSet)
    ++c.set;
  else
    ++c.other;
}

uint8_t RegisterStore::execute(RegisterAccess& access) {
  count(access.register_id, access.method);
  auto it = handlers_.find(access.register_id);
  if (it != handlers_.end()) {
    if (access.method == kMethodSet) images_[access.register_id] = access.image;  // as sent
    return it->second(access);
  }
  if (!plain_storage_) return kRegStatusRegisterNotSupported;
  return plain_access(access);
}

// GET answers the last SET image, cut or zero-padded to the size asked for; SET keeps the image
// and echoes it, as the firmware returns the register it wrote.
uint8_t RegisterStore::plain_access(RegisterAccess& access) {
  if (access.method == kMethodSet) {
    images_[access.register_id] = access.image;
    return kRegStatusOk;
  }
  if (access.method != kMethodGet) return kRegStatusMethodNotSupported;
  const std::vector<uint8_t>& kept = images_[access.register_id];
  std::fill(access.image.begin(), access.image.end(), 0);
  std::copy_n(kept.begin(), std::min(kept.size(), access.image.size()), access.image.begin());
  return kRegStatusOk;
}

RegisterCounts RegisterStore::counts(uint16_t register_id) const {
  auto it = counts_.find(register_id);
  return it == counts_.end() ? RegisterCounts{} : it->second;
}

std::vector<uint8_t> RegisterStore::stored(uint16_t register_id) const {
  auto it = images_.find(register_id);
  return it == images_.end() ? std::vector<uint8_t>{} : it->second;
}

void RegisterStore::store(uint16_t register_id, std::vector<uint8_t> image) {
  images_[register_id] = std::move(image);
}

}  // namespace vexil_sim
