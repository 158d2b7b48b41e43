/*
 * partition.cpp - create, destroy and query EU partitions. A partition is a
 * set of EUs bound to a list of VHCA ids, with a number of group slots
 * reserved for it, held by the adapter under an id from 1 to
 * max_num_hxu_eu_partition. Each operation opens the device and closes it
 * before it returns.
 */
#include "partition.h"

#include <stdio.h>
#include <string.h>

#include "eu_records.h"

namespace {

/* The register holds this many VHCA ids. */
const uint32_t vhca_id_capacity = 256;

/*
 * num_vhca_id is 8 bits wide, yet a partition may hold 256 ids. A full list
 * travels as count 0 with all 256 entries filled. Read back, count 0 means
 * 256 ids when any entry is non-zero: 256 distinct ids hold at most one 0,
 * while a partition without ids comes back with every entry 0 (a GET answers
 * the whole record). The tool never asks for a partition without ids, but
 * the adapter may hold one made by other means.
 */
uint32_t vhca_count(const partition_record& partition)
{
    if (partition.num_vhca_id != 0)
        return partition.num_vhca_id;
    for (uint32_t i = 0; i < vhca_id_capacity; i++) {
        if (partition.vhca_id[i] != 0)
            return vhca_id_capacity;
    }
    return 0;
}

bool vhca_bit(const uint32_t* mask, uint32_t id)
{
    return (mask[id / 32] >> (id % 32) & 1u) != 0;
}

void set_vhca_bit(uint32_t* mask, uint32_t id)
{
    mask[id / 32] |= 1u << (id % 32);
}

uint32_t count_vhca_ids(const uint32_t* mask)
{
    uint32_t count = 0;
    for (unsigned w = 0; w < VHCA_MASK_WORDS; w++)
        count += static_cast<uint32_t>(__builtin_popcount(mask[w]));
    return count;
}

/* Writes the requested VHCA ids, increasing, into the request; false after
 * the messages when there are more than a partition may hold. */
bool take_vhca_ids(partition_record& request)
{
    const uint32_t count = count_vhca_ids(given_vhca_bit_mask);
    if (count > max_num_partition_vhca_id) {
        puts("Error: Sum of requested VHCAs for the Partition exceeds the Max number of possible "
             "VHCAs that can be associated with a single EU Partition");
        print_nic_cap_ext_reg(PARTITION);
        return false;
    }
    uint32_t taken = 0;
    for (uint32_t id = 0; id < 32u * VHCA_MASK_WORDS; id++) {
        if (vhca_bit(given_vhca_bit_mask, id))
            request.vhca_id[taken++] = static_cast<uint16_t>(id);
    }
    request.num_vhca_id = static_cast<uint8_t>(count); /* 256 wraps to 0, see vhca_count */
    return true;
}

bool vhca_ids_overlap(void)
{
    for (unsigned w = 0; w < VHCA_MASK_WORDS; w++) {
        if ((given_vhca_bit_mask[w] & global_vhca_bit_mask[w]) != 0)
            return true;
    }
    return false;
}

/* The checks and the write of partition_create; the caller prints the
 * closing failure line once the device is closed. */
int create_partition(const char* device, uint16_t requested_groups)
{
    if (check_validity_of_eu_member_mask(given_member_mask, 0) != 0)
        return -1;
    if (max_num_partition_vhca_id > vhca_id_capacity) {
        puts("Fatal error - the maximal possible number of VHCAs associated with a Partition, "
             "exceeds register's memory capacity");
        return -1;
    }
    partition_record request;
    memset(&request, 0, sizeof request);
    if (!take_vhca_ids(request))
        return -1;
    device_session session;
    if (!session.open_for_writing(device))
        return -1;

    uint32_t partitions = 0;
    uint32_t reserved = 0;
    partition_record partition;
    memset(&partition, 0, sizeof partition);
    mfile* mf = session.handle();
    const bool partitions_read = scan_partitions(mf, partition, [&](const partition_record& found) {
        add_to_global_member_mask(found.member_mask);
        const uint32_t ids = vhca_count(found);
        for (uint32_t i = 0; i < ids; i++)
            set_vhca_bit(global_vhca_bit_mask, found.vhca_id[i]);
        partitions++;
        reserved += found.max_num_eug;
        return true;
    });
    if (!partitions_read)
        return -1;
    if (partitions >= max_num_hxu_eu_partition) {
        printf("Error: There are %d EU partitions, can't exceed Max number of HXU EU partitions\n",
               static_cast<int>(partitions));
        print_nic_cap_ext_reg(PARTITION);
        return -1;
    }
    eug_record group;
    memset(&group, 0, sizeof group);
    const bool groups_read = scan_groups(mf, group, [&reserved](const eug_record& found) {
        add_to_global_member_mask(found.member_mask);
        reserved++;
        return true;
    });
    if (!groups_read)
        return -1;
    if (!(partitions + reserved + requested_groups < max_num_hxu_eu_group)) {
        printf("Error: There are total %d EU Partition and Groups, request for %u groups + new "
               "partition, exceeds Max number of HXU EU groups\n",
               static_cast<int>(partitions + reserved), requested_groups);
        print_nic_cap_ext_reg(PARTITION);
        return -1;
    }
    if (eu_object_members_overlap(given_member_mask) != 0)
        return -1;
    if (vhca_ids_overlap()) {
        puts("There is an overlap of VHCA IDs between the VHCA IDs given and another existing EU "
             "partition. A VHCA's ID can belong at most to a single partition");
        return -1;
    }

    request.eu_partition_id = 0;
    request.operation = EU_OP_CREATE;
    request.modify_field_select = 0;
    request.max_num_eug = requested_groups;
    memcpy(request.member_mask, given_member_mask, sizeof request.member_mask);
    if (reg_access_nic_hxu_eu_partition(session.handle(), MACCESS_REG_METHOD_SET, &request) != ME_OK) {
        puts("Failed to access EU partition register.");
        print_object_limit_hint();
        return -1;
    }
    session.close();
    puts("Partition created successfully-");
    print_partition(&request);
    return 0;
}

int query_all(mfile* mf)
{
    int count = 0;
    partition_record partition;
    memset(&partition, 0, sizeof partition);
    const bool scanned = scan_partitions(mf, partition, [&count](const partition_record& found) {
        printf("%d) ", ++count);
        print_partition(&found);
        printf("\n");
        return true;
    });
    if (!scanned)
        return -1;
    printf("In total there are %d EU partitions configured.\n", count);
    return 0;
}

int query_by_id(mfile* mf, uint16_t id)
{
    if (check_before_query_or_destroy(max_num_hxu_eu_partition, 1, id, PARTITION) != 0)
        return -1;
    partition_record partition;
    memset(&partition, 0, sizeof partition);
    const int rc = get_partition(mf, partition, id);
    if (rc == ME_OK) {
        print_partition(&partition);
        return 0;
    }
    printf("Error when querying partition id: %u.\n", id);
    return access_leaves_id_unknown(rc) ? -1 : 0;
}

} // namespace

void print_partition(const partition_record* partition)
{
    printf("EU Partition ID: %u\n", partition->eu_partition_id);
    printf("Maximal number of groups: %u\n", partition->max_num_eug);
    const uint32_t ids = vhca_count(*partition);
    printf("The partition has a total of %u associated VHCA IDs, namely: ", ids);
    for (uint32_t i = 0; i < ids; i++)
        printf("%s%u", i == 0 ? "" : ",", partition->vhca_id[i]);
    printf("\n");
    printf("Partition's member EUs are: ");
    print_member_eus(partition->member_mask);
    printf("\n");
}

int partition_create(const char* device, uint16_t max_num_eu_group)
{
    if (create_partition(device, max_num_eu_group) != 0) {
        puts("EU partition creation failed.");
        return -1;
    }
    return 0;
}

int partition_destroy(const char* device, uint16_t id)
{
    device_session session;
    if (!session.open_for_writing(device))
        return -1;
    if (check_before_query_or_destroy(max_num_hxu_eu_partition, 1, id, PARTITION) != 0)
        return -1;
    partition_record request;
    memset(&request, 0, sizeof request);
    request.eu_partition_id = id;
    request.operation = EU_OP_DESTROY;
    if (reg_access_nic_hxu_eu_partition(session.handle(), MACCESS_REG_METHOD_SET, &request) != ME_OK) {
        printf("Error when trying to destroy EU partition id: %u.\n", id);
        puts("Make sure no EU groups are configured on the partition. Terminating..");
        return -1;
    }
    printf("Partition with partition id: %u, was destroyed successfully\n", id);
    return 0;
}

int partition_query(const char* device, int32_t id)
{
    device_session session;
    if (!session.open(device))
        return -1;
    if (id == QUERY_ALL_IDS)
        return query_all(session.handle());
    return query_by_id(session.handle(), static_cast<uint16_t>(id));
}
