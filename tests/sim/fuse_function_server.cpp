#define FUSE_USE_VERSION 35
#include "fuse_function_server.h"

#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace vexil_sim {
namespace {

constexpr int kAnswerTimeoutMs = 10000;
constexpr auto kExitWait = std::chrono::seconds(5);

// Control requests; the first byte of each message.
enum Command : uint8_t {
  kGetKnobs = 'k', kSetKnobs = 'K', kGetStats = 's', kGetCounts = 'c',
  kGetImage = 'i', kSetImage = 'I', kReadSpace = 'r', kWriteSpace = 'w', kGetI2cMemory = 'm',
  kQuit = 'q',
};
constexpr uint8_t kAck = 'o';
constexpr uint8_t kReady = 'R';
constexpr uint8_t kFailed = 'F';

template <typename T>
void append(std::vector<uint8_t>& out, const T& value) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&value);
  out.insert(out.end(), p, p + sizeof value);
}

template <typename T>
T take(const std::vector<uint8_t>& in, size_t at) {
  T value{};
  if (in.size() >= at + sizeof value) std::memcpy(&value, in.data() + at, sizeof value);
  return value;
}

// ---- Server process ----

SimulatedAdapter& adapter_of(fuse_req_t req) {
  return *static_cast<SimulatedAdapter*>(fuse_req_userdata(req));
}

void reply_attr(fuse_req_t req) {
  struct stat st {};
  st.st_ino = FUSE_ROOT_ID;
  st.st_mode = S_IFREG | 0644;
  st.st_nlink = 1;
  st.st_size = adapter_of(req).config().config_size;
  fuse_reply_attr(req, &st, 0);
}

void op_getattr(fuse_req_t req, fuse_ino_t, fuse_file_info*) { reply_attr(req); }
void op_setattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) { reply_attr(req); }

void op_open(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  SimulatedAdapter& adapter = adapter_of(req);
  FaultKnobs knobs = adapter.knobs();
  if (knobs.opens_left == 0) {
    fuse_reply_err(req, EACCES);
    return;
  }
  if (knobs.opens_left > 0) {
    --knobs.opens_left;
    adapter.set_knobs(knobs);
  }
  fi->direct_io = 1;  // every read and write reaches the device model, none is cached
  fi->keep_cache = 0;
  fuse_reply_open(req, fi);
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info*) {
  if (off < 0 || off > UINT32_MAX) {
    fuse_reply_buf(req, nullptr, 0);
    return;
  }
  if (!adapter_of(req).begin_client_access(fuse_req_ctx(req)->pid)) {
    fuse_reply_err(req, EIO);
    return;
  }
  std::vector<uint8_t> bytes =
      adapter_of(req).config_read(static_cast<uint32_t>(off), static_cast<uint32_t>(size));
  fuse_reply_buf(req, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void op_write(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t off,
              fuse_file_info*) {
  if (off < 0 || off > UINT32_MAX) {
    fuse_reply_write(req, 0);
    return;
  }
  SimulatedAdapter& adapter = adapter_of(req);
  const pid_t client = fuse_req_ctx(req)->pid;
  if (!adapter.begin_client_access(client)) {
    fuse_reply_err(req, EIO);
    return;
  }
  const uint64_t commands = adapter.commands_started();
  uint32_t done = adapter.config_write(static_cast<uint32_t>(off),
                                       reinterpret_cast<const uint8_t*>(buf),
                                       static_cast<uint32_t>(size));
  adapter.end_client_write(client, commands);
  fuse_reply_write(req, done);
}

void op_ok(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }
void op_fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); }

std::vector<uint8_t> answer(SimulatedAdapter& adapter, const std::vector<uint8_t>& request) {
  std::vector<uint8_t> reply;
  if (request.empty()) return reply;
  adapter.set_requester(0);  // the test's own accesses come from the adapter's side
  const uint16_t id = take<uint16_t>(request, 1);
  switch (request[0]) {
    case kGetKnobs:
      append(reply, adapter.knobs());
      break;
    case kSetKnobs:
      adapter.set_knobs(take<FaultKnobs>(request, 1));
      reply.push_back(kAck);
      break;
    case kGetStats:
      append(reply, adapter.stats());
      break;
    case kGetCounts:
      append(reply, adapter.register_counts(id));
      break;
    case kGetImage: {
      std::vector<uint8_t> image = adapter.register_image(id);
      reply.push_back(kAck);  // never an empty message: that would read as a closed socket
      reply.insert(reply.end(), image.begin(), image.end());
      break;
    }
    case kGetI2cMemory: {
      std::vector<uint8_t> memory = adapter.i2c_memory(static_cast<uint8_t>(id));
      reply.push_back(kAck);  // never an empty message
      reply.insert(reply.end(), memory.begin(), memory.end());
      break;
    }
    case kSetImage:
      adapter.set_register_image(id, std::vector<uint8_t>(request.begin() + 3, request.end()));
      reply.push_back(kAck);
      break;
    case kReadSpace: {
      uint32_t value = 0;
      reply.push_back(adapter.read_space(id, take<uint32_t>(request, 3), value) ? 1 : 0);
      append(reply, value);
      break;
    }
    case kWriteSpace:
      reply.push_back(
          adapter.write_space(id, take<uint32_t>(request, 3), take<uint32_t>(request, 7)) ? 1 : 0);
      break;
    default:
      reply.push_back(kAck);
      break;
  }
  return reply;
}

void send_message(int fd, const std::vector<uint8_t>& message) {
  (void)send(fd, message.data(), message.size(), MSG_NOSIGNAL);
}

[[noreturn]] void serve(SimulatedAdapter& adapter, const std::string& mount_file, int control) {
  static const fuse_lowlevel_ops ops = [] {
    fuse_lowlevel_ops o{};
    o.getattr = op_getattr;
    o.setattr = op_setattr;
    o.open = op_open;
    o.read = op_read;
    o.write = op_write;
    o.flush = op_ok;
    o.release = op_ok;
    o.fsync = op_fsync;
    return o;
  }();
  char name[] = "vexil-sim";
  char* argv[] = {name, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, &adapter);
  if (!se || fuse_session_mount(se, mount_file.c_str()) != 0) {
    std::string why = std::string(1, char(kFailed)) + "cannot mount FUSE file " + mount_file;
    send_message(control, std::vector<uint8_t>(why.begin(), why.end()));
    _exit(2);
  }
  send_message(control, {kReady});

  fuse_buf buf{};
  bool quit_asked = false;
  while (!fuse_session_exited(se)) {
    pollfd fds[2] = {{fuse_session_fd(se), POLLIN, 0}, {control, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      std::vector<uint8_t> request(64 * 1024);
      ssize_t n = recv(control, request.data(), request.size(), 0);
      if (n <= 0) break;  // the test process is gone
      request.resize(static_cast<size_t>(n));
      if (request[0] == kQuit) {
        quit_asked = true;
        break;
      }
      send_message(control, answer(adapter, request));
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      int res = fuse_session_receive_buf(se, &buf);
      if (res == -EINTR || res == -EAGAIN) continue;
      if (res <= 0) break;  // unmounted or aborted
      fuse_session_process_buf(se, &buf);
    }
  }
  free(buf.mem);
  // Unmounting closes the session's descriptor, the last one on this connection: the kernel then
  // aborts it, so clients still holding the file get errors instead of waiting for us.
  fuse_session_unmount(se);
  fuse_session_destroy(se);
  if (quit_asked) send_message(control, {kAck});
  _exit(0);
}

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

bool wait_readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) return false;
    int r = poll(&p, 1, static_cast<int>(left));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

// ---- Test process side ----

std::string fuse_function_unavailable() {
  const vexil_test::NamespaceSupport& ns = vexil_test::private_namespace_support();
  if (!ns.usable) return ns.reason;
  return FuseFunctionServer::unavailable_reason();
}

std::string FuseFunctionServer::unavailable_reason() {
  if (geteuid() != 0) return "FUSE mounts need root here (effective uid " + std::to_string(geteuid()) + ")";
  int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno_text("FUSE unavailable: cannot open /dev/fuse");
  close(fd);
  return "";
}

FuseFunctionServer::FuseFunctionServer(SimulatedAdapter& adapter, const std::string& config_path)
    : config_path_(config_path) {
  static unsigned serial = 0;
  const std::string dir = "/tmp/vexil-sim";
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throw std::runtime_error(errno_text("mkdir " + dir));
  mount_file_ = dir + "/" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".config";
  int file = open(mount_file_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (file < 0) throw std::runtime_error(errno_text("create " + mount_file_));
  close(file);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
    throw std::runtime_error(errno_text("socketpair"));
  const pid_t parent = getpid();
  fflush(stdout);
  fflush(stderr);
  pid_ = fork();
  if (pid_ < 0) {
    close(pair[0]);
    close(pair[1]);
    throw std::runtime_error(errno_text("fork"));
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    // Hold nothing but the control socket and the standard streams: a copy of some other
    // descriptor (a file of this or another FUSE server, a test's pipe) must not live on in here.
    if (dup2(pair[1], 3) < 0) _exit(1);
    close_range(4, ~0u, 0);
    serve(adapter, mount_file_, 3);
  }
  close(pair[1]);
  control_fd_ = pair[0];

  std::vector<uint8_t> hello(512);
  ssize_t n = wait_readable(control_fd_, kAnswerTimeoutMs) ? recv(control_fd_, hello.data(), hello.size(), 0) : -1;
  if (n <= 0 || hello[0] != kReady) {
    std::string why = n > 1 ? std::string(hello.begin() + 1, hello.begin() + n) : "server did not start";
    stop();
    throw std::runtime_error(why);
  }
  if (mount(mount_file_.c_str(), config_path_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    std::string why = errno_text("bind " + mount_file_ + " over " + config_path_);
    stop();
    throw std::runtime_error(why);
  }
  bound_ = true;
}

FuseFunctionServer::~FuseFunctionServer() { stop(); }

void FuseFunctionServer::stop() {
  if (bound_) {
    umount2(config_path_.c_str(), MNT_DETACH);
    bound_ = false;
  }
  if (control_fd_ >= 0) {
    const uint8_t quit = kQuit;
    if (send(control_fd_, &quit, 1, MSG_NOSIGNAL) == 1 && wait_readable(control_fd_, kAnswerTimeoutMs)) {
      uint8_t ack;
      (void)recv(control_fd_, &ack, 1, 0);
    }
    close(control_fd_);
    control_fd_ = -1;
  }
  if (pid_ > 0) {
    auto deadline = std::chrono::steady_clock::now() + kExitWait;
    int status;
    for (;;) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) break;
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);  // the server process we forked, by its id
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
  }
  if (!mount_file_.empty()) {
    umount2(mount_file_.c_str(), MNT_DETACH);  // normally already gone with the server
    unlink(mount_file_.c_str());
    mount_file_.clear();
  }
}

std::vector<uint8_t> FuseFunctionServer::call(const std::vector<uint8_t>& request) {
  if (control_fd_ < 0) throw std::runtime_error("simulated adapter server is stopped");
  if (send(control_fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
    throw std::runtime_error(errno_text("send to simulated adapter server"));
  if (!wait_readable(control_fd_, kAnswerTimeoutMs))
    throw std::runtime_error("simulated adapter server did not answer");
  std::vector<uint8_t> reply(64 * 1024 + 64);  // room for a 64 KiB secondary and its mark
  ssize_t n = recv(control_fd_, reply.data(), reply.size(), 0);
  if (n < 0) throw std::runtime_error(errno_text("receive from simulated adapter server"));
  reply.resize(static_cast<size_t>(n));
  return reply;
}

namespace {
std::vector<uint8_t> request_for(uint8_t command, uint16_t id) {
  std::vector<uint8_t> r{command};
  append(r, id);
  return r;
}
}  // namespace

FaultKnobs FuseFunctionServer::knobs() { return take<FaultKnobs>(call({kGetKnobs}), 0); }

void FuseFunctionServer::set_knobs(const FaultKnobs& knobs) {
  std::vector<uint8_t> r{kSetKnobs};
  append(r, knobs);
  call(r);
}

AdapterStats FuseFunctionServer::stats() { return take<AdapterStats>(call({kGetStats}), 0); }

RegisterCounts FuseFunctionServer::register_counts(uint16_t register_id) {
  return take<RegisterCounts>(call(request_for(kGetCounts, register_id)), 0);
}

std::vector<uint8_t> FuseFunctionServer::register_image(uint16_t register_id) {
  std::vector<uint8_t> reply = call(request_for(kGetImage, register_id));
  if (reply.empty()) throw std::runtime_error("simulated adapter server sent no image");
  return std::vector<uint8_t>(reply.begin() + 1, reply.end());
}

std::vector<uint8_t> FuseFunctionServer::i2c_memory(uint8_t address) {
  std::vector<uint8_t> reply = call(request_for(kGetI2cMemory, address));
  if (reply.empty()) throw std::runtime_error("simulated adapter server sent no memory");
  return std::vector<uint8_t>(reply.begin() + 1, reply.end());
}

void FuseFunctionServer::set_register_image(uint16_t register_id, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> r = request_for(kSetImage, register_id);
  r.insert(r.end(), image.begin(), image.end());
  call(r);
}

bool FuseFunctionServer::read_space(uint16_t space, uint32_t address, uint32_t& value) {
  std::vector<uint8_t> r = request_for(kReadSpace, space);
  append(r, address);
  std::vector<uint8_t> reply = call(r);
  value = take<uint32_t>(reply, 1);
  return !reply.empty() && reply[0] == 1;
}

bool FuseFunctionServer::write_space(uint16_t space, uint32_t address, uint32_t value) {
  std::vector<uint8_t> r = request_for(kWriteSpace, space);
  append(r, address);
  append(r, value);
  std::vector<uint8_t> reply = call(r);
  return !reply.empty() && reply[0] == 1;
}

std::unique_ptr<FuseFunctionServer> serve_fake_function(SimulatedAdapter& adapter,
                                                        vexil_test::FakePciFunction function) {
  const FunctionConfig& cfg = adapter.config();
  function.vendor = cfg.vendor;
  function.device = cfg.device;
  function.class_code = cfg.class_code;
  function.subsystem_vendor = cfg.subsystem_vendor;
  function.subsystem_device = cfg.subsystem_device;
  function.config.clear();
  const std::string dir = vexil_test::add_pci_function(function);
  return std::make_unique<FuseFunctionServer>(adapter, dir + "/config");
}

}  // namespace vexil_sim
