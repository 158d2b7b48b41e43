// Discovery and opens against a fake machine: each scenario runs in a child in a private mount
// namespace whose /sys/bus/pci/devices and /dev hold fake PCI functions and driver nodes.
// Also the user-level listing against this machine's real /sys/bus/pci.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "mtcr_int.h"

namespace {

using vexil_test::FakePciFunction;

std::vector<std::string> split_names(const char* buf, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.emplace_back(buf);
    buf += names.back().size() + 1;
  }
  return names;
}

std::vector<std::string> list(int mask, int with_vfs) {
  char buf[8192];
  int n = mdevices_v(buf, sizeof(buf), mask, with_vfs);
  EXPECT_GE(n, 0);
  std::vector<std::string> names = split_names(buf, n < 0 ? 0 : n);
  std::sort(names.begin(), names.end());
  return names;
}

// Driver mode: one function with cr and conf nodes and a second function with only a conf node.
void build_driver_machine() {
  FakePciFunction fn;
  fn.address = "0000:03:00.0";
  fn.device = 0x1021;
  fn.subsystem_device = 0x0042;
  fn.numa_node.reset();
  fn.infiniband = {"crv5_0"};
  fn.net = {"eth0"};
  fn.virtfns = {"0000:03:00.2"};
  vexil_test::add_pci_function(fn);
  FakePciFunction vf;
  vf.address = "0000:03:00.2";
  vf.device = 0x101e;
  vf.physfn = "0000:03:00.0";
  vf.infiniband = {"crv5_2"};
  vexil_test::add_pci_function(vf);
  FakePciFunction other;
  other.address = "0000:05:00.0";
  other.numa_node = std::string("1");
  std::string dir = vexil_test::add_pci_function(other);
  vexil_test::make_dirs(dir + "/infiniband:crv5_9");  // older kernels: no infiniband directory
  vexil_test::add_qdx_node("tq4129_pci_cr0", "bus:dev.fn=03:00.0\n");
  vexil_test::add_qdx_node("tq4129_pciconf0", "domain:bus:dev.fn=0000:03:00.0 \n");
  vexil_test::add_qdx_node("tq4129_pciconf0.1", "bus:dev.fn=03:00.1\n");
  vexil_test::add_qdx_node("tq4130_pciconf0", "bus:dev.fn=05:00.0\n");
  vexil_test::add_qdx_node("tq4131_pciconf0", "no address here\n");
}

TEST(DriverDiscovery, ListsNodesAndSkipsOtherFunctionsWithoutVfs) {
  auto result = vexil_test::run_in_private_namespace([] {
    build_driver_machine();
    EXPECT_EQ(check_ul_mode(), 0);
    std::vector<std::string> expect = {"/dev/qdx/tq4129_pci_cr0", "/dev/qdx/tq4129_pciconf0",
                                       "/dev/qdx/tq4130_pciconf0", "/dev/qdx/tq4131_pciconf0"};
    EXPECT_EQ(list(MDEVS_ALL, 0), expect);
    expect.push_back("/dev/qdx/tq4129_pciconf0.1");
    std::sort(expect.begin(), expect.end());
    EXPECT_EQ(list(MDEVS_ALL, 1), expect);
    EXPECT_TRUE(list(DEVFLAG_CABLE, 0).empty());

    char buf[512];
    int n = mdevices(buf, sizeof(buf), MDEVS_ALL);
    ASSERT_EQ(n, 4);
    int total = 0;
    for (const auto& name : split_names(buf, n)) total += static_cast<int>(name.size()) + 1;
    EXPECT_EQ(mdevices(buf, total, MDEVS_ALL), 4);
    EXPECT_EQ(mdevices(buf, total - 1, MDEVS_ALL), -1) << "one byte too small";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverDiscovery, OneRecordPerFunctionWithIdsNamesAndVfs) {
  auto result = vexil_test::run_in_private_namespace([] {
    build_driver_machine();
    // A node whose text names an address beyond any record names none of ours: it must not
    // become, or merge into, the record of 0000:05:00.0.
    vexil_test::add_qdx_node("tq4132_pciconf0", "domain:bus:dev.fn=10000:05:00.0\n");
    int count = 0;
    dev_info* devs = mdevices_info_v(MDEVS_ALL, &count, 1);
    ASSERT_NE(devs, nullptr);
    ASSERT_EQ(count, 3) << "cr and conf nodes of one function share a record";
    const dev_info* f3 = nullptr;
    const dev_info* f5 = nullptr;
    for (int i = 0; i < count; ++i) {
      if (devs[i].bus == 3 && devs[i].func == 0) f3 = &devs[i];
      if (devs[i].bus == 5) f5 = &devs[i];
    }
    ASSERT_NE(f3, nullptr);
    ASSERT_NE(f5, nullptr);
    EXPECT_EQ(f3->type, MDEVS_TYPE_PCI_RECORD);
    EXPECT_STREQ(f3->dev_name, "/dev/qdx/tq4129_pci_cr0");
    EXPECT_STREQ(f3->cr_dev, "/dev/qdx/tq4129_pci_cr0");
    EXPECT_STREQ(f3->conf_dev, "/dev/qdx/tq4129_pciconf0");
    EXPECT_EQ(f3->vend_id, 0x15b3);
    EXPECT_EQ(f3->dev_id, 0x1021);
    EXPECT_EQ(f3->class_id, 0x020000u);
    EXPECT_EQ(f3->subsys_id, 0x0042);
    EXPECT_EQ(f3->subsys_vend_id, 0x15b3);
    EXPECT_STREQ(f3->numa_node, "NA");
    ASSERT_NE(f3->ib_devs, nullptr);
    EXPECT_STREQ(f3->ib_devs[0], "crv5_0");
    EXPECT_EQ(f3->ib_devs[1], nullptr);
    ASSERT_NE(f3->net_devs, nullptr);
    EXPECT_STREQ(f3->net_devs[0], "eth0");
    ASSERT_EQ(f3->virtfn_count, 1);
    EXPECT_STREQ(f3->virtfn_arr[0].dev_name, "0000:03:00.2");
    EXPECT_EQ(f3->virtfn_arr[0].func, 2);
    EXPECT_EQ(f3->virtfn_arr[0].ib_devs, nullptr) << "a VF lists no interface names";
    EXPECT_STREQ(f5->numa_node, "1");
    EXPECT_STREQ(f5->dev_name, "/dev/qdx/tq4130_pciconf0");
    EXPECT_EQ(f5->cr_dev[0], '\0');
    ASSERT_NE(f5->ib_devs, nullptr);
    EXPECT_STREQ(f5->ib_devs[0], "crv5_9");
    mdevices_info_destroy(devs, count);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverOpen, ResolvesAddressesAndRdmaNamesToNodes) {
  auto result = vexil_test::run_in_private_namespace([] {
    build_driver_machine();
    mfile* mf = mopen("pciconf-0000:03:00.0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_STREQ(mf->dev_name, "/dev/qdx/tq4129_pciconf0");
    EXPECT_STREQ(mf->orig_dev_name, "pciconf-0000:03:00.0");
    EXPECT_EQ(mf->flags, (uint32_t)DEVFLAG_PCI);
    EXPECT_EQ(mf->address_space, 2);
    EXPECT_EQ(mf->is_local, 1);
    EXPECT_EQ(mf->secondary_fd, -1);
    EXPECT_GT(mf->fd, 2);
    ASSERT_NE(mf->dinfo, nullptr);
    EXPECT_EQ(mf->dinfo->dev_id, 0x1021);
    ASSERT_NE(mf->dinfo->ib_devs, nullptr);
    EXPECT_STREQ(mf->dinfo->ib_devs[0], "crv5_0");
    char text[64];
    ASSERT_EQ(get_pci_dev_name(mf, text), 0);
    EXPECT_STREQ(text, "03:00.0");
    ASSERT_EQ(get_pci_dev_rdma(mf, text), 0);
    EXPECT_STREQ(text, "crv5_0");
    EXPECT_EQ(mclose(mf), 0);

    mf = mopen("rdma-crv5_9");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_STREQ(mf->dev_name, "/dev/qdx/tq4130_pciconf0");
    mclose(mf);

    errno = 0;
    EXPECT_EQ(mopen("0000:04:00.0"), nullptr);
    EXPECT_EQ(errno, ENOENT) << "not in the enumeration";
    errno = 0;
    EXPECT_EQ(mopen("pcicr-0000:05:00.0"), nullptr);
    EXPECT_EQ(errno, ENOENT) << "the function has no cr node";
    errno = 0;
    EXPECT_EQ(mopen("rdma-crv5_7"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(mopen_adv("pciconf-0000:03:00.0", ACCESS_PCI_MEMORY), nullptr);
    EXPECT_EQ(errno, EPERM);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverOpen, RefusesNamesItCannotOpen) {
  auto result = vexil_test::run_in_private_namespace([] {
    build_driver_machine();
    vexil_test::add_qdx_node("foo0", "");
    errno = 0;
    EXPECT_EQ(mopen("/dev/qdx/foo0"), nullptr);
    EXPECT_EQ(errno, ENOENT) << "no transport matches the node";
    errno = 0;
    EXPECT_EQ(mopen("tq4129_pciconf0_cable_0"), nullptr);
    EXPECT_EQ(errno, EINVAL) << "the cable node is missing";
    vexil_test::add_qdx_node("E9051_cable", "");
    errno = 0;
    EXPECT_EQ(mopen("E9051_cable"), nullptr);
    EXPECT_EQ(errno, EINVAL) << "too short for the board-model cut";
    errno = 0;
    EXPECT_EQ(mopen("localhost:9,/dev/qdx/tq4129_pciconf0"), nullptr);
    EXPECT_NE(errno, 0);
    std::string huge(2000, 'z');
    errno = 0;
    EXPECT_EQ(mopen(huge.c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(mopen(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);

    mfile* planar = mopen("planarized_device");
    ASSERT_NE(planar, nullptr);
    EXPECT_EQ(planar->access_type, (uint32_t)ACCESS_PLANARIZED);
    EXPECT_EQ(mclose(planar), 0);

    ASSERT_EQ(seteuid(65534), 0);
    errno = 0;
    mfile* denied = mopen("pciconf-0000:03:00.0");
    int err = errno;
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(denied, nullptr);
    EXPECT_EQ(err, EACCES);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverOpen, RecoveryNodeReadsTheDeviceIdThroughPread) {
  auto result = vexil_test::run_in_private_namespace([] {
    std::string node = vexil_test::add_qdx_node("tq4129_livefish0", "");
    int fd = open(node.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint32_t id_dword = 0x00030209;  // revision 3, hardware id 0x209
    ASSERT_EQ(pwrite(fd, &id_dword, 4, 0xF0014), 4);
    close(fd);
    mfile* mf = mopen(node.c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_LIVEFISH);
    EXPECT_EQ(mf->hw_dev_id, 0x209);
    EXPECT_EQ(mf->hw_rev_id, 3);
    EXPECT_EQ(is_livefish_device(mf), 1);
    ASSERT_EQ(mwrite4(mf, 0x100, 0x12345678), 4);
    uint32_t v = 0;
    ASSERT_EQ(mread4(mf, 0x100, &v), 4);
    EXPECT_EQ(v, 0x12345678u);
    EXPECT_EQ(mclose(mf), 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A variable of a plug-in library that the open loaded (the loader never unloads it).
int plugin_variable(const char* library, const char* name) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (!lib) return -1000;
  int* value = static_cast<int*>(dlsym(lib, name));
  int result = value ? *value : -1000;
  dlclose(lib);
  return result;
}

// The access type of the handle as the test plug-in's open entries found it.
uint32_t type_at_plugin_open = 0;

// Cable and chip handles: the plug-in opens over the node's own transport, then the handle is a
// cable (chip) handle whose device id, dwords and blocks go through the plug-in's (chip) entries.
TEST(DriverOpen, CableAndChipNamesOpenTheNodeInFrontAndThePlugin) {
  auto result = vexil_test::run_in_private_namespace([] {
    build_driver_machine();
    vexil_test::add_qdx_node("tq4129_pciconf0_cable_3", "");
    setenv("MCABLES_PATH", TEST_CABLE_PLUGIN, 1);
    void* lib = dlopen(TEST_CABLE_PLUGIN, RTLD_NOW);
    ASSERT_NE(lib, nullptr);
    *static_cast<void (**)(mfile*)>(dlsym(lib, "test_cable_open_hook")) =
        [](mfile* opened) { type_at_plugin_open = opened->access_type; };
    auto calls = [](const char* entry) { return plugin_variable(TEST_CABLE_PLUGIN, entry); };

    mfile* mf = mopend("tq4129_pciconf0_cable_3", 1);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->is_cable, 1u);
    EXPECT_STREQ(mf->dev_name, "/dev/qdx/tq4129_pciconf0");
    EXPECT_EQ(calls("test_cable_port"), 3);
    EXPECT_EQ(type_at_plugin_open, uint32_t(ACCESS_PCICONF));
    EXPECT_EQ(mf->access_type, uint32_t(ACCESS_CABLE));
    EXPECT_EQ(mf->hw_dev_id, 0xCAB) << "the device id comes through mcables_read4";
    EXPECT_EQ(calls("test_cable_read4s"), 1);
    uint32_t v = 0, out[16], in[16];
    for (uint32_t i = 0; i < 16; ++i) out[i] = 0xA0000000u + i;
    ASSERT_EQ(mwrite4(mf, 8, 0x5A5A), 4);
    ASSERT_EQ(mread4(mf, 8, &v), 4);
    EXPECT_EQ(v, 0x5A5Au);
    EXPECT_EQ(mwrite4_block(mf, 64, out, 64), 64);
    EXPECT_EQ(mread4_block(mf, 64, in, 64), 64);
    EXPECT_EQ(memcmp(in, out, 64), 0);
    EXPECT_EQ(mread4_block(mf, 240, in, 64), 0) << "the plug-in did none of it";
    EXPECT_EQ(calls("test_cable_read4s"), 2);
    EXPECT_EQ(calls("test_cable_write4s"), 1);
    EXPECT_EQ(calls("test_cable_block_reads"), 2) << "one call per block, not per chunk";
    EXPECT_EQ(calls("test_cable_block_writes"), 1);
    EXPECT_EQ(mclose(mf), 0);
    EXPECT_EQ(calls("test_cable_closes"), 1);

    errno = 0;
    EXPECT_EQ(mopen("tq4129_pciconf0_cable_3"), nullptr);
    EXPECT_EQ(errno, EPERM) << "mopen takes no cable";
    EXPECT_EQ(calls("test_cable_opens"), 2);
    EXPECT_EQ(calls("test_cable_closes"), 2) << "the refused handle is closed";

    type_at_plugin_open = 0;
    const int cable_reads = calls("test_cable_read4s");
    mf = mopend("/dev/qdx/tq4129_pciconf0_lx1_2", 1);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_STREQ(mf->dev_name, "/dev/qdx/tq4129_pciconf0") << "the name is cut at the chip token";
    EXPECT_EQ(type_at_plugin_open, uint32_t(ACCESS_PCICONF));
    EXPECT_EQ(mf->access_type, uint32_t(ACCESS_CABLON_CHIP));
    EXPECT_EQ(mf->hw_dev_id, 0xCAB);
    ASSERT_EQ(mwrite4(mf, 8, 0x1234), 4);
    ASSERT_EQ(mread4(mf, 8, &v), 4);
    EXPECT_EQ(v, 0x1234u);
    uint32_t chip_in[32], chip_out[32] = {};
    EXPECT_EQ(mwrite4_block(mf, 0, chip_out, 128), 128);
    EXPECT_EQ(mread4_block(mf, 0, chip_in, 128), 128);
    EXPECT_EQ(calls("test_cable_chip_read4s"), 2);
    EXPECT_EQ(calls("test_cable_chip_write4s"), 1);
    EXPECT_EQ(calls("test_cable_chip_block_reads"), 2) << "two chunks of 64";
    EXPECT_EQ(calls("test_cable_chip_block_writes"), 2);
    EXPECT_EQ(calls("test_cable_read4s"), cable_reads) << "nothing of the chip went to the cable entries";
    EXPECT_EQ(mclose(mf), 0);
    EXPECT_EQ(calls("test_cable_closes"), 2) << "mcables_close is for cables only";

    errno = 0;
    EXPECT_EQ(mopen("/dev/qdx/tq4129_pciconf0_lx1_2"), nullptr);
    EXPECT_EQ(errno, EPERM) << "mopen takes no cable chip";
    EXPECT_EQ(calls("test_cable_chip_opens"), 2);
    dlclose(lib);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(DriverOpen, APluginThatRefusesFailsTheOpenAndOnlyTheChipPathSaysSo) {
  auto result = vexil_test::run_in_private_namespace([] {
    build_driver_machine();
    vexil_test::add_qdx_node("tq4129_pciconf0_cable_0", "");
    setenv("MCABLES_PATH", REFUSING_CABLE_PLUGIN, 1);
    mfile* mf = nullptr;
    std::string out =
        vexil_test::written_to(1, [&] { mf = mopend("/dev/qdx/tq4129_pciconf0_lx1", 1); });
    EXPECT_EQ(mf, nullptr);
    EXPECT_EQ(out, "failed to call mcables_chip_open");
    EXPECT_EQ(plugin_variable(REFUSING_CABLE_PLUGIN, "refusing_cable_opens"), 1);

    out = vexil_test::written_to(1, [&] { mf = mopend("tq4129_pciconf0_cable_0", 1); });
    EXPECT_EQ(mf, nullptr);
    EXPECT_EQ(out, "");
    EXPECT_EQ(plugin_variable(REFUSING_CABLE_PLUGIN, "refusing_cable_opens"), 2);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// User-level mode: no driver nodes, functions only in sysfs.
void build_user_level_machine() {
  FakePciFunction nic;
  nic.address = "0000:03:00.0";
  nic.device = 0x1021;
  nic.infiniband = {"crv5_0"};
  vexil_test::add_pci_function(nic);
  FakePciFunction foreign;
  foreign.address = "0000:04:00.0";
  foreign.vendor = 0x8086;
  foreign.device = 0x1021;
  vexil_test::add_pci_function(foreign);
  FakePciFunction storage;  // the maker's, but neither supported nor a channel
  storage.address = "0000:05:00.0";
  storage.device = 0x9999;
  storage.class_code = 0x010000;
  vexil_test::add_pci_function(storage);
  FakePciFunction channel;  // unsupported id, network class, supported sibling
  channel.address = "0000:06:00.0";
  channel.device = 0x9999;
  vexil_test::add_pci_function(channel);
  FakePciFunction sibling;
  sibling.address = "0000:06:00.1";
  sibling.device = 0x101d;
  vexil_test::add_pci_function(sibling);
  FakePciFunction vf;
  vf.address = "0000:03:01.0";
  vf.device = 0x101e;
  vf.physfn = "0000:03:00.0";
  vexil_test::add_pci_function(vf);
}

TEST(UserLevelDiscovery, ListsTheMakersSupportedFunctions) {
  auto result = vexil_test::run_in_private_namespace([] {
    build_user_level_machine();
    EXPECT_EQ(check_ul_mode(), 1);
    EXPECT_EQ(get_device_flags("03:00.0"), (uint32_t)DEVFLAG_PCI);
    EXPECT_EQ(get_device_flags("host:1234,03:00.0"), (uint32_t)DEVFLAG_REMOTE);
    char buf[1024];
    int n = mdevices_v_ul(buf, sizeof(buf), DEVFLAG_PCI, 0);
    ASSERT_EQ(n, 2);
    std::vector<std::string> names = split_names(buf, n);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"0000:03:00.0", "0000:06:00.0"}));
    EXPECT_EQ(mdevices_v_ul(buf, sizeof(buf), DEVFLAG_CABLE, 0), 0) << "nothing without 0x20";
    EXPECT_EQ(is_supported_device_id_on_same_bus("0000:06:00.0"), 2);
    EXPECT_EQ(is_auxiliary_comm_channel("0000:06:00.0"), 1);
    EXPECT_EQ(is_auxiliary_comm_channel("0000:05:00.0"), 0);

    int count = 0;
    dev_info* devs = mdevices_info_v(DEVFLAG_PCI, &count, 0);
    ASSERT_EQ(count, 2);
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(devs[i].ul_mode, 1);
      EXPECT_STREQ(devs[i].conf_dev, devs[i].dev_name);
      EXPECT_EQ(devs[i].cr_dev[0], '\0');
      if (devs[i].bus == 6) {
        EXPECT_EQ(devs[i].dev_id, 0x101d) << "ids of the supported sibling";
      }
    }
    mdevices_info_destroy(devs, count);

    mfile mf = {};
    ASSERT_EQ(init_dev_info_ul(&mf, "0000:03:00.0", 0, 3, 0, 0), 0);
    ASSERT_NE(mf.dinfo, nullptr);
    EXPECT_STREQ(mf.dinfo->ib_devs[0], "crv5_0");
    EXPECT_EQ(mf.cr_space_offset, 0u);
    free_name_list(mf.dinfo->ib_devs);
    free_name_list(mf.dinfo->net_devs);
    free(mf.dinfo);
    mfile none = {};
    EXPECT_EQ(init_dev_info_ul(&none, "0000:09:00.0", 0, 9, 0, 0), 1);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(UserLevelDiscovery, DriverNodesDecideDriverMode) {
  auto result = vexil_test::run_in_private_namespace([] {
    build_user_level_machine();
    vexil_test::add_qdx_node("tq4129_pciconf0", "bus:dev.fn=03:00.0\n");
    EXPECT_EQ(check_ul_mode(), 0);
    EXPECT_EQ(get_device_flags("03:00.0"), (uint32_t)DEVFLAG_REMOTE);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Addresses the record cannot hold (a 16-bit domain, an 8-bit bus) are skipped, both as functions
// and as VF links: cast down they would alias the function 0000:03:00.0.
TEST(UserLevelDiscovery, AddressesBeyondTheRecordAreSkipped) {
  auto result = vexil_test::run_in_private_namespace([] {
    FakePciFunction nic;
    nic.address = "0000:03:00.0";
    nic.virtfns = {"10000:03:00.2", "0000:03:00.3", "0000:1ff:00.4"};
    vexil_test::add_pci_function(nic);
    for (const char* address : {"10000:03:00.0", "ffffff:1ff:ff.0", "100000000:03:00.0"}) {
      FakePciFunction alias;
      alias.address = address;
      vexil_test::add_pci_function(alias);
    }
    char buf[1024];
    int n = mdevices_v_ul(buf, sizeof(buf), DEVFLAG_PCI, 0);
    EXPECT_EQ(split_names(buf, n < 0 ? 0 : n), std::vector<std::string>{"0000:03:00.0"});
    int count = 0;
    dev_info* devs = mdevices_info_v_ul(DEVFLAG_PCI, &count, 1);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(devs[0].domain, 0);
    EXPECT_EQ(devs[0].bus, 3);
    ASSERT_EQ(devs[0].virtfn_count, 1);
    EXPECT_STREQ(devs[0].virtfn_arr[0].dev_name, "0000:03:00.3");
    EXPECT_EQ(devs[0].virtfn_arr[0].func, 3);
    mdevices_info_destroy(devs, count);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The machine's own PCI functions are not the maker's: the filter lists none and does not fail.
TEST(RealMachine, UserLevelListingFiltersOtherVendors) {
  char buf[65536];
  int n = mdevices_v_ul(buf, sizeof(buf), DEVFLAG_PCI, 1);
  ASSERT_GE(n, 0);
  for (const std::string& name : split_names(buf, n)) {
    std::ifstream vendor("/sys/bus/pci/devices/" + name + "/vendor");
    unsigned long id = 0;
    vendor >> std::hex >> id;
    EXPECT_TRUE(id == 0x15b3 || id == 0x10de) << name;
  }
  int count = -1;
  dev_info* devs = mdevices_info_v_ul(DEVFLAG_PCI, &count, 1);
  EXPECT_EQ(count, n);
  mdevices_info_destroy(devs, count);
}

}  // namespace
