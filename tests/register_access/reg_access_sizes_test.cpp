// How much of a register travels each way when the record decides it: the frames the simulated
// adapter's ICMD mailbox was written and read back on the local PCI path, and MGIR cut to a
// switch-OS handle's largest register.
#include "reg_access.h"

#include <gtest/gtest.h>

#include <cstring>

#include "accelerator_function.h"
#include "test_handle.h"

namespace {

// Operation TLV and register TLV ahead of the image.
constexpr uint32_t kFrameHead = 20;

struct Sizes {
  uint32_t request;
  uint32_t reply;
};

Sizes last_frame(vexil_sim::FuseFunctionServer& server) {
  const vexil_sim::AdapterStats s = server.stats();
  return {s.last_command_bytes - kFrameHead, s.last_reply_bytes - kFrameHead};
}

TEST(RegisterSizes, EachDirectionCarriesWhatTheRecordSays) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  unsetenv("USE_TLV_STRING_REG_ACCESS");
  VEXIL_EXPECT_SCENARIO(vexil_sim::with_accelerator_function({}, [](vexil_sim::FuseFunctionServer& server) {
    mfile* mf = mopen(vexil_sim::kAcceleratorAddress);
    ASSERT_NE(mf, nullptr);
    struct Case {
      const char* what;
      uint32_t method;
      Sizes expected;
    };
    reg_access_hca_mfba_reg_ext mfba;
    memset(&mfba, 0, sizeof mfba);
    for (const Case& c : {Case{"MFBA GET", MACCESS_REG_METHOD_GET, {12, 76}},
                          Case{"MFBA SET", MACCESS_REG_METHOD_SET, {76, 12}}}) {
      mfba.size = 64;  // a GET's reply overwrites it
      ASSERT_EQ(reg_access_mfba(mf, c.method, &mfba), ME_OK) << c.what;
      const Sizes got = last_frame(server);
      EXPECT_EQ(got.request, c.expected.request) << c.what;
      EXPECT_EQ(got.reply, c.expected.reply) << c.what;
    }
    tools_open_mnvda nvda;
    memset(&nvda, 0, sizeof nvda);
    for (const Case& c : {Case{"MNVDA GET", MACCESS_REG_METHOD_GET, {12, 28}},
                          Case{"MNVDA SET", MACCESS_REG_METHOD_SET, {28, 12}}}) {
      nvda.nv_hdr.length = 16;
      ASSERT_EQ(reg_access_mnvda(mf, c.method, &nvda), ME_OK) << c.what;
      const Sizes got = last_frame(server);
      EXPECT_EQ(got.request, c.expected.request) << c.what;
      EXPECT_EQ(got.reply, c.expected.reply) << c.what;
    }
    tools_open_mnvdi nvdi;
    memset(&nvdi, 0, sizeof nvdi);
    nvdi.nv_hdr.length = 16;
    ASSERT_EQ(reg_access_mnvdi(mf, MACCESS_REG_METHOD_SET, &nvdi), ME_OK);
    const Sizes got = last_frame(server);
    EXPECT_EQ(got.request, 28u);
    EXPECT_EQ(got.reply, 28u);
    mclose(mf);
  }));
}

// A switch-OS handle whose largest register is 64 bytes: MGIR sends those 64 and unpacks only
// them; the rest of the record reads zero, not the request's bytes.
TEST(RegisterSizes, MgirIsCutToASwitchHandlesLargestRegister) {
  mfile* mf = new_handle(ACCESS_SWITCH_OS);
  mf->flags = DEVFLAG_SWITCH_OS;
  mf->max_reg_size[MACCESS_REG_METHOD_GET] = 64;
  reg_access_hca_mgir_ext mgir;
  memset(&mgir, 0, sizeof mgir);
  mgir.hw_info.device_id = 0x1021;     // byte 2
  mgir.fw_info.psid[0] = 'P';          // byte 48
  mgir.sw_info.sub_minor = 7;          // byte 96 on
  mgir.dev_info.dev_branch_tag[0] = 'x';  // byte 128
  EXPECT_NE(reg_access_mgir(mf, MACCESS_REG_METHOD_GET, &mgir), ME_OK) << "the switch has no device object here";
  EXPECT_EQ(mgir.hw_info.device_id, 0x1021);
  EXPECT_EQ(mgir.fw_info.psid[0], 'P');
  EXPECT_EQ(mgir.sw_info.sub_minor, 0);
  EXPECT_EQ(mgir.dev_info.dev_branch_tag[0], 0);
  mclose(mf);
}

}  // namespace
