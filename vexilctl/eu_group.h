/*
 * eu_group.h - EU group operations of vexilctl: create, destroy and query
 * groups on the adapter, and replace all of them from a JSON groups file.
 * Each operation opens the device itself and closes it before it returns.
 */
#ifndef VEXILCTL_EU_GROUP_H
#define VEXILCTL_EU_GROUP_H

#include <stdint.h>
#include <stdio.h>

struct reg_access_hca_nic_hxu_eug_reg_ext;

/* Creates a group named `name` from the EUs of given_member_mask; 0 or -1. */
int eu_group_create(const char* device, const char* name);
/* Destroys the group named `name`, or the group `id` when name is NULL; 0 or -1. */
int eu_group_destroy(const char* device, uint16_t id, const char* name, int report_errors);
/* Prints the group named `name`, or every group when id is QUERY_ALL_IDS, or
 * group `id`; 0 or -1. */
int eu_group_query(const char* device, int32_t id, const char* name);
/* Replaces every group of the adapter by the groups of the open JSON file;
 * the caller closes the file. 0 or -1. */
int eu_group_apply(const char* device, FILE* file);
/* Prints one group: its id, its name and its member EUs. */
void eu_group_details_print(const struct reg_access_hca_nic_hxu_eug_reg_ext* group);

#endif
