// NUMA information and memory mapping of the GPU client against the simulated GPU driver, in
// private namespaces (a GPU's node gets its own meminfo file there).
#include <errno.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "gpu_driver.h"
#include "ioctl_interposer.h"
#include "rm_api.h"
#include "rm_client_scenario.h"
#include "rm_internal.h"
#include "rm_os.h"

namespace {

using vexil_sim::GpuDriver;
using vexil_sim::SimGpu;

using rm_test::count;
using rm_test::kDevice;
using rm_test::open_device;
using rm_test::quick;

// GPU 0 has no NUMA node; GPU 1's memory is node 3, with 1000 KiB of which 800 free.
void two_gpus(GpuDriver& driver) {
  SimGpu a, b;
  a.gpu_id = 0x100;
  b.gpu_id = 0x200;
  b.minor = 1;
  b.device_instance = 1;
  b.numa_node = 3;
  driver.gpus = {a, b};
  vexil_test::enter_driver_platform();
  ASSERT_TRUE(vexil_test::driver_platform_is_private());
  ASSERT_EQ(mount("tmpfs", "/sys/devices/system/node", "tmpfs", MS_NOSUID, "mode=755"), 0);
  vexil_test::add_file("/sys/devices/system/node/node3/meminfo",
                       "Node 3 MemTotal:        1000 kB\nNode 3 MemFree:          800 kB\n");
  driver.install();
}

// The memory answer of 0x20801303: count, then {item, value} pairs.
struct FbInfo {
  uint32_t count;
  uint32_t pairs[110];
};

TEST(RmNuma, MemoryAnswersAreTheGpuNodes) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t offline = 50;
    driver.on_control = [&](ob_escape_control& record, void* params) {
      if (record.cmd != 0x20801303) return false;
      FbInfo* info = static_cast<FbInfo*>(params);
      for (uint32_t i = 0; i < info->count; i++)
        info->pairs[2 * i + 1] = info->pairs[2 * i] == 39 ? offline : 5000;
      record.status = 0;
      return true;
    };
    uint32_t client = 0;
    ASSERT_EQ(open_device(&client, 1), OB_OK);
    FbInfo info = {3, {9, 0, 10, 0, 22, 0}};
    ASSERT_EQ(ObRmControl(client, kDevice, 0x20801303, &info, 444), OB_OK);
    EXPECT_EQ(info.pairs[1], 1000u) << "the node's total";
    EXPECT_EQ(info.pairs[3], 1000u) << "capped at the node's total";
    EXPECT_EQ(info.pairs[5], 750u) << "the node's free memory less what is offline";
    offline = 900;
    info = {1, {22, 0}};
    ASSERT_EQ(ObRmControl(client, kDevice, 0x20801303, &info, 444), OB_OK);
    EXPECT_EQ(info.pairs[1], 0u) << "more offline than free is none free, not a wrapped count";

    struct ob_escape_vid_heap_control heap = {};
    heap.client = client;
    heap.object = kDevice;
    EXPECT_EQ(ObRmVidHeapControl(&heap), OB_OK);
    EXPECT_EQ(heap.total, 1000u * 1024);
    EXPECT_EQ(heap.free, 800u * 1024);

    // A GPU without a node: the driver's answer stands, also in records the patch could not
    // read (pairs past the size, no parameters at all).
    uint32_t other = 0;
    ASSERT_EQ(open_device(&other, 0), OB_OK);
    info = {1, {9, 0}};
    ASSERT_EQ(ObRmControl(other, kDevice, 0x20801303, &info, 444), OB_OK);
    EXPECT_EQ(info.pairs[1], 5000u);
    driver.on_control = nullptr;
    uint32_t three[2] = {3, 9};
    EXPECT_EQ(ObRmControl(other, kDevice, 0x20801303, three, sizeof(three)), OB_OK);
    EXPECT_EQ(ObRmControl(other, kDevice, 0x20801301, nullptr, 0), OB_OK);
  }, quick()));
}

TEST(RmNuma, RefusedNodeQueryLeavesNoDescriptorOrReference) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t client = 0;
    ASSERT_EQ(ObRmAllocRoot(&client), OB_OK);
    const int registered = driver.registered_ctl_fds;
    driver.refused_escapes = {OB_ESC_NUMA_INFO};
    EXPECT_EQ(open_device(&client, 1), OB_ERR_OPERATING_SYSTEM);
    EXPECT_EQ(obRmDeviceMap[1].refcount, 0u);
    EXPECT_EQ(obRmDeviceMap[1].numa.loaded, 0u);
    EXPECT_EQ(ob_find_mapping(client, kDevice), nullptr);
    EXPECT_EQ(driver.registered_ctl_fds, registered + 1);

    driver.refused_escapes.clear();
    ASSERT_EQ(open_device(&client, 1), OB_OK);
    ASSERT_EQ(open_device(&client, 1, kDevice + 0x10), OB_OK);
    EXPECT_EQ(count(driver.escapes, OB_ESC_NUMA_INFO), 2) << "the refused one and one load per slot";
    EXPECT_EQ(obRmDeviceMap[1].refcount, 2u);
    EXPECT_EQ(obRmDeviceMap[1].numa.node, 3);
  }, quick()));
}

// The driver prepares a mapping by giving the mapping file the pages of the range.
void size_mapping_files(GpuDriver& driver) {
  vexil_test::redirect_opens_of_path("/dev/ombrixctl", [&driver](int fd, unsigned long request,
                                                                 void* arg) {
    if (_IOC_NR(request) == OB_ESC_MAP_MEMORY && _IOC_SIZE(request) == sizeof(ob_escape_map_memory)) {
      const ob_escape_map_memory* r = static_cast<ob_escape_map_memory*>(arg);
      if (ftruncate(r->fd, static_cast<off_t>(r->offset + r->length + 2 * 4096)) != 0) return -1;
    }
    return driver.handle(fd, request, arg);
  });
}

// The end of the file mapping that holds `address`, from /proc/self/maps; 0 when none does.
uintptr_t file_mapping_end(const void* address) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(address);
  FILE* maps = fopen("/proc/self/maps", "re");
  char line[512];
  uintptr_t end = 0;
  while (maps && fgets(line, sizeof line, maps)) {
    unsigned long start = 0, stop = 0;
    if (sscanf(line, "%lx-%lx", &start, &stop) == 2 && start <= a && a < stop &&
        strstr(line, "/memfd:"))
      end = stop;
  }
  if (maps) fclose(maps);
  return end;
}

bool mapped(void* address, size_t length) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  void* base = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) & ~(page - 1));
  return msync(base, length, MS_ASYNC) == 0;
}

TEST(RmMmap, MappingsCoverWholePagesAndGoWithTheirObject) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    size_mapping_files(driver);
    driver.on_control = [](ob_escape_control& record, void* params) {
      if (record.cmd != 0xD01) return false;
      uint32_t* words = static_cast<uint32_t*>(params);
      words[1] = words[0] == 0xBB ? 1 : 2;
      record.status = 0;
      return true;
    };
    uint32_t client = 0;
    ASSERT_EQ(open_device(&client, 0), OB_OK);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));

    void* address = nullptr;
    ASSERT_EQ(ObRmMapMemory(client, kDevice, 0xAA, 0x100, page, &address, 0), OB_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(address) % page, 0x100u);
    EXPECT_GE(file_mapping_end(address), reinterpret_cast<uintptr_t>(address) + page)
        << "the mapping reaches the end of the requested range";
    volatile char* bytes = static_cast<volatile char*>(address);
    bytes[0] = 1;
    bytes[page - 1] = 2;  // in the second page: the mapping must cover it
    EXPECT_EQ(bytes[page - 1], 2);
    EXPECT_EQ(count(driver.escapes, OB_ESC_MAP_MEMORY), 1);
    EXPECT_EQ(count(driver.escapes, OB_ESC_REPORT_MAPPING), 1) << "memory of kind 2 is reported";

    EXPECT_EQ(ObRmUnmapMemory(client, kDevice, 0xAA, static_cast<char*>(address) + 8, 0),
              OB_ERR_OPERATING_SYSTEM) << "no mapping at that address";
    EXPECT_EQ(ObRmUnmapMemory(client, kDevice, 0xAA, address, 0), OB_OK);
    EXPECT_FALSE(mapped(address, 2 * page));
    EXPECT_EQ(ob_find_mapping(client, kDevice)->mappings, nullptr);

    // Keep-reserved: the range stays taken, inaccessible.
    ASSERT_EQ(ObRmMapMemory(client, kDevice, 0xAA, 0, page, &address, 1u << 19), OB_OK);
    ASSERT_EQ(ObRmUnmapMemory(client, kDevice, 0xAA, address, 0), OB_OK);
    EXPECT_TRUE(mapped(address, page));
    munmap(address, page);

    EXPECT_EQ(ObRmMapMemory(client, kDevice, 0xAA, 0, page, &address, 3), OB_ERR_INVALID_FLAGS);
    address = reinterpret_cast<void*>(0x7f0000000010);
    EXPECT_EQ(ObRmMapMemory(client, kDevice, 0xAA, 0x20, page, &address, 1u << 18),
              OB_ERR_INVALID_ARGUMENT) << "a hint at another place in its page";
    EXPECT_EQ(ObRmMapMemory(client, 0x1234, 0xAA, 0, page, &address, 0), OB_ERR_INVALID_CLASS);
    ASSERT_EQ(ObRmMapMemory(client, 0x1234, 0xBB, 0, page, &address, 1), OB_OK)
        << "control-file memory of an unmapped device goes on the control mapping";
    EXPECT_EQ(obRmControlMapping.mappings->address, address);
    EXPECT_EQ(ObRmUnmapMemory(client, 0x1234, 0xBB, address, 0), OB_OK);

    // Freeing the memory object, then the device, releases their mappings.
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(ObRmMapMemory(client, kDevice, 0xAA, 0, page, &first, 0), OB_OK);
    ASSERT_EQ(ObRmMapMemory(client, kDevice, 0xAC, 0, page, &second, 0), OB_OK);
    EXPECT_EQ(ObRmFree(client, kDevice, 0xAA), OB_OK);
    EXPECT_FALSE(mapped(first, page));
    EXPECT_TRUE(mapped(second, page));
    EXPECT_EQ(ObRmFree(client, client, kDevice), OB_OK);
    EXPECT_FALSE(mapped(second, page));
  }, quick()));
}

// Control-file memory belongs to the layer, which every client shares: it stays while a client
// is left and goes with the last one, so the next start finds no list of old pages.
TEST(RmMmap, ControlFileMemoryGoesWithTheLayer) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    uint32_t first = 0, second = 0;
    ASSERT_EQ(ObRmAllocRoot(&first), OB_OK);
    ASSERT_EQ(ObRmAllocRoot(&second), OB_OK);
    void* address = nullptr;
    ASSERT_EQ(ObRmMapMemory(first, 0x1234, 0xBB, 0, page, &address, 0), OB_OK);
    ASSERT_EQ(obRmControlMapping.mappings->address, address);
    EXPECT_EQ(ObRmFree(first, first, first), OB_OK);
    EXPECT_TRUE(mapped(address, page)) << "the second client still has the layer";
    EXPECT_EQ(ObRmFree(second, second, second), OB_OK);
    EXPECT_FALSE(mapped(address, page));
    EXPECT_EQ(obRmControlMapping.mappings, nullptr);
  }, quick()));
}

}  // namespace
