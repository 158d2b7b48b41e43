/*
 * gearbox.h - gearbox devices (opened by names holding "_gbox") and the MDDT
 * tunnel that carries their registers and CR space through a switch.
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
    char switch_name[DEV_NAME_SZ];
};

/* Recognises a gearbox name and sets the handle up; the name buffer (of
 * name_sz bytes) may be rewritten for a switch gearbox. 0, also for a name
 * that is no gearbox; 1 when the switch plug-in is missing. */
int mopen_gearbox(char* name, size_t name_sz, mfile* mf);
void update_gearbox_mFile(mfile* mf, int gearbox, int manager);
int check_if_mddt_wrapper_needed(mfile* mf, uint16_t reg_id);
int create_mddt_wrapper_for_prm_payload(mfile* mf, uint16_t reg_id, int method, void* data,
                                        uint32_t size, uint32_t r_size, uint32_t w_size,
                                        int* status);
int create_mddt_wrapper_for_cmd_payload(mfile* mf, int method, void* in, void* out,
                                        uint32_t w_size, uint32_t r_size);
/* CR read (method 1) or write (method 2) through MDDT: an merror_code. */
int gearbox_mddt_crspace_access(mfile* mf, int method, uint32_t* data, unsigned int offset,
                                uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_GEARBOX_H */
