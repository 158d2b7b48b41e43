/*
 * remote.h - the remote access protocol: a device on another machine behind
 * a server, reached over SSH (plug-in) or TCP with NUL-terminated text
 * messages, one request and one reply at a time.
 */
#ifndef VEXIL_REMOTE_H
#define VEXIL_REMOTE_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

struct tqcr_plugin_ctx;

/* The protocol version of this client. */
#define REMOTE_CLIENT_MAJOR 1
#define REMOTE_CLIENT_MINOR 5

/* Size of the host buffer of parse_remote_device_name; the device buffer
 * holds DEV_NAME_SZ bytes. */
#define REMOTE_HOST_SZ 256

/* Connection state of a remote handle (the socket is mfile.sock_fd). */
struct remote_state {
    int connected;
    int over_ssh;
    struct tqcr_plugin_ctx* ssh_ctx;
    void* ssh_conn;
    int server_major;
    int server_minor;
    int functional_vsc;
    int width_code; /* the I2C address-width code sent at open */
    /* Bytes taken off the TCP socket and not yet handed out as messages:
     * rx_buf[rx_start, rx_end) of REMOTE_RX_BUF_SIZE; allocated at the first
     * read, released when the connection closes. */
    char* rx_buf;
    int rx_start;
    int rx_end;
    /* 1 once a wait for a reply was cut short by an ending signal: that
     * reply may still come (after the next request it is taken for that
     * request's), and every later reply is waited for only briefly (the
     * first to come is taken). */
    int reply_wait_cut;
    /* Monotonic milliseconds at which the wait for the reply to a request that may take a
     * semaphore ends, once an ending signal would have cut it; 0 when no such wait is on. Reset
     * by every request. */
    long long take_wait_ends_ms;
};

/* ---- open and close ---- */

/* Parses the name, connects, negotiates and opens the remote device: 0, or
 * -1 with errno (the connection is closed again on failure). */
int remote_open(const char* name, mfile* mf, int width_code);
/* Sends "C" and closes: 0 when the server agreed, else 1. */
int mclose_remote(mfile* mf);
/* Splits "host:port,device" (the text after the last '/', '@' standing for
 * '/'): host into REMOTE_HOST_SZ bytes, device into DEV_NAME_SZ bytes. 0, or
 * -1 with EINVAL for a malformed name or a part that does not fit. */
int parse_remote_device_name(const char* name, char* host, int* port, char* device);
/* SSH through the plug-in unless excluded or "SSH_TIMEOUT" is 0, else TCP:
 * 0 or -1. */
int open_remote_connection_client_side(mfile* mf, const char* host, int port, int no_ssh);
/* The "V" exchange: 0, or -1 (the connection is closed on a version the
 * client cannot talk to). */
int get_remote_version(mfile* mf);
int parse_remote_version(mfile* mf, const char* reply);
/* "i": the forced I2C address; no reply. 0 or -1. */
int remote_set_i2c_address(mfile* mf, int address);
/* "O": opens the device; the reply is left in reply (reply_sz bytes). 0, or
 * -1 with ENOENT when the server refused. */
int send_remote_open_cmd(mfile* mf, const char* device, int width_code, char* reply,
                         int reply_sz);
/* Takes the functional-VSC flag from the open reply (servers from minor 4
 * on; a reply without one means 0): 0, or -1 with EBADMSG when what follows
 * the 'O' is not a flag. */
int remote_get_vsec_info(mfile* mf, const char* reply);

/* ---- dword, block and address-space access ---- */

/* Dword access: 4, or -1 with errno (EIO for a refusing or malformed reply). */
int remote_read4(mfile* mf, unsigned int offset, uint32_t* value);
int remote_write4(mfile* mf, unsigned int offset, uint32_t value);
/* One block chunk ("B"/"U" on servers from 1.2 on, dword by dword before):
 * len, or -1 with errno. */
int remote_read4_block_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len);
int remote_write4_block_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len);
/* Address space ("A", servers from minor 4 on): 0 or -1. */
int remote_mset_addr_space(mfile* mf, int space);
/* Hardware id ("D"): 4 or -1. */
int remote_read_device_id(mfile* mf, uint32_t* id);

int remote_server_supports_icmd(mfile* mf);
int remote_server_supports_read_devid(mfile* mf);
int remote_server_supports_icmd_syndrome(mfile* mf);
int remote_server_supports_mset_i2c_addr(mfile* mf);
/* "s": 0, or -1 (ENOENT when the server refused). */
int remote_mset_i2c_address(mfile* mf, unsigned char address);
/* "I": an ICMD command of size bytes (the reply replaces them): 0, the
 * server's non-zero status (its syndrome in mf->icmd.syndrome from minor 6
 * on), or -1 with errno for a message or reply that cannot be used. */
int icmd_send_command_remote(mfile* mf, int opcode, void* data, int size, int skip_write);

/* ---- I2C and cable messages of a remote handle ---- */

/* "r"/"w": length (at most 64) bytes at offset of the I2C device at
 * secondary with the address width (0, 1, 2 or 4); secondary becomes the
 * handle's i2c_secondary. The byte count, or -1 with errno (EINVAL bad
 * arguments, EIO refusal, EBADMSG malformed reply). */
int remote_i2c_read_block(mfile* mf, unsigned char secondary, int width, unsigned int offset,
                          void* data, int length);
int remote_i2c_write_block(mfile* mf, unsigned char secondary, int width, unsigned int offset,
                           const void* data, int length);
/* "S": one flag per I2C address in table (128 bytes): 0, or -1 with errno. */
int remote_i2c_detect(mfile* mf, uint8_t table[128]);
/* Server side of the remote cable byte access: through the cable plug-in's
 * byte entries (loaded into the handle); their result, or -1. */
int mcables_remote_operation_server_side(mfile* mf, uint32_t address, uint32_t length,
                                         uint8_t* data, int mode);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_REMOTE_H */
