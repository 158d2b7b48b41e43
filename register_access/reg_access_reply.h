/*
 * reg_access_reply.h - the steps of the register functions that read what a
 * device answered, on their own so that they can be driven without a device
 * (the register-reply fuzz target). Not part of the library's interface.
 */
#ifndef VEXIL_REG_ACCESS_REPLY_H
#define VEXIL_REG_ACCESS_REPLY_H

#include <stdint.h>

#include "reg_access_hca_layouts.h"

/* Unpacks an MTRC_STDB reply image of 8 + read_length bytes into reg, whose
 * string_db_data holds read_length bytes (or is NULL): read_size is cut to
 * read_length in the image first, so no more than that is moved. */
void reg_access_mtrc_stdb_unpack_reply(struct reg_access_hca_mtrc_stdb_reg_ext* reg, uint8_t* image,
                                       uint32_t read_length);

#endif /* VEXIL_REG_ACCESS_REPLY_H */
