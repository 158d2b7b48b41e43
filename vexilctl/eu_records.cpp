/*
 * eu_records.cpp - the open device of an operation, group names and EU lists
 * as the registers carry them, and the partition walk shared by the group
 * operations.
 */
#include "eu_records.h"

#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include "lock_files.h"

/* Long enough for another command's whole apply over the largest group
 * limit to end, in time passed. */
static const unsigned long writer_lock_wait_us = 60000000;

bool device_session::open(const char* device)
{
    close();
    mf_ = mopen(device);
    if (mf_ == nullptr) {
        print_inaccessible(device);
        return false;
    }
    return true;
}

bool device_session::open_for_writing(const char* device)
{
    if (!open(device))
        return false;
    create_adapter_lock_file(mf_, LOCK_KIND_EU_OBJECTS, &lock_);
    if (flock_wait(lock_, LOCK_EX, writer_lock_wait_us) == 0)
        return true;
    printf("Timed out waiting for another process changing EU groups/partitions of device: %s\n", device);
    close();
    return false;
}

void device_session::close()
{
    close_lock_pair(&lock_);
    if (mf_ != nullptr)
        mclose(mf_);
    mf_ = nullptr;
}

void print_inaccessible(const char* device)
{
    printf("Inaccessible/no privileges/invalid device: %s\n", device);
}

void eug_name_to_words(const char* name, uint32_t words[4])
{
    uint8_t bytes[EU_GROUP_NAME_BYTES] = {0};
    for (unsigned i = 0; i < EU_GROUP_NAME_BYTES && name[i] != '\0'; i++)
        bytes[i] = static_cast<uint8_t>(name[i]);
    for (unsigned i = 0; i < 4; i++)
        words[i] = uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 |
                   uint32_t(bytes[4 * i + 2]) << 16 | uint32_t(bytes[4 * i + 3]) << 24;
}

void eug_words_to_name(const uint32_t words[4], char name[EU_GROUP_NAME_BYTES + 1])
{
    for (unsigned i = 0; i < EU_GROUP_NAME_BYTES; i++)
        name[i] = static_cast<char>(words[i / 4] >> (8 * (i % 4)));
    name[EU_GROUP_NAME_BYTES] = '\0';
}

bool eug_name_equals(const eug_record& group, const char* name)
{
    char held[EU_GROUP_NAME_BYTES + 1];
    eug_words_to_name(group.eug_name, held);
    return strncmp(held, name, EU_GROUP_NAME_BYTES) == 0;
}

void print_member_eus(const uint32_t* member_mask)
{
    unsigned last_word = max_num_hxu_eu / 32;
    if (last_word >= EU_MASK_WORDS)
        last_word = EU_MASK_WORDS - 1;
    const char* separator = "";
    for (unsigned eu = 0; eu < 32 * (last_word + 1); eu++) {
        if (member_mask[eu / 32] >> (eu % 32) & 1u) {
            printf("%s%u", separator, eu);
            separator = ",";
        }
    }
}

void add_to_global_member_mask(const uint32_t* member_mask)
{
    for (unsigned w = 0; w < EU_MASK_WORDS; w++)
        global_member_mask[w] |= member_mask[w];
}

bool access_leaves_id_unknown(int rc)
{
    const bool register_status = rc >= ME_REG_ACCESS_BAD_STATUS_ERR && rc < ME_ICMD_STATUS_CR_FAIL;
    return rc != ME_OK && (!register_status || rc == ME_REG_ACCESS_DEV_BUSY);
}

int get_group(mfile* mf, eug_record& group, uint16_t id)
{
    group.eug_id = id;
    const int rc = reg_access_nic_hxu_eug(mf, MACCESS_REG_METHOD_GET, &group);
    return rc == ME_OK && group.eug_id != id ? -1 : rc;
}

int get_partition(mfile* mf, partition_record& partition, uint16_t id)
{
    partition.eu_partition_id = id;
    const int rc = reg_access_nic_hxu_eu_partition(mf, MACCESS_REG_METHOD_GET, &partition);
    return rc == ME_OK && partition.eu_partition_id != id ? -1 : rc;
}

bool collect_partition_reservations(mfile* mf, uint32_t* reserved)
{
    *reserved = 0;
    partition_record partition;
    memset(&partition, 0, sizeof partition);
    return scan_partitions(mf, partition, [reserved](const partition_record& found) {
        add_to_global_member_mask(found.member_mask);
        *reserved += uint32_t(found.max_num_eug) + 1;
        return true;
    });
}

int destroy_group_id(mfile* mf, uint16_t id)
{
    eug_record request;
    memset(&request, 0, sizeof request);
    request.eug_id = id;
    request.operation = EU_OP_DESTROY;
    return reg_access_nic_hxu_eug(mf, MACCESS_REG_METHOD_SET, &request);
}

void print_object_limit_hint(void)
{
    printf("Make sure the sum of EU groups + partitions + each partition's max_num_eug, doesn't "
           "exceed %u HXU EU objects allowed\n",
           max_num_hxu_eu_group);
}
