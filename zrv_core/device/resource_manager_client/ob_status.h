/*
 * ob_status.h - the resource-manager status codes that every function of the
 * GPU client returns (0 is OB_OK), their texts, and the translation of a
 * status into the 7-bit access-register status.
 */
#ifndef VEXIL_OB_STATUS_H
#define VEXIL_OB_STATUS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ObStatus;

#define OB_OK 0x0u
#define OB_ERR_GENERIC 0xffffu
#define OB_ERR_BUSY_RETRY 0x3u
#define OB_ERR_IN_USE 0x17u
#define OB_ERR_INSUFFICIENT_RESOURCES 0x1au
#define OB_ERR_INSUFFICIENT_PERMISSIONS 0x1bu
#define OB_ERR_INVALID_ARGUMENT 0x1fu
#define OB_ERR_INVALID_CLASS 0x22u
#define OB_ERR_INVALID_DEVICE 0x26u
#define OB_ERR_INVALID_FLAGS 0x29u
#define OB_ERR_INVALID_FUNCTION 0x2au
#define OB_ERR_INVALID_METHOD 0x30u
#define OB_ERR_INVALID_OBJECT_PARENT 0x36u
#define OB_ERR_INVALID_OFFSET 0x37u
#define OB_ERR_INVALID_PARAM_STRUCT 0x3au
#define OB_ERR_INVALID_PARAMETER 0x3bu
#define OB_ERR_INVALID_POINTER 0x3du
#define OB_ERR_INVALID_STATE 0x40u
#define OB_ERR_MORE_PROCESSING_REQUIRED 0x4du
#define OB_ERR_NO_MEMORY 0x51u
#define OB_ERR_NOT_SUPPORTED 0x56u
#define OB_ERR_OPERATING_SYSTEM 0x59u
#define OB_ERR_TIMEOUT 0x65u
#define OB_ERR_TIMEOUT_RETRY 0x66u
#define OB_ERR_LIB_RM_VERSION_MISMATCH 0x6au

struct ob_status_entry {
    uint32_t value;
    const char* text;
};

/* Every code in table order, ended by {0xFFFFFFFF, "Unknown error code!"}. */
extern const struct ob_status_entry g_StatusCodeList[];
extern const uint32_t g_StatusCodeCount; /* entries including the end row */

/* The text of the first entry with this value, else "Unknown error code!". */
const char* obstatusToString(uint32_t status);

/* A resource-manager status as the access-register status of a reply; codes
 * without a row pass unchanged. */
uint32_t TranslateObStatus(uint32_t status);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_OB_STATUS_H */
