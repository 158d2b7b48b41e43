// The resource-manager client against the simulated GPU driver, in private mount namespaces: the
// client makes its nodes in the namespace's /dev and its escapes reach the driver through the
// ioctl interposer.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "gpu_driver.h"
#include "ioctl_interposer.h"
#include "rm_api.h"
#include "rm_client_scenario.h"
#include "rm_control.h"
#include "rm_internal.h"

namespace {

using vexil_sim::GpuDriver;
using vexil_sim::SimGpu;

using rm_test::count;
using rm_test::kDevice;
using rm_test::open_device;
using rm_test::quick;

const uint32_t kSubdevice = 0xDE000002;

// Two GPUs: device instances 0 and 1, minors 0 and 1.
void two_gpus(GpuDriver& driver) {
  SimGpu a, b;
  a.gpu_id = 0x100;
  b.gpu_id = 0x200;
  b.minor = 1;
  b.device_instance = 1;
  b.bus = 0x81;
  driver.gpus = {a, b};
  vexil_test::make_dirs("/dev/char");
  driver.install();
}

// Descriptors of this process that stand for driver files.
int driver_fds() { return vexil_test::redirected_descriptors(); }

TEST(RmClient, ClientsShareTheControlFileAndObjectsOpenTheirGpuFiles) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t first = 0, second = 0;
    ASSERT_EQ(open_device(&first, 1), OB_OK);
    ASSERT_EQ(ObRmAllocRoot(&second), OB_OK);
    EXPECT_EQ(obRmApiRefCount, 2u);
    struct stat st;
    ASSERT_EQ(stat("/dev/ombrixctl", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode) && st.st_rdev == makedev(195, 255));
    ASSERT_EQ(stat("/dev/ombrix1", &st), 0) << "the device of instance 1 is the GPU of minor 1";
    uint32_t sub = 0;
    EXPECT_EQ(ObRmAlloc(first, kDevice, kSubdevice, OB_CLASS_SUBDEVICE, &sub), OB_OK);
    EXPECT_EQ(obRmDeviceMap[1].refcount, 2u);
    EXPECT_EQ(driver_fds(), 3);  // the control file and one GPU file per object

    // Freeing the device also ends its subdevice; the mapping release takes its own locks.
    EXPECT_EQ(ObRmFree(first, first, kDevice), OB_OK);
    EXPECT_EQ(obRmDeviceMap[1].refcount, 0u);
    EXPECT_EQ(driver_fds(), 1);
    EXPECT_EQ(ObRmFree(first, first, first), OB_OK);
    EXPECT_EQ(obRmCtlFd >= 0, true) << "the second client keeps the file open";
    EXPECT_EQ(ObRmFree(second, second, second), OB_OK);
    EXPECT_EQ(obRmCtlFd, -1);
    EXPECT_EQ(driver_fds(), 0);
  }, quick()));
}

TEST(RmClient, RefusedAllocationsTouchNothing) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t client = 0;
    ASSERT_EQ(open_device(&client), OB_OK);
    // Subdevice instance 8 is refused before any escape.
    const size_t before = driver.escapes.size();
    uint32_t eight = 8;
    EXPECT_EQ(ObRmAlloc(client, kDevice, kSubdevice, OB_CLASS_SUBDEVICE, &eight), OB_ERR_INVALID_PARAMETER);
    EXPECT_EQ(driver.escapes.size(), before);

    // A GPU list the driver will not give: the lookup's -1 is a failure, not a slot.
    driver.refused_controls = {0x201};
    uint32_t params[14] = {1, client};
    EXPECT_EQ(ObRmAlloc(client, client, 0xDE000011, OB_CLASS_DEVICE, params), OB_ERR_OPERATING_SYSTEM);
    EXPECT_EQ(count(driver.escapes, OB_ESC_ALLOC), 2);  // the root and the first device only
    driver.refused_controls.clear();

    // A GPU file the driver will not register: it is closed again and the slot keeps no reference.
    driver.refused_escapes = {OB_ESC_REGISTER_FD};
    const int fds = driver_fds();
    EXPECT_EQ(ObRmAlloc(client, client, 0xDE000011, OB_CLASS_DEVICE, params), OB_ERR_GENERIC);
    EXPECT_EQ(driver_fds(), fds);
    EXPECT_EQ(obRmDeviceMap[1].refcount, 0u);
    driver.refused_escapes.clear();

    // The driver refuses a second device and subdevice under live handles: only the new
    // mappings go, the live objects keep their GPU files and slot references.
    uint32_t sub = 0;
    ASSERT_EQ(ObRmAlloc(client, kDevice, kSubdevice, OB_CLASS_SUBDEVICE, &sub), OB_OK);
    const int live_fds = driver_fds();
    params[0] = 0;
    EXPECT_EQ(ObRmAlloc(client, client, kDevice, OB_CLASS_DEVICE, params), 0x19u);
    EXPECT_EQ(ObRmAlloc(client, kDevice, kSubdevice, OB_CLASS_SUBDEVICE, &sub), 0x19u);
    EXPECT_EQ(driver_fds(), live_fds);
    EXPECT_EQ(obRmDeviceMap[0].refcount, 2u);
    ASSERT_NE(ob_find_mapping(client, kDevice), nullptr);
    ASSERT_NE(ob_find_mapping(client, kSubdevice), nullptr);
    uint32_t word = 0;
    EXPECT_EQ(ObRmControl(client, kSubdevice, OB_CTRL_GPU_VALUE, &word, 4), OB_OK)
        << "the subdevice still reaches its own GPU file";
  }, quick()));
}

TEST(RmClient, VersionMismatchPrintsTheDriversTextEndedInItsRecord) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    driver.version = std::string(64, '7');  // fills the text without a NUL
    two_gpus(driver);
    setenv("__RM_ENABLE_VERBOSE_OUTPUT", "1", 1);
    uint32_t client = 0;
    ASSERT_EQ(ObRmAllocRoot(&client), OB_OK) << "the start reads only the override";
    uint32_t status = 0;
    const std::string err = vexil_test::written_to(2, [&] { status = ObRmCheckVersion(); });
    EXPECT_EQ(status, OB_ERR_LIB_RM_VERSION_MISMATCH);
    EXPECT_EQ(err, "OMBRIX: API mismatch: the OMBRIX kernel module has version " + std::string(63, '7') +
                       ",\nbut this OMBRIX driver component has version 545.00.  Please make\n"
                       "sure that the kernel module and all OMBRIX driver components\n"
                       "have the same version.\n");
    setenv("__RM_NO_VERSION_CHECK", "1", 1);  // the driver is asked to pass
    EXPECT_EQ(ObRmCheckVersion(), OB_OK);
    setenv("__RM_NO_VERSION_CHECK", "x", 1);
    driver.version_reply = false;
    EXPECT_EQ(vexil_test::written_to(2, [&] { status = ObRmCheckVersion(); }),
              "OMBRIX: Unknown '__RM_NO_VERSION_CHECK' override value 'x'\n"
              "OMBRIX: API mismatch: this OMBRIX driver component has version\n545.00, but the "
              "OMBRIX kernel module's version does not match.\nPlease make sure that the kernel "
              "module and all OMBRIX driver\ncomponents have the same version.\n");
  }, quick()));
}

// A driver busy for 42 answers, on a clock that moves by the sleeps asked for: asked again after
// 100 ms while at most 3 whole seconds have passed (40 times), then after a second (twice).
TEST(RmClient, BusyDriverIsAskedEvery100msThenOnceASecond) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t client = 0;
    ASSERT_EQ(ObRmAllocRoot(&client), OB_OK);
    driver.busy_answers = 42;
    const size_t asked = driver.controls.size();
    uint32_t value = 0;
    vexil_test::SkippedSleeps sleeps;
    EXPECT_EQ(ObRmControl(client, client, 0x1234, &value, 4), OB_OK);
    EXPECT_EQ(driver.controls.size() - asked, 43u);
    EXPECT_EQ(sleeps.sleeps(), 42u);
    EXPECT_EQ(sleeps.asked_us(), 40 * 100000ull + 2 * 1000000ull);
  }, quick()));
}

TEST(RmClient, ServedControlsCheckTheirRecordSizes) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t client = 0;
    ASSERT_EQ(open_device(&client), OB_OK);
    uint32_t sub = 0;
    ASSERT_EQ(ObRmAlloc(client, kDevice, kSubdevice, OB_CLASS_SUBDEVICE, &sub), OB_OK);

    uint32_t minor[3] = {0x200, 0, 0};
    EXPECT_EQ(ObRmControl(client, client, OB_CTRL_GET_DEVICE_MINOR, minor, 12), OB_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ObRmControl(client, client, OB_CTRL_GET_DEVICE_MINOR, minor, 8), OB_OK);
    EXPECT_EQ(minor[1], 1u);

    uint32_t word = 0;
    EXPECT_EQ(ObRmControl(client, kSubdevice, OB_CTRL_GPU_VALUE, &word, 0), OB_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ObRmControl(client, kSubdevice, OB_CTRL_GPU_VALUE, &word, 4), OB_OK);
    EXPECT_EQ(word, driver.gpu_value);

    std::vector<uint8_t> table(24 + 129 * 24);
    uint32_t header[6] = {1, 2, 128, 4, 5, 6};
    memcpy(table.data(), header, sizeof(header));
    memcpy(table.data() + 24 + 127 * 24, "\x11\x22\x33\x44", 4);
    EXPECT_EQ(ObRmControl(client, kSubdevice, OB_CTRL_GPU_TABLE, table.data(), 24 + 127 * 24),
              OB_ERR_INVALID_ARGUMENT) << "128 entries do not fit 127";
    EXPECT_EQ(ObRmControl(client, kSubdevice, OB_CTRL_GPU_TABLE, table.data(), 24 + 128 * 24), OB_OK);
    EXPECT_EQ(driver.last_table.count, 128u);
    EXPECT_EQ(driver.last_table.client, client);
    EXPECT_EQ(driver.last_table.values[127], 0x44332211u);
    uint32_t first;
    memcpy(&first, table.data(), 4);
    EXPECT_EQ(first, 0x7AB1Eu);
    header[2] = 129;
    memcpy(table.data(), header, sizeof(header));
    EXPECT_EQ(ObRmControl(client, kSubdevice, OB_CTRL_GPU_TABLE, table.data(), table.size()),
              OB_ERR_INVALID_ARGUMENT);
  }, quick()));
}

TEST(RmClient, ExportFilesAreClosedWhenTheDriverRefuses) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t client = 0;
    ASSERT_EQ(open_device(&client), OB_OK);
    const int fds = driver_fds();
    uint32_t params[19] = {kDevice};
    driver.refused_controls = {OB_CTRL_EXPORT_OBJECTS};
    EXPECT_EQ(ObRmControl(client, client, OB_CTRL_EXPORT_OBJECTS, params, sizeof(params)),
              OB_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(params[18], 0xFFFFFFFFu);
    EXPECT_EQ(driver_fds(), fds);
    EXPECT_EQ(driver.export_ids, std::vector<uint32_t>{0x100});

    driver.refused_escapes = {OB_ESC_EXPORT_OBJECT_TO_FD};
    int fd = -1;
    EXPECT_EQ(GetFdToExportObject(client, kDevice, &fd), OB_ERR_OPERATING_SYSTEM);
    EXPECT_EQ(driver_fds(), fds) << "the export file of a failed escape is closed";
    driver.refused_escapes.clear();

    // A driver that rewrites the export word as it refuses: the client closes the file it
    // opened, not the descriptor the driver wrote there.
    driver.refused_controls.clear();
    int mine[2];
    ASSERT_EQ(pipe(mine), 0);
    driver.on_control = [&](ob_escape_control& record, void* answer) {
      if (record.cmd != OB_CTRL_EXPORT_OBJECTS) return false;
      static_cast<uint32_t*>(answer)[18] = static_cast<uint32_t>(mine[0]);
      record.status = OB_ERR_INVALID_ARGUMENT;
      return true;
    };
    params[18] = 0;
    EXPECT_EQ(ObRmControl(client, client, OB_CTRL_EXPORT_OBJECTS, params, sizeof(params)),
              OB_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(params[18], 0xFFFFFFFFu);
    EXPECT_EQ(driver_fds(), fds) << "the export file is closed";
    EXPECT_NE(fcntl(mine[0], F_GETFD), -1) << "the descriptor the driver named stays open";
    close(mine[0]);
    close(mine[1]);
  }, quick()));
}

// One scan of the attached GPUs serves both rules: the card lookup takes the first slot with both
// instances equal; the export list takes every attached card of the device's instance.
TEST(RmClient, CardLookupAndExportListReadTheAttachedGpus) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    SimGpu a, b, c, d;
    a.gpu_id = 0x100;
    b.gpu_id = 0x200, b.minor = 1, b.device_instance = 1;
    c.gpu_id = 0x300, c.minor = 2, c.subdevice_instance = 1;
    d.gpu_id = 0x400, d.minor = 3, d.attached = false;
    driver.gpus = {a, b, c, d};
    vexil_test::make_dirs("/dev/char");
    driver.install();
    uint32_t client = 0;
    ASSERT_EQ(open_device(&client), OB_OK);
    EXPECT_EQ(find_device_index(client, 0, 0), 0);
    EXPECT_EQ(find_device_index(client, 0, 1), 2);
    EXPECT_EQ(find_device_index(client, 1, 1), OB_NO_SLOT);
    int fd = -1;
    ASSERT_EQ(GetFdToExportObject(client, kDevice, &fd), OB_OK);
    close(fd);
    EXPECT_EQ(driver.export_ids, (std::vector<uint32_t>{0x100, 0x300}));
    driver.refused_controls = {0x201};
    EXPECT_EQ(find_device_index(client, 0, 0), -1);
    EXPECT_EQ(GetFdToExportObject(client, kDevice, &fd), OB_ERR_INVALID_ARGUMENT);
  }, quick()));
}

TEST(RmClient, AGpuFileThatWillNotOpenFailsItsAttach) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t client = 0;
    ASSERT_EQ(ObRmAllocRoot(&client), OB_OK);
    // The second GPU's open fails with EIO and its card status (escape 0xD1) reads 0.
    vexil_test::fail_opens_of_path("/dev/ombrix1", EIO);
    uint32_t all[33] = {0xFFFF};
    EXPECT_EQ(ObRmControl(client, client, OB_CTRL_GPU_ATTACH, all, sizeof(all)), OB_ERR_OPERATING_SYSTEM);
    EXPECT_EQ(count(driver.escapes, OB_ESC_STATUS_CODE), 1);
    EXPECT_EQ(all[32], 0x200u) << "the failing GPU is named";
    EXPECT_EQ(obRmDeviceMap[0].fd, -1) << "the first GPU's file is closed again";
    EXPECT_EQ(driver_fds(), 1);
  }, quick()));
}

// The old clock record: {flags, count, list address}; 20-byte entries.
struct OldClkInfo {
  uint32_t flags;
  uint32_t count;
  uint64_t list;
};

TEST(RmClient, DeprecatedControlsTravelAsTheirNewerCommand) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    two_gpus(driver);
    uint32_t client = 0;
    ASSERT_EQ(open_device(&client), OB_OK);
    uint8_t list[2 * 20];
    for (int i = 0; i < 40; i++) list[i] = (uint8_t)i;
    OldClkInfo old = {7, 2, (uint64_t)(uintptr_t)list};
    // The driver answers in the newer record: a changed first entry and a count past the list.
    driver.on_control = [](ob_escape_control& r, void* params) {
      if (r.cmd != 0x20809062) return false;
      uint8_t* newer = static_cast<uint8_t*>(params);
      newer[4] = 0xEE;  // the count word leads, the list follows
      uint32_t many = 30;
      memcpy(newer, &many, 4);
      r.status = 0;
      return true;
    };
    EXPECT_EQ(ObRmControl(client, kDevice, 0x20809002, &old, sizeof(old)), OB_OK);
    EXPECT_EQ(driver.controls.back(), 0x20809062u);
    ASSERT_EQ(driver.last_params.size(), 648u);
    EXPECT_EQ(driver.last_params[4 + 20], 20) << "the second entry went inline after the count";
    EXPECT_EQ(list[0], 0xEE);
    EXPECT_EQ(old.count, 2u) << "a count past the acquired list is not taken back";
    EXPECT_EQ(old.list, (uint64_t)(uintptr_t)list);

    // The p-state tables with no p-state and no global entry, and so no lists: nothing is
    // copied, the newer command goes all the same.
    uint64_t no_pstates[3] = {0, 0, 0};
    EXPECT_EQ(ObRmControl(client, kDevice, 0x2080A06A, no_pstates, sizeof(no_pstates)), OB_OK);
    EXPECT_EQ(driver.controls.back(), 0x2080A06Bu);

    // A list over the newer record's room never reaches the driver.
    const size_t asked = driver.controls.size();
    std::vector<uint8_t> big(33 * 20);
    OldClkInfo large = {0, 33, (uint64_t)(uintptr_t)big.data()};
    EXPECT_EQ(ObRmControl(client, kDevice, 0x20809002, &large, sizeof(large)), OB_ERR_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver.controls.size(), asked);
    // A record smaller than the old layout is refused before it is read.
    EXPECT_EQ(ObRmControl(client, kDevice, 0x20809002, &large, 8), OB_ERR_INVALID_ARGUMENT);
    // A refusal leaves the caller's list as it was.
    driver.refused_controls = {0x20809062};
    list[0] = 1;
    EXPECT_EQ(ObRmControl(client, kDevice, 0x20809002, &old, sizeof(old)), OB_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(list[0], 1);
  }, quick()));
}

TEST(RmClient, StatusTable) {
  std::set<uint32_t> seen;
  for (uint32_t i = 0; i + 1 < g_StatusCodeCount; i++) {
    const std::string text = g_StatusCodeList[i].text;
    EXPECT_TRUE(seen.insert(g_StatusCodeList[i].value).second) << text;
    EXPECT_NE(text.find(" [OB_"), std::string::npos) << text;
    EXPECT_EQ(text.back(), ']') << text;
  }
  EXPECT_EQ(g_StatusCodeList[g_StatusCodeCount - 1].value, 0xFFFFFFFFu);
  EXPECT_STREQ(obstatusToString(0x74), "Oblink Init Error [OB_ERR_OBLINK_INIT_ERROR]");
  // The texts of the statuses the client gives itself, as callers read them.
  const struct { uint32_t status; const char* text; } own[] = {
      {0x0, "Success [OB_OK]"},
      {0x3, "System is busy, retry later [OB_ERR_BUSY_RETRY]"},
      {0x1a, "Ran out of a critical resource, other than memory [OB_ERR_INSUFFICIENT_RESOURCES]"},
      {0x1b, "The requester does not have sufficient permissions [OB_ERR_INSUFFICIENT_PERMISSIONS]"},
      {0x1f, "Invalid argument to call [OB_ERR_INVALID_ARGUMENT]"},
      {0x22, "Given class-id not valid [OB_ERR_INVALID_CLASS]"},
      {0x26, "Current device is not valid [OB_ERR_INVALID_DEVICE]"},
      {0x29, "Invalid flags passed [OB_ERR_INVALID_FLAGS]"},
      {0x36, "Object parent is not valid [OB_ERR_INVALID_OBJECT_PARENT]"},
      {0x37, "The offset passed is not valid [OB_ERR_INVALID_OFFSET]"},
      {0x3b, "At least one of the parameters passed is not valid [OB_ERR_INVALID_PARAMETER]"},
      {0x3d, "Pointer not valid [OB_ERR_INVALID_POINTER]"},
      {0x40, "Generic Error: Invalid state [OB_ERR_INVALID_STATE]"},
      {0x51, "Out of memory [OB_ERR_NO_MEMORY]"},
      {0x56, "Call not supported [OB_ERR_NOT_SUPPORTED]"},
      {0x59, "Generic operating system error [OB_ERR_OPERATING_SYSTEM]"},
      {0x65, "Call timed out [OB_ERR_TIMEOUT]"},
      {0x66, "Call timed out, please retry later [OB_ERR_TIMEOUT_RETRY]"},
      {0x6a, "Library version doesn't match driver version [OB_ERR_LIB_RM_VERSION_MISMATCH]"},
      {0xffff, "Failure: Generic Error [OB_ERR_GENERIC]"},
  };
  for (const auto& row : own) EXPECT_STREQ(obstatusToString(row.status), row.text) << std::hex << row.status;
  EXPECT_STREQ(obstatusToString(0x73), "Unknown error code!");
  EXPECT_EQ(TranslateObStatus(3), 1u);
  EXPECT_EQ(TranslateObStatus(64), 0x70u);
  EXPECT_EQ(TranslateObStatus(31), 31u);
}

}  // namespace
