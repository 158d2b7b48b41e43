// Fuzz target: replies of a remote server.
//
// Input: one selector byte (low nibble: which request - 0 dword, 1 block, 2 ICMD, 3 I2C read, 4 scan,
// 5 cable, 6 version, 7 device id, 9 I2C write, others open - high nibble: the server's minor version),
// one size byte, then the reply bytes as the server sends them (a NUL ends a message; one is
// added at the end). The client sends its request over a real socket pair and reads the reply
// from it, sent once the request has come; the request's buffers are heap blocks of exactly the
// size asked for, so a write past them is caught, and a failed request must leave them as they
// were. Whatever messages the request left are then read one by one into a buffer of the size
// byte's size: they must be the last messages of the reply, each cut to that buffer, however the
// connection buffer split them.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "handle_services.h"
#include "mtcr_int.h"
#include "remote.h"
#include "remote_link.h"

namespace {

void trap_unless(bool ok)
{
    if (!ok) abort();
}

/* Runs one request; `buffer` is the caller's memory, filled with 0xA5 beforehand. */
void run(mfile* mf, int which, int size)
{
    std::vector<uint8_t> buffer(size, 0xA5);
    const std::vector<uint8_t> before = buffer;
    uint8_t* data = buffer.data();
    int rc;
    switch (which) {
    case 0: {
        rc = remote_read4(mf, 0x100, reinterpret_cast<uint32_t*>(data));
        if (rc != 4) trap_unless(buffer == before);
        break;
    }
    case 1:
        rc = remote_read4_block_chunk(mf, 0, reinterpret_cast<uint32_t*>(data), size & ~3);
        if (rc != (size & ~3)) trap_unless(buffer == before);
        break;
    case 2:
        rc = icmd_send_command_remote(mf, 0x9001, data, size, 0);
        if (rc != 0) trap_unless(buffer == before);
        break;
    case 3:
        rc = remote_i2c_read_block(mf, 0x50, 1, 0, data, size > 64 ? 64 : size);
        trap_unless(rc <= (size > 64 ? 64 : size));
        if (rc < 0) trap_unless(buffer == before);
        break;
    case 4: {
        /* Every entry is a flag; a refused scan leaves none set. */
        uint8_t table[128];
        memset(table, 0xA5, sizeof(table));
        rc = remote_i2c_detect(mf, table);
        for (uint8_t flag : table) trap_unless(flag == 0 || (rc == 0 && flag == 1));
        break;
    }
    case 9:
        rc = remote_i2c_write_block(mf, 0x50, 2, 0x10, data, size > 64 ? 64 : size);
        trap_unless(rc == -1 || rc == (size > 64 ? 64 : size));
        trap_unless(buffer == before);
        break;
    case 5:
        rc = mcables_remote_operation_client_side(mf, 0, size, data, 0);
        if (rc != 0) trap_unless(buffer == before);
        break;
    case 6: {
        char reply[9]; /* a version reply of up to 8 characters */
        if (remote_read(mf, reply, sizeof(reply)) >= 0) parse_remote_version(mf, reply);
        break;
    }
    case 7: {
        uint32_t id = 0;
        rc = remote_read_device_id(mf, &id);
        break;
    }
    default: {
        char text[64] = "";
        if (remote_read(mf, text, sizeof(text)) >= 0) remote_get_vsec_info(mf, text);
        break;
    }
    }
}

/* Reads the messages still queued until the end of the stream closes the connection. */
void drain(mfile* mf, const std::vector<uint8_t>& reply, int size)
{
    std::vector<std::string> expected(1);
    for (uint8_t byte : reply) {
        if (byte)
            expected.back() += static_cast<char>(byte);
        else
            expected.push_back("");
    }
    expected.pop_back(); /* the reply ends with a NUL */
    for (std::string& text : expected) text.resize(std::min(text.size(), size_t(size - 1)));
    std::vector<std::string> got;
    std::vector<char> text(size);
    while (mf->remote.connected) {
        const int rc = remote_read(mf, text.data(), size);
        if (rc < 0 && errno != EMSGSIZE) break;
        trap_unless(strlen(text.data()) == size_t(rc < 0 ? size - 1 : rc));
        got.emplace_back(text.data());
    }
    trap_unless(!mf->remote.connected && got.size() <= expected.size() &&
                std::equal(got.begin(), got.end(), expected.end() - got.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t length)
{
    if (length < 2 || length > 16384) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    /* The whole reply goes out in one write; a bigger one would block. */
    int room = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    std::vector<uint8_t> reply(input + 2, input + length);
    reply.push_back(0);
    /* The server: the reply once the request has come (what comes before a request is dropped) or
     * the client stopped sending, then the end of the stream. The version and open replies are
     * read without a request. */
    const int which = input[0] & 0xF;
    const bool requested = which <= 5 || which == 7 || which == 9;
    std::thread server([&] {
        char byte;
        while (requested && recv(fds[1], &byte, 1, 0) == 1 && byte != '\0') {
        }
        if (write(fds[1], reply.data(), reply.size()) != (ssize_t)reply.size()) abort();
        shutdown(fds[1], SHUT_WR);
    });

    mfile* mf = static_cast<mfile*>(calloc(1, sizeof(mfile)));
    mf->access_type = ACCESS_REMOTE;
    mf->sock_fd = fds[0];
    mf->remote.connected = 1;
    mf->remote.server_major = 1;
    mf->remote.server_minor = input[0] >> 4;
    run(mf, which, input[1] * 8 + 4);
    if (mf->remote.connected) shutdown(mf->sock_fd, SHUT_WR); /* a request that never went out */
    server.join();
    drain(mf, reply, input[1] * 8 + 4);
    close_remote_connection(mf); /* releases the connection buffer */
    free(mf);
    close(fds[1]);
    return 0;
}
