// The adapter's view of a register frame: the operation, string and register TLVs decoded from
// and encoded into the ICMD buffer. Bit offset 0 is the most significant bit of byte 0; every
// field is big-endian except the transaction id, which the client copies as 8 raw bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vexil_sim {

// Reads `width` (1-32) bits at `bit_offset`, most significant bit first, right-aligned.
uint32_t get_bits(const uint8_t* buf, uint32_t bit_offset, uint32_t width);
// Writes the low `width` (1-32) bits of `value` at `bit_offset`; other bits stay unchanged.
void set_bits(uint8_t* buf, uint32_t bit_offset, uint32_t width, uint32_t value);

constexpr size_t kOperationTlvBytes = 16;
constexpr size_t kRegTlvBytes = 4;
constexpr size_t kStringTlvBytes = 132;
constexpr size_t kStringTlvTextBytes = 127;  // the last wire byte is not part of the text

constexpr uint8_t kOperationTlvType = 1;
constexpr uint8_t kStringTlvType = 2;
constexpr uint8_t kRegTlvType = 3;

struct OperationTlv {
  uint8_t type = 0;
  uint16_t len = 0;
  uint8_t dr = 0;
  uint8_t status = 0;
  uint8_t reserved0 = 0;
  uint16_t register_id = 0;
  uint8_t r = 0;
  uint8_t method = 0;
  uint8_t cls = 0;
  std::array<uint8_t, 8> tid{};
};

struct RegTlv {
  uint8_t type = 0;
  uint16_t len = 0;  // in 32-bit words, this header included
  uint16_t reserved0 = 0;
};

struct StringTlv {
  uint8_t type = 0;
  uint16_t len = 0;
  uint16_t reserved0 = 0;
  std::string text;  // up to the first NUL of the 127 text bytes
};

OperationTlv decode_operation_tlv(const uint8_t* p);
void encode_operation_tlv(const OperationTlv& tlv, uint8_t* p);
RegTlv decode_reg_tlv(const uint8_t* p);
void encode_reg_tlv(const RegTlv& tlv, uint8_t* p);
StringTlv decode_string_tlv(const uint8_t* p);
// Writes the header and the text (cut to 127 bytes, NUL-padded); the 132nd byte stays as it is.
void encode_string_tlv(const StringTlv& tlv, uint8_t* p);

}  // namespace vexil_sim
