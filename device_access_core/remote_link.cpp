/*
 * remote_link.cpp - the wire under the remote access protocol.
 *
 * A message is a text and its terminating NUL. The client side moves one
 * message at a time over its TCP socket or through the SSH plug-in; the
 * server side accepts connections and forks one process per client.
 */
#include "remote_link.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "mtcr_int.h"

static int remote_log_on = 0;

/* ---- SIGPIPE of the connection ---- */

/* Holds SIGPIPE back around a write to the connection that can raise it (a plain descriptor, the
 * SSH plug-in's calls): a far end that has gone then fails the write with EPIPE, as the
 * protocol's failure, instead of ending the run. A SIGPIPE the call raised is taken back before
 * SIGPIPE is let through again; one that was already waiting stays (standard output or error
 * closed under a hold: it ends the run when the hold is given back), and so does one that the
 * call's raised one merged into. SIGPIPE keeps its disposition: a write to a closed standard
 * output ends a remote run as it ends a local one. */
namespace {
class connection_sigpipe_guard {
public:
    connection_sigpipe_guard()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
        was_pending_ = pending();
    }
    ~connection_sigpipe_guard()
    {
        const int saved_errno = errno;
        if (!was_pending_ && pending()) {
            const struct timespec now = {0, 0};
            while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        if (sigismember(&before_, SIGPIPE) != 1) pthread_sigmask(SIG_UNBLOCK, &pipe_, nullptr);
        errno = saved_errno;
    }
    connection_sigpipe_guard(const connection_sigpipe_guard&) = delete;
    connection_sigpipe_guard& operator=(const connection_sigpipe_guard&) = delete;

private:
    static bool pending()
    {
        sigset_t set;
        return sigpending(&set) == 0 && sigismember(&set, SIGPIPE) == 1;
    }
    sigset_t pipe_;
    sigset_t before_;
    bool was_pending_;
};
}  // namespace

void logset(int on) { remote_log_on = on ? 1 : 0; }
void set_remote_log(int on) { logset(on); }

void plog(const char* fmt, ...)
{
    if (!remote_log_on) return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

/* ---- framing ---- */

int writen(int fd, const void* buf, size_t n)
{
    const char* p = (const char*)buf;
    size_t done = 0;
    while (done < n) {
        /* Sockets do not raise SIGPIPE here: a vanished peer is EPIPE. */
        ssize_t rc = send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (rc < 0 && errno == ENOTSOCK) {
            connection_sigpipe_guard quiet;
            rc = write(fd, p + done, n - done);
        }
        if (rc < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += (size_t)rc;
    }
    return (int)n;
}

int writes(int fd, const char* text)
{
    if (!text) {
        errno = EINVAL;
        return -1;
    }
    return writen(fd, text, strlen(text) + 1);
}

/* Bytes read from a descriptor and not yet handed out: data[start, end) of
 * cap bytes. A remote handle's connection waits for its bytes through
 * wait_for_reply (waiter set). */
struct message_source {
    int fd;
    bool use_recv;
    char* data;
    int cap;
    int start;
    int end;
    mfile* waiter;
};

constexpr int kReplyWaitSliceMs = 100;
constexpr int kBriefReplySlices = 10;
/* How long the reply to a request that may take a semaphore is still waited for once an ending
 * signal waits: a slow link answers well within it, and the run still ends within a few seconds
 * of the signal, whatever other signals follow (they wait behind the same hold). */
constexpr long long kTakeReplyWaitMs = 2000;

static long long monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Waits until the connection has bytes to read: 0, or -1 with errno. The
 * wait goes in slices; between them an ending signal that waits behind a
 * hold (a semaphore is held over the connection) cuts it short (EINTR), so
 * that the command fails, releases what it holds, and the signal acts. After
 * such a cut the reply may still come (dropped when it comes before the next
 * request is sent, taken for that request's reply when after), and a far end
 * that went silent may stay so: every later wait ends after a few slices
 * (ETIMEDOUT). The one wait a signal does not cut is for a read that may
 * take a semaphore (mf->read_takes_semaphore): the far end may have carried
 * it out, so its reply is waited for up to kTakeReplyWaitMs more, and when it
 * does not come the read fails with ETIMEDOUT. */
static int wait_for_reply(mfile* mf)
{
    struct pollfd pfd = {mf->sock_fd, POLLIN, 0};
    remote_state& conn = mf->remote;
    for (int slice = 1;; ++slice) {
        const int rc = poll(&pfd, 1, kReplyWaitSliceMs);
        if (rc > 0) return 0;
        if (rc < 0 && errno != EINTR) return -1;
        if (conn.take_wait_ends_ms) {
            if (monotonic_ms() < conn.take_wait_ends_ms) continue;
            conn.reply_wait_cut = 1;
            errno = ETIMEDOUT;
            return -1;
        }
        if (conn.reply_wait_cut) {
            if (slice < kBriefReplySlices) continue;
            errno = ETIMEDOUT;
            return -1;
        }
        if (signal_hold_interrupted()) {
            if (mf->read_takes_semaphore) {
                conn.take_wait_ends_ms = monotonic_ms() + kTakeReplyWaitMs;
                continue;
            }
            conn.reply_wait_cut = 1;
            errno = EINTR;
            return -1;
        }
    }
}

/* Reads what the descriptor holds (at most cap bytes) into the empty source:
 * the count, 0 at end of stream, or -1. */
static ssize_t refill(message_source& src)
{
    if (src.waiter && wait_for_reply(src.waiter)) return -1;
    for (;;) {
        ssize_t rc = src.use_recv ? recv(src.fd, src.data, (size_t)src.cap, 0)
                                  : read(src.fd, src.data, (size_t)src.cap);
        if (rc < 0 && src.use_recv && errno == ENOTSOCK) {
            src.use_recv = false;
            continue;
        }
        if (rc < 0 && errno == EINTR) continue;
        if (rc > 0) {
            src.start = 0;
            src.end = (int)rc;
        }
        return rc;
    }
}

/* Hands out one message from the source, refilling it as needed. An
 * overlong message is drained to its NUL so that the next reply is read
 * from its own start; bytes after the NUL stay in the source. */
static int read_message(message_source& src, char* buf, int size)
{
    if (!buf || size < 1) {
        errno = EINVAL;
        return -1;
    }
    int len = 0;
    bool overlong = false;
    for (;;) {
        if (src.start == src.end) {
            ssize_t rc = refill(src);
            if (rc <= 0) {
                /* At end of stream the message was cut: what came is not a reply. */
                if (rc == 0) errno = ECONNRESET;
                buf[len] = '\0';
                return -1;
            }
        }
        const char* from = src.data + src.start;
        const int held = src.end - src.start;
        const char* nul = (const char*)memchr(from, '\0', (size_t)held);
        const int piece = nul ? (int)(nul - from) : held;
        const int take = piece < size - 1 - len ? piece : size - 1 - len;
        memcpy(buf + len, from, (size_t)take);
        len += take;
        if (take < piece) overlong = true;
        src.start += nul ? piece + 1 : piece;
        if (nul) break;
    }
    buf[len] = '\0';
    if (overlong) {
        errno = EMSGSIZE;
        return -1;
    }
    return len;
}

/* A source of one byte: nothing past the NUL is taken from the descriptor. */
static int read_message_unbuffered(int fd, char* buf, int size, bool use_recv)
{
    char byte;
    message_source src = {fd, use_recv, &byte, 1, 0, 0, nullptr};
    return read_message(src, buf, size);
}

int tcp_reads(int fd, char* buf, int size) { return read_message_unbuffered(fd, buf, size, true); }
int reads(int fd, char* buf, int size) { return read_message_unbuffered(fd, buf, size, false); }

/* The handle's connection buffer, allocated at its first use: 0, or -1 with
 * ENOMEM. */
static int connection_buffer(remote_state& conn)
{
    if (conn.rx_buf) return 0;
    conn.rx_buf = (char*)malloc(REMOTE_RX_BUF_SIZE);
    if (!conn.rx_buf) {
        errno = ENOMEM;
        return -1;
    }
    conn.rx_start = conn.rx_end = 0;
    return 0;
}

/* One message through the handle's connection buffer. */
static int read_connection_message(mfile* mf, char* buf, int size)
{
    remote_state& conn = mf->remote;
    if (connection_buffer(conn)) {
        buf[0] = '\0';
        return -1;
    }
    message_source src = {mf->sock_fd, true, conn.rx_buf, REMOTE_RX_BUF_SIZE, conn.rx_start,
                          conn.rx_end, mf};
    int rc = read_message(src, buf, size);
    conn.rx_start = src.start;
    conn.rx_end = src.end;
    return rc;
}

/* ---- TCP connections ---- */

int open_cli_connection(const char* host, int port)
{
    if (!host || port <= 0 || port > 65535) {
        errno = EINVAL;
        return -1;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) {
        errno = EINVAL;
        return -1;
    }
    struct sockaddr_in addr;
    memcpy(&addr, found->ai_addr, sizeof(addr));
    freeaddrinfo(found);
    addr.sin_port = htons((uint16_t)port);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = connect(fd, (struct sockaddr*)&addr, sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int open_serv_connection(int port)
{
    signal(SIGCHLD, SIG_IGN);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return -1;
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons((uint16_t)port);
    if (bind(listener, (struct sockaddr*)&addr, sizeof(addr)) < 0 || listen(listener, 1) < 0) {
        int err = errno;
        close(listener);
        errno = err;
        return -1;
    }
    for (;;) {
        plog("Waiting for connection on port %d\n", port);
        struct sockaddr_in peer;
        socklen_t peer_len = sizeof(peer);
        int conn = accept(listener, (struct sockaddr*)&peer, &peer_len);
        if (conn < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            close(listener);
            errno = err;
            return -1;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(listener);
            char name[NI_MAXHOST];
            if (getnameinfo((struct sockaddr*)&peer, peer_len, name, sizeof(name), nullptr, 0,
                            NI_NAMEREQD) != 0)
                snprintf(name, sizeof(name), "????");
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
            plog("Accepted connection from host \"%s\" ", name);
            plog(" (%s)", text);
            plog(", port %d\n", ntohs(peer.sin_port));
            return conn;
        }
        /* The parent (also when the fork failed) goes back to listening. */
        close(conn);
    }
}

/* ---- process-wide settings ---- */

int get_ssh_timeout_env_variable(void)
{
    const char* text = getenv("SSH_TIMEOUT");
    if (!text || !*text) return -1;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno || *end || value < 0 || value > 0x7fffffff) return -1;
    return (int)value;
}

/* ---- the SSH plug-in ---- */

template <typename Entry>
static Entry ssh_entry(mfile* mf, int slot, const char* name)
{
    if (!mf || !mf->remote.ssh_ctx) {
        printf("-E- Failed to load library: %s\n", "ssh_utility_wrapper");
        errno = ENOTSUP;
        return nullptr;
    }
    Entry entry = (Entry)mf->remote.ssh_ctx->entries[slot];
    if (!entry) {
        printf("-E- Failed to load function: %s\n", name);
        errno = ENOTSUP;
    }
    return entry;
}

template <typename Entry, typename... Args>
static int call_ssh(mfile* mf, int slot, const char* name, Args... args)
{
    Entry entry = ssh_entry<Entry>(mf, slot, name);
    if (!entry) return -1;
    DBG_PRINTF("-D- Calling %s\n", name);
    int rc;
    {
        connection_sigpipe_guard quiet;
        rc = entry(args...);
    }
    DBG_PRINTF("-D- %s return: %d\n", name, rc);
    return rc;
}

int set_up_ssh_client(mfile* mf, const char* host, int port)
{
    return call_ssh<f_set_up_client_connection>(mf, SSH_SLOT_SET_UP, "set_up_client_connection",
                                                host, port, mf ? &mf->remote.ssh_conn : nullptr);
}

int write_ssh_dl(mfile* mf, const char* text)
{
    return call_ssh<f_write_ssh>(mf, SSH_SLOT_WRITE, "write_ssh", text,
                                 mf ? mf->remote.ssh_conn : nullptr);
}

int read_ssh_dl(mfile* mf, char* buf)
{
    return call_ssh<f_read_ssh>(mf, SSH_SLOT_READ, "read_ssh", buf,
                                mf ? mf->remote.ssh_conn : nullptr);
}

int shut_down_ssh_dl(mfile* mf)
{
    return call_ssh<f_shut_down_ssh>(mf, SSH_SLOT_SHUT_DOWN, "shut_down_ssh",
                                     mf ? mf->remote.ssh_conn : nullptr);
}

int add_remote_host(mfile* mf, const char* host)
{
    return call_ssh<f_add_host>(mf, SSH_SLOT_ADD_HOST, "add_host", host);
}

int remove_remote_host(mfile* mf, const char* host)
{
    return call_ssh<f_remove_host>(mf, SSH_SLOT_REMOVE_HOST, "remove_host", host);
}

/* ---- one message each way ---- */

int close_remote_connection(mfile* mf)
{
    if (!mf) return 1;
    free(mf->remote.rx_buf);
    mf->remote.rx_buf = nullptr;
    mf->remote.rx_start = mf->remote.rx_end = 0;
    mf->remote.reply_wait_cut = 0;
    if (!mf->remote.connected) return 1;
    if (mf->remote.over_ssh) {
        shut_down_ssh_dl(mf);
        mf->remote.ssh_conn = nullptr;
    } else if (mf->sock_fd >= 0) {
        close(mf->sock_fd);
    }
    mf->sock_fd = -1;
    mf->remote.connected = 0;
    mf->remote.over_ssh = 0;
    return 0;
}

/* Reads that drop what came before a request, at most. */
constexpr int kMaxDropReads = 8;

/* One request is outstanding at a time and the protocol has no tags, so
 * whatever came before a request is sent answers nothing (a copy of an
 * answer, a reply that came after its wait was cut): it is dropped, the
 * buffered bytes and what the socket holds now, with one read that does not
 * wait (more only while each read fills the buffer, and never more than a
 * few, so that a far end that floods the connection cannot keep the request
 * from going out). A reply that comes after the request went out cannot be
 * told from the request's own. A read that fails or finds the end of the
 * stream leaves that to the wait for the reply. */
static void drop_unrequested(mfile* mf)
{
    remote_state& conn = mf->remote;
    const int saved_errno = errno;
    if (connection_buffer(conn)) {
        errno = saved_errno;
        return;
    }
    long dropped = conn.rx_end - conn.rx_start;
    conn.rx_start = conn.rx_end = 0;
    ssize_t got = REMOTE_RX_BUF_SIZE;
    for (int reads = 0; reads < kMaxDropReads && got == REMOTE_RX_BUF_SIZE; ++reads) {
        got = recv(mf->sock_fd, conn.rx_buf, REMOTE_RX_BUF_SIZE, MSG_DONTWAIT);
        if (got > 0) dropped += got;
    }
    errno = saved_errno;
    if (dropped > 0)
        DBG_PRINTF("-D- Dropped %ld bytes from the remote server that answer no request\n",
                   dropped);
}

int remote_write(mfile* mf, const char* text)
{
    if (!mf || !mf->remote.connected) {
        errno = ENOTCONN;
        return -1;
    }
    if (!mf->remote.over_ssh) drop_unrequested(mf);
    mf->remote.take_wait_ends_ms = 0;
    int rc = mf->remote.over_ssh ? write_ssh_dl(mf, text) : writes(mf->sock_fd, text);
    if (rc < 0) {
        int err = errno;
        close_remote_connection(mf);
        errno = err;
    }
    return rc;
}

int remote_read(mfile* mf, char* buf, int size)
{
    if (!mf || !mf->remote.connected) {
        errno = ENOTCONN;
        return -1;
    }
    if (!buf || size < 1) {
        errno = EINVAL;
        return -1;
    }
    if (!mf->remote.over_ssh) {
        int rc = read_connection_message(mf, buf, size);
        /* A wait cut short keeps the connection: the release still goes out. */
        if (rc < 0 && errno != EMSGSIZE && errno != EINTR && errno != ETIMEDOUT) {
            int err = errno;
            close_remote_connection(mf);
            errno = err;
        }
        return rc;
    }
    /* The plug-in fills a buffer of its own size; the caller's may be smaller. */
    char* whole = (char*)calloc(1, SSH_READ_BUF_SIZE);
    if (!whole) {
        errno = ENOMEM;
        return -1;
    }
    int rc = read_ssh_dl(mf, whole);
    if (rc < 0) {
        int err = errno;
        free(whole);
        close_remote_connection(mf);
        errno = err;
        return -1;
    }
    whole[SSH_READ_BUF_SIZE - 1] = '\0';
    size_t len = strlen(whole);
    if (len > (size_t)size - 1) {
        /* As over TCP: the start of the message, cut and terminated, so
         * that a caller who needs only its first letter still has it. */
        memcpy(buf, whole, (size_t)size - 1);
        buf[size - 1] = '\0';
        free(whole);
        errno = EMSGSIZE;
        return -1;
    }
    memcpy(buf, whole, len + 1);
    free(whole);
    return (int)len;
}

int remote_transact(mfile* mf, const char* request, char* reply, int reply_sz)
{
    if (!request) {
        errno = EINVAL;
        return -1;
    }
    if (strlen(request) >= REMOTE_MSG_SIZE) {
        errno = EMSGSIZE;
        return -1;
    }
    if (remote_write(mf, request) < 0) return -1;
    return remote_read(mf, reply, reply_sz);
}
