/*
 * plugins.h - the core's plug-in libraries (cable access, register access,
 * SSH transport), loaded when a handle needs them, and their entry points.
 */
#ifndef VEXIL_PLUGINS_H
#define VEXIL_PLUGINS_H

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

/* A loaded plug-in: the library handle and its looked-up entry points
 * (slot k of the table at entries[k - 1]); owned by the handle that loaded it. */
struct tqcr_plugin_ctx {
    void* dl_handle;
    void* entries[PLUGIN_SLOTS];
};

struct tqcr_plugin_ctx* tqcr_utils_load_dl_ctx(int index);
int tqcr_utils_free_dl_ctx(struct tqcr_plugin_ctx* ctx);
struct tqcr_plugin_ctx* reg_access_lib_load(mfile* mf);

/* The entry point in a slot of the handle's plug-in, or null when the handle
 * has no plug-in or the slot is empty. */
void* plugin_entry(const mfile* mf, int slot);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_PLUGINS_H */
