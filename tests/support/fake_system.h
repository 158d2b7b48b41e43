// A fake machine for tests: a forked child in a private mount namespace whose /sys/bus/pci/devices,
// /sys/class, /dev, /etc, /tmp, /run and /var/log are empty tmpfs mounts that a scenario fills with
// fake PCI functions, driver nodes and configuration files. Nothing a scenario creates is visible
// outside the child, and every child starts with fresh process-wide state.
//
// Typical use:
//
//   TEST(Discovery, ListsOneFunction) {
//     auto result = vexil_test::run_in_private_namespace([] {
//       vexil_test::FakePciFunction fn;
//       fn.address = "0000:03:00.0";
//       vexil_test::add_pci_function(fn);
//       EXPECT_EQ(...);               // gtest assertions inside the child are sent to the parent
//     });
//     VEXIL_EXPECT_SCENARIO(result);  // skips where namespaces are unusable, else asserts
//   }
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vexil_test {

// Whether private mount namespaces with tmpfs mounts can be made here. Probed once per process in
// a throw-away child; `reason` says why not, for GTEST_SKIP.
struct NamespaceSupport {
  bool usable = false;
  std::string reason;
};
const NamespaceSupport& private_namespace_support();

// Outcome of one scenario run in a child.
struct ScenarioResult {
  bool skipped = false;       // namespaces unusable here; `messages` holds the reason
  bool passed = false;        // the scenario ran to its end without a failure
  std::string messages;       // failure texts reported by the child, one per line
  int exit_status = -1;       // the child's wait status, for diagnostics
};

struct ScenarioOptions {
  int timeout_seconds = 60;   // the child (and its process group) is killed after this
};

// Forks a child that unshares its mount namespace, makes / private recursively, mounts the fresh
// tmpfs trees (keeping /dev/null, /dev/zero, /dev/full, /dev/random, /dev/urandom and /dev/fuse
// usable inside, with a terminal instance of its own at /dev/pts and /dev/ptmx), runs `scenario`
// and reports back through a pipe.
// gtest failures inside the scenario (EXPECT_*/ASSERT_*/ADD_FAILURE), uncaught exceptions and
// crashes all count as failures. The child never returns into the test runner: it always _exits.
ScenarioResult run_in_private_namespace(const std::function<void()>& scenario,
                                        const ScenarioOptions& options = {});

// Skips the current test when the scenario was skipped, else fails it with the child's messages.
#define VEXIL_EXPECT_SCENARIO(result)                                        \
  do {                                                                       \
    const ::vexil_test::ScenarioResult& vexil_scenario_result_ = (result);   \
    if (vexil_scenario_result_.skipped) GTEST_SKIP() << vexil_scenario_result_.messages; \
    EXPECT_TRUE(vexil_scenario_result_.passed) << vexil_scenario_result_.messages;       \
  } while (0)

// ---- Builders: call these inside a scenario. Each throws std::runtime_error on failure. ----

// One PCI function under /sys/bus/pci/devices/<address>.
struct FakePciFunction {
  std::string address = "0000:03:00.0";  // domain:bus:dev.fn, lower-case hex as sysfs writes it
  uint16_t vendor = 0x15b3;
  uint16_t device = 0x1021;
  uint32_t class_code = 0x020000;        // 24-bit class code as in the "class" file
  uint16_t subsystem_vendor = 0x15b3;
  uint16_t subsystem_device = 0x0001;
  std::optional<std::string> numa_node = std::string("0");  // nullopt: no numa_node file
  // Bytes of the "config" file; empty means a 256-byte header built from the ids above.
  std::vector<uint8_t> config;
  uint64_t resource0_size = 0;           // 0: no resource0 file; otherwise a sparse file this big
  std::optional<std::string> physfn;     // address of the physical function (makes this a VF)
  std::vector<std::string> virtfns;      // addresses of the VFs, as links virtfn0, virtfn1, ...
  std::vector<std::string> net;          // network interface names under net/
  std::vector<std::string> infiniband;   // RDMA device names under infiniband/
  // Address of the bridge above, added before: the function's directory then sits inside the
  // bridge's, and its entry in /sys/bus/pci/devices is a link to it, as in the kernel's tree.
  std::optional<std::string> parent;
};

// A 256-byte type-0 configuration header with the given ids (class code in bytes 9-11,
// subsystem ids at 0x2C). Used as the default "config" contents.
std::vector<uint8_t> make_config_header(const FakePciFunction& fn);

// Creates the function's directory and files; returns the directory path.
std::string add_pci_function(const FakePciFunction& fn);

// Makes /sys/class/infiniband/<name>/device a link to the function's directory, as the kernel
// does for an RDMA device.
void add_rdma_class_device(const std::string& name, const std::string& address);

// A plain file /dev/qdx/<name> with the given text (the driver's nodes carry their address text).
std::string add_qdx_node(const std::string& name, const std::string& contents = "");

// Writes /etc/zrv/zrv.conf.
void write_zrv_conf(const std::string& contents);

// Writes any file, creating missing parent directories.
void add_file(const std::string& path, const std::string& contents, unsigned mode = 0644);

// Creates a directory and its missing parents.
void make_dirs(const std::string& path, unsigned mode = 0755);

// Makes the directory `dir` (created when missing) writable for the scenario alone, for files a
// program looks for at a fixed path ("/usr/lib64/...", a file at the root). The deepest directory
// of the path that exists is replaced by a tmpfs holding binds of its entries; for "/" the
// scenario moves into such a tmpfs root. The host's files stay as they are.
void make_writable(const std::string& dir);

// Reads a whole file; throws when it cannot be read.
std::string read_file(const std::string& path);

// Everything a block of code writes to a standard stream (1 or 2), as text, through an unlinked
// file in /tmp. written_to() is the same for one call.
class CapturedStream {
 public:
  explicit CapturedStream(int fd);
  ~CapturedStream();
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;
  std::string text();  // stops capturing on the first call

 private:
  int fd_;
  int saved_ = -1;
  int file_ = -1;
  bool done_ = false;
  std::string text_;
};
std::string written_to(int fd, const std::function<void()>& what);

// How far the process's peak resident memory grew, in KiB, while `what` ran.
long peak_memory_growth_kib(const std::function<void()>& what);

// Sets (or with a null value unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// ---- The GPU driver's platform ----
//
// Every scenario already covers the host's bus-wide PCI rescan file, /proc/modules and
// /proc/sys/kernel/modprobe (where the host has them) with private copies, mounts an empty tmpfs
// on /proc/driver and has an empty /dev/char. enter_driver_platform() goes further, for code that
// loads modules and makes driver nodes: /proc becomes a tmpfs of links to the real entries, except
// "modules" (an empty file), "driver" (an empty directory) and "sys/kernel/modprobe" (a file
// naming kFakeModprobe); /usr/bin and /sbin get a private overlay, so that programs placed there
// stay inside. Write /proc files with set_proc_file only: add_file would follow a link into the
// real /proc.
constexpr const char* kFakeModprobe = "/tmp/vexil-loaders/modprobe";
constexpr const char* kLoaderCalls = "/tmp/vexil-loaders/calls";
void enter_driver_platform();

// True when /dev, /proc and the PCI tree are this scenario's tmpfs and /usr/bin its overlay:
// assert it before running anything that writes nodes or starts loaders.
bool driver_platform_is_private();

// Replaces one /proc entry (a path under /proc) by a private file with this text.
void set_proc_file(const std::string& path, const std::string& contents);

// A shell script at `path` standing for a module loader: it appends one line
// "<program> <arguments>" and one line with its environment (NUL-separated entries shown as
// blanks) to kLoaderCalls and exits with `exit_status`; on success a system loader also lists
// its first argument, '-' written '_', in /proc/modules as the kernel would.
void install_recording_loader(const std::string& path, int exit_status,
                              bool lists_module = false);

}  // namespace vexil_test
