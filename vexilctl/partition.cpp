/*
 * partition.cpp - EU partition operations.
 *
 * TEMPORARY: the operations arrive with the device core and the register
 * functions. Until then the limits can never be read (extract_nic_cap_ext_reg
 * fails for every device), so none of these is reached; each fails.
 */
#include "partition.h"

int partition_create(const char* device, uint16_t max_num_eu_group)
{
    (void)device;
    (void)max_num_eu_group;
    return -1; /* TEMPORARY */
}

int partition_destroy(const char* device, uint16_t id)
{
    (void)device;
    (void)id;
    return -1; /* TEMPORARY */
}

int partition_query(const char* device, int32_t id)
{
    (void)device;
    (void)id;
    return -1; /* TEMPORARY */
}
