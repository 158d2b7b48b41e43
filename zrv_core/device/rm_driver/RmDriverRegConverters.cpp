/*
 * RmDriverRegConverters.cpp - the registers a GPU-class device carries as
 * controls of their own: one table row per register, with the fields of its
 * layout record that the control's parameter record takes.
 *
 * Every register goes the same way: its image is unpacked into its layout
 * record, the named fields are copied into the parameter record from byte 497
 * (each narrowed to its width there, in host byte order), the control is
 * issued on the subdevice, and the first bytes of the data area, the
 * register's image as the driver left it, replace the caller's image whatever
 * the status. The resource dump (MORD) alone answers in a layout of its own,
 * converted back by ResourceDumpReply.
 */
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <sstream>
#include <type_traits>
#include <utility>
#include <vector>

#include "Logger.h"
#include "RmDriverDevice.h"
#include "RmDriverRegisters.h"
#include "ZrvGeneralException.h"
#include "reg_access_gpu_int_layouts.h"
#include "reg_access_gpu_layouts.h"
#include "reg_access_hca_layouts.h"
#include "rm_api.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/rm_driver/RmDriverRegConverters";

static Logger* Log(const char* function, int line)
{
    return Logger::GetInstance(LogLocation(oSource, function, line), "ZRV_PRINT_LOG");
}

namespace {

constexpr sGpuParamField Scalar(uint16_t at, uint8_t bytes, size_t from, size_t from_bytes, const char* name)
{
    return {at, bytes, 1, 0, from, static_cast<uint8_t>(from_bytes), 0, name, true};
}

/* `count` of the record's `have` elements; more is a fault of the table. */
constexpr uint16_t Elements(size_t have, uint16_t count)
{
    return count <= have ? count : throw "the record holds fewer elements than the row copies";
}

constexpr sGpuParamField Array(uint16_t at, uint8_t bytes, uint16_t count, uint16_t at_stride, size_t from,
                               size_t from_bytes, size_t from_stride, const char* name)
{
    return {at, bytes, count, at_stride, from, static_cast<uint8_t>(from_bytes), from_stride, name, false};
}

template <size_t N>
constexpr const sGpuParamField* FieldsOf(const sGpuParamField (&fields)[N])
{
    return fields;
}
constexpr const sGpuParamField* FieldsOf(std::nullptr_t) { return nullptr; }
template <size_t N>
constexpr size_t CountOf(const sGpuParamField (&)[N])
{
    return N;
}
constexpr size_t CountOf(std::nullptr_t) { return 0; }

#define MEMBER(f) std::declval<Rec&>().f
/* A field of `bytes` bytes at `at`, from the record's field of the same name. */
#define SCALAR(at, bytes, f) Scalar(at, bytes, offsetof(Rec, f), sizeof(MEMBER(f)), #f)
#define U8(at, f) SCALAR(at, 1, f)
#define U16(at, f) SCALAR(at, 2, f)
#define U32(at, f) SCALAR(at, 4, f)
#define U64(at, f) SCALAR(at, 8, f)
/* The record array's first `n` elements, `bytes` each from `at` on. */
#define ARRAY(at, bytes, f, n)                                                                   \
    Array(at, bytes, Elements(sizeof(MEMBER(f)) / sizeof(MEMBER(f)[0]), n), bytes, offsetof(Rec, f), \
          sizeof(MEMBER(f)[0]), sizeof(MEMBER(f)[0]), #f)
#define ARRAY8(at, f, n) ARRAY(at, 1, f, n)
#define ARRAY32(at, f, n) ARRAY(at, 4, f, n)
/* Member `m` of the record array's first `n` entries, one per `stride` bytes from `at` on. */
#define ENTRIES(at, stride, f, m, bytes, n)                                                       \
    Array(at, bytes, Elements(sizeof(MEMBER(f)) / sizeof(MEMBER(f)[0]), n), stride,                \
          offsetof(Rec, f) + offsetof(std::remove_reference_t<decltype(MEMBER(f)[0])>, m),         \
          sizeof(MEMBER(f)[0].m), sizeof(MEMBER(f)[0]), #f "." #m)

/* The layout record of a register and the fields its control takes. */
#define GPU_LAYOUT(REG, RECORD)                                                                  \
    namespace REG {                                                                              \
    using Rec = RECORD;                                                                          \
    void Unpack(void* record, const uint8_t* image) { RECORD##_unpack(static_cast<Rec*>(record), image); } \
    unsigned int Size() { return RECORD##_size(); }                                              \
    }
#define GPU_FIELDS(REG, RECORD, ...) \
    GPU_LAYOUT(REG, RECORD)          \
    namespace REG {                  \
    constexpr sGpuParamField fields[] = {__VA_ARGS__}; \
    }
#define GPU_NO_FIELDS(REG, RECORD) \
    GPU_LAYOUT(REG, RECORD)        \
    namespace REG {                \
    constexpr std::nullptr_t fields = nullptr; \
    }

GPU_FIELDS(PMLP, reg_access_gpu_int_pmlp_reg,
            U8(497, width), U8(498, plane_ind), U8(499, lp_msb), U8(500, local_port),
            U8(501, m_lane_m), U8(502, rxtx))
GPU_FIELDS(PMTU, reg_access_gpu_int_pmtu_reg,
            U8(497, itre), U8(498, i_e), U8(499, lp_msb), U8(500, local_port), U8(501, protocol),
            U16(502, admin_mtu))
GPU_FIELDS(PTYS, reg_access_gpu_int_ptys_reg,
            U8(497, proto_mask), U8(498, transmit_allowed), U8(499, plane_ind), U8(500, port_type),
            U8(501, lp_msb), U8(502, local_port), U8(503, tx_ready_e), U8(504, ee_tx_ready),
            U8(505, an_disable_admin), U32(508, ext_eth_proto_admin), U32(512, eth_proto_admin),
            U16(516, ib_proto_admin), U16(518, ib_link_width_admin), U8(520, xdr_2x_slow_admin),
            U8(521, force_lt_frames_admin))
GPU_FIELDS(PAOS, reg_access_gpu_paos_reg_ext,
            U8(497, plane_ind), U8(498, admin_status), U8(499, lp_msb), U8(500, local_port),
            U8(501, swid), U8(502, e), U8(503, fd), U8(504, ps_e), U8(505, ls_e), U8(506, ee_ps),
            U8(507, ee_ls), U8(508, ee), U8(509, ase))
GPU_FIELDS(PPCNT, reg_access_gpu_ppcnt_reg_ext,
            U8(497, grp), U8(498, port_type), U8(499, lp_msb), U8(500, pnat), U8(501, local_port),
            U8(502, swid), U8(503, prio_tc), U8(504, grp_profile), U8(505, plane_ind),
            U8(506, counters_cap), U8(507, lp_gl), U8(508, clr))
GPU_FIELDS(PLIB, reg_access_gpu_plib_reg_ext,
            U16(498, ib_port), U8(500, lp_msb), U8(501, local_port), U8(502, split_num))
GPU_FIELDS(PMAOS, reg_access_gpu_pmaos_reg_ext,
            U8(497, admin_status), U8(498, module), U8(499, slot_index), U8(500, rst), U8(501, e),
            U8(502, ee), U8(503, ase))
GPU_FIELDS(PPLR, reg_access_gpu_int_pplr_reg,
            U8(497, plane_ind), U8(498, port_type), U8(499, op_mod), U8(500, apply_im),
            U8(501, lp_msb), U8(502, local_port), U16(504, lb_en))
GPU_FIELDS(PPLM, reg_access_gpu_int_pplm_reg,
            U8(497, test_mode), U8(498, plane_ind), U8(499, port_type), U8(500, lp_msb),
            U8(501, pnat), U8(502, local_port), U8(503, fec_override_admin_10g_40g),
            U8(504, fec_override_admin_25g), U8(505, fec_override_admin_50g),
            U8(506, fec_override_admin_100g), U8(507, fec_override_admin_56g),
            U8(508, rs_fec_correction_bypass_admin), U16(510, fec_override_admin_200g_4x),
            U16(512, fec_override_admin_400g_8x), U16(514, fec_override_admin_50g_1x),
            U16(516, fec_override_admin_100g_2x), U16(518, fec_override_admin_400g_4x),
            U16(520, fec_override_admin_800g_8x), U16(522, fec_override_admin_100g_1x),
            U16(524, fec_override_admin_200g_2x))
GPU_FIELDS(SLRP, reg_access_gpu_int_slrp_reg,
            U8(497, port_type), U8(498, lane), U8(499, lp_msb), U8(500, pnat), U8(501, local_port))
GPU_FIELDS(SLTP, reg_access_gpu_sltp_reg_ext,
            U8(497, c_db), U8(498, port_type), U8(499, lane_speed), U8(500, lane),
            U8(501, tx_policy), U8(502, pnat), U8(503, local_port), U8(504, lp_msb))
GPU_FIELDS(SLRG, reg_access_gpu_int_slrg_reg,
            U8(497, port_type), U8(498, lane), U8(499, lp_msb), U8(500, pnat), U8(501, local_port))
GPU_FIELDS(SLSIR, reg_access_gpu_int_slsir_reg,
            U8(497, port_type), U8(498, lane), U8(499, lp_msb), U8(500, pnat), U8(501, local_port))
GPU_FIELDS(PPLL, reg_access_gpu_int_ppll_reg,
            U8(497, pll_group))
GPU_FIELDS(PDDR, reg_access_gpu_pddr_reg_ext,
            U8(497, port_type), U8(498, plane_ind), U8(499, lp_msb), U8(500, pnat),
            U8(501, local_port), U8(502, page_select), U8(503, module_info_ext))
GPU_FIELDS(PPTT, reg_access_gpu_pptt_reg_ext,
            U8(497, le), U8(498, port_type), U8(499, lane), U8(500, lp_msb), U8(501, pnat),
            U8(502, local_port), U8(503, sw), U8(504, dm_ig), U8(505, p), U8(506, e),
            U8(507, modulation), U8(508, prbs_mode_admin), U8(509, prbs_fec_admin),
            U16(510, lane_rate_admin))
GPU_FIELDS(PPRT, reg_access_gpu_pprt_reg_ext,
            U8(497, le), U8(498, port_type), U8(499, lane), U8(500, lp_msb), U8(501, pnat),
            U8(502, local_port), U8(503, sw), U8(504, dm_ig), U8(505, p), U8(507, s), U8(508, e),
            U8(509, modulation), U8(510, prbs_mode_admin), U16(512, lane_rate_oper))
GPU_FIELDS(PMDR, reg_access_gpu_int_pmdr_reg,
            U8(497, lp_msb), U8(498, plane_ind), U8(499, pnat), U8(500, local_port),
            U8(501, pll_index_rx))
GPU_FIELDS(PPHCR, reg_access_gpu_pphcr_ext,
            U8(497, plane_ind), U8(498, port_type), U8(499, lp_msb), U8(500, pnat),
            U8(501, local_port), U8(502, hist_type))
GPU_FIELDS(PPAOS, reg_access_gpu_ppaos_reg_ext,
            U8(497, port_type), U8(498, phy_test_mode_admin), U8(499, lp_msb), U8(500, local_port),
            U8(501, swid), U8(502, plane_ind), U8(503, phy_status_admin))
GPU_FIELDS(SLREG, reg_access_gpu_int_slreg_reg,
            U8(497, eidx), U8(498, port_type), U8(499, lane), U8(500, lp_msb), U8(501, pnat),
            U8(502, local_port))
GPU_FIELDS(PLTC, reg_access_gpu_int_pltc_reg,
            U8(497, lane_mask), U8(498, lp_msb), U8(499, pnat), U8(500, local_port),
            U8(501, local_tx_precoding_admin), U8(502, local_rx_precoding_admin))
GPU_FIELDS(SLRIP, reg_access_gpu_int_slrip_reg,
            U8(497, port_type), U8(498, lane), U8(499, lp_msb), U8(500, pnat), U8(501, local_port))
GPU_FIELDS(PGUID, reg_access_gpu_pguid_reg_ext,
            U8(498, lp_msb), U8(499, pnat), U8(500, local_port))
GPU_FIELDS(PUCG, reg_access_gpu_int_pucg_reg,
            U8(497, port_type), U8(498, lane), U8(499, lp_msb), U8(500, pnat), U8(501, local_port),
            U8(502, unit), U16(504, address), U8(506, payload_size), ARRAY32(508, rxtx_mask, 4))
GPU_FIELDS(PEUCG, reg_access_gpu_int_peucg_reg,
            U8(497, port_type), U8(498, lane), U8(499, lp_msb), U8(500, pnat), U8(501, local_port),
            U8(502, unit), U8(503, enum_init), U8(504, clr), U8(505, db), U8(506, payload_size),
            ENTRIES(508, 6, page_data, address, 2, 47), ENTRIES(510, 6, page_data, rxtx, 1, 47),
            ENTRIES(512, 6, page_data, payload_data, 2, 47))
GPU_FIELDS(PPSLC, reg_access_gpu_int_ppslc,
            U8(497, lp_msb), U8(498, local_port), U8(499, l1_req_en), U8(500, l1_fw_req_en),
            U8(501, l1_cap_adv), U8(502, l1_fw_cap_adv), U32(504, hp_queues_bitmap),
            U16(508, l1_hw_active_time), U16(510, l1_hw_inactive_time), ARRAY8(512, qem, 8))
GPU_FIELDS(PPSLS, reg_access_gpu_ppsls_ext,
            U8(497, lp_msb), U8(498, local_port))
GPU_FIELDS(UNWKM, reg_access_gpu_int_unwkm,
            U8(497, local_port), U8(498, lpv), U32(500, errors), ARRAY32(504, ktu_msg, 32))
GPU_FIELDS(UNRSA, reg_access_gpu_int_unrsa,
            U8(497, pipe_index), U8(498, dir), U8(499, local_port), U16(500, entry_index))
GPU_FIELDS(UNRC, reg_access_gpu_int_unrc,
            U8(497, pipe_index), U8(498, local_port), U8(499, clear))
GPU_FIELDS(UNDRI, reg_access_gpu_int_undri,
            U8(497, pipe_index), U8(498, dir), U8(499, local_port), U8(500, clear))
GPU_FIELDS(UNDFD, reg_access_gpu_int_undfd,
            U8(497, pipe_index), U8(498, local_port), U8(499, dfd_en))
GPU_FIELDS(GHPKT, reg_access_gpu_int_ghpkt,
            U16(498, trap_id), U8(500, action))
GPU_FIELDS(MTCAP, reg_access_gpu_mtcap_ext,
            U8(497, slot_index))
GPU_FIELDS(MTMP, reg_access_gpu_mtmp_ext,
            U16(498, sensor_index), U8(500, slot_index), U8(501, sdme), U8(502, weme), U8(503, mtr),
            U8(504, mte), U16(506, temperature_threshold_hi), U8(508, sdee), U8(509, tee),
            U16(510, temperature_threshold_lo))
GPU_NO_FIELDS(MTWE, reg_access_gpu_mtwe_ext)
GPU_FIELDS(MCIA, reg_access_gpu_int_mcia,
            U8(497, slot_index), U8(498, module), U8(499, pnv), U8(500, l),
            U16(502, device_address), U8(504, page_number), U8(505, i2c_device_address),
            U16(506, size), U8(508, bank_number), U8(509, passwd_length), U32(512, password),
            ARRAY32(516, dword, 32), U32(644, password_msb))
GPU_NO_FIELDS(MGIR, reg_access_gpu_mgir_ext)
GPU_FIELDS(MTRC_CAP, reg_access_gpu_mtrc_cap_reg_ext,
            U8(497, trace_owner))
GPU_FIELDS(MTRC_CONF, reg_access_gpu_mtrc_conf_reg_ext,
            U8(497, trace_mode), U8(498, log_trace_buffer_size), U8(499, trace_mkey))
GPU_FIELDS(MTRC_CTRL, reg_access_gpu_mtrc_ctrl_reg_ext,
            U16(498, modify_field_select), U8(500, arm_event), U8(501, trace_status))
GPU_FIELDS(MCAM, reg_access_gpu_int_mcam_reg,
            U8(497, access_reg_group), U8(498, feature_group))
GPU_FIELDS(MFGD, reg_access_gpu_int_mfgd,
            U8(497, fw_fatal_event_mode), U8(498, fw_fatal_event_test), U8(499, en_debug_assert),
            U8(500, immediate_interface_release_on_timeout), U8(501, long_cmd_timeout_value),
            U8(502, packet_state_test_action), U8(503, packet_state_test_time_value))
GPU_FIELDS(MOFHB, reg_access_gpu_int_mofhb,
            U8(497, tile_index), U8(498, tile), U8(499, clr))
GPU_FIELDS(MTECR, reg_access_gpu_mtecr_ext,
            U8(497, slot_index))
GPU_FIELDS(MTEWE, reg_access_gpu_mtewe_ext,
            U8(497, slot_index))
GPU_FIELDS(MTSDE, reg_access_gpu_int_mtsde,
            U8(497, slot_index))
GPU_FIELDS(MPSCR, reg_access_gpu_mpscr_ext,
            U8(497, warning_inactive_time), U8(498, warning_active_time),
            U8(499, critical_inactive_time), U8(500, critical_active_time), U8(501, cc))
GPU_NO_FIELDS(MTEIM, reg_access_gpu_int_mteim_reg)
GPU_FIELDS(MTIE, reg_access_gpu_int_mtie,
            U8(497, enable_all), U8(498, log_delay), ARRAY32(500, source_id_bitmask, 8))
GPU_FIELDS(MTIM, reg_access_gpu_int_mtim,
            U8(497, log_level), U32(500, log_bit_mask))
GPU_NO_FIELDS(MTSR, reg_access_gpu_MTSR_ext)
GPU_FIELDS(MORD, reg_access_hca_resource_dump_ext,
            U16(498, segment_type), U8(500, seq_num), U8(501, vhca_id_valid), U8(502, inline_dump),
            U16(504, vhca_id), U32(508, index1), U32(512, index2), U16(516, num_of_obj2),
            U16(518, num_of_obj1), U64(520, device_opaque), U32(528, mkey))
GPU_FIELDS(MLPC, reg_access_gpu_MLPC_ext,
            U8(497, lp_msb), U8(498, local_port), U8(499, cnt_64bit), U8(500, stop_at_ff),
            U8(501, counter_rst), U8(502, counter_en), U8(503, force_count_mask),
            ARRAY8(504, cnt_type, 8), ARRAY32(512, cnt_val, 2))

#define GPU_REGISTER_REPLY(ID, REG, CONTROL, RECORD_SIZE, REPLY, LOG, REPLY_FUNCTION)              \
    {ID, #REG, CONTROL, RECORD_SIZE, REPLY, sizeof(REG::Rec), REG::Unpack, REG::Size,               \
     REPLY_FUNCTION, FieldsOf(REG::fields), CountOf(REG::fields), LOG}
#define GPU_REGISTER(ID, REG, CONTROL, RECORD_SIZE, REPLY, LOG) \
    GPU_REGISTER_REPLY(ID, REG, CONTROL, RECORD_SIZE, REPLY, LOG, nullptr)

/* MORD answers in the GPU's resource-dump layout (200 bytes, 38 words of
 * inline data); the caller's image has the adapter's (256 bytes, 52 words).
 * What the GPU's layout holds is carried over, the rest comes back zero: the
 * mkey and the address are not returned. */
void ResourceDumpReply(const uint8_t* data_area, uint8_t* image)
{
    reg_access_gpu_resource_dump_ext reply;
    memset(&reply, 0, sizeof(reply));
    reg_access_gpu_resource_dump_ext_unpack(&reply, data_area);
    reg_access_hca_resource_dump_ext dump;
    memset(&dump, 0, sizeof(dump));
    dump.segment_type = reply.segment_type;
    dump.seq_num = reply.seq_num;
    dump.vhca_id_valid = reply.vhca_id_valid;
    dump.inline_dump = reply.inline_dump;
    dump.more_dump = reply.more_dump;
    dump.vhca_id = reply.vhca_id;
    dump.index1 = reply.index1;
    dump.index2 = reply.index2;
    dump.num_of_obj2 = reply.num_of_obj2;
    dump.num_of_obj1 = reply.num_of_obj1;
    dump.device_opaque = reply.device_opaque;
    dump.size = reply.size;
    static_assert(sizeof(reply.inline_data) <= sizeof(dump.inline_data), "the GPU's dump is the shorter");
    memcpy(dump.inline_data, reply.inline_data, sizeof(reply.inline_data));
    reg_access_hca_resource_dump_ext_pack(&dump, image);
}

/* Ordered by register id. */
const sGpuRegister oGpuRegisters[] = {
    GPU_REGISTER(0x5002, PMLP, 0x20803064, 503, 64, eGpuLogFields),
    GPU_REGISTER(0x5003, PMTU, 0x20803062, 504, 16, eGpuLogFields),
    GPU_REGISTER(0x5004, PTYS, 0x20803070, 524, 68, eGpuLogFields),
    GPU_REGISTER(0x5006, PAOS, 0x20803047, 510, 16, eGpuLogFields),
    GPU_REGISTER(0x5008, PPCNT, 0x20803069, 509, 256, eGpuLogFields),
    GPU_REGISTER(0x500A, PLIB, 0x20803080, 504, 16, eGpuLogFields),
    GPU_REGISTER(0x5012, PMAOS, 0x20803072, 504, 16, eGpuLogFields),
    GPU_REGISTER(0x5018, PPLR, 0x20803073, 506, 8, eGpuLogFields),
    GPU_REGISTER(0x5023, PPLM, 0x20803054, 526, 80, eGpuLogFields),
    GPU_REGISTER(0x5026, SLRP, 0x20805015, 502, 152, eGpuLogFields),
    GPU_REGISTER(0x5027, SLTP, 0x2080306D, 505, 76, eGpuLogFields),
    GPU_REGISTER(0x5028, SLRG, 0x20803071, 502, 40, eGpuLogFields),
    GPU_REGISTER(0x502C, SLSIR, 0x20805016, 502, 148, eGpuLogFields),
    GPU_REGISTER(0x5030, PPLL, 0x20805012, 498, 40, eGpuLogFields),
    GPU_REGISTER(0x5031, PDDR, 0x20803066, 504, 256, eGpuLogFields),
    GPU_REGISTER(0x5036, PPTT, 0x20803068, 512, 28, eGpuLogFields),
    GPU_REGISTER(0x5037, PPRT, 0x2080306F, 514, 36, eGpuLogFields),
    GPU_REGISTER(0x503C, PMDR, 0x20805013, 502, 60, eGpuLogFields),
    GPU_REGISTER(0x503E, PPHCR, 0x2080306C, 503, 80, eGpuLogFields),
    GPU_REGISTER(0x5040, PPAOS, 0x2080306B, 504, 16, eGpuLogFields),
    GPU_REGISTER(0x5042, SLREG, 0x20805019, 503, 76, eGpuLogFields),
    GPU_REGISTER(0x5046, PLTC, 0x20803053, 503, 16, eGpuLogFields),
    GPU_REGISTER(0x5057, SLRIP, 0x20805011, 502, 92, eGpuLogFields),
    GPU_REGISTER(0x5066, PGUID, 0x2080306E, 501, 96, eGpuLogFields),
    GPU_REGISTER(0x506B, PUCG, 0x20805014, 524, 268, eGpuLogFields),
    GPU_REGISTER(0x506C, PEUCG, 0x20805017, 790, 200, eGpuLogFields),
    GPU_REGISTER(0x50E2, PPSLC, 0x20803055, 520, 52, eGpuLogFields),
    GPU_REGISTER(0x50E3, PPSLS, 0x2080307E, 499, 8, eGpuLogWriteOnly),
    GPU_REGISTER(0x6501, UNWKM, 0x2080500D, 632, 140, eGpuLogFields),
    GPU_REGISTER(0x6502, UNRSA, 0x2080500E, 502, 24, eGpuLogFields),
    GPU_REGISTER(0x6503, UNRC, 0x2080500F, 500, 64, eGpuLogFields),
    GPU_REGISTER(0x6504, UNDRI, 0x2080500B, 501, 16, eGpuLogBlankBefore),
    GPU_REGISTER(0x6505, UNDFD, 0x2080500C, 500, 8, eGpuLogFields),
    GPU_REGISTER(0x6802, GHPKT, 0x20803065, 502, 16, eGpuLogFields),
    GPU_REGISTER(0x9009, MTCAP, 0x20803061, 498, 16, eGpuLogFields),
    GPU_REGISTER(0x900A, MTMP, 0x20803067, 512, 32, eGpuLogFields),
    GPU_REGISTER(0x900B, MTWE, 0x2080305D, 497, 16, eGpuLogFields),
    GPU_REGISTER(0x9014, MCIA, 0x20803063, 648, 148, eGpuLogFields),
    GPU_REGISTER(0x9020, MGIR, 0x2080306A, 497, 160, eGpuLogFields),
    GPU_REGISTER(0x9040, MTRC_CAP, 0x20803076, 498, 132, eGpuLogFields),
    GPU_REGISTER(0x9041, MTRC_CONF, 0x20803077, 500, 128, eGpuLogFields),
    GPU_REGISTER(0x9043, MTRC_CTRL, 0x20803078, 502, 64, eGpuLogFields),
    GPU_REGISTER(0x907F, MCAM, 0x20803056, 499, 72, eGpuLogFields),
    GPU_REGISTER(0x90F0, MFGD, 0x20805010, 504, 8, eGpuLogFields),
    GPU_REGISTER(0x90F3, MOFHB, 0x20805018, 500, 80, eGpuLogFields),
    GPU_REGISTER(0x9109, MTECR, 0x2080305C, 498, 96, eGpuLogFields),
    GPU_REGISTER(0x910B, MTEWE, 0x2080305E, 498, 92, eGpuLogFields),
    GPU_REGISTER(0x910C, MTSDE, 0x2080305F, 498, 92, eGpuLogFields),
    GPU_REGISTER(0x910F, MPSCR, 0x2080307C, 504, 32, eGpuLogFields),
    GPU_REGISTER(0x9118, MTEIM, 0x20803079, 497, 48, eGpuLogFields),
    GPU_REGISTER(0x911B, MTIE, 0x2080307A, 532, 48, eGpuLogFields),
    GPU_REGISTER(0x911C, MTIM, 0x2080307B, 504, 16, eGpuLogFields),
    GPU_REGISTER(0x9121, MTSR, 0x2080307D, 497, 16, eGpuLogFields),
    GPU_REGISTER_REPLY(0x9153, MORD, 0x20803075, 544, 256, eGpuLogFields, ResourceDumpReply),
    GPU_REGISTER(0x9166, MLPC, 0x2080307F, 520, 64, eGpuLogFields),
};

uint64_t Load(const uint8_t* from, uint8_t bytes)
{
    switch (bytes) {
    case 1: return *from;
    case 2: { uint16_t v; memcpy(&v, from, sizeof(v)); return v; }
    case 4: { uint32_t v; memcpy(&v, from, sizeof(v)); return v; }
    default: { uint64_t v; memcpy(&v, from, sizeof(v)); return v; }
    }
}

/* The value's low `bytes` bytes, as stored. */
uint64_t Store(uint8_t* to, uint8_t bytes, uint64_t value)
{
    switch (bytes) {
    case 1: *to = static_cast<uint8_t>(value); return *to;
    case 2: { const uint16_t v = static_cast<uint16_t>(value); memcpy(to, &v, sizeof(v)); return v; }
    case 4: { const uint32_t v = static_cast<uint32_t>(value); memcpy(to, &v, sizeof(v)); return v; }
    default: memcpy(to, &value, sizeof(value)); return value;
    }
}

void LogField(const sGpuRegister& reg, const char* field, uint64_t value)
{
    std::stringstream line;
    line << "o" << reg.name << "Params." << field << (reg.logStyle == eGpuLogBlankBefore ? " :" : ": ") << value;
    Log(__func__, __LINE__)->Debug(line.str());
}

}  // namespace

const sGpuRegister* GpuRegisters(size_t* count)
{
    *count = sizeof(oGpuRegisters) / sizeof(oGpuRegisters[0]);
    return oGpuRegisters;
}

const sGpuRegister* FindGpuRegister(uint32_t register_id)
{
    for (const sGpuRegister& reg : oGpuRegisters) {
        if (reg.id == register_id) return &reg;
    }
    return nullptr;
}

int RmDriverDevice::AccessRegisterConverted(const sGpuRegister& reg, unsigned char* data, bool write)
{
    std::unique_ptr<uint8_t, decltype(&free)> record(static_cast<uint8_t*>(calloc(1, reg.hostRecordSize)), free);
    if (!record) throw std::bad_alloc();
    reg.unpack(record.get(), data);

    std::vector<uint8_t> params(reg.recordSize, 0);
    params[0] = write ? 1 : 0;
    LogField(reg, "bWrite", params[0]);
    for (size_t f = 0; f < reg.fieldCount; f++) {
        const sGpuParamField& field = reg.fields[f];
        for (size_t i = 0; i < field.count; i++) {
            const uint64_t value = Load(record.get() + field.from + i * field.fromStride, field.fromBytes);
            const uint64_t stored = Store(params.data() + field.at + i * field.atStride, field.bytes, value);
            if (field.logged && reg.logStyle != eGpuLogWriteOnly) LogField(reg, field.name, stored);
        }
    }

    const ObStatus status = ObRmControl(m_clientHandle, m_subdeviceHandle, reg.control, params.data(), reg.recordSize);
    if (reg.reply)
        reg.reply(params.data() + oGpuParamDataAt, data);
    else
        memcpy(data, params.data() + oGpuParamDataAt, reg.replyBytes);
    return static_cast<int>(status);
}

}  // namespace zrv_core
