/*
 * vsec.cpp - the vendor-specific capability's window in PCI configuration
 * space: capability walk, window semaphore, address-space selection and its
 * probe into vsec_cap_mask, flag-polled dword access, blocks, and the open
 * that picks the window or the legacy 0x58/0x5C pair.
 */
#include "vsec.h"

#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "icmd.h"
#include "mtcr_int.h"
#include "pci_ul.h"
#include "semaphore_release.h"

namespace {

/* Window registers, relative to the capability. */
enum : uint32_t {
    VSEC_HEADER = 0x00,
    VSEC_CONTROL = 0x04,
    VSEC_COUNTER = 0x08,
    VSEC_SEMAPHORE = 0x0C,
    VSEC_ADDRESS = 0x10,
    VSEC_DATA = 0x14
};

constexpr uint32_t kFlagBit = 0x80000000u;
constexpr uint32_t kMaxAddress = 0x3FFFFFFFu;
constexpr uint32_t kSpaceStatusPresent = 0x20000000u; /* any of bits 29-31 */
constexpr uint32_t kSyndromeError = 3;
constexpr int kSemRounds = 2050;  /* rounds 1 to 2049 */
constexpr int kFlagReads = 2049;
constexpr int kFlagReadsPerSleep = 16;
constexpr uint16_t kHwId21E = 0x21E;
constexpr int kVscSpaceShift = 256; /* a space + 256: the same space through the VSC variant */

constexpr uint32_t kCapPointer = 0x34;
constexpr uint32_t kFirstCapability = 0x40;
constexpr uint32_t kLegacyAddress = 0x58;
constexpr uint32_t kHwIdAddress = 0xF0014;
constexpr uint32_t kWriteOnlyAddress = 0xBADACCE5u;

/* Spaces probed at open, in this order. */
constexpr uint16_t kProbeOrder[] = {3, 4, 5, 6, 7, 15, 1, 10, 2, 257, 258, 259, 263, 266, 12};

/* One read of configuration space; a failed read is reported with perror
 * (when the system gave a reason) and never turned into data. */
int conf_read(const mfile* mf, uint32_t offset, void* out, size_t len, const char* what)
{
    ssize_t n = pread(mf->fd, out, len, offset);
    if (n == (ssize_t)len) return 0;
    if (n < 0 && what) perror(what);
    if (n >= 0) errno = EIO;
    return -1;
}

/* 0; -1 when the system refused the write (nothing reached the device), -2
 * when it took only part of it. */
int conf_write(const mfile* mf, uint32_t offset, const void* in, size_t len, const char* what)
{
    ssize_t n = pwrite(mf->fd, in, len, offset);
    if (n == (ssize_t)len) return 0;
    if (n < 0 && what) perror(what);
    if (n >= 0) errno = EIO;
    return n < 0 ? -1 : -2;
}

/* Configuration dwords are little-endian. */
int vsec_read(const mfile* mf, uint32_t reg, uint32_t* value, const char* what)
{
    uint32_t raw;
    if (conf_read(mf, (uint32_t)mf->vsec.cap_offset + reg, &raw, 4, what)) return -1;
    *value = le32toh(raw);
    return 0;
}

int vsec_write(const mfile* mf, uint32_t reg, uint32_t value, const char* what)
{
    uint32_t raw = htole32(value);
    return conf_write(mf, (uint32_t)mf->vsec.cap_offset + reg, &raw, 4, what);
}

/* The lock file serialises configuration reads with other processes, with
 * the bounded retry of every lock-file user; a handle without a user-level
 * context needs no lock. */
int lock_file(const mfile* mf, int operation)
{
    return mf->ul_ctx ? flock_int(mf->ul_ctx->lock_fd, operation) : 0;
}

int read_config_locked(const mfile* mf, uint32_t offset, void* out, size_t len)
{
    if (lock_file(mf, LOCK_EX)) return -1;
    int rc = conf_read(mf, offset, out, len, nullptr);
    if (lock_file(mf, LOCK_UN)) return -1;
    return rc;
}

/* The one place where a window code becomes errno for the dword and block
 * slots. */
int fail_with_code(int code)
{
    switch (code) {
    case VSEC_BAD_ADDRESS: errno = EINVAL; break;
    case VSEC_SEM_NOT_TAKEN: errno = EBUSY; break;
    case VSEC_SPACE_NOT_SUPPORTED: errno = EOPNOTSUPP; break;
    case VSEC_FLAG_TIMEOUT: errno = ETIMEDOUT; break;
    default: errno = EIO; break;
    }
    return -1;
}

/* Slots of a functional window that lacks the spaces it needs: every access
 * is refused rather than left to a null slot. */
int refuse_read4(mfile*, unsigned int, uint32_t*)
{
    errno = EOPNOTSUPP;
    return -1;
}
int refuse_write4(mfile* mf, unsigned int, uint32_t)
{
    return write_not_sent(mf, EOPNOTSUPP);
}
int refuse_block(mfile*, unsigned int, uint32_t*, int)
{
    errno = EOPNOTSUPP;
    return -1;
}

void install_slots(ul_ctx* ctx, ul_read4_fn read4, ul_write4_fn write4, ul_block_fn read_block,
                   ul_block_fn write_block)
{
    ctx->read4 = read4;
    ctx->write4 = write4;
    ctx->read4_block = read_block;
    ctx->write4_block = write_block;
}

/* The legacy window takes addresses only (no read-back) when it answers the
 * probe address with the marker; data then goes before the address. */
void probe_legacy_window(mfile* mf)
{
    uint32_t probe = htole32(mf->cr_space_offset + kHwIdAddress);
    uint32_t back = 0;
    if (lock_file(mf, LOCK_EX)) return;
    if (!conf_write(mf, kLegacyAddress, &probe, 4, "write offset") &&
        !conf_read(mf, kLegacyAddress, &back, 4, "read value"))
        mf->ul_ctx->conf_gw_data_first = le32toh(back) == kWriteOnlyAddress;
    lock_file(mf, LOCK_UN);
    DBG_PRINTF("Write Only Address: %d\n", mf->ul_ctx->conf_gw_data_first);
}

/* The CR space that answered the probe: the plain one, else its VSC
 * variant; 0 when neither did. */
int answering_cr_space(const mfile* mf)
{
    const int spaces[] = {AS_CR_SPACE, AS_CR_SPACE + kVscSpaceShift};
    for (int space : spaces)
        if ((mf->vsec_cap_mask >> space_to_cap_offset(space)) & 1) return space;
    return 0;
}

/* Nothing has read the hardware id yet on this path, and a function that
 * lacks some of the spaces may still be usable by its id: read it through
 * the window in whichever CR space answered. */
void read_hw_id_through_window(mfile* mf)
{
    const int space = answering_cr_space(mf);
    if (!space) return;
    const int saved_space = mf->address_space;
    mf->address_space = space;
    install_slots(mf->ul_ctx, tqcr_pciconf_mread4, tqcr_pciconf_mwrite4, mread4_block_pciconf,
                  mwrite4_block_pciconf);
    uint32_t id = 0;
    if (read_device_id(mf, &id) != 4)
        DBG_PRINTF("failed to read the hardware id in VSC address space %d\n", space);
    mf->address_space = saved_space;
}

}  // namespace

int pci_find_capability(mfile* mf, int cap_id)
{
    if (!mf) return 0;
    uint8_t visited[256] = {0};
    uint8_t ptr = 0;
    if (read_config_locked(mf, kCapPointer, &ptr, 1)) return 0;
    while (ptr >= kFirstCapability) {
        uint8_t entry[2];
        if (read_config_locked(mf, ptr, entry, sizeof(entry))) return 0;
        visited[ptr] = 1;
        if (entry[0] == cap_id) return ptr;
        ptr = entry[1];
        if (visited[ptr]) return 0;
    }
    return 0;
}

static int free_window_semaphore(mfile* mf)
{
    return vsec_write(mf, VSEC_SEMAPHORE, 0, "unlock semaphore");
}

static int read_window_semaphore(mfile* mf, uint32_t* value)
{
    return vsec_read(mf, VSEC_SEMAPHORE, value, "read counter");
}

/* The release: written again only while the semaphore reads the ticket; one
 * that may be ours is read before anything is written. */
static int release_window_semaphore(mfile* mf)
{
    const int check_first = mf->vsec.sem_may_be_ours;
    mf->vsec.sem_may_be_ours = 0;
    return semaphore_release_ticket(mf, free_window_semaphore, read_window_semaphore,
                                    mf->vsec.ticket, check_first, &mf->vsec.sem_hold,
                                    "VSEC semaphore");
}

/* Writing the counter's ticket takes the semaphore when it reads back; the
 * ending signals are held from that write until the release. A write that
 * reports failure may have gone through all the same, and a read-back may
 * fail alone: the semaphore is then read again and released when it holds
 * the ticket. When no read answers and the ticket may have landed (the
 * system did not refuse its write), the semaphore may be ours: it stays so,
 * the signals held, until the next window access reads it. */
static int cap9_sem_attempt(mfile* mf, bool* taken)
{
    uint32_t ticket = 0;
    *taken = false;
    if (vsec_read(mf, VSEC_COUNTER, &ticket, "read counter")) return VSEC_CONF_READ_FAILED;
    signal_hold_take(&mf->vsec.sem_hold);
    mf->vsec.ticket = ticket;
    const int write_rc = vsec_write(mf, VSEC_SEMAPHORE, ticket, "write counter to semaphore");
    uint32_t sem = 0;
    if (write_rc || read_window_semaphore(mf, &sem)) {
        const int ours = semaphore_reread(mf, read_window_semaphore, ticket, "VSEC semaphore");
        if (ours == 1)
            release_window_semaphore(mf);
        else if (ours < 0 && write_rc != -1)
            mf->vsec.sem_may_be_ours = 1;
        if (!mf->vsec.sem_may_be_ours) signal_hold_give(&mf->vsec.sem_hold);
        return write_rc ? VSEC_CONF_WRITE_FAILED : VSEC_CONF_READ_FAILED;
    }
    *taken = sem == ticket;
    if (!*taken) signal_hold_give(&mf->vsec.sem_hold);
    return VSEC_OK;
}

/* A semaphore that may be ours, read before the window is used again: the
 * ticket there means it is this handle's (taken; the hold kept), anything
 * else that it is not (the hold given back). VSEC_CONF_READ_FAILED when no
 * read answered: still undecided. */
static int settle_window_semaphore(mfile* mf, bool* ours)
{
    const int found = semaphore_settle(mf, read_window_semaphore, mf->vsec.ticket,
                                       &mf->vsec.sem_may_be_ours, &mf->vsec.sem_hold,
                                       "VSEC semaphore");
    if (found < 0) return VSEC_CONF_READ_FAILED;
    *ours = found == 1;
    return VSEC_OK;
}

int tqcr_pciconf_cap9_sem(mfile* mf, int lock)
{
    if (!lock) return release_window_semaphore(mf) ? VSEC_CONF_WRITE_FAILED : VSEC_OK;
    if (mf->vsec.sem_may_be_ours) {
        bool ours = false;
        const int rc = settle_window_semaphore(mf, &ours);
        if (rc || ours) return rc;
    }
    for (int round = 1; round < kSemRounds; ++round) {
        uint32_t sem = 0;
        if (vsec_read(mf, VSEC_SEMAPHORE, &sem, "read counter")) return VSEC_CONF_READ_FAILED;
        if (sem) {
            zrv_msleep(1);
            continue;
        }
        bool taken = false;
        const int rc = cap9_sem_attempt(mf, &taken);
        if (rc) return rc;
        if (taken) return VSEC_OK;
    }
    return VSEC_SEM_NOT_TAKEN;
}

int tqcr_pciconf_wait_on_flag(mfile* mf, uint8_t expected)
{
    for (int n = 1; n <= kFlagReads; ++n) {
        uint32_t address = 0;
        if (vsec_read(mf, VSEC_ADDRESS, &address, "read flag")) return VSEC_CONF_READ_FAILED;
        if (((address & kFlagBit) != 0) == (expected != 0)) return VSEC_OK;
        if (n % kFlagReadsPerSleep == 0) zrv_msleep(1);
    }
    return VSEC_FLAG_TIMEOUT;
}

int check_syndrome(mfile* mf)
{
    uint32_t address = 0;
    if (vsec_read(mf, VSEC_ADDRESS, &address, "read domain")) return VSEC_CONF_READ_FAILED;
    if (!address) return VSEC_OK;
    uint32_t control = 0;
    if (vsec_read(mf, VSEC_CONTROL, &control, "read domain")) return VSEC_CONF_READ_FAILED;
    return ((control >> 24) & 0xF) == kSyndromeError ? VSEC_SYNDROME : VSEC_OK;
}

int tqcr_pciconf_set_addr_space(mfile* mf, uint16_t space)
{
    uint32_t control = 0;
    if (vsec_read(mf, VSEC_CONTROL, &control, "read domain")) return VSEC_CONF_READ_FAILED;
    control = (control & 0xFFFF0000u) | space;
    if (vsec_write(mf, VSEC_CONTROL, control, "write domain")) return VSEC_CONF_WRITE_FAILED;
    if (vsec_read(mf, VSEC_CONTROL, &control, "read status")) return VSEC_CONF_READ_FAILED;
    return control < kSpaceStatusPresent ? VSEC_SPACE_NOT_SUPPORTED : VSEC_OK;
}

int tqcr_pciconf_rw(mfile* mf, unsigned int offset, uint32_t* data, int write)
{
    /* The address write carries a value: until it is made, or when the
     * system refuses it, nothing has reached the device; from then on the
     * value may be there. */
    if (write) mf->write_unsent = 1;
    if (offset > kMaxAddress) {
        errno = EINVAL;
        return VSEC_BAD_ADDRESS;
    }
    int rc;
    if (write) {
        if (vsec_write(mf, VSEC_DATA, *data, "write value")) return VSEC_CONF_WRITE_FAILED;
        const int failed = vsec_write(mf, VSEC_ADDRESS, offset | kFlagBit, "write offset");
        mf->write_unsent = failed == -1;
        if (failed) return VSEC_CONF_WRITE_FAILED;
        rc = tqcr_pciconf_wait_on_flag(mf, 0);
    } else {
        if (vsec_write(mf, VSEC_ADDRESS, offset & ~kFlagBit, "write offset"))
            return VSEC_CONF_WRITE_FAILED;
        rc = tqcr_pciconf_wait_on_flag(mf, 1);
        if (vsec_read(mf, VSEC_DATA, data, "read value")) return VSEC_CONF_READ_FAILED;
    }
    /* A flag that never came stays a failure whatever the syndrome says. */
    if (rc) return rc;
    return mf->hw_dev_id == kHwId21E ? check_syndrome(mf) : VSEC_OK;
}

int tqcr_pciconf_send_pci_cmd_int(mfile* mf, int space, unsigned int offset, uint32_t* data,
                                  int write)
{
    if (write) mf->write_unsent = 1; /* until tqcr_pciconf_rw carries it */
    int rc = tqcr_pciconf_cap9_sem(mf, 1);
    if (rc) return rc;
    rc = tqcr_pciconf_set_addr_space(mf, (uint16_t)space);
    if (!rc) rc = tqcr_pciconf_rw(mf, offset, data, write);
    int unlock_rc = tqcr_pciconf_cap9_sem(mf, 0);
    return rc ? rc : unlock_rc;
}

int tqcr_pciconf_mread4(mfile* mf, unsigned int offset, uint32_t* value)
{
    int rc = tqcr_pciconf_send_pci_cmd_int(mf, mf->address_space, offset, value, 0);
    return rc ? fail_with_code(rc) : 4;
}

int tqcr_pciconf_mwrite4(mfile* mf, unsigned int offset, uint32_t value)
{
    int rc = tqcr_pciconf_send_pci_cmd_int(mf, mf->address_space, offset, &value, 1);
    return rc ? fail_with_code(rc) : 4;
}

int block_op_pciconf(mfile* mf, unsigned int offset, uint32_t* data, int size, int write)
{
    if (size < 0 || size % 4) {
        errno = EINVAL;
        return -1;
    }
    int rc = tqcr_pciconf_cap9_sem(mf, 1);
    if (rc) return fail_with_code(rc);
    int done = -1;
    rc = tqcr_pciconf_set_addr_space(mf, (uint16_t)mf->address_space);
    if (!rc) {
        for (done = 0; done < size; done += 4) {
            rc = tqcr_pciconf_rw(mf, offset + (unsigned)done, &data[done / 4], write);
            if (rc) break;
        }
    }
    tqcr_pciconf_cap9_sem(mf, 0);
    if (done < 0) return fail_with_code(rc);
    if (rc) fail_with_code(rc); /* bytes done so far, errno says why it stopped */
    return done;
}

int mread4_block_pciconf(mfile* mf, unsigned int offset, uint32_t* data, int size)
{
    return block_op_pciconf(mf, offset, data, size, 0);
}

int mwrite4_block_pciconf(mfile* mf, unsigned int offset, uint32_t* data, int size)
{
    return block_op_pciconf(mf, offset, data, size, 1);
}

int space_to_cap_offset(int space)
{
    switch (space) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: return space;
    case 10: return 8;
    case 15: return 9;
    case 257: return 10;
    case 258: return 11;
    case 259: return 12;
    case 263: return 13;
    case 266: return 14;
    case 12: return 15;
    default: return 0;
    }
}

int get_space_support_status(mfile* mf, uint16_t space)
{
    if (tqcr_pciconf_set_addr_space(mf, space) != VSEC_OK) return 0;
    mf->vsec_cap_mask |= 1u << space_to_cap_offset(space);
    return 1;
}

void tqcr_pciconf_settle_at_close(mfile* mf)
{
    if (mf && mf->vsec.sem_may_be_ours) release_window_semaphore(mf);
}

int tqcr_pciconf_open(mfile* mf, const char* path, int mode)
{
    if (!mf || !mf->ul_ctx || !path) {
        errno = EINVAL;
        return -1;
    }
    ul_ctx* ctx = mf->ul_ctx;
    mf->fd = open(path, O_RDWR | O_SYNC);
    if (mf->fd < 0) return -1;
    mf->access_type = ACCESS_PCICONF;

    /* Without the capability the offset stays 0 and no window access may run:
     * it would land in the PCI header. */
    mf->vsec.cap_offset = pci_find_capability(mf, PCI_CAP_ID_VSEC);
    mf->vsec.functional_vsc = 0;
    if (mf->vsec.cap_offset) {
        uint32_t header = 0;
        if (vsec_read(mf, VSEC_HEADER, &header, "read vsc type")) {
            close(mf->fd);
            mf->fd = -1;
            errno = EIO;
            return VSEC_CONF_READ_FAILED;
        }
        mf->vsec.vsec_type = (int)(header >> 24);
        DBG_PRINTF("in tqcr_pciconf_open function. mf->vsec_type: %d\n", mf->vsec.vsec_type);
        mf->vsec.functional_vsc = mf->vsec.vsec_type == 0;
    }
    mf->vsec_supported = (uint32_t)mf->vsec.functional_vsc;

    if (mf->vsec.functional_vsc) {
        DBG_PRINTF("FUNCTIONAL VSC Supported\n");
        if (mode & 1) free_window_semaphore(mf); /* whoever holds it: a dead process */
        if (tqcr_pciconf_cap9_sem(mf, 1)) {
            tqcr_pciconf_settle_at_close(mf);
            close(mf->fd);
            mf->fd = -1;
            errno = EBUSY;
            return -1;
        }
        for (uint16_t space : kProbeOrder) get_space_support_status(mf, space);
        mf->vsec_cap_mask |= 1u;
        tqcr_pciconf_cap9_sem(mf, 0);
        if (!VSEC_MIN_SUPPORT_UL(mf)) read_hw_id_through_window(mf);
        if (VSEC_SUPPORTED_UL(mf)) {
            mf->address_space = AS_CR_SPACE;
            install_slots(ctx, tqcr_pciconf_mread4, tqcr_pciconf_mwrite4, mread4_block_pciconf,
                          mwrite4_block_pciconf);
        } else {
            install_slots(ctx, refuse_read4, refuse_write4, refuse_block, refuse_block);
        }
    } else {
        probe_legacy_window(mf);
        install_slots(ctx, conf_gw_read4, conf_gw_write4, ul_read4_block_by_dword,
                      ul_write4_block_by_dword);
    }
    ctx->close = ul_pciconf_close;
    return 0;
}
