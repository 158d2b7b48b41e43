// One row per generated layout record, with its functions behind untyped pointers, so that a
// caller can walk every record of every family without naming them (the generator emits the
// table itself).
#ifndef TOOLS_LAYOUTS_LAYOUT_CATALOGUE_H
#define TOOLS_LAYOUTS_LAYOUT_CATALOGUE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "adb_to_c_utils.h"

struct layout_catalogue_entry {
    const char* name;                    // record name; NULL ends the table
    const struct adb2c_node_db* db;      // description table of the record's family
    size_t record_size;                  // sizeof the host record
    unsigned int (*size)(void);          // image size in bytes
    void (*pack)(const void* record, uint8_t* image);
    void (*unpack)(void* record, const uint8_t* image);
    void (*print)(const void* record, FILE* fd, int indent_level);
    void (*dump)(const void* record, FILE* fd);
};

#endif
