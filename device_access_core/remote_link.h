/*
 * remote_link.h - the wire under the remote access protocol: NUL-terminated
 * text messages over a TCP connection or through the SSH plug-in, the TCP
 * helpers of both ends, and the connection log.
 */
#ifndef VEXIL_REMOTE_LINK_H
#define VEXIL_REMOTE_LINK_H

#include <stddef.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The largest message either way, its NUL included. */
#define REMOTE_MSG_SIZE 4123
/* The receive buffer of a TCP connection: a whole message and more, so that
 * a reply usually takes one read from the socket. */
#define REMOTE_RX_BUF_SIZE 8192

/* ---- TCP helpers ---- */

/* Connects to host (IPv4, by name or address) and port: the socket, or -1
 * with errno (EINVAL for a host that does not resolve). */
int open_cli_connection(const char* host, int port);
/* Server side: listens on the port (all IPv4 addresses) and forks one child
 * per accepted connection. Returns the connection in the child; the parent
 * keeps accepting and returns only on failure (-1). */
int open_serv_connection(int port);
/* Sends the text and its NUL, repeating partial writes: the bytes sent, or
 * -1. */
int writes(int fd, const char* text);
/* Sends exactly n bytes: n, or -1. */
int writen(int fd, const void* buf, size_t n);
/* Read one NUL-terminated message into buf (size bytes, NUL included):
 * tcp_reads with recv on a socket, reads with read on any descriptor. The
 * length of the text, or -1: a read error (errno), end of stream before the
 * NUL (ECONNRESET), or a message longer than the buffer (EMSGSIZE; the rest
 * of that message is read and dropped, so the next one starts clean). They
 * keep no state, so they read one byte at a time and never take a byte past
 * the NUL; a remote handle reads through its connection buffer instead
 * (remote_read). */
int tcp_reads(int fd, char* buf, int size);
int reads(int fd, char* buf, int size);

/* The connection log: lines on standard output while switched on (off at
 * start). */
void logset(int on);
void set_remote_log(int on);
void plog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/* The number in "SSH_TIMEOUT", -1 when unset or not a number. */
int get_ssh_timeout_env_variable(void);

/* ---- the SSH plug-in (the handle's remote.ssh_ctx) ---- */

/* Each calls one plug-in entry and returns its result; -1 with ENOTSUP when
 * the plug-in or the entry is missing. */
int set_up_ssh_client(mfile* mf, const char* host, int port);
int write_ssh_dl(mfile* mf, const char* text);
int read_ssh_dl(mfile* mf, char* buf);
int shut_down_ssh_dl(mfile* mf);
int add_remote_host(mfile* mf, const char* host);
int remove_remote_host(mfile* mf, const char* host);

/* ---- one message each way on a remote handle ---- */

/* Sends one message: its byte count, or negative. A failure closes the
 * connection. Over TCP, whatever came from the server before the message is
 * sent answers nothing and is dropped first (one request is outstanding at a
 * time); through the SSH plug-in nothing is dropped. */
int remote_write(mfile* mf, const char* text);
/* Reads one message into buf (size bytes): its length, or negative. Over
 * TCP the socket is read in pieces into the handle's connection buffer and
 * the messages are split there; bytes after the message's NUL wait there
 * for the next call (the next request drops them). A read error or end of
 * stream closes the connection; an overlong message does not (it has been
 * read whole): it fails with EMSGSIZE and buf holds its first size - 1
 * characters. */
int remote_read(mfile* mf, char* buf, int size);
/* One request and its reply: the reply's length, or -1 with errno (as
 * remote_write and remote_read; EMSGSIZE for a request that does not fit a
 * message, which is not sent). */
int remote_transact(mfile* mf, const char* request, char* reply, int reply_sz);
/* Closes the connection (SSH or TCP) without a word to the server and
 * releases its receive buffer: 0, or 1 when there was none. */
int close_remote_connection(mfile* mf);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_REMOTE_LINK_H */
