// The GPU driver's device nodes and module loaders, in a private namespace with /dev, /proc and
// the PCI tree of its own and recording scripts in place of the loaders.
#include "rm_nodes.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "rm_os.h"

namespace {

using vexil_test::add_file;
using vexil_test::read_file;

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

std::string link_of(const std::string& path) {
  char buf[256];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

std::string calls() {
  return access(vexil_test::kLoaderCalls, F_OK) == 0 ? read_file(vexil_test::kLoaderCalls) : "";
}

// Every scenario here starts in the driver platform and refuses to go on outside it.
template <typename F>
void on_private_platform(F body) {
  auto result = vexil_test::run_in_private_namespace([&] {
    vexil_test::enter_driver_platform();
    ASSERT_TRUE(vexil_test::driver_platform_is_private());
    body();
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A stream over a text that outlives it.
FILE* text(const char* s) {
  return fmemopen(const_cast<char*>(s), strlen(s), "r");
}

TEST(RmNodes, ParametersDevicesAndModulesText) {
  struct ob_device_file_params p;
  FILE* f = text("DeviceFileUID: 7\nDeviceFileGID: 44\nDeviceFileMode: 432\nModifyDeviceFiles: 0\n"
                 "garbage line\nDeviceFileMinor: 9\n");
  ob_parse_device_file_params(f, &p);
  fclose(f);
  EXPECT_EQ(p.uid, 7u);
  EXPECT_EQ(p.gid, 44u);
  EXPECT_EQ(p.mode, 0660u);
  EXPECT_EQ(p.modify, 0);
  EXPECT_EQ(p.minor, -1) << "reading stops at the first line that does not match";
  ob_parse_device_file_params(nullptr, &p);
  EXPECT_EQ(p.mode, 0666u);
  EXPECT_EQ(p.modify, 1);

  const std::string devices =
      "Character devices:\n  1 mem\n195 ombrix\n236 xombrix-uvm-tools\n237 ombrix-uvm\n\n"
      "Block devices:\n238 ombrix-caps\n";
  f = text(devices.c_str());
  EXPECT_EQ(ob_parse_chardev_major(f, "ombrix-uvm"), 237);
  fclose(f);
  f = text(devices.c_str());
  EXPECT_EQ(ob_parse_chardev_major(f, "ombrix-caps"), -1) << "block devices are not looked at";
  fclose(f);

  const std::string modules =
      "ombrix_uvm 16384 0 - Live 0x0\nombrix_modeset_x 16 0 - Live 0x0\nmsr 1 0 - Live 0x0\n";
  f = text(modules.c_str());
  EXPECT_EQ(ob_parse_module_listed(f, "ombrix-uvm"), 1);
  fclose(f);
  f = text(modules.c_str());
  EXPECT_EQ(ob_parse_module_listed(f, "ombrix"), 0);
  fclose(f);
  f = text(modules.c_str());
  EXPECT_EQ(ob_parse_module_listed(f, "ombrix_modeset_"), 0) << "a longer word is not cut to fit";
  fclose(f);
}

TEST(RmNodes, GpuNodesAreMadeRepairedAndLinked) {
  on_private_platform([] {
    add_file(OB_PARAMS_FILE, "DeviceFileUID: 0\nDeviceFileGID: 44\nDeviceFileMode: 432\n");
    add_file("/dev/ombrix0", "a regular file where the node belongs");
    ASSERT_EQ(ombrix_mknod(0), 1);
    struct stat st = stat_of("/dev/ombrix0");
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(195, 0));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, 44u);
    EXPECT_EQ(link_of("/dev/char/195:0"), "../ombrix0");
    EXPECT_EQ(ombrix_get_file_state(0), 7);

    // Right number, wrong mode: corrected in place.
    ASSERT_EQ(mknod("/dev/ombrixctl", S_IFCHR | 0600, makedev(195, 255)), 0);
    const ino_t inode = stat_of("/dev/ombrixctl").st_ino;
    EXPECT_EQ(ombrix_get_file_state(255), OB_FILE_EXISTS | OB_FILE_CHARDEV_OK);
    ASSERT_EQ(ombrix_mknod(255), 1);
    st = stat_of("/dev/ombrixctl");
    EXPECT_EQ(st.st_ino, inode);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(link_of("/dev/char/195:255"), "../ombrixctl");

    EXPECT_EQ(ombrix_mknod(256), 0);
    EXPECT_EQ(access("/dev/ombrix256", F_OK), -1);

    // The driver forbids changes: nothing is made, only the link of a node that is there.
    add_file(OB_PARAMS_FILE, "ModifyDeviceFiles: 0\n");
    EXPECT_EQ(ombrix_mknod(1), 0);
    EXPECT_EQ(access("/dev/ombrix1", F_OK), -1);
    unlink("/dev/char/195:0");
    chmod("/dev/ombrix0", 0600);
    EXPECT_EQ(ombrix_mknod(0), 1);
    EXPECT_EQ(stat_of("/dev/ombrix0").st_mode & 07777, 0600u);
    EXPECT_EQ(link_of("/dev/char/195:0"), "../ombrix0");
  });
}

TEST(RmNodes, NodesWithListedMajors) {
  on_private_platform([] {
    vexil_test::set_proc_file("/proc/devices",
                              "Character devices:\n195 ombrix\n237 ombrix-uvm\n238 ombrix-caps\n\n");
    ASSERT_EQ(ombrix_uvm_mknod(4), 1);
    EXPECT_EQ(stat_of("/dev/ombrix-uvm").st_rdev, makedev(237, 4));
    EXPECT_EQ(stat_of("/dev/ombrix-uvm-tools").st_rdev, makedev(237, 5));
    EXPECT_EQ(stat_of("/dev/ombrix-uvm").st_mode & 07777, 0666u);

    const std::string cap = "/proc/driver/ombrix/capabilities/plint/config";
    add_file(cap, "DeviceFileMinor: 3\nDeviceFileMode: 256\nDeviceFileModify: 1\n");
    int minor = -1;
    ASSERT_EQ(ombrix_cap_mknod(cap.c_str(), &minor), 1);
    EXPECT_EQ(minor, 3);
    EXPECT_EQ(stat_of("/dev/ombrix-caps").st_mode & 07777, 0755u);
    EXPECT_EQ(stat_of("/dev/ombrix-caps/ombrix-cap3").st_rdev, makedev(238, 3));
    EXPECT_EQ(ombrix_cap_get_file_state(cap.c_str()), 7);
    EXPECT_EQ(link_of("/dev/char/238:3"), "../ombrix-caps/ombrix-cap3");

    add_file(cap, "DeviceFileMinor: -1\n");
    EXPECT_EQ(ombrix_cap_mknod(cap.c_str(), &minor), 0);
    EXPECT_EQ(ombrix_oblink_mknod(), 0) << "no major listed for ombrix-oblink";
  });
}

TEST(RmNodes, SystemLoaderRunsOnlyForADisplayFunction) {
  on_private_platform([] {
    vexil_test::install_recording_loader(vexil_test::kFakeModprobe, 0, true);
    EXPECT_EQ(ombrix_modprobe(0), 0);
    EXPECT_EQ(calls(), "") << "no GPU function: no loader";
    EXPECT_EQ(vexil_test::written_to(2, [] { ombrix_modprobe(1); }),
              "OMBRIX: no OMBRIX devices found\n");
    EXPECT_EQ(vexil_test::written_to(2, [] { ombrix_uvm_modprobe(); }), "")
        << "only the driver's module prints";

    vexil_test::FakePciFunction gpu;
    gpu.address = "0000:41:00.0";
    gpu.vendor = 0x10DE;
    gpu.class_code = 0x030200;
    vexil_test::add_pci_function(gpu);
    EXPECT_EQ(ombrix_uvm_modprobe(), 1);
    EXPECT_EQ(calls(), std::string(vexil_test::kFakeModprobe) + " ombrix-uvm\nPATH=/sbin \n");
    EXPECT_EQ(is_kernel_module_loaded("ombrix-uvm"), 1);
    const std::string first = calls();
    EXPECT_EQ(ombrix_uvm_modprobe(), 1);
    EXPECT_EQ(calls(), first) << "a loaded module is not loaded again";

    // A loader that fails leaves the module unloaded; one that is not executable is not run.
    vexil_test::install_recording_loader(vexil_test::kFakeModprobe, 1, true);
    EXPECT_EQ(ombrix_msr_modprobe(), 0);
    chmod(vexil_test::kFakeModprobe, 0644);
    unlink(vexil_test::kLoaderCalls);
    EXPECT_EQ(ombrix_modeset_modprobe(), 0);
    EXPECT_EQ(calls(), "");

    // An empty loader setting means /sbin/modprobe.
    vexil_test::set_proc_file("/proc/sys/kernel/modprobe", "");
    vexil_test::install_recording_loader("/sbin/modprobe", 0, true);
    EXPECT_EQ(ombrix_modprobe(0), 1);
    EXPECT_EQ(calls(), "/sbin/modprobe ombrix\nPATH=/sbin \n");
  });
}

TEST(RmNodes, DriverLoaderProgramRunsOnlyForOthersThanRoot) {
  on_private_platform([] {
    EXPECT_EQ(run_ombrix_modprobe("-c=0", nullptr, 1), 0) << "not installed";
    vexil_test::install_recording_loader(OB_LOADER_PROGRAM, 0);
    EXPECT_EQ(run_ombrix_modprobe("-c=0", nullptr, 1), -1);
    EXPECT_EQ(calls(), "") << "root loads modules itself";

    vexil_test::make_dirs("/tmp/vexil-loaders");
    chmod("/tmp/vexil-loaders", 0777);
    ASSERT_EQ(seteuid(65534), 0);
    EXPECT_EQ(run_ombrix_modprobe("-s", "-f=/proc/driver/ombrix/capabilities/plint/config", 1), 0);
    EXPECT_EQ(calls(), std::string(OB_LOADER_PROGRAM) +
                           " -s -f=/proc/driver/ombrix/capabilities/plint/config\n\n")
        << "both arguments and an empty environment";
    ASSERT_EQ(seteuid(0), 0);

    // A program that cannot be executed: the child reports on the caller's standard error and
    // ends without running the caller's exit handlers (its copy of unflushed output stays unwritten).
    add_file(OB_LOADER_PROGRAM, "not a program", 0755);
    FILE* out = fopen("/tmp/buffered", "w");
    ASSERT_NE(out, nullptr);
    fputs("once\n", out);
    int rc = 0;
    const std::string err = vexil_test::written_to(2, [&] {
      if (seteuid(65534) != 0) return;
      rc = run_ombrix_modprobe("-c=3", nullptr, 1);
      if (seteuid(0) != 0) abort();
    });
    fclose(out);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(read_file("/tmp/buffered"), "once\n");
    EXPECT_EQ(err, "OMBRIX: failed to execute `/usr/bin/ombrix-modprobe -c=3`: Exec format error.\n");
  });
}

TEST(RmNodes, DeviceFileStatus) {
  on_private_platform([] {
    EXPECT_EQ(create_device_file(2), OB_OK);
    EXPECT_EQ(stat_of("/dev/ombrix2").st_rdev, makedev(195, 2));
    // A node that cannot be made: a directory in its place that cannot be removed. Root does not
    // run the driver's loader, so the removal's errno gives the status.
    vexil_test::install_recording_loader(OB_LOADER_PROGRAM, 0);
    vexil_test::make_dirs("/dev/ombrix3/busy");
    EXPECT_EQ(create_device_file(3), OB_ERR_OPERATING_SYSTEM);
    EXPECT_EQ(calls(), "");
  });
}

}  // namespace
