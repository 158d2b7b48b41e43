// Register delivery decisions that need no device: the status table, the frame limits, the
// string-TLV mode, the largest register per handle kind and the routes that bypass ICMD.
#include <errno.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "mtcr_int.h"

namespace {

struct HandleDeleter {
  void operator()(mfile* mf) const { free(mf); }
};
using Handle = std::unique_ptr<mfile, HandleDeleter>;

// A handle record as an open leaves it before any transport is attached.
Handle bare_handle(uint32_t access_type, uint32_t flags) {
  Handle mf((mfile*)calloc(1, sizeof(mfile)));
  mf->access_type = access_type;
  mf->flags = flags;
  mf->fd = -1;
  mf->sock_fd = -1;
  mf->address_space = AS_CR_SPACE;
  return mf;
}

class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    const char* v = getenv(name);
    had_ = v != nullptr;
    if (had_) old_ = v;
  }
  ~EnvGuard() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

TEST(RegisterStatus, EveryStatusHasItsCodeAndText) {
  struct Row {
    int first, last, code;
    const char* text;
  } rows[] = {
      {1, 1, 259, "Device is busy"},           {2, 2, 260, "Version not supported"},
      {3, 3, 261, "Unknown TLV"},              {4, 4, 262, "Register not supported"},
      {5, 5, 263, "Class not supported"},      {6, 6, 264, "Method not supported"},
      {7, 7, 265, "Bad parameter"},            {8, 8, 266, "Resource unavailable"},
      {9, 9, 267, "Message receipt ack"},      {10, 31, 268, "Unknown register error"},
      {32, 32, 272, "The configuration is rejected"},
      {33, 33, 273, "The erase count exceeds its limit"},
      {34, 34, 270, "Config Section Corrupted"}, {35, 35, 268, "Unknown register error"},
      {36, 36, 271, "The given Register length is too small for the Tlv"},
      {37, 111, 268, "Unknown register error"}, {112, 112, 274, "Firmware internal error"},
      {113, 127, 268, "Unknown register error"}, {0, 0, 268, "Unknown register error"},
  };
  int covered = 0;
  for (const Row& row : rows) {
    for (int status = row.first; status <= row.last; ++status, ++covered) {
      EXPECT_EQ(return_by_reg_status(status), row.code) << "status " << status;
      EXPECT_STREQ(m_err2str((uint32_t)return_by_reg_status(status)), row.text) << "status " << status;
    }
  }
  EXPECT_EQ(covered, 128) << "every 7-bit status is in exactly one row";
  EXPECT_EQ(return_by_reg_status(-1), 268);
  EXPECT_EQ(return_by_reg_status(1000), 268);
}

TEST(GearboxFrame, ImageThenTrailerAndTheReply) {
  std::vector<uint8_t> frame(16, 0xEE);
  const uint8_t image[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t w = 8, r = 8;
  EXPECT_EQ(gearbox_reg_pack(frame.data(), 16, 0xC011, 1, image, 8, &w, &r), 0);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 12),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0xC0, 0x11, 0x01, 0x00}));
  EXPECT_EQ(w, 12u);
  EXPECT_EQ(r, 12u);

  // Too small for the image and trailer, or for either size with the trailer: nothing written.
  std::vector<uint8_t> small(11, 0xEE);
  w = 8, r = 8;
  EXPECT_EQ(gearbox_reg_pack(small.data(), 11, 0xC011, 2, image, 8, &w, &r), 528);
  EXPECT_EQ(small, std::vector<uint8_t>(11, 0xEE));
  EXPECT_EQ(w, 8u);
  w = 4, r = 13;
  EXPECT_EQ(gearbox_reg_pack(frame.data(), 16, 0xC011, 2, image, 4, &w, &r), 528);

  uint8_t reply[12] = {0};
  const uint32_t status = 7;
  std::memcpy(reply, &status, 4);
  std::memcpy(reply + 4, image, 8);
  uint8_t out[8] = {0};
  int reg_status = -1;
  EXPECT_EQ(gearbox_reg_unpack(reply, out, 8, &reg_status), 0);
  EXPECT_EQ(reg_status, 7);
  EXPECT_EQ(std::memcmp(out, image, 8), 0);
}

TEST(StringTlvMode, DecidedOnceFromTheEnvironmentUnlessSetBefore) {
  EnvGuard guard("USE_TLV_STRING_REG_ACCESS");
  struct Row {
    const char* value;
    int mode;
  } rows[] = {{"1", 1}, {"0x10", 1}, {"0", -1}, {"abc", -1}, {nullptr, -1}};
  for (const Row& row : rows) {
    if (row.value)
      setenv("USE_TLV_STRING_REG_ACCESS", row.value, 1);
    else
      unsetenv("USE_TLV_STRING_REG_ACCESS");
    Handle mf = bare_handle(ACCESS_PCICONF, DEVFLAG_PCI);
    EXPECT_EQ(check_string_tlv_supported(mf.get()), row.mode) << (row.value ? row.value : "unset");
    setenv("USE_TLV_STRING_REG_ACCESS", row.mode == 1 ? "0" : "1", 1);
    EXPECT_EQ(check_string_tlv_supported(mf.get()), row.mode) << "kept for the handle's life";
  }
  setenv("USE_TLV_STRING_REG_ACCESS", "1", 1);
  Handle mf = bare_handle(ACCESS_PCICONF, DEVFLAG_PCI);
  use_string_tlv(mf.get(), 0);
  EXPECT_EQ(check_string_tlv_supported(mf.get()), -1);
  use_string_tlv(nullptr, 1);  // ignored

  std::memcpy(mf->string_tlv_state.string_tlv_text, "reply text", 11);
  char out[128];
  get_string_tlv(mf.get(), out);
  EXPECT_STREQ(out, "reply text");
}

TEST(LargestRegister, ByHandleKindAndCachedPerMethod) {
  Handle gpu = bare_handle(ACCESS_GPU_DRIVER, DEVFLAG_GPU);
  EXPECT_EQ(mget_max_reg_size(gpu.get(), MACCESS_REG_METHOD_GET), 812);
  EXPECT_EQ(gpu->max_reg_size[MACCESS_REG_METHOD_GET], 812u);
  EXPECT_EQ(gpu->max_reg_size[MACCESS_REG_METHOD_SET], 0u) << "each method has its own slot";

  // Methods outside the cache are answered without touching the record.
  const Handle before = bare_handle(0, 0);
  std::memcpy(before.get(), gpu.get(), sizeof(mfile));
  EXPECT_EQ(mget_max_reg_size(gpu.get(), 200), 812);
  EXPECT_EQ(mget_max_reg_size(gpu.get(), -3), 812);
  EXPECT_EQ(std::memcmp(before.get(), gpu.get(), sizeof(mfile)), 0);

  Handle ib = bare_handle(ACCESS_IB_INBAND, DEVFLAG_IB);
  EXPECT_EQ(mget_max_reg_size(ib.get(), MACCESS_REG_METHOD_SET), 44);

  // No register transport: 0, not cached, and every register is too large.
  Handle none = bare_handle(ACCESS_SWITCH_OS, DEVFLAG_SWITCH_OS);
  EXPECT_EQ(mget_max_reg_size(none.get(), MACCESS_REG_METHOD_GET), 0);
  EXPECT_EQ(none->max_reg_size[MACCESS_REG_METHOD_GET], 0u);
  uint8_t data[4] = {0};
  int status = 0;
  EXPECT_EQ(maccess_reg(none.get(), 0xC011, 1, data, 4, 4, 4, &status), 269);
  EXPECT_EQ(none->supports_icmd, 0u) << "a switch-OS name never asks for ICMD";
}

TEST(Delivery, RefusalsBeforeAnythingIsSent) {
  Handle gpu = bare_handle(ACCESS_GPU_DRIVER, DEVFLAG_GPU);
  uint8_t data[8] = {0};
  int status = 0;
  EXPECT_EQ(maccess_reg(nullptr, 1, 1, data, 4, 4, 4, &status), 2);
  EXPECT_EQ(maccess_reg(gpu.get(), 1, 1, nullptr, 4, 4, 4, &status), 2);
  EXPECT_EQ(maccess_reg(gpu.get(), 1, 1, data, 4, 4, 4, nullptr), 2);
  EXPECT_EQ(maccess_reg(gpu.get(), 1, 1, data, 0, 0, 0, &status), 2);
  std::vector<uint8_t> big(813, 0);
  EXPECT_EQ(maccess_reg(gpu.get(), 1, 1, big.data(), 813, 813, 813, &status), 269);

  // A GPU-driver handle gets the bare image from its device object, never ICMD framing.
  EXPECT_NE(maccess_reg(gpu.get(), 0xC011, 1, data, 8, 8, 8, &status), 0);
  EXPECT_EQ(gpu->supports_icmd, 0u);
  EXPECT_EQ(gpu->icmd.opened, 0);

  // A smart retimer whose plug-in lacks the register entry point.
  Handle retimer = bare_handle(ACCESS_CABLON_CHIP, DEVFLAG_CABLON_CHIP);
  retimer->hw_dev_id = 642;
  ASSERT_TRUE(is_smart_retimer(retimer.get()));
  errno = 0;
  EXPECT_EQ((uint32_t)maccess_reg_send(retimer.get(), 0xC011, 1, data, 8, &status), 0xFFFFFFFFu);
  EXPECT_EQ(errno, ENOTSUP);
}

TEST(Delivery, FrameMustHoldTheLargerOfBothSizes) {
  EnvGuard guard("USE_TLV_STRING_REG_ACCESS");
  unsetenv("USE_TLV_STRING_REG_ACCESS");
  uint8_t data[4] = {1, 2, 3, 4};
  int status = -1;
  // 16 + 4 + 1004 bytes fill the frame exactly: the size passes and only the missing transport
  // refuses; one more byte of reply would overrun it.
  Handle mf = bare_handle(ACCESS_PCICONF, DEVFLAG_PCI);
  EXPECT_EQ(mreg_send_raw(mf.get(), 0xC011, 1, data, 4, 1004, 4, &status), ME_NOT_IMPLEMENTED);
  EXPECT_EQ(mreg_send_raw(mf.get(), 0xC011, 1, data, 4, 1005, 4, &status), 528);
  EXPECT_EQ(mreg_send_raw(mf.get(), 0xC011, 1, data, 4, 4, 1005, &status), 528);

  Handle text = bare_handle(ACCESS_PCICONF, DEVFLAG_PCI);
  use_string_tlv(text.get(), 1);
  EXPECT_EQ(mreg_send_raw(text.get(), 0xC011, 1, data, 4, 872, 4, &status), ME_NOT_IMPLEMENTED);
  EXPECT_EQ(mreg_send_raw(text.get(), 0xC011, 1, data, 4, 873, 4, &status), 528);
}

TEST(Delivery, TlvDumpPrintsTheThreeRecordsInOrder) {
  OperationTlv op;
  std::memset(&op, 0, sizeof(op));
  op.Type = 1;
  op.len = 4;
  op.status = 4;
  op.dr = 1;
  op.class_ = 1;
  op.method = 2;
  op.register_id = 0xC012;
  reg_tlv reg;
  init_reg_tlv(&reg, 8);
  string_tlv text;
  init_string_tlv(&text);
  std::strcpy(text.String, "hello");
  testing::internal::CaptureStdout();
  debug_dump_tlvs(&op, &reg, &text);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\tOperation Tlv\n"
            "OperationTlv::reserved0: 0\nOperationTlv::status: 4\nOperationTlv::dr: 1\n"
            "OperationTlv::len: 4\nOperationTlv::Type: 1\nOperationTlv::class: 1\n"
            "OperationTlv::method: 2\nOperationTlv::r: 0\nOperationTlv::register_id: 49170\n"
            "OperationTlv::tid: 0\n"
            "\tReg Tlv\n"
            "reg_tlv::reserved0: 0\nreg_tlv::len: 3\nreg_tlv::Type: 3\n"
            "\tString Tlv\n"
            "string_tlv::reserved0: 0\nstring_tlv::len: 33\nstring_tlv::Type: 2\n"
            "string_tlv::String: \n[hello]\n");
}

}  // namespace
