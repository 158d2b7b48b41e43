/*
 * partition.h - EU partition operations of vexilctl: create, destroy and
 * query partitions on the adapter. Each operation opens the device itself
 * and closes it before it returns.
 */
#ifndef VEXILCTL_PARTITION_H
#define VEXILCTL_PARTITION_H

#include <stdint.h>

struct reg_access_hca_nic_hxu_eu_partition_reg_ext;

/* Creates a partition of the EUs of given_member_mask for the VHCA ids of
 * given_vhca_bit_mask, reserving max_num_eu_group group slots; 0 or -1. */
int partition_create(const char* device, uint16_t max_num_eu_group);
/* Destroys partition `id`; 0 or -1. */
int partition_destroy(const char* device, uint16_t id);
/* Prints every partition when id is QUERY_ALL_IDS, else partition `id`; 0 or -1. */
int partition_query(const char* device, int32_t id);
/* Prints one partition: its id, reserved groups, VHCA ids and member EUs. */
void print_partition(const struct reg_access_hca_nic_hxu_eu_partition_reg_ext* partition);

#endif
