/*
 * tiles.cpp - active tiles and in-band semaphore helpers.
 * Placeholder until the tile map lands: no tile map is ever built; the
 * lookup of an address in a map is already in place.
 */
#include "tiles.h"

#include <errno.h>

#include "mtcr_int.h"

void map_active_tiles(mfile*) {}
void init_tile_map(mfile*, uint32_t, uint32_t) {}
void update_tiles_map(mfile*) {}
int get_nth_msb(uint32_t value, int n) { return (int)((value & 0xffff) >> n) & 1; }
uint16_t get_disabled_tiles_bitmap(mfile*) { return 0; }
int reg_access_mgir_dl(mfile*, void*)
{
    errno = ENOTSUP;
    return -1;
}
int is_offset_in_active_tile(mfile* mf, unsigned int offset)
{
    if (!mf || !mf->tile_map.in_use) return 1;
    for (const tile_entry& t : mf->tile_map.tiles) {
        if (offset >= t.start && offset <= t.end) return t.active;
    }
    return 1;
}
int mib_semaphore_lock_is_supported(mfile*) { return 0; }
int mib_semaphore_lock_vs_mad(mfile*, int, uint32_t, uint32_t, uint32_t* key_out, uint8_t*,
                              uint8_t*, int)
{
    if (key_out) *key_out = 0;
    errno = ENOTSUP;
    return -1;
}
