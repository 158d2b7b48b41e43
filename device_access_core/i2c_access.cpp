/*
 * i2c_access.cpp - I2C and USB-adapter accessors on the handle.
 * Placeholder until the I2C accessors land: transfers fail with ENOTSUP and
 * the secondary probe fails.
 */
#include "i2c_access.h"

#include <errno.h>
#include <string.h>

#include "mtcr_int.h"
#include "remote.h"

int force_i2c_address = -1;

static int not_supported()
{
    errno = ENOTSUP;
    return -1;
}

int prepare_i2c_buf(uint8_t*, int, unsigned int) { return 0; }
int change_i2c_secondary_address(mfile* mf)
{
    if (!mf) return 1;
    if (mf->access_type != ACCESS_USB_I2C && mf->access_type != ACCESS_DEV_I2C &&
        mf->access_type != ACCESS_NDC)
        return 0;
    errno = ENOTSUP;
    return 1;
}
int pci_i2c_access_prevented(mfile*) { return 0; }
int mset_i2c_addr_width(mfile*, int) { return 1; }
int mget_i2c_addr_width(mfile*, int*) { return 1; }
unsigned char mset_i2c_secondary(mfile* mf, unsigned char address)
{
    if (!mf) return 255;
    unsigned char previous = mf->i2c_secondary;
    mf->i2c_secondary = address;
    if (mf->access_type == ACCESS_REMOTE && remote_server_supports_mset_i2c_addr(mf))
        remote_mset_i2c_address(mf, address);
    return previous;
}
unsigned char mget_i2c_secondary(mfile* mf) { return mf ? mf->i2c_secondary : 0; }
void set_force_i2c_address(int address) { force_i2c_address = address; }
void set_force_i2c_address_ul(int) {}
int mread_i2cblock(mfile* mf, unsigned char secondary, int width, unsigned int offset, void* data,
                   int length)
{
    if (mf && mf->access_type == ACCESS_REMOTE)
        return remote_i2c_read_block(mf, secondary, width, offset, data, length);
    return not_supported();
}
int mwrite_i2cblock(mfile* mf, unsigned char secondary, int width, unsigned int offset,
                    void* data, int length)
{
    if (mf && mf->access_type == ACCESS_REMOTE)
        return remote_i2c_write_block(mf, secondary, width, offset, data, length);
    return not_supported();
}
int mread64(mfile*, unsigned int, void*, int) { return not_supported(); }
int mwrite64(mfile*, unsigned int, void*, int) { return not_supported(); }
int mi2c_detect(mfile* mf, uint8_t table[128])
{
    if (mf && table && mf->access_type == ACCESS_REMOTE) return remote_i2c_detect(mf, table);
    if (table) memset(table, 0, 128);
    errno = ENOSYS;
    return -1;
}
int set_i2c_freq(mfile*, uint32_t) { return not_supported(); }
int get_i2c_freq(mfile*, int*) { return not_supported(); }
int get_tqusb_version(mfile*, uint32_t*, uint32_t*) { return not_supported(); }
int get_tqusb_serial_number(mfile*, uint32_t*) { return not_supported(); }
