/*
 * gearbox.h - gearbox devices (opened by names holding "_gbox") and the MDDT
 * tunnel that carries their registers and CR space through a switch.
 *
 * A gearbox is reached through a USB-to-I2C adapter, through Linux I2C, or
 * through a switch. In the switch case every access register, command and
 * CR-space dword of the gearbox travels inside the switch's MDDT register
 * (0x9160), which the register-access plug-in's reg_access_mddt carries: the
 * core hands it one mddt_record per access.
 */
#ifndef VEXIL_GEARBOX_H
#define VEXIL_GEARBOX_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Gearbox gateway state of a handle; the chip, line, manager and kind marks
 * are mfile's gearbox_chip, gearbox_line, gearbox_mngr and gearbox_kind. */
struct gearbox_area {
    int index; /* the name's last digit, -1 when none */
    int lane;  /* digit after "_ln", -1 when not a gearbox */
    char mngr_name[DEV_NAME_SZ];
    char dev_name[DEV_NAME_SZ];
    char switch_name[DEV_NAME_SZ]; /* the name as given, for a gearbox behind a switch */
};

/* ---- the MDDT record ---- */

#define MDDT_REG_ID 0x9160
#define MDDT_DATA_MAX 256    /* register image or CR data */
#define MDDT_COMMAND_MAX 260 /* command bytes */

enum { MDDT_TYPE_PRM_REGISTER = 0, MDDT_TYPE_COMMAND = 1, MDDT_TYPE_CRSPACE = 2 };

/* What reg_access_mddt is handed: the MDDT register's fields, sizes in
 * dwords, payload words in host order (the plug-in packs them big-endian). */
struct mddt_record {
    uint8_t device_index; /* the gearbox index */
    uint8_t lane;
    uint8_t type;         /* MDDT_TYPE_ */
    uint8_t write_size;   /* dwords sent */
    uint8_t read_size;    /* dwords read back */
    uint8_t reserved[3];
    union {
        struct {
            uint16_t register_id;
            uint8_t method; /* the access method less 1 */
            uint8_t status; /* the inner register status that came back */
            uint32_t data[MDDT_DATA_MAX / 4];
        } prm;
        struct {
            uint32_t data[MDDT_COMMAND_MAX / 4];
        } command;
        struct {
            uint32_t address;
            uint32_t data[MDDT_DATA_MAX / 4];
        } crspace;
    } payload;
};

/* The plug-in's MDDT entry point: a register function (method 1 GET, 2 SET)
 * over the record; an merror_code. */
typedef int (*f_reg_access_mddt)(mfile* mf, uint32_t method, struct mddt_record* record);

/* ---- names and open ---- */

/* Recognises a gearbox name and sets the handle up; the name buffer (of
 * name_sz bytes) is rewritten for a local gearbox behind a switch to the
 * switch's node. 0, also for a name that is no gearbox; 1 with errno when
 * the switch plug-in is missing (its loader's errno), the manager name would
 * not fit (ENAMETOOLONG), or a switch name holds no switch between "switch_"
 * and "_gbox" (EINVAL). */
int mopen_gearbox(char* name, size_t name_sz, mfile* mf);
/* I2C secondary 0x33 for the manager, 0x48 for a gearbox device; four-byte
 * addresses. */
void update_gearbox_mFile(mfile* mf, int gearbox, int manager);

/* ---- the tunnel ---- */

/* True for a switch gearbox and any register but MDDT itself; the gearbox
 * kind is cleared until create_mddt_wrapper_for_prm_payload restores it. */
int check_if_mddt_wrapper_needed(mfile* mf, uint16_t reg_id);
/* One access register (its big-endian image of `size` bytes, at most 256)
 * through MDDT; the image is replaced by the reply, *status receives the
 * translated inner status. The plug-in's result: 11 null handle, 269 too
 * large, 1 no MDDT entry point. */
int create_mddt_wrapper_for_prm_payload(mfile* mf, uint16_t reg_id, int method, void* data,
                                        uint32_t size, uint32_t r_size, uint32_t w_size,
                                        int* status);
/* One command (w_size bytes out of `in`, r_size bytes into `out`, both at
 * most 260 and big-endian byte streams) through MDDT; in and out may be the
 * same buffer. */
int create_mddt_wrapper_for_cmd_payload(mfile* mf, int method, void* in, void* out,
                                        uint32_t w_size, uint32_t r_size);
/* CR read (method 1) or write (method 2) of `size` bytes (at most 256) of
 * host-order dwords through MDDT: an merror_code. A read clears data first
 * and fills it only when the access succeeded. */
int gearbox_mddt_crspace_access(mfile* mf, int method, uint32_t* data, unsigned int offset,
                                uint32_t size);
/* The plug-in's MDDT entry point, looked up once per process; null when the
 * plug-in is missing. */
f_reg_access_mddt create_mddt_handler(mfile* mf);
/* Bytes 0-4 of the record: the handle's gearbox index and lane, the sizes
 * and the type. */
void fill_mddt_wrapper(mfile* mf, struct mddt_record* record, uint8_t read_dwords,
                       uint8_t write_dwords, uint8_t type);
/* The inner register status to an merror_code. */
int translate_inner_status(int status);

#define GEARBOX_PRM_CMD_SIZE 262
#define GEARBOX_PRM_CMD_DATA_MAX 252
/* A register command of GEARBOX_PRM_CMD_SIZE bytes: the image from byte 0,
 * the method at 252, the register id (host order) at 254, the status at 256,
 * 0xFF at 258 and 1 at 260. 0, or 269 for an image above 252 bytes. */
int gearbox_prm_reg_access_cmd(uint8_t* record, uint16_t reg_id, int method, const void* data,
                               uint32_t size, uint8_t status);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_GEARBOX_H */
