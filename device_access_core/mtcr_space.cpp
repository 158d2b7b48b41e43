/*
 * mtcr_space.cpp - byte-stream views of block access (the device's
 * big-endian byte order) and the address space of later accesses.
 */
#include <endian.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "mtcr_int.h"
#include "remote.h"
#include "vsec.h"


/* ---- byte streams ---- */

/* The caller's bytes need not be dword aligned: the dwords travel through an
 * aligned copy, and the caller's buffer is only touched byte-wise. */
int read_byte_stream(mfile* mf, unsigned int offset, uint8_t* data, int byte_len,
                     int (*read_block)(mfile*, unsigned int, uint32_t*, int))
{
    if (!data || byte_len < 0) return fail_errno(EINVAL);
    std::vector<uint32_t> dwords(((size_t)byte_len + 3) / 4);
    int rc = read_block(mf, offset, dwords.data(), byte_len);
    for (int i = 0; i < rc / 4; ++i) {
        const uint32_t be = htobe32(dwords[i]);
        memcpy(data + 4 * i, &be, 4);
    }
    return rc;
}

/* Turns every whole dword of the caller's bytes between the device's
 * big-endian order and host order, in place; each dword goes through an
 * aligned copy. */
void swap_byte_stream(uint8_t* data, int byte_len)
{
    for (int i = 0; i < byte_len / 4; ++i) {
        uint32_t dword;
        memcpy(&dword, data + 4 * i, 4);
        dword = be32toh(dword);
        memcpy(data + 4 * i, &dword, 4);
    }
}

/* Swaps every dword of the caller's buffer in place to host order, then writes it. */
int write_byte_stream(mfile* mf, unsigned int offset, uint8_t* data, int byte_len,
                      int (*write_block)(mfile*, unsigned int, uint32_t*, int))
{
    if (!data || byte_len < 0) return fail_errno(EINVAL);
    swap_byte_stream(data, byte_len);
    std::vector<uint32_t> dwords(((size_t)byte_len + 3) / 4);
    memcpy(dwords.data(), data, (size_t)byte_len);
    return write_block(mf, offset, dwords.data(), byte_len);
}

int mread_buffer(mfile* mf, unsigned int offset, uint8_t* data, int byte_len)
{
    return read_byte_stream(mf, offset, data, byte_len, mread4_block);
}

int mwrite_buffer(mfile* mf, unsigned int offset, uint8_t* data, int byte_len)
{
    return write_byte_stream(mf, offset, data, byte_len, mwrite4_block);
}

/* ---- address space ---- */

int mget_addr_space(mfile* mf) { return mf ? mf->address_space : -1; }

static int local_space_allowed(mfile* mf, int space)
{
    if (!mf->vsec_supported) return 0;
    const uint32_t mask = mf->vsec_cap_mask;
    int capable = mf->hw_dev_id == 542 ||
                  ((mask & 0xD) == 0xD && (is_pxuc_pciconf(mf) || (mask & (1u << 8))));
    if (!capable) return 0;
    return (mask >> space_to_cap_offset(space)) & 1;
}

int mset_addr_space(mfile* mf, int space)
{
    if (!mf) return fail_errno(EINVAL);
    /* A negative space would pass the upper bound alone. */
    if (space < 0 || space > AS_MAX) return -1;
    if (mf->access_type == ACCESS_REMOTE) {
        if (remote_mset_addr_space(mf, space)) return -1;
    } else if (!local_space_allowed(mf, space)) {
        DBG_PRINTF("failed to set VSC address space to: %d. mf->address_space = %d\n", space,
                   mf->address_space);
        return -1;
    }
    mf->address_space = space;
    DBG_PRINTF("VSC address space was set successfully to: %d\n", space);
    return 0;
}

int write_to_pxuc_gw(mfile* mf, unsigned int address, uint32_t value)
{
    int rc = mwrite4(mf, address, value);
    if (rc != 4) DBG_PRINTF("failed to write to PXUC GW in address: 0x%8x\n", address);
    return rc;
}
