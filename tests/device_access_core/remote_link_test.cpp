// The wire under the remote protocol: message framing on real sockets and pipes, the forking
// server side on a loopback port, the SIGPIPE handler, the SSH_TIMEOUT setting and the log.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "remote_link.h"
#include "remote_test_support.h"

namespace {

using vexil_test::CapturedStream;
using remote_test::ScopedEnv;

class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
  void TearDown() override {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  void send_raw(const std::string& bytes) {
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  int fds[2] = {-1, -1};
};

TEST_F(SocketPair, MessagesEndAtTheirNul) {
  ASSERT_EQ(writes(fds[1], "O 1.5"), 6);
  ASSERT_EQ(writes(fds[1], ""), 1);
  send_raw(std::string("R 0x10\0", 7));
  char buf[32];
  EXPECT_EQ(tcp_reads(fds[0], buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "O 1.5");
  EXPECT_EQ(tcp_reads(fds[0], buf, sizeof(buf)), 0) << "an empty message";
  EXPECT_EQ(tcp_reads(fds[0], buf, sizeof(buf)), 6);
  EXPECT_STREQ(buf, "R 0x10");
}

TEST_F(SocketPair, OverlongMessageIsDrainedSoTheNextOneIsWhole) {
  send_raw(std::string("abcdefghij\0next\0", 16));
  char buf[5];
  errno = 0;
  EXPECT_EQ(tcp_reads(fds[0], buf, sizeof(buf)), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_STREQ(buf, "abcd") << "cut, terminated, within the buffer";
  EXPECT_EQ(tcp_reads(fds[0], buf, sizeof(buf)), 4);
  EXPECT_STREQ(buf, "next");
}

TEST_F(SocketPair, EndOfStreamInsideAMessageIsAFailure) {
  send_raw("O 0x12");
  close(fds[1]);
  fds[1] = -1;
  char buf[32];
  errno = 0;
  EXPECT_EQ(tcp_reads(fds[0], buf, sizeof(buf)), -1);
  EXPECT_EQ(errno, ECONNRESET);
  EXPECT_EQ(tcp_reads(fds[0], buf, sizeof(buf)), -1) << "and at once again, never a loop";
}

TEST_F(SocketPair, WritingToAVanishedPeerFailsWithoutASignal) {
  close(fds[0]);
  fds[0] = -1;
  errno = 0;
  EXPECT_EQ(writes(fds[1], "W 0x0 0x1"), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST(RemoteFraming, PipesCarryMessagesToo) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(writen(p[1], "ab\0cd", 5), 5);
  EXPECT_EQ(writes(p[1], "ef"), 3);
  close(p[1]);
  char buf[8];
  EXPECT_EQ(reads(p[0], buf, sizeof(buf)), 2);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(tcp_reads(p[0], buf, sizeof(buf)), 4) << "recv's refusal of a pipe falls back to read";
  EXPECT_STREQ(buf, "cdef");
  close(p[0]);
}

// A remote handle connected over loopback TCP to a peer that sends raw bytes: the handle's
// replies are split out of its connection buffer.
class LoopbackConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    handle->sock_fd = open_cli_connection("127.0.0.1", ntohs(addr.sin_port));
    peer = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(handle->sock_fd, 0);
    ASSERT_GE(peer, 0);
    const int on = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));  // each send its own segment
    handle->remote.connected = 1;
  }
  void TearDown() override {
    if (peer >= 0) close(peer);  // before the handle says goodbye
  }
  void send_raw(const std::string& bytes) {
    ASSERT_EQ(send(peer, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
  }
  void hang_up() {
    close(peer);
    peer = -1;
  }
  // Bytes waiting in the handle's socket, once `want` of them have arrived or reading has drained it.
  int queued(int want = 0) {
    int n = -1;
    for (int i = 0; i < 2000; ++i) {
      if (ioctl(handle->sock_fd, SIOCINQ, &n) != 0 || n == want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return n;
  }
  std::string read_reply(int size = 64) {
    std::string buf(size, 'Z');
    const int rc = remote_read(handle.get(), &buf[0], size);
    return rc < 0 ? "<" + std::string(strerror(errno)) + ">" + buf.c_str() : buf.c_str();
  }
  remote_test::RemoteHandle handle;
  int peer = -1;
};

TEST_F(LoopbackConnection, OneReadTakesWhatTheSocketHoldsAndLaterMessagesWaitInTheBuffer) {
  send_raw(std::string("O 1\0O 2\0", 8));
  ASSERT_EQ(queued(8), 8);
  EXPECT_EQ(read_reply(), "O 1");
  EXPECT_EQ(queued(), 0) << "the whole segment left the socket in one read";
  hang_up();
  EXPECT_EQ(read_reply(), "O 2") << "the second message was kept for the next read";
  EXPECT_EQ(read_reply(), "<" + std::string(strerror(ECONNRESET)) + ">");
  EXPECT_EQ(handle->remote.connected, 0);
  EXPECT_EQ(handle->remote.rx_buf, nullptr) << "the buffer goes with the connection";
}

TEST_F(LoopbackConnection, MessageSplitAcrossSegmentsIsJoined) {
  std::string first;
  std::thread reader([&] { first = read_reply(); });
  send_raw("O 0x");
  queued();  // the reader has taken the first piece and waits for more
  send_raw("12");
  queued();
  send_raw(std::string("34\0O 5", 6));
  queued();
  send_raw(std::string("6\0", 2));
  reader.join();
  EXPECT_EQ(first, "O 0x1234");
  EXPECT_EQ(read_reply(), "O 56");
}

TEST_F(LoopbackConnection, OverlongMessageIsDrainedAcrossRefillsAndTheNextOneIsWhole) {
  const std::string text = "O " + std::string(3 * REMOTE_RX_BUF_SIZE, 'f');
  send_raw(text + std::string("\0O 7\0", 5));
  EXPECT_EQ(read_reply(21), "<" + std::string(strerror(EMSGSIZE)) + ">" + text.substr(0, 20));
  EXPECT_EQ(handle->remote.connected, 1) << "an overlong reply leaves the connection in step";
  EXPECT_EQ(read_reply(21), "O 7");
}

TEST_F(LoopbackConnection, EndOfStreamInsideAMessageFailsAndCloses) {
  send_raw(std::string("O 1\0O 0x", 8));
  hang_up();
  EXPECT_EQ(read_reply(), "O 1");
  EXPECT_EQ(read_reply(), "<" + std::string(strerror(ECONNRESET)) + ">O 0x");
  EXPECT_EQ(handle->remote.connected, 0);
  EXPECT_EQ(handle->sock_fd, -1);
}

TEST(RemoteSettings, SshTimeoutIsAWholeNumber) {
  {
    ScopedEnv unset("SSH_TIMEOUT", nullptr);
    EXPECT_EQ(get_ssh_timeout_env_variable(), -1);
  }
  const std::pair<const char*, int> cases[] = {{"0", 0}, {"15", 15}, {"", -1}, {"abc", -1},
                                               {"5s", -1}, {"-3", -1}, {"99999999999", -1}};
  for (const auto& c : cases) {
    ScopedEnv set("SSH_TIMEOUT", c.first);
    EXPECT_EQ(get_ssh_timeout_env_variable(), c.second) << c.first;
  }
}

TEST(RemoteSettings, LogLinesOnlyWhileSwitchedOn) {
  CapturedStream out(1);
  plog("hidden %d\n", 1);
  set_remote_log(1);
  plog("shown %d\n", 2);
  logset(0);
  plog("hidden %d\n", 3);
  EXPECT_EQ(out.text(), "shown 2\n");
}

// Runs `body` in a child whose standard output goes to a pipe; returns the output and the status.
std::pair<std::string, int> in_child(const std::function<void()>& body, pid_t* pid_out = nullptr,
                                     const std::function<void(pid_t)>& while_running = {}) {
  int p[2];
  if (pipe(p) != 0) return {"", -1};
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], STDOUT_FILENO);
    close(p[0]);
    close(p[1]);
    body();
    fflush(stdout);
    _exit(0);
  }
  close(p[1]);
  if (pid_out) *pid_out = pid;
  if (while_running) while_running(pid);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof(buf))) > 0) text.append(buf, n);
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {text, status};
}

int free_loopback_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  close(fd);
  return ntohs(addr.sin_port);
}

bool loopback_has_a_name() {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line))
    if (line.rfind("127.0.0.1", 0) == 0) return true;
  return false;
}

// One client conversation: connect (the server may still be starting), send, read the echo.
std::string converse(int port, const char* text) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int fd = open_cli_connection("127.0.0.1", port);
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    char buf[64] = "";
    const bool ok = writes(fd, text) > 0 && tcp_reads(fd, buf, sizeof(buf)) >= 0;
    close(fd);
    return ok ? buf : "<no reply>";
  }
  return "<no connection>";
}

TEST(RemoteServerSide, ForksOneChildPerConnectionAndLogsIt) {
  // The accepted peer's name comes from the hosts file; no name service is asked in tests.
  if (!loopback_has_a_name()) GTEST_SKIP() << "/etc/hosts does not name 127.0.0.1";
  const int port = free_loopback_port();
  ASSERT_GT(port, 0);
  std::string replies[2];
  auto [log, status] = in_child(
      [port] {
        set_remote_log(1);
        const int conn = open_serv_connection(port);
        if (conn < 0) _exit(3);
        // A connection child: echo one message, then leave.
        char buf[64];
        if (tcp_reads(conn, buf, sizeof(buf)) >= 0) writes(conn, (std::string("O ") + buf).c_str());
        close(conn);
        fflush(stdout);
        _exit(0);
      },
      nullptr,
      [&](pid_t server) {
        replies[0] = converse(port, "first");
        replies[1] = converse(port, "second");
        kill(server, SIGTERM);
      });
  EXPECT_TRUE(WIFSIGNALED(status)) << "the listening parent runs until it is stopped";
  EXPECT_EQ(replies[0], "O first");
  EXPECT_EQ(replies[1], "O second");
  const std::string waiting = "Waiting for connection on port " + std::to_string(port) + "\n";
  EXPECT_EQ(log.find(waiting), 0u) << log;
  EXPECT_NE(log.find("Accepted connection from host \""), std::string::npos) << log;
  EXPECT_NE(log.find("\"  (127.0.0.1), port "), std::string::npos) << log;
}

}  // namespace
