/*
 * tiles.h - active tiles of the device with hardware id 0x254 (accesses to an
 * inactive tile are skipped).
 */
#ifndef VEXIL_TILES_H
#define VEXIL_TILES_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NUM_TILES 8

struct tile_entry {
    uint8_t active;
    uint32_t start; /* inclusive CR addresses */
    uint32_t end;
};

struct tile_map {
    int in_use;
    struct tile_entry tiles[NUM_TILES];
};

/* What the register-access plug-in's reg_access_mgir fills for the core:
 * the core reads only the tiles field. */
struct mgir_tiles_record {
    uint16_t disabled_tiles; /* bit 7 - k: tile k's active flag */
    uint16_t reserved0;
    uint32_t reserved[63];
};

void map_active_tiles(mfile* mf);
void init_tile_map(mfile* mf, uint32_t start, uint32_t size);
void update_tiles_map(mfile* mf);
int get_nth_msb(uint32_t value, int n);
uint16_t get_disabled_tiles_bitmap(mfile* mf);
int reg_access_mgir_dl(mfile* mf, void* record);
/* The active flag of the tile holding the address; 1 outside all tiles. */
int is_offset_in_active_tile(mfile* mf, unsigned int offset);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_TILES_H */
