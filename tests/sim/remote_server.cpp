#include "remote_server.h"

#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace vexil_sim {

namespace {

constexpr uint32_t kCableSize = 0x10000;
constexpr uint32_t kI2cBlockMax = 256;
constexpr uint32_t kI2cGateway = 0xF0180;           // gateway 0 of most adapters
constexpr uint32_t kI2cGatewayLarge = 0xF0800;      // ... of those with a table of their own
constexpr int kI2cGatewayPolls = 1000;
constexpr uint32_t kIcmdTicket = 0x5EEDu;
constexpr int kIcmdPolls = 1000;

// ICMD status to the code the server reports (the client's error codes from 0x200 on).
uint32_t icmd_code(uint8_t status) {
  static const uint32_t codes[] = {0, 513, 514, 515, 516, 517, 526, 527};
  return status < 8 ? codes[status] : 525;
}

std::string hex_of(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0xF];
  }
  return text;
}

bool bytes_of(const std::string& hex, std::vector<uint8_t>& out) {
  if (hex.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    char pair[3] = {hex[i], hex[i + 1], 0};
    char* end = nullptr;
    unsigned long v = std::strtoul(pair, &end, 16);
    if (*end) return false;
    out.push_back(static_cast<uint8_t>(v));
  }
  return true;
}

std::vector<std::string> split(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool number(const std::string& text, uint32_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end || v > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

std::string hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", v);
  return text;
}

ScriptedReply say(const std::string& text) { return ScriptedReply{text, true, false}; }
const ScriptedReply kRefuse = say("E");

}  // namespace

struct RemoteServer::Session {
  uint16_t space = kSpaceCr;
  bool closing = false;
  bool twice = false;  // the answer being sent goes out twice
  bool late = false;   // the copy waits for the next request
  std::string copy;    // a late copy waiting for the next request
};

RemoteServer::RemoteServer(SimulatedAdapter& adapter, const RemoteServerConfig& config)
    : adapter_(adapter), config_(config), cable_(kCableSize, 0) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 ||
      ::listen(listener_, 8) < 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
    const int err = errno;
    ::close(listener_);
    throw std::runtime_error("listen: " + std::string(std::strerror(err)));
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

RemoteServer::~RemoteServer() { stop(); }

std::string RemoteServer::device_name(const std::string& device) const {
  return "127.0.0.1:" + std::to_string(port_) + "," + device;
}

void RemoteServer::stop() {
  if (stopping_.exchange(true)) return;
  ::shutdown(listener_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  ::close(listener_);
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
}

void RemoteServer::accept_loop() {
  while (!stopping_) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // the listener was shut down
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    ++connections_;
    open_fds_.push_back(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void RemoteServer::serve(int fd) {
  Session session;
  std::string request;
  while (!session.closing) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c != '\0') {
      request += c;
      continue;
    }
    const ScriptedReply reply = answer(session, request);
    const bool sent = hold_back(request);
    request.clear();
    if (!sent) continue;
    std::string bytes = reply.text;
    if (reply.terminate) bytes += '\0';
    const std::string answer_bytes = bytes;
    bytes = session.copy + bytes;
    session.copy.clear();
    if (session.twice && session.late) session.copy = answer_bytes;
    else if (session.twice) bytes += answer_bytes;
    session.twice = false;
    if (!bytes.empty() && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) break;
    if (reply.hang_up) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = open_fds_.begin(); it != open_fds_.end(); ++it) {
    if (*it == fd) {
      open_fds_.erase(it);
      break;
    }
  }
  ::close(fd);
}

// Carries out the hold of a request that matches it: the signal, then the delay. False when the
// reply is never to be sent.
bool RemoteServer::hold_back(const std::string& request) {
  HeldReply held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.request.empty() || request != held_.request) return true;
    int seen = 0;
    for (const std::string& r : requests_) seen += r == request;
    if (seen != held_.nth) return true;
    held = held_;
  }
  if (held.signal) {
    // The client may still be starting; its pid comes from the one who started it.
    for (int waited = 0; client_ == 0 && waited < 5000; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (client_ != 0) ::kill(client_, held.signal);
  }
  if (held.delay_ms < 0) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(held.delay_ms));
  return true;
}

void RemoteServer::hold_reply(const HeldReply& held) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = held;
}

void RemoteServer::set_client(pid_t pid) { client_ = pid; }

int RemoteServer::count(const std::string& request) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const std::string& r : requests_) n += r == request;
  return n;
}

void RemoteServer::inject(char command, const ScriptedReply& reply, int times, int after) {
  std::lock_guard<std::mutex> lock(mutex_);
  ScriptedReply own;
  own.own = true;
  for (int i = 0; i < after; ++i) injected_[command].push_back(own);
  for (int i = 0; i < times; ++i) injected_[command].push_back(reply);
}

bool RemoteServer::scripted(char command, ScriptedReply& reply) {
  auto it = injected_.find(command);
  if (it == injected_.end() || it->second.empty()) return false;
  reply = it->second.front();
  it->second.pop_front();
  return !reply.own;
}

std::vector<std::string> RemoteServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void RemoteServer::clear_requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

int RemoteServer::count(char command) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const std::string& r : requests_) n += !r.empty() && r[0] == command;
  return n;
}

int RemoteServer::forced_i2c_address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return forced_i2c_;
}

int RemoteServer::secondary_address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return secondary_;
}

std::vector<uint8_t> RemoteServer::cable_bytes(uint32_t address, uint32_t length) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (address > kCableSize || length > kCableSize - address) return {};
  return std::vector<uint8_t>(cable_.begin() + address, cable_.begin() + address + length);
}

void RemoteServer::set_cable_bytes(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < bytes.size() && address + i < kCableSize; ++i)
    cable_[address + i] = bytes[i];
}

// The minor version a request needs; a server below it does not know the request.
int RemoteServer::minimum_minor(char command) const {
  switch (command) {
    case 'B':
    case 'U':
      return 2;
    case 'A':
      return 4;
    case 'I':
      return 5;
    case 'D':
      return 6;
    case 's':
      return 7;
    default:
      return 0;
  }
}

ScriptedReply RemoteServer::answer(Session& session, const std::string& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(request);
  const char command = request.empty() ? '\0' : request[0];
  ScriptedReply reply;
  if (scripted(command, reply)) {
    if (command == 'C') session.closing = true;
    return reply;
  }
  session.twice = reply.twice;
  session.late = reply.late;
  const int minor = config_.old_server ? 0 : config_.minor;
  if (minor < minimum_minor(command)) return kRefuse;
  const std::vector<std::string> words = split(request);
  uint32_t a = 0, b = 0, c = 0, d = 0;

  switch (command) {
    case 'V': {
      if (config_.old_server) return say("E unknown command");
      return say("O " + std::to_string(config_.major) + "." + std::to_string(config_.minor));
    }
    case 'i':
      if (words.size() == 2 && number(words[1], a)) forced_i2c_ = static_cast<int>(a);
      return ScriptedReply{"", false, false};  // no reply to this one
    case 'O': {
      // "O 0x%08x <device>": the device name is the rest after the width code and one blank.
      const size_t at = request.find(' ', 2);
      const std::string device = at == std::string::npos ? "" : request.substr(at + 1);
      if (!config_.device.empty() && device != config_.device) return say("E no such device");
      if (minor >= 4) return say(std::string("O ") + (config_.functional_vsc ? "1" : "0"));
      return say("O");
    }
    case 'C':
      session.closing = true;
      return say("O");
    case 'D':
      if (!adapter_.read_space(kSpaceCr, CrSpace::kHwIdAddress, a)) return kRefuse;
      return say("O " + hex32(a));
    case 'A':
      if (words.size() != 2 || !number(words[1], a) || a > 0xFFFF ||
          !adapter_.read_space(static_cast<uint16_t>(a), 0, b))
        return kRefuse;
      session.space = static_cast<uint16_t>(a);
      return say("O");
    case 'R':
      if (words.size() != 2 || !number(words[1], a) || !adapter_.read_space(session.space, a, b))
        return kRefuse;
      return say("O " + hex32(b));
    case 'W':
      if (words.size() != 3 || !number(words[1], a) || !number(words[2], b) ||
          !adapter_.write_space(session.space, a, b))
        return kRefuse;
      return say("O");
    case 'B': {
      if (words.size() != 3 || !number(words[1], a) || !number(words[2], b) || b % 4) return kRefuse;
      std::string text = "O";
      for (uint32_t i = 0; i < b / 4; ++i) {
        if (!adapter_.read_space(session.space, a + 4 * i, c)) return kRefuse;
        text += " " + hex32(c);
      }
      return say(text);
    }
    case 'U': {
      if (words.size() < 3 || !number(words[1], a) || !number(words[2], b)) return kRefuse;
      const uint32_t whole = b / 4, tail = b % 4;
      if (words.size() != 3 + whole + (tail ? 1 : 0)) return kRefuse;
      for (uint32_t i = 0; i < whole; ++i) {
        if (!number(words[3 + i], c) || !adapter_.write_space(session.space, a + 4 * i, c))
          return kRefuse;
      }
      if (tail) {
        // The tail's bytes come last to first: as a number they are the dword's low bytes.
        const uint32_t at = a + 4 * whole;
        const uint32_t mask = (1u << (8 * tail)) - 1;
        if (!number(words.back(), c) || c > mask || !adapter_.read_space(session.space, at, d) ||
            !adapter_.write_space(session.space, at, (d & ~mask) | c))
          return kRefuse;
      }
      return say("O");
    }
    case 's':
      if (words.size() != 2 || !number(words[1], a) || a > 0x7F) return kRefuse;
      secondary_ = static_cast<int>(a);
      return say("O");
    case 'r':
    case 'w': {
      // width, secondary, length, address [, bytes]
      if (words.size() < 5 || !number(words[1], d) || !number(words[2], a) || a > 0x7F ||
          !number(words[3], b) || !number(words[4], c) || b > kI2cBlockMax ||
          (d != 0 && d != 1 && d != 2 && d != 4))
        return kRefuse;
      std::vector<uint8_t> bytes(b, 0);
      if (command == 'w' &&
          (words.size() != 6 || !bytes_of(words[5], bytes) || bytes.size() != b))
        return kRefuse;
      if (!i2c(static_cast<uint8_t>(a), d, c, bytes, command == 'w')) return kRefuse;
      if (command == 'w') return say("O");
      return say("O" + std::to_string(b) + " " + hex_of(bytes));
    }
    case 'S': {
      std::string text = "O";
      for (uint8_t secondary = 0; secondary < 128; ++secondary) {
        std::vector<uint8_t> probe(1);
        if (i2c(secondary, 0, 0, probe, false)) text += " " + std::to_string(secondary);
      }
      return say(text);
    }
    case 'x':
    case 'X': {
      if (words.size() < 3 || !number(words[1], a) || !number(words[2], b) || a > kCableSize ||
          b > kCableSize - a)
        return kRefuse;
      if (command == 'x') {
        std::vector<uint8_t> bytes(cable_.begin() + a, cable_.begin() + a + b);
        return say("O 0x" + hex_of(bytes));
      }
      std::vector<uint8_t> bytes;
      if (words.size() != 4 || words[3].compare(0, 2, "0x") != 0 ||
          !bytes_of(words[3].substr(2), bytes) || bytes.size() != b)
        return kRefuse;
      std::copy(bytes.begin(), bytes.end(), cable_.begin() + a);
      return say("O");
    }
    case 'I':
      return say(icmd(request));
    default:
      return kRefuse;
  }
}

// "I 0x<opcode> 0x<size> W 0x<bytes>" or "... R": runs the command through the adapter's ICMD
// mailbox as a client of its spaces would - semaphore, buffer, opcode and busy bit, polling,
// status and syndrome, the buffer read back - and answers "O <hex>" or "E <code> [<syndrome>]".
std::string RemoteServer::icmd(const std::string& request) {
  const std::vector<std::string> words = split(request);
  uint32_t opcode = 0, size = 0, v = 0;
  if (words.size() < 4 || !number(words[1], opcode) || !number(words[2], size) ||
      opcode > 0xFFFF || (words[3] != "W" && words[3] != "R"))
    return "E 0x204 0x0";
  std::vector<uint8_t> bytes(size, 0);
  if (words[3] == "W") {
    if (words.size() != 5 || words[4].compare(0, 2, "0x") != 0 ||
        !bytes_of(words[4].substr(2), bytes) || bytes.size() != size)
      return "E 0x204 0x0";
  }
  const bool with_syndrome = config_.minor >= 6;
  auto error = [&](uint32_t code, uint32_t syndrome) {
    char text[48];
    if (with_syndrome)
      std::snprintf(text, sizeof(text), "E 0x%x 0x%x", code, syndrome);
    else
      std::snprintf(text, sizeof(text), "E 0x%x", code);
    return std::string(text);
  };

  if (!adapter_.write_space(kSpaceSemaphore, 0, kIcmdTicket) ||
      !adapter_.read_space(kSpaceSemaphore, 0, v) || v != kIcmdTicket)
    return error(520, 0);  // the ICMD semaphore is held by someone else
  auto release = [&] { adapter_.write_space(kSpaceSemaphore, 0, 0); };

  const uint32_t dwords = (size + 3) / 4;
  if (words[3] == "W") {
    bytes.resize(dwords * 4, 0);
    for (uint32_t i = 0; i < dwords; ++i) {
      const uint8_t* p = bytes.data() + 4 * i;
      const uint32_t word = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
      if (!adapter_.write_space(kSpaceIcmd, IcmdMailbox::kBufferAddress + 4 * i, word)) {
        release();
        return error(528, 0);  // larger than the mailbox
      }
    }
  }
  uint32_t ctrl = 0;
  adapter_.read_space(kSpaceIcmd, IcmdMailbox::kCtrlAddress, ctrl);
  adapter_.write_space(kSpaceIcmd, IcmdMailbox::kCtrlAddress, opcode << 16 | (ctrl & 0xFCu) | 1u);
  int polls = 0;
  do {
    adapter_.read_space(kSpaceIcmd, IcmdMailbox::kCtrlAddress, ctrl);
  } while ((ctrl & 1u) && ++polls < kIcmdPolls);
  if (ctrl & 1u) {
    release();
    return error(521, 0);  // timed out
  }
  const uint8_t status = static_cast<uint8_t>(ctrl >> 8);
  if (status) {
    uint32_t syndrome = 0;
    adapter_.read_space(kSpaceIcmd, IcmdMailbox::kSyndromeAddress, syndrome);
    release();
    return error(icmd_code(status), syndrome);
  }
  std::vector<uint8_t> out;
  for (uint32_t i = 0; i < dwords; ++i) {
    if (!adapter_.read_space(kSpaceIcmd, IcmdMailbox::kBufferAddress + 4 * i, v)) {
      release();
      return error(528, 0);
    }
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  }
  release();
  out.resize(size);
  return std::string(config_.icmd_reply_0x ? "O 0x" : "O ") + hex_of(out);
}

// One command of the I2C primary gateway: the result bits (7 done, 6 not acknowledged), -1 when
// the gateway does not answer or never finishes.
int RemoteServer::i2c_gateway_command(uint32_t gateway, uint32_t ctrl) {
  uint32_t status = 0;
  if (!adapter_.write_space(kSpaceCr, gateway, ctrl)) return -1;
  for (int polls = 0; polls < kI2cGatewayPolls; ++polls) {
    if (!adapter_.read_space(kSpaceCr, gateway, status)) return -1;
    if (!(status & 0xE0000000u)) return static_cast<int>((status >> 16) & 7);
  }
  return -1;
}

// The server's own client of the gateway: enable it, send the offset's `width` bytes (most
// significant first), move the data in pieces of up to 4 bytes, stop.
bool RemoteServer::i2c(uint8_t secondary, uint32_t width, uint32_t offset, std::vector<uint8_t>& bytes,
                       bool write) {
  uint32_t id = 0, enable = 0;
  if (!adapter_.read_space(kSpaceCr, CrSpace::kHwIdAddress, id)) return false;
  id &= 0xFFFF;
  const bool large = id == 0x1FF || id == 0x209 || id == 0x20B || id == 0x247 || id == 0x249 || id == 0x24B;
  const uint32_t gw = large ? kI2cGatewayLarge : kI2cGateway;
  if (!adapter_.read_space(kSpaceCr, gw + 12, enable) ||
      !adapter_.write_space(kSpaceCr, gw + 12, enable | 1u << 22))
    return false;
  auto transfer = [&](const uint8_t* out, uint8_t* in, uint32_t n) {
    uint32_t data = 0;
    for (uint32_t i = 0; out && i < n; ++i) data |= uint32_t(out[i]) << (24 - 8 * i);
    if (out && !adapter_.write_space(kSpaceCr, gw + 4, data)) return false;
    const uint32_t command = out ? 0x40000000u : 0x20000000u;
    if (i2c_gateway_command(gw, secondary | command | (n - 1) << 22) != 7) return false;
    if (in && !adapter_.read_space(kSpaceCr, gw + 4, data)) return false;
    for (uint32_t i = 0; in && i < n; ++i) in[i] = static_cast<uint8_t>(data >> (24 - 8 * i));
    return true;
  };
  uint8_t encoded[4];
  for (uint32_t i = 0; i < width; ++i) encoded[i] = static_cast<uint8_t>(offset >> (8 * (width - 1 - i)));
  bool ok = width == 0 || transfer(encoded, nullptr, width);
  for (size_t at = 0; ok && at < bytes.size(); at += 4) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(4, bytes.size() - at));
    ok = write ? transfer(bytes.data() + at, nullptr, n) : transfer(nullptr, bytes.data() + at, n);
  }
  i2c_gateway_command(gw, secondary | 0x60000000u);
  return ok;
}

}  // namespace vexil_sim
