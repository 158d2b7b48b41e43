// The simulated adapter's network front end: a loopback TCP server (127.0.0.1, an ephemeral
// port) that speaks the remote access protocol - NUL-terminated text requests, one reply each -
// in front of a SimulatedAdapter. Dword, block and address-space requests reach the adapter's
// spaces as its window would, "I" runs the adapter's ICMD firmware, "r"/"w"/"S" drive the
// adapter's I2C primary gateway in CR space (the secondaries are the adapter's, see i2c_bus()) and
// "x"/"X" reach a cable memory. Tests choose the version the server reports, the
// functional-VSC flag of its open reply, and inject faulty replies for any request.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "simulated_adapter.h"

namespace vexil_sim {

// A reply sent instead of the server's own.
struct ScriptedReply {
  std::string text;        // the bytes sent
  bool terminate = true;   // followed by the NUL that ends a message
  bool hang_up = false;    // the connection is closed right after
  bool own = false;        // the server answers itself (lets a later request get the reply)
  bool twice = false;      // with `own`: that answer is sent twice, the second one unrequested
  bool late = false;       // with `twice`: the copy goes out only once the next request has come,
                           // right before that request's own answer
};

// The reply to one request held back: the `nth` (from 1) of the requests equal to `request`. The
// request is carried out at once; then `signal` (when not 0) goes to the client process (see
// RemoteServer::set_client), and the reply follows `delay_ms` later, or never when it is negative.
struct HeldReply {
  std::string request;
  int nth = 1;
  int delay_ms = 0;
  int signal = 0;
};

struct RemoteServerConfig {
  int major = 1;
  int minor = 7;
  bool old_server = false;     // "V" gets "E": a server from before the version query (1.0)
  bool functional_vsc = true;  // the flag in the open reply (servers from minor 4 on)
  std::string device;          // the only device name "O" opens; empty opens any
  bool icmd_reply_0x = false;  // ICMD replies as "O 0x<hex>" rather than "O <hex>"
};

class RemoteServer {
 public:
  // Starts listening at once; the adapter must outlive the server.
  explicit RemoteServer(SimulatedAdapter& adapter, const RemoteServerConfig& config = {});
  ~RemoteServer();
  RemoteServer(const RemoteServer&) = delete;
  RemoteServer& operator=(const RemoteServer&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port>," followed by the device name: the name a client opens.
  std::string device_name(const std::string& device) const;
  // Closes the listener and every connection and waits for their threads.
  void stop();

  // The next `times` requests whose first character is `command` get `reply` instead of the
  // server's own answer (and are not carried out), after `after` such requests answered as usual.
  void inject(char command, const ScriptedReply& reply, int times = 1, int after = 0);
  // Every request received, in order, as sent (without the NUL).
  std::vector<std::string> requests() const;
  void clear_requests();
  // How many of the requests began with `command`; were exactly `request`.
  int count(char command) const;
  int count(const std::string& request) const;
  // Holds back one reply (replacing any earlier hold), and names the process its signal goes to.
  void hold_reply(const HeldReply& held);
  void set_client(pid_t pid);
  int connections() const { return connections_.load(); }
  // The forced I2C address of the last "i" request (-1 when none came) and the secondary address
  // of the last "s" request (-1 when none came).
  int forced_i2c_address() const;
  int secondary_address() const;

  // The cable memory of "x"/"X" (64 KiB, zero at start).
  std::vector<uint8_t> cable_bytes(uint32_t address, uint32_t length) const;
  void set_cable_bytes(uint32_t address, const std::vector<uint8_t>& bytes);

 private:
  struct Session;
  void accept_loop();
  void serve(int fd);
  // The reply to one request; empty `reply.text` with `terminate` false means "no reply".
  ScriptedReply answer(Session& session, const std::string& request);
  bool scripted(char command, ScriptedReply& reply);
  bool hold_back(const std::string& request);
  std::string icmd(const std::string& request);
  // One I2C block (width offset bytes, then the data) or one probe through the I2C gateway.
  bool i2c(uint8_t secondary, uint32_t width, uint32_t offset, std::vector<uint8_t>& bytes, bool write);
  int i2c_gateway_command(uint32_t gateway, uint32_t ctrl);
  int minimum_minor(char command) const;

  SimulatedAdapter& adapter_;
  RemoteServerConfig config_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;

  mutable std::mutex mutex_;  // guards everything below and every adapter access
  std::vector<std::thread> workers_;
  std::vector<int> open_fds_;
  std::vector<std::string> requests_;
  std::map<char, std::deque<ScriptedReply>> injected_;
  std::vector<uint8_t> cable_;
  int forced_i2c_ = -1;
  int secondary_ = -1;
  HeldReply held_;
  std::atomic<pid_t> client_{0};
};

}  // namespace vexil_sim
