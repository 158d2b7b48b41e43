/*
 * tiles.cpp - the tile map of hardware id 0x254: accesses to a tile that is
 * off are skipped.
 */
#include "tiles.h"

#include <errno.h>
#include <string.h>

#include "mtcr_int.h"
#include "plugins.h"

namespace {

constexpr uint16_t kTiledHwId = 0x254;
constexpr uint32_t kTilesStart = 0x2000000;
constexpr uint32_t kTileSize = 0x200000;

typedef int (*f_reg_access_mgir)(mfile* mf, int method, void* record);

}  // namespace

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
