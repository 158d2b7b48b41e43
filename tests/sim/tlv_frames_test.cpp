// The simulator's TLV codec against byte sequences worked out by hand from the wire formats.
#include "tlv_frames.h"

#include <gtest/gtest.h>

#include <vector>

namespace vexil_sim {
namespace {

TEST(TlvFrames, OperationTlvBytes) {
  OperationTlv op;
  op.type = kOperationTlvType;
  op.len = 4;
  op.register_id = 0xC011;
  op.method = 1;
  op.cls = 1;
  std::vector<uint8_t> buf(16, 0xEE);
  encode_operation_tlv(op, buf.data());
  const std::vector<uint8_t> want = {0x08, 0x04, 0x00, 0x00, 0xC0, 0x11, 0x01, 0x01,
                                     0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(buf, want);

  // A reply: dr and status share byte 2; tid bytes come back as they were.
  buf[2] = 0x84;
  for (int i = 0; i < 8; ++i) buf[8 + i] = static_cast<uint8_t>(0xA0 + i);
  OperationTlv back = decode_operation_tlv(buf.data());
  EXPECT_EQ(back.dr, 1);
  EXPECT_EQ(back.status, 4);
  EXPECT_EQ(back.type, 1);
  EXPECT_EQ(back.len, 4);
  EXPECT_EQ(back.register_id, 0xC011);
  EXPECT_EQ(back.method, 1);
  EXPECT_EQ(back.cls, 1);
  EXPECT_EQ(back.tid[0], 0xA0);
  EXPECT_EQ(back.tid[7], 0xA7);

  // Method and r share byte 6: the r bit is the top one.
  buf[6] = 0x82;
  back = decode_operation_tlv(buf.data());
  EXPECT_EQ(back.r, 1);
  EXPECT_EQ(back.method, 2);
}

TEST(TlvFrames, RegAndStringTlv) {
  RegTlv reg;
  reg.type = kRegTlvType;
  reg.len = (6 + 4) / 4;
  uint8_t buf[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  encode_reg_tlv(reg, buf);
  EXPECT_EQ(buf[0], 0x18);
  EXPECT_EQ(buf[1], 0x02);
  EXPECT_EQ(buf[2], 0x00);
  EXPECT_EQ(buf[3], 0x00);
  // An 11-bit length uses the low three bits of byte 0 too.
  const uint8_t wide[4] = {0x1A, 0x05, 0, 0};
  RegTlv w = decode_reg_tlv(wide);
  EXPECT_EQ(w.type, 3);
  EXPECT_EQ(w.len, 0x205);

  std::vector<uint8_t> s(132, 'x');
  s[0] = 0x10;
  s[1] = 33;
  s[2] = s[3] = 0;
  StringTlv text = decode_string_tlv(s.data());
  EXPECT_EQ(text.type, 2);
  EXPECT_EQ(text.len, 33);
  EXPECT_EQ(text.text, std::string(127, 'x')) << "127 text bytes, the 132nd is not text";

  StringTlv out;
  out.type = kStringTlvType;
  out.len = 33;
  out.text = "port down";
  encode_string_tlv(out, s.data());
  EXPECT_EQ(s[0], 0x10);
  EXPECT_EQ(s[1], 33);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(s.data() + 4)), "port down");
  EXPECT_EQ(s[4 + 9], 0);
  EXPECT_EQ(s[131], 'x') << "the last byte is left alone";
}

TEST(TlvFrames, BitHelpersTouchOnlyTheirBits) {
  uint8_t buf[3] = {0x07, 0xFF, 0x00};
  set_bits(buf, 0, 5, 0x1F);
  EXPECT_EQ(buf[0], 0xFF);
  set_bits(buf, 0, 5, 0);
  EXPECT_EQ(buf[0], 0x07);
  set_bits(buf, 6, 6, 0x2A);  // crosses a byte boundary: bits 6-7 of byte 0, 0-3 of byte 1
  EXPECT_EQ(buf[0], 0x06);
  EXPECT_EQ(buf[1], 0xAF);
  EXPECT_EQ(get_bits(buf, 6, 6), 0x2Au);
  EXPECT_EQ(buf[2], 0x00);
  uint8_t word[4];
  set_bits(word, 0, 32, 0xDEADBEEF);
  EXPECT_EQ(get_bits(word, 0, 32), 0xDEADBEEFu);
  EXPECT_EQ(word[0], 0xDE);
  EXPECT_EQ(word[3], 0xEF);
}

}  // namespace
}  // namespace vexil_sim
