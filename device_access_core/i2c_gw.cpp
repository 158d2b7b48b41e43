/*
 * i2c_gw.cpp - the I2C and SMBus primary gateways in a PCI device's CR space.
 *
 * A transfer to a secondary device is an offset phase (the secondary's
 * register offset, by the handle's address-width code) and a data phase.
 * The I2C gateway moves up to 4 bytes per transaction through one control
 * and one data word; the SMBus gateway moves the offset and up to 4 data
 * bytes in one transaction through its control, status, data and NACK
 * registers, under its lock bit.
 *
 * Processes of this host that share a function take turns on its gateways
 * through one lock file: a transfer's phases never interleave with another
 * process's, whose offset would otherwise move the secondary's pointer, or
 * whose data words would replace ours in the shared registers.
 */
#include "i2c_gw.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "i2c_access.h"
#include "lock_files.h"
#include "mtcr_int.h"
#include "semaphore_release.h"

namespace {

constexpr uint32_t kHwIdAddress = 0xF0014;
constexpr uint32_t kBootRecord = 0xF0208;
constexpr uint32_t kBootRecordBit = 1u << 23;
constexpr uint32_t kGpioEnable1 = 0xF2028;
constexpr uint32_t kGpioEnable0 = 0xF202C;
constexpr uint32_t kGpioPinBits = 0x07FF8000; /* bits 15-26 */

/* ---- I2C primary gateway ---- */

constexpr uint32_t kDefaultI2cGw = 0xF0180;
constexpr uint32_t kRemoteI2cGw = 0x3180;
constexpr uint32_t kCmdWrite = 0x40000000;
constexpr uint32_t kCmdRead = 0x20000000;
constexpr uint32_t kCmdStop = 0x60000000;
constexpr uint32_t kCmdMask = 0xE0000000;
constexpr uint32_t kPrimaryEnableBit = 1u << 22;
constexpr int kResultDone = 7;
constexpr int kResultNack = 6;
constexpr int kAttempts = 100;
constexpr int kPollsBeforeSleep = 5001;
constexpr int kPollLimit = 5012;

struct i2c_gw_row {
    uint16_t hw_id;
    uint32_t gw[6];
};

const i2c_gw_row i2c_gw_db[] = {
    {0x1FF, {0xF0800, 0xF0820, 0xF0850, 0, 0, 0}},
    {0x1F5, {0xF0180, 0xF01A0, 0, 0, 0, 0}},
    {0x1F7, {0xF0180, 0xF01A0, 0, 0, 0, 0}},
    {0x209, {0xF0800, 0xF0820, 0xF0850, 0xF0880, 0xF08B0, 0xF08E0}},
    {0x20B, {0xF0800, 0xF0820, 0xF0850, 0xF0880, 0xF08B0, 0xF08E0}},
    {0x247, {0xF0800, 0xF0820, 0xF0850, 0xF0880, 0xF08B0, 0xF08E0}},
    {0x249, {0xF0800, 0xF0820, 0xF0850, 0xF0880, 0xF08B0, 0xF08E0}},
    {0x24B, {0xF0800, 0xF0820, 0xF0850, 0xF0880, 0xF08B0, 0xF08E0}},
};

/* ---- SMBus primary gateway ---- */

struct ctrl_config {
    unsigned start_bit;
    unsigned read_count_shift;
    unsigned address_shift;
    unsigned read_bit;
    unsigned write_count_shift;
    unsigned write_bit;
    uint32_t status_offset;
    unsigned busy_bit;
    unsigned lock_bit;
    uint32_t data_offset;
    uint32_t nack_offset;
    uint32_t distance;
};

const ctrl_config kSmbusLayout = {3, 4, 12, 19, 21, 28, 4, 30, 31, 0x80, 0x108, 0x800};
const ctrl_config kSmbusLayout21E = {2, 3, 11, 18, 20, 27, 4, 30, 31, 0x80, 0x10C, 0x1000};
constexpr uint32_t kNackBit = 1u << 1;
constexpr uint32_t kCrPrimaryOffset = 0x324;
constexpr uint32_t kCrPrimaryBit = 1u << 7;
constexpr uint32_t kGwDisableOffset = 0x310;
constexpr uint32_t kArmSmbusBase = 0x3404200;
constexpr uint16_t kHwId21E = 0x21E;

const uint32_t gpio_pairs[14][2] = {
    {0x8A2100, 0x8A2110}, {0x8A21C0, 0x8A21D0}, {0x8A21E0, 0x8A21F0}, {0x8A2200, 0x8A2210},
    {0x8A2220, 0x8A2230}, {0x8A2240, 0x8A2250}, {0x8A2260, 0x8A2270}, {0x8A2120, 0x8A2130},
    {0x8A2140, 0x8A2150}, {0x8A2160, 0x8A2170}, {0x8A2280, 0x8A2290}, {0x8A2300, 0x8A2310},
    {0x8A2320, 0x8A2330}, {0x8A22C0, 0x8A22D0}};
constexpr uint32_t kGpioBit = 1u << 17;


/* "TQCR_I2C_GW" and "TQCR_I2C_ARM_GW": 0 when unset, the number when it is
 * a non-negative decimal or hexadecimal number, -1 when malformed. */
long env_index(const char* name)
{
    const char* text = getenv(name);
    if (!text) return 0;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 0);
    if (end == text || *end || errno || value < 0) return -1;
    return value;
}

long gw_index_or_warn()
{
    long index = env_index("TQCR_I2C_GW");
    if (index < 0) {
        fprintf(stderr, "-W- Bad format for %s env variable (%s). Expecting a numerical value. Ignoring.\n",
                "TQCR_I2C_GW", getenv("TQCR_I2C_GW"));
        return 0;
    }
    return index;
}

int read_hw_id(mfile* mf, uint32_t* id)
{
    uint32_t word = 0;
    if (mread4(mf, kHwIdAddress, &word) != 4) return -1;
    *id = word & 0xFFFF;
    return 0;
}

int set_bits(mfile* mf, uint32_t address, uint32_t set, uint32_t clear, const char* get_failed,
             const char* set_failed)
{
    uint32_t word = 0;
    if (mread4(mf, address, &word) != 4) {
        DBG_PRINTF("%s", get_failed);
        return -1;
    }
    if (mwrite4(mf, address, (word | set) & ~clear) != 4) {
        DBG_PRINTF("%s", set_failed);
        return -1;
    }
    return 0;
}

const ctrl_config& layout_of(mfile* mf)
{
    uint32_t id = 0;
    if (read_hw_id(mf, &id) == 0 && id == kHwId21E) return kSmbusLayout21E;
    return kSmbusLayout;
}

/* The secondary's register offset as the width code sends it. */
int offset_bytes(mfile* mf, unsigned int offset, uint8_t* out)
{
    return prepare_i2c_buf(out, (int)mf->i2c_addr_mode, offset);
}

/* The function's gateway lock files, looked for on first use. */
struct lock_pair gateway_lock_fd(mfile* mf)
{
    if (!mf->i2c_gw.lock_file_tried) {
        mf->i2c_gw.lock_file_tried = 1;
        create_function_lock_file(mf, LOCK_KIND_I2C, &mf->i2c_gw.lock_fd);
    }
    return mf->i2c_gw.lock_fd;
}

/* Another process's transfer may poll its gateway thousands of times: wait
 * longer than one transfer can take (in time passed, however long the sleeps
 * between attempts turn out) before giving up. */
constexpr unsigned long kGatewayLockWaitUs = 5000000;

int gateway_lock(mfile* mf, int operation)
{
    if (flock_wait(gateway_lock_fd(mf), operation, kGatewayLockWaitUs) == 0) return 0;
    const int err = errno;
    printf("failed to perform lock operation. errno %d\n", err);
    return fail_errno(err);
}

/* ---- I2C primary gateway transactions ---- */

uint32_t secondary_bits(mfile* mf) { return mf->i2c_secondary & 0x7Fu; }

int control(mfile* mf, uint32_t word)
{
    const int gw = get_i2cm_gw_addr(mf);
    if (!gw) return fail_errno(EIO);
    if (mwrite4(mf, (unsigned)gw, word) != 4) return -1;
    return wait_trans(mf);
}

/* One offset phase, data phase and stop; the result of the last phase that
 * ran (7 done, 6 not acknowledged), or -1 when the gateway failed. */
int primary_attempt(mfile* mf, unsigned int offset, uint8_t* bytes, int size, bool write)
{
    uint8_t encoded[4];
    const int len = offset_bytes(mf, offset, encoded);
    int rc = len ? w_trans(mf, encoded, len) : kResultDone;
    if (rc < 0) return -1;
    usleep(8);
    if (rc == kResultDone) rc = write ? w_trans(mf, bytes, size) : r_trans(mf, bytes, size);
    if (rc < 0) return -1;
    if (end_trans(mf) < 0) return -1;
    return rc;
}

int locked_attempt(mfile* mf, unsigned int offset, uint8_t* bytes, int size, bool write)
{
    if (gateway_lock(mf, LOCK_EX)) return -1;
    const int rc = primary_attempt(mf, offset, bytes, size, write);
    const int err = errno;
    gateway_lock(mf, LOCK_UN);
    errno = err;
    return rc;
}

int primary_transfer(mfile* mf, unsigned int offset, uint8_t* bytes, int size, bool write)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int rc = locked_attempt(mf, offset, bytes, size, write);
        if (rc < 0) return -1;
        if (rc == kResultDone) return size;
        if (!write && rc != kResultNack) return fail_errno(EIO);
    }
    return fail_errno(EIO);
}

/* ---- SMBus gateway pieces ---- */

int smbus_gw(mfile* mf)
{
    const int gw = get_smbus_gw_addr(mf);
    return gw == -1 ? fail_errno(EIO) : gw;
}

int gpio_setup(mfile* mf)
{
    uint32_t id = 0;
    if (read_hw_id(mf, &id) != 0 || id != kHwId21E) return 0;
    if (enable_gw(mf)) {
        DBG_PRINTF("Failed to config gpio GW\n");
        return -1;
    }
    return 0;
}

} // namespace

extern "C" {

static int drop_lock_bit(mfile* mf);

/* A lock bit whose clear never left this host is still this handle's: it is
 * cleared before the handle goes, or it would stay set for good. */
void i2c_gw_close(mfile* mf)
{
    if (!mf) return;
    drop_lock_bit(mf);
    if (mf->i2c_gw.lock_file_tried) close_lock_pair(&mf->i2c_gw.lock_fd);
    mf->i2c_gw.lock_file_tried = 0;
}

int get_gw(void)
{
    const long index = env_index("TQCR_I2C_GW");
    return index < 0 || index > 0x7FFFFFFF ? 0 : (int)index;
}

int get_arm_gw(void)
{
    const long value = env_index("TQCR_I2C_ARM_GW");
    return value < 0 || value > 0x7FFFFFFF ? 0 : (int)value;
}

int get_i2cm_gw_addr(mfile* mf)
{
    if (!mf) return 0;
    if (mf->i2c_gw_addr) return mf->i2c_gw_addr;
    uint32_t gw = kRemoteI2cGw;
    /* A user-level handle reaches this host's function through sysfs: local too. */
    if (mf->is_local || mf->ul_ctx) {
        uint32_t id = 0;
        if (read_hw_id(mf, &id) != 0) {
            DBG_PRINTF("Failed to read dev_id\n");
            return 0;
        }
        long index = gw_index_or_warn();
        gw = kDefaultI2cGw;
        for (const i2c_gw_row& row : i2c_gw_db) {
            if (row.hw_id != id) continue;
            if (index > 5 || !row.gw[index]) {
                fprintf(stderr, "-W- Bad %s value (%s) for this device. Ignoring.\n", "TQCR_I2C_GW",
                        getenv("TQCR_I2C_GW"));
                index = 0;
            }
            gw = row.gw[index];
            break;
        }
        uint32_t enable = 0;
        if (mread4(mf, gw + 12, &enable) != 4) {
            DBG_PRINTF("Failed to read primary_en_word\n");
            return 0;
        }
        if (!(enable & kPrimaryEnableBit) && mwrite4(mf, gw + 12, enable | kPrimaryEnableBit) != 4)
            DBG_PRINTF("Failed to write primary_en_word\n");
    }
    mf->i2c_gw_addr = (int)gw;
    return mf->i2c_gw_addr;
}

int wait_trans(mfile* mf)
{
    const int gw = get_i2cm_gw_addr(mf);
    if (!gw) return fail_errno(EIO);
    for (int reads = 0; reads < kPollLimit; ++reads) {
        if (reads >= kPollsBeforeSleep) usleep(100);
        uint32_t word = 0;
        if (mread4(mf, (unsigned)gw, &word) != 4) return -1;
        if (!(word & kCmdMask)) return (int)((word >> 16) & 7);
    }
    return fail_errno(EBUSY);
}

int w_trans(mfile* mf, uint8_t* bytes, int n)
{
    if (!mf || !bytes || n < 1 || n > 4) return fail_errno(EINVAL);
    const int gw = get_i2cm_gw_addr(mf);
    if (!gw) return fail_errno(EIO);
    uint32_t data = 0;
    for (int i = 0; i < n; ++i) data |= (uint32_t)bytes[i] << (24 - 8 * i);
    if (mwrite4(mf, (unsigned)gw + 4, data) != 4) return -1;
    return control(mf, secondary_bits(mf) | kCmdWrite | (uint32_t)(n - 1) << 22);
}

int r_trans(mfile* mf, uint8_t* out, int n)
{
    if (!mf || !out || n < 1 || n > 4) return fail_errno(EINVAL);
    const int rc = control(mf, secondary_bits(mf) | kCmdRead | (uint32_t)(n - 1) << 22);
    if (rc != kResultDone) return rc;
    uint32_t data = 0;
    if (mread4(mf, (unsigned)get_i2cm_gw_addr(mf) + 4, &data) != 4) return -1;
    for (int i = 0; i < n; ++i) out[i] = (uint8_t)(data >> (24 - 8 * i));
    return rc;
}

int end_trans(mfile* mf)
{
    if (!mf) return fail_errno(EINVAL);
    return control(mf, secondary_bits(mf) | kCmdStop);
}

int i2c_primary_write_cr(mfile* mf, uint32_t value, unsigned int offset, int size)
{
    if (!mf || (size != 1 && size != 2 && size != 4)) return fail_errno(EINVAL);
    uint8_t bytes[4];
    for (int i = 0; i < size; ++i) bytes[i] = (uint8_t)(value >> (8 * (size - 1 - i)));
    return primary_transfer(mf, offset, bytes, size, true);
}

int i2c_primary_read_cr(mfile* mf, void* out, unsigned int offset, int size)
{
    if (!mf || !out || (size != 1 && size != 2 && size != 4)) return fail_errno(EINVAL);
    uint8_t bytes[4];
    const int rc = primary_transfer(mf, offset, bytes, size, false);
    if (rc != size) return rc;
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | bytes[i];
    if (size == 1) {
        *(uint8_t*)out = (uint8_t)value;
    } else if (size == 2) {
        const uint16_t v16 = (uint16_t)value;
        memcpy(out, &v16, 2);
    } else {
        memcpy(out, &value, 4);
    }
    return size;
}

int i2c_primary_read(mfile* mf, void* out, unsigned int offset, int size)
{
    if (!mf || !out || size < 1 || size > 4) return fail_errno(EINVAL);
    uint8_t bytes[4];
    const int rc = primary_transfer(mf, offset, bytes, size, false);
    if (rc == size) memcpy(out, bytes, (size_t)size);
    return rc;
}

/* ---- SMBus gateway ---- */

int get_smbus_gw_addr(mfile* mf)
{
    if (!mf) return -1;
    if (mf->i2c_gw.smbus_gw_addr > 0) return mf->i2c_gw.smbus_gw_addr;
    uint32_t id = 0;
    const bool have_id = read_hw_id(mf, &id) == 0;
    long highest = 6;
    if (mf->force_smbus || !have_id)
        highest = 5;
    else if (id == 0x218 || id == 0x21C || id == 0x21E || id == 0x225)
        highest = 13;
    else if (id == 0x212 || id == 0x216 || id == 0x20F)
        highest = 10;
    long index = gw_index_or_warn();
    if (index > highest) {
        fprintf(stderr, "-W- Bad %s value (%d) for this device. Ignoring.\n", "TQCR_I2C_GW", (int)index);
        index = 0;
    }
    if (!have_id) {
        DBG_PRINTF("Failed to get primary address\n");
        return -1;
    }
    uint32_t base;
    if (get_arm_gw())
        base = kArmSmbusBase;
    else if (id == 0x218 || id == 0x21C)
        base = 0xF5200;
    else if (id == 0x225 || id == kHwId21E)
        base = 0x8A5400;
    else
        base = 0xF4200;
    const ctrl_config& c = id == kHwId21E ? kSmbusLayout21E : kSmbusLayout;
    const uint32_t gw = base + c.distance * (uint32_t)index;
    mf->i2c_gw.smbus_gw_addr = (int)gw;

    /* Hand the bus to the gateway; a failed step is reported and the rest
     * is skipped, the gateway is still used. */
    if (set_bits(mf, kBootRecord, 0, kBootRecordBit, "Failed to get bootrecord\n",
                 "Failed to set bootrecord\n") == 0 &&
        set_bits(mf, base + kCrPrimaryOffset, kCrPrimaryBit, 0, "Failed to get cr primary\n",
                 "Failed to set cr primary\n") == 0)
        set_bits(mf, gw + kGwDisableOffset, 0, 1u << 31, "Failed to get gw disable\n",
                 "Failed to set gw disable\n");
    return (int)gw;
}

int clear_nack(mfile* mf)
{
    const int gw = smbus_gw(mf);
    if (gw < 0) return -1;
    const ctrl_config& c = layout_of(mf);
    return set_bits(mf, (unsigned)gw + c.nack_offset, 0, kNackBit, "Failed to read nack\n",
                    "Failed to write nack\n");
}

/* The lock bit lives in the status register. Another user (firmware,
 * another host) may hold it: wait for it, bounded as a transaction's wait,
 * before setting it. The hold is taken only once it is seen clear, right
 * before it is set; a wait made under an outer hold stops for an ending
 * signal. A write of the bit that failed but may have landed counts as set:
 * the bit is then this handle's (and the hold kept) until it is cleared, or
 * firmware and other hosts would wait on it for good. */
static int take_lock_bit(mfile* mf, const ctrl_config& c, int gw)
{
    const unsigned address = (unsigned)gw + c.status_offset;
    const uint32_t bit = 1u << c.lock_bit;
    for (int reads = 0; reads < kPollLimit; ++reads) {
        if (reads >= kPollsBeforeSleep) usleep(100);
        uint32_t word = 0;
        if (mread4(mf, address, &word) != 4) {
            DBG_PRINTF("Failed to read smbus lock\n");
            return -1;
        }
        if (word & bit) {
            if (signal_hold_interrupted()) return fail_errno(EINTR);
            continue;
        }
        signal_hold_take(&mf->i2c_gw.hold);
        const bool written = mwrite4(mf, address, word | bit) == 4;
        if (written || !mf->write_unsent) {
            mf->i2c_gw.smbus_lock_ours = 1;
            mf->i2c_gw.smbus_lock_word = address;
            mf->i2c_gw.smbus_lock_mask = bit;
        } else {
            signal_hold_give(&mf->i2c_gw.hold);
        }
        if (written) return 0;
        DBG_PRINTF("Failed to write smbus lock\n");
        return -1;
    }
    return fail_errno(EBUSY);
}

static int clear_lock_bit(mfile* mf)
{
    return set_bits(mf, mf->i2c_gw.smbus_lock_word, 0, mf->i2c_gw.smbus_lock_mask,
                    "Failed to read smbus lock\n", "Failed to write smbus lock\n");
}

/* Only a lock this handle set is cleared: anyone else's is theirs. Without a
 * ticket, a clear that may have landed is not written again (someone else
 * may have set the bit since). The hold goes with the bit: a bit whose clear
 * never left this host is still ours, and the ending signals stay held until
 * the next transfer or the close clears it. */
static int drop_lock_bit(mfile* mf)
{
    if (!mf->i2c_gw.smbus_lock_ours) return 0;
    const int rc = semaphore_release(mf, clear_lock_bit, nullptr, "SMBus lock bit");
    mf->i2c_gw.smbus_lock_ours = rc == SEMAPHORE_STILL_HELD;
    if (!mf->i2c_gw.smbus_lock_ours) signal_hold_give(&mf->i2c_gw.hold);
    return rc ? -1 : 0;
}

/* Forced SMBus takes the bus's GPIO pins from their functions. The words
 * found are kept in the handle until they are written back, and are only
 * read while it keeps none: words read while the pins are still handed over
 * would make the hand-over permanent. Made under the hold of the lock bit. */
static int hand_pins_over(mfile* mf)
{
    struct i2c_gw_state* g = &mf->i2c_gw;
    if (!g->gpio_saved) {
        if (mread4(mf, kGpioEnable1, &g->gpio_enable1) != 4) {
            DBG_PRINTF("Failed to get GPIO functional enable1\n");
            return -1;
        }
        if (mread4(mf, kGpioEnable0, &g->gpio_enable0) != 4) {
            DBG_PRINTF("Failed to get GPIO functional enable0\n");
            return -1;
        }
        g->gpio_saved = 1;
    }
    if (mwrite4(mf, kGpioEnable1, g->gpio_enable1 | kGpioPinBits) != 4) {
        DBG_PRINTF("Failed to set GPIO functional enable1\n");
        return -1;
    }
    if (mwrite4(mf, kGpioEnable0, g->gpio_enable0 & ~kGpioPinBits) != 4) {
        DBG_PRINTF("Failed to set GPIO functional enable0\n");
        return -1;
    }
    return 0;
}

/* Writes the kept words back and gives the bus back to the boot record. */
static int give_pins_back(mfile* mf)
{
    struct i2c_gw_state* g = &mf->i2c_gw;
    if (!g->gpio_saved) return 0;
    if (mwrite4(mf, kGpioEnable1, g->gpio_enable1) != 4 ||
        mwrite4(mf, kGpioEnable0, g->gpio_enable0) != 4)
        return -1;
    g->gpio_saved = 0;
    return set_bits(mf, kBootRecord, kBootRecordBit, 0, "Failed to get bootrecord\n",
                    "Failed to set bootrecord\n");
}

/* Locking waits for the lock bit and sets it, and a forced-SMBus gateway then
 * gets the pins; a lock that fails after that (or whose write of the bit may
 * have landed) gives them back and clears the bit. The ending signals are
 * held from setting the lock bit until the unlock has finished, never while
 * waiting for it. */
int smbus_lock(mfile* mf, int lock)
{
    const int gw = smbus_gw(mf);
    if (gw < 0) return -1;
    if (lock) {
        /* A bit left set by a clear that never left this host is still ours:
         * waiting for it would wait for ourselves. It is cleared first, and
         * the transfer fails when that is refused again. */
        if (mf->i2c_gw.smbus_lock_ours) {
            drop_lock_bit(mf);
            if (mf->i2c_gw.smbus_lock_ours) return -1;
        }
        if (take_lock_bit(mf, layout_of(mf), gw) != 0) {
            if (!mf->i2c_gw.smbus_lock_ours) return -1;
        } else if (!mf->force_smbus || hand_pins_over(mf) == 0) {
            return 0;
        }
        const int err = errno;
        smbus_lock(mf, 0);
        return fail_errno(err);
    }
    int rc = 0;
    if (mf->force_smbus && give_pins_back(mf)) rc = -1;
    if (drop_lock_bit(mf)) rc = -1;
    return rc;
}

int smbus_wait_trans(mfile* mf)
{
    const int gw = smbus_gw(mf);
    if (gw < 0) return -1;
    const ctrl_config& c = layout_of(mf);
    for (int reads = 0; reads < kPollLimit; ++reads) {
        if (reads >= kPollsBeforeSleep) usleep(100);
        uint32_t status = 0;
        if (mread4(mf, (unsigned)gw + c.status_offset, &status) != 4) return -1;
        if (status & (1u << c.busy_bit)) {
            /* The lock bit is ours: an ending signal stops the wait so the
             * unlock runs and the signal acts. */
            if (signal_hold_interrupted()) return fail_errno(EINTR);
            continue;
        }
        uint32_t nack = 0;
        if (mread4(mf, (unsigned)gw + c.nack_offset, &nack) != 4) return -1;
        return (nack & kNackBit) ? 1 : 0;
    }
    return fail_errno(EBUSY);
}

/* Data words of a transaction: the address byte and up to 8 bytes. */
static int smbus_load_data(mfile* mf, const ctrl_config& c, int gw, const uint8_t* bytes, int n)
{
    uint8_t b[8] = {0};
    memcpy(b, bytes, (size_t)n);
    const uint32_t words[3] = {
        secondary_bits(mf) << 25 | (uint32_t)b[0] << 16 | (uint32_t)b[1] << 8 | b[2],
        (uint32_t)b[3] << 24 | (uint32_t)b[4] << 16 | (uint32_t)b[5] << 8 | b[6],
        (uint32_t)b[7] << 24};
    const int count = n > 7 ? 3 : n > 3 ? 2 : 1;
    for (int i = 0; i < count; ++i)
        if (mwrite4(mf, (unsigned)gw + c.data_offset + 4 * (unsigned)i, words[i]) != 4) return -1;
    return 0;
}

int smbus_w_trans(mfile* mf, uint8_t* bytes, int n)
{
    if (!mf || !bytes || n < 1 || n > 8) return fail_errno(EINVAL);
    const int gw = smbus_gw(mf);
    if (gw < 0) return -1;
    const ctrl_config& c = layout_of(mf);
    if (clear_nack(mf) || smbus_load_data(mf, c, gw, bytes, n)) return -1;
    const uint32_t ctrl = 1u << c.write_bit | 1u << c.busy_bit | secondary_bits(mf) << c.address_shift |
                          1u << c.start_bit | (uint32_t)n << c.write_count_shift;
    if (mwrite4(mf, (unsigned)gw, ctrl) != 4) return -1;
    return smbus_wait_trans(mf);
}

/* The SMBus gateway takes 1 to 4 data bytes: any other size would run past
 * the transaction's 8 bytes and the 4-byte data register. */
int smbus_primary_write(mfile* mf, void* data, unsigned int offset, int size)
{
    if (!mf || !data || size < 1 || size > 4) return fail_errno(EINVAL);
    if (gpio_setup(mf)) return -1;
    uint8_t bytes[8];
    const int len = offset_bytes(mf, offset, bytes);
    const uint8_t* value = (const uint8_t*)data;
    if (getenv("TQCR_SMBUS_TO_BE")) {
        uint32_t host = 0;
        memcpy(&host, value, (size_t)size);
        for (int i = 0; i < size; ++i) bytes[len + i] = (uint8_t)(host >> (8 * (size - 1 - i)));
    } else {
        memcpy(bytes + len, value, (size_t)size);
    }
    if (gateway_lock(mf, LOCK_EX)) return -1;
    int rc = -1;
    if (smbus_lock(mf, 1) == 0) {
        rc = smbus_w_trans(mf, bytes, len + size);
        if (smbus_lock(mf, 0)) rc = -1;
    }
    const int err = errno;
    gateway_lock(mf, LOCK_UN);
    if (rc < 0) return fail_errno(err);
    return rc == 0 ? size : fail_errno(EIO);
}

/* The offset and read transactions under the lock bit: 0 with the data
 * word, 1 not acknowledged, -1. */
static int smbus_read_pair(mfile* mf, const ctrl_config& c, int gw, unsigned int offset, int size,
                           uint32_t* data)
{
    if (gpio_setup(mf)) return -1;
    uint8_t encoded[4];
    const int len = offset_bytes(mf, offset, encoded);
    const uint32_t read_ctrl = 1u << c.read_bit | 1u << c.busy_bit |
                               secondary_bits(mf) << c.address_shift | 1u << c.start_bit |
                               (uint32_t)(size - 1) << c.read_count_shift;
    int rc;
    if (getenv("TQCR_SMBUS_READ_IN_SINGLE_TRANS")) {
        rc = clear_nack(mf) || smbus_load_data(mf, c, gw, encoded, len) ? -1 : 0;
        if (rc == 0)
            rc = mwrite4(mf, (unsigned)gw,
                         read_ctrl | 1u << c.write_bit | (uint32_t)len << c.write_count_shift) == 4
                     ? smbus_wait_trans(mf)
                     : -1;
    } else {
        rc = len ? smbus_w_trans(mf, encoded, len) : 0;
        if (rc == 0) rc = clear_nack(mf) || mwrite4(mf, (unsigned)gw, read_ctrl) != 4 ? -1 : smbus_wait_trans(mf);
    }
    if (rc == 0 && mread4(mf, (unsigned)gw + c.data_offset, data) != 4) rc = -1;
    return rc;
}

int smbus_primary_read(mfile* mf, void* out, unsigned int offset, int size)
{
    if (!mf || !out || size < 1 || size > 4) return fail_errno(EINVAL);
    const int gw = smbus_gw(mf);
    if (gw < 0) return -1;
    const ctrl_config& c = layout_of(mf);
    if (gateway_lock(mf, LOCK_EX)) return -1;
    int rc = -1;
    uint32_t data = 0;
    if (smbus_lock(mf, 1) == 0) {
        rc = smbus_read_pair(mf, c, gw, offset, size, &data);
        if (smbus_lock(mf, 0)) rc = -1;
    }
    const int err = errno;
    gateway_lock(mf, LOCK_UN);
    if (rc < 0) return fail_errno(err);
    if (rc != 0) return fail_errno(EIO);
    uint8_t* bytes = (uint8_t*)out;
    for (int i = 0; i < size; ++i) bytes[i] = (uint8_t)(data >> (24 - 8 * i));
    return size;
}

/* ---- GPIO pins of hardware id 0x21E ---- */

int get_gpio_offset(int index, uint32_t pair[2])
{
    if (index < 0 || index > 13) return -1;
    pair[0] = gpio_pairs[index][0];
    pair[1] = gpio_pairs[index][1];
    return 0;
}

int set_gpio(mfile* mf, uint32_t address)
{
    uint32_t word = 0;
    if (mread4(mf, address, &word) != 4) {
        DBG_PRINTF("Failed to read gpio offset: %x\n", address);
        return -1;
    }
    if (mwrite4(mf, address, word | kGpioBit) != 4) {
        DBG_PRINTF("Failed to set pin for TN8\n");
        return -1;
    }
    return 0;
}

int enable_gw(mfile* mf)
{
    uint32_t id = 0;
    if (!mf || read_hw_id(mf, &id) != 0 || id != kHwId21E) return 0;
    uint32_t pair[2];
    if (get_gpio_offset(get_gw(), pair)) return -1;
    return set_gpio(mf, pair[0]) || set_gpio(mf, pair[1]) ? -1 : 0;
}

/* ---- gearbox multiplexer ---- */

int get_mux_config_val(int kind) { return kind >= 0 && kind <= 3 ? 0x20 + kind : 255; }

int config_gearbox_sw_mux(mfile* mf)
{
    if (!mf || !mf->gearbox_chip) {
        printf("-E- Device is not gearbox. No configuration is needed.\n");
        return -1;
    }
    const uint16_t mux = (uint16_t)(mf->gearbox_chip == 2 ? 16 : get_mux_config_val((int)mf->gearbox_kind));
    const unsigned char saved_secondary = mf->i2c_secondary;
    const uint32_t saved_mode = mf->i2c_addr_mode;
    /* The multiplexer register 0x25DC takes a two-byte offset; the adapters
     * encode the offset by the handle's width, four bytes for a gearbox. */
    mset_i2c_addr_width(mf, 2);
    int rc = -1;
    uint8_t current[2] = {0, 0};
    uint8_t wanted[2] = {(uint8_t)(mux >> 8), (uint8_t)mux};
    if (mread_i2cblock(mf, 0x32, 2, 0x25DC, current, 2) != 2) {
        printf("-E- Count not configure SW Mux for gearbox. Can't read from GW address.\n");
    } else if ((uint16_t)(current[0] << 8 | current[1]) != mux &&
               mwrite_i2cblock(mf, 0x32, 2, 0x25DC, wanted, 2) != 2) {
        printf("-E- Count not configure SW Mux for gearbox. Can't write to GW address.\n");
    } else {
        rc = 0;
    }
    mf->i2c_secondary = saved_secondary;
    mf->i2c_addr_mode = saved_mode;
    if (rc == 0) {
        uint32_t id = 0;
        mread4(mf, kHwIdAddress, &id);
    }
    return rc;
}

} // extern "C"
