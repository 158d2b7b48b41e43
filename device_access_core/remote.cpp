/*
 * remote.cpp - the remote access protocol: opening a device behind a server,
 * negotiating the server's version, dword and block access, the address
 * space, the hardware id, the I2C secondary address, ICMD commands, and
 * closing.
 *
 * Every reply is parsed inside its own buffer and must be whole: a reply
 * that is short, overlong or carries more or fewer values than asked for
 * fails the access; it never becomes data.
 */
#include "remote.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "handle_services.h"
#include "i2c_access.h"
#include "mtcr_int.h"
#include "plugins.h"
#include "remote_parse.h"
#include "remote_link.h"

/* Reply buffers: a reply of up to N characters and its NUL. */
enum {
    VERSION_REPLY_SZ = 9,
    DWORD_REPLY_SZ = 21,
    CLOSE_REPLY_SZ = 11,
    NAME_TEXT_MAX = 1022,
};


/* ---- names ---- */

int parse_remote_device_name(const char* name, char* host, int* port, char* device)
{
    if (!name || !host || !port || !device) return fail_errno(EINVAL);
    const char* slash = strrchr(name, '/');
    std::string text = slash ? slash + 1 : name;
    if (text.size() > NAME_TEXT_MAX) return fail_errno(EINVAL);
    for (char& c : text) {
        if (c == '@') c = '/';
    }
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return fail_errno(EINVAL);
    size_t comma = text.find(',', colon + 1);
    if (comma == std::string::npos) return fail_errno(EINVAL);

    std::string port_text = text.substr(colon + 1, comma - colon - 1);
    if (port_text.empty() || port_text.size() > 5 ||
        port_text.find_first_not_of("0123456789") != std::string::npos)
        return fail_errno(EINVAL);
    int number = atoi(port_text.c_str());
    if (number < 1 || number > 65535) return fail_errno(EINVAL);

    std::string host_text = text.substr(0, colon);
    std::string device_text = text.substr(comma + 1);
    if (host_text.size() >= REMOTE_HOST_SZ || device_text.size() >= DEV_NAME_SZ)
        return fail_errno(EINVAL);
    memcpy(host, host_text.c_str(), host_text.size() + 1);
    memcpy(device, device_text.c_str(), device_text.size() + 1);
    *port = number;
    return 0;
}

/* ---- connection and negotiation ---- */

static void drop_ssh_plugin(mfile* mf)
{
    tqcr_utils_free_dl_ctx(mf->remote.ssh_ctx);
    mf->remote.ssh_ctx = nullptr;
}

int open_remote_connection_client_side(mfile* mf, const char* host, int port, int no_ssh)
{
    if (!mf || !host) return fail_errno(EINVAL);
    int timeout = get_ssh_timeout_env_variable();
    if (timeout != 0 && !no_ssh) {
        mf->remote.ssh_ctx = tqcr_utils_load_dl_ctx(PLUGIN_SSH);
        if (!mf->remote.ssh_ctx) {
            DBG_PRINTF("-E- Failed to load library: ssh utility shared library\n");
            return fail_errno(ENOTSUP);
        }
        int rc = set_up_ssh_client(mf, host, port);
        if (rc == 0) {
            DBG_PRINTF("SSH connection successful.");
            mf->remote.over_ssh = 1;
            mf->remote.connected = 1;
            return 0;
        }
        drop_ssh_plugin(mf);
        if (rc == 1) {
            DBG_PRINTF("SSH connection failed - too many login attempts.");
            return fail_errno(EACCES);
        }
    }
    DBG_PRINTF("SSH connection failed - falling back to tcp connection.");
    if (timeout != 0) sleep(1);
    int fd = open_cli_connection(host, port);
    if (fd < 0) {
        DBG_PRINTF("tcp connection failed.");
        return -1;
    }
    mf->sock_fd = fd;
    mf->remote.connected = 1;
    mf->remote.over_ssh = 0;
    return 0;
}

int parse_remote_version(mfile* mf, const char* reply)
{
    if (!mf || !reply) return fail_errno(EINVAL);
    if (reply[0] == 'E') {
        /* A server from before the version query. */
        mf->remote.server_major = 1;
        mf->remote.server_minor = 0;
        print_ver_warn(1, 0);
        return 0;
    }
    uint32_t major = 0, minor = 0;
    const char* p = reply;
    if (p[0] != 'O' || p[1] != ' ') return fail_errno(EBADMSG);
    p += 2;
    if (remote_parse_decimal(&p, &major) || *p++ != '.' || remote_parse_decimal(&p, &minor) ||
        !remote_at_end(p) || major > 0xffff || minor > 0xffff)
        return fail_errno(EBADMSG);
    mf->remote.server_major = (int)major;
    mf->remote.server_minor = (int)minor;
    if (major != REMOTE_CLIENT_MAJOR) {
        print_ver_err((int)major, (int)minor);
        return fail_errno(EPROTO);
    }
    if (minor <= 4) print_ver_warn((int)major, (int)minor);
    return 0;
}

int get_remote_version(mfile* mf)
{
    char reply[VERSION_REPLY_SZ] = "";
    if (remote_transact(mf, "V", reply, sizeof(reply)) < 0) {
        /* An old server's refusal may be longer than a version; it has been
         * read whole, and its first letter is all that counts. */
        if (!(errno == EMSGSIZE && reply[0] == 'E')) return -1;
    }
    return parse_remote_version(mf, reply);
}

int remote_set_i2c_address(mfile* mf, int address)
{
    char request[32];
    snprintf(request, sizeof(request), "i %d", address);
    return remote_write(mf, request) < 0 ? -1 : 0;
}

int send_remote_open_cmd(mfile* mf, const char* device, int width_code, char* reply,
                         int reply_sz)
{
    if (!device || !reply || reply_sz < 1) return fail_errno(EINVAL);
    char request[32 + DEV_NAME_SZ];
    if (strlen(device) >= DEV_NAME_SZ) return fail_errno(EINVAL);
    snprintf(request, sizeof(request), "O 0x%08x %s", (unsigned)width_code, device);
    if (remote_transact(mf, request, reply, reply_sz) < 0) return -1;
    if (reply[0] != 'O') return fail_errno(ENOENT);
    return 0;
}

int remote_get_vsec_info(mfile* mf, const char* reply)
{
    if (!mf || !reply) return fail_errno(EINVAL);
    if (mf->remote.server_minor < 4) return 0;
    const char* p = reply + 1;
    uint32_t flag = 0;
    /* A bare "O" carries no flag: no functional VSC. */
    if (!remote_at_end(p) &&
        (*p++ != ' ' || remote_parse_number(&p, &flag) || !remote_at_end(p)))
        return fail_errno(EBADMSG);
    mf->remote.functional_vsc = flag ? 1 : 0;
    if (flag) {
        mf->address_space = AS_CR_SPACE;
        mf->vsec_supported = 1;
        mf->vsec.functional_vsc = 1;
    }
    return 0;
}

/* Closes what the open made before it failed, keeping the open's errno. */
static int open_failed(mfile* mf)
{
    int err = errno ? errno : EIO;
    close_remote_connection(mf);
    drop_ssh_plugin(mf);
    errno = err;
    return -1;
}

int remote_open(const char* name, mfile* mf, int width_code)
{
    if (!name || !mf) return fail_errno(EINVAL);
    mf->sock_fd = -1;
    memset(&mf->remote, 0, sizeof(mf->remote));

    char host[REMOTE_HOST_SZ];
    char device[DEV_NAME_SZ];
    int port = 0;
    if (parse_remote_device_name(name, host, &port, device)) return -1;
    int no_ssh = strstr(name, "emu_virtual") != nullptr;
    if (open_remote_connection_client_side(mf, host, port, no_ssh)) return open_failed(mf);

    if (get_remote_version(mf)) return open_failed(mf);
    if (force_i2c_address != -1 && remote_set_i2c_address(mf, force_i2c_address))
        return open_failed(mf);
    char reply[64];
    if (send_remote_open_cmd(mf, device, width_code, reply, sizeof(reply))) return open_failed(mf);
    if (remote_get_vsec_info(mf, reply)) return open_failed(mf);

    /* No SIGPIPE handler: the connection's writes never raise it (see remote_link.cpp), and a
     * closed standard output ends the run as SIGPIPE's default does. */
    mf->remote.width_code = width_code;
    mf->flags = get_device_flags(name);
    return 0;
}

int mclose_remote(mfile* mf)
{
    if (!mf) return 1;
    int result = 1;
    if (mf->remote.connected) {
        char reply[CLOSE_REPLY_SZ] = "";
        /* Only the first letter counts: a longer goodbye has been read whole
         * and its start kept. */
        if ((remote_transact(mf, "C", reply, sizeof(reply)) >= 0 || errno == EMSGSIZE) &&
            reply[0] == 'O')
            result = 0;
        close_remote_connection(mf);
    }
    drop_ssh_plugin(mf);
    return result;
}

/* ---- server features ---- */

static int minor_above(mfile* mf, int minor)
{
    return mf && mf->remote.connected && mf->remote.server_minor > minor;
}

int remote_server_supports_icmd(mfile* mf) { return minor_above(mf, 4); }
int remote_server_supports_read_devid(mfile* mf) { return minor_above(mf, 5); }
int remote_server_supports_icmd_syndrome(mfile* mf) { return minor_above(mf, 5); }
int remote_server_supports_mset_i2c_addr(mfile* mf) { return minor_above(mf, 6); }

static int supports_blocks(const mfile* mf)
{
    return mf->remote.server_major >= 1 && mf->remote.server_minor >= 2;
}

/* ---- dword and block access ---- */

int remote_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    if (!mf || !value) return fail_errno(EINVAL);
    char request[32], reply[DWORD_REPLY_SZ];
    snprintf(request, sizeof(request), "R 0x%08x", offset);
    if (remote_transact(mf, request, reply, sizeof(reply)) < 0) return -1;
    const char* p = reply + 1;
    uint32_t number = 0;
    if (reply[0] != 'O' || *p++ != ' ' || remote_parse_number(&p, &number) || !remote_at_end(p))
        return fail_errno(EIO);
    *value = number;
    return 4;
}

int remote_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    if (!mf) return fail_errno(EINVAL);
    char request[32], reply[DWORD_REPLY_SZ];
    snprintf(request, sizeof(request), "W 0x%08x 0x%08x", offset, value);
    if (remote_transact(mf, request, reply, sizeof(reply)) < 0) return -1;
    return reply[0] == 'O' ? 4 : fail_errno(EIO);
}

int remote_read4_block_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    if (!mf || !data || len < 0 || len % 4) return fail_errno(EINVAL);
    /* Into a copy first: a chunk that fails half-way leaves the caller's
     * buffer as it was. */
    std::vector<uint32_t> dwords(len / 4);
    if (!supports_blocks(mf)) {
        for (int i = 0; i < len / 4; ++i) {
            if (remote_read4(mf, offset + 4 * i, &dwords[i]) != 4) return -1;
        }
        memcpy(data, dwords.data(), len);
        return len;
    }
    char request[32];
    snprintf(request, sizeof(request), "B 0x%08x 0x%08x", offset, (unsigned)len);
    std::string reply(REMOTE_MSG_SIZE, '\0');
    if (remote_transact(mf, request, &reply[0], REMOTE_MSG_SIZE) < 0) return -1;
    if (reply[0] != 'O') return fail_errno(EIO);
    if (remote_parse_number_list(reply.c_str() + 1, dwords.data(), len / 4)) return fail_errno(EIO);
    memcpy(data, dwords.data(), len);
    return len;
}

int remote_write4_block_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    if (!mf || !data || len < 0) return fail_errno(EINVAL);
    if (!supports_blocks(mf)) {
        if (len % 4) return fail_errno(EINVAL);
        for (int i = 0; i < len / 4; ++i) {
            if (remote_write4(mf, offset + 4 * i, data[i]) != 4) return -1;
        }
        return len;
    }
    char piece[16];
    snprintf(piece, sizeof(piece), "U 0x%08x", offset);
    std::string request = piece;
    snprintf(piece, sizeof(piece), " 0x%08x", (unsigned)len);
    request += piece;
    const int whole = len / 4;
    for (int i = 0; i < whole; ++i) {
        snprintf(piece, sizeof(piece), " 0x%08x", data[i]);
        request += piece;
    }
    if (len % 4) {
        /* The tail bytes, from the last to the first. */
        const uint8_t* tail = (const uint8_t*)(data + whole);
        request += " 0x";
        for (int i = len % 4 - 1; i >= 0; --i) {
            snprintf(piece, sizeof(piece), "%02x", tail[i]);
            request += piece;
        }
    }
    char reply[DWORD_REPLY_SZ];
    if (remote_transact(mf, request.c_str(), reply, sizeof(reply)) < 0) return -1;
    return reply[0] == 'O' ? len : fail_errno(EIO);
}

int remote_mset_addr_space(mfile* mf, int space)
{
    if (!mf) return fail_errno(EINVAL);
    if (mf->remote.server_minor < 4) return fail_errno(EOPNOTSUPP);
    char request[32], reply[DWORD_REPLY_SZ];
    snprintf(request, sizeof(request), "A 0x%x", (unsigned)space);
    if (remote_transact(mf, request, reply, sizeof(reply)) < 0) return -1;
    return reply[0] == 'O' ? 0 : fail_errno(EIO);
}

int remote_read_device_id(mfile* mf, uint32_t* id)
{
    if (!mf || !id) return fail_errno(EINVAL);
    if (!remote_server_supports_read_devid(mf)) return fail_errno(EOPNOTSUPP);
    char reply[DWORD_REPLY_SZ];
    if (remote_transact(mf, "D", reply, sizeof(reply)) < 0) return -1;
    const char* p = reply + 1;
    uint32_t number = 0;
    if (reply[0] != 'O' || *p++ != ' ' || remote_parse_number(&p, &number) || !remote_at_end(p))
        return fail_errno(EIO);
    *id = number;
    return 4;
}

int remote_mset_i2c_address(mfile* mf, unsigned char address)
{
    if (!mf) return fail_errno(EINVAL);
    if (!remote_server_supports_mset_i2c_addr(mf)) return fail_errno(EOPNOTSUPP);
    char request[16], reply[DWORD_REPLY_SZ];
    snprintf(request, sizeof(request), "s %d", address);
    if (remote_transact(mf, request, reply, sizeof(reply)) < 0) return -1;
    return reply[0] == 'O' ? 0 : fail_errno(ENOENT);
}

/* ---- ICMD ---- */

/* The status and, from minor 6 on, the syndrome of an error reply: its
 * second and third blank-separated tokens. A status that is missing or 0
 * cannot stand for a failed command: -1. */
static int icmd_error_status(mfile* mf, const char* reply)
{
    const char* p = reply;
    uint32_t status = 0, syndrome = 0;
    if (remote_skip_token(&p) || remote_parse_number(&p, &status) || !remote_at_token_end(p) ||
        status == 0 || status > 0x7fffffff)
        return fail_errno(EBADMSG);
    if (remote_server_supports_icmd_syndrome(mf) && *p) {
        p++;
        if (remote_parse_number(&p, &syndrome) || !remote_at_token_end(p)) return fail_errno(EBADMSG);
        mf->icmd.syndrome = syndrome;
    }
    return (int)status;
}

int icmd_send_command_remote(mfile* mf, int opcode, void* data, int size, int skip_write)
{
    if (!mf || size < 0 || (size > 0 && !data)) return fail_errno(EINVAL);
    std::string request(REMOTE_MSG_SIZE, '\0');
    int head = snprintf(&request[0], REMOTE_MSG_SIZE, "I 0x%04x 0x%04x %c", (unsigned)opcode,
                        (unsigned)size, skip_write ? 'R' : 'W');
    request.resize(head);
    if (!skip_write) {
        request += " 0x";
        remote_append_hex(request, (const uint8_t*)data, size);
    }
    /* The message and its NUL must fit the buffer; the reply must too. */
    if (request.size() >= REMOTE_MSG_SIZE || 2 + 2 + 2 * (size_t)size >= REMOTE_MSG_SIZE)
        return fail_errno(EMSGSIZE);
    if (remote_write(mf, request.c_str()) < 0) return -1;

    std::string reply(REMOTE_MSG_SIZE, '\0');
    int len;
    do {
        len = remote_read(mf, &reply[0], REMOTE_MSG_SIZE);
    } while (len == 0);
    if (len < 0) return -1;

    if (reply[0] != 'O' || reply[1] != ' ') return icmd_error_status(mf, reply.c_str());
    const char* hex = reply.c_str() + 2;
    if (hex[0] == '0' && hex[1] == 'x') hex += 2;
    std::string bytes(size, '\0');
    if (remote_parse_hex(hex, (uint8_t*)&bytes[0], size)) return fail_errno(EBADMSG);
    memcpy(data, bytes.data(), size);
    return 0;
}
