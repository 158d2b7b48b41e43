// The operation, register and string TLVs as bytes on the wire, their dumps, and the bit-field
// helpers beside them.
#include "tlv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string dump_text(void (*dump)(FILE*, const void*), const void* rec) {
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  dump(f, rec);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

OperationTlv register_request(uint16_t id, uint8_t method) {
  OperationTlv op{};
  op.Type = TLV_TYPE_OPERATION;
  op.len = OP_TLV_LEN_WORDS;
  op.class_ = OP_TLV_CLASS_REG_ACCESS;
  op.method = method;
  op.register_id = id;
  return op;
}

TEST(OperationTlv, RequestBytes) {
  OperationTlv op = register_request(0xC011, 1);
  Bytes wire(OP_TLV_SIZE, 0xAA);
  EXPECT_EQ(OperationTlv_pack(&op, wire.data()), 16);
  EXPECT_EQ(wire, (Bytes{0x08, 0x04, 0x00, 0x00, 0xC0, 0x11, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));

  op = register_request(0x9160, 2);
  op.len = 0x7FF;  // all 11 bits: the field crosses into byte 1
  OperationTlv_pack(&op, wire.data());
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 8),
            (Bytes{0x0F, 0xFF, 0x00, 0x00, 0x91, 0x60, 0x02, 0x01}));
}

// Each field alone at all ones of its width, and the wire bits that must carry it.
TEST(OperationTlv, EveryFieldAtItsWireBits) {
  struct Row {
    const char* name;
    void (*set_ones)(OperationTlv&);
    Bytes wire;
  } rows[] = {
      {"Type", [](OperationTlv& o) { o.Type = 0x1F; }, {0xF8, 0, 0, 0, 0, 0, 0, 0}},
      {"len", [](OperationTlv& o) { o.len = 0x7FF; }, {0x07, 0xFF, 0, 0, 0, 0, 0, 0}},
      {"dr", [](OperationTlv& o) { o.dr = 1; }, {0, 0, 0x80, 0, 0, 0, 0, 0}},
      {"status", [](OperationTlv& o) { o.status = 0x7F; }, {0, 0, 0x7F, 0, 0, 0, 0, 0}},
      {"reserved0", [](OperationTlv& o) { o.reserved0 = 0xFF; }, {0, 0, 0, 0xFF, 0, 0, 0, 0}},
      {"register_id", [](OperationTlv& o) { o.register_id = 0xFFFF; }, {0, 0, 0, 0, 0xFF, 0xFF, 0, 0}},
      {"r", [](OperationTlv& o) { o.r = 1; }, {0, 0, 0, 0, 0, 0, 0x80, 0}},
      {"method", [](OperationTlv& o) { o.method = 0x7F; }, {0, 0, 0, 0, 0, 0, 0x7F, 0}},
      {"class", [](OperationTlv& o) { o.class_ = 0xFF; }, {0, 0, 0, 0, 0, 0, 0, 0xFF}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OperationTlv op;
    std::memset(&op, 0, sizeof(op));
    row.set_ones(op);
    Bytes wire(OP_TLV_SIZE, 0);
    OperationTlv_pack(&op, wire.data());
    Bytes expect = row.wire;
    expect.resize(OP_TLV_SIZE, 0);
    EXPECT_EQ(wire, expect);
    OperationTlv back;
    std::memset(&back, 0, sizeof(back));
    OperationTlv_unpack(&back, wire.data());
    EXPECT_EQ(std::memcmp(&back, &op, sizeof(op)), 0);
  }

  // The register and string TLV headers: Type, len, then a 16-bit reserved field.
  reg_tlv reg{};
  reg.reserved0 = 0xFFFF;
  Bytes wire(4, 0);
  reg_tlv_pack(&reg, wire.data());
  EXPECT_EQ(wire, (Bytes{0, 0, 0xFF, 0xFF}));
  reg = reg_tlv{};
  reg.len = 0x7FF;
  reg_tlv_pack(&reg, wire.data());
  EXPECT_EQ(wire, (Bytes{0x07, 0xFF, 0, 0}));
  string_tlv text{};
  text.reserved0 = 0xFFFF;
  text.Type = 0x1F;
  Bytes swire(STRING_TLV_SIZE, 0);
  string_tlv_pack(&text, swire.data());
  EXPECT_EQ(Bytes(swire.begin(), swire.begin() + 5), (Bytes{0xF8, 0, 0xFF, 0xFF, 0}));
}

TEST(OperationTlv, ReplyFieldsAndRoundTrip) {
  Bytes reply = {0x08, 0x04, 0x84, 0x00, 0xC0, 0x12, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
  OperationTlv op{};
  OperationTlv_unpack(&op, reply.data());
  EXPECT_EQ(op.dr, 1);
  EXPECT_EQ(op.status, 4);
  EXPECT_EQ(op.register_id, 0xC012);
  EXPECT_EQ(op.method, 1);
  EXPECT_EQ(op.class_, 1);
  EXPECT_EQ(op.Type, 1);
  EXPECT_EQ(op.len, 4);

  OperationTlv all{};
  all.Type = 0x1F;
  all.len = 0x5A5;
  all.dr = 1;
  all.status = 0x7F;
  all.reserved0 = 0xC3;
  all.register_id = 0xBEEF;
  all.r = 1;
  all.method = 0x55;
  all.class_ = 0x99;
  all.tid = 0x0102030405060708ull;
  Bytes wire(OP_TLV_SIZE, 0);
  OperationTlv_pack(&all, wire.data());
  uint64_t host_tid = 0;
  std::memcpy(&host_tid, wire.data() + 8, 8);
  EXPECT_EQ(host_tid, all.tid) << "the transaction id travels in host byte order";
  OperationTlv back{};
  OperationTlv_unpack(&back, wire.data());
  EXPECT_EQ(std::memcmp(&back, &all, sizeof(all)), 0);
}

TEST(RegTlv, LengthInWords) {
  struct Row {
    uint32_t reg_size;
    Bytes wire;
  } rows[] = {
      {4, {0x18, 0x02, 0, 0}},
      {6, {0x18, 0x02, 0, 0}},     // (6 + 4) / 4 rounded down
      {812, {0x18, 0xCC, 0, 0}},   // 204 words
      {1020, {0x19, 0x00, 0, 0}},  // 256 words: the top bit of len sits in byte 0
  };
  for (const Row& row : rows) {
    reg_tlv reg;
    std::memset(&reg, 0xFF, sizeof(reg));
    EXPECT_EQ(init_reg_tlv(&reg, row.reg_size), 0);
    EXPECT_EQ(reg.reserved0, 0);
    Bytes wire(4, 0xEE);
    EXPECT_EQ(reg_tlv_pack(&reg, wire.data()), 4);
    EXPECT_EQ(wire, row.wire) << "register of " << row.reg_size << " bytes";
    reg_tlv back{};
    reg_tlv_unpack(&back, wire.data());
    EXPECT_EQ(back.len, (row.reg_size + 4) / 4);
    EXPECT_EQ(back.Type, 3);
  }
}

TEST(StringTlv, HeaderTextAndTheByteOffTheWire) {
  string_tlv text;
  std::memset(&text, 0x5A, sizeof(text));
  EXPECT_EQ(init_string_tlv(&text), 0);
  EXPECT_EQ(text.String[0], 0);
  std::strcpy(text.String, "abc");
  text.String[127] = 'Z';  // never packed
  Bytes wire(STRING_TLV_SIZE, 0xEE);
  EXPECT_EQ(string_tlv_pack(&text, wire.data()), 4);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 8), (Bytes{0x10, 0x21, 0, 0, 'a', 'b', 'c', 0}));
  EXPECT_EQ(wire[4 + 126], 0);
  EXPECT_EQ(wire[131], 0xEE) << "the last wire byte is left as it was";

  Bytes full(STRING_TLV_SIZE, 'x');
  string_tlv back;
  std::memset(&back, 0, sizeof(back));
  string_tlv_unpack(&back, full.data());
  EXPECT_EQ(std::strlen(back.String), 127u) << "a full text is still terminated";
  EXPECT_EQ(back.Type, 'x' >> 3);
}

TEST(TlvDump, ExactTexts) {
  OperationTlv op = register_request(0xC011, 1);
  op.status = 4;
  op.dr = 1;
  op.tid = 7;
  EXPECT_EQ(dump_text([](FILE* f, const void* r) { OperationTlv_dump((const OperationTlv*)r, f); }, &op),
            "OperationTlv::reserved0: 0\nOperationTlv::status: 4\nOperationTlv::dr: 1\n"
            "OperationTlv::len: 4\nOperationTlv::Type: 1\nOperationTlv::class: 1\n"
            "OperationTlv::method: 1\nOperationTlv::r: 0\nOperationTlv::register_id: 49169\n"
            "OperationTlv::tid: 7\n");
  reg_tlv reg;
  init_reg_tlv(&reg, 8);
  EXPECT_EQ(dump_text([](FILE* f, const void* r) { reg_tlv_dump((const reg_tlv*)r, f); }, &reg),
            "reg_tlv::reserved0: 0\nreg_tlv::len: 3\nreg_tlv::Type: 3\n");
  string_tlv text;
  init_string_tlv(&text);
  std::memset(text.String, 'q', sizeof(text.String));  // no terminator at all
  const std::string out =
      dump_text([](FILE* f, const void* r) { string_tlv_dump((const string_tlv*)r, f); }, &text);
  EXPECT_EQ(out, "string_tlv::reserved0: 0\nstring_tlv::len: 33\nstring_tlv::Type: 2\n"
                 "string_tlv::String: \n[" + std::string(128, 'q') + "]\n");
}

// The helpers forward to the adb2c_ routines; what they add is the byte order of the 64-bit
// field and the warning for wide array elements that are not whole dwords.
TEST(BitHelpers, ByteOrderAndArrayOffsets) {
  uint8_t buf[8];
  std::memset(buf, 0xFF, sizeof(buf));
  push_to_buff(buf, 0, 5, 0);
  EXPECT_EQ(buf[0], 0x07) << "5 bits at offset 0 touch only the top of byte 0";
  push_to_buff_32(buf, 0, 0x11223344);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
  push_to_buff_64(buf, 0, 0x8877665544332211ull);
  uint64_t host = 0;
  std::memcpy(&host, buf, 8);
  EXPECT_EQ(host, 0x8877665544332211ull);
  EXPECT_EQ(pop_from_buff_64(buf, 0), 0x8877665544332211ull);

  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(calc_array_field_offset(1552, 16, i, 6144, 1), 1536u + 16u * i) << i;
    EXPECT_EQ(calc_array_field_offset(8, 8, i, 32, 0), 8u + 8u * i) << i;
  }

  // Wide elements that are not whole dwords: the offset as computed, and a warning.
  for (int i = 0; i < 3; ++i) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(calc_array_field_offset(64, 40, i, 512, 1), 64u + 40u * i) << i;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n-W- Array field size is not 32 bit aligned.\n");
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(calc_array_field_offset(64, 64, 2, 512, 1), 192u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
