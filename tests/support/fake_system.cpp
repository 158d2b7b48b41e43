#include "fake_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <dirent.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sched.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexil_test {
namespace {

// Where the host's /dev and /etc stay reachable while the fresh trees are filled from them.
constexpr const char* kHostDev = "/tmp/.vexil-host-dev";
constexpr const char* kHostEtc = "/tmp/.vexil-host-etc";

// Device nodes and /etc files a scenario may still need (the loader cache for dlopen by bare name,
// user and host lookups, local time for log lines).
const char* const kKeptDevNodes[] = {"null", "zero", "full", "random", "urandom", "fuse"};
const char* const kKeptEtcFiles[] = {"ld.so.cache", "ld.so.conf", "passwd", "group",
                                     "nsswitch.conf", "hosts", "localtime"};

std::string errno_text(const std::string& what, const std::string& path) {
  return what + "(" + path + "): " + std::strerror(errno);
}

void must(bool ok, const std::string& what, const std::string& path) {
  if (!ok) throw std::runtime_error(errno_text(what, path));
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The project's own source and build trees stay visible inside the private system even when the
// checkout lies under one of the directories the fixture replaces (a clone under /tmp, say):
// the tests run the built tool and read their expected files from there.
const char* const kKeptTrees[] = {VEXIL_SOURCE_DIR, VEXIL_BINARY_DIR};
const char* const kReplacedDirs[] = {"/tmp",       "/dev",     "/etc", "/sys/bus/pci/devices",
                                     "/sys/class", "/var/log", "/run"};

bool is_under(const std::string& path, const std::string& dir) {
  return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

struct kept_tree {
  std::string path;
  int fd;  // O_PATH descriptor of the tree as the host sees it
};

std::vector<kept_tree> hold_kept_trees() {
  std::vector<kept_tree> kept;
  for (const char* tree : kKeptTrees) {
    char* real = realpath(tree, nullptr);
    if (!real) continue;
    const std::string path(real);
    free(real);
    bool hidden = false;
    for (const char* dir : kReplacedDirs) hidden = hidden || is_under(path, dir);
    if (!hidden) continue;
    int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    must(fd >= 0, "open", path);
    kept.push_back({path, fd});
  }
  return kept;
}

void restore_kept_trees(const std::vector<kept_tree>& kept) {
  for (const kept_tree& k : kept) {
    make_dirs(k.path, 0755);
    const std::string source = "/proc/self/fd/" + std::to_string(k.fd);
    must(mount(source.c_str(), k.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0,
         "bind " + source, k.path);
    close(k.fd);
  }
}

void mount_tmpfs(const char* target, const char* mode) {
  std::string data = std::string("mode=") + mode;
  must(mount("tmpfs", target, "tmpfs", MS_NOSUID, data.c_str()) == 0, "mount tmpfs", target);
}

void bind_mount(const std::string& source, const std::string& target, unsigned long extra = 0) {
  must(mount(source.c_str(), target.c_str(), nullptr, MS_BIND | extra, nullptr) == 0,
       "bind " + source, target);
}

// Creates `target` as an empty file or directory matching `source` and binds source onto it.
void bind_entry(const std::string& source, const std::string& target) {
  struct stat st;
  if (stat(source.c_str(), &st) != 0) return;  // not on this host: nothing to keep
  if (S_ISDIR(st.st_mode)) {
    must(mkdir(target.c_str(), 0755) == 0 || errno == EEXIST, "mkdir", target);
    bind_mount(source, target, MS_REC);
  } else {
    int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    must(fd >= 0, "create", target);
    close(fd);
    bind_mount(source, target);
  }
}

// The steps that need privileges: a mount namespace of its own and tmpfs mounts in it. Where
// these fail the fixture cannot run here at all; every later step failing is a fault.
void probe_private_system() {
  must(unshare(CLONE_NEWNS) == 0, "unshare", "CLONE_NEWNS");
  must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make private", "/");
  mount_tmpfs("/tmp", "1777");
  must(exists("/sys/bus/pci/devices"), "find", "/sys/bus/pci/devices");
  mount_tmpfs("/sys/bus/pci/devices", "755");
}

// A tmpfs-backed copy of `path` bound over it, so that writes stay inside.
void cover_file(const std::string& path, const std::string& contents) {
  if (!exists(path)) return;
  static int count = 0;
  const std::string copy = "/tmp/.vexil-cover-" + std::to_string(count++);
  add_file(copy, contents);
  bind_mount(copy, path);
}

// The paths where code run as root would load modules, rescan the host's PCI bus or read the GPU
// driver's settings: covered in every scenario (the bus-wide rescan file, the module list, the
// module loader setting, the drivers' /proc directory), and a "/dev/char" for node links.
void cover_driver_paths() {
  cover_file("/sys/bus/pci/rescan", "");
  cover_file("/proc/modules", "");
  cover_file("/proc/sys/kernel/modprobe", "/tmp/vexil-loaders/modprobe\n");
  if (exists("/proc/driver")) mount_tmpfs("/proc/driver", "755");
  must(mkdir("/dev/char", 0755) == 0, "mkdir", "/dev/char");
}

// Everything the child does before the scenario. Throws with the failing step.
void enter_private_system() {
  must(unshare(CLONE_NEWNS) == 0, "unshare", "CLONE_NEWNS");
  must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make private", "/");
  const std::vector<kept_tree> kept = hold_kept_trees();

  mount_tmpfs("/tmp", "1777");
  must(mkdir(kHostDev, 0700) == 0, "mkdir", kHostDev);
  must(mkdir(kHostEtc, 0700) == 0, "mkdir", kHostEtc);
  bind_mount("/dev", kHostDev, MS_REC);
  bind_mount("/etc", kHostEtc, MS_REC);

  mount_tmpfs("/dev", "755");
  for (const char* node : kKeptDevNodes)
    bind_entry(std::string(kHostDev) + "/" + node, std::string("/dev/") + node);
  // Terminals of the scenario's own: a fresh devpts instance, its ptmx as /dev/ptmx.
  must(mkdir("/dev/pts", 0755) == 0, "mkdir", "/dev/pts");
  must(mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") == 0,
       "mount devpts", "/dev/pts");
  must(mkdir("/dev/shm", 01777) == 0 && chmod("/dev/shm", 01777) == 0, "mkdir", "/dev/shm");
  const char* const links[][2] = {{"pts/ptmx", "/dev/ptmx"},
                                  {"/proc/self/fd", "/dev/fd"},
                                  {"/proc/self/fd/0", "/dev/stdin"},
                                  {"/proc/self/fd/1", "/dev/stdout"},
                                  {"/proc/self/fd/2", "/dev/stderr"}};
  for (const auto& link : links) must(symlink(link[0], link[1]) == 0, "symlink", link[1]);

  mount_tmpfs("/etc", "755");
  for (const char* file : kKeptEtcFiles)
    bind_entry(std::string(kHostEtc) + "/" + file, std::string("/etc/") + file);

  must(umount2(kHostDev, MNT_DETACH) == 0, "umount", kHostDev);
  must(umount2(kHostEtc, MNT_DETACH) == 0, "umount", kHostEtc);
  rmdir(kHostDev);
  rmdir(kHostEtc);

  must(exists("/sys/bus/pci/devices"), "find", "/sys/bus/pci/devices");
  mount_tmpfs("/sys/bus/pci/devices", "755");
  mount_tmpfs("/sys/class", "755");
  // The class-based layers' log directory (/var/log/zrv), made by every device object.
  must(mkdir("/var/log", 0755) == 0 || errno == EEXIST, "mkdir", "/var/log");
  mount_tmpfs("/var/log", "755");
  // Where lock files go when /tmp cannot have them.
  must(mkdir("/run", 0755) == 0 || errno == EEXIST, "mkdir", "/run");
  mount_tmpfs("/run", "755");
  cover_driver_paths();
  restore_kept_trees(kept);
  must(chdir("/") == 0, "chdir", "/");
}

void write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Frames of the child's report: one line each, "F text" a failure, "S text" a skip, "E" the end.
// Newlines inside a text travel as "\n" escapes so that one frame stays one line.
std::string frame(char kind, const std::string& text) {
  std::string out(1, kind);
  out += ' ';
  for (char c : text) out += (c == '\n') ? std::string("\\n") : std::string(1, c);
  out += '\n';
  return out;
}

class ReportToParent : public ::testing::EmptyTestEventListener {
 public:
  explicit ReportToParent(int fd) : fd_(fd) {}
  void OnTestPartResult(const ::testing::TestPartResult& r) override {
    std::string where = r.file_name() ? std::string(r.file_name()) + ":" +
                                            std::to_string(r.line_number()) + ": "
                                      : std::string();
    if (r.failed()) write_all(fd_, frame('F', where + r.message()));
    else if (r.skipped()) write_all(fd_, frame('S', r.message()));
  }

 private:
  int fd_;
};

// Runs in the child; never returns.
[[noreturn]] void child_main(int fd, const std::function<void()>& scenario, bool probe_only) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  setpgid(0, 0);
  try {
    if (probe_only)
      probe_private_system();
    else
      enter_private_system();
  } catch (const std::exception& e) {
    write_all(fd, frame(probe_only ? 'S' : 'F', e.what()));
    _exit(3);
  }
  if (!probe_only) {
    // The parent prints what the child reports; the child's own printer would repeat it.
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new ReportToParent(fd));
    try {
      scenario();
    } catch (const std::exception& e) {
      write_all(fd, frame('F', std::string("uncaught exception: ") + e.what()));
    } catch (...) {
      write_all(fd, frame('F', "uncaught exception of unknown type"));
    }
  }
  fflush(stdout);
  fflush(stderr);
  write_all(fd, "E\n");
  _exit(0);
}

ScenarioResult run_child(const std::function<void()>& scenario, const ScenarioOptions& options,
                         bool probe_only) {
  ScenarioResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.messages = errno_text("pipe", "");
    return result;
  }
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    result.messages = errno_text("fork", "");
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    child_main(fds[1], scenario, probe_only);
  }
  close(fds[1]);
  setpgid(pid, pid);  // also done by the child; whichever runs first wins

  std::string report;
  bool timed_out = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) { timed_out = true; break; }
    pollfd p{fds[0], POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char buf[4096];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // every writer is gone
    report.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (timed_out) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  if (!timed_out) kill(-pid, SIGKILL);  // anything the scenario left running in its group
  result.exit_status = status;

  bool ended = false, failed = false;
  size_t pos = 0;
  while (pos < report.size()) {
    size_t eol = report.find('\n', pos);
    if (eol == std::string::npos) eol = report.size();
    std::string line = report.substr(pos, eol - pos);
    pos = eol + 1;
    if (line == "E") { ended = true; continue; }
    if (line.size() < 2) continue;
    std::string text = line.substr(2);
    for (size_t i = 0; (i = text.find("\\n", i)) != std::string::npos;) text.replace(i, 2, "\n");
    if (line[0] == 'F') failed = true;
    if (line[0] == 'S') result.skipped = true;
    result.messages += text + "\n";
  }
  if (timed_out) {
    failed = true;
    result.messages += "scenario timed out after " + std::to_string(options.timeout_seconds) +
                       " s and was killed\n";
  } else if (!ended) {
    failed = true;
    if (WIFSIGNALED(status))
      result.messages += std::string("scenario died of signal ") + strsignal(WTERMSIG(status)) + "\n";
    else
      result.messages += "scenario ended without finishing its report (exit status " +
                         std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")\n";
  }
  if (failed) result.skipped = false;  // a failure is never hidden behind a skip
  result.passed = ended && !failed && !result.skipped && WIFEXITED(status) &&
                  WEXITSTATUS(status) == 0;
  return result;
}

}  // namespace

const NamespaceSupport& private_namespace_support() {
  static const NamespaceSupport support = [] {
    NamespaceSupport s;
    if (geteuid() != 0) {
      s.reason = "private mount namespaces need root (effective uid " +
                 std::to_string(geteuid()) + ")";
      return s;
    }
    ScenarioOptions options;
    options.timeout_seconds = 20;
    ScenarioResult r = run_child([] {}, options, true);
    s.usable = r.passed;
    if (!s.usable)
      s.reason = "private mount namespace not usable here: " +
                 (r.messages.empty() ? std::string("probe failed") : r.messages);
    return s;
  }();
  return support;
}

ScenarioResult run_in_private_namespace(const std::function<void()>& scenario,
                                        const ScenarioOptions& options) {
  const NamespaceSupport& support = private_namespace_support();
  if (!support.usable) {
    ScenarioResult skipped;
    skipped.skipped = true;
    skipped.messages = support.reason;
    return skipped;
  }
  return run_child(scenario, options, false);
}

// ---- Builders ----

void make_dirs(const std::string& path, unsigned mode) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
      throw std::runtime_error(errno_text("mkdir", part));
  }
}

void add_file(const std::string& path, const std::string& contents, unsigned mode) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) make_dirs(path.substr(0, slash));
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, mode);
  must(fd >= 0, "create", path);
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      must(false, "write", path);
    }
    done += static_cast<size_t>(n);
  }
  must(fchmod(fd, mode) == 0, "chmod", path);
  close(fd);
}

// Only the captured stream is flushed: other streams' buffers stay as the code under test left
// them (a test may watch what a forked child does with them).
static void flush_stream(int fd) { fflush(fd == 1 ? stdout : stderr); }

CapturedStream::CapturedStream(int fd) : fd_(fd) {
  flush_stream(fd_);
  char tmpl[] = "/tmp/captured_stream_XXXXXX";
  file_ = mkstemp(tmpl);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  unlink(tmpl);
  saved_ = dup(fd_);
  dup2(file_, fd_);
}

CapturedStream::~CapturedStream() {
  text();
  close(file_);
}

std::string CapturedStream::text() {
  if (done_) return text_;
  flush_stream(fd_);
  dup2(saved_, fd_);
  close(saved_);
  done_ = true;
  char buf[4096];
  off_t pos = 0;
  ssize_t n;
  while ((n = pread(file_, buf, sizeof buf, pos)) > 0) {
    text_.append(buf, static_cast<size_t>(n));
    pos += n;
  }
  return text_;
}

std::string written_to(int fd, const std::function<void()>& what) {
  CapturedStream stream(fd);
  what();
  return stream.text();
}

long peak_memory_growth_kib(const std::function<void()>& what) {
  struct rusage before = {}, after = {};
  getrusage(RUSAGE_SELF, &before);
  what();
  getrusage(RUSAGE_SELF, &after);
  return after.ru_maxrss - before.ru_maxrss;
}

std::string read_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  must(fd >= 0, "open", path);
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      must(false, "read", path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

std::vector<uint8_t> make_config_header(const FakePciFunction& fn) {
  std::vector<uint8_t> c(256, 0);
  auto put16 = [&](size_t off, uint16_t v) {
    c[off] = static_cast<uint8_t>(v);
    c[off + 1] = static_cast<uint8_t>(v >> 8);
  };
  put16(0x00, fn.vendor);
  put16(0x02, fn.device);
  c[0x09] = static_cast<uint8_t>(fn.class_code);
  c[0x0A] = static_cast<uint8_t>(fn.class_code >> 8);
  c[0x0B] = static_cast<uint8_t>(fn.class_code >> 16);
  put16(0x2C, fn.subsystem_vendor);
  put16(0x2E, fn.subsystem_device);
  return c;
}

namespace {
std::string hex_line(unsigned value, int digits) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%0*x\n", digits, value);
  return buf;
}

void make_link(const std::string& target, const std::string& path) {
  must(symlink(target.c_str(), path.c_str()) == 0, "symlink", path);
}
}  // namespace

std::string add_pci_function(const FakePciFunction& fn) {
  const std::string dir = "/sys/bus/pci/devices/" + fn.address;
  if (fn.parent) {
    make_dirs("/sys/bus/pci/devices/" + *fn.parent + "/" + fn.address);
    make_link(*fn.parent + "/" + fn.address, dir);
  }
  make_dirs(dir);
  add_file(dir + "/vendor", hex_line(fn.vendor, 4));
  add_file(dir + "/device", hex_line(fn.device, 4));
  add_file(dir + "/class", hex_line(fn.class_code, 6));
  add_file(dir + "/subsystem_vendor", hex_line(fn.subsystem_vendor, 4));
  add_file(dir + "/subsystem_device", hex_line(fn.subsystem_device, 4));
  if (fn.numa_node) add_file(dir + "/numa_node", *fn.numa_node + "\n");

  std::vector<uint8_t> config = fn.config.empty() ? make_config_header(fn) : fn.config;
  add_file(dir + "/config", std::string(config.begin(), config.end()), 0644);

  if (fn.resource0_size != 0) {
    const std::string path = dir + "/resource0";
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
    must(fd >= 0, "create", path);
    int rc = ftruncate(fd, static_cast<off_t>(fn.resource0_size));
    int saved = errno;
    close(fd);
    errno = saved;
    must(rc == 0, "truncate", path);
    // The "resource" table: BAR0 first, then the other regions empty, as the kernel lists them.
    const unsigned long long start = 0xe0000000ull;
    char line[96];
    snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n", start,
             start + fn.resource0_size - 1, 0x140204ull);
    std::string table = line;
    for (int i = 0; i < 12; ++i)
      table += "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
    add_file(dir + "/resource", table);
  }

  if (fn.physfn) make_link("../" + *fn.physfn, dir + "/physfn");
  for (size_t i = 0; i < fn.virtfns.size(); ++i)
    make_link("../" + fn.virtfns[i], dir + "/virtfn" + std::to_string(i));
  for (const auto& name : fn.net) make_dirs(dir + "/net/" + name);
  for (const auto& name : fn.infiniband) make_dirs(dir + "/infiniband/" + name);
  return dir;
}

void add_rdma_class_device(const std::string& name, const std::string& address) {
  const std::string dir = "/sys/class/infiniband/" + name;
  make_dirs(dir);
  make_link("/sys/bus/pci/devices/" + address, dir + "/device");
}

std::string add_qdx_node(const std::string& name, const std::string& contents) {
  const std::string path = "/dev/qdx/" + name;
  add_file(path, contents, 0600);
  return path;
}

void write_zrv_conf(const std::string& contents) { add_file("/etc/zrv/zrv.conf", contents); }

namespace {

// Fills the empty directory `target` with the entries of the directory open as `source_fd`:
// directories (with everything mounted below them) and files are bound in, links copied.
void mirror_entries(int source_fd, const std::string& target) {
  int list_fd = dup(source_fd);
  must(list_fd >= 0, "dup", target);
  DIR* dir = fdopendir(list_fd);
  must(dir != nullptr, "fdopendir", target);
  const std::string source = "/proc/self/fd/" + std::to_string(source_fd) + "/";
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(source_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string to = target + "/" + name;
    if (S_ISLNK(st.st_mode)) {
      char link[4096];
      ssize_t n = readlinkat(source_fd, name.c_str(), link, sizeof link - 1);
      must(n >= 0, "readlink", source + name);
      link[n] = '\0';
      must(symlink(link, to.c_str()) == 0, "symlink", to);
    } else if (S_ISDIR(st.st_mode)) {
      must(mkdir(to.c_str(), st.st_mode & 07777) == 0, "mkdir", to);
      bind_mount(source + name, to, MS_REC);
    } else {
      int fd = open(to.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      must(fd >= 0, "create", to);
      close(fd);
      bind_mount(source + name, to);
    }
  }
  closedir(dir);
}

// Puts a tmpfs over the directory `path`, holding binds of what it held.
void shadow_directory(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  must(fd >= 0, "open", path);
  mount_tmpfs(path.c_str(), "755");
  mirror_entries(fd, path);
  close(fd);
}

// Moves the scenario into a tmpfs root holding binds of the old root's entries.
void shadow_root() {
  const std::string new_root = "/tmp/.vexil-root";
  const std::string old_root = new_root + "/.vexil-old-root";
  must(mkdir(new_root.c_str(), 0755) == 0, "mkdir", new_root);
  mount_tmpfs(new_root.c_str(), "755");
  int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  must(fd >= 0, "open", "/");
  mirror_entries(fd, new_root);
  close(fd);
  must(mkdir(old_root.c_str(), 0700) == 0, "mkdir", old_root);
  must(syscall(SYS_pivot_root, new_root.c_str(), old_root.c_str()) == 0, "pivot_root", new_root);
  must(chdir("/") == 0, "chdir", "/");
  // The old root stays mounted under the new one: the running program's path (/proc/self/exe)
  // must stay reachable.
  // Where the bound /tmp holds the new root once more, it goes.
  umount2(new_root.c_str(), MNT_DETACH);
  rmdir(new_root.c_str());
}

}  // namespace

void make_writable(const std::string& dir) {
  if (dir.empty() || dir[0] != '/') throw std::runtime_error("make_writable needs an absolute path: " + dir);
  std::string deepest = "/";
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    struct stat st;
    if (lstat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) break;
    deepest = part;
  }
  if (deepest == "/") shadow_root();
  else shadow_directory(deepest);
  make_dirs(dir);
}

}  // namespace vexil_test

namespace vexil_test {
namespace {

// Links in `to` for every entry of `from` but the listed ones.
void link_entries(const std::string& from, const std::string& to,
                  const std::vector<std::string>& except) {
  DIR* dir = opendir(from.c_str());
  must(dir != nullptr, "opendir", from);
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool skip = false;
    for (const std::string& x : except) skip = skip || x == name;
    if (!skip) make_link(from + "/" + name, to + "/" + name);
  }
  closedir(dir);
}

void overlay_directory(const std::string& dir) {
  static int count = 0;
  const std::string base = "/tmp/.vexil-overlay-" + std::to_string(count++);
  make_dirs(base + "/upper");
  make_dirs(base + "/work");
  const std::string options = "lowerdir=" + dir + ",upperdir=" + base + "/upper,workdir=" + base +
                              "/work";
  must(mount("overlay", dir.c_str(), "overlay", 0, options.c_str()) == 0, "mount overlay", dir);
}

bool on_fs(const char* path, unsigned long magic) {
  struct statfs st;
  return statfs(path, &st) == 0 && static_cast<unsigned long>(st.f_type) == magic;
}

}  // namespace

void enter_driver_platform() {
  const std::string real = "/tmp/.vexil-proc";
  make_dirs(real, 0755);
  bind_mount("/proc", real, MS_REC);
  mount_tmpfs("/proc", "755");
  link_entries(real, "/proc", {"modules", "driver", "sys"});
  add_file("/proc/modules", "");
  make_dirs("/proc/driver");
  make_dirs("/proc/sys/kernel");
  link_entries(real + "/sys", "/proc/sys", {"kernel"});
  link_entries(real + "/sys/kernel", "/proc/sys/kernel", {"modprobe"});
  add_file("/proc/sys/kernel/modprobe", std::string(kFakeModprobe) + "\n");
  make_dirs("/tmp/vexil-loaders");
  overlay_directory("/usr/bin");
  char* sbin = realpath("/sbin", nullptr);
  must(sbin != nullptr, "realpath", "/sbin");
  const std::string sbin_dir = sbin;
  free(sbin);
  if (sbin_dir != "/usr/bin") overlay_directory(sbin_dir);
}

bool driver_platform_is_private() {
  return on_fs("/dev", TMPFS_MAGIC) && on_fs("/proc", TMPFS_MAGIC) &&
         on_fs("/proc/driver", TMPFS_MAGIC) && on_fs("/sys/bus/pci/devices", TMPFS_MAGIC) &&
         on_fs("/usr/bin", OVERLAYFS_SUPER_MAGIC);
}

void set_proc_file(const std::string& path, const std::string& contents) {
  if (path.compare(0, 6, "/proc/") != 0 || !on_fs("/proc", TMPFS_MAGIC))
    throw std::runtime_error("set_proc_file outside a private /proc: " + path);
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
    must(unlink(path.c_str()) == 0, "unlink", path);
  add_file(path, contents);
}

void install_recording_loader(const std::string& path, int exit_status, bool lists_module) {
  std::string script = "#!/bin/sh\n";
  script += std::string("echo \"$0 $*\" >> ") + kLoaderCalls + "\n";
  script += std::string("/usr/bin/tr '\\0' ' ' < /proc/self/environ >> ") + kLoaderCalls + "\n";
  script += std::string("echo >> ") + kLoaderCalls + "\n";
  if (lists_module && exit_status == 0)
    script += "echo \"$(echo \"$1\" | /usr/bin/tr - _) 16384 0 - Live 0x0\" >> /proc/modules\n";
  script += "exit " + std::to_string(exit_status) + "\n";
  add_file(path, script, 0755);
}

}  // namespace vexil_test
