/*
 * icmd.cpp - finding the ICMD mailbox (icmd_open: through the VSEC with its
 * fixed geometry, in CR space with the device database's geometry, or the
 * Brell gearbox's gateway), the mailbox and semaphore dword helpers, and the
 * ICMD semaphore (VSEC ticket, CR-space read-to-lock, or in-band MAD lock).
 */
#include <execinfo.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "icmd.h"
#include "icmd_internal.h"
#include "semaphore_release.h"
#include "tiles.h"

namespace {

/* Geometry of the mailbox behind the VSEC (space 3). */
constexpr uint32_t kVsecCtrlAddr = 0x0;
constexpr uint32_t kVsecCmdAddr = 0x100000;
constexpr uint32_t kVsecSyndromeAddr = 0x1008;
constexpr uint32_t kVsecMaxSizeAddr = 0x1000;
constexpr uint32_t kVsecSemaphoreAddr = 0x0;

/* CR-space mailbox: the syndrome and control words follow the buffer. */
constexpr uint32_t kCrMaxCmdSize = 832;
constexpr uint32_t kCrSyndromeFromCmd = 0x3F8;
constexpr uint32_t kCrCtrlFromCmd = 0x3FC;
constexpr uint32_t kSupportedVersion = 1;
constexpr uint32_t kBrokenVersion = 512;

/* Brell gearbox gateway. */
constexpr uint32_t kGboxBaseAddr = 0x90010;
constexpr uint32_t kGboxCtrlFromBase = 0x100;
constexpr uint32_t kGboxReplyFromBase = 0x104;
constexpr uint32_t kGboxMaxCmdSize = 256;
constexpr uint32_t kGboxBaseUnknown = 0xFFFF;

constexpr uint32_t kHwIdNoDevice = 0xCAFE;
constexpr uint32_t kInbandSemAddrA = 0xE250C;
constexpr uint32_t kInbandSemAddrB = 0xE27F8;
constexpr int kSemAttempts = 256;
constexpr int kInbandLockOk = 0x400;
constexpr int kInbandOpLock = 1;
constexpr int kInbandOpRelease = 3;
constexpr int kMaxStackFrames = 10;

/* Gateway base of the Brell gearbox, read once per process. */
uint32_t gbox_gw_base = kGboxBaseUnknown;

uint32_t low_bits(uint32_t value, uint32_t bits)
{
    return bits >= 32 ? value : value & ((1u << bits) - 1u);
}

/* The version field of the version word: the whole word for 32 bits and
 * more, 0 for an empty field. */
uint32_t extract_field(uint32_t word, uint32_t bit_offset, uint32_t bitlen)
{
    if (bitlen >= 32) return word;
    if (bitlen == 0 || bit_offset >= 32) return 0;
    return low_bits(word >> bit_offset, bitlen);
}

/* A cable, by the handle's own description of the device: asking by id
 * would read the device file again. Without a description there is nothing
 * to read (the by-id answer would fail the same way and say no). */
int is_cable_device(device_info_handle info)
{
    if (!info) return 0;
    char type[DEVICE_INFO_MAX_STR_LEN] = "";
    get_field_as_string(info, type, "device_type", "general_info");
    return strcmp(type, "Cable") == 0;
}

/* Device kinds that have no ICMD mailbox: cables, Tarnel-3 and Tarnel-3 Pro,
 * gearboxes other than the Brell gearbox, Cablon devices other than the
 * PeloraE SDDV (and, in CR space, other than retimers). */
int device_kind_without_icmd(mfile* mf, int retimer_allowed)
{
    device_info_handle info = mf->device_info;
    if (is_cable_device(info)) return 1;
    if (is_tn3(info) || is_tn3pro(info)) return 1;
    if (is_gearbox(info) && !is_brell_gear_box(info)) return 1;
    if (is_cablon(info) && !is_pelorae_sddv(info) && !(retimer_allowed && is_retimer(info)))
        return 1;
    return 0;
}

int is_inband_semaphore(const mfile* mf)
{
    const uint32_t addr = mf->icmd.semaphore_addr;
    return mf->icmd.ib_semaphore && (addr == kInbandSemAddrA || addr == kInbandSemAddrB);
}

/* Moves one dword in a VSEC space and returns to CR space; without the VSEC
 * the address is a plain CR address. */
int space_access(mfile* mf, int space, uint32_t offset, uint32_t* value, int write)
{
    const int over_vsec = icmd_over_vsec(mf);
    if (over_vsec && mset_addr_space(mf, space)) return ME_ICMD_STATUS_CR_FAIL;
    int rc = write ? mwrite4(mf, offset, *value) : mread4(mf, offset, value);
    if (over_vsec) mset_addr_space(mf, AS_CR_SPACE);
    return rc == 4 ? ME_OK : ME_ICMD_STATUS_CR_FAIL;
}

void print_open_result(const mfile* mf)
{
    const icmd_params& ic = mf->icmd;
    DBG_PRINTF("-D- iCMD command addr: 0x%x\n", ic.cmd_addr);
    DBG_PRINTF("-D- iCMD ctrl addr: 0x%x\n", ic.ctrl_addr);
    DBG_PRINTF("-D- iCMD semaphore addr(semaphore space): 0x%x\n", ic.semaphore_addr);
    DBG_PRINTF("-D- iCMD max mailbox size: 0x%x  size %d\n", ic.max_cmd_size, ic.max_cmd_size);
    DBG_PRINTF("-D- VS iCMD stat_cfg_not_done addr: 0x%x:%d\n", ic.static_cfg_not_done_addr,
               ic.static_cfg_not_done_offset);
}

void take_static_cfg_from_database(mfile* mf)
{
    mf->icmd.static_cfg_not_done_addr = get_static_cfg_not_done_address(mf->device_info);
    mf->icmd.static_cfg_not_done_offset = get_static_cfg_not_done_offset(mf->device_info);
}

/* Mailbox at fixed addresses of the VSEC's ICMD space; its size is read
 * from the device, the readiness bit from the device database. */
int open_over_vsec(mfile* mf)
{
    icmd_params& ic = mf->icmd;
    ic.ctrl_addr = kVsecCtrlAddr;
    ic.cmd_addr = kVsecCmdAddr;
    ic.syndrome_addr = kVsecSyndromeAddr;
    ic.semaphore_addr = kVsecSemaphoreAddr;
    ic.syndrome = 0;
    const uint32_t ticket = icmd_process_ticket();

    DBG_PRINTF("-D- Getting VCR_CMD_SIZE_ADDR\n");
    int rc = icmd_take_semaphore_com(mf, ticket);
    if (rc) return rc;
    rc = MREAD4_ICMD(mf, kVsecMaxSizeAddr, &ic.max_cmd_size);
    icmd_clear_semaphore_com(mf);
    if (rc) return rc;

    rc = icmd_take_semaphore_com(mf, ticket);
    if (rc) return rc;
    DBG_PRINTF("icmd_init_vcr_crspace\n");
    uint32_t hw_id = 0;
    if (read_device_id(mf, &hw_id) != 4) {
        rc = ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
    } else if (hw_id == kHwIdNoDevice) {
        DBG_PRINTF("icmd_init_vcr_crspace not supported\n");
        rc = ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
    } else if (device_kind_without_icmd(mf, 0)) {
        DBG_PRINTF("icmd_init_vcr_crspace not supported for this device\n");
        rc = ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
    } else {
        take_static_cfg_from_database(mf);
        DBG_PRINTF("-D- VS iCMD stat_cfg_not_done addr: 0x%x:%d\n", ic.static_cfg_not_done_addr,
                   ic.static_cfg_not_done_offset);
    }
    icmd_clear_semaphore_com(mf);
    if (rc) return rc;
    ic.opened = 1;
    print_open_result(mf);
    icmd_get_dma_support(mf);
    return ME_OK;
}

/* The Brell gearbox: the mailbox sits in the gateway whose base CR 0x90010
 * holds; it is read once per process. */
int open_gearbox(mfile* mf)
{
    DBG_PRINTF("icmd gearbox flow\n");
    uint32_t hw_id = 0;
    if (read_device_id(mf, &hw_id) != 4) return ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
    if (gbox_gw_base == kGboxBaseUnknown) {
        uint32_t base = 0;
        if (mread4(mf, kGboxBaseAddr, &base) != 4) return ME_ERROR;
        gbox_gw_base = base;
    }
    icmd_params& ic = mf->icmd;
    ic.gbox_gw_base = gbox_gw_base;
    ic.ctrl_addr = gbox_gw_base + kGboxCtrlFromBase;
    ic.cmd_addr = gbox_gw_base + kGboxCtrlFromBase;
    ic.gbox_reply_addr = gbox_gw_base + kGboxReplyFromBase;
    ic.semaphore_addr = get_semaphore_address(mf->device_info);
    take_static_cfg_from_database(mf);
    ic.max_cmd_size = kGboxMaxCmdSize;
    ic.opened = 1;
    return ME_OK;
}

/* Mailbox in CR space: the command pointer, version and semaphore locations
 * come from the device database. */
int open_in_cr_space(mfile* mf)
{
    uint32_t hw_id = 0;
    if (read_device_id(mf, &hw_id) != 4 || hw_id == kHwIdNoDevice)
        return ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
    if (device_kind_without_icmd(mf, 1)) {
        DBG_PRINTF("ICMD not supported for device type\n");
        return ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
    }
    device_info_handle info = mf->device_info;
    if (is_brell_gear_box(info)) return open_gearbox(mf);

    icmd_params& ic = mf->icmd;
    const uint32_t cmd_ptr_addr = get_cmd_ptr_address(info);
    ic.cmd_ptr_bitlen = get_cmd_ptr_bitlen(info);
    ic.version_addr = get_version_address(info);
    ic.version_bit_offset = get_version_bit_offset(info);
    ic.version_bitlen = get_version_bitlen(info);
    ic.semaphore_addr = get_semaphore_address(info);
    take_static_cfg_from_database(mf);
    ic.max_cmd_size = kCrMaxCmdSize;
    ic.syndrome = 0;
    DBG_PRINTF("-D- iCMD version addr(semaphore space): 0x%x\n", ic.version_addr);
    DBG_PRINTF("-D- iCMD semaphore addr(semaphore space): 0x%x\n", ic.semaphore_addr);
    DBG_PRINTF("-D- iCMD max mailbox size: 0x%x\n", ic.max_cmd_size);
    DBG_PRINTF("-D- VS iCMD stat_cfg_not_done addr: 0x%x:%d\n", ic.static_cfg_not_done_addr,
               ic.static_cfg_not_done_offset);

    uint32_t word = 0;
    const int version_read = mread4(mf, ic.version_addr, &word) == 4;
    const uint32_t version = extract_field(word, ic.version_bit_offset, ic.version_bitlen);
    if (!version_read || version == kBrokenVersion) {
        fprintf(stderr, "unable to read ICMD version\n");
        return ME_ICMD_STATUS_CR_FAIL;
    }
    if (version != kSupportedVersion) {
        fprintf(stderr, "ICMD version %d unsupported\n", (int)version);
        return ME_ICMD_UNSUPPORTED_ICMD_VERSION;
    }
    if (mread4(mf, cmd_ptr_addr, &word) != 4) {
        fprintf(stderr, "unable to read cmd_ptr_addr\n");
        return ME_ICMD_STATUS_CR_FAIL;
    }
    ic.cmd_addr = low_bits(word, ic.cmd_ptr_bitlen);
    ic.syndrome_addr = ic.cmd_addr + kCrSyndromeFromCmd;
    ic.ctrl_addr = ic.cmd_addr + kCrCtrlFromCmd;
    DBG_PRINTF("-D- iCMD command addr: 0x%x\n", ic.cmd_addr);
    DBG_PRINTF("-D- iCMD ctrl addr: 0x%x\n", ic.ctrl_addr);
    DBG_PRINTF("-D- iCMD syndrom addr: 0x%x\n", ic.syndrome_addr);
    if ((mf->flags & (DEVFLAG_IB | DEVFLAG_OBL)) && mib_semaphore_lock_is_supported(mf))
        ic.ib_semaphore = 1;
    ic.opened = 1;
    return ME_OK;
}

int inband_lock(mfile* mf, int* taken)
{
    DBG_PRINTF("VS_MAD SEM LOCK ..\n");
    uint32_t key = 0;
    uint8_t flag = 0, byte = 0;
    int rc = mib_semaphore_lock_vs_mad(mf, kInbandOpLock, 0, 0, &key, &flag, &byte, 1);
    if (rc & ~kInbandLockOk) {
        DBG_PRINTF("Failed!\n");
        icmd_print_callstack_if_linked();
        return ME_ICMD_STATUS_ICMD_NOT_READY;
    }
    *taken = key != 0;
    if (*taken) {
        mf->icmd.lock_key = key;
        DBG_PRINTF("Succeeded!\n");
    }
    return ME_OK;
}

int inband_release(mfile* mf)
{
    if (!mf->icmd.lock_key) return ME_OK;
    DBG_PRINTF("VS_MAD SEM Release ..\n");
    uint32_t key = 0;
    uint8_t flag = 0, byte = 0;
    int rc = mib_semaphore_lock_vs_mad(mf, kInbandOpRelease, 0, mf->icmd.lock_key, &key, &flag,
                                       &byte, 1);
    if ((rc & ~kInbandLockOk) || key) {
        DBG_PRINTF("Failed!\n");
        return ME_ICMD_STATUS_CR_FAIL;
    }
    DBG_PRINTF("Succeeded!\n");
    mf->icmd.lock_key = 0;
    return ME_OK;
}

}  // namespace

/* ---- shared with icmd_send.cpp ---- */

/* The process id alone is no ticket: tools in separate PID namespaces (side
 * by side in containers) can all be pid 1, and each would read the others'
 * ticket back as its own. The id is mixed with random bits drawn once per
 * process, and drawn again in a child forked after the parent took the
 * semaphore, so that the child never presents the parent's ticket. */
uint32_t icmd_process_ticket(void)
{
    static pid_t drawn_for = 0;
    static uint32_t salt = 0;
    const pid_t pid = getpid();
    if (drawn_for != pid) {
        if (getrandom(&salt, sizeof(salt), GRND_NONBLOCK) != (ssize_t)sizeof(salt)) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            salt = (uint32_t)now.tv_nsec * 2654435761u ^ (uint32_t)now.tv_sec;
        }
        drawn_for = pid;
    }
    const uint32_t ticket = (uint32_t)pid ^ salt;
    return ticket ? ticket : 1;
}

void icmd_print_callstack_if_linked(void)
{
    char marker[64];
    snprintf(marker, sizeof(marker), "/dev/qdx/crvlink_service_%d", (int)getpid());
    if (access(marker, F_OK) != 0) return;
    void* frames[kMaxStackFrames];
    int count = backtrace(frames, kMaxStackFrames);
    char** names = backtrace_symbols(frames, count);
    printf("Obtained %d stack frames.\n", count);
    printf("----------Current callstack---------\n");
    for (int i = 0; names && i < count; ++i) printf("%s\n", names[i]);
    free(names);
}

static int free_icmd_semaphore(mfile* mf)
{
    return MWRITE4_SEMAPHORE(mf, mf->icmd.semaphore_addr, 0);
}

static int read_icmd_semaphore(mfile* mf, uint32_t* value)
{
    return MREAD4_SEMAPHORE(mf, mf->icmd.semaphore_addr, value);
}

/* One try: under the VSEC the ticket is written and must read back; a
 * CR-space semaphore is taken by the read that returns 0 (ticket 0). When
 * the write or the read reports failure the semaphore may be this process's
 * all the same: it is read again, and released before the try fails when a
 * read finds the ticket. When no read answers and the ticket may have
 * landed, the semaphore may be ours: it stays so, the signals held, until
 * the next take or the close reads it. */
static int semaphore_attempt(mfile* mf, uint32_t ticket, int* taken)
{
    *taken = 0;
    if (is_inband_semaphore(mf)) return inband_lock(mf, taken);
    uint32_t value = ticket;
    const int ticketed = icmd_over_vsec(mf);
    mf->write_unsent = 1; /* stays so when the space selection fails before the write */
    const bool written = !ticketed || !MWRITE4_SEMAPHORE(mf, mf->icmd.semaphore_addr, ticket);
    const bool may_have_landed = ticketed && (written || !mf->write_unsent);
    /* Under the VSEC the read-back; in CR space the read that returns 0
     * takes the semaphore. */
    int read_rc = -1;
    if (written)
        read_rc = ticketed ? (read_icmd_semaphore(mf, &value) ? -1 : 0)
                           : semaphore_take_read(mf, read_icmd_semaphore, &value);
    if (read_rc == 1) {
        /* Sent and never answered: it may be this process's, and without a
         * ticket nobody can tell; nothing is written. */
        semaphore_warn_unreleased("ICMD semaphore");
        return ME_ICMD_STATUS_CR_FAIL;
    }
    if (read_rc) {
        const int ours = semaphore_reread(mf, read_icmd_semaphore, ticket, "ICMD semaphore");
        if (ours == 1) {
            mf->icmd.took_semaphore = 1;
            icmd_clear_semaphore_com(mf);
        } else if (ours < 0 && may_have_landed) {
            mf->icmd.sem_may_be_ours = 1;
        }
        return ME_ICMD_STATUS_CR_FAIL;
    }
    *taken = value == ticket;
    return ME_OK;
}

/* A semaphore that may be ours, read: 1 when it holds this process's
 * ticket (it is ours, the hold kept), 0 when it holds anything else (the
 * hold given back), -1 when no read answered (still undecided, the hold
 * kept). */
static int settle_icmd_semaphore(mfile* mf)
{
    const int ours = semaphore_settle(mf, read_icmd_semaphore, icmd_process_ticket(),
                                      &mf->icmd.sem_may_be_ours, &mf->icmd.sem_hold,
                                      "ICMD semaphore");
    if (ours == 1) mf->icmd.took_semaphore = 1;
    return ours;
}

/* The semaphore is this process's: the command goes on, unless an ending
 * signal is waiting (the run is ending), when it is given back at once. */
static int semaphore_taken(mfile* mf)
{
    if (signal_hold_interrupted()) {
        icmd_clear_semaphore_com(mf);
        return ME_ICMD_STATUS_SEMAPHORE_TO;
    }
    DBG_PRINTF("Semaphore taken successfully...\n");
    return ME_OK;
}

int icmd_take_semaphore_com(mfile* mf, uint32_t ticket)
{
    /* GPU-class functions opened over configuration space share no mailbox. */
    if (is_pxuc_pciconf(mf)) return ME_OK;
    DBG_PRINTF("Taking semaphore... at 0x%x\n", mf->icmd.semaphore_addr);
    /* A ticket of an earlier take that may have landed is used when it is
     * there; the semaphore is not asked for until a read has decided. */
    if (mf->icmd.sem_may_be_ours) {
        const int ours = settle_icmd_semaphore(mf);
        if (ours < 0) return ME_ICMD_STATUS_CR_FAIL;
        if (ours) return semaphore_taken(mf);
    }
    for (int attempt = 1; attempt <= kSemAttempts; ++attempt) {
        /* The ending signals are held from the attempt that may take the
         * semaphore until its release, or until a read says whose it is;
         * never across the sleeps between. */
        signal_hold_take(&mf->icmd.sem_hold);
        int taken = 0;
        const int rc = semaphore_attempt(mf, ticket, &taken);
        if (taken) {
            mf->icmd.took_semaphore = 1;
            return semaphore_taken(mf);
        }
        if (!mf->icmd.sem_may_be_ours) signal_hold_give(&mf->icmd.sem_hold);
        if (rc) return rc;
        if (attempt < kSemAttempts) zrv_msleep((unsigned)(rand() % 50));
    }
    return ME_ICMD_STATUS_SEMAPHORE_TO;
}

/* Under the VSEC the semaphore holds this process's ticket and is written
 * again only while it reads it; in CR space only while the 0 never left. A
 * release that may not have gone through leaves took_semaphore set for
 * icmd_close when the semaphore may still be this process's: with a ticket
 * whenever it could not be read, without one only when no 0 left. One that
 * may be ours is read before anything is written. The hold is given back
 * either way. */
static int release_icmd_semaphore(mfile* mf, int check_first)
{
    const int ticketed = icmd_over_vsec(mf);
    if (mf->icmd.sem_may_be_ours) check_first = 1;
    mf->icmd.sem_may_be_ours = 0;
    const int rc = ticketed ? semaphore_release_ticket(mf, free_icmd_semaphore, read_icmd_semaphore,
                                                       icmd_process_ticket(), check_first,
                                                       &mf->icmd.sem_hold, "ICMD semaphore")
                            : semaphore_release(mf, free_icmd_semaphore, &mf->icmd.sem_hold,
                                                "ICMD semaphore");
    mf->icmd.took_semaphore =
        rc == SEMAPHORE_STILL_HELD || (ticketed && rc == SEMAPHORE_MAY_BE_FREED);
    return rc == SEMAPHORE_RELEASED ? ME_OK : ME_ICMD_STATUS_CR_FAIL;
}

int icmd_clear_semaphore_com(mfile* mf)
{
    if (is_pxuc_pciconf(mf)) {
        mf->icmd.took_semaphore = 0;
        signal_hold_give(&mf->icmd.sem_hold);
        return ME_OK;
    }
    if (is_inband_semaphore(mf)) {
        const int rc = inband_release(mf);
        mf->icmd.took_semaphore = 0;
        signal_hold_give(&mf->icmd.sem_hold);
        return rc;
    }
    return release_icmd_semaphore(mf, 0);
}

/* ---- public ---- */

int MREAD4_ICMD(mfile* mf, uint32_t offset, uint32_t* value)
{
    return space_access(mf, AS_ICMD, offset, value, 0);
}

int MWRITE4_ICMD(mfile* mf, uint32_t offset, uint32_t value)
{
    return space_access(mf, AS_ICMD, offset, &value, 1);
}

int MREAD4_SEMAPHORE(mfile* mf, uint32_t offset, uint32_t* value)
{
    return space_access(mf, AS_SEMAPHORE, offset, value, 0);
}

int MWRITE4_SEMAPHORE(mfile* mf, uint32_t offset, uint32_t value)
{
    return space_access(mf, AS_SEMAPHORE, offset, &value, 1);
}

int icmd_open(mfile* mf)
{
    if (!mf) return ME_BAD_PARAMS;
    if (mf->icmd.opened) return ME_OK;
    if ((is_pci_device(mf) || (mf->flags & DEVFLAG_PCI)) &&
        (is_livefish_device(mf) || is_zombiefish_device(mf))) {
        DBG_PRINTF("Device is in livefish, ICMD not supported\n");
        return ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
    }
    mf->icmd.took_semaphore = 0;
    mf->icmd.ib_semaphore = 0;
    return icmd_over_vsec(mf) ? open_over_vsec(mf) : open_in_cr_space(mf);
}

/* A semaphore still marked taken is released by the same rule; one with a
 * ticket is read first, as its earlier release may have gone through. One
 * that may be ours is read first too: released when it holds the ticket,
 * left to whoever holds it otherwise, and left as it is (said) when no read
 * answers, the signals let through as the handle goes. Runs whether or not
 * the mailbox opened: the open's own takes may have left either. */
void icmd_close(mfile* mf)
{
    if (!mf) return;
    if (mf->icmd.sem_may_be_ours && settle_icmd_semaphore(mf) < 0) {
        mf->icmd.sem_may_be_ours = 0;
        signal_hold_give(&mf->icmd.sem_hold);
    }
    if (mf->icmd.took_semaphore) {
        const int rc = is_pxuc_pciconf(mf) || is_inband_semaphore(mf)
                           ? icmd_clear_semaphore_com(mf)
                           : release_icmd_semaphore(mf, icmd_over_vsec(mf));
        if (rc) DBG_PRINTF("Failed to clear semaphore!\n");
    }
    mf->icmd.opened = 0;
}

int icmd_take_semaphore(mfile* mf)
{
    int rc = icmd_open(mf);
    if (rc) return rc;
    return icmd_take_semaphore_com(mf, icmd_over_vsec(mf) ? icmd_process_ticket() : 0);
}

int icmd_clear_semaphore(mfile* mf)
{
    DBG_PRINTF("Clearing semaphore\n");
    int rc = icmd_open(mf);
    if (rc) return rc;
    return icmd_clear_semaphore_com(mf);
}
