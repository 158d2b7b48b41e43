/*
 * reg_delivery.cpp - maccess_reg, the one road of every access register:
 * the size check against the transport's largest register, the route (bare
 * image to a device object or plug-in, MDDT tunnel, or the TLV frame over
 * ICMD or the tools command interface), the second attempt of hardware id
 * 0x21E, and the register status turned into an merror_code.
 */
#include "reg_delivery.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "device_bridge.h"
#include "gearbox.h"
#include "icmd.h"
#include "mtcr_int.h"
#include "plugins.h"
#include "tools_cmdif.h"

namespace {

constexpr uint16_t kHwIdTarnel3 = 0x1F5;
constexpr uint16_t kHwIdTarnel3Pro = 0x1F7;
constexpr uint16_t kHwIdVscRetry = 0x21E;
constexpr uint16_t kHwIdSmartRetimer = 642;
constexpr int kVscSpaceShift = 256;

constexpr uint32_t kMaxGmp = 3520;
constexpr uint32_t kMaxClassA = 204;
constexpr uint32_t kMaxSmp = 44;
constexpr uint32_t kMaxIcmd = 812;
constexpr uint32_t kMaxToolsCmdif = 268;

constexpr uint32_t kIbFlags = DEVFLAG_IB | DEVFLAG_OBL;
constexpr uint32_t kSwitchOsLocalMask = DEVFLAG_SWITCH_OS | DEVFLAG_REMOTE;

constexpr int kOpcodeRegAccess = 0x9001;
constexpr int kOpcodeRegAccessString = 0x9003;
constexpr uint32_t kStringTlvAt = OP_TLV_SIZE;
constexpr uint32_t kRegTlvAtPlain = OP_TLV_SIZE;
constexpr uint32_t kRegTlvAtString = OP_TLV_SIZE + STRING_TLV_SIZE;
constexpr uint32_t kGboxTrailer = 4;

typedef int (*f_cdb_maccess_reg)(mfile* mf, uint16_t reg_id, int method, void* data,
                                 uint32_t reg_size, int* reg_status);

const char* method_name(int method)
{
    return method == MACCESS_REG_METHOD_GET ? "GET"
           : method == MACCESS_REG_METHOD_SET ? "SET"
                                              : "Unknown";
}

uint32_t larger(uint32_t a, uint32_t b) { return a > b ? a : b; }

int is_tarnel3(uint32_t hw_id) { return hw_id == kHwIdTarnel3 || hw_id == kHwIdTarnel3Pro; }

/* Statuses 1 to 112 of the operation TLV; every other status is 268. */
int status_table(int status)
{
    switch (status) {
    case 1: return ME_REG_ACCESS_DEV_BUSY;
    case 2: return ME_REG_ACCESS_VER_NOT_SUPP;
    case 3: return ME_REG_ACCESS_UNKNOWN_TLV;
    case 4: return ME_REG_ACCESS_REG_NOT_SUPP;
    case 5: return ME_REG_ACCESS_CLASS_NOT_SUPP;
    case 6: return ME_REG_ACCESS_METHOD_NOT_SUPP;
    case 7: return ME_REG_ACCESS_BAD_PARAM;
    case 8: return ME_REG_ACCESS_RES_NOT_AVLBL;
    case 9: return ME_REG_ACCESS_MSG_RECPT_ACK;
    case 0x20: return ME_REG_ACCESS_BAD_CONFIG;
    case 0x21: return ME_REG_ACCESS_ERASE_EXCEEDED;
    case 0x22: return ME_REG_ACCESS_CONF_CORRUPT;
    case 0x24: return ME_REG_ACCESS_LEN_TOO_SMALL;
    case 0x70: return ME_REG_ACCESS_INTERNAL_ERROR;
    default: return ME_REG_ACCESS_UNKNOWN_ERR;
    }
}

/* What a handle's route can carry, taken only from a definite answer: the
 * hardware id read back, an interface's own reply, a probe the adapter
 * answered or refused. A read or probe that failed on this host, went
 * unanswered or found the adapter busy decides nothing; the question is
 * asked again at the next access, and the access fails meanwhile with
 * undecided_route_code(). */
enum route_answer { ROUTE_UNDECIDED = -1, ROUTE_NO = 0, ROUTE_YES = 1 };

/* An access whose route could not be decided is no answer of the adapter
 * for its register, so its code is none of the register-access codes
 * (0x100 to 0x1FF) that callers take for the adapter's refusal: in band
 * the capability MAD went unanswered, elsewhere the hardware id could not be
 * read or the tools interface could not be asked. */
int undecided_route_code(const mfile* mf)
{
    return (mf->flags & kIbFlags) ? ME_MAD_SEND_FAILED : ME_CR_ERROR;
}

/* ICMD: every adapter but the two oldest, known once their id was read;
 * never on a switch-OS name. Kept for the handle's life once known. */
route_answer icmd_route(mfile* mf)
{
    if (mf->supports_icmd) return mf->supports_icmd == 1 ? ROUTE_YES : ROUTE_NO;
    route_answer answer = ROUTE_NO;
    if (!(mf->flags & DEVFLAG_SWITCH_OS)) {
        uint32_t hw_id = 0;
        if (read_device_id(mf, &hw_id) != 4) return ROUTE_UNDECIDED;
        answer = is_tarnel3(hw_id) ? ROUTE_NO : ROUTE_YES;
    }
    mf->supports_icmd = answer == ROUTE_YES ? 1 : 2;
    return answer;
}

/* The tools command interface of the two oldest adapters, asked at every
 * access: a status its command answered other than busy refuses it. */
route_answer tools_cmdif_route(mfile* mf)
{
    if (mf->flags & DEVFLAG_SWITCH_OS) return ROUTE_NO;
    uint32_t hw_id = 0;
    if (read_device_id(mf, &hw_id) != 4) return ROUTE_UNDECIDED;
    if (!is_tarnel3(hw_id)) return ROUTE_NO;
    const int rc = tools_cmdif_is_supported(mf);
    if (rc == ME_OK) return ROUTE_YES;
    return rc >= ME_CMDIF_BAD_OP && rc <= ME_CMDIF_UNKN_STATUS ? ROUTE_NO : ROUTE_UNDECIDED;
}

/* The framed route: ICMD, else the tools command interface. */
route_answer framed_route(mfile* mf)
{
    const route_answer icmd = icmd_route(mf);
    return icmd == ROUTE_NO ? tools_cmdif_route(mf) : icmd;
}

/* The largest register image the handle's route carries for the method.
 * *undecided when a question about the route went unanswered: a larger
 * register may yet be carried. In band the device object answers 1, 0 or,
 * for a capability probe not answered, -1; SMP's 44 bytes need no probe. */
uint32_t route_limit(mfile* mf, int method, bool* undecided)
{
    *undecided = false;
    if (mf->flags & kIbFlags) {
        const int gmp = is_gmp_supported(method, mf->device);
        if (gmp == 1) return kMaxGmp;
        const int class_a = gmp < 0 ? gmp : is_class_a_supported(method, mf->device); /* one probe */
        if (class_a == 1) return kMaxClassA;
        *undecided = class_a < 0;
        return kMaxSmp;
    }
    if (mf->flags & DEVFLAG_GPU) return kMaxIcmd;
    if (mf->flags & DEVFLAG_SWITCH_OS) {
        const int device_max = get_register_maximum_size(mf->device);
        return device_max > 0 ? (uint32_t)device_max : 0;
    }
    const route_answer icmd = icmd_route(mf);
    if (icmd == ROUTE_YES) return kMaxIcmd;
    const route_answer tools = icmd == ROUTE_NO ? tools_cmdif_route(mf) : ROUTE_UNDECIDED;
    *undecided = tools == ROUTE_UNDECIDED;
    return tools == ROUTE_YES ? kMaxToolsCmdif : 0;
}

/* route_limit through the handle's cache, which keeps decided sizes only;
 * a method outside the cache's four slots is answered without it. */
uint32_t cached_route_limit(mfile* mf, int method, bool* undecided)
{
    *undecided = false;
    const bool cached = method >= 0 && method < (int)(sizeof(mf->max_reg_size) / sizeof(mf->max_reg_size[0]));
    if (cached && mf->max_reg_size[method]) return mf->max_reg_size[method];
    const uint32_t size = route_limit(mf, method, undecided);
    if (cached && size && !*undecided) mf->max_reg_size[method] = size;
    return size;
}

/* Packs the operation TLV, the optional string TLV and the register TLV
 * with the image; returns the register TLV's position P. */
uint32_t pack_frame(mfile* mf, uint8_t* frame, uint16_t reg_id, int method, const void* data,
                    uint32_t reg_size)
{
    struct OperationTlv op;
    memset(&op, 0, sizeof(op));
    op.Type = TLV_TYPE_OPERATION;
    op.len = OP_TLV_LEN_WORDS;
    op.class_ = OP_TLV_CLASS_REG_ACCESS;
    op.method = (uint8_t)method;
    op.register_id = reg_id;
    OperationTlv_pack(&op, frame);

    uint32_t reg_at = kRegTlvAtPlain;
    if (mf->string_tlv_state.string_tlv_mode == 1) {
        memset(mf->string_tlv_state.string_tlv_text, 0, sizeof(mf->string_tlv_state.string_tlv_text));
        struct string_tlv text;
        init_string_tlv(&text);
        string_tlv_pack(&text, frame + kStringTlvAt);
        reg_at = kRegTlvAtString;
    }
    struct reg_tlv reg;
    init_reg_tlv(&reg, reg_size);
    reg_tlv_pack(&reg, frame + reg_at);
    memcpy(frame + reg_at + REG_TLV_HEADER_LEN, data, reg_size);
    return reg_at;
}

/* Reads the reply back whatever the transport said: the status, the text
 * of a string TLV, the image. Whether the reply names the request's register
 * and method: a reply that does not answers another request. */
bool unpack_frame(mfile* mf, const uint8_t* frame, uint32_t reg_at, void* data,
                  uint32_t reg_size, int* reg_status, uint16_t reg_id, int method)
{
    struct OperationTlv op;
    OperationTlv_unpack(&op, frame);
    if (mf->string_tlv_state.string_tlv_mode == 1) {
        struct string_tlv text;
        string_tlv_unpack(&text, frame + kStringTlvAt);
        if (text.String[0]) {
            memcpy(mf->string_tlv_state.string_tlv_text, text.String, sizeof(text.String));
            DBG_PRINTF("STRING_TLV: %s\n", text.String);
        }
    }
    struct reg_tlv reg;
    reg_tlv_unpack(&reg, frame + reg_at);
    memcpy(data, frame + reg_at + REG_TLV_HEADER_LEN, reg_size);
    *reg_status = op.status;
    return op.register_id == reg_id && op.method == method;
}

/* The framed route: MDDT for a switch gearbox, else the TLV frame. */
int send_framed(mfile* mf, uint16_t reg_id, int method, void* data, uint32_t reg_size,
                uint32_t r_size, uint32_t w_size, int* reg_status)
{
    const route_answer route = framed_route(mf);
    if (route == ROUTE_UNDECIDED) return undecided_route_code(mf);
    if (route == ROUTE_NO) return ME_REG_ACCESS_NOT_SUPPORTED;
    if (check_if_mddt_wrapper_needed(mf, reg_id)) {
        int rc = create_mddt_wrapper_for_prm_payload(mf, reg_id, method, data, reg_size, r_size,
                                                     w_size, reg_status);
        return rc ? rc : *reg_status;
    }
    /* MDDT itself, asked of a gearbox behind a switch, is the switch's
     * register: its mailbox accesses must not be tunnelled in turn. */
    const uint32_t gearbox_kind = mf->gearbox_kind;
    if (gearbox_kind == GEARBOX_KIND_SWITCH) mf->gearbox_kind = 0;
    int rc = mreg_send_raw(mf, reg_id, method, data, reg_size, r_size, w_size, reg_status);
    if (return_by_reg_status(*reg_status) == ME_REG_ACCESS_REG_NOT_SUPP &&
        mf->hw_dev_id == kHwIdVscRetry && mf->address_space < kVscSpaceShift) {
        /* Once more through the VSC variant of the address space; the
         * handle's own space comes back whatever the attempt leaves. */
        const int saved_space = mf->address_space;
        mf->address_space = saved_space + kVscSpaceShift;
        rc = mreg_send_raw(mf, reg_id, method, data, reg_size, r_size, w_size, reg_status);
        DBG_PRINTF("Entered PCI VSC space support flow. Second attempt to run mreg_send_raw with "
                   "VSC address space: %d returned with rc: %d. Restoring address space back to "
                   "CORE's address space\n",
                   saved_space + kVscSpaceShift, rc);
        mf->address_space = saved_space;
    }
    mf->gearbox_kind = gearbox_kind;
    return rc;
}

}  // namespace

int maccess_reg(mfile* mf, uint16_t reg_id, int method, void* data, uint32_t reg_size,
                uint32_t r_size_reg, uint32_t w_size_reg, int* reg_status)
{
    DBG_PRINTF("Sending Access Register:\n");
    DBG_PRINTF("Register ID: 0x%04x\n", reg_id);
    DBG_PRINTF("Register Size: %d bytes\n", (int)reg_size);
    DBG_PRINTF("Method: %s\n", method_name(method));
    if (!mf || !data || !reg_status || reg_size == 0) return ME_BAD_PARAMS;
    bool undecided = false;
    if (reg_size > cached_route_limit(mf, method, &undecided))
        return undecided ? undecided_route_code(mf) : ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT;

    int rc;
    if (mf->access_type == ACCESS_GPU_DRIVER || (mf->flags & kSwitchOsLocalMask) == DEVFLAG_SWITCH_OS ||
        is_smart_retimer(mf)) {
        DBG_PRINTF("Sending Register without Operation TLV\n");
        rc = maccess_reg_send(mf, reg_id, method, data, reg_size, reg_status);
    } else if (mf->flags & kIbFlags) {
        rc = maccess_reg_send(mf, reg_id, method, data, reg_size, reg_status);
    } else {
        rc = send_framed(mf, reg_id, method, data, reg_size, r_size_reg, w_size_reg, reg_status);
    }

    if (rc == 0 && *reg_status == 0) {
        DBG_PRINTF("AccessRegister Sent Successfully!\n");
        return ME_OK;
    }
    DBG_PRINTF("AccessRegister Failed!\n");
    DBG_PRINTF("ICMD Status: 0x%08x\n", (unsigned)rc);
    DBG_PRINTF("EMAD's operation TLV Status: 0x%08x\n", (unsigned)*reg_status);
    if (rc) return rc;
    /* The device layer may already have turned the status into a register
     * access code (the GMP carrier does); only a 7-bit status is mapped. */
    if (*reg_status >= 0x100 && *reg_status <= 0x1FF) return *reg_status;
    return return_by_reg_status(*reg_status);
}

int mreg_send_raw(mfile* mf, uint16_t reg_id, int method, void* data, uint32_t reg_size,
                  uint32_t r_size_reg, uint32_t w_size_reg, int* reg_status)
{
    if (!mf || !data || !reg_status) return ME_BAD_PARAMS;
    uint8_t frame[REG_FRAME_SIZE];
    memset(frame, 0, sizeof(frame));
    uint32_t w_size = w_size_reg;
    uint32_t r_size = r_size_reg;
    uint32_t reg_at = 0;
    const int gearbox = is_gearbox_tqusb_reg(mf);
    if (gearbox) {
        int rc = gearbox_reg_pack(frame, sizeof(frame), reg_id, method, data, reg_size, &w_size,
                                  &r_size);
        if (rc) return rc;
    } else {
        check_string_tlv_supported(mf);
        reg_at = mf->string_tlv_state.string_tlv_mode == 1 ? kRegTlvAtString : kRegTlvAtPlain;
        /* The command, the reply and the image must all fit the frame. */
        const uint32_t payload = larger(reg_size, larger(r_size, w_size));
        if (payload > REG_FRAME_SIZE - reg_at - REG_TLV_HEADER_LEN) return ME_ICMD_SIZE_EXCEEDS_LIMIT;
        pack_frame(mf, frame, reg_id, method, data, reg_size);
        w_size += reg_at + REG_TLV_HEADER_LEN;
        r_size += reg_at + REG_TLV_HEADER_LEN;
    }
    const int opcode = mf->string_tlv_state.string_tlv_mode == 1 ? kOpcodeRegAccessString
                                                                 : kOpcodeRegAccess;

    int rc;
    if (supports_icmd(mf)) {
        rc = icmd_send_command_int(mf, opcode, frame, (int)w_size, (int)r_size, 0);
        if (rc) {
            DBG_PRINTF("-E- 3. Sending access register via ICMD failed with rc = %#x", (unsigned)rc);
            if (mf->icmd.syndrome) DBG_PRINTF(", and syndrome = %#x", mf->icmd.syndrome);
            DBG_PRINTF("\n");
        }
    } else if (supports_tools_cmdif_reg(mf)) {
        rc = tools_cmdif_reg_access(mf, frame, (int)w_size, (int)r_size);
        if (rc) DBG_PRINTF("-E- 4. Access reg mad failed with rc = %#x\n", (unsigned)rc);
    } else {
        rc = ME_NOT_IMPLEMENTED;
        DBG_PRINTF("-E- 5. Access reg mad failed with ME_NOT_IMPLEMENTED\n");
    }

    if (gearbox) {
        gearbox_reg_unpack(frame, data, reg_size, reg_status);
    } else if (!unpack_frame(mf, frame, reg_at, data, reg_size, reg_status, reg_id, method) && !rc) {
        /* The answer to another request (a transport without tags can hand
         * one over late): refused as a reply that does not parse is. */
        DBG_PRINTF("-E- The reply names another register or method\n");
        errno = EBADMSG;
        rc = -1;
    }
    return rc;
}

int mget_max_reg_size(mfile* mf, int method)
{
    if (!mf) return 0;
    bool undecided = false;
    return (int)cached_route_limit(mf, method, &undecided);
}

int return_by_reg_status(int status) { return status_table(status); }

int maccess_reg_send(mfile* mf, uint16_t reg_id, int method, void* data, uint32_t reg_size,
                     int* reg_status)
{
    if (is_smart_retimer(mf)) {
        const char* entry_name = "cdb_maccess_reg";
        DBG_PRINTF("-D- Calling %s\n", entry_name);
        f_cdb_maccess_reg entry = (f_cdb_maccess_reg)plugin_entry(mf, CABLE_SLOT_CDB_MACCESS_REG);
        if (!entry) {
            DBG_PRINTF("-D- %s was not found\n", entry_name);
            errno = ENOTSUP;
            return -1;
        }
        int rc = entry(mf, reg_id, method, data, reg_size, reg_status);
        DBG_PRINTF("-D- %s return: %d\n", entry_name, rc);
        return rc;
    }
    if (method == MACCESS_REG_METHOD_SET)
        return reg_access_send((uint32_t*)data, reg_size, reg_id, reg_status, mf->device);
    return reg_access_get((uint32_t*)data, reg_size, reg_id, reg_status, mf->device);
}

int supports_icmd(mfile* mf) { return mf && icmd_route(mf) == ROUTE_YES; }

int supports_tools_cmdif_reg(mfile* mf) { return mf && tools_cmdif_route(mf) == ROUTE_YES; }

int supports_reg_access_gmp(mfile* mf, int method)
{
    return mf && (mf->flags & kIbFlags) && is_gmp_supported(method, mf->device) == 1;
}

int supports_reg_access_cls_a(mfile* mf, int method)
{
    return mf && (mf->flags & kIbFlags) && is_class_a_supported(method, mf->device) == 1;
}

int is_smart_retimer(mfile* mf)
{
    return mf && mf->access_type == ACCESS_CABLON_CHIP && mf->hw_dev_id == kHwIdSmartRetimer;
}

void use_string_tlv(mfile* mf, int on)
{
    if (mf) mf->string_tlv_state.string_tlv_mode = on ? 1 : -1;
}

void get_string_tlv(mfile* mf, char* out)
{
    if (mf && out)
        memcpy(out, mf->string_tlv_state.string_tlv_text, sizeof(mf->string_tlv_state.string_tlv_text));
}

int string_tlv_icmd_supported(void)
{
    const char* text = getenv("USE_TLV_STRING_REG_ACCESS");
    return text && strtol(text, nullptr, 0) != 0;
}

int check_string_tlv_supported(mfile* mf)
{
    if (!mf) return 0;
    if (mf->string_tlv_state.string_tlv_mode == 0) {
        if (string_tlv_icmd_supported()) {
            DBG_PRINTF("STRING TLV ICMD is supported\n");
            mf->string_tlv_state.string_tlv_mode = 1;
        } else {
            DBG_PRINTF("STRING TLV ICMD not supported\n");
            mf->string_tlv_state.string_tlv_mode = -1;
        }
    }
    return mf->string_tlv_state.string_tlv_mode;
}

int is_gearbox_tqusb_reg(mfile* mf)
{
    return mf && mf->gearbox_line && mf->gearbox_kind == GEARBOX_KIND_USB;
}

int gearbox_reg_pack(uint8_t* frame, uint32_t frame_len, uint16_t reg_id, int method,
                     const void* data, uint32_t reg_size, uint32_t* w_size, uint32_t* r_size)
{
    const uint32_t payload = larger(reg_size, larger(*w_size, *r_size));
    if (frame_len < kGboxTrailer || payload > frame_len - kGboxTrailer)
        return ME_ICMD_SIZE_EXCEEDS_LIMIT;
    memcpy(frame, data, reg_size);
    uint8_t* trailer = frame + reg_size;
    trailer[0] = (uint8_t)(reg_id >> 8);
    trailer[1] = (uint8_t)reg_id;
    trailer[2] = (uint8_t)(method & 3);
    trailer[3] = 0;
    *w_size += kGboxTrailer;
    *r_size += kGboxTrailer;
    return ME_OK;
}

int gearbox_reg_unpack(const uint8_t* frame, void* data, uint32_t reg_size, int* reg_status)
{
    uint32_t status = 0;
    memcpy(&status, frame, sizeof(status));
    *reg_status = (int)status;
    memcpy(data, frame + kGboxTrailer, reg_size);
    return ME_OK;
}

void debug_dump_tlvs(const struct OperationTlv* op, const struct reg_tlv* reg,
                     const struct string_tlv* str)
{
    printf("\tOperation Tlv\n");
    OperationTlv_dump(op, stdout);
    printf("\tReg Tlv\n");
    reg_tlv_dump(reg, stdout);
    printf("\tString Tlv\n");
    string_tlv_dump(str, stdout);
}
