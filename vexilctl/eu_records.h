/*
 * eu_records.h - what the group and partition operations share: the open
 * device of one operation, the walks over every group and partition id, and
 * the group name and EU list as the registers carry them.
 *
 * The adapter keeps no list of its objects: a group or partition exists when
 * a GET of its id succeeds, and a GET the adapter refused with a register
 * status counts as a free id. Any other failure says nothing about the id: a
 * walk stops there, and a query of that id alone fails.
 */
#ifndef VEXILCTL_EU_RECORDS_H
#define VEXILCTL_EU_RECORDS_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "lock_files.h"
#include "reg_access.h"
#include "utility_functions.h"

typedef struct reg_access_hca_nic_hxu_eug_reg_ext eug_record;
typedef struct reg_access_hca_nic_hxu_eu_partition_reg_ext partition_record;

/* Register operations of the group and partition registers. */
enum eu_object_operation : uint8_t {
    EU_OP_CREATE = 0,
    EU_OP_MODIFY = 1,
    EU_OP_DESTROY = 2,
};

#define EU_GROUP_NAME_BYTES 16

/* The device of one operation: opened by the operation, closed when it ends
 * (or earlier, by close()). */
class device_session {
public:
    device_session() = default;
    ~device_session() { close(); }
    device_session(const device_session&) = delete;
    device_session& operator=(const device_session&) = delete;

    /* Opens the device; false after printing the inaccessible-device line. */
    bool open(const char* device);
    /* Opens the device for a command that changes its groups or partitions:
     * one such command at a time per adapter (the groups are the adapter's,
     * whichever of its functions a command reaches), so what it scans stays
     * true until its last write. The lock is held until close(); other
     * handles the command opens take none. False after the inaccessible-device
     * line, or after the busy line when another command kept the lock for a
     * minute. A lock file that cannot be made is warned about and the command
     * goes on. */
    bool open_for_writing(const char* device);
    void close();
    mfile* handle() const { return mf_; }

private:
    mfile* mf_ = nullptr;
    struct lock_pair lock_ = no_lock_pair();
};

/* Prints the line of a device that cannot be opened. */
void print_inaccessible(const char* device);

/* The name's bytes, zero-filled to 16, as the register's four name words:
 * word i holds bytes 4i to 4i+3, byte 4i as its least significant byte. */
void eug_name_to_words(const char* name, uint32_t words[4]);
/* The name held by the four words, terminated (at most 16 characters). */
void eug_words_to_name(const uint32_t words[4], char name[EU_GROUP_NAME_BYTES + 1]);
/* The group's name compared with `name` over at most 16 bytes. */
bool eug_name_equals(const eug_record& group, const char* name);

/* Prints the EUs set in words 0 to max_num_hxu_eu / 32 of the mask (at most
 * all 32), increasing, separated by ',' - no line end. */
void print_member_eus(const uint32_t* member_mask);

/* Whether a failed access says nothing about the id. Only a register status
 * other than busy is the adapter's answer for an id that holds nothing (the
 * in-band path turns the MAD status of such an answer into one); the codes of
 * that range the host makes itself say that the handle's route is known not
 * to carry the register, and a route not yet known fails otherwise. Everything
 * else leaves the id unknown: the adapter busy, a mailbox that did not carry
 * the access or was still busy with an earlier command, a MAD that failed or
 * found the adapter busy, a system error of the PCI or remote path, a reply
 * that answers another request. */
bool access_leaves_id_unknown(int rc);

/* GET of one group or partition id into the record. A reply that carries
 * another id answers another request (the remote protocol has no tags, so a
 * stray reply shifts every later one): it fails as a reply that does not
 * parse does, with -1. */
int get_group(mfile* mf, eug_record& group, uint16_t id);
int get_partition(mfile* mf, partition_record& partition, uint16_t id);

/* GETs every group id 1 to max_num_hxu_eu_group into one record and calls
 * visit(record) for each group that exists, in id order, until visit returns
 * false. The record is reused for every id, as read. False, after the
 * querying-error line of the id, when a GET left its id unknown. */
template <typename Visit>
bool scan_groups(mfile* mf, eug_record& group, Visit visit)
{
    for (uint32_t id = 1; id <= max_num_hxu_eu_group; id++) {
        const int rc = get_group(mf, group, static_cast<uint16_t>(id));
        if (rc == ME_OK && !visit(group))
            return true;
        if (access_leaves_id_unknown(rc)) {
            printf("Error when querying group id: %u.\n", id);
            return false;
        }
    }
    return true;
}

/* As scan_groups, over partition ids 1 to max_num_hxu_eu_partition. */
template <typename Visit>
bool scan_partitions(mfile* mf, partition_record& partition, Visit visit)
{
    for (uint32_t id = 1; id <= max_num_hxu_eu_partition; id++) {
        const int rc = get_partition(mf, partition, static_cast<uint16_t>(id));
        if (rc == ME_OK && !visit(partition))
            return true;
        if (access_leaves_id_unknown(rc)) {
            printf("Error when querying partition id: %u.\n", id);
            return false;
        }
    }
    return true;
}

/* ORs a register's 32-word member mask into global_member_mask. */
void add_to_global_member_mask(const uint32_t* member_mask);

/* The partitions' share of the EU objects: every existing partition's EUs go
 * into global_member_mask and it reserves its max_num_eug groups plus itself.
 * False when the walk could not read every partition id. */
bool collect_partition_reservations(mfile* mf, uint32_t* reserved);

/* SETs a DESTROY of group `id` from a zeroed record; the register's result. */
int destroy_group_id(mfile* mf, uint16_t id);

/* The line printed when a CREATE is refused, with the object limit. */
void print_object_limit_hint(void);

#endif
