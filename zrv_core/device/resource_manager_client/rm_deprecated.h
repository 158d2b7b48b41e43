/*
 * rm_deprecated.h - conversion of older control commands whose parameter
 * records the driver no longer takes: the old record and up to three lists it
 * points to are copied into the newer record, the newer command is sent, and
 * the answer is copied back.
 */
#ifndef VEXIL_RM_DEPRECATED_H
#define VEXIL_RM_DEPRECATED_H

#include <stddef.h>
#include <stdint.h>

#include "ob_status.h"
#include "rm_escapes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef ObStatus (*ob_deprecated_converter)(struct ob_escape_control* record);

struct ob_deprecated_row {
    uint32_t cmd;
    ob_deprecated_converter convert;
    uint64_t vgpu; /* 1: not used on a vGPU guest */
};

/* Rows in lookup order, ended by a row with command 0. */
extern const struct ob_deprecated_row rmDeprecatedControlTable[];

/* 1 when a row took the command (its result in *status), 0 when it passes. */
int RmDoDeprecatedControl(struct ob_escape_control* record, ObStatus* status);

/* ---- parameter token: the caller's record and up to three embedded lists ---- */
enum { OB_TOKEN_MAX_ENTRIES = 4, OB_TOKEN_NO_COUNT = 0xFFFFFFFFu };

struct ob_token_entry {
    uint32_t ptr_offset;   /* of the list pointer inside the record (entries 1..3) */
    uint32_t count_offset; /* of the count word, or OB_TOKEN_NO_COUNT */
    uint32_t multiply;     /* 1: count times element size; 0: the count is bytes */
    uint32_t element_size;
    void* user;            /* the caller's record or list */
    void* copy;            /* the heap copy */
    uint32_t size;         /* bytes acquired (copied back and freed with this size) */
};

struct ob_params_token {
    uint32_t entries;
    struct ob_token_entry entry[OB_TOKEN_MAX_ENTRIES];
};

ObStatus _ctrlparamsTokenInit(struct ob_params_token* token, void* record, uint32_t size);
ObStatus _ctrlparamsTokenAddEmbeddedPtr(struct ob_params_token* token, uint32_t ptr_offset,
                                        uint32_t count_offset, uint32_t multiply,
                                        uint32_t element_size);
ObStatus ctrlparamAcquire(struct ob_params_token* token);
/* copy_back 0 frees the copies without writing the caller's record and lists. */
void ctrlparamRelease(struct ob_params_token* token, int copy_back);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_RM_DEPRECATED_H */
