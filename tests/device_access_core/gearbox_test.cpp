// Gearboxes: how a name sets up the handle (bounded name rewrites included), and the MDDT tunnel
// end to end: the real register-access plug-in (dlopen'd through MCABLES_PATH) packs each MDDT
// record and sends it through the simulated switch's ICMD mailbox over the kernel driver, and the
// gearbox behind the switch answers registers, commands and CR dwords from its own side.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "gearbox.h"
#include "ioctl_interposer.h"
#include "mddt_gearbox.h"
#include "mtcr_int.h"
#include "simulated_driver.h"
#include "test_handle.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vexil_sim::MddtGearbox;
using vexil_sim::SimulatedAdapter;

const char kSwitchNode[] = "/dev/qdx/tq4129_pciconf0";
const char kSwitchGearbox[] = "switch_tq4129_pciconf0_gbox_ln1_3";
constexpr uint16_t kGearboxHwId = 0x0252;

struct Parsed {
  int rc;
  int err;
  mfile* mf;
};

Parsed parse(char* name, size_t size) {
  mfile* mf = new_handle(0);
  errno = 0;
  int rc = mopen_gearbox(name, size, mf);
  return {rc, errno, mf};
}

TEST(GearboxNames, KindIndexLaneManagerAndSecondary) {
  struct Case {
    const char* name;
    uint32_t chip, kind;
    int line, mngr, index, lane;
    uint8_t secondary;
    const char* manager;
  } cases[] = {
      {"/dev/qdx/gbox/tqusb_gbox3", 1, GEARBOX_KIND_USB, 1, 0, 3, 0, 0x48, "/dev/qdx/gbox/tqusb_gboxmngr"},
      {"i2c-1_tovin_gbox_ln2_mngr", 2, GEARBOX_KIND_I2C, 0, 1, -1, 2, 0x33, "i2c-1_tovin_gbox_ln2_mngr"},
      {"tqusb_gbox_ln", 1, GEARBOX_KIND_USB, 1, 0, -1, 0, 0x48, "tqusb_gbox_lmngr"},
  };
  for (const Case& c : cases) {
    char name[DEV_NAME_SZ];
    snprintf(name, sizeof(name), "%s", c.name);
    Parsed p = parse(name, sizeof(name));
    EXPECT_EQ(p.rc, 0) << c.name;
    EXPECT_EQ(p.mf->access_type, uint32_t(ACCESS_GEARBOX)) << c.name;
    EXPECT_EQ(p.mf->gearbox_chip, c.chip) << c.name;
    EXPECT_EQ(p.mf->gearbox_kind, c.kind) << c.name;
    EXPECT_EQ(p.mf->gearbox_line, c.line) << c.name;
    EXPECT_EQ(p.mf->gearbox_mngr, c.mngr) << c.name;
    EXPECT_EQ(p.mf->gearbox.index, c.index) << c.name;
    EXPECT_EQ(p.mf->gearbox.lane, c.lane) << c.name;
    EXPECT_EQ(p.mf->i2c_secondary, c.secondary) << c.name;
    EXPECT_EQ(p.mf->i2c_addr_mode, uint32_t(I2C_ADDR_MODE_FOUR_BYTES)) << c.name;
    EXPECT_STREQ(p.mf->gearbox.mngr_name, c.manager) << c.name;
    EXPECT_STREQ(p.mf->gearbox.dev_name, c.mngr ? "" : c.name) << c.name;
    EXPECT_STREQ(name, c.name) << "only a switch gearbox's name is rewritten";
    mclose(p.mf);
  }
  char plain[] = "/dev/qdx/tq4129_pciconf0";
  Parsed p = parse(plain, sizeof(plain));
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.mf->gearbox_chip, 0u);
  EXPECT_EQ(p.mf->access_type, 0u);
  EXPECT_EQ(p.mf->gearbox.lane, -1);
  mclose(p.mf);
}

// The manager's name is one longer than the device's name less three: it must fit its slot; the
// switch's node is what lies between "switch_" and "_gbox", which must not be empty.
TEST(GearboxNames, RewritesStayInsideTheirBuffers) {
  for (size_t len : {size_t(508), size_t(509), size_t(511)}) {
    std::string text = std::string(len - 6, 'a') + "_gbox1";
    std::vector<char> name(text.begin(), text.end());
    name.push_back('\0');
    Parsed p = parse(name.data(), name.size());
    if (len == 508) {
      EXPECT_EQ(p.rc, 0);
      EXPECT_EQ(strlen(p.mf->gearbox.mngr_name), 511u);
      EXPECT_EQ(p.mf->gearbox.index, 1);
    } else {
      EXPECT_EQ(p.rc, 1) << len;
      EXPECT_EQ(p.err, ENAMETOOLONG) << len;
    }
    mclose(p.mf);
  }
  setenv("MCABLES_PATH", TEST_REG_ACCESS_PLUGIN, 1);
  for (const char* bad : {"switch_gbox1", "switch__gbox1", "xswitch_gbox"}) {
    char name[32];
    snprintf(name, sizeof(name), "%s", bad);
    Parsed p = parse(name, sizeof(name));
    EXPECT_EQ(p.rc, 1) << bad;
    EXPECT_EQ(p.err, EINVAL) << bad;
    EXPECT_STREQ(name, bad);
    mclose(p.mf);
  }
  char name[64];
  snprintf(name, sizeof(name), "%s", kSwitchGearbox);
  Parsed p = parse(name, sizeof(name));
  EXPECT_EQ(p.rc, 0);
  EXPECT_STREQ(name, kSwitchNode);
  EXPECT_STREQ(p.mf->gearbox.switch_name, kSwitchGearbox);
  EXPECT_EQ(p.mf->gearbox_kind, uint32_t(GEARBOX_KIND_SWITCH));
  ASSERT_NE(p.mf->plugin_ctx, nullptr);
  EXPECT_NE(p.mf->plugin_ctx->entries[REG_ACCESS_SLOT_MDDT], nullptr);
  mclose(p.mf);

  setenv("MCABLES_PATH", "/nonexistent/rreg_access.so", 1);
  snprintf(name, sizeof(name), "%s", kSwitchGearbox);
  p = parse(name, sizeof(name));
  EXPECT_EQ(p.rc, 1) << "no plug-in, no switch gearbox";
  mclose(p.mf);
  unsetenv("MCABLES_PATH");
}

// The switch behind its kernel-driver node, the gearbox behind the switch's MDDT register.
void build_switch(vexil_test::SimulatedDriver& driver) {
  vexil_test::add_driver_function();
  driver.serve_qdx_node(kSwitchNode);
  driver.behaviour().cap_mask = 0x10F;  // CR, ICMD and semaphore spaces: the switch's mailbox
}

TEST(GearboxTunnel, RegistersCommandsAndCrSpaceTravelInsideMddt) {
  auto result = vexil_test::run_in_private_namespace([] {
    SimulatedAdapter adapter;
    auto gearbox = MddtGearbox::install(adapter.registers(), kGearboxHwId);
    vexil_test::SimulatedDriver driver(adapter);
    vexil_test::IoctlHandlerScope scope;
    build_switch(driver);
    setenv("MCABLES_PATH", TEST_REG_ACCESS_PLUGIN, 1);
    mfile* mf = mopen(kSwitchGearbox);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_STREQ(mf->dev_name, kSwitchNode);
    EXPECT_EQ(mf->access_type, uint32_t(ACCESS_PCICONF)) << "the switch's transport";
    EXPECT_EQ(mf->gearbox_kind, uint32_t(GEARBOX_KIND_SWITCH));

    // CR dwords: the gearbox's, never the switch's.
    uint32_t value = 0;
    EXPECT_EQ(mread4(mf, 0xF0014, &value), 4);
    EXPECT_EQ(value & 0xFFFF, kGearboxHwId);
    EXPECT_EQ(mwrite4(mf, 0x100, 0xCAFE0001), 4);
    ASSERT_FALSE(gearbox->log().empty());
    const MddtGearbox::Request last = gearbox->log().back();
    EXPECT_EQ(last.device_index, 3);
    EXPECT_EQ(last.slot_index, 1) << "the lane";
    EXPECT_EQ(last.type, 2);
    EXPECT_EQ(last.write_size, 1);
    EXPECT_EQ(last.read_size, 0);
    EXPECT_TRUE(gearbox->cr().read(0x100, value));
    EXPECT_EQ(value, 0xCAFE0001u);
    EXPECT_TRUE(adapter.read_space(vexil_sim::kSpaceCr, 0x100, value));
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(mread4(mf, 0x100, &value), 4);
    EXPECT_EQ(value, 0xCAFE0001u);

    // A block of 300 bytes: two tunnelled chunks each way.
    std::vector<uint32_t> block(75), back(75);
    std::iota(block.begin(), block.end(), 0x51000000u);
    size_t before = gearbox->log().size();
    EXPECT_EQ(mwrite4_block(mf, 0x2000, block.data(), 300), 300);
    EXPECT_EQ(mread4_block(mf, 0x2000, back.data(), 300), 300);
    EXPECT_EQ(back, block);
    EXPECT_EQ(gearbox->log().size() - before, 4u);

    // Access registers of the gearbox; a 6-byte image keeps its last two bytes.
    constexpr uint16_t kReg = 0x5008, kRefused = 0x5009;
    Bytes image = {1, 2, 3, 4, 5, 6};
    int status = -1;
    EXPECT_EQ(maccess_reg(mf, kReg, MACCESS_REG_METHOD_SET, image.data(), 6, 6, 6, &status), 0);
    EXPECT_EQ(gearbox->registers().stored(kReg), (Bytes{1, 2, 3, 4, 5, 6, 0, 0}));
    EXPECT_EQ(adapter.register_counts(kReg).set, 0u) << "not a register of the switch";
    image.assign(6, 0);
    EXPECT_EQ(maccess_reg(mf, kReg, MACCESS_REG_METHOD_GET, image.data(), 6, 6, 6, &status), 0);
    EXPECT_EQ(image, (Bytes{1, 2, 3, 4, 5, 6}));
    for (auto [inner, code] : {std::pair<int, int>{7, 265}, {4, 258}, {1, 259}, {112, 274}, {9, 268}}) {
      gearbox->registers().set_handler(kRefused, [inner = inner](vexil_sim::RegisterAccess&) {
        return uint8_t(inner);
      });
      EXPECT_EQ(maccess_reg(mf, kRefused, MACCESS_REG_METHOD_GET, image.data(), 4, 4, 4, &status), code)
          << inner;
    }
    const uint64_t mddt_before = adapter.register_counts(vexil_sim::kRegMddt).get;
    Bytes large(257, 0);
    EXPECT_EQ(maccess_reg(mf, kReg, MACCESS_REG_METHOD_GET, large.data(), 257, 257, 257, &status), 269);
    EXPECT_EQ(adapter.register_counts(vexil_sim::kRegMddt).get, mddt_before) << "nothing sent";
    EXPECT_EQ(maccess_reg(mf, kReg, MACCESS_REG_METHOD_GET, image.data(), 6, 6, 6, &status), 0)
        << "later registers are still tunnelled";
    EXPECT_EQ(image, (Bytes{1, 2, 3, 4, 5, 6}));

    // MDDT itself goes to the switch once, its mailbox untunnelled.
    const size_t tunnelled = gearbox->log().size();
    Bytes mddt(272, 0);
    mddt[7] = 2;  // CR space, nothing to read or write
    EXPECT_EQ(maccess_reg(mf, vexil_sim::kRegMddt, MACCESS_REG_METHOD_GET, mddt.data(), 272, 272, 272,
                          &status), 0);
    EXPECT_EQ(gearbox->log().size(), tunnelled + 1);
    EXPECT_EQ(mf->gearbox_kind, uint32_t(GEARBOX_KIND_SWITCH));

    // A command, its reply read back into the same buffer.
    Bytes seen;
    const Bytes reply = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB};
    gearbox->set_command_handler([&](const Bytes& command) {
      seen = command;
      return reply;
    });
    Bytes buffer = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0};
    EXPECT_EQ(create_mddt_wrapper_for_cmd_payload(mf, MACCESS_REG_METHOD_SET, buffer.data(),
                                                  buffer.data(), 8, 12), 0);
    EXPECT_EQ(seen, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(buffer, reply);
    Bytes command(261, 0);
    EXPECT_EQ(create_mddt_wrapper_for_cmd_payload(mf, 1, command.data(), command.data(), 261, 4), 269);
    uint32_t cr[66] = {};
    EXPECT_EQ(gearbox_mddt_crspace_access(mf, MACCESS_REG_METHOD_GET, cr, 0, 260), 269);
    EXPECT_EQ(mf->gearbox_kind, uint32_t(GEARBOX_KIND_SWITCH)) << "after every tunnelled access";
    EXPECT_EQ(mclose(mf), 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The register command puts its trailer after 252 image bytes: a larger image is refused, never
// overwritten by the trailer.
TEST(GearboxTunnel, RegisterCommandKeepsTheImageBeforeItsTrailer) {
  uint8_t record[GEARBOX_PRM_CMD_SIZE];
  memset(record, 0x77, sizeof(record));
  Bytes image(253, 0x11);
  EXPECT_EQ(gearbox_prm_reg_access_cmd(record, 0x5008, 2, image.data(), 253, 4), 269);
  EXPECT_EQ(record[0], 0x77) << "nothing written";
  EXPECT_EQ(gearbox_prm_reg_access_cmd(record, 0x5008, 2, image.data(), 252, 4), 0);
  uint16_t id = 0;
  memcpy(&id, record + 254, 2);
  EXPECT_EQ(Bytes(record + 250, record + GEARBOX_PRM_CMD_SIZE),
            (Bytes{0x11, 0x11, 2, 0, record[254], record[255], 4, 0, 0xFF, 0, 1, 0}));
  EXPECT_EQ(id, 0x5008);
}

}  // namespace
