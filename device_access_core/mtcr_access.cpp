/*
 * mtcr_access.cpp - dword and block access to a device's CR space, routed by
 * the handle's access type through one table of transport operations.
 *
 * Dword operations return 4 on success and -1 with errno on failure. Block
 * operations return the bytes done (the full size on success, fewer when a
 * chunk failed) or -1 with errno. Dwords cross this interface in host order.
 * A transport without its own block access falls back to one dword access per
 * 4 bytes (mread_chunk_as_multi_mread4 / mwrite_chunk_as_multi_mwrite4).
 */
#include <endian.h>
#include <errno.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include "device_bridge.h"
#include "gearbox.h"
#include "handle_services.h"
#include "i2c_access.h"
#include "kernel_driver.h"
#include "mtcr_int.h"
#include "pci_ul.h"
#include "plugins.h"
#include "remote.h"
#include "tiles.h"
#include "vsec.h"

enum { DRIVER_BUFFER_MAX = 256, USB_WRITE_CHUNK = 64, WA_MAX_READS = 0x1000000 };


static volatile uint32_t* map_dword(const mfile* mf, unsigned int offset)
{
    return (volatile uint32_t*)((volatile uint8_t*)mf->map + offset);
}

/* ---- PCI memory (the mapped BAR) ---- */

/* The map must hold the whole dword: offset + 4 within the window. */
static int map_check(const mfile* mf, unsigned int offset)
{
    if (!mf->map) return fail_errno(EFAULT);
    if ((uint64_t)offset + 4 > mf->map_len) return fail_errno(EINVAL);
    return 0;
}

int tarnel_wa_write_confirm(mfile* mf)
{
    mf->wa_counters[WA_CALLS]++;
    if (map_check(mf, mf->wa_sem_addr)) return -1;
    *map_dword(mf, mf->wa_sem_addr) = 0;
    uint64_t reads = 0;
    for (;;) {
        uint32_t value = be32toh(*map_dword(mf, mf->wa_sem_addr));
        reads++;
        if (value == 0) break;
        if (reads >= WA_MAX_READS) {
            fprintf(stderr, "-D- tarnel WA addr %06x failed after %lu retries\n", mf->wa_sem_addr,
                    (unsigned long)WA_MAX_READS);
            return fail_errno(EIO);
        }
    }
    if (reads > 1) {
        mf->wa_counters[WA_SLOW_CONFIRMS]++;
        if (reads - 1 > mf->wa_counters[WA_MAX_EXTRA_READS])
            mf->wa_counters[WA_MAX_EXTRA_READS] = reads - 1;
    }
    return 0;
}

static int pcimem_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    if (mf->tile_map.in_use && !is_offset_in_active_tile(mf, offset)) return 4;
    if (mf->via_vm) return mread4_vm(mf, offset, value);
    if (map_check(mf, offset)) return -1;
    if (!mf->is_local) {
        *value = *map_dword(mf, offset);
        return 4;
    }
    if (mf->wa_sem_addr && mf->wa_pending == 1) {
        if (tarnel_wa_write_confirm(mf)) return -1;
        mf->wa_pending = 0;
    }
    uint32_t raw = *map_dword(mf, offset);
    *value = mf->host_endian ? raw : be32toh(raw);
    return 4;
}

static int pcimem_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    if (mf->via_vm) return mwrite4_vm(mf, offset, value);
    if (map_check(mf, offset)) return write_not_sent(mf, errno);
    if (!mf->is_local) {
        *map_dword(mf, offset) = value;
        return 4;
    }
    *map_dword(mf, offset) = mf->host_endian ? value : htobe32(value);
    mf->wa_pending = 1;
    return 4;
}

/* ---- PCI BAR gateway inside the map ---- */

static int bargw_check(const mfile* mf)
{
    if (!mf->map || mf->bar_gw_offset == (uint32_t)-1) return fail_errno(EFAULT);
    if ((uint64_t)mf->bar_gw_offset + 8 > mf->map_len) return fail_errno(EINVAL);
    return 0;
}

static int bargw_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    if (bargw_check(mf)) return -1;
    if (flock_int(mf->lock_fd, LOCK_EX)) return 0;
    *map_dword(mf, mf->bar_gw_offset + 4) = htobe32(offset ^ 0x80000000u);
    *value = be32toh(*map_dword(mf, mf->bar_gw_offset));
    if (flock_int(mf->lock_fd, LOCK_UN)) return 0;
    return 4;
}

static int bargw_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    if (bargw_check(mf)) return write_not_sent(mf, errno);
    if (flock_int(mf->lock_fd, LOCK_EX)) {
        mf->write_unsent = 1;
        return 0;
    }
    *map_dword(mf, mf->bar_gw_offset) = htobe32(value);
    *map_dword(mf, mf->bar_gw_offset + 4) = htobe32(offset);
    if (flock_int(mf->lock_fd, LOCK_UN)) return 0;
    return 4;
}

/* ---- PCI configuration space through the kernel driver ---- */

/* Runs an addressed driver request; for hardware id 542 a failure moves the
 * address space by 256 (kept in the handle) and retries once. */
template <typename Request>
static int with_space_retry(mfile* mf, const char* request_name, Request request)
{
    int rc = request(mf->address_space);
    if (rc >= 0) return rc;
    DBG_PRINTF("%s ioctl failed when trying to access this space: %d. errno: %d\n", request_name,
               mf->address_space, errno);
    if (mf->hw_dev_id != 542) return rc;
    mf->address_space += mf->address_space < 256 ? 256 : -256;
    rc = request(mf->address_space);
    if (rc >= 0)
        DBG_PRINTF("%s ioctl successfully accessed this space: %d\n", request_name,
                   mf->address_space);
    return rc;
}

static int pciconf_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    if (mf->old_driver) return kdrv_old_read4(mf, offset, value) < 0 ? -1 : 4;
    int rc = with_space_retry(mf, "PCICONF_READ4_NEW",
                              [&](int space) { return kdrv_read4(mf, space, offset, value); });
    return rc < 0 ? -1 : 4;
}

/* A request the driver refused did not reach the device. */
static int pciconf_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    int rc;
    if (mf->old_driver)
        rc = kdrv_old_write4(mf, offset, value);
    else
        rc = with_space_retry(mf, "PCICONF_WRITE4_NEW",
                              [&](int space) { return kdrv_write4(mf, space, offset, value); });
    return rc < 0 ? write_not_sent(mf, errno) : 4;
}

/* ---- USB-to-I2C and NDC adapters, i2c-dev ---- */

/* Sets the device object's secondary address and address width from the
 * handle; the width is the length of the encoded address. */
static void adapter_prepare(mfile* mf, unsigned int offset)
{
    uint8_t encoded[4];
    int width = prepare_i2c_buf(encoded, (int)mf->i2c_addr_mode, offset);
    tqusb_update_slave_address(mf->i2c_secondary, mf->device);
    tqusb_set_i2c_address_width((uint32_t)width, mf->device);
}

static int adapter_read(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    adapter_prepare(mf, offset);
    int rc = tqusb_read(offset, (uint32_t)len, data, mf->device);
    if (rc == -2) return -1;
    if (rc != 0) return fail_errno(EIO);
    for (int i = 0; i < len / 4; ++i) data[i] = be32toh(data[i]);
    return len;
}

static int adapter_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    return adapter_read(mf, offset, value, 4);
}

static int adapter_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    adapter_prepare(mf, offset);
    uint32_t be = htobe32(value);
    if (tqusb_write(offset, 4, &be, mf->device) != 0) return fail_errno(EIO);
    return 4;
}

static void i2cdev_prepare(mfile* mf, unsigned int offset)
{
    uint8_t encoded[4];
    int width = prepare_i2c_buf(encoded, (int)mf->i2c_addr_mode, offset);
    i2c_update_secondary_address(mf->i2c_secondary, mf->device);
    i2c_set_i2c_address_width((uint32_t)width, mf->device);
}

static int i2cdev_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    i2cdev_prepare(mf, offset);
    int rc = config_space_access_read(offset, 4, value, mf->device);
    if (rc == 4) *value = be32toh(*value);
    return rc;
}

static int i2cdev_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    i2cdev_prepare(mf, offset);
    uint32_t be = htobe32(value);
    return config_space_access_write(offset, 4, &be, mf->device);
}

/* ---- device objects (switch OS, JTAG, InfiniBand, NicX) ---- */

static int devobj_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    return config_space_access_read(offset, 4, value, mf->device);
}

static int devobj_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    return config_space_access_write(offset, 4, &value, mf->device);
}

static int devobj_read_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    return config_space_access_read(offset, (uint32_t)len, data, mf->device);
}

static int devobj_write_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    return config_space_access_write(offset, (uint32_t)len, data, mf->device);
}

/* ---- cable plug-in: cable and cable chip ---- */

template <typename Entry>
static Entry cable_entry(const mfile* mf, int slot)
{
    return (Entry)plugin_entry(mf, slot);
}

static int cable_read4_slot(mfile* mf, int slot, unsigned int offset, uint32_t* value)
{
    f_mcables_read4 read4 = cable_entry<f_mcables_read4>(mf, slot);
    if (!read4) return fail_errno(EOPNOTSUPP);
    return read4(mf, offset, value) == 0 ? 4 : fail_errno(EIO);
}

/* The plug-in's write result decides: 4 only when it reports success. */
static int cable_write4_slot(mfile* mf, int slot, unsigned int offset, uint32_t value)
{
    f_mcables_write4 write4 = cable_entry<f_mcables_write4>(mf, slot);
    if (!write4) return fail_errno(EOPNOTSUPP);
    int rc = write4(mf, offset, value);
    DBG_PRINTF("-D- cable write4 at 0x%x returned %d\n", offset, rc);
    return rc == 0 ? 4 : fail_errno(EIO);
}

static int cable_read4(mfile* mf, unsigned int o, uint32_t* v) { return cable_read4_slot(mf, CABLE_SLOT_READ4, o, v); }
static int cable_write4(mfile* mf, unsigned int o, uint32_t v) { return cable_write4_slot(mf, CABLE_SLOT_WRITE4, o, v); }
static int chip_read4(mfile* mf, unsigned int o, uint32_t* v) { return cable_read4_slot(mf, CABLE_SLOT_CHIP_READ4, o, v); }
static int chip_write4(mfile* mf, unsigned int o, uint32_t v) { return cable_write4_slot(mf, CABLE_SLOT_CHIP_WRITE4, o, v); }

static int chip_read_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    auto read_block = cable_entry<f_mcables_chip_read4_block>(mf, CABLE_SLOT_CHIP_READ4_BLOCK);
    if (!read_block) return fail_errno(EOPNOTSUPP);
    return read_block(mf, offset, data, len) == 0 ? len : fail_errno(EIO);
}

static int chip_write_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    auto write_block = cable_entry<f_mcables_chip_write4_block>(mf, CABLE_SLOT_CHIP_WRITE4_BLOCK);
    if (!write_block) return fail_errno(EOPNOTSUPP);
    return write_block(mf, offset, data, len) == 0 ? len : fail_errno(EIO);
}

/* ---- recovery (livefish) node: pread / pwrite ---- */

static int livefish_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    return (int)pread(mf->fd, value, 4, offset);
}

static int livefish_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    ssize_t rc = pwrite(mf->fd, &value, 4, offset);
    if (rc == 4) return 4;
    return rc < 0 ? write_not_sent(mf, errno) : fail_errno(EIO);
}

static int livefish_read_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    return (int)pread(mf->fd, data, (size_t)len, offset);
}

static int livefish_write_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    return (int)pwrite(mf->fd, data, (size_t)len, offset);
}

/* ---- LPC ---- */

static int lpc_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    return mread4_block(mf, offset, value, 4);
}

static int lpc_read_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    if (!lpc_in_region(mf, offset, len)) return fail_errno(EINVAL);
    return lpc_port_read(mf, offset, data, len);
}

static int lpc_write_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    if (!lpc_in_region(mf, offset, len)) return fail_errno(EINVAL);
    return lpc_port_write(mf, offset, data, len);
}

/* ---- block chunks of the PCI transports ---- */

static int pci_read_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    if (!mf->vsec_supported) return mread_chunk_as_multi_mread4(mf, offset, data, len);
    if (len > DRIVER_BUFFER_MAX) return fail_errno(ENOMEM);
    int rc = with_space_retry(mf, "PCICONF_READ4_BUFFER_EX", [&](int space) {
        return kdrv_read_buffer_ex(mf, space, offset, data, len);
    });
    if (rc != len) rc = kdrv_read_buffer_old(mf, mf->address_space, offset, data, len);
    return rc == len ? len : -1;
}

static int pciconf_write_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    if (!mf->vsec_supported) return mwrite_chunk_as_multi_mwrite4(mf, offset, data, len);
    if (len > DRIVER_BUFFER_MAX) return fail_errno(ENOMEM);
    int rc = with_space_retry(mf, "PCICONF_WRITE4_BUFFER", [&](int space) {
        return kdrv_write_buffer(mf, space, offset, data, len);
    });
    if (mf->via_vm) return rc != 0 ? -1 : len;
    return rc;
}

static int adapter_write_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    for (int i = 0; i < len / 4; ++i) data[i] = htobe32(data[i]);
    return mwrite64(mf, offset, data, len);
}

static int i2cdev_read_chunk(mfile* mf, unsigned int offset, uint32_t* data, int len)
{
    int rc = mread64(mf, offset, data, len);
    if (rc == len)
        for (int i = 0; i < len / 4; ++i) data[i] = be32toh(data[i]);
    return rc;
}

/* ---- the shared fallback: a block as single dwords ---- */

int mread_chunk_as_multi_mread4(mfile* mf, unsigned int offset, uint32_t* data, int size)
{
    if (size % 4) {
        DBG_PRINTF("failed to read block of size %d, from offset 0x%x\n", size, offset);
        return -1;
    }
    for (int i = 0; i < size / 4; ++i) {
        if (mread4(mf, offset + 4 * i, &data[i]) != 4) return -1;
    }
    return size;
}

int mwrite_chunk_as_multi_mwrite4(mfile* mf, unsigned int offset, uint32_t* data, int size)
{
    if (size % 4) {
        DBG_PRINTF("failed to write block of size %d, from offset 0x%x\n", size, offset);
        return -1;
    }
    for (int i = 0; i < size / 4; ++i) {
        if (mwrite4(mf, offset + 4 * i, data[i]) != 4) return -1;
    }
    return size;
}

/* ---- chunk sizes ---- */

/* Whether USB and NDC adapters take block reads; -1 until the first handle
 * that asks has probed it, then the same for every later handle. */
static int is_block_access_works = -1;

void reset_block_access_probe(void) { is_block_access_works = -1; }

static int pciconf_chunk(mfile* mf) { return mf->vsec_supported ? 256 : 4; }
static int ib_chunk(mfile* mf) { return get_ib_max_chunk_size(mf->device); }
static int adapter_chunk(mfile*) { return is_block_access_works == 1 ? 120 : 4; }

/* ---- the table ---- */

struct access_ops {
    uint32_t type;
    int (*read4)(mfile*, unsigned int, uint32_t*);      /* null: EOPNOTSUPP */
    int (*write4)(mfile*, unsigned int, uint32_t);      /* null: EOPNOTSUPP */
    int (*read_chunk)(mfile*, unsigned int, uint32_t*, int);  /* null: EPERM */
    int (*write_chunk)(mfile*, unsigned int, uint32_t*, int); /* null: EPERM */
    int chunk_size;
    int (*chunk_size_of)(mfile*); /* when the size depends on the handle */
};

static const access_ops access_table[] = {
    /* type                read4           write4           read_chunk           write_chunk                    chunk */
    {ACCESS_PCI_MEMORY,  pcimem_read4,   pcimem_write4,   pci_read_chunk,      mwrite_chunk_as_multi_mwrite4, 256, nullptr},
    {ACCESS_PCICONF,     pciconf_read4,  pciconf_write4,  pci_read_chunk,      pciconf_write_chunk,           0,   pciconf_chunk},
    {ACCESS_PCI_BAR_GW,  bargw_read4,    bargw_write4,    pci_read_chunk,      mwrite_chunk_as_multi_mwrite4, 256, nullptr},
    {ACCESS_NICX,        devobj_read4,   devobj_write4,   pci_read_chunk,      mwrite_chunk_as_multi_mwrite4, 4,   nullptr},
    {ACCESS_REMOTE,      remote_read4,   remote_write4,   remote_read4_block_chunk, remote_write4_block_chunk, 512, nullptr},
    {ACCESS_SWITCH_OS,   devobj_read4,   devobj_write4,   devobj_read_chunk,   devobj_write_chunk,            4,   nullptr},
    {ACCESS_IB_INBAND,   devobj_read4,   devobj_write4,   devobj_read_chunk,   devobj_write_chunk,            0,   ib_chunk},
    {ACCESS_JTAG,        devobj_read4,   devobj_write4,   nullptr,             nullptr,                       4,   nullptr},
    {ACCESS_USB_I2C,     adapter_read4,  adapter_write4,  adapter_read,        adapter_write_chunk,           0,   adapter_chunk},
    {ACCESS_NDC,         adapter_read4,  adapter_write4,  adapter_read,        adapter_write_chunk,           0,   adapter_chunk},
    {ACCESS_DEV_I2C,     i2cdev_read4,   i2cdev_write4,   i2cdev_read_chunk,   adapter_write_chunk,           32,  nullptr},
    {ACCESS_CABLE,       cable_read4,    cable_write4,    nullptr,             nullptr,                       48,  nullptr},
    {ACCESS_CABLON_CHIP, chip_read4,     chip_write4,     chip_read_chunk,     chip_write_chunk,              64,  nullptr},
    {ACCESS_LIVEFISH,    livefish_read4, livefish_write4, livefish_read_chunk, livefish_write_chunk,          4,   nullptr},
    {ACCESS_LPC,         lpc_read4,      nullptr,         lpc_read_chunk,      lpc_write_chunk,               256, nullptr},
    {ACCESS_GEARBOX,     nullptr,        nullptr,         nullptr,             nullptr,                       256, nullptr},
};

static const access_ops* ops_of(const mfile* mf)
{
    for (const access_ops& ops : access_table) {
        if (ops.type == mf->access_type) return &ops;
    }
    return nullptr;
}

/* ---- dispatch ---- */

static int is_switch_gearbox(const mfile* mf) { return mf->gearbox_kind == GEARBOX_KIND_SWITCH; }

static int is_ul_pci(const mfile* mf)
{
    return mf->ul_ctx &&
           (mf->access_type == ACCESS_PCI_MEMORY || mf->access_type == ACCESS_PCICONF);
}

static int is_usb_or_ndc(const mfile* mf)
{
    return mf->access_type == ACCESS_USB_I2C || mf->access_type == ACCESS_NDC;
}

int mread4(mfile* mf, unsigned int offset, uint32_t* value)
{
    if (!mf || !value) return fail_errno(EINVAL);
    if (is_switch_gearbox(mf) && mf->address_space != 10 && mf->address_space != 266)
        return gearbox_mddt_crspace_access(mf, MACCESS_REG_METHOD_GET, value, offset, 4) == 0 ? 4 : 0;
    if (is_ul_pci(mf)) return mread4_ul(mf, offset, value);
    if (offset % 4) return fail_errno(EINVAL);
    const access_ops* ops = ops_of(mf);
    if (!ops || !ops->read4) return fail_errno(EOPNOTSUPP);
    return ops->read4(mf, offset, value);
}

/* A failed write says in write_unsent whether it is known not to have left
 * this host: only the transports that can tell set it; any other failure may
 * have reached the device. */
int mwrite4(mfile* mf, unsigned int offset, uint32_t value)
{
    if (!mf) return fail_errno(EINVAL);
    mf->write_unsent = 0;
    if (is_switch_gearbox(mf) && mf->address_space != 10 && mf->address_space != 266) {
        const int rc = gearbox_mddt_crspace_access(mf, MACCESS_REG_METHOD_SET, &value, offset, 4);
        mf->write_unsent = 0; /* the tunnel's own writes tell nothing of this one's */
        return rc == 0 ? 4 : 0;
    }
    if (is_ul_pci(mf)) return mwrite4_ul(mf, offset, value);
    if (offset % 4) return write_not_sent(mf, EINVAL);
    const access_ops* ops = ops_of(mf);
    if (!ops || !ops->write4) return write_not_sent(mf, EOPNOTSUPP);
    return ops->write4(mf, offset, value);
}

int get_chunk_size(mfile* mf)
{
    if (!mf) return 4;
    if (is_block_access_works == -1) {
        if (is_gpu_device(mf->hw_dev_id)) {
            is_block_access_works = 0;
        } else {
            /* Provisional answer, so that the probe's own block read finds a
             * chunk size instead of probing again. */
            is_block_access_works = 1;
            if (is_usb_or_ndc(mf)) {
                uint32_t probe[2] = {0, 0};
                if (mread4_block(mf, 0xF0010, probe, 8) != 8 || probe[1] == 0xFFFFFFFFu)
                    is_block_access_works = 0;
            }
        }
    }
    if (mf->gearbox_line == 1 || mf->gearbox_mngr == 1) return mf->gearbox_kind == GEARBOX_KIND_I2C ? 64 : 256;
    const access_ops* ops = ops_of(mf);
    if (!ops) return 4;
    return ops->chunk_size_of ? ops->chunk_size_of(mf) : ops->chunk_size;
}

/* The chunk size of a block loop; a transport that answers 0 or less would
 * never finish the block, so the block is refused with EINVAL. */
static int block_chunk(mfile* mf)
{
    int chunk = get_chunk_size(mf);
    return chunk > 0 ? chunk : fail_errno(EINVAL);
}

/* The gearbox tunnel moves a block chunk by chunk; a failed chunk ends the
 * block with 0. */
static int gearbox_block(mfile* mf, int method, unsigned int offset, uint32_t* data, int size)
{
    int chunk = block_chunk(mf);
    if (chunk < 0) return -1;
    for (int done = 0; done < size; done += chunk) {
        int len = size - done < chunk ? size - done : chunk;
        if (gearbox_mddt_crspace_access(mf, method, data + done / 4, offset + done, len) != 0) {
            printf("-E- Failed to write data block over MDDT.\n");
            return 0;
        }
    }
    return size;
}

/* A configuration-space block that the driver refused is read again, whole,
 * through a user-level handle of the same function (kept as child). */
static int pciconf_user_level_retry(mfile* mf, unsigned int offset, uint32_t* data, int size)
{
    if (!mf->child) {
        if (!mf->dinfo) {
            errno = EINVAL;
            return -22;
        }
        char address[32];
        snprintf(address, sizeof(address), "%04x:%02x:%02x.%x", mf->dinfo->domain, mf->dinfo->bus,
                 mf->dinfo->dev, mf->dinfo->func);
        mf->child = mopen_ul(address);
        if (!mf->child) return -22;
        if (mf->icmd.opened) mf->child->icmd = mf->icmd;
    }
    mf->child->address_space = mf->address_space;
    return mread4_block(mf->child, offset, data, size);
}

int mread4_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (!mf || !data || byte_len < 0) return fail_errno(EINVAL);
    if (is_switch_gearbox(mf)) return gearbox_block(mf, MACCESS_REG_METHOD_GET, offset, data, byte_len);
    if (is_ul_pci(mf)) return mread4_block_ul(mf, offset, data, byte_len);
    if (mf->access_type == ACCESS_CABLE) {
        auto read_block = cable_entry<f_mcables_read4_block>(mf, CABLE_SLOT_READ4_BLOCK);
        if (!read_block) return fail_errno(EOPNOTSUPP);
        return byte_len - read_block(mf, offset, data, byte_len);
    }
    const access_ops* ops = ops_of(mf);
    if (!ops || !ops->read_chunk) return fail_errno(EPERM);
    int chunk = block_chunk(mf);
    if (chunk < 0) return -1;
    for (int done = 0; done < byte_len; done += chunk) {
        int len = byte_len - done < chunk ? byte_len - done : chunk;
        int rc = ops->read_chunk(mf, offset + done, data + done / 4, len);
        if (rc == len) continue;
        if (mf->access_type == ACCESS_PCICONF) return pciconf_user_level_retry(mf, offset, data, byte_len);
        return done;
    }
    return byte_len;
}

int mwrite4_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (!mf || !data || byte_len < 0) return fail_errno(EINVAL);
    if (is_switch_gearbox(mf)) return gearbox_block(mf, MACCESS_REG_METHOD_SET, offset, data, byte_len);
    if (is_ul_pci(mf)) return mwrite4_block_ul(mf, offset, data, byte_len);
    if (mf->access_type == ACCESS_CABLE) {
        auto write_block = cable_entry<f_mcables_write4_block>(mf, CABLE_SLOT_WRITE4_BLOCK);
        if (!write_block) return fail_errno(EOPNOTSUPP);
        return byte_len - write_block(mf, offset, data, byte_len);
    }
    const access_ops* ops = ops_of(mf);
    if (!ops || !ops->write_chunk) return fail_errno(EPERM);
    int chunk = block_chunk(mf);
    if (chunk < 0) return -1;
    if (is_usb_or_ndc(mf) && chunk > 4) chunk = USB_WRITE_CHUNK;
    for (int done = 0; done < byte_len; done += chunk) {
        int len = byte_len - done < chunk ? byte_len - done : chunk;
        int rc = ops->write_chunk(mf, offset + done, data + done / 4, len);
        if (rc != len) return done;
    }
    return byte_len;
}
