/*
 * reg_access_frame.h - the common body of the register functions: method
 * check, register buffer, pack, maccess_reg, unpack. A register whose image
 * is its layout's full size and that needs nothing else is one line:
 *
 *     REG_ACCESS_FUNCTION(nic_hxu_eug, REG_ID_NIC_HXU_EUG, reg_access_hca_nic_hxu_eug_reg_ext)
 *
 * which defines reg_access_nic_hxu_eug over the layout's generated _pack,
 * _unpack and _size functions (declare it in reg_access.h).
 */
#ifndef VEXIL_REG_ACCESS_FRAME_H
#define VEXIL_REG_ACCESS_FRAME_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "mtcr.h"

namespace reg_access_frame {

/* The methods a register function passes on; anything else is refused before a buffer exists. */
inline bool is_access_method(uint32_t method)
{
    return method == MACCESS_REG_METHOD_GET || method == MACCESS_REG_METHOD_SET;
}

template <typename Record, void (*Pack)(const Record*, uint8_t*), void (*Unpack)(Record*, const uint8_t*),
          unsigned int (*Size)(void)>
int access(mfile* mf, uint16_t register_id, uint32_t method, Record* record)
{
    const uint32_t size = Size();
    if (!is_access_method(method))
        return ME_REG_ACCESS_BAD_METHOD;
    uint8_t* image = static_cast<uint8_t*>(malloc(size));
    if (image == NULL)
        return ME_MEM_ERROR;
    memset(image, 0, size);
    Pack(record, image);
    int status = 0;
    const int rc = maccess_reg(mf, register_id, static_cast<int>(method), image, size, size, size, &status);
    /* The buffer holds the reply, or the request or a partial reply after a failure. */
    Unpack(record, image);
    free(image);
    return rc;
}

} // namespace reg_access_frame

#define REG_ACCESS_FUNCTION(name, register_id, layout)                                          \
    int reg_access_##name(mfile* mf, uint32_t method, struct layout* reg)                       \
    {                                                                                           \
        return reg_access_frame::access<struct layout, layout##_pack, layout##_unpack, layout##_size>( \
            mf, register_id, method, reg);                                                      \
    }

#endif /* VEXIL_REG_ACCESS_FRAME_H */
