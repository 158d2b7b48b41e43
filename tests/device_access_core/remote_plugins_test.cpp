// The core's plug-in loader against test-built libraries (real dlopen through the real path
// rules), and remote handles that reach the loopback server through the SSH plug-in.
#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "fake_system.h"
#include "plugins.h"
#include "remote_server_fixture.h"
#include "signal_hold.h"

namespace {

using vexil_test::CapturedStream;
using remote_test::RemoteHandle;
using remote_test::ScopedEnv;

const char* const kCableNames[] = {
    "mcables_open",        "mcables_close",      "mcables_read4",      "mcables_write4",
    "mcables_read4_block", "mcables_write4_block", "mcables_read_bytes", "mcables_write_bytes",
    "mcables_chip_open",   "mcables_chip_close", "mcables_chip_read4", "mcables_chip_write4",
    "mcables_chip_read4_block", "mcables_chip_write4_block", "cdb_maccess_reg"};

// A symbol of a test library (loaded once more; the loader's copy is the same object).
template <typename T>
T* symbol(const char* library, const char* name) {
  void* lib = dlopen(library, RTLD_NOW);
  return lib ? static_cast<T*>(dlsym(lib, name)) : nullptr;
}

TEST(PluginLoader, McablesPathLoadsEveryEntryInSlotOrder) {
  ScopedEnv path("MCABLES_PATH", TEST_CABLE_PLUGIN);
  for (int index : {PLUGIN_CABLES, PLUGIN_CABLES_ALT}) {
    tqcr_plugin_ctx* ctx = tqcr_utils_load_dl_ctx(index);
    ASSERT_NE(ctx, nullptr) << index;
    EXPECT_EQ(ctx->index, index);
    for (int slot = 0; slot < 15; ++slot)
      EXPECT_EQ(ctx->entries[slot], symbol<void>(TEST_CABLE_PLUGIN, kCableNames[slot])) << slot;
    EXPECT_EQ(ctx->entries[15], nullptr) << "slot 16 is not used";
    reinterpret_cast<f_mcables_open>(ctx->entries[CABLE_SLOT_OPEN])(nullptr, 3);
    EXPECT_EQ(*symbol<int>(TEST_CABLE_PLUGIN, "test_cable_port"), 3);
    EXPECT_EQ(tqcr_utils_free_dl_ctx(ctx), 0);
  }
  EXPECT_EQ(tqcr_utils_free_dl_ctx(nullptr), 1);
}

TEST(PluginLoader, IndexIsCheckedBeforeAnythingIsLoaded) {
  ScopedEnv path("MCABLES_PATH", TEST_CABLE_PLUGIN);
  for (int index : {-1, 5, 1000}) {
    errno = 0;
    EXPECT_EQ(tqcr_utils_load_dl_ctx(index), nullptr) << index;
    EXPECT_EQ(errno, EINVAL);
  }
}

TEST(PluginLoader, LibraryLackingAnEntryIsRefusedWhole) {
  ScopedEnv path("MCABLES_PATH", TEST_CABLE_PLUGIN_PARTIAL);
  CapturedStream err(2);
  EXPECT_EQ(tqcr_utils_load_dl_ctx(PLUGIN_CABLES), nullptr);
  const std::string text = err.text();
  EXPECT_EQ(text.rfind("Failed to load the function: mcables_write_bytes, error: ", 0), 0u) << text;

  // The SSH library offers none of the cable entries: the first slot already fails.
  ScopedEnv ssh("MCABLES_PATH", TEST_SSH_PLUGIN);
  CapturedStream err2(2);
  EXPECT_EQ(tqcr_utils_load_dl_ctx(PLUGIN_CABLES), nullptr);
  EXPECT_EQ(err2.text().rfind("Failed to load the function: mcables_open, error: ", 0), 0u);
}

// Index 3 has no library of its own: neither MCABLES_PATH nor the configured prefix (a library
// file here) is loaded for it.
TEST(PluginLoader, BridgeIndexNeverLoads) {
  {
    ScopedEnv path("MCABLES_PATH", TEST_CABLE_PLUGIN);
    ScopedEnv debug("ZRV_DEBUG", "1");
    CapturedStream err(2);
    errno = 0;
    EXPECT_EQ(tqcr_utils_load_dl_ctx(PLUGIN_DEVICE_BRIDGE), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(err.text(), "-E- Failed to locate the shared library: " TEST_CABLE_PLUGIN "\n");
  }
  std::ifstream src(TEST_CABLE_PLUGIN, std::ios::binary);
  const std::string library((std::istreambuf_iterator<char>(src)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(library.empty());
  auto result = vexil_test::run_in_private_namespace([&library] {
    unsetenv("MCABLES_PATH");
    std::ofstream dst("/tmp/bridge.so", std::ios::binary);
    dst << library;
    dst.close();
    vexil_test::write_zrv_conf("zrv_lib_location=/tmp/bridge.so\n");
    char out[DEV_NAME_SZ];
    errno = 0;
    EXPECT_EQ(plugin_library_path(PLUGIN_DEVICE_BRIDGE, out, sizeof(out)), -1);
    EXPECT_EQ(errno, ENOENT);
    CapturedStream err(2);
    EXPECT_EQ(tqcr_utils_load_dl_ctx(PLUGIN_DEVICE_BRIDGE), nullptr);
    EXPECT_EQ(err.text(), "") << "the library named by the prefix alone is not opened";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(PluginLoader, MissingOrOverlongPathsLoadNothing) {
  {
    ScopedEnv path("MCABLES_PATH", "/nonexistent/mcables.so");
    ScopedEnv debug("ZRV_DEBUG", "1");
    CapturedStream err(2);
    errno = 0;
    EXPECT_EQ(tqcr_utils_load_dl_ctx(PLUGIN_SSH), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(err.text(), "-E- Failed to locate the shared library: /nonexistent/mcables.so\n");
  }
  // 511 characters still count as a path; 512 are refused rather than loaded cut short.
  const std::string fits = "/" + std::string(510, 'a');
  const std::string too_long = TEST_CABLE_PLUGIN + std::string("/") + std::string(511, 'a');
  char out[DEV_NAME_SZ];
  {
    ScopedEnv path("MCABLES_PATH", fits.c_str());
    ASSERT_EQ(plugin_library_path(PLUGIN_CABLES, out, sizeof(out)), 0);
    EXPECT_EQ(out, fits);
  }
  ScopedEnv path("MCABLES_PATH", too_long.c_str());
  ScopedEnv debug("ZRV_DEBUG", "1");
  CapturedStream err(2);
  errno = 0;
  EXPECT_EQ(tqcr_utils_load_dl_ctx(PLUGIN_CABLES), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(err.text(), "-E- Failed to locate the shared library: " + too_long + "\n")
      << "a path that does not fit is reported like one that does not load";
}

TEST(PluginLoader, RegisterAccessPluginGoesIntoTheHandle) {
  ScopedEnv path("MCABLES_PATH", TEST_REG_ACCESS_PLUGIN);
  RemoteHandle handle;
  tqcr_plugin_ctx* ctx = reg_access_lib_load(handle.get());
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(handle->plugin_ctx, ctx);
  EXPECT_EQ(ctx->entries[REG_ACCESS_SLOT_MDDT], symbol<void>(TEST_REG_ACCESS_PLUGIN, "reg_access_mddt"));
  EXPECT_EQ(ctx->entries[1], nullptr);
  EXPECT_EQ(ctx->entries[REG_ACCESS_SLOT_MGIR], symbol<void>(TEST_REG_ACCESS_PLUGIN, "reg_access_mgir"));
  EXPECT_EQ(reg_access_lib_load(handle.get()), ctx) << "loaded once per handle";
  handle->plugin_ctx->index = PLUGIN_CABLES;
  errno = 0;
  EXPECT_EQ(reg_access_lib_load(handle.get()), nullptr) << "the handle holds another plug-in";
  EXPECT_EQ(errno, EBUSY);
  tqcr_utils_free_dl_ctx(handle->plugin_ctx);
  handle->plugin_ctx = nullptr;
}

TEST(PluginLoader, ServerSideCableBytesGoThroughTheByteEntries) {
  ScopedEnv path("MCABLES_PATH", TEST_CABLE_PLUGIN);
  uint8_t* memory = symbol<uint8_t>(TEST_CABLE_PLUGIN, "test_cable_memory");
  ASSERT_NE(memory, nullptr);
  RemoteHandle handle;
  uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(mcables_remote_operation_server_side(handle.get(), 8, 4, data, 1), 0);
  EXPECT_EQ(memcmp(memory + 8, data, 4), 0);
  uint8_t back[4] = {};
  EXPECT_EQ(mcables_remote_operation_server_side(handle.get(), 8, 4, back, 0), 0);
  EXPECT_EQ(memcmp(back, data, 4), 0);
  EXPECT_EQ(*symbol<void*>(TEST_CABLE_PLUGIN, "test_cable_last_callback"),
            symbol<void>(TEST_CABLE_PLUGIN, "mcables_write_bytes"))
      << "the read entry gets the write entry as its callback";
  EXPECT_EQ(mcables_remote_operation_server_side(handle.get(), 8, 4, back, 2), -1);
  tqcr_utils_free_dl_ctx(handle->plugin_ctx);
  handle->plugin_ctx = nullptr;

  ScopedEnv partial("MCABLES_PATH", TEST_CABLE_PLUGIN_PARTIAL);
  CapturedStream quiet(2);
  EXPECT_EQ(mcables_remote_operation_server_side(handle.get(), 8, 4, back, 0), -1);
}

// The configuration file's prefix, in a private mount namespace with its own /etc and /tmp.
TEST(PluginLoader, ConfigurationFileNamesTheLibraryLocation) {
  // Read before the namespace hides /tmp, where a build tree may live.
  std::ifstream src(TEST_SSH_PLUGIN, std::ios::binary);
  const std::string library((std::istreambuf_iterator<char>(src)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(library.empty());
  auto result = vexil_test::run_in_private_namespace([&library] {
    unsetenv("MCABLES_PATH");
    char out[DEV_NAME_SZ];
    ASSERT_EQ(plugin_library_path(PLUGIN_SSH, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/usr/zrv/tqcr_plugins/ssh_utility.so") << "no configuration file";

    vexil_test::make_dirs("/tmp/zrvlib/zrv/tqcr_plugins");
    std::ofstream dst("/tmp/zrvlib/zrv/tqcr_plugins/ssh_utility.so", std::ios::binary);
    dst << library;
    dst.close();
    // Every line with the key counts, the last one wins, and its value ends at the next '='.
    vexil_test::write_zrv_conf("# zrv_lib_location=/nowhere\nzrv_lib_location = /nowhere\n"
                               "zrv_lib_location =\t/tmp/zrvlib  = extra\nZRV_LOG_DIR=/tmp\n");
    ASSERT_EQ(plugin_library_path(PLUGIN_SSH, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/tmp/zrvlib/zrv/tqcr_plugins/ssh_utility.so");
    tqcr_plugin_ctx* ctx = tqcr_utils_load_dl_ctx(PLUGIN_SSH);
    ASSERT_NE(ctx, nullptr);
    for (int slot = 0; slot < 6; ++slot) EXPECT_NE(ctx->entries[slot], nullptr) << slot;
    tqcr_utils_free_dl_ctx(ctx);

    vexil_test::write_zrv_conf("zrv_lib_location=/" + std::string(500, 'p') + "\n");
    errno = 0;
    EXPECT_EQ(tqcr_utils_load_dl_ctx(PLUGIN_SSH), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG) << "prefix and path do not fit together";
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A prefix that is not an absolute path would make the loader look in the current directory: it
// is refused, and the library is looked for under "/usr" alone.
TEST(PluginLoader, RelativeLibraryLocationIsRefused) {
  std::ifstream src(TEST_SSH_PLUGIN, std::ios::binary);
  const std::string library((std::istreambuf_iterator<char>(src)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(library.empty());
  auto result = vexil_test::run_in_private_namespace([&library] {
    unsetenv("MCABLES_PATH");
    vexil_test::make_dirs("/tmp/cwd/lib/zrv/tqcr_plugins");
    std::ofstream dst("/tmp/cwd/lib/zrv/tqcr_plugins/ssh_utility.so", std::ios::binary);
    dst << library;
    dst.close();
    ASSERT_EQ(chdir("/tmp/cwd"), 0);
    vexil_test::write_zrv_conf("zrv_lib_location=/tmp/cwd/lib\nzrv_lib_location = lib\n");
    char out[DEV_NAME_SZ];
    {
      ScopedEnv debug("ZRV_DEBUG", nullptr);
      EXPECT_EQ(vexil_test::written_to(2, [&] {
                  ASSERT_EQ(plugin_library_path(PLUGIN_SSH, out, sizeof(out)), 0);
                }),
                "");
      EXPECT_STREQ(out, "/usr/zrv/tqcr_plugins/ssh_utility.so");
    }
    ScopedEnv debug("ZRV_DEBUG", "1");
    CapturedStream err(2);
    EXPECT_EQ(tqcr_utils_load_dl_ctx(PLUGIN_SSH), nullptr) << "nothing loads from the current directory";
    EXPECT_EQ(err.text().rfind("-W- Bad zrv_lib_location value (lib) in /etc/zrv/zrv.conf: not an "
                               "absolute path. Using /usr.\n",
                               0),
              0u);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The prefix lookup reads lines up to 4096 characters, skipping the rest of a longer line: a key
// past the bound does not count, and an endless file costs no more memory than one line.
TEST(PluginLoader, LongConfigurationLinesAreCutAtTheBound) {
  auto result = vexil_test::run_in_private_namespace([] {
    unsetenv("MCABLES_PATH");
    vexil_test::write_zrv_conf(std::string(5000, '#') + "zrv_lib_location=/tmp/past\n");
    char out[DEV_NAME_SZ];
    ASSERT_EQ(plugin_library_path(PLUGIN_SSH, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/usr/zrv/tqcr_plugins/ssh_utility.so");
    vexil_test::write_zrv_conf(std::string(5000, '#') + "\nzrv_lib_location=/tmp/next\n");
    ASSERT_EQ(plugin_library_path(PLUGIN_SSH, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/tmp/next/zrv/tqcr_plugins/ssh_utility.so") << "the next line is read whole";
    // The first MiB ends inside the last line: that line is no shorter prefix, it is not read.
    const std::string whole = "zrv_lib_location=/tmp/whole\n", cut = "zrv_lib_location=/o";
    vexil_test::write_zrv_conf(whole + std::string((1u << 20) - whole.size() - cut.size() - 1, '#') +
                               "\n" + cut + "pt/longprefix/x\n");
    ASSERT_EQ(plugin_library_path(PLUGIN_SSH, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/tmp/whole/zrv/tqcr_plugins/ssh_utility.so");

    vexil_test::write_zrv_conf("");
    ASSERT_EQ(truncate("/etc/zrv/zrv.conf", 64 << 20), 0);
    const long growth = vexil_test::peak_memory_growth_kib(
        [&] { EXPECT_EQ(plugin_library_path(PLUGIN_SSH, out, sizeof(out)), 0); });
    EXPECT_LT(growth, 16 * 1024);

    // A link to an endless device is not read at all (a hang fails by the scenario's time-out).
    ASSERT_EQ(unlink("/etc/zrv/zrv.conf"), 0);
    ASSERT_EQ(symlink("/dev/zero", "/etc/zrv/zrv.conf"), 0);
    ASSERT_EQ(plugin_library_path(PLUGIN_SSH, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/usr/zrv/tqcr_plugins/ssh_utility.so");
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// ---- remote handles over the SSH plug-in ----

class RemoteOverSsh : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = symbol<int>(TEST_SSH_PLUGIN, "test_ssh_calls");
    ASSERT_NE(calls, nullptr);
    memset(calls, 0, 6 * sizeof(int));
  }
  int open(const std::string& device = "qdx0") {
    return remote_open(server.device_name(device).c_str(), handle.get(), 0);
  }

  ScopedEnv path{"MCABLES_PATH", TEST_SSH_PLUGIN};
  ScopedEnv timeout{"SSH_TIMEOUT", nullptr};
  ScopedEnv result{"TEST_SSH_RESULT", nullptr};
  vexil_sim::SimulatedAdapter adapter;
  vexil_sim::RemoteServer server{adapter};
  RemoteHandle handle;
  int* calls = nullptr;
};

TEST_F(RemoteOverSsh, MessagesTravelThroughThePlugin) {
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(handle->remote.over_ssh, 1);
  EXPECT_EQ(handle->sock_fd, -1);
  EXPECT_EQ(calls[SSH_SLOT_SET_UP], 1);
  uint32_t value = 0;
  ASSERT_EQ(remote_read4(handle.get(), vexil_sim::CrSpace::kHwIdAddress, &value), 4);
  EXPECT_EQ(value & 0xFFFF, adapter.config().hw_id);
  EXPECT_EQ(calls[SSH_SLOT_WRITE], 3) << "V, O, R";
  EXPECT_EQ(calls[SSH_SLOT_READ], 3);
  EXPECT_EQ(add_remote_host(handle.get(), "peer"), 7) << "the plug-in's own result";
  EXPECT_EQ(remove_remote_host(handle.get(), "peer"), 0);
  EXPECT_EQ(mclose_remote(handle.get()), 0);
  EXPECT_EQ(calls[SSH_SLOT_SHUT_DOWN], 1);
  EXPECT_EQ(handle->remote.ssh_ctx, nullptr);
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"V", "O 0x00000000 qdx0", "R 0x000f0014", "C"}));
}

// A far end that has gone raises SIGPIPE in the plug-in's write: the access fails and the run goes
// on without the signal. A SIGPIPE that was already waiting behind a hold (standard output
// closed) is no connection's: it still ends the run when the hold is given back.
TEST_F(RemoteOverSsh, AFarEndThatHasGoneFailsTheWriteAndOnlyItsSigpipeIsTakenBack) {
  ASSERT_EQ(open(), 0);
  for (const bool already_waiting : {false, true}) {
    const pid_t pid = fork();
    if (pid == 0) {
      signal_hold hold{};
      signal_hold_take(&hold);
      if (already_waiting) raise(SIGPIPE);
      setenv("TEST_SSH_GONE", "1", 1);
      uint32_t value = 0;
      const bool failed = remote_read4(handle.get(), 0x100, &value) == -1 && !handle->remote.connected;
      signal_hold_give(&hold);
      _exit(failed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (already_waiting)
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
    else
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

TEST_F(RemoteOverSsh, OldServersLongRefusalOfTheVersionQueryStillOpens) {
  server.inject('V', vexil_sim::ScriptedReply{"E unknown command V", true, false});
  ASSERT_EQ(open(), 0) << "only the refusal's first letter counts, over SSH as over TCP";
  EXPECT_EQ(handle->remote.over_ssh, 1);
  EXPECT_EQ(handle->remote.server_major, 1);
  EXPECT_EQ(handle->remote.server_minor, 0);
  uint32_t value = 0;
  EXPECT_EQ(remote_read4(handle.get(), vexil_sim::CrSpace::kHwIdAddress, &value), 4)
      << "the link is still in step";
}

TEST_F(RemoteOverSsh, TooManyLoginAttemptsFailWithoutTcp) {
  ScopedEnv fail("TEST_SSH_RESULT", "1");
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(handle->remote.ssh_ctx, nullptr);
}

TEST_F(RemoteOverSsh, OtherSshFailuresFallBackToTcp) {
  ScopedEnv fail("TEST_SSH_RESULT", "2");
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(handle->remote.over_ssh, 0);
  EXPECT_GE(handle->sock_fd, 0);
  EXPECT_EQ(calls[SSH_SLOT_WRITE], 0);
}

TEST_F(RemoteOverSsh, TimeoutZeroOrAnEmulatorNameNeverTriesSsh) {
  {
    ScopedEnv zero("SSH_TIMEOUT", "0");
    ASSERT_EQ(open(), 0);
    mclose_remote(handle.get());
  }
  ScopedEnv missing("MCABLES_PATH", "/nonexistent/ssh_utility.so");
  ASSERT_EQ(open("emu_virtual0"), 0) << "no plug-in needed";
  EXPECT_EQ(calls[SSH_SLOT_SET_UP], 0);
  mclose_remote(handle.get());
  EXPECT_EQ(open(), -1) << "SSH is wanted but the plug-in is missing";
}

TEST(RemoteSshCalls, HandleWithoutThePluginGetsEnotsup) {
  RemoteHandle handle;
  CapturedStream out(1);
  errno = 0;
  EXPECT_EQ(write_ssh_dl(handle.get(), "V"), -1);
  EXPECT_EQ(errno, ENOTSUP);
  EXPECT_EQ(out.text(), "-E- Failed to load library: ssh_utility_wrapper\n");
}

}  // namespace
