#include "i2c_adapters.h"

#include <iterator>

namespace vexil_sim {

void I2cTargets::add_cr_space(uint8_t address, AdapterControl& adapter) {
  Target t;
  t.cr = &adapter;
  targets_[address] = t;
}

void I2cTargets::add_memory(uint8_t address, unsigned offset_bytes, uint32_t size) {
  Target t;
  t.offset_bytes = offset_bytes;
  t.memory.assign(size, 0);
  targets_[address] = t;
}

uint8_t I2cTargets::cr_byte(Target& t, uint32_t address) {
  uint32_t dword = 0;
  t.cr->read_space(kSpaceCr, address & ~3u, dword);
  return static_cast<uint8_t>(dword >> (24 - 8 * (address & 3)));
}

void I2cTargets::set_cr_byte(Target& t, uint32_t address, uint8_t value) {
  uint32_t dword = 0;
  t.cr->read_space(kSpaceCr, address & ~3u, dword);
  const unsigned shift = 24 - 8 * (address & 3);
  dword = (dword & ~(0xFFu << shift)) | static_cast<uint32_t>(value) << shift;
  t.cr->write_space(kSpaceCr, address & ~3u, dword);
}

bool I2cTargets::write(uint8_t address, const uint8_t* bytes, uint32_t n) {
  auto it = targets_.find(address);
  if (it == targets_.end()) return false;
  Target& t = it->second;
  uint32_t i = 0;
  if (n >= t.offset_bytes) {
    t.pointer = 0;
    for (; i < t.offset_bytes; ++i) t.pointer = t.pointer << 8 | bytes[i];
  }
  for (; i < n; ++i, ++t.pointer) {
    if (t.cr) set_cr_byte(t, t.pointer, bytes[i]);
    else t.memory[t.pointer % t.memory.size()] = bytes[i];
  }
  return true;
}

bool I2cTargets::read(uint8_t address, uint8_t* out, uint32_t n) {
  auto it = targets_.find(address);
  if (it == targets_.end()) return false;
  Target& t = it->second;
  for (uint32_t i = 0; i < n; ++i, ++t.pointer)
    out[i] = t.cr ? cr_byte(t, t.pointer) : t.memory[t.pointer % t.memory.size()];
  return true;
}

std::vector<uint8_t> I2cTargets::answering() const {
  std::vector<uint8_t> out;
  for (const auto& entry : targets_) out.push_back(entry.first);
  return out;
}

namespace {

// The offset as the bus wants it: the low `width` bytes of a little-endian field, reversed.
std::vector<uint8_t> bus_offset(const uint8_t* little_endian, unsigned width) {
  return std::vector<uint8_t>(std::make_reverse_iterator(little_endian + width),
                              std::make_reverse_iterator(little_endian));
}

}  // namespace

void TqusbAdapterModel::request(const uint8_t* b, uint32_t n) {
  requests_.emplace_back(b, b + n);
  reply_.clear();
  if (n == 0) return;
  uint8_t status = 0;
  switch (b[0]) {
    case 0x01: {  // read: width, [write address, offset], read address, length
      const unsigned width = n > 1 ? b[1] : 0;
      uint32_t i = 2;
      if (width) {
        if (n < 5 + width) break;
        auto offset = bus_offset(b + 3, width);
        if (!bus_.write(b[2] >> 1, offset.data(), width)) status = 1;
        i = 3 + width;
      }
      if (n < i + 2) break;
      const uint8_t length = b[i + 1];
      reply_.assign(length, 0);
      if (!status && !bus_.read(b[i] >> 1, reply_.data(), length)) status = 1;
      break;
    }
    case 0x02: {  // write: width, write address, offset, length, data
      const unsigned width = b[1];
      if (n < 4 + width) break;
      auto bytes = bus_offset(b + 3, width);
      const uint8_t length = b[3 + width];
      bytes.insert(bytes.end(), b + 4 + width, b + n);
      if (bytes.size() != width + length || !bus_.write(b[2] >> 1, bytes.data(), bytes.size()))
        status = 1;
      break;
    }
    case 0x03:
      for (uint8_t address : bus_.answering()) reply_.push_back(static_cast<uint8_t>(address << 1));
      break;
    case 0x0A:
      reply_ = {major, minor};
      break;
    case 0x0B:
      for (int i = 0; i < 4; ++i) reply_.push_back(static_cast<uint8_t>(serial >> (8 * i)));
      break;
    case 0x1B:
      frequency = n > 1 ? b[1] : 0;
      break;
    case 0x1C:
      reply_ = {frequency};
      break;
    default:
      status = 0xFF;
  }
  if (refuse_with) status = refuse_with;
  if (status_only) reply_.clear();
  reply_.push_back(status);
}

std::vector<uint8_t> NdcAdapterModel::feed(const uint8_t* bytes, uint32_t n) {
  pending_.insert(pending_.end(), bytes, bytes + n);
  std::vector<uint8_t> out;
  while (pending_.size() >= 9) {
    // The serial-number request says 8 although it is nine bytes long.
    const size_t size = pending_[6] == 2 && pending_[7] == 3 ? 9 : pending_[1];
    if (size < 9) {
      pending_.clear();  // not a frame: the adapter resynchronises on the next request
      break;
    }
    if (pending_.size() < size) break;
    std::vector<uint8_t> request(pending_.begin(), pending_.begin() + size);
    pending_.erase(pending_.begin(), pending_.begin() + size);
    requests_.push_back(request);
    if (silent) continue;
    if (!raw_reply.empty()) {
      out.insert(out.end(), raw_reply.begin(), raw_reply.end());
      raw_reply.clear();
      continue;
    }
    auto response = answer(request);
    out.insert(out.end(), response.begin(), response.end());
  }
  return out;
}

std::vector<uint8_t> NdcAdapterModel::answer(const std::vector<uint8_t>& r) {
  std::vector<uint8_t> response(10, 0);
  const uint8_t command = r[6], sub = r[7];
  if (command == 5 && (sub == 4 || sub == 5) && r.size() >= 13) {
    const unsigned width = r[10];
    const unsigned field = width ? width : 1;
    if (r.size() < 12 + field) return {};
    const uint8_t secondary = r[9];
    const uint8_t length = r[11 + field];
    auto bytes = bus_offset(r.data() + 11, width);
    bool ack;
    if (sub == 4) {
      bytes.insert(bytes.end(), r.begin() + 12 + field, r.end());
      ack = bus_.write(secondary, bytes.data(), bytes.size());
    } else {
      ack = width == 0 || bus_.write(secondary, bytes.data(), bytes.size());
      std::vector<uint8_t> data(length);
      ack = ack && bus_.read(secondary, data.data(), length);
      response.insert(response.end(), data.begin(), data.end());
    }
    response[9] = ack ? 0 : 1;
  } else if (command == 5 && sub == 1) {
    response[9] = static_cast<uint8_t>(kilohertz);
    response.push_back(static_cast<uint8_t>(kilohertz >> 8));
  } else if (command == 5 && sub == 3) {
    response.resize(25, 0);
    for (uint8_t address : bus_.answering()) response[9 + address / 8] |= 1u << (address % 8);
  } else if (command == 2 && sub == 3) {
    response[8] = static_cast<uint8_t>(serial);
    response[9] = static_cast<uint8_t>(serial >> 8);
  }
  if (error_type) {
    response[6] = 1;
    response[7] = error_type;
  }
  if (cut_to >= 2 && cut_to < response.size()) response.resize(cut_to);
  response[0] = '@';
  response[1] = static_cast<uint8_t>(response.size());
  return response;
}

}  // namespace vexil_sim
