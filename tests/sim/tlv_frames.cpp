#include "tlv_frames.h"

#include <algorithm>
#include <cstring>

namespace vexil_sim {

uint32_t get_bits(const uint8_t* buf, uint32_t bit_offset, uint32_t width) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < width; ++i) {
    uint32_t bit = bit_offset + i;
    value = (value << 1) | ((buf[bit / 8] >> (7 - bit % 8)) & 1u);
  }
  return value;
}

void set_bits(uint8_t* buf, uint32_t bit_offset, uint32_t width, uint32_t value) {
  for (uint32_t i = 0; i < width; ++i) {
    uint32_t bit = bit_offset + i;
    uint8_t mask = static_cast<uint8_t>(1u << (7 - bit % 8));
    if ((value >> (width - 1 - i)) & 1u)
      buf[bit / 8] |= mask;
    else
      buf[bit / 8] &= static_cast<uint8_t>(~mask);
  }
}

OperationTlv decode_operation_tlv(const uint8_t* p) {
  OperationTlv t;
  t.type = static_cast<uint8_t>(get_bits(p, 0, 5));
  t.len = static_cast<uint16_t>(get_bits(p, 5, 11));
  t.dr = static_cast<uint8_t>(get_bits(p, 16, 1));
  t.status = static_cast<uint8_t>(get_bits(p, 17, 7));
  t.reserved0 = static_cast<uint8_t>(get_bits(p, 24, 8));
  t.register_id = static_cast<uint16_t>(get_bits(p, 32, 16));
  t.r = static_cast<uint8_t>(get_bits(p, 48, 1));
  t.method = static_cast<uint8_t>(get_bits(p, 49, 7));
  t.cls = static_cast<uint8_t>(get_bits(p, 56, 8));
  std::memcpy(t.tid.data(), p + 8, 8);
  return t;
}

void encode_operation_tlv(const OperationTlv& t, uint8_t* p) {
  set_bits(p, 0, 5, t.type);
  set_bits(p, 5, 11, t.len);
  set_bits(p, 16, 1, t.dr);
  set_bits(p, 17, 7, t.status);
  set_bits(p, 24, 8, t.reserved0);
  set_bits(p, 32, 16, t.register_id);
  set_bits(p, 48, 1, t.r);
  set_bits(p, 49, 7, t.method);
  set_bits(p, 56, 8, t.cls);
  std::memcpy(p + 8, t.tid.data(), 8);
}

RegTlv decode_reg_tlv(const uint8_t* p) {
  RegTlv t;
  t.type = static_cast<uint8_t>(get_bits(p, 0, 5));
  t.len = static_cast<uint16_t>(get_bits(p, 5, 11));
  t.reserved0 = static_cast<uint16_t>(get_bits(p, 16, 16));
  return t;
}

void encode_reg_tlv(const RegTlv& t, uint8_t* p) {
  set_bits(p, 0, 5, t.type);
  set_bits(p, 5, 11, t.len);
  set_bits(p, 16, 16, t.reserved0);
}

StringTlv decode_string_tlv(const uint8_t* p) {
  StringTlv t;
  t.type = static_cast<uint8_t>(get_bits(p, 0, 5));
  t.len = static_cast<uint16_t>(get_bits(p, 5, 11));
  t.reserved0 = static_cast<uint16_t>(get_bits(p, 16, 16));
  const char* text = reinterpret_cast<const char*>(p + 4);
  t.text.assign(text, strnlen(text, kStringTlvTextBytes));
  return t;
}

void encode_string_tlv(const StringTlv& t, uint8_t* p) {
  set_bits(p, 0, 5, t.type);
  set_bits(p, 5, 11, t.len);
  set_bits(p, 16, 16, t.reserved0);
  std::memset(p + 4, 0, kStringTlvTextBytes);
  std::memcpy(p + 4, t.text.data(), std::min(t.text.size(), kStringTlvTextBytes));
}

}  // namespace vexil_sim
