/*
 * plugins.h - the core's plug-in libraries (cable access, register access,
 * SSH transport), loaded when a handle needs them, and their entry points.
 */
#ifndef VEXIL_PLUGINS_H
#define VEXIL_PLUGINS_H

#include <stddef.h>
#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Library index of tqcr_utils_load_dl_ctx. */
enum {
    PLUGIN_CABLES = 0,
    PLUGIN_CABLES_ALT = 1,
    PLUGIN_REG_ACCESS = 2,
    PLUGIN_DEVICE_BRIDGE = 3,
    PLUGIN_SSH = 4
};

#define PLUGIN_SLOTS 16

/* Entry-point slots of the cable plug-in (index into entries[]). */
enum {
    CABLE_SLOT_OPEN = 0,
    CABLE_SLOT_CLOSE,
    CABLE_SLOT_READ4,
    CABLE_SLOT_WRITE4,
    CABLE_SLOT_READ4_BLOCK,
    CABLE_SLOT_WRITE4_BLOCK,
    CABLE_SLOT_READ_BYTES,
    CABLE_SLOT_WRITE_BYTES,
    CABLE_SLOT_CHIP_OPEN,
    CABLE_SLOT_CHIP_CLOSE,
    CABLE_SLOT_CHIP_READ4,
    CABLE_SLOT_CHIP_WRITE4,
    CABLE_SLOT_CHIP_READ4_BLOCK,
    CABLE_SLOT_CHIP_WRITE4_BLOCK,
    CABLE_SLOT_CDB_MACCESS_REG
};

/* Slots of the register-access plug-in. */
enum { REG_ACCESS_SLOT_MDDT = 0, REG_ACCESS_SLOT_MGIR = 2 };

/* Slots of the SSH plug-in. */
enum {
    SSH_SLOT_SET_UP = 0,
    SSH_SLOT_SHUT_DOWN,
    SSH_SLOT_WRITE,
    SSH_SLOT_READ,
    SSH_SLOT_REMOVE_HOST,
    SSH_SLOT_ADD_HOST
};

/* Cable entry points: 0 means success for all of them; the block entries
 * return the count of bytes not done. */
typedef int (*f_mcables_open)(mfile* mf, int port);
typedef int (*f_mcables_close)(mfile* mf);
typedef int (*f_mcables_read4)(mfile* mf, unsigned int offset, uint32_t* value);
typedef int (*f_mcables_write4)(mfile* mf, unsigned int offset, uint32_t value);
typedef int (*f_mcables_read4_block)(mfile* mf, unsigned int offset, uint32_t* data, int size);
typedef int (*f_mcables_write4_block)(mfile* mf, unsigned int offset, uint32_t* data, int size);
typedef int (*f_mcables_chip_open)(mfile* mf, int index, int sub_index);
typedef int (*f_mcables_chip_close)(mfile* mf);
typedef f_mcables_read4 f_mcables_chip_read4;
typedef f_mcables_write4 f_mcables_chip_write4;
typedef f_mcables_read4_block f_mcables_chip_read4_block;
typedef f_mcables_write4_block f_mcables_chip_write4_block;

/* Bytes of the buffer that read_ssh fills: one NUL-terminated message. */
#define SSH_READ_BUF_SIZE 4123

/* SSH entry points. set_up_client_connection returns 0 when connected (the
 * connection handle is stored through conn), 1 after too many login
 * attempts, anything else when SSH is not to be had. write_ssh sends the
 * text and its NUL; read_ssh fills buf (SSH_READ_BUF_SIZE bytes) with one
 * NUL-terminated message; both return the byte count or a negative value. */
typedef int (*f_set_up_client_connection)(const char* host, int port, void** conn);
typedef int (*f_shut_down_ssh)(void* conn);
typedef int (*f_write_ssh)(const char* text, void* conn);
typedef int (*f_read_ssh)(char* buf, void* conn);
typedef int (*f_remove_host)(const char* host);
typedef int (*f_add_host)(const char* host);

/* Byte access of the cable plug-in, used by the remote server side: the
 * read entry is given the write entry as its callback. */
typedef int (*f_mcables_write_bytes)(mfile* mf, uint32_t address, uint32_t length,
                                     uint8_t* data);
typedef int (*f_mcables_read_bytes)(mfile* mf, uint32_t address, uint32_t length, uint8_t* data,
                                    int mode, f_mcables_write_bytes write_bytes);

/* A loaded plug-in: the library handle and its looked-up entry points
 * (slot k of the table at entries[k - 1]); owned by the handle that loaded it. */
struct tqcr_plugin_ctx {
    void* dl_handle;
    void* entries[PLUGIN_SLOTS];
    int index; /* the library index it was loaded from */
};

/* Loads the library of an index (0 to 4; index 3 never loads) and looks up
 * its entry points: a new context, or null with errno set (EINVAL bad index,
 * ENAMETOOLONG a path that does not fit, ENOENT no library, a library that
 * does not load or lacks an entry, ENOMEM). */
struct tqcr_plugin_ctx* tqcr_utils_load_dl_ctx(int index);
/* Frees the context record; the library stays loaded. 1 for null, else 0. */
int tqcr_utils_free_dl_ctx(struct tqcr_plugin_ctx* ctx);
/* Loads the register-access plug-in into the handle's plugin_ctx (kept when
 * already there) and returns it; null when it does not load or the handle
 * holds another plug-in (EBUSY). */
struct tqcr_plugin_ctx* reg_access_lib_load(mfile* mf);

/* The library path of an index by the path rules (MCABLES_PATH, else the
 * absolute prefix of "/etc/zrv/zrv.conf" or "/usr" followed by the index's path):
 * 0, or -1 with errno EINVAL (bad index), ENOENT (index 3, which has no
 * library) or ENAMETOOLONG (longer than 511 characters). out holds at least
 * 512 bytes. */
int plugin_library_path(int index, char* out, size_t out_sz);

/* The entry point in a slot of the handle's plug-in, or null when the handle
 * has no plug-in or the slot is empty. */
void* plugin_entry(const mfile* mf, int slot);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_PLUGINS_H */
