/*
 * remote_handle_ops.cpp - the I2C, cable and version messages of a remote
 * handle: I2C block transfers ("r", "w"), the bus scan ("S"), cable byte
 * access ("x", "X") and cable commands, the server side of the cable byte
 * access, and the version messages of the link.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "handle_services.h"
#include "mtcr_int.h"
#include "plugins.h"
#include "remote.h"
#include "remote_link.h"
#include "remote_parse.h"

static const int I2C_BLOCK_MAX = 64;
static const uint32_t CABLE_PIECE_MAX = 2048;
static const int CABLE_FAILED = 6;
static const int SHORT_REPLY_SZ = 21;


/* ---- version messages ---- */

int is_warning_enabled(void) { return getenv("TQCR_REMOTE_WARN") != nullptr; }

void print_ver_warn(int major, int minor)
{
    if (!is_warning_enabled()) return;
    printf("-W- The QDX remote version %d.%d is older than local client version %d.%d. Some "
           "features may not work.\n",
           major, minor, REMOTE_CLIENT_MAJOR, REMOTE_CLIENT_MINOR);
}

void print_ver_err(int major, int minor)
{
    printf("-E- The QDX remote version mismatch: Remote Server: %d.%d, Local Client: %d.%d. "
           "Please install a newer ZRV.\n",
           major, minor, REMOTE_CLIENT_MAJOR, REMOTE_CLIENT_MINOR);
}

/* ---- I2C ---- */

static int valid_i2c_request(mfile* mf, int width, const void* data, int length)
{
    if (!mf || !data || length < 0 || length > I2C_BLOCK_MAX) return 0;
    return width == 0 || width == 1 || width == 2 || width == 4;
}

int remote_i2c_read_block(mfile* mf, unsigned char secondary, int width, unsigned int offset,
                          void* data, int length)
{
    if (!valid_i2c_request(mf, width, data, length)) return fail_errno(EINVAL);
    mf->i2c_secondary = secondary;
    char request[64];
    snprintf(request, sizeof(request), "r %d 0x%02x 0x%x 0x%x", width, secondary,
             (unsigned)length, offset);
    char reply[SHORT_REPLY_SZ + 2 * I2C_BLOCK_MAX];
    if (remote_transact(mf, request, reply, sizeof(reply)) < 0) return -1;
    if (reply[0] != 'O') return fail_errno(EIO);

    const char* p = reply + 1;
    while (*p == ' ') p++;
    uint32_t count = 0;
    if (remote_parse_number(&p, &count) || *p++ != ' ' || count > (uint32_t)length)
        return fail_errno(EBADMSG);
    uint8_t bytes[I2C_BLOCK_MAX];
    if (remote_parse_hex(p, bytes, count)) return fail_errno(EBADMSG);
    memcpy(data, bytes, count);
    return (int)count;
}

int remote_i2c_write_block(mfile* mf, unsigned char secondary, int width, unsigned int offset,
                           const void* data, int length)
{
    if (!valid_i2c_request(mf, width, data, length)) return fail_errno(EINVAL);
    mf->i2c_secondary = secondary;
    char head[64];
    snprintf(head, sizeof(head), "w %d 0x%02x 0x%x 0x%x ", width, secondary, (unsigned)length,
             offset);
    std::string request = head;
    remote_append_hex(request, (const uint8_t*)data, length);
    char reply[SHORT_REPLY_SZ];
    if (remote_transact(mf, request.c_str(), reply, sizeof(reply)) < 0) return -1;
    return reply[0] == 'O' ? length : fail_errno(EIO);
}

int remote_i2c_detect(mfile* mf, uint8_t table[128])
{
    if (!mf || !table) return fail_errno(EINVAL);
    memset(table, 0, 128);
    std::string reply(REMOTE_MSG_SIZE, '\0');
    if (remote_transact(mf, "S", &reply[0], REMOTE_MSG_SIZE) < 0) return -1;
    if (reply[0] != 'O') return fail_errno(EIO);

    uint8_t found[128] = {0};
    const char* p = reply.c_str() + 1;
    while (!remote_at_end(p)) {
        if (*p++ != ' ') return fail_errno(EBADMSG);
        if (remote_at_end(p)) break;
        uint32_t address = 0;
        if (remote_parse_number(&p, &address) || !remote_at_token_end(p)) return fail_errno(EBADMSG);
        /* Only 0-127 are I2C addresses; a server's other numbers are no entries. */
        if (address < 128) found[address] = 1;
    }
    memcpy(table, found, sizeof(found));
    return 0;
}

/* ---- cables ---- */

int mcables_remote_operation_client_side(mfile* mf, uint32_t address, uint32_t length,
                                         uint8_t* data, int write)
{
    if (!mf || (length && !data)) {
        errno = EINVAL;
        return CABLE_FAILED;
    }
    std::string reply(REMOTE_MSG_SIZE, '\0');
    for (uint32_t done = 0; done < length;) {
        uint32_t piece = length - done < CABLE_PIECE_MAX ? length - done : CABLE_PIECE_MAX;
        char head[48];
        snprintf(head, sizeof(head), "%c 0x%08x 0x%08x", write ? 'X' : 'x', address + done,
                 piece);
        std::string request = head;
        if (write) {
            request += " 0x";
            remote_append_hex(request, data + done, piece);
        }
        if (remote_transact(mf, request.c_str(), &reply[0], REMOTE_MSG_SIZE) < 0)
            return CABLE_FAILED;
        if (reply[0] != 'O') {
            errno = EIO;
            return CABLE_FAILED;
        }
        if (!write) {
            if (reply[1] == '\0') {
                errno = EBADMSG;
                return CABLE_FAILED;
            }
            const char* hex = reply.c_str() + 2;
            if (hex[0] == '0' && hex[1] == 'x') hex += 2;
            /* Into a copy: a malformed reply leaves the buffer as it was. */
            std::string bytes(piece, '\0');
            if (remote_parse_hex(hex, (uint8_t*)&bytes[0], piece)) {
                errno = EBADMSG;
                return CABLE_FAILED;
            }
            memcpy(data + done, bytes.data(), piece);
        }
        done += piece;
    }
    return 0;
}

int crvcables_remote_operation_client_side(mfile* mf, const char* text, char command,
                                           char subcommand, const char* argument)
{
    if (!mf || !text) return fail_errno(EINVAL);
    std::string request(1, command);
    request += ' ';
    request += text;
    request += ' ';
    request += subcommand;
    if (argument && strcmp(argument, "0") != 0) {
        request += ' ';
        request += argument;
    }
    if (request.size() >= REMOTE_MSG_SIZE) return fail_errno(EMSGSIZE);
    if (remote_write(mf, request.c_str()) < 0) return -1;
    std::string piece(REMOTE_MSG_SIZE, '\0');
    for (;;) {
        int len = remote_read(mf, &piece[0], REMOTE_MSG_SIZE);
        if (len <= 0) break;
        printf("%s", piece.c_str());
        if (strstr(piece.c_str(), "Finished")) break;
    }
    fflush(stdout);
    return 0;
}

int mcables_remote_operation_server_side(mfile* mf, uint32_t address, uint32_t length,
                                         uint8_t* data, int mode)
{
    if (!mf) return fail_errno(EINVAL);
    if (!mf->plugin_ctx) {
        mf->plugin_ctx = tqcr_utils_load_dl_ctx(PLUGIN_CABLES);
        if (!mf->plugin_ctx) mf->plugin_ctx = tqcr_utils_load_dl_ctx(PLUGIN_CABLES_ALT);
        if (!mf->plugin_ctx) return -1;
    }
    if (mf->plugin_ctx->index != PLUGIN_CABLES && mf->plugin_ctx->index != PLUGIN_CABLES_ALT)
        return fail_errno(EBUSY);
    auto read_bytes = (f_mcables_read_bytes)plugin_entry(mf, CABLE_SLOT_READ_BYTES);
    auto write_bytes = (f_mcables_write_bytes)plugin_entry(mf, CABLE_SLOT_WRITE_BYTES);
    if (!read_bytes || !write_bytes) return fail_errno(EOPNOTSUPP);
    if (mode == 0) return read_bytes(mf, address, length, data, mode, write_bytes);
    if (mode == 1) return write_bytes(mf, address, length, data);
    return fail_errno(EINVAL);
}
