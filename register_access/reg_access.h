/*
 * reg_access.h - one function per access register: reg_access_ followed by
 * the register's name. Each takes an open handle, the method (1 GET, 2 SET)
 * and the register's layout record, which it packs into the register image,
 * delivers with maccess_reg and unpacks the reply into.
 *
 * Every function returns an merror_code: 0 on success, ME_REG_ACCESS_BAD_METHOD
 * for a method other than GET or SET (nothing is sent), ME_MEM_ERROR when the
 * register buffer cannot be allocated, or what maccess_reg returned (the
 * register status folded in). The record is unpacked even after a failed
 * delivery, so after a nonzero result it holds the request or a partial
 * reply, never a reply to rely on.
 */
#ifndef VEXIL_REG_ACCESS_H
#define VEXIL_REG_ACCESS_H

#include <stdint.h>

#include "mtcr.h"
#include "reg_access_hca_layouts.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Access-register ids of the registers below. */
enum reg_access_register_id {
    REG_ID_NIC_CAP_EXT = 0xC011,
    REG_ID_NIC_HXU_EUG = 0xC012,
    REG_ID_NIC_HXU_PERF_CTRL = 0xC014,
    REG_ID_NIC_HXU_EU_PARTITION = 0xC015,
};

/* The error text of a register access result (the texts of m_err2str). */
const char* reg_access_err2str(int code);

/* ---- adapter registers ---- */
int reg_access_nic_cap_ext(mfile* mf, uint32_t method, struct reg_access_hca_nic_cap_ext_reg_ext* reg);
int reg_access_nic_hxu_eug(mfile* mf, uint32_t method, struct reg_access_hca_nic_hxu_eug_reg_ext* reg);
int reg_access_nic_hxu_perf_ctrl(mfile* mf, uint32_t method,
                                 struct reg_access_hca_nic_hxu_perf_ctrl_reg_ext* reg);
int reg_access_nic_hxu_eu_partition(mfile* mf, uint32_t method,
                                    struct reg_access_hca_nic_hxu_eu_partition_reg_ext* reg);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_REG_ACCESS_H */
