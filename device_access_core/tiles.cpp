/*
 * tiles.cpp - the tile map of hardware id 0x254 (accesses to a tile that is
 * off are skipped), the in-band ICMD semaphore over SMP attribute 0xFF53,
 * and the core's raw SMPs and reset through the InfiniBand device object.
 */
#include "tiles.h"

#include <errno.h>
#include <string.h>

#include "adb_to_c_utils.h"
#include "device_bridge.h"
#include "mtcr_int.h"
#include "plugins.h"

namespace {

constexpr uint16_t kTiledHwId = 0x254;
constexpr uint32_t kTilesStart = 0x2000000;
constexpr uint32_t kTileSize = 0x200000;
constexpr int kSmpDataSize = 64;
constexpr int kMethodSmpSet = 2;

typedef int (*f_reg_access_mgir)(mfile* mf, int method, void* record);

void print_semaphore_cmd(const char* title, const semaphore_lock_cmd& cmd)
{
    DBG_PRINTF("#######%s#####\n# SEM_ADDR: 0x%x\n# OP: %d\n# Lock_Key: 0x%x\n#################\n",
               title, cmd.sem_addr, cmd.op, cmd.lock_key);
}

}  // namespace

/* ---- tiles ---- */

void init_tile_map(mfile* mf, uint32_t start, uint32_t size)
{
    if (!mf) return;
    for (int k = 0; k < NUM_TILES; ++k) {
        mf->tile_map.tiles[k].start = start + (uint32_t)k * size;
        mf->tile_map.tiles[k].end = start + (uint32_t)(k + 1) * size;
        mf->tile_map.tiles[k].active = 1;
    }
    mf->tile_map.in_use = 1;
}

int get_nth_msb(uint32_t value, int n)
{
    if (n < 0 || n > 15) return 0;
    return (int)((value & 0xffff) >> n) & 1;
}

int reg_access_mgir_dl(mfile* mf, void* record)
{
    struct tqcr_plugin_ctx* ctx = tqcr_utils_load_dl_ctx(PLUGIN_REG_ACCESS);
    if (!ctx) {
        DBG_PRINTF("-E- Failed to load shared library: rreg_access\n");
        errno = ENOTSUP;
        return -1;
    }
    f_reg_access_mgir entry = (f_reg_access_mgir)ctx->entries[REG_ACCESS_SLOT_MGIR];
    int rc;
    if (!entry) {
        DBG_PRINTF("-E- Failed to load function: reg_access_mgir\n");
        errno = ENOTSUP;
        rc = -1;
    } else {
        DBG_PRINTF("-D- Calling reg_access_mgir\n");
        rc = entry(mf, 1, record);
        DBG_PRINTF("-D- reg_access_mgir return: %d\n", rc);
    }
    tqcr_utils_free_dl_ctx(ctx);
    return rc;
}

/* The tiles field of MGIR; false when it could not be read. */
static bool read_tiles_field(mfile* mf, uint16_t* tiles)
{
    struct mgir_tiles_record record;
    memset(&record, 0, sizeof(record));
    *tiles = 0;
    if (reg_access_mgir_dl(mf, &record) != 0) {
        DBG_PRINTF("Failed to send MGIR to get disabled tiles bitmap\n");
        return false;
    }
    *tiles = record.disabled_tiles;
    return true;
}

uint16_t get_disabled_tiles_bitmap(mfile* mf)
{
    uint16_t tiles;
    read_tiles_field(mf, &tiles);
    return tiles;
}

void update_tiles_map(mfile* mf)
{
    uint16_t tiles;
    if (!read_tiles_field(mf, &tiles)) {
        /* Which tiles are off is unknown: skip none rather than all. */
        mf->tile_map.in_use = 0;
        return;
    }
    for (int k = 0; k < NUM_TILES; ++k) mf->tile_map.tiles[k].active = (uint8_t)get_nth_msb(tiles, 7 - k);
}

void map_active_tiles(mfile* mf)
{
    if (!mf) return;
    uint32_t id = mf->hw_dev_id;
    if (id != kTiledHwId && read_device_id(mf, &id) != 4) return;
    if (id != kTiledHwId) return;
    init_tile_map(mf, kTilesStart, kTileSize);
    update_tiles_map(mf);
}

int is_offset_in_active_tile(mfile* mf, unsigned int offset)
{
    if (!mf || !mf->tile_map.in_use) return 1;
    for (const tile_entry& t : mf->tile_map.tiles) {
        if (offset >= t.start && offset <= t.end) return t.active;
    }
    return 1;
}

/* ---- in-band semaphore ---- */

void semaphore_lock_cmd_pack(const struct semaphore_lock_cmd* cmd, uint8_t* buff)
{
    adb2c_push_bits_to_buff(buff, 0, 1, cmd->flag);
    adb2c_push_bits_to_buff(buff, 8, 8, cmd->byte);
    adb2c_push_bits_to_buff(buff, 24, 8, cmd->max_sem_addr);
    adb2c_push_bits_to_buff(buff, 46, 2, cmd->op);
    adb2c_push_bits_to_buff(buff, 48, 16, cmd->sem_addr);
    adb2c_push_integer_to_buff(buff, 64, 4, cmd->lock_key);
}

void semaphore_lock_cmd_unpack(struct semaphore_lock_cmd* cmd, const uint8_t* buff)
{
    cmd->flag = (uint8_t)adb2c_pop_bits_from_buff(buff, 0, 1);
    cmd->byte = (uint8_t)adb2c_pop_bits_from_buff(buff, 8, 8);
    cmd->max_sem_addr = (uint8_t)adb2c_pop_bits_from_buff(buff, 24, 8);
    cmd->op = (uint8_t)adb2c_pop_bits_from_buff(buff, 46, 2);
    cmd->sem_addr = (uint16_t)adb2c_pop_bits_from_buff(buff, 48, 16);
    cmd->lock_key = (uint32_t)adb2c_pop_integer_from_buff(buff, 64, 4);
}

int send_semaphore_lock_smp(mfile* mf, uint8_t* data, int method)
{
    if (!mf || !data) return 2;
    return method == 1 ? mad_set(data, SEMAPHORE_LOCK_ATTRIBUTE, 0, mf->device)
                       : mad_get(data, SEMAPHORE_LOCK_ATTRIBUTE, 0, mf->device);
}

int mib_semaphore_lock_vs_mad(mfile* mf, int op, uint32_t sem_addr, uint32_t lock_key,
                              uint32_t* key_out, uint8_t* flag_out, uint8_t* byte_out,
                              int method)
{
    uint8_t data[kSmpDataSize];
    memset(data, 0, sizeof(data));
    struct semaphore_lock_cmd cmd;
    memset(&cmd, 0, sizeof(cmd));
    cmd.op = (uint8_t)op;
    cmd.sem_addr = (uint16_t)sem_addr;
    cmd.lock_key = lock_key;
    semaphore_lock_cmd_pack(&cmd, data);
    print_semaphore_cmd("BFORE", cmd);
    int rc = send_semaphore_lock_smp(mf, data, method);
    semaphore_lock_cmd_unpack(&cmd, data);
    print_semaphore_cmd("AFTER", cmd);
    if (key_out) *key_out = cmd.lock_key;
    if (flag_out) *flag_out = cmd.flag;
    if (byte_out) *byte_out = cmd.byte;
    return rc;
}

int mib_semaphore_lock_is_supported(mfile* mf)
{
    uint8_t data[kSmpDataSize];
    memset(data, 0, sizeof(data));
    if (send_semaphore_lock_smp(mf, data, 0) != 0) return 0;
    struct semaphore_lock_cmd cmd;
    semaphore_lock_cmd_unpack(&cmd, data);
    DBG_PRINTF("###### QUERY #####\n# MAX_SEM_ADDR: 0x%x\n#################\n", cmd.max_sem_addr);
    return cmd.max_sem_addr != 0;
}

/* ---- raw SMPs and reset ---- */

int send_smp(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier, int method)
{
    if (!mf || !data || !mf->device) return -1;
    return method == kMethodSmpSet ? mad_set(data, attribute, modifier, mf->device)
                                   : mad_get(data, attribute, modifier, mf->device);
}

int send_smp_set(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier)
{
    return send_smp(mf, data, attribute, modifier, kMethodSmpSet);
}

int send_smp_get(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier)
{
    return send_smp(mf, data, attribute, modifier, 1);
}

int mcables_send_smp(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier,
                     int method)
{
    if (!mf || !data) return -1;
    if (!mf->device) {
        if (init_device(mf->dev_name, &mf->device, 0, 0) < 0 || !mf->device) return -1;
    }
    force_use_smp(mf->device);
    return send_smp(mf, data, attribute, modifier, method);
}

int msw_reset(mfile* mf)
{
    if (!mf || mf->access_type != ACCESS_IB_INBAND) {
        errno = EPERM;
        return -1;
    }
    return reset_ib_device(mf->device);
}

int is_ib_device(uint32_t flags) { return (flags & (DEVFLAG_IB | DEVFLAG_OBL)) != 0; }
