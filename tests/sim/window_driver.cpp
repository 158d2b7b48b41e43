#include "window_driver.h"

#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace vexil_sim_test {

bool ModelPort::read(uint32_t offset, void* out, uint32_t length) {
  std::vector<uint8_t> bytes = adapter_.config_read(offset, length);
  if (bytes.size() != length) return false;
  std::memcpy(out, bytes.data(), length);
  return true;
}

bool ModelPort::write(uint32_t offset, const void* bytes, uint32_t length) {
  return adapter_.config_write(offset, static_cast<const uint8_t*>(bytes), length) == length;
}

bool FilePort::read(uint32_t offset, void* out, uint32_t length) {
  return pread(fd_, out, length, offset) == static_cast<ssize_t>(length);
}

bool FilePort::write(uint32_t offset, const void* bytes, uint32_t length) {
  return pwrite(fd_, bytes, length, offset) == static_cast<ssize_t>(length);
}

uint32_t WindowDriver::read4(uint32_t offset) {
  uint8_t b[4];
  if (!port_.read(offset, b, 4)) throw std::runtime_error("config read failed at " + std::to_string(offset));
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void WindowDriver::write4(uint32_t offset, uint32_t value) {
  uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
  if (!port_.write(offset, b, 4)) throw std::runtime_error("config write failed at " + std::to_string(offset));
}

uint32_t WindowDriver::find_capability(uint8_t id) {
  uint8_t pointer = 0;
  if (!port_.read(0x34, &pointer, 1)) return 0;
  bool seen[256] = {};
  while (pointer >= 0x40 && !seen[pointer]) {
    seen[pointer] = true;
    uint8_t entry[2];
    if (!port_.read(pointer, entry, 2)) return 0;
    if (entry[0] == id) return pointer;
    pointer = entry[1];
  }
  return 0;
}

bool WindowDriver::attach() {
  base_ = find_capability(9);
  return base_ != 0;
}

bool WindowDriver::lock(unsigned rounds) {
  for (unsigned i = 0; i < rounds; ++i) {
    if (read4(base_ + 0x0C) != 0) continue;
    const uint32_t ticket = read4(base_ + 0x08);
    write4(base_ + 0x0C, ticket);
    if (read4(base_ + 0x0C) == ticket) return true;
  }
  return false;
}

void WindowDriver::unlock() { write4(base_ + 0x0C, 0); }

bool WindowDriver::select(uint16_t space) {
  uint32_t control = read4(base_ + 0x04);
  write4(base_ + 0x04, (control & 0xFFFF0000u) | space);
  return read4(base_ + 0x04) >= 0x20000000u;
}

bool WindowDriver::rw(uint32_t address, uint32_t& value, bool write, unsigned polls) {
  if (write) {
    write4(base_ + 0x14, value);
    write4(base_ + 0x10, address | 0x80000000u);
  } else {
    write4(base_ + 0x10, address & 0x3FFFFFFFu);
  }
  const uint32_t want = write ? 0 : 0x80000000u;
  for (unsigned i = 0; i < polls; ++i) {
    if ((read4(base_ + 0x10) & 0x80000000u) == want) {
      if (!write) value = read4(base_ + 0x14);
      return true;
    }
  }
  return false;
}

uint32_t WindowDriver::syndrome() { return (read4(base_ + 0x04) >> 24) & 0xF; }

bool WindowDriver::read(uint16_t space, uint32_t address, uint32_t& value) {
  if (!lock()) return false;
  bool ok = select(space) && rw(address, value, false);
  unlock();
  return ok;
}

bool WindowDriver::write(uint16_t space, uint32_t address, uint32_t value) {
  if (!lock()) return false;
  bool ok = select(space) && rw(address, value, true);
  unlock();
  return ok;
}

int WindowDriver::icmd(uint16_t opcode, std::vector<uint8_t>& frame, uint32_t ticket, unsigned polls) {
  frame.resize((frame.size() + 3) & ~size_t(3), 0);
  uint32_t held = 0;
  if (!write(10, 0, ticket) || !read(10, 0, held) || held != ticket) return -2;
  int result = -1;
  for (size_t i = 0; i < frame.size(); i += 4) {
    uint32_t dword = uint32_t(frame[i]) << 24 | uint32_t(frame[i + 1]) << 16 |
                     uint32_t(frame[i + 2]) << 8 | frame[i + 3];
    if (!write(3, 0x100000 + static_cast<uint32_t>(i), dword)) throw std::runtime_error("buffer write failed");
  }
  uint32_t ctrl = 0;
  read(3, 0, ctrl);
  write(3, 0, uint32_t(opcode) << 16 | (ctrl & 0xFFFC) | 1u);
  for (unsigned i = 0; i < polls; ++i) {
    if (!read(3, 0, ctrl)) break;
    if ((ctrl & 1u) == 0) {
      result = (ctrl >> 8) & 0xFF;
      break;
    }
  }
  if (result >= 0) {
    for (size_t i = 0; i < frame.size(); i += 4) {
      uint32_t dword = 0;
      if (!read(3, 0x100000 + static_cast<uint32_t>(i), dword)) throw std::runtime_error("buffer read failed");
      frame[i] = uint8_t(dword >> 24);
      frame[i + 1] = uint8_t(dword >> 16);
      frame[i + 2] = uint8_t(dword >> 8);
      frame[i + 3] = uint8_t(dword);
    }
  }
  write(10, 0, 0);
  return result;
}

std::vector<uint8_t> register_frame(uint16_t register_id, uint8_t method,
                                    const std::vector<uint8_t>& image, bool with_string) {
  std::vector<uint8_t> f(16, 0);
  f[0] = 0x08;  // Type 1 in the top five bits, len 4 in the next eleven
  f[1] = 0x04;
  f[4] = uint8_t(register_id >> 8);
  f[5] = uint8_t(register_id);
  f[6] = method & 0x7F;
  f[7] = 0x01;  // class
  if (with_string) {
    std::vector<uint8_t> s(132, 0);
    s[0] = 0x10;  // Type 2, len 33
    s[1] = 33;
    f.insert(f.end(), s.begin(), s.end());
  }
  const uint16_t len = static_cast<uint16_t>((image.size() + 4) / 4);
  f.push_back(uint8_t(0x18 | (len >> 8)));  // Type 3
  f.push_back(uint8_t(len));
  f.push_back(0);
  f.push_back(0);
  f.insert(f.end(), image.begin(), image.end());
  return f;
}

uint8_t reply_status(const std::vector<uint8_t>& frame) { return frame.at(2) & 0x7F; }
bool reply_dr(const std::vector<uint8_t>& frame) { return (frame.at(2) & 0x80) != 0; }

std::vector<uint8_t> reply_image(const std::vector<uint8_t>& frame, size_t size, bool with_string) {
  const size_t at = with_string ? 152 : 20;
  return std::vector<uint8_t>(frame.begin() + at, frame.begin() + at + size);
}

std::string reply_text(const std::vector<uint8_t>& frame) {
  const char* text = reinterpret_cast<const char*>(frame.data() + 20);
  return std::string(text, strnlen(text, 127));
}

}  // namespace vexil_sim_test
