// An SSH plug-in for tests. It has the SSH library's entry points and carries the messages over a
// plain TCP connection of its own, so a handle that talks through it reaches the same loopback
// server as one that talks TCP. TEST_SSH_RESULT makes set_up_client_connection fail with that
// result instead; test_ssh_calls counts the calls per entry point (in slot order). With
// TEST_SSH_GONE set, write_ssh writes into a pipe whose reader has gone, as a plug-in whose ssh
// process has ended would: the kernel raises SIGPIPE and the write fails.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {

int test_ssh_calls[6];
char test_ssh_last_host[256];

static const int kReadBufSize = 4123;  // the buffer read_ssh is given

int set_up_client_connection(const char* host, int port, void** conn) {
  ++test_ssh_calls[0];
  std::snprintf(test_ssh_last_host, sizeof(test_ssh_last_host), "%s", host);
  if (const char* forced = std::getenv("TEST_SSH_RESULT")) return std::atoi(forced);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) return 2;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 2;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
    close(fd);
    return 2;
  }
  int* handle = static_cast<int*>(std::malloc(sizeof(int)));
  *handle = fd;
  *conn = handle;
  return 0;
}

int shut_down_ssh(void* conn) {
  ++test_ssh_calls[1];
  if (!conn) return -1;
  close(*static_cast<int*>(conn));
  std::free(conn);
  return 0;
}

int write_ssh(const char* text, void* conn) {
  ++test_ssh_calls[2];
  const size_t n = std::strlen(text) + 1;
  if (std::getenv("TEST_SSH_GONE")) {
    int p[2];
    if (pipe(p) != 0) return -1;
    close(p[0]);
    const ssize_t rc = write(p[1], text, n);
    close(p[1]);
    (void)rc;
    return -1;
  }
  size_t done = 0;
  while (done < n) {
    const ssize_t rc = send(*static_cast<int*>(conn), text + done, n - done, MSG_NOSIGNAL);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return -1;
    done += static_cast<size_t>(rc);
  }
  return static_cast<int>(n);
}

int read_ssh(char* buf, void* conn) {
  ++test_ssh_calls[3];
  int len = 0;
  for (;;) {
    char c;
    const ssize_t rc = recv(*static_cast<int*>(conn), &c, 1, 0);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return -1;
    if (c == '\0') break;
    if (len < kReadBufSize - 1) buf[len++] = c;
  }
  buf[len] = '\0';
  return len;
}

int remove_host(const char* host) {
  ++test_ssh_calls[4];
  std::snprintf(test_ssh_last_host, sizeof(test_ssh_last_host), "%s", host);
  return 0;
}

int add_host(const char* host) {
  ++test_ssh_calls[5];
  std::snprintf(test_ssh_last_host, sizeof(test_ssh_last_host), "%s", host);
  return 7;
}

}  // extern "C"
