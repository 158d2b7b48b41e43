/*
 * eu_group.cpp - create, destroy and query EU groups. A group is a named set
 * of EUs that the adapter holds under an id from 1 to max_num_hxu_eu_group;
 * the tool finds groups by reading every id. Each operation opens the device
 * and closes it before it returns; create writes only after every check.
 */
#include "eu_group.h"

#include <stdio.h>
#include <string.h>

#include "eu_records.h"

void eu_group_details_print(const eug_record* group)
{
    char name[EU_GROUP_NAME_BYTES + 1];
    eug_words_to_name(group->eug_name, name);
    printf("EU group ID: %u\n", group->eug_id);
    printf("EU group name: %s\n", name);
    printf("Member EUs are: ");
    print_member_eus(group->member_mask);
    printf("\n");
}

namespace {

void print_too_many_groups(uint32_t count)
{
    printf("Error: There are %d EU groups, exceeded Max number of HXU EU groups\n", count);
    print_nic_cap_ext_reg(EU_GROUP);
}

/* The checks and the write of eu_group_create; the caller prints the
 * closing failure line once the device is closed. */
int create_group(const char* device, const char* name)
{
    const size_t length = strlen(name);
    if (length > MAX_EU_GROUP_NAME_LEN) {
        printf("EU group name could be at max %d chars, got %ld chars\n", MAX_EU_GROUP_NAME_LEN,
               static_cast<long>(length));
        return -1;
    }
    if (check_validity_of_eu_member_mask(given_member_mask, 1) != 0)
        return -1;
    device_session session;
    if (!session.open_for_writing(device))
        return -1;
    if (max_num_hxu_eu_group == 0) {
        print_too_many_groups(0);
        return -1;
    }

    uint32_t groups = 0;
    bool name_taken = false;
    eug_record group;
    memset(&group, 0, sizeof group);
    const bool scanned = scan_groups(session.handle(), group, [&](const eug_record& found) {
        add_to_global_member_mask(found.member_mask);
        if (eug_name_equals(found, name)) {
            printf("Group name: \"%s\", is already taken by group_id: %u\n", name, found.eug_id);
            name_taken = true;
            return false;
        }
        groups++;
        return true;
    });
    if (!scanned || name_taken)
        return -1;
    if (groups >= max_num_hxu_eu_group) {
        print_too_many_groups(groups);
        return -1;
    }
    if (max_num_hxu_eu_partition != 0) {
        uint32_t reserved = 0;
        if (!collect_partition_reservations(session.handle(), &reserved))
            return -1;
        if (groups + reserved >= max_num_hxu_eu_group) {
            printf("Error: There are total %d EU Partition and Groups, can't exceed Max number of "
                   "HXU EU groups\n",
                   groups + reserved);
            print_nic_cap_ext_reg(PARTITION);
            return -1;
        }
    }
    if (eu_object_members_overlap(given_member_mask) != 0)
        return -1;

    eug_record request;
    memset(&request, 0, sizeof request);
    request.operation = EU_OP_CREATE;
    eug_name_to_words(name, request.eug_name);
    memcpy(request.member_mask, given_member_mask, sizeof request.member_mask);
    if (reg_access_nic_hxu_eug(session.handle(), MACCESS_REG_METHOD_SET, &request) != ME_OK) {
        puts("Failed to access EU group register.");
        print_object_limit_hint();
        return -1;
    }
    session.close();
    puts("Group created successfully-");
    eu_group_details_print(&request);
    return 0;
}

int destroy_by_id(mfile* mf, uint16_t id, int report_errors)
{
    if (check_before_query_or_destroy(max_num_hxu_eu_group, 1, id, EU_GROUP) != 0)
        return -1;
    if (destroy_group_id(mf, id) != ME_OK) {
        if (report_errors)
            printf("Error when trying to destroy EU group id: %u.\n", id);
        return -1;
    }
    printf("Group with group id: %u, was destroyed successfully\n", id);
    return 0;
}

/* Destroys the first group with the name, sending the record back as read
 * with only the operation changed. */
int destroy_by_name(mfile* mf, const char* name)
{
    int result = 0;
    bool found_one = false;
    eug_record group;
    memset(&group, 0, sizeof group);
    const bool scanned = scan_groups(mf, group, [&](eug_record& found) {
        if (!eug_name_equals(found, name))
            return true;
        found_one = true;
        found.operation = EU_OP_DESTROY;
        if (reg_access_nic_hxu_eug(mf, MACCESS_REG_METHOD_SET, &found) == ME_OK) {
            printf("Group with name: \"%s\" (group_id: %u) - destructed\n", name, found.eug_id);
        } else {
            printf("Failed to destroy group name: \"%s\" (group id: %u).\n", name, found.eug_id);
            result = -1;
        }
        return false;
    });
    if (!scanned)
        return -1;
    if (!found_one)
        printf("No group with name: \"%s\" exists.\n", name);
    return result;
}

int query_by_name(mfile* mf, const char* name)
{
    bool found_one = false;
    eug_record group;
    memset(&group, 0, sizeof group);
    const bool scanned = scan_groups(mf, group, [&](const eug_record& found) {
        if (!eug_name_equals(found, name))
            return true;
        found_one = true;
        eu_group_details_print(&found);
        return false;
    });
    if (!scanned)
        return -1;
    if (!found_one)
        printf("No group with name: \"%s\" exists.\n", name);
    return 0;
}

int query_all(mfile* mf)
{
    int count = 0;
    eug_record group;
    memset(&group, 0, sizeof group);
    const bool scanned = scan_groups(mf, group, [&count](const eug_record& found) {
        printf("%d) ", ++count);
        eu_group_details_print(&found);
        printf("\n");
        return true;
    });
    if (!scanned)
        return -1;
    printf("In total there are %d EU groups configured.\n", count);
    return 0;
}

int query_by_id(mfile* mf, uint16_t id)
{
    if (check_before_query_or_destroy(max_num_hxu_eu_group, 1, id, EU_GROUP) != 0)
        return -1;
    eug_record group;
    memset(&group, 0, sizeof group);
    const int rc = get_group(mf, group, id);
    if (rc == ME_OK) {
        eu_group_details_print(&group);
        return 0;
    }
    printf("Error when querying group id: %u.\n", id);
    return access_leaves_id_unknown(rc) ? -1 : 0;
}

} // namespace

int eu_group_create(const char* device, const char* name)
{
    if (create_group(device, name) != 0) {
        puts("EU group creation failed.");
        return -1;
    }
    return 0;
}

int eu_group_destroy(const char* device, uint16_t id, const char* name, int report_errors)
{
    device_session session;
    if (!session.open_for_writing(device))
        return -1;
    if (name != NULL)
        return destroy_by_name(session.handle(), name);
    return destroy_by_id(session.handle(), id, report_errors);
}

int eu_group_query(const char* device, int32_t id, const char* name)
{
    device_session session;
    if (!session.open(device))
        return -1;
    if (name != NULL)
        return query_by_name(session.handle(), name);
    if (id == QUERY_ALL_IDS)
        return query_all(session.handle());
    return query_by_id(session.handle(), static_cast<uint16_t>(id));
}
