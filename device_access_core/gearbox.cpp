/*
 * gearbox.cpp - gearbox devices and the MDDT tunnel.
 *
 * The name tells how a gearbox is reached: "tqusb" a USB-to-I2C adapter,
 * "i2c" Linux I2C, "switch_<switch device>_gbox..." a switch, whose node the
 * name is rewritten to. Behind a switch the handle keeps the switch's
 * transport, and gearbox_kind 3 sends the gearbox's registers, commands and
 * CR dwords through MDDT; while one tunnelled access runs, the kind is 0, so
 * that the MDDT register itself and the switch's own mailbox accesses go to
 * the switch.
 */
#include "gearbox.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mtcr_int.h"

static_assert(sizeof(struct mddt_record) == 268, "the MDDT record is 8 header and 260 payload bytes");
static_assert(offsetof(struct mddt_record, payload) == 8, "the payload starts at byte 8");

namespace {

const char kQdxPrefix[] = "/dev/qdx/";
const char kSwitchToken[] = "switch_";
const char kGboxToken[] = "_gbox";
const char kMngrSuffix[] = "mngr";
const uint8_t kManagerSecondary = 0x33;
const uint8_t kDeviceSecondary = 0x48;

int fail(int err)
{
    errno = err;
    return 1;
}

int mddt_debug(void) { return getenv("MDDT_DEBUG") != nullptr; }

void debug_words(const char* what, const uint32_t* words, uint32_t count)
{
    if (!mddt_debug()) return;
    printf("%s", what);
    for (uint32_t i = 0; i < count; ++i) printf("%08x ", words[i]);
    printf("\n");
}

/* Whole dwords covering `bytes`. */
uint32_t dwords_of(uint32_t bytes) { return (bytes + 3) / 4; }

/* The switch's node of a local "switch_<device>_gbox..." name: 0, or 1 with
 * errno EINVAL when nothing lies between "switch_" and "_gbox". */
int switch_node(const char* sw, const char* gbox, char* out, size_t out_sz)
{
    const char* from = sw + strlen(kSwitchToken);
    if (from >= gbox) return fail(EINVAL);
    int n = snprintf(out, out_sz, "%s%.*s", kQdxPrefix, (int)(gbox - from), from);
    return n < 0 || (size_t)n >= out_sz ? fail(ENAMETOOLONG) : 0;
}

/* The gearbox kind restored after a tunnelled access: a switch gearbox's
 * kind is 0 while check_if_mddt_wrapper_needed has cleared it. */
uint32_t kind_after(const mfile* mf)
{
    return mf->gearbox.switch_name[0] ? (uint32_t)GEARBOX_KIND_SWITCH : mf->gearbox_kind;
}

/* Runs one record through the plug-in with the gearbox kind 0 and restores
 * it on the way out. */
int run_tunnel(mfile* mf, int method, struct mddt_record* record)
{
    const uint32_t kind = kind_after(mf);
    f_reg_access_mddt mddt = create_mddt_handler(mf);
    if (!mddt) {
        printf("Mddt Handler not found!\n");
        mf->gearbox_kind = kind;
        return ME_ERROR;
    }
    mf->gearbox_kind = 0;
    int rc = mddt(mf, (uint32_t)method, record);
    mf->gearbox_kind = kind;
    return rc;
}

f_reg_access_mddt mddt_handler = nullptr;

} // namespace

/* ---- names and open ---- */

void update_gearbox_mFile(mfile* mf, int gearbox, int manager)
{
    if (!mf) return;
    if (manager) mf->i2c_secondary = kManagerSecondary;
    else if (gearbox) mf->i2c_secondary = kDeviceSecondary;
    mf->i2c_addr_mode = I2C_ADDR_MODE_FOUR_BYTES;
}

int mopen_gearbox(char* name, size_t name_sz, mfile* mf)
{
    if (!name || !mf || !name_sz) return 0;
    mf->gearbox_chip = 0;
    mf->gearbox_line = 0;
    mf->gearbox_mngr = 0;
    mf->gearbox_kind = 0;
    mf->gearbox.index = -1;
    mf->gearbox.lane = -1;
    mf->gearbox.mngr_name[0] = mf->gearbox.dev_name[0] = mf->gearbox.switch_name[0] = '\0';
    const size_t len = strnlen(name, name_sz - 1);
    name[len] = '\0';
    const char* gbox = strstr(name, kGboxToken);
    if (!gbox) return 0;

    mf->gearbox_chip = strstr(name, "tovin") ? 2 : 1;
    mf->access_type = ACCESS_GEARBOX;
    const char* ln = strstr(name, "_ln");
    mf->gearbox.lane = ln && isdigit((unsigned char)ln[3]) ? ln[3] - '0' : 0;

    struct gearbox_area& gb = mf->gearbox;
    if (len >= sizeof(gb.dev_name)) return fail(ENAMETOOLONG);
    if (strstr(name, "_mngr")) {
        mf->gearbox_mngr = 1;
        memcpy(gb.mngr_name, name, len + 1);
    } else {
        /* The manager's name: the last character replaced by "mngr". */
        if (len - 1 + strlen(kMngrSuffix) >= sizeof(gb.mngr_name)) return fail(ENAMETOOLONG);
        mf->gearbox_line = 1;
        memcpy(gb.dev_name, name, len + 1);
        const char last = name[len - 1];
        gb.index = isdigit((unsigned char)last) ? last - '0' : -1;
        memcpy(gb.mngr_name, name, len - 1);
        memcpy(gb.mngr_name + len - 1, kMngrSuffix, sizeof(kMngrSuffix));
    }

    const char* sw = strstr(name, "switch");
    if (strstr(name, "tqusb")) mf->gearbox_kind = GEARBOX_KIND_USB;
    else if (strstr(name, "i2c")) mf->gearbox_kind = GEARBOX_KIND_I2C;
    else if (sw && sw < gbox) mf->gearbox_kind = GEARBOX_KIND_SWITCH;

    if (mf->gearbox_kind == GEARBOX_KIND_SWITCH) {
        char node[DEV_NAME_SZ];
        const int local = !strchr(name, ':');
        if (local && switch_node(sw, gbox, node, sizeof(node))) return 1;
        if (!reg_access_lib_load(mf)) return 1;
        memcpy(gb.switch_name, name, len + 1);
        if (local) {
            /* Always shorter than the name: "switch_" and "_gbox" give way to "/dev/qdx/". */
            snprintf(name, len + 1, "%s", node);
            snprintf(mf->dev_name, sizeof(mf->dev_name), "%s", node);
        }
    }
    update_gearbox_mFile(mf, mf->gearbox_line, mf->gearbox_mngr);
    return 0;
}

/* ---- the tunnel ---- */

f_reg_access_mddt create_mddt_handler(mfile* mf)
{
    if (mddt_handler) return mddt_handler;
    if (!mf || !reg_access_lib_load(mf)) return nullptr;
    mddt_handler = (f_reg_access_mddt)plugin_entry(mf, REG_ACCESS_SLOT_MDDT);
    return mddt_handler;
}

void fill_mddt_wrapper(mfile* mf, struct mddt_record* record, uint8_t read_dwords,
                       uint8_t write_dwords, uint8_t type)
{
    record->device_index = (uint8_t)mf->gearbox.index;
    record->lane = (uint8_t)mf->gearbox.lane;
    record->type = type;
    record->write_size = write_dwords;
    record->read_size = read_dwords;
}

int translate_inner_status(int status)
{
    switch (status) {
    case 0:
        return ME_OK;
    case 1:
        return ME_REG_ACCESS_DEV_BUSY;
    case 4:
        return ME_REG_ACCESS_NOT_SUPPORTED;
    case 7:
        return ME_REG_ACCESS_BAD_PARAM;
    case 112:
        return ME_REG_ACCESS_INTERNAL_ERROR;
    default:
        return ME_REG_ACCESS_UNKNOWN_ERR;
    }
}

int check_if_mddt_wrapper_needed(mfile* mf, uint16_t reg_id)
{
    if (!mf || mf->gearbox_kind != GEARBOX_KIND_SWITCH || reg_id == MDDT_REG_ID) return 0;
    mf->gearbox_kind = 0;
    return 1;
}

int create_mddt_wrapper_for_prm_payload(mfile* mf, uint16_t reg_id, int method, void* data,
                                        uint32_t size, uint32_t r_size, uint32_t w_size,
                                        int* status)
{
    if (mddt_debug()) printf("-I- MDDT: starting command - 0x%08x\n", reg_id);
    if (!mf) return ME_UNSUPPORTED_DEVICE;
    const uint32_t kind = kind_after(mf);
    mf->gearbox_kind = kind;
    if (size > MDDT_DATA_MAX || r_size > MDDT_DATA_MAX || w_size > MDDT_DATA_MAX)
        return ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT;
    if ((size && !data) || !status) return ME_BAD_PARAMS;

    struct mddt_record record;
    memset(&record, 0, sizeof(record));
    fill_mddt_wrapper(mf, &record, (uint8_t)dwords_of(r_size), (uint8_t)dwords_of(w_size),
                      MDDT_TYPE_PRM_REGISTER);
    record.payload.prm.register_id = reg_id;
    record.payload.prm.method = (uint8_t)(method - 1);
    /* The image's bytes as the words the plug-in packs big-endian again. */
    uint8_t* image = (uint8_t*)record.payload.prm.data;
    if (size) memcpy(image, data, size);
    swap_byte_stream(image, (int)(dwords_of(size) * 4));

    int rc = run_tunnel(mf, method, &record);
    swap_byte_stream(image, (int)(dwords_of(size) * 4));
    if (size) memcpy(data, image, size);
    *status = translate_inner_status(record.payload.prm.status);
    return rc;
}

int create_mddt_wrapper_for_cmd_payload(mfile* mf, int method, void* in, void* out,
                                        uint32_t w_size, uint32_t r_size)
{
    if (!mf) return ME_UNSUPPORTED_DEVICE;
    if ((w_size > r_size ? w_size : r_size) > MDDT_COMMAND_MAX) return ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT;
    if ((w_size && !in) || (r_size && !out)) return ME_BAD_PARAMS;

    struct mddt_record record;
    memset(&record, 0, sizeof(record));
    fill_mddt_wrapper(mf, &record, (uint8_t)dwords_of(r_size), (uint8_t)dwords_of(w_size),
                      MDDT_TYPE_COMMAND);
    uint32_t* words = record.payload.command.data;
    uint8_t* bytes = (uint8_t*)words;
    if (w_size) memcpy(bytes, in, w_size);
    swap_byte_stream(bytes, (int)(dwords_of(w_size) * 4));
    debug_words("-I- MDDT: send -- ", words, dwords_of(w_size));

    int rc = run_tunnel(mf, method, &record);
    if (mddt_debug()) printf("MDDT return with RC = %d\n", rc);
    debug_words("-I- MDDT: recived data -- ", words, dwords_of(r_size));
    swap_byte_stream(bytes, (int)(dwords_of(r_size) * 4));
    if (r_size) memcpy(out, bytes, r_size);
    memset(&record, 0, sizeof(record));
    return rc;
}

int gearbox_mddt_crspace_access(mfile* mf, int method, uint32_t* data, unsigned int offset,
                                uint32_t size)
{
    if (!mf) return ME_UNSUPPORTED_DEVICE;
    if (size > MDDT_DATA_MAX) {
        printf("-E- read/write failure - buffer size larger then limit.\n");
        return ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT;
    }
    if ((size && !data) || (method != MACCESS_REG_METHOD_GET && method != MACCESS_REG_METHOD_SET))
        return ME_BAD_PARAMS;

    const int read = method == MACCESS_REG_METHOD_GET;
    const uint8_t dwords = (uint8_t)dwords_of(size);
    struct mddt_record record;
    memset(&record, 0, sizeof(record));
    fill_mddt_wrapper(mf, &record, read ? dwords : 0, read ? 0 : dwords, MDDT_TYPE_CRSPACE);
    record.payload.crspace.address = offset;
    if (read) {
        if (size) memset(data, 0, size);
    } else if (size) {
        memcpy(record.payload.crspace.data, data, size);
    }
    int rc = run_tunnel(mf, method, &record);
    if (read && rc == ME_OK && size) memcpy(data, record.payload.crspace.data, size);
    return rc;
}

int gearbox_prm_reg_access_cmd(uint8_t* record, uint16_t reg_id, int method, const void* data,
                               uint32_t size, uint8_t status)
{
    if (!record || (size && !data)) return ME_BAD_PARAMS;
    if (size > GEARBOX_PRM_CMD_DATA_MAX) return ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT;
    memset(record, 0, GEARBOX_PRM_CMD_SIZE);
    if (size) memcpy(record, data, size);
    record[252] = (uint8_t)method;
    memcpy(record + 254, &reg_id, sizeof(reg_id));
    record[256] = status;
    record[258] = 0xFF;
    record[260] = 1;
    return ME_OK;
}
