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

/* Connection state of a remote handle (the socket is mfile.sock_fd). */
struct remote_state {
    int connected;
    int over_ssh;
    struct tqcr_plugin_ctx* ssh_ctx;
    void* ssh_conn;
    int server_major;
    int server_minor;
    int functional_vsc;
};

int remote_open(const char* name, mfile* mf, int width_code);
int mclose_remote(mfile* mf);
int parse_remote_device_name(const char* name, char* host, int* port, char* device);

/* Dword access: 4, or -1 with errno (EIO for a refusing reply). */
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
int remote_mset_i2c_address(mfile* mf, unsigned char address);
int icmd_send_command_remote(mfile* mf, int opcode, void* data, int size, int skip_write);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_REMOTE_H */
