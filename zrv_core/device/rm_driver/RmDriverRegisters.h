/*
 * RmDriverRegisters.h - the registers a GPU-class device carries as
 * resource-manager controls of their own, one table row each
 * (RmDriverRegConverters.cpp).
 *
 * A register's control takes a parameter record: bWrite at byte 0, a data
 * area of 496 bytes from byte 1 that the driver fills with the register's
 * image, and from byte 497 some fields of the register, each the value its
 * layout record holds, in host byte order. A row names those fields; the one
 * register whose reply has a layout of its own (MORD) has a reply function.
 */
#ifndef ZRV_CORE_DEVICE_RM_DRIVER_RM_DRIVER_REGISTERS_H
#define ZRV_CORE_DEVICE_RM_DRIVER_RM_DRIVER_REGISTERS_H

#include <stddef.h>
#include <stdint.h>

namespace zrv_core {

constexpr uint32_t oGpuParamDataAt = 1;
constexpr uint32_t oGpuParamDataSize = 496;
constexpr uint32_t oGpuParamFieldsAt = oGpuParamDataAt + oGpuParamDataSize;

/* One field (or array) of the parameter record, copied from the register
 * record: `count` elements, element i from `from + i * fromStride` (an
 * unsigned integer of `fromBytes`) to `at + i * atStride` (its low `bytes`). */
struct sGpuParamField {
    uint16_t at;
    uint8_t bytes;
    uint16_t count;
    uint16_t atStride;
    size_t from;
    uint8_t fromBytes;
    size_t fromStride;
    const char* name;
    bool logged; /* scalars are logged, arrays are not */
};

enum eGpuLogStyle : uint8_t {
    eGpuLogFields,      /* "oPAOSParams.admin_status: 1" */
    eGpuLogBlankBefore, /* "oUNDRIParams.pipe_index :1" */
    eGpuLogWriteOnly,   /* bWrite alone */
};

struct sGpuRegister {
    uint16_t id;
    const char* name;
    uint32_t control;
    uint16_t recordSize; /* parameter record */
    uint16_t replyBytes; /* the register's image: the caller's buffer holds it */
    size_t hostRecordSize;
    void (*unpack)(void* record, const uint8_t* image);
    unsigned int (*imageSize)(void); /* the layout's own size */
    /* The image back from the data area; null: the data area's first
     * replyBytes as they are. */
    void (*reply)(const uint8_t* data_area, uint8_t* image);
    const sGpuParamField* fields;
    size_t fieldCount;
    eGpuLogStyle logStyle;
};

/* The row of a register id, null when the device cannot carry it. */
const sGpuRegister* FindGpuRegister(uint32_t register_id);
/* Every row, ordered by id. */
const sGpuRegister* GpuRegisters(size_t* count);

}  // namespace zrv_core

#endif
