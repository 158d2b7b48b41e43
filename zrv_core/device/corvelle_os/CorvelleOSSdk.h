/*
 * CorvelleOSSdk.h - what this program sees of the switch operating system's
 * SDK: the records of the register library and the entry points of the
 * register library ("libkvdreg_access.so.1") and the CR-space library
 * ("libcraccess.so.1"), both loaded at run time.
 */
#ifndef ZRV_CORE_DEVICE_CORVELLE_OS_SDK_H
#define ZRV_CORE_DEVICE_CORVELLE_OS_SDK_H

#include <stddef.h>
#include <stdint.h>

namespace zrv_core {

/* The access command of one raw register access. */
enum kvd_access_cmd : uint32_t {
    KVD_ACCESS_CMD_READ = 3,
    KVD_ACCESS_CMD_WRITE = 4,
};

/* One register image: the caller's buffer, read and, for a read, written in place. */
struct ku_raw_reg {
    uint32_t* buff;
    uint32_t size; /* bytes */
};

/* How one register access is made. */
struct kvd_reg_meta {
    kvd_access_cmd access_cmd;
    uint8_t dev_id;  /* the low 8 bits of the software id */
    uint8_t swid;    /* switch partition: always 0 */
    uint32_t status; /* 0 on the way in */
};

static_assert(sizeof(kvd_access_cmd) == 4, "the access command is a 32-bit value");
static_assert(offsetof(ku_raw_reg, buff) == 0 && offsetof(ku_raw_reg, size) == sizeof(void*) &&
                  sizeof(ku_raw_reg) == 2 * sizeof(void*),
              "ku_raw_reg: data pointer, then the 32-bit size");
static_assert(offsetof(kvd_reg_meta, access_cmd) == 0 && offsetof(kvd_reg_meta, dev_id) == 4 &&
                  offsetof(kvd_reg_meta, swid) == 5 && offsetof(kvd_reg_meta, status) == 8 &&
                  sizeof(kvd_reg_meta) == 12,
              "kvd_reg_meta: command, device id, partition id, status");

/* The register library's entry points. Every one but deinit answers 0 for success. */
using f_kvd_access_reg_init = int (*)(uint32_t app_id, void* callback, int flags);
using f_kvd_access_reg_deinit = int (*)();
using f_kvd_access_reg_raw = int (*)(ku_raw_reg* regs, kvd_reg_meta* meta, uint32_t count,
                                     uint32_t register_id, void* reserved1, void* reserved2);
using f_kvd_access_reg_max_size = int (*)(uint8_t device_id, uint32_t* dword_count);

/* The CR-space library's entry points; lengths in bytes. */
using f_kv_cr_access_init = int (*)();
using f_kv_cr_access_deinit = int (*)();
using f_kv_cr_access_read = int (*)(uint8_t device_id, uint32_t address, uint32_t* data,
                                    uint32_t length);
using f_kv_cr_access_write = int (*)(uint8_t device_id, uint32_t address, uint32_t* data,
                                     uint32_t length);

/* The value the register library is initialised with. */
constexpr uint32_t oKvdAccessRegAppId = 0x109;

}  // namespace zrv_core

#endif
