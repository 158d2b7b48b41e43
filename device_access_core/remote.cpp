/*
 * remote.cpp - the remote access protocol.
 * Placeholder until the remote transport lands: no connection is ever made.
 */
#include "remote.h"

#include <errno.h>

#include "mtcr_int.h"

static int not_supported()
{
    errno = ENOTSUP;
    return -1;
}

int remote_open(const char*, mfile*, int) { return not_supported(); }
int mclose_remote(mfile*) { return 1; }
int parse_remote_device_name(const char*, char*, int*, char*)
{
    errno = EINVAL;
    return -1;
}
int remote_read4(mfile*, unsigned int, uint32_t*) { return not_supported(); }
int remote_write4(mfile*, unsigned int, uint32_t) { return not_supported(); }
int remote_read4_block_chunk(mfile*, unsigned int, uint32_t*, int) { return not_supported(); }
int remote_write4_block_chunk(mfile*, unsigned int, uint32_t*, int) { return not_supported(); }
int remote_mset_addr_space(mfile*, int) { return not_supported(); }
int remote_read_device_id(mfile*, uint32_t*) { return not_supported(); }
int remote_server_supports_icmd(mfile*) { return 0; }
int remote_server_supports_read_devid(mfile*) { return 0; }
int remote_server_supports_icmd_syndrome(mfile*) { return 0; }
int remote_server_supports_mset_i2c_addr(mfile*) { return 0; }
int remote_mset_i2c_address(mfile*, unsigned char) { return not_supported(); }
int icmd_send_command_remote(mfile*, int, void*, int, int) { return not_supported(); }
