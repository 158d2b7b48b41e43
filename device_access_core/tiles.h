/*
 * tiles.h - active tiles of the device with hardware id 0x254 (accesses to an
 * inactive tile are skipped) and the in-band semaphore and device helpers.
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

void map_active_tiles(mfile* mf);
void init_tile_map(mfile* mf, uint32_t start, uint32_t size);
void update_tiles_map(mfile* mf);
int get_nth_msb(uint32_t value, int n);
uint16_t get_disabled_tiles_bitmap(mfile* mf);
int reg_access_mgir_dl(mfile* mf, void* record);
/* The active flag of the tile holding the address; 1 outside all tiles. */
int is_offset_in_active_tile(mfile* mf, unsigned int offset);
int mib_semaphore_lock_is_supported(mfile* mf);
/* One semaphore SMP (op 1 lock, 3 release, 0 query) on sem_addr with the
 * lock key; the key, flag and byte the device returned go to the outputs.
 * The SMP result (0x400 alone means success). */
int mib_semaphore_lock_vs_mad(mfile* mf, int op, uint32_t sem_addr, uint32_t lock_key,
                              uint32_t* key_out, uint8_t* flag_out, uint8_t* byte_out,
                              int method);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_TILES_H */
