// The simulated adapter behind a real FUSE file bound over a fake function's sysfs config file in
// a private mount namespace, driven by hand with open/pread/pwrite as a device client would; and
// the server's shutdown paths, none of which may leave a process hanging.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "fuse_function_server.h"
#include "window_driver.h"

extern char** environ;

namespace vexil_sim {
namespace {

using vexil_sim_test::FilePort;
using vexil_sim_test::register_frame;
using vexil_sim_test::reply_image;
using vexil_sim_test::reply_status;
using vexil_sim_test::WindowDriver;
using vexil_test::FakePciFunction;

constexpr const char* kAddress = "0000:05:00.0";
const std::string kConfig = std::string("/sys/bus/pci/devices/") + kAddress + "/config";

vexil_test::ScenarioOptions short_timeout() {
  vexil_test::ScenarioOptions o;
  o.timeout_seconds = 40;  // below the ctest timeout, so the fixture reports a hang itself
  return o;
}

void add_function(const std::string& address, uint16_t device) {
  FakePciFunction fn;
  fn.address = address;
  fn.device = device;
  vexil_test::add_pci_function(fn);
}

// True when `pid` ends within `seconds`.
bool exits_within(pid_t pid, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);  // our own child, by its id
  waitpid(pid, &status, 0);
  return false;
}

TEST(FuseFunction, ClientReadsHardwareIdAndRunsIcmdByHand) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kAddress, 0x101d);
    FunctionConfig cfg;
    cfg.device = 0x101d;
    cfg.hw_id = 0x212;
    cfg.hw_rev = 1;
    SimulatedAdapter adapter(cfg);
    FuseFunctionServer server(adapter, kConfig);

    int fd = open(kConfig.c_str(), O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0) << strerror(errno);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 4096);
    uint8_t header[64];
    ASSERT_EQ(pread(fd, header, sizeof header, 0), 64);
    EXPECT_EQ(header[0] | header[1] << 8, 0x15b3);
    EXPECT_EQ(header[2] | header[3] << 8, 0x101d);

    FilePort port(fd);
    WindowDriver drv(port);
    ASSERT_TRUE(drv.attach()) << "capability list walked with 1- and 2-byte reads";
    EXPECT_EQ(drv.base(), SimulatedAdapter::kVsecCapability);
    uint32_t id = 0;
    ASSERT_TRUE(drv.read(kSpaceCr, 0xF0014, id));
    EXPECT_EQ(id, 0x10212u);

    const std::vector<uint8_t> image = {0, 0, 0, 3, 'g', 'r', 'p', 0};
    std::vector<uint8_t> set = register_frame(0xC012, 2, image);
    ASSERT_EQ(drv.icmd(0x9001, set), 0);
    EXPECT_EQ(reply_status(set), 0);
    std::vector<uint8_t> get = register_frame(0xC012, 1, std::vector<uint8_t>(8, 0));
    ASSERT_EQ(drv.icmd(0x9001, get), 0);
    EXPECT_EQ(reply_image(get, 8), image);

    // The running server answers for its own copy of the adapter.
    EXPECT_EQ(server.register_image(0xC012), image);
    EXPECT_EQ(server.register_counts(0xC012).get, 1u);
    EXPECT_EQ(server.register_counts(0xC012).set, 1u);
    EXPECT_TRUE(adapter.register_image(0xC012).empty()) << "the test's copy stays as it was";
    const AdapterStats stats = server.stats();
    EXPECT_GT(stats.window_accesses, 0u);
    EXPECT_EQ(stats.unlocked_window_accesses, 0u);
    EXPECT_EQ(stats.icmd_commands, 2u);

    FaultKnobs knobs;
    knobs.vsec_semaphore_foreign = true;
    server.set_knobs(knobs);
    EXPECT_TRUE(server.knobs().vsec_semaphore_foreign);
    EXPECT_FALSE(drv.lock()) << "knob reached the server";
    server.set_knobs(FaultKnobs{});
    EXPECT_TRUE(drv.lock());
    drv.unlock();

    uint32_t value = 0;
    ASSERT_TRUE(server.write_space(kSpaceCr, 0x500, 0xFEEDu));
    ASSERT_TRUE(drv.read(kSpaceCr, 0x500, value));
    EXPECT_EQ(value, 0xFEEDu);
    EXPECT_FALSE(server.read_space(77, 0, value));
    server.set_register_image(0xC015, {1, 2, 3, 4});
    get = register_frame(0xC015, 1, std::vector<uint8_t>(4, 0));
    ASSERT_EQ(drv.icmd(0x9001, get), 0);
    EXPECT_EQ(reply_image(get, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(close(fd), 0);
  }, short_timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

// Faults and signals at a moment the adapter picks: the n-th access of a client fails, or the
// client gets a signal right before it, or right after a write that starts a command; and the
// adapter says which semaphores a client holds, and whether one was held when a signal went out.
TEST(FuseFunction, FaultsAndSignalsAtAChosenAccess) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kAddress, 0x101d);
    SimulatedAdapter adapter;
    FuseFunctionServer server(adapter, kConfig);
    static volatile sig_atomic_t signals;
    struct sigaction count = {};
    count.sa_handler = [](int) { signals = signals + 1; };
    count.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &count, nullptr);
    int fd = open(kConfig.c_str(), O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    uint8_t b[4];
    ASSERT_EQ(pread(fd, b, 4, 0), 4);
    const uint64_t done = server.stats().config_accesses;
    EXPECT_EQ(done, 1u);

    FaultKnobs knobs;
    knobs.fail_config_access_at = done + 2;
    knobs.signal = SIGUSR1;
    knobs.signal_at_access = done + 1;
    server.set_knobs(knobs);
    EXPECT_EQ(pread(fd, b, 4, 0), 4);
    EXPECT_EQ(signals, 1);
    errno = 0;
    EXPECT_EQ(pread(fd, b, 4, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(pread(fd, b, 4, 0), 4) << "one access fails, not the ones after it";
    EXPECT_EQ(signals, 1);

    FilePort port(fd);
    WindowDriver drv(port);
    ASSERT_TRUE(drv.attach());
    ASSERT_TRUE(drv.lock());
    EXPECT_EQ(server.stats().held_semaphores, AdapterStats::kHeldWindow);
    drv.unlock();
    EXPECT_EQ(server.stats().held_semaphores, 0u);
    knobs = FaultKnobs{};
    knobs.signal = SIGUSR1;
    knobs.signal_at_command = true;
    server.set_knobs(knobs);
    std::vector<uint8_t> get = register_frame(0xC012, 1, std::vector<uint8_t>(8, 0));
    ASSERT_EQ(drv.icmd(0x9001, get), 0);
    EXPECT_EQ(signals, 2) << "one signal, at the one command";
    const AdapterStats stats = server.stats();
    EXPECT_EQ(stats.signals_sent, 2u);
    EXPECT_EQ(stats.signals_sent_holding, 1u) << "the command ran under the ICMD semaphore";
    close(fd);
  }, short_timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(FuseFunction, TwoFunctionsServedAtOnce) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    FunctionConfig a_cfg, b_cfg;
    a_cfg.hw_id = 0x212;
    b_cfg.hw_id = 0x218;
    b_cfg.device = 0x1021;
    b_cfg.class_code = 0x020700;
    SimulatedAdapter a(a_cfg), b(b_cfg);
    FakePciFunction fa_dir, fb_dir;
    fa_dir.address = "0000:05:00.0";
    fb_dir.address = "0000:06:00.0";
    fb_dir.device = 0xdead;  // replaced by the adapter's own id
    fb_dir.numa_node = "1";
    auto sa = serve_fake_function(a, fa_dir);
    auto sb = serve_fake_function(b, fb_dir);
    EXPECT_EQ(vexil_test::read_file("/sys/bus/pci/devices/0000:06:00.0/device"), "0x1021\n");
    EXPECT_EQ(vexil_test::read_file("/sys/bus/pci/devices/0000:06:00.0/class"), "0x020700\n");
    EXPECT_EQ(vexil_test::read_file("/sys/bus/pci/devices/0000:06:00.0/numa_node"), "1\n");
    int fa = open("/sys/bus/pci/devices/0000:05:00.0/config", O_RDWR);
    int fb = open("/sys/bus/pci/devices/0000:06:00.0/config", O_RDWR);
    ASSERT_GE(fa, 0);
    ASSERT_GE(fb, 0);
    FilePort pa(fa), pb(fb);
    WindowDriver da(pa), db(pb);
    ASSERT_TRUE(da.attach());
    ASSERT_TRUE(db.attach());
    uint32_t ia = 0, ib = 0;
    ASSERT_TRUE(da.read(kSpaceCr, 0xF0014, ia));
    ASSERT_TRUE(db.read(kSpaceCr, 0xF0014, ib));
    EXPECT_EQ(ia, 0x212u);
    EXPECT_EQ(ib, 0x218u);
    close(fa);
    close(fb);
  }, short_timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(FuseFunction, StopWithTheFileStillOpenFailsAccessesInsteadOfHanging) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kAddress, 0x101d);
    SimulatedAdapter adapter;
    FuseFunctionServer server(adapter, kConfig);
    int fd = open(kConfig.c_str(), O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    uint8_t b[4];
    ASSERT_EQ(pread(fd, b, 4, 0), 4);

    server.stop();
    errno = 0;
    EXPECT_EQ(pread(fd, b, 4, 0), -1) << "a stopped device must not read as data";
    EXPECT_EQ(errno, ENOTCONN);
    // close reports the lost connection too, but returns and frees the descriptor.
    close(fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    // The bind is gone: the fixture's own config file shows through again.
    EXPECT_EQ(vexil_test::read_file(kConfig).size(), 256u);
    server.stop();  // twice is harmless

    // A new server can take the same function.
    FuseFunctionServer again(adapter, kConfig);
    fd = open(kConfig.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pread(fd, b, 4, 0), 4);
    close(fd);
  }, short_timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(FuseFunction, ServerDeathAndExitingHoldersDoNotHang) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = vexil_test::run_in_private_namespace([] {
    add_function(kAddress, 0x101d);
    SimulatedAdapter adapter;
    FuseFunctionServer server(adapter, kConfig);

    // A child that exits holding the file, and a spawned program that inherits it.
    int fd = open(kConfig.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    pid_t child = fork();
    if (child == 0) {
      uint8_t b[4];
      _exit(pread(fd, b, 4, 0) == 4 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(exits_within(child, 10));
    pid_t spawned = -1;
    char* argv[] = {const_cast<char*>("true"), nullptr};
    ASSERT_EQ(posix_spawnp(&spawned, "true", nullptr, nullptr, argv, environ), 0);
    EXPECT_TRUE(exits_within(spawned, 10));

    // The server dies under an open file: accesses fail at once, close returns.
    kill(server.server_pid(), SIGKILL);
    auto start = std::chrono::steady_clock::now();
    uint8_t b[4];
    EXPECT_EQ(pread(fd, b, 4, 0), -1);
    close(fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_THROW(server.stats(), std::runtime_error) << "no answer from a dead server";
    server.stop();
  }, short_timeout());
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
}  // namespace vexil_sim
