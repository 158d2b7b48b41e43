// Device names: PCI addresses, RDMA/network/InfiniBand names, the flags of every name form,
// retimer and adapter-channel parts, the BAR gateway line of a node's text, and the forced forms
// of the user-level grammar.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mtcr_int.h"
#include "pci_ul_int.h"
#include "rm_os.h"

namespace {

struct BdfCase {
  const char* name;
  int ok;
  unsigned domain, bus, dev, func;
};

TEST(IsBdf, AcceptsEveryFormAndKeepsTheDomainOfFourFieldForms) {
  const BdfCase cases[] = {
      {"0000:03:00.0", 1, 0, 3, 0, 0},      {"03:00.0", 1, 0, 3, 0, 0},
      {"pciconf-0001:03:00.0", 1, 1, 3, 0, 0}, {"pciconf-03:00.1", 1, 0, 3, 0, 1},
      {"pci-0002:81:1f.7", 1, 2, 0x81, 0x1f, 7}, {"pci-81:00.2", 1, 0, 0x81, 0, 2},
      {"pcicr-000a:05:02.3", 1, 0xa, 5, 2, 3}, {"pcicr-05:02.3", 1, 0, 5, 2, 3},
      {"ffff:ff:1f.7", 1, 0xffff, 0xff, 0x1f, 7},
      // out-of-range fields are refused instead of being cut to the field's width
      {"10000:03:00.0", 0, 0, 0, 0, 0},     {"0000:100:00.0", 0, 0, 0, 0, 0},
      {"0000:03:20.0", 0, 0, 0, 0, 0},      {"0000:03:00.8", 0, 0, 0, 0, 0},
      {"03:00.9", 0, 0, 0, 0, 0},           {"/dev/qdx/tq4129_pciconf0", 0, 0, 0, 0, 0},
      // nor wrapped into range when they are longer than 32 bits
      {"100000000:03:00.0", 0, 0, 0, 0, 0}, {"pci-100000003:00.0", 0, 0, 0, 0, 0},
      {"0000:03:00.4294967296", 0, 0, 0, 0, 0},
      {"rdma-crv5_0", 0, 0, 0, 0, 0},       {"", 0, 0, 0, 0, 0},
  };
  for (const BdfCase& c : cases) {
    unsigned d = 99, b = 99, v = 99, f = 99;
    EXPECT_EQ(is_bdf(c.name, &d, &b, &v, &f), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(d, c.domain) << c.name;
    EXPECT_EQ(b, c.bus) << c.name;
    EXPECT_EQ(v, c.dev) << c.name;
    EXPECT_EQ(f, c.func) << c.name;
  }
  EXPECT_EQ(is_bdf(nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

// Every parser of PCI address texts, each in the name form it reads: all of them read one text
// as the same address or refuse it. The function is decimal, from every digit after the point; a
// value above 7, a letter of either case right after the digits, a bus above 0xff, a device above
// 0x1f and a field longer than its eight digits are refused, never read as a shorter or another
// number. Four-field-only parsers refuse the three-field form.
struct PciParser {
  const char* name;
  bool three_fields;
  bool (*read)(const std::string& address, unsigned v[4]);
};

bool through_is_bdf(const std::string& name, unsigned v[4]) {
  return is_bdf(name.c_str(), &v[0], &v[1], &v[2], &v[3]) == 1;
}

bool through_tqcr_parse_name(const std::string& name, unsigned v[4]) {
  int force = -1;
  return tqcr_parse_name(name.c_str(), &force, &v[0], &v[1], &v[2], &v[3]) != 0 && force == 0;
}

// The proc form of an address: its last ':' becomes '/'.
std::string proc_path(std::string address) {
  address[address.rfind(':')] = '/';
  return "/proc/bus/pci/" + address;
}

using Address = const std::string&;
const PciParser kPciParsers[] = {
    {"is_bdf", true, [](Address a, unsigned v[4]) { return through_is_bdf(a, v); }},
    {"is_bdf pci-", true, [](Address a, unsigned v[4]) { return through_is_bdf("pci-" + a, v); }},
    {"is_bdf pciconf-", true,
     [](Address a, unsigned v[4]) { return through_is_bdf("pciconf-" + a, v); }},
    {"is_bdf pcicr-", true,
     [](Address a, unsigned v[4]) { return through_is_bdf("pcicr-" + a, v); }},
    {"tqcr_parse_name", true,
     [](Address a, unsigned v[4]) { return through_tqcr_parse_name(a, v); }},
    {"tqcr_parse_name pciconf-", true,
     [](Address a, unsigned v[4]) { return through_tqcr_parse_name("pciconf-" + a, v); }},
    {"parse_ul_address", true,
     [](Address a, unsigned v[4]) { return parse_ul_address(a.c_str(), v) == 1; }},
    {"node text bus:dev.fn=", true,
     [](Address a, unsigned v[4]) {
       return node_text_address(("bus:dev.fn=" + a).c_str(), v) == 0;
     }},
    {"node text domain:bus:dev.fn=", true,
     [](Address a, unsigned v[4]) {
       return node_text_address(("domain:bus:dev.fn=" + a + " \n").c_str(), v) == 0;
     }},
    {"forced /proc/bus/pci", true,
     [](Address a, unsigned v[4]) { return ul_forced_address(proc_path(a).c_str(), v) == 0; }},
    {"parse_sysfs_address", false,
     [](Address a, unsigned v[4]) { return parse_sysfs_address(a.c_str(), v) == 1; }},
    {"forced /sys/bus/pci/devices", false,
     [](Address a, unsigned v[4]) {
       return ul_forced_address(("/sys/bus/pci/devices/" + a + "/config").c_str(), v) == 0;
     }},
    {"ob_parse_pci_address", false,
     [](Address a, unsigned v[4]) {
       ob_pci_address address{};
       if (!ob_parse_pci_address(a.c_str(), &address)) return false;
       v[0] = address.domain, v[1] = address.bus, v[2] = address.device, v[3] = address.function;
       return true;
     }},
};

TEST(PciAddressTexts, EveryParserReadsOneTextAlike) {
  const BdfCase cases[] = {
      {"0000:03:00.0", 1, 0, 3, 0, 0},          {"03:00.0", 1, 0, 3, 0, 0},
      {"0001:81:1f.7", 1, 1, 0x81, 0x1f, 7},    {"03:00.07", 1, 0, 3, 0, 7},
      {"0000:03:00.000000007", 1, 0, 3, 0, 7},  {"03:00.8", 0, 0, 0, 0, 0},
      {"0000:03:00.10", 0, 0, 0, 0, 0},         {"03:00.0x7", 0, 0, 0, 0, 0},
      {"0000:03:00.0x7", 0, 0, 0, 0, 0},        {"03:00.1a", 0, 0, 0, 0, 0},
      {"0000:03:00.4294967303", 0, 0, 0, 0, 0}, {"03:00.100000000", 0, 0, 0, 0, 0},
      {"03:100000000.0", 0, 0, 0, 0, 0},        {"100000003:00.0", 0, 0, 0, 0, 0},
      {"0000:100000003:00.0", 0, 0, 0, 0, 0},   {"0000:03:100000000.0", 0, 0, 0, 0, 0},
      {"100000000:03:00.0", 0, 0, 0, 0, 0},     {"03:00.0X7", 0, 0, 0, 0, 0},
      {"0000:03:00.1A", 0, 0, 0, 0, 0},         {"103:00.0", 0, 0, 0, 0, 0},
      {"03:20.0", 0, 0, 0, 0, 0},               {"0000:03:20.0", 0, 0, 0, 0, 0},
  };
  for (const BdfCase& c : cases) {
    const bool four_fields = std::count(c.name, c.name + strlen(c.name), ':') == 2;
    for (const PciParser& parser : kPciParsers) {
      unsigned v[4] = {99, 99, 99, 99};
      const bool read = parser.read(c.name, v);
      const bool expected = c.ok && (four_fields || parser.three_fields);
      EXPECT_EQ(read, expected) << parser.name << ": " << c.name;
      if (!read || !expected) continue;
      EXPECT_EQ(std::vector<unsigned>(v, v + 4),
                (std::vector<unsigned>{c.domain, c.bus, c.dev, c.func}))
          << parser.name << ": " << c.name;
    }
  }
}

TEST(RdmaAndNetNames, GiveTheBareNameWithinTheBuffer) {
  char out[16];
  ASSERT_EQ(is_ib_dev("rdma-crv5_0", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "crv5_0");
  ASSERT_EQ(is_ib_dev("crv4_7", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "crv4_7");
  EXPECT_EQ(is_ib_dev("rdma-", out, sizeof(out)), 0);
  EXPECT_EQ(is_ib_dev("tqhca0", out, sizeof(out)), 0);
  std::string longname = "rdma-" + std::string(40, 'x');
  EXPECT_EQ(is_ib_dev(longname.c_str(), out, sizeof(out)), 0) << "must not overrun the buffer";
  ASSERT_EQ(is_net_dev("net-eth0", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "eth0");
  EXPECT_EQ(is_net_dev("eth0", out, sizeof(out)), 0);
  std::string longnet = "net-" + std::string(40, 'y');
  EXPECT_EQ(is_net_dev(longnet.c_str(), out, sizeof(out)), 0);
}

TEST(InfiniBandNames, NeedANumberFollowedByASeparatorOrTheEnd) {
  struct { const char* name; int valid; } cases[] = {
      {"lid-0x10", 1}, {"lid-5,crv5_0", 1}, {"iblid-5", 1}, {"obl-3.1", 1}, {"ibdr-0,crv5_0,1", 1},
      {"lid-12x", 0},  {"lid-", 0},        {"lid-,5", 0},  {"ibdr-", 0},     {"ibdr-.", 0},
      {"crv5_0", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_ib_device_name(c.name), c.valid) << c.name;
}

struct FlagCase {
  const char* name;
  uint32_t flags;
};

TEST(DeviceFlags, EveryNameFormInDriverMode) {
  // No ':' in these names, so the answer does not depend on the machine's PCI devices.
  const FlagCase cases[] = {
      {"/dev/qdx/tq4129_pci_cr0", 0x20},
      {"/dev/qdx/tq4129_pciconf0", 0x20},
      {"/dev/qdx/tq4129_pciconf0_livefish", 0x10020},
      {"tqusb-1", 0x2},
      {"ndc-0", 0x2},
      {"objtag0", 0x800000},
      {"planarized_device", 0x4000000},
      {"redfish0", 0x8000000},
      {"gpu0", 0x1000000},
      {"nicx0", 0x1},
      {"dev-i2c-3", 0x200},
      {"/dev/qdx/gbox/tqusb_gbox3", 0x400002},
      {"ibdr-0,crv5_0,1", 0x400},
      {"crvlsw-1", 0x800},
      {"lpc0", 0x1000},
      {"lid-0x10", 0x400},
      {"lid-12x", 0},
      {"iblid-5", 0x400},
      {"obl-3", 0x2000},
      {"obl-3.5", 0},
      {"tq4129_pciconf0_cable_0", 0x8000},
      {"tqusb-1_cable", 0x8000},
      {"sw_module_1", 0x8000},
      {"tq_pciconf0_cable_lx1", 0x200000},
      {"tq_pciconf0_cable_rt1_0", 0x2000000},
      {"tqusb_lx2", 0x200000},
      {"tqusb_rt1_lx2", 0x2000000},  // both tags: the retimer test comes last and wins
  };
  for (const FlagCase& c : cases) EXPECT_EQ(get_device_flags(c.name), c.flags) << c.name;
  EXPECT_EQ(get_device_flags(nullptr), 0u);
}

TEST(DeviceFlags, ANameWithAColonIsRemoteWhenOtherBitsAreSet) {
  EXPECT_EQ(get_device_flags("host:1234,/dev/qdx/tq_pciconf0"), 0x80u);
  EXPECT_EQ(get_device_flags("host:1234,lid-5"), 0x480u);
}

TEST(AdapterChannel, NumberAfterTheLastUnderscore) {
  EXPECT_EQ(get_tqusb_offset_from_name("/dev/qdx/tqusb-1"), 0);
  EXPECT_EQ(get_tqusb_offset_from_name("/dev/qdx/tqusb_1_5"), 5);
  // board-model names interleave the channels
  EXPECT_EQ(get_tqusb_offset_from_name("E9051_tqusb_4"), 2);
  EXPECT_EQ(get_tqusb_offset_from_name("E9051_tqusb_5"), 2 + 16);
}

TEST(RetimerNames, FillTheHandleFields) {
  mfile mf = {};
  ASSERT_EQ(mopen_retimer("/dev/qdx/tq_pciconf0_cable_rt1_3", &mf), 0);
  EXPECT_EQ(mf.retimer_kind, 4);
  EXPECT_EQ(mf.retimer_mode, (uint32_t)RETIMER_MODE_CABLE);
  EXPECT_EQ(mf.retimer_index, 3);
  EXPECT_STREQ(mf.retimer_base_name, "/dev/qdx/tq_pciconf0_cable");
  EXPECT_STREQ(mf.retimer_name, "/dev/qdx/tq_pciconf0_cable_rt1_3");

  mfile usb = {};
  mopen_retimer("tqusb-1_rt0", &usb);
  EXPECT_EQ(usb.retimer_mode, (uint32_t)RETIMER_MODE_USB);
  EXPECT_EQ(usb.retimer_index, 0);
  EXPECT_EQ(usb.retimer_i2c_addr, 0x50);

  mfile plain = {};
  plain.retimer_index = 7;
  mopen_retimer("/dev/qdx/tq_pciconf0", &plain);
  EXPECT_EQ(plain.retimer_index, -1);
  EXPECT_EQ(plain.retimer_mode, 0u);
  EXPECT_EQ(plain.retimer_kind, 0);

  // a base name longer than the field is cut, never overrun
  mfile big = {};
  std::string huge = std::string(600, 'a') + "_cable_rt1";
  mopen_retimer(huge.c_str(), &big);
  EXPECT_LT(strlen(big.retimer_base_name), sizeof(big.retimer_base_name));
  EXPECT_LT(strlen(big.retimer_name), sizeof(big.retimer_name));
}

TEST(ChipAndCableNames, IndexPortAndNodePart) {
  int index = -1, sub = -1;
  EXPECT_EQ(parse_chip_name("tq4129_pciconf0_cable_lx2_7", &index, &sub), 21);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(sub, 7);
  EXPECT_EQ(parse_chip_name("tqusb-1_rt3", &index, &sub), 7);
  EXPECT_EQ(index, 3);
  EXPECT_EQ(sub, 0);
  EXPECT_EQ(parse_chip_name("tq4129_pciconf0", &index, &sub), -1);

  int port = 0, board = 0;
  EXPECT_EQ(parse_cable_name("tq4129_pciconf0_cable_3", 0, &port, &board), 15);
  EXPECT_EQ(port, 3);
  EXPECT_EQ(board, 0);
  port = 9;
  EXPECT_EQ(parse_cable_name("/dev/qdx/E9051_x_cable", 1, &port, &board), 16) << "taken whole";
  EXPECT_EQ(port, 9) << "no port: kept";
  EXPECT_EQ(parse_cable_name("tq4129_pciconf0_E9051_cable", 0, &port, &board), 15);
  EXPECT_EQ(board, 1);
  EXPECT_EQ(parse_cable_name("E9051_cable", 0, &port, &board), -1) << "no room for the board model";
  EXPECT_EQ(parse_cable_name((std::string(503, 'n') + "_cable").c_str(), 0, &port, &board), -1);
  EXPECT_EQ(parse_cable_name("tq4129_pciconf0", 0, &port, &board), -1);
}

class NodeText : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/node_text_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override { unlink(path_.c_str()); }
  void write(const std::string& text) { std::ofstream(path_) << text; }
  std::string path_;
};

TEST_F(NodeText, BarGatewayOffsetIsTheLastHexValue) {
  write("bus:dev.fn=03:00.0\nbar_gw_offset = 0x1000\nbar_gw_offset = 0xF0000\n");
  EXPECT_EQ(get_bar_offset(path_.c_str()), 0xF0000);
}

TEST_F(NodeText, BarGatewayOffsetMissingOrMalformedIsMinusOne) {
  write("bus:dev.fn=03:00.0\n");
  EXPECT_EQ(get_bar_offset(path_.c_str()), -1);
  write("bar_gw_offset = 4096\n");
  EXPECT_EQ(get_bar_offset(path_.c_str()), -1);
  write("bar_gw_offset = 0x10\nbar_gw_offset = zz\n");
  EXPECT_EQ(get_bar_offset(path_.c_str()), -1);
  EXPECT_EQ(get_bar_offset("/nonexistent/node"), -1);
}

TEST(UserLevelGrammar, ForcedFormsAndRefusals) {
  int force = -1;
  EXPECT_EQ(tqcr_parse_name("/sys/bus/pci/devices/0000:03:00.0/config", &force, nullptr, nullptr,
                            nullptr, nullptr),
            (uint32_t)ACCESS_PCICONF);
  EXPECT_EQ(force, 1);
  EXPECT_EQ(tqcr_parse_name("/sys/bus/pci/devices/0000:03:00.0/resource0", &force, nullptr,
                            nullptr, nullptr, nullptr),
            (uint32_t)ACCESS_PCI_MEMORY);
  EXPECT_EQ(tqcr_parse_name("/proc/bus/pci/03/00.0", &force, nullptr, nullptr, nullptr, nullptr),
            (uint32_t)ACCESS_PCICONF);
  EXPECT_EQ(tqcr_parse_name("lid-0x5", &force, nullptr, nullptr, nullptr, nullptr),
            (uint32_t)ACCESS_IB_INBAND);
  EXPECT_EQ(force, 1);
  EXPECT_EQ(tqcr_parse_name("/config", &force, nullptr, nullptr, nullptr, nullptr), 0u)
      << "a bare /config is too short to be a function's file";
  errno = 0;
  EXPECT_EQ(tqcr_parse_name("garbage", &force, nullptr, nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(tqcr_parse_name("0000:03:20.0", &force, nullptr, nullptr, nullptr, nullptr), 0u);
  // Fields past their width: PciAddressTexts.
}

TEST(UserLevelGrammar, PciconfAddressWithoutDriverNodesIsConfigurationSpace) {
  int force = -1;
  unsigned d = 0, b = 0, v = 0, f = 0;
  EXPECT_EQ(tqcr_parse_name("pciconf-0007:0a:1f.7", &force, &d, &b, &v, &f),
            (uint32_t)ACCESS_PCICONF);
  EXPECT_EQ(force, 0);
  EXPECT_EQ(d, 7u);
  EXPECT_EQ(b, 0xau);
  EXPECT_EQ(v, 0x1fu);
  EXPECT_EQ(f, 7u);
}

}  // namespace
