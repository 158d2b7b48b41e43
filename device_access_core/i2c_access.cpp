/*
 * i2c_access.cpp - I2C and USB-adapter accessors on the handle: the
 * secondary address and its probe at open, the address width, byte-block
 * transfers and bus scans over whatever reaches the bus (remote server,
 * i2c-dev, USB or NDC adapter, or the primary gateways of a PCI device), and
 * the adapter settings.
 */
#include "i2c_access.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "device_bridge.h"
#include "i2c_gw.h"
#include "mtcr_int.h"
#include "remote.h"

int force_i2c_address = -1;

namespace {

constexpr int kBlockMax = 64;
constexpr int kSmbusPiece = 4;
constexpr uint8_t kSecureSecondary = 0x47;
constexpr int kSecureRereads = 100;
constexpr uint32_t kHwIdAddress = 0xF0014;


/* Address widths in bytes to address modes: width2dtype_arr. */
int width_to_mode(int width)
{
    switch (width) {
    case 0: return I2C_ADDR_MODE_NONE;
    case 1: return I2C_ADDR_MODE_ONE_BYTE;
    case 2: return I2C_ADDR_MODE_TWO_BYTES;
    case 4: return I2C_ADDR_MODE_FOUR_BYTES;
    default: return -1;
    }
}

int mode_to_width(uint32_t mode)
{
    switch (mode) {
    case I2C_ADDR_MODE_NONE: return 0;
    case I2C_ADDR_MODE_ONE_BYTE: return 1;
    case I2C_ADDR_MODE_TWO_BYTES: return 2;
    case I2C_ADDR_MODE_FOUR_BYTES: return 4;
    default: return -1;
    }
}

bool is_adapter(const mfile* mf) { return mf->access_type == ACCESS_USB_I2C || mf->access_type == ACCESS_NDC; }

bool is_pci_gateway_type(const mfile* mf)
{
    return mf->access_type == ACCESS_PCI_MEMORY || mf->access_type == ACCESS_PCICONF ||
           mf->access_type == ACCESS_PCI_BAR_GW || mf->access_type == ACCESS_LIVEFISH;
}

void pass_secondary(mfile* mf, unsigned char address)
{
    if (is_adapter(mf))
        tqusb_update_slave_address(address, mf->device);
    else if (mf->access_type == ACCESS_DEV_I2C)
        i2c_update_secondary_address(address, mf->device);
}

int read_id(mfile* mf, uint32_t* id)
{
    uint32_t word = 0;
    if (mread4(mf, kHwIdAddress, &word) != 4) return -1;
    *id = word & 0xFFFF;
    return 0;
}

/* One block through the gateway the device uses; the handle's address mode
 * is the transfer's for its duration. */
int gateway_block(mfile* mf, int mode, unsigned int offset, uint8_t* bytes, int length, bool write)
{
    if (pci_i2c_access_prevented(mf) && !is_livefish_device(mf) && !getenv("FORCE_I2C"))
        return fail_errno(EPERM);
    const uint32_t saved_mode = mf->i2c_addr_mode;
    mf->i2c_addr_mode = (uint32_t)mode;
    int done = 0;
    while (done < length) {
        int piece = 1;
        int rc;
        if (mf->use_smbus) {
            piece = length - done < kSmbusPiece ? length - done : kSmbusPiece;
            rc = write ? smbus_primary_write(mf, bytes + done, offset + done, piece)
                       : smbus_primary_read(mf, bytes + done, offset + done, piece);
        } else {
            rc = write ? i2c_primary_write_cr(mf, bytes[done], offset + done, 1)
                       : i2c_primary_read(mf, bytes + done, offset + done, 1);
        }
        if (rc < 0) {
            done = rc;
            break;
        }
        if (rc == 0) break;
        done += piece;
    }
    mf->i2c_addr_mode = saved_mode;
    return done;
}

int i2c_block(mfile* mf, unsigned char secondary, int width, unsigned int offset, void* data,
              int length, bool write)
{
    const int mode = width_to_mode(width);
    if (!mf || !data || length < 0 || length > kBlockMax || mode < 0) return fail_errno(EINVAL);
    mf->i2c_secondary = secondary;
    if (mf->access_type == ACCESS_REMOTE)
        return write ? remote_i2c_write_block(mf, secondary, width, offset, data, length)
                     : remote_i2c_read_block(mf, secondary, width, offset, data, length);
    if (mf->access_type == ACCESS_DEV_I2C) {
        i2c_update_secondary_address(secondary, mf->device);
        i2c_set_i2c_address_width((uint32_t)width, mf->device);
        const int rc = write ? config_space_access_write(offset, (uint32_t)length, (uint32_t*)data, mf->device)
                             : config_space_access_read(offset, (uint32_t)length, (uint32_t*)data, mf->device);
        return rc < 0 ? rc : length;
    }
    if (is_adapter(mf)) {
        uint8_t encoded[4];
        const int len = prepare_i2c_buf(encoded, (int)mf->i2c_addr_mode, offset);
        tqusb_update_slave_address(secondary, mf->device);
        tqusb_set_i2c_address_width((uint32_t)len, mf->device);
        const int rc = write ? tqusb_write(offset, (uint32_t)length, data, mf->device)
                             : tqusb_read(offset, (uint32_t)length, data, mf->device);
        return rc == 0 ? length : fail_errno(EIO);
    }
    if (is_pci_gateway_type(mf)) return gateway_block(mf, mode, offset, (uint8_t*)data, length, write);
    return fail_errno(EPERM);
}

/* Gateway scan: a one-byte read per address without offset, except 0x48,
 * which reads the hardware id dword's first byte with a 4-byte offset. */
int gateway_detect(mfile* mf, uint8_t table[128])
{
    const unsigned char saved = mf->i2c_secondary;
    unsigned int address = mf->cr_space_offset;
    int rc = 0;
    for (int secondary = 0; secondary < 128; ++secondary) {
        int width = 0;
        if (secondary == 0x48) {
            width = 4;
            address = kHwIdAddress + mf->cr_space_offset;
        }
        uint8_t byte = 0;
        if (i2c_block(mf, (unsigned char)secondary, width, address, &byte, 1, false) == 1) {
            table[secondary] = 1;
        } else if (errno == EPERM) {
            rc = -1;
            break;
        }
    }
    mf->i2c_secondary = saved;
    mf->i2c_addr_mode = I2C_ADDR_MODE_NONE;
    return rc;
}

int i2cdev_detect(mfile* mf, uint8_t table[128])
{
    const unsigned char saved = mf->i2c_secondary;
    const uint32_t saved_mode = mf->i2c_addr_mode;
    for (int secondary = 0; secondary < 128; ++secondary) {
        i2c_update_secondary_address((uint32_t)secondary, mf->device);
        i2c_set_i2c_address_width(0, mf->device);
        uint32_t byte = 0;
        const bool read = (secondary >= 0x30 && secondary <= 0x37) || (secondary >= 0x50 && secondary <= 0x5F);
        const int rc = read ? config_space_access_read(0, 1, &byte, mf->device)
                            : config_space_access_write(0, 0, &byte, mf->device);
        if (rc >= 0) table[secondary] = 1;
    }
    mf->i2c_secondary = saved;
    mf->i2c_addr_mode = saved_mode;
    i2c_update_secondary_address(saved, mf->device);
    return 0;
}

} // namespace

int prepare_i2c_buf(uint8_t* out, int mode, unsigned int offset)
{
    switch (mode) {
    case I2C_ADDR_MODE_TWO_BYTES:
        out[0] = (uint8_t)(offset >> 8);
        out[1] = (uint8_t)offset;
        return 2;
    case I2C_ADDR_MODE_FOUR_BYTES:
        for (int i = 0; i < 4; ++i) out[i] = (uint8_t)(offset >> (24 - 8 * i));
        return 4;
    case I2C_ADDR_MODE_ONE_BYTE:
        out[0] = (uint8_t)offset;
        return 1;
    default:
        return 0;
    }
}

int change_i2c_secondary_address(mfile* mf)
{
    if (!mf) return 1;
    if (!is_adapter(mf) && mf->access_type != ACCESS_DEV_I2C) return 0;
    if (force_i2c_address != -1) {
        mf->i2c_secondary = (uint8_t)force_i2c_address;
        pass_secondary(mf, mf->i2c_secondary);
        return 0;
    }
    DBG_PRINTF("trying to read from 0x48\n");
    uint32_t first = 0;
    if (read_id(mf, &first)) return 1;
    DBG_PRINTF("Device id from 0x48 is 0x%x\n", first);
    if (!is_supported_device_id((uint16_t)first)) {
        DBG_PRINTF("Not supported device, trying to read from 0x47\n");
        mf->i2c_secondary = kSecureSecondary;
        pass_secondary(mf, kSecureSecondary);
        uint32_t id = 0;
        if (read_id(mf, &id) || !is_secure_debug_access((uint16_t)id)) return 1;
        DBG_PRINTF("I2C secondary set to 0x47\n");
        return 0;
    }
    if (!is_secure_debug_access((uint16_t)first)) return 0;
    mf->i2c_secondary = kSecureSecondary;
    pass_secondary(mf, kSecureSecondary);
    for (int i = 0; i < kSecureRereads; ++i) {
        uint32_t id = 0;
        if (read_id(mf, &id)) return 1;
        DBG_PRINTF("Device id from 0x47 is 0x%x\n", id);
        if (id == first) {
            DBG_PRINTF("I2C secondary set to 0x47\n");
            return 0;
        }
        usleep(10000);
    }
    return 1;
}

int pci_i2c_access_prevented(mfile* mf)
{
    uint32_t id = 0;
    if (!mf || read_id(mf, &id)) return 0;
    switch (id) {
    case 501:
    case 503:
    case 511:
        return 0;
    case 521:
    case 523:
    case 583:
    case 585:
    case 587: {
        const bool forced = getenv("FORCE_SMBUS") != nullptr;
        mf->use_smbus = forced;
        mf->force_smbus = forced;
        return 1;
    }
    default:
        mf->use_smbus = 1;
        return 1;
    }
}

int mset_i2c_addr_width(mfile* mf, int width)
{
    const int mode = width_to_mode(width);
    if (!mf || mode < 0) return 1;
    mf->i2c_addr_mode = (uint32_t)mode;
    return 0;
}

int mget_i2c_addr_width(mfile* mf, int* width)
{
    if (!mf || !width) return 1;
    const int w = mode_to_width(mf->i2c_addr_mode);
    if (w < 0) return 1;
    *width = w;
    return 0;
}

unsigned char mset_i2c_secondary(mfile* mf, unsigned char address)
{
    if (!mf) return 255;
    unsigned char previous = mf->i2c_secondary;
    mf->i2c_secondary = address;
    if (mf->access_type == ACCESS_REMOTE && remote_server_supports_mset_i2c_addr(mf))
        remote_mset_i2c_address(mf, address);
    pass_secondary(mf, address);
    return previous;
}

unsigned char mget_i2c_secondary(mfile* mf) { return mf ? mf->i2c_secondary : 0; }
void set_force_i2c_address(int address) { force_i2c_address = address; }
void set_force_i2c_address_ul(int) {}

int mread_i2cblock(mfile* mf, unsigned char secondary, int width, unsigned int offset, void* data,
                   int length)
{
    return i2c_block(mf, secondary, width, offset, data, length, false);
}

int mwrite_i2cblock(mfile* mf, unsigned char secondary, int width, unsigned int offset,
                    void* data, int length)
{
    return i2c_block(mf, secondary, width, offset, data, length, true);
}

int mread64(mfile* mf, unsigned int offset, void* data, int length)
{
    if (!mf) return fail_errno(EINVAL);
    return mread_i2cblock(mf, mf->i2c_secondary, mode_to_width(mf->i2c_addr_mode), offset, data, length);
}

int mwrite64(mfile* mf, unsigned int offset, void* data, int length)
{
    if (!mf) return fail_errno(EINVAL);
    return mwrite_i2cblock(mf, mf->i2c_secondary, mode_to_width(mf->i2c_addr_mode), offset, data, length);
}

int mi2c_detect(mfile* mf, uint8_t table[128])
{
    if (!mf || !table) return fail_errno(EINVAL);
    memset(table, 0, 128);
    if (mf->access_type == ACCESS_REMOTE) return remote_i2c_detect(mf, table);
    if (mf->access_type == ACCESS_DEV_I2C) return i2cdev_detect(mf, table);
    if (is_pci_gateway_type(mf)) return gateway_detect(mf, table);
    if (is_adapter(mf)) return tqusb_detect(table, mf->device) == 0 ? 0 : fail_errno(EIO);
    return fail_errno(ENOSYS);
}

int set_i2c_freq(mfile* mf, uint32_t frequency)
{
    if (!mf || !is_adapter(mf)) {
        fprintf(stderr, "-E- Can't config frequency for non TQUSB device\n");
        return fail_errno(EINVAL);
    }
    return tqusb_access_set_frequency(frequency, mf->device) == 0 ? 0 : fail_errno(EIO);
}

int get_i2c_freq(mfile* mf, int* frequency)
{
    if (!mf || !frequency || !is_adapter(mf)) {
        fprintf(stderr, "-E- Can't read configured frequency for non TQUSB device\n");
        return fail_errno(EINVAL);
    }
    return tqusb_access_get_frequency(frequency, mf->device) == 0 ? 0 : fail_errno(EIO);
}

int get_tqusb_version(mfile* mf, uint32_t* major, uint32_t* minor)
{
    if (!mf || !is_adapter(mf)) return -1;
    return tqusb_get_version(major, minor, mf->device) == 0 ? 0 : -1;
}

int get_tqusb_serial_number(mfile* mf, uint32_t* serial)
{
    if (!mf || !is_adapter(mf)) return -1;
    return tqusb_get_serial_number(serial, mf->device) == 0 ? 0 : -1;
}
