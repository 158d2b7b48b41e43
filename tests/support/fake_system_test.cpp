// The namespace fixture itself: what a scenario builds is there inside and nowhere else, and every
// way a scenario can go wrong reaches the parent as a failure.
#include "fake_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

namespace vexil_test {
namespace {

std::set<std::string> list_dir(const std::string& path) {
  std::set<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.insert(n);
  }
  closedir(d);
  return names;
}

std::string link_target(const std::string& path) {
  char buf[512];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  if (n < 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

#define SKIP_WITHOUT_NAMESPACES()                                              \
  do {                                                                         \
    if (!private_namespace_support().usable)                                   \
      GTEST_SKIP() << private_namespace_support().reason;                      \
  } while (0)

TEST(FakeSystem, FunctionFilesAppearInsideOnly) {
  SKIP_WITHOUT_NAMESPACES();
  const std::string fake = "0000:7e:00.0";
  const auto host_before = list_dir("/sys/bus/pci/devices");
  ASSERT_EQ(host_before.count(fake), 0u) << "pick another fake address for this host";

  auto result = run_in_private_namespace([&] {
    EXPECT_TRUE(list_dir("/sys/bus/pci/devices").empty()) << "host functions still visible";

    FakePciFunction pf;
    pf.address = fake;
    pf.vendor = 0x15b3;
    pf.device = 0x1023;
    pf.class_code = 0x020700;
    pf.subsystem_vendor = 0x1234;
    pf.subsystem_device = 0xabcd;
    pf.numa_node = "1";
    pf.resource0_size = 32u << 20;
    pf.virtfns = {"0000:7e:00.2", "0000:7e:00.3"};
    pf.net = {"eth7"};
    pf.infiniband = {"crv5_7"};
    const std::string dir = add_pci_function(pf);
    EXPECT_EQ(dir, "/sys/bus/pci/devices/" + fake);

    FakePciFunction vf;
    vf.address = "0000:7e:00.2";
    vf.physfn = fake;
    vf.numa_node.reset();
    add_pci_function(vf);
    add_rdma_class_device("crv5_7", fake);

    EXPECT_EQ(read_file(dir + "/vendor"), "0x15b3\n");
    EXPECT_EQ(read_file(dir + "/device"), "0x1023\n");
    EXPECT_EQ(read_file(dir + "/class"), "0x020700\n");
    EXPECT_EQ(read_file(dir + "/subsystem_device"), "0xabcd\n");
    EXPECT_EQ(read_file(dir + "/numa_node"), "1\n");
    EXPECT_NE(access((std::string("/sys/bus/pci/devices/0000:7e:00.2/numa_node")).c_str(), F_OK), 0);

    // The header carries the ids where a reader of configuration space looks for them.
    const std::string config = read_file(dir + "/config");
    ASSERT_EQ(config.size(), 256u);
    auto byte = [&](size_t i) { return static_cast<uint8_t>(config[i]); };
    EXPECT_EQ(byte(0) | byte(1) << 8, 0x15b3);
    EXPECT_EQ(byte(2) | byte(3) << 8, 0x1023);
    EXPECT_EQ(byte(9) | byte(10) << 8 | byte(11) << 16, 0x020700);
    EXPECT_EQ(byte(0x2c) | byte(0x2d) << 8, 0x1234);
    EXPECT_EQ(byte(0x2e) | byte(0x2f) << 8, 0xabcd);

    struct stat st;
    ASSERT_EQ(stat((dir + "/resource0").c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), 32u << 20);
    EXPECT_EQ(st.st_blocks, 0) << "resource0 should be sparse";
    EXPECT_EQ(read_file(dir + "/resource").substr(0, 38),
              "0x00000000e0000000 0x00000000e1ffffff ");

    EXPECT_EQ(link_target(dir + "/virtfn0"), "../0000:7e:00.2");
    EXPECT_EQ(link_target(dir + "/virtfn1"), "../0000:7e:00.3");
    EXPECT_EQ(link_target("/sys/bus/pci/devices/0000:7e:00.2/physfn"), "../" + fake);
    EXPECT_EQ(list_dir(dir + "/net"), std::set<std::string>{"eth7"});
    EXPECT_EQ(list_dir(dir + "/infiniband"), std::set<std::string>{"crv5_7"});
    EXPECT_EQ(link_target("/sys/class/infiniband/crv5_7/device"), dir);
    // The VF is reachable through its physical function's link.
    EXPECT_EQ(read_file(dir + "/virtfn0/physfn/vendor"), "0x15b3\n");
  });
  VEXIL_EXPECT_SCENARIO(result);

  EXPECT_EQ(list_dir("/sys/bus/pci/devices"), host_before);
  EXPECT_NE(access(("/sys/bus/pci/devices/" + fake).c_str(), F_OK), 0);
}

// The tests run the built tool inside the private system, so the project's trees must stay
// reachable there even when the checkout lies under /tmp (as a fresh clone in CI may).
TEST(FakeSystem, ProjectTreesStayVisible) {
  SKIP_WITHOUT_NAMESPACES();
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  const std::string exe = self;
  auto result = run_in_private_namespace([&] {
    EXPECT_EQ(access(exe.c_str(), X_OK), 0) << exe;
    EXPECT_EQ(access(VEXIL_SOURCE_DIR "/CMakeLists.txt", R_OK), 0) << VEXIL_SOURCE_DIR;
    EXPECT_EQ(access(VEXIL_BINARY_DIR "/CMakeCache.txt", R_OK), 0) << VEXIL_BINARY_DIR;
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(FakeSystem, DevEtcAndTmpArePrivate) {
  SKIP_WITHOUT_NAMESPACES();
  const bool host_had_qdx = access("/dev/qdx", F_OK) == 0;
  const bool host_had_conf = access("/etc/zrv/zrv.conf", F_OK) == 0;
  char host_tmp_template[] = "/tmp/vexil-fixture-XXXXXX";
  ASSERT_NE(mkdtemp(host_tmp_template), nullptr);
  const std::string host_tmp = host_tmp_template;

  auto result = run_in_private_namespace([&] {
    EXPECT_NE(access(host_tmp.c_str(), F_OK), 0) << "host /tmp still visible";
    EXPECT_NE(access("/dev/qdx", F_OK), 0) << "no driver nodes until a scenario adds them";
    EXPECT_EQ(list_dir("/etc/zrv").size(), 0u);

    // The kept nodes still behave as the real devices do.
    int null_fd = open("/dev/null", O_WRONLY);
    ASSERT_GE(null_fd, 0);
    EXPECT_EQ(write(null_fd, "x", 1), 1);
    close(null_fd);
    int zero_fd = open("/dev/zero", O_RDONLY);
    ASSERT_GE(zero_fd, 0);
    char buf[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(read(zero_fd, buf, sizeof buf), 8);
    EXPECT_TRUE(std::all_of(buf, buf + 8, [](char c) { return c == 0; }));
    close(zero_fd);
    if (access("/tmp/.vexil-host-dev", F_OK) == 0) ADD_FAILURE() << "staging dir left behind";
    struct stat st;
    ASSERT_EQ(stat("/dev/fuse", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    ASSERT_EQ(stat("/dev/shm", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);

    const std::string node = add_qdx_node("tq4123_pciconf0", "bus:dev.fn=03:00.0\n");
    EXPECT_EQ(read_file(node), "bus:dev.fn=03:00.0\n");
    write_zrv_conf("ZRV_LOG_DIR=/tmp/log\n");
    EXPECT_EQ(read_file("/etc/zrv/zrv.conf"), "ZRV_LOG_DIR=/tmp/log\n");
    add_file("/tmp/brasquet_lockfiles/a/b", "lock", 0600);
    ASSERT_EQ(stat("/tmp/brasquet_lockfiles/a/b", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_THROW(read_file("/etc/zrv/missing"), std::runtime_error);
  });
  VEXIL_EXPECT_SCENARIO(result);

  EXPECT_EQ(access("/dev/qdx", F_OK) == 0, host_had_qdx);
  EXPECT_EQ(access("/etc/zrv/zrv.conf", F_OK) == 0, host_had_conf);
  EXPECT_NE(access("/tmp/brasquet_lockfiles/a/b", F_OK), 0);
  EXPECT_EQ(rmdir(host_tmp.c_str()), 0);
}

// Files at fixed places (the root, under /usr) are written for the scenario alone; what was there
// stays usable, and so do the kept /dev/pts, the project trees and the program's own path.
TEST(FakeSystem, MakeWritableStaysInside) {
  SKIP_WITHOUT_NAMESPACES();
  auto result = run_in_private_namespace([] {
    EXPECT_TRUE(list_dir("/dev/pts").count("ptmx")) << "devpts bound into /dev/pts";
    const std::set<std::string> lib64 = list_dir("/usr/lib64");
    make_writable("/usr/lib64/vexil-probe/dir");
    add_file("/usr/lib64/vexil-probe/dir/lib.so", "x");
    EXPECT_EQ(read_file("/usr/lib64/vexil-probe/dir/lib.so"), "x");
    std::set<std::string> now = list_dir("/usr/lib64");
    now.erase("vexil-probe");
    EXPECT_EQ(now, lib64);
    make_writable("/");
    add_file("/vexil-root-probe", "y");
    EXPECT_EQ(read_file("/vexil-root-probe"), "y");
    EXPECT_EQ(read_file("/usr/lib64/vexil-probe/dir/lib.so"), "x");
    EXPECT_EQ(access("/usr/bin/sh", X_OK), 0);
    EXPECT_EQ(access(VEXIL_SOURCE_DIR "/CMakeLists.txt", R_OK), 0);
    EXPECT_NE(link_target("/proc/self/exe"), "");
    EXPECT_TRUE(list_dir("/dev/pts").count("ptmx"));
  });
  VEXIL_EXPECT_SCENARIO(result);
  EXPECT_NE(access("/vexil-root-probe", F_OK), 0);
  EXPECT_NE(access("/usr/lib64/vexil-probe", F_OK), 0);
}

// Each way a scenario fails must come back as a failure with a message, never as a pass.
TEST(FakeSystem, ReportsEveryKindOfFailure) {
  SKIP_WITHOUT_NAMESPACES();
  auto expectation = run_in_private_namespace([] { EXPECT_EQ(1 + 1, 3) << "marker-expect"; });
  EXPECT_FALSE(expectation.passed);
  EXPECT_FALSE(expectation.skipped);
  EXPECT_NE(expectation.messages.find("marker-expect"), std::string::npos) << expectation.messages;

  auto thrown = run_in_private_namespace([] { throw std::runtime_error("marker-throw"); });
  EXPECT_FALSE(thrown.passed);
  EXPECT_NE(thrown.messages.find("marker-throw"), std::string::npos) << thrown.messages;

  auto crashed = run_in_private_namespace([] { std::abort(); });
  EXPECT_FALSE(crashed.passed);
  EXPECT_FALSE(crashed.messages.empty());

  auto exited = run_in_private_namespace([] { std::exit(0); });
  EXPECT_FALSE(exited.passed) << "a scenario that leaves early did not finish";

  ScenarioOptions quick;
  quick.timeout_seconds = 1;
  auto hung = run_in_private_namespace(
      [] { std::this_thread::sleep_for(std::chrono::seconds(30)); }, quick);
  EXPECT_FALSE(hung.passed);
  EXPECT_NE(hung.messages.find("timed out"), std::string::npos) << hung.messages;

  auto skipped = run_in_private_namespace([] { GTEST_SKIP() << "marker-skip"; });
  EXPECT_TRUE(skipped.skipped);
  EXPECT_FALSE(skipped.passed);
  EXPECT_NE(skipped.messages.find("marker-skip"), std::string::npos);

  auto fine = run_in_private_namespace([] { EXPECT_EQ(2 + 2, 4); });
  EXPECT_TRUE(fine.passed) << fine.messages;
}

TEST(FakeSystem, DriverPathsStayInside) {
  SKIP_WITHOUT_NAMESPACES();
  auto result = run_in_private_namespace([] {
    struct statfs st;
    ASSERT_EQ(statfs("/dev/pts", &st), 0);
    EXPECT_EQ(static_cast<unsigned long>(st.f_type), static_cast<unsigned long>(DEVPTS_SUPER_MAGIC))
        << "pseudo-terminals usable inside";
    EXPECT_TRUE(list_dir("/proc/driver").empty());
    if (access("/sys/bus/pci/rescan", F_OK) == 0) {
      add_file("/sys/bus/pci/rescan", "1\n");
      EXPECT_EQ(read_file("/sys/bus/pci/rescan"), "1\n") << "a private copy";
    }

    enter_driver_platform();
    ASSERT_TRUE(driver_platform_is_private());
    EXPECT_EQ(link_target("/proc/self/exe"), link_target("/tmp/.vexil-proc/self/exe"));
    EXPECT_EQ(read_file("/proc/modules"), "");
    EXPECT_EQ(read_file("/proc/sys/kernel/modprobe"), std::string(kFakeModprobe) + "\n");
    set_proc_file("/proc/devices", "Character devices:\n195 ombrix\n\n");
    EXPECT_EQ(read_file("/tmp/.vexil-proc/devices").find("195 ombrix"), std::string::npos);
    install_recording_loader("/usr/bin/ombrix-modprobe", 0);
    EXPECT_EQ(system("/usr/bin/ombrix-modprobe -c=1"), 0);
    EXPECT_EQ(read_file(kLoaderCalls).rfind("/usr/bin/ombrix-modprobe -c=1\n", 0), 0u);
  });
  VEXIL_EXPECT_SCENARIO(result);
  EXPECT_NE(access("/usr/bin/ombrix-modprobe", F_OK), 0) << "the loader stayed inside";
}

}  // namespace
}  // namespace vexil_test
