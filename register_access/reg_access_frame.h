/*
 * reg_access_frame.h - the common body of the register functions: method
 * check, register buffer, pack, maccess_reg, unpack. A register whose image
 * is its layout's full size and that needs nothing else is one row of
 * REG_ACCESS_PLAIN_REGISTERS (reg_access_table.h), which expands through
 *
 *     REG_ACCESS_FUNCTION(nic_hxu_eug, 0xC012, reg_access_hca_nic_hxu_eug_reg_ext)
 *
 * into reg_access_nic_hxu_eug over the layout's generated _pack, _unpack and
 * _size functions.
 */
#ifndef VEXIL_REG_ACCESS_FRAME_H
#define VEXIL_REG_ACCESS_FRAME_H

#include <stdint.h>
#include <stdlib.h>

#include "mtcr.h"

namespace reg_access_frame {

/* The methods a register function passes on; anything else is refused before a buffer exists. */
inline bool is_access_method(uint32_t method)
{
    return method == MACCESS_REG_METHOD_GET || method == MACCESS_REG_METHOD_SET;
}

/* The register buffer of one call: `size` zeroed bytes, freed at the end of the scope.
 * bytes is NULL when the allocation failed. */
class Buffer {
public:
    explicit Buffer(uint32_t size) : bytes(static_cast<uint8_t*>(calloc(size ? size : 1, 1))) {}
    ~Buffer() { free(bytes); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    uint8_t* const bytes;
};

/* Packs the record into a zeroed buffer of buffer_size bytes, delivers it as a
 * register of reg_size bytes of which request_size are sent and reply_size read
 * back, and unpacks the buffer into the record whatever the delivery returned. */
template <typename Record, void (*Pack)(const Record*, uint8_t*), void (*Unpack)(Record*, const uint8_t*)>
int deliver(mfile* mf, uint16_t register_id, uint32_t method, Record* record, uint32_t buffer_size,
            uint32_t reg_size, uint32_t reply_size, uint32_t request_size)
{
    Buffer image(buffer_size);
    if (image.bytes == NULL)
        return ME_MEM_ERROR;
    Pack(record, image.bytes);
    int status = 0;
    const int rc = maccess_reg(mf, register_id, static_cast<int>(method), image.bytes, reg_size, reply_size,
                               request_size, &status);
    /* The buffer holds the reply, or the request or a partial reply after a failure. */
    Unpack(record, image.bytes);
    return rc;
}

/* The common frame: the layout's full image, both ways. */
template <typename Record, void (*Pack)(const Record*, uint8_t*), void (*Unpack)(Record*, const uint8_t*),
          unsigned int (*Size)(void)>
int access(mfile* mf, uint16_t register_id, uint32_t method, Record* record)
{
    const uint32_t size = Size();
    if (!is_access_method(method))
        return ME_REG_ACCESS_BAD_METHOD;
    return deliver<Record, Pack, Unpack>(mf, register_id, method, record, size, size, size, size);
}

} // namespace reg_access_frame

#define REG_ACCESS_FUNCTION(name, register_id, layout)                                                 \
    int reg_access_##name(mfile* mf, uint32_t method, struct layout* reg)                              \
    {                                                                                                  \
        return reg_access_frame::access<struct layout, layout##_pack, layout##_unpack, layout##_size>( \
            mf, register_id, method, reg);                                                             \
    }

#endif /* VEXIL_REG_ACCESS_FRAME_H */
