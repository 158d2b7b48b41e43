/*
 * eu_group.cpp - EU group operations.
 *
 * TEMPORARY: the operations arrive with the device core and the register
 * functions. Until then the limits can never be read (extract_nic_cap_ext_reg
 * fails for every device), so none of these is reached; each fails.
 */
#include "eu_group.h"

int eu_group_create(const char* device, const char* name)
{
    (void)device;
    (void)name;
    return -1; /* TEMPORARY */
}

int eu_group_destroy(const char* device, uint16_t id, const char* name, int report_errors)
{
    (void)device;
    (void)id;
    (void)name;
    (void)report_errors;
    return -1; /* TEMPORARY */
}

int eu_group_query(const char* device, int32_t id, const char* name)
{
    (void)device;
    (void)id;
    (void)name;
    return -1; /* TEMPORARY */
}

int eu_group_apply(const char* device, FILE* file)
{
    (void)device;
    (void)file;
    return -1; /* TEMPORARY */
}
