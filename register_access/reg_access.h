/*
 * reg_access.h - one function per access register: reg_access_ followed by
 * the register's name. Each takes an open handle, the method (1 GET, 2 SET)
 * and the register's layout record, which it packs into the register image,
 * delivers with maccess_reg and unpacks the reply into. The registers, their
 * ids and their records are listed in reg_access_table.h.
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
#include "reg_access_table.h"

#include "frwfw_layouts.h"
#include "reg_access_hca_layouts.h"
#include "reg_access_retimer_layouts.h"
#include "reg_access_switch_layouts.h"
#include "switchen_layouts.h"
#include "tools_layouts.h"
#include "tools_open_layouts.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Access-register ids: REG_ID_<name> for reg_access_<name>. */
#define REG_ACCESS_ID_ENTRY(name, register_id, layout) REG_ID_##name = register_id,
enum reg_access_register_id {
    REG_ACCESS_PLAIN_REGISTERS(REG_ACCESS_ID_ENTRY)
    REG_ACCESS_VARIANT_REGISTERS(REG_ACCESS_ID_ENTRY)
};
#undef REG_ACCESS_ID_ENTRY

/* The error text of a register access result (the texts of m_err2str). */
const char* reg_access_err2str(int code);

/* ---- the registers of the common frame: reg_access_<name>(mf, method, record) ---- */
#define REG_ACCESS_DECLARE(name, register_id, layout) \
    int reg_access_##name(mfile* mf, uint32_t method, struct layout* reg);
REG_ACCESS_PLAIN_REGISTERS(REG_ACCESS_DECLARE)
#undef REG_ACCESS_DECLARE

/* ---- registers with their own sizes, methods or unpacking ---- */

/* Counters by the counter-set type (RICNT) or counter group (PPCNT): the
 * reply is unpacked with the unpackers below. */
int reg_access_ricnt(mfile* mf, uint32_t method, struct switchen_ricnt* reg);
int reg_access_ppcnt(mfile* mf, uint32_t method, struct switchen_ppcnt_reg* reg);

/* Unpack the record, then the member of its counter union that the record's
 * counter-set type (9 to 12) or counter group (0-3, 5, 16, 17) names, from
 * image byte 8; any other value leaves the union as the record's unpack left it. */
void switchen_ricnt_unpack_with_union(struct switchen_ricnt* ptr_struct, const uint8_t* ptr_buff);
void switchen_ppcnt_reg_unpack_with_union(struct switchen_ppcnt_reg* ptr_struct, const uint8_t* ptr_buff);

/* SET only: the NV header and its data length (nv_hdr.length), data zero. */
int reg_access_mnvdi(mfile* mf, uint32_t method, struct tools_open_mnvdi* reg);

/* The NV header and nv_hdr.length data bytes: GET sends the header and reads
 * both back, SET sends both and reads the header back. A length above the
 * record's data area is refused with ME_BAD_PARAMS before anything is sent. */
int reg_access_mnvda(mfile* mf, uint32_t method, struct tools_open_mnvda* reg);

/* GET only (any other method: ME_REG_ACCESS_BAD_METHOD); the register status
 * of the reply goes to *status. */
int reg_access_mnvgn(mfile* mf, uint32_t method, struct tools_open_mnvgn* reg, int* status);
int reg_access_mgnle(mfile* mf, uint32_t method, struct tools_open_mgnle* reg, int* status);

/* 12 header bytes and `size` data bytes: GET sends the header and reads both
 * back, SET sends both and reads the header back. A size above the record's
 * data area is refused with ME_BAD_PARAMS before anything is sent. */
int reg_access_mfba(mfile* mf, uint32_t method, struct reg_access_hca_mfba_reg_ext* reg);

/* The image carries `size` transactions: 8 bytes for none, else the size
 * rounded down to whole dwords after adding 3, plus 4. More transactions than
 * the record holds are refused with ME_BAD_PARAMS before anything is sent. */
int reg_access_mjtag(mfile* mf, uint32_t method, struct tools_mjtag* reg);

/* A NULL handle is ME_UNSUPPORTED_DEVICE. On a switch-OS handle the image is
 * cut to the handle's largest register for the method; the part that did not
 * travel reads back as zero. */
int reg_access_mgir(mfile* mf, uint32_t method, struct reg_access_hca_mgir_ext* reg);

/* Resource dump; with DUMP_DEBUG set the request is dumped to standard
 * output first. */
int reg_access_res_dump(mfile* mf, uint32_t method, struct reg_access_hca_resource_dump_ext* reg);

/* The fixed part and read_length bytes of string data (reg->string_db_data,
 * read_length bytes); reg->read_size may not exceed read_length
 * (ME_BAD_PARAMS). A reply is moved into string_db_data up to read_length
 * bytes, however much the device says it holds; after a failed delivery the
 * record is left as it was. */
int reg_access_mtrc_stdb(mfile* mf, uint32_t method, struct reg_access_hca_mtrc_stdb_reg_ext* reg,
                         uint32_t read_length);

/* Reads `total` bytes (a multiple of 64, else ME_BAD_PARAMS) of string
 * database string_db_index into buffer, in GETs of up to 704 bytes. */
int reg_access_mtrc_stdb_wrapper(mfile* mf, uint32_t total, uint8_t string_db_index, uint8_t* buffer);

/* reg_access_mcqs_inner / reg_access_mcqi_inner, then, while MCQS_DEBUG
 * (MCQI_DEBUG) is set, the record dumped to standard output. */
int reg_access_mcqs(mfile* mf, uint32_t method, struct reg_access_hca_mcqs_reg_ext* reg);
int reg_access_mcqi(mfile* mf, uint32_t method, struct reg_access_hca_mcqi_reg_ext* reg);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_REG_ACCESS_H */
