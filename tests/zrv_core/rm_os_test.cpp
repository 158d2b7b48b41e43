// The lowest layer of the GPU client: escapes through the ioctl interposer, PCI functions and
// their links in a private namespace, and the NUMA texts of sysfs.
#include "rm_os.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "ioctl_interposer.h"

namespace {

using vexil_test::FakePciFunction;

TEST(RmOs, EscapesGoDirectOrThroughTheTransfer) {
  vexil_test::IoctlHandlerScope scope;
  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::vector<unsigned long> requests;
  struct ob_escape_xfer seen = {};
  int interruptions = 1;
  vexil_test::set_ioctl_handler_for_fd(fd, [&](int, unsigned long request, void* arg) {
    requests.push_back(request);
    if (interruptions-- > 0) {
      errno = EINTR;
      return -1;
    }
    if (request == OB_REQUEST_XFER) memcpy(&seen, arg, sizeof(seen));
    return 0;
  });
  std::vector<uint8_t> record(4097);
  EXPECT_EQ(doIoctl(fd, 0x2A, 4096, 0xC000462Au, record.data()), 1);
  EXPECT_EQ(requests, (std::vector<unsigned long>{0xC000462Au, 0xC000462Au})) << "EINTR asked again";
  EXPECT_EQ(doIoctl(fd, 0x2A, 4097, 0xC000462Au, record.data()), 1);
  EXPECT_EQ(requests.back(), 0xC01046D3u);
  EXPECT_EQ(seen.escape, 0x2Au);
  EXPECT_EQ(seen.size, 4097u);
  EXPECT_EQ(seen.record, reinterpret_cast<uintptr_t>(record.data()));

  vexil_test::set_ioctl_handler_for_fd(fd, [](int, unsigned long, void*) {
    errno = ENOTTY;
    return -1;
  });
  EXPECT_EQ(doIoctl(fd, 0x2A, 32, 0xC020462Au, record.data()), -1);
  EXPECT_EQ(errno, ENOTTY);
  close(fd);

  const int opened = ob_open_cloexec("/dev/null", O_RDWR);
  ASSERT_GE(opened, 0);
  EXPECT_EQ(fcntl(opened, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  close(opened);
  EXPECT_EQ(ob_open_cloexec("/nonexistent/ombrixctl", O_RDWR), -ENOENT);

  char path[OB_DEVICE_PATH_SIZE];
  get_device_file_path(path, 255);
  EXPECT_STREQ(path, "/dev/ombrixctl");
  get_device_file_path(path, 254);
  EXPECT_STREQ(path, "/dev/ombrix254");
  get_device_file_path(path, 256);
  EXPECT_STREQ(path, "");
}

TEST(RmOs, NumaInformationIsLoadedOnce) {
  vexil_test::IoctlHandlerScope scope;
  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int answer = 0, calls = 0;
  vexil_test::set_ioctl_handler_for_fd(fd, [&](int, unsigned long request, void* arg) {
    calls++;
    EXPECT_EQ(request, 0xC23046D7u);
    if (answer != 0) {
      errno = answer;
      return -1;
    }
    static_cast<struct ob_escape_numa_info*>(arg)->node = 2;
    return 0;
  });
  struct ob_numa_info info = {7, 0};
  EXPECT_EQ(numa_load_device_info(fd, &info), OB_OK);
  EXPECT_EQ(info.node, 2);
  EXPECT_EQ(numa_load_device_info(fd, &info), OB_OK);
  EXPECT_EQ(calls, 1);

  answer = EINVAL;
  info = {7, 0};
  EXPECT_EQ(numa_load_device_info(fd, &info), OB_OK);
  EXPECT_EQ(info.node, -1);
  EXPECT_EQ(info.loaded, 1u);
  answer = EIO;
  info = {7, 0};
  EXPECT_EQ(numa_load_device_info(fd, &info), OB_ERR_OPERATING_SYSTEM);
  EXPECT_EQ(info.loaded, 0u);
  close(fd);
}

// A stream over a text that outlives it.
FILE* text(const std::string& s) {
  return fmemopen(const_cast<char*>(s.data()), s.size(), "r");
}

TEST(RmOs, MemoryTexts) {
  uint64_t size = 0;
  EXPECT_EQ(ob_parse_memblock_size("8000000\n", 8, &size), 0);
  EXPECT_EQ(size, 0x8000000u);
  EXPECT_EQ(ob_parse_memblock_size("\n\n", 2, &size), -22);
  EXPECT_EQ(ob_parse_memblock_size("80 kB\n", 6, &size), -22);
  EXPECT_EQ(ob_parse_memblock_size("-8\n", 3, &size), -22);
  if (access("/sys/devices/system/memory/block_size_bytes", R_OK) == 0) {
    EXPECT_EQ(read_memblock_size(&size), 0);
    EXPECT_GT(size, 0u);
  }

  uint64_t total = 0, free_kib = 0;
  const std::string long_key(100, 'K');  // longer than a key field, within a line
  const std::string capped = "Node 0 " + long_key + ": 5 kB\nNode 0 HugePages_Total:     0\n"
                             "Node 0 MemTotal:  1000 kB\nNode 0 MemFree:   4000 kB\n";
  FILE* f = text(capped);
  EXPECT_EQ(ob_parse_node_meminfo(f, &total, &free_kib), 0);
  fclose(f);
  EXPECT_EQ(total, 1000u);
  EXPECT_EQ(free_kib, 1000u) << "free is capped at the total";
  const std::string no_free = "Node 0 MemTotal: 1000 kB\nNode 0 MemUsed: 10 kB\n";
  f = text(no_free);
  EXPECT_EQ(ob_parse_node_meminfo(f, &total, &free_kib), -95);
  fclose(f);
  EXPECT_EQ(read_node_meminfo(-1, &total, &free_kib), -22);
  if (access("/sys/devices/system/node/node0/meminfo", R_OK) == 0) {
    EXPECT_EQ(read_node_meminfo(0, &total, &free_kib), 0);
    EXPECT_LE(free_kib, total);
  }
}

// A bridge's configuration space: capability list 0x40 (power management) -> 0x50 (PCI Express).
std::vector<uint8_t> bridge_config(uint32_t link_caps, uint16_t link_status) {
  FakePciFunction fn;
  fn.vendor = 0x8086;
  fn.class_code = 0x060400;
  std::vector<uint8_t> c = vexil_test::make_config_header(fn);
  c[0x34] = 0x43;  // low bits are ignored
  c[0x40] = 0x01;
  c[0x41] = 0x50;
  c[0x50] = 0x10;
  c[0x51] = 0x00;
  for (int i = 0; i < 4; i++) c[0x50 + 12 + i] = static_cast<uint8_t>(link_caps >> (8 * i));
  c[0x50 + 16] = 0x13;  // Link Control: Link Disable set, other bits around it
  c[0x50 + 18] = static_cast<uint8_t>(link_status);
  c[0x50 + 19] = static_cast<uint8_t>(link_status >> 8);
  return c;
}

std::vector<uint8_t> config_of(const std::string& address) {
  const std::string s = vexil_test::read_file("/sys/bus/pci/devices/" + address + "/config");
  return std::vector<uint8_t>(s.begin(), s.end());
}

long ms_since(std::chrono::steady_clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - t).count());
}

TEST(RmOs, PciSearchRescanBridgeAndLink) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::enter_driver_platform();
    ASSERT_TRUE(vexil_test::driver_platform_is_private());
    FakePciFunction bridge;
    bridge.address = "0000:40:01.0";
    bridge.config = bridge_config(0, 0);
    vexil_test::add_pci_function(bridge);
    FakePciFunction gpu;
    gpu.address = "0000:41:00.0";
    gpu.vendor = 0x10DE;
    gpu.class_code = 0x030000;
    gpu.parent = bridge.address;
    vexil_test::add_pci_function(gpu);
    FakePciFunction short_config;
    short_config.address = "0000:42:00.0";
    short_config.vendor = 0x10DE;
    short_config.class_code = 0x030000;
    short_config.config = std::vector<uint8_t>(47, 0);
    vexil_test::add_pci_function(short_config);

    struct ob_pci_filter filter = {0x10DE, -1, -1, -1, 0x0300, 0xFF00, 99};
    EXPECT_EQ(pci_enum_match_id(&filter), 0);
    EXPECT_EQ(filter.count, 1u) << "a function without 48 bytes of header is passed over";

    struct ob_pci_address a = {0, 0x41, 0, 0}, up = {};
    EXPECT_EQ(pci_find_parent_bridge(&a, &up), 0);
    EXPECT_EQ(up.bus, 0x40);
    EXPECT_EQ(up.device, 1);
    EXPECT_EQ(pci_find_parent_bridge(&up, &a), 2) << "the tree's root is no function";

    const struct ob_pci_address everything = {0, 0, 0, 0};
    EXPECT_EQ(pci_rescan(&everything), 0);
    EXPECT_EQ(vexil_test::read_file("/sys/bus/pci/rescan"), "1\n");
    vexil_test::add_file("/sys/bus/pci/devices/0000:41:00.0/rescan", "");
    const struct ob_pci_address gpu_address = {0, 0x41, 0, 0};
    EXPECT_EQ(pci_rescan(&gpu_address), 0);
    EXPECT_EQ(vexil_test::read_file("/sys/bus/pci/devices/0000:41:00.0/rescan"), "1\n");

    // Enabling without active reporting: Link Disable cleared, 30 + 100 ms of waiting.
    const struct ob_pci_address b = {0, 0x40, 1, 0};
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(pci_bridge_link_set_enable(&b, 1), 0);
    EXPECT_GE(ms_since(t), 130);
    std::vector<uint8_t> c = config_of(bridge.address);
    EXPECT_EQ(c[0x60], 0x03);
    EXPECT_EQ(pci_bridge_link_set_enable(&b, 0), 0);
    c[0x60] = 0x13;
    EXPECT_EQ(config_of(bridge.address), c) << "only Link Disable changes";

    // Active reporting: a link that never comes up times out; one that is up settles.
    vexil_test::add_file("/sys/bus/pci/devices/0000:40:01.0/config",
                         [] { auto v = bridge_config(1u << 20, 0); return std::string(v.begin(), v.end()); }());
    t = std::chrono::steady_clock::now();
    EXPECT_EQ(pci_bridge_link_set_enable(&b, 1), ETIME);
    EXPECT_GE(ms_since(t), 200);
    vexil_test::add_file("/sys/bus/pci/devices/0000:40:01.0/config",
                         [] { auto v = bridge_config(1u << 20, 1u << 13); return std::string(v.begin(), v.end()); }());
    EXPECT_EQ(pci_bridge_link_set_enable(&b, 1), 0);

    // No PCI Express capability, or a list that runs past the readable space: refused, untouched.
    std::vector<uint8_t> plain = bridge_config(0, 0);
    plain[0x50] = 0x05;
    plain[0x51] = 0x00;
    vexil_test::add_file("/sys/bus/pci/devices/0000:40:01.0/config", std::string(plain.begin(), plain.end()));
    EXPECT_EQ(pci_bridge_link_set_enable(&b, 0), ENODEV);
    EXPECT_EQ(config_of(bridge.address), plain);
    std::vector<uint8_t> cut = bridge_config(0, 0);
    cut[0x41] = 0xF0;
    cut.resize(0x80);
    vexil_test::add_file("/sys/bus/pci/devices/0000:40:01.0/config", std::string(cut.begin(), cut.end()));
    EXPECT_EQ(pci_bridge_link_set_enable(&b, 0), EIO);
    EXPECT_EQ(config_of(bridge.address), cut);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
